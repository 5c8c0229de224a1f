#pragma once

#include "SerialPortInfo.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The communication settings kept between runs in a small line-based text
// file: <preferences folder>/Tessaro Utilities/<program>/<program>.Pref.
class PreferClass
{
public:
    // Finds (creating) the folder for programName under the user's
    // preferences folder and writes a file of defaults when none exists.
    explicit PreferClass(const QString& programName);
    // The same under an explicit base folder instead of the preferences folder.
    PreferClass(const QString& programName, const QString& baseFolder);
    // Defaults and no file (loading and saving do nothing).
    PreferClass() = default;

    // The folder <base>/Tessaro Utilities/<programName>, created as needed;
    // empty when it cannot be made to exist. An empty base means the user's
    // preferences folder (else the documents folder).
    static QString GetPreferFolder(const QString& programName, const QString& baseFolder = {});
    // The same folder's path, without creating anything (for readers that
    // must leave the user's folders as they are).
    static QString PreferFolderPath(const QString& programName, const QString& baseFolder = {});

    // Loads the file. Anything at the path that is not a regular file (or a
    // symbolic link to one) is not read: the values stay as they are.
    void ReadData();
    // Loads the content of a preferences file given as bytes.
    void ReadText(const QByteArray& content);
    // false when the file could not be written (old file kept); the save
    // failure handler has then been told why.
    bool WriteData();
    void SetPortInfo(const SerialPortEntry& port);

    // Called once for every save that fails, with the file and the system's
    // reason; the program shows it to the user. None by default.
    using SaveFailureHandler = std::function<void(const QString& file, const QString& reason)>;
    static void setSaveFailureHandler(SaveFailureHandler handler);

    std::optional<SerialPortInfo> mPortInfo; // nothing: no port chosen
    QString mFile;                           // empty: no preferences file
    bool mNotAutoDisconnect = false;
    qint32 mConnectType = 0;       // 0 direct cable, 1 wireless module, 2 BlueSMiRF
    qint32 mWirelessWriteSize = 1; // 1 to 16
    QStringList mRBTReqestOpcode;
    QStringList mRBTReqestData;

private:
    void init(const QString& programName, const QString& baseFolder);
    bool saveFailed(const QString& reason);
};
