#pragma once

#include <QByteArray>
#include <QWidget>

#include <memory>

class ConsoleJobs;
class JobProgress;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class ReadMemoryJob;

// A range of static RAM, internal ROM or external ROM read into a hex view
// (address, 16 bytes, the bytes as ASCII), with progress, time left and
// cancel, and saved to a file.
class MemoryPanel : public QWidget
{
    Q_OBJECT
public:
    MemoryPanel(ConsoleJobs* jobs, QWidget* parent = nullptr);

    QComboBox* memoryBox() const { return mMemory; }
    QLineEdit* addressEdit() const { return mAddress; }
    QSpinBox* lengthBox() const { return mLength; }
    QPushButton* readButton() const { return mRead; }
    QPushButton* saveButton() const { return mSave; }
    QPlainTextEdit* view() const { return mView; }
    QLabel* resultLabel() const { return mResult; }
    JobProgress* progress() const { return mProgress; }

    // The bytes of the last complete read and where they start.
    QByteArray data() const { return mData; }
    qint32 dataAddress() const { return mDataAddress; }

    // Lines of "AAAA  hh hh ... hh  hh ... hh  |ascii|", 16 bytes a line.
    static QString hexDump(qint32 address, const QByteArray& bytes);

    // Saves the bytes to the file through a temporary file that replaces it
    // only when all is written; on failure, the system's reason in `error`.
    static bool saveFile(const QString& path, const QByteArray& bytes, QString* error);

    // Reads the range chosen (also the read button).
    void read();
    // Asks for a file and saves the last read (also the save button).
    void save();

private:
    void finished();

    ConsoleJobs* mJobs;
    std::shared_ptr<ReadMemoryJob> mJob;
    QByteArray mData;
    qint32 mDataAddress = 0;
    int mDataMemory = 0;

    QComboBox* mMemory = nullptr;
    QLineEdit* mAddress = nullptr;
    QSpinBox* mLength = nullptr;
    QPushButton* mRead = nullptr;
    QPushButton* mSave = nullptr;
    JobProgress* mProgress = nullptr;
    QLabel* mResult = nullptr;
    QPlainTextEdit* mView = nullptr;
};
