#include "PreferClass.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A preferences file holds a handful of short lines. Anything past this size
// is not one this program wrote; loading stops there instead of pulling an
// arbitrarily large file into memory. It also bounds the request lists a
// damaged count can ask for.
constexpr qint64 cMaxFileSize = 256 * 1024;

// Every request entry takes two lines of at least their line end each.
constexpr qint64 cMaxRequestEntries = cMaxFileSize / 2;

// Why the last call on file failed: the system's words for errno, or the
// file's own text when the system said nothing.
QString SystemReason(const QFileDevice& file)
{
    const int error = errno;
    return error != 0 ? qt_error_string(error) : file.errorString();
}

PreferClass::SaveFailureHandler& saveFailureHandler()
{
    static PreferClass::SaveFailureHandler handler;
    return handler;
}

const QString cKeySerialPort = QStringLiteral("SerialPort");
const QString cKeyConnectType = QStringLiteral("ConnectType");
const QString cKeyBlueSMiRF = QStringLiteral("BlueSMiRF");
const QString cKeyNotAutoDisconnect = QStringLiteral("NotAutoDisconnect");
const QString cKeyWirelessWriteSize = QStringLiteral("WirelessWriteSize");
const QString cKeyRBTReqests = QStringLiteral("RBTReqests");

// Hands out the file's lines one by one. LF and CR LF both end a line; a read
// past the end gives an empty line, so a truncated file yields empty texts,
// zeros and false instead of failing.
class LineReader
{
public:
    // A byte order mark, which editors on other systems may write, is
    // dropped by the decoding.
    explicit LineReader(const QByteArray& data) : mText(QString::fromUtf8(data)) {}

    bool atEnd() const { return mPos >= mText.size(); }

    QString next()
    {
        if (atEnd())
            return {};
        qsizetype end = mText.indexOf(QLatin1Char('\n'), mPos);
        if (end < 0)
            end = mText.size();
        qsizetype len = end - mPos;
        if (len > 0 && mText.at(end - 1) == QLatin1Char('\r'))
            --len;
        QString line = mText.mid(mPos, len);
        mPos = end + 1;
        return line;
    }

private:
    QString mText;
    qsizetype mPos = 0;
};

// The leading integer of a number line (optional blanks, optional sign,
// digits); 0 when the line does not start with a number. Saturates instead
// of overflowing.
qint64 ReadNumber(const QString& line)
{
    qsizetype i = 0;
    while (i < line.size() && (line.at(i) == QLatin1Char(' ') || line.at(i) == QLatin1Char('\t')))
        ++i;
    bool negative = false;
    if (i < line.size() && (line.at(i) == QLatin1Char('-') || line.at(i) == QLatin1Char('+'))) {
        negative = line.at(i) == QLatin1Char('-');
        ++i;
    }
    constexpr qint64 cLimit = std::numeric_limits<qint64>::max() / 10 - 1;
    qint64 value = 0;
    for (; i < line.size() && line.at(i).isDigit() && line.at(i).unicode() < 128; ++i) {
        if (value < cLimit)
            value = value * 10 + (line.at(i).unicode() - '0');
    }
    return negative ? -value : value;
}

qint32 ToInt32(qint64 value)
{
    constexpr qint64 lo = std::numeric_limits<qint32>::min();
    constexpr qint64 hi = std::numeric_limits<qint32>::max();
    return qint32(value < lo ? lo : (value > hi ? hi : value));
}

bool ReadBoolean(LineReader& in)
{
    return in.next().compare(QLatin1String("True"), Qt::CaseInsensitive) == 0;
}

void WriteLine(QByteArray& out, const QString& line)
{
    out += line.toUtf8();
    out += '\n';
}

void WriteBoolean(QByteArray& out, bool value)
{
    WriteLine(out, value ? QStringLiteral("True") : QStringLiteral("False"));
}

} // namespace

PreferClass::PreferClass(const QString& programName)
{
    init(programName, {});
}

PreferClass::PreferClass(const QString& programName, const QString& baseFolder)
{
    init(programName, baseFolder);
}

void PreferClass::init(const QString& programName, const QString& baseFolder)
{
    mWirelessWriteSize = 1;
    const QString folder = GetPreferFolder(programName, baseFolder);
    if (folder.isEmpty())
        return;
    mFile = folder + QLatin1Char('/') + programName + QStringLiteral(".Pref");
    // First start: leave a file holding the defaults.
    if (!QFileInfo::exists(mFile))
        WriteData();
}

QString PreferClass::PreferFolderPath(const QString& programName, const QString& baseFolder)
{
    QString base = baseFolder;
    if (base.isEmpty())
        base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty())
        base = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (base.isEmpty())
        return {};
    return QDir(base).filePath(QStringLiteral("Tessaro Utilities/") + programName);
}

QString PreferClass::GetPreferFolder(const QString& programName, const QString& baseFolder)
{
    const QString folder = PreferFolderPath(programName, baseFolder);
    if (folder.isEmpty() || !QDir().mkpath(folder) || !QFileInfo(folder).isDir())
        return {};
    return QDir::cleanPath(folder);
}

void PreferClass::setSaveFailureHandler(SaveFailureHandler handler)
{
    saveFailureHandler() = std::move(handler);
}

void PreferClass::ReadData()
{
    if (mFile.isEmpty())
        return;
    // Opened without blocking, and only read when it is a regular file: a
    // FIFO at the path would otherwise hold start-up until someone writes
    // into it, and a device or socket is nobody's preferences.
    const QByteArray path = QFile::encodeName(mFile);
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        qWarning("Preferences: %s is not a regular file; using the defaults.", path.constData());
        return;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return;
    }
    const QByteArray data = file.read(cMaxFileSize);
    file.close();
    ReadText(data);
}

void PreferClass::ReadText(const QByteArray& content)
{
    LineReader in(content.left(cMaxFileSize));
    do {
        const QString key = in.next();
        if (key.compare(cKeySerialPort, Qt::CaseInsensitive) == 0) {
            SerialPortInfo info;
            info.mName = in.next();
            info.mInputDriverName = in.next();
            info.mOutputDriverName = in.next();
            mPortInfo = info;
        } else if (key.compare(cKeyConnectType, Qt::CaseInsensitive) == 0) {
            mConnectType = ToInt32(ReadNumber(in.next()));
        } else if (key.compare(cKeyBlueSMiRF, Qt::CaseInsensitive) == 0) {
            if (ReadBoolean(in))
                mConnectType = 2;
        } else if (key.compare(cKeyNotAutoDisconnect, Qt::CaseInsensitive) == 0) {
            mNotAutoDisconnect = ReadBoolean(in);
        } else if (key.compare(cKeyWirelessWriteSize, Qt::CaseInsensitive) == 0) {
            mWirelessWriteSize = ToInt32(ReadNumber(in.next()));
        } else if (key.compare(cKeyRBTReqests, Qt::CaseInsensitive) == 0) {
            mRBTReqestOpcode.clear();
            mRBTReqestData.clear();
            const qint64 highest = ReadNumber(in.next());
            // A count below -1, or more entries than a file of the size
            // read could ever hold, is damage: the lists stay empty and the
            // lines that follow are read as keys. Checked before any
            // arithmetic, so a huge count cannot overflow. Within that bound
            // a file cut short reads empty lines, as everywhere else.
            if (highest < -1 || highest >= cMaxRequestEntries)
                continue;
            const qsizetype entries = qsizetype(highest + 1);
            mRBTReqestOpcode.reserve(entries);
            mRBTReqestData.reserve(entries);
            for (qsizetype i = 0; i < entries; ++i) {
                mRBTReqestOpcode.append(in.next());
                mRBTReqestData.append(in.next());
            }
        }
        // Any other line, empty ones included, is skipped on its own.
    } while (!in.atEnd());
}

bool PreferClass::WriteData()
{
    if (mFile.isEmpty())
        return false;

    QByteArray out;
    if (mPortInfo) {
        WriteLine(out, cKeySerialPort);
        WriteLine(out, mPortInfo->mName);
        WriteLine(out, mPortInfo->mInputDriverName);
        WriteLine(out, mPortInfo->mOutputDriverName);
    }
    WriteLine(out, cKeyConnectType);
    WriteLine(out, QString::number(mConnectType));
    WriteLine(out, cKeyNotAutoDisconnect);
    WriteBoolean(out, mNotAutoDisconnect);
    WriteLine(out, cKeyWirelessWriteSize);
    WriteLine(out, QString::number(mWirelessWriteSize));
    WriteLine(out, cKeyRBTReqests);
    const qsizetype entries = std::min(mRBTReqestOpcode.size(), mRBTReqestData.size());
    WriteLine(out, QString::number(entries - 1));
    for (qsizetype i = 0; i < entries; ++i) {
        WriteLine(out, mRBTReqestOpcode.at(i));
        WriteLine(out, mRBTReqestData.at(i));
    }

    // Only a regular file is replaced. A symbolic link to one (as dotfile
    // managers make) stays a link: QSaveFile writes its target.
    const QFileInfo existing(mFile);
    if (existing.exists() && !existing.isFile())
        return saveFailed(QStringLiteral("この名前のものは通常のファイルではありません。"));
    const QString target = existing.isSymLink() ? existing.canonicalFilePath() : mFile;

    // The new content goes to a temporary file that replaces the old one only
    // once completely written: a failed save leaves the previous file intact.
    // Unbuffered, so that write() reports what really reached the file: a
    // buffered QSaveFile can commit a short file after a failed flush.
    // QSaveFile keeps no reason of its own for a write that stops short (its
    // text reads "Unknown error"): the system's is errno of the failed call.
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return saveFailed(file.errorString());
    qint64 written = 0;
    while (written < out.size()) {
        // A short write is tried once more; that try fails with the reason.
        errno = 0;
        const qint64 n = file.write(out.constData() + written, out.size() - written);
        if (n <= 0)
            return saveFailed(SystemReason(file)); // discarded unwritten: the old file stays
        written += n;
    }
    errno = 0;
    if (!file.commit())
        return saveFailed(SystemReason(file));
    return true;
}

bool PreferClass::saveFailed(const QString& reason)
{
    if (saveFailureHandler())
        saveFailureHandler()(mFile, reason);
    return false;
}

void PreferClass::SetPortInfo(const SerialPortEntry& port)
{
    mPortInfo = SerialPortInfo(port);
    WriteData();
}
