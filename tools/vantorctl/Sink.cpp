#include "Sink.h"

#include "Output.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Paths under /dev/ and /proc/ name devices, or files that are already open
// somewhere (/dev/stdout, /dev/fd/N, /proc/self/fd/N): renaming a new file
// over them would cut off whoever has them open.
bool UnderDevOrProc(const QString& path)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    return absolute.startsWith(QLatin1String("/dev/")) ||
           absolute.startsWith(QLatin1String("/proc/"));
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The system's reason for the last failure, or the file's own text when the
// system gave none.
QString Reason(int error, const QString& fallback)
{
    return error != 0 ? qt_error_string(error) : fallback;
}

} // namespace

Sink::Sink(const QString& path) : mPath(path)
{
    if (path == QLatin1String("-"))
        mMode = Mode::Stdout;
}

Sink::~Sink()
{
    if (mFd >= 0)
        ::close(mFd);
}

bool Sink::prepare()
{
    if (mPath.isEmpty() || mMode == Mode::Stdout)
        return true;
    const QByteArray name = QFile::encodeName(mPath);
    struct stat target
    {
    };
    const bool exists = ::stat(name.constData(), &target) == 0; // through symbolic links
    if (exists && S_ISDIR(target.st_mode))
        return fail(qt_error_string(EISDIR));

    if (!exists || (S_ISREG(target.st_mode) && !UnderDevOrProc(mPath))) {
        mMode = Mode::Replace;
        mFile = std::make_unique<QSaveFile>(mPath);
        // Unbuffered, so that every write reaches the file and reports what
        // failed: a buffered QSaveFile can commit a short file after its last
        // flush failed.
        if (!mFile->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return fail(mFile->errorString());
        return true;
    }

    // Standard output itself (/dev/stdout and its kin): written through it,
    // where it stands, so that its other output and an append mode hold.
    struct stat out
    {
    };
    if (::fstat(STDOUT_FILENO, &out) == 0 && SameFile(out, target)) {
        mMode = Mode::Stdout;
        return true;
    }
    mMode = Mode::Direct;
    // A FIFO waits here for its reader, as it would for cp.
    mFd = ::open(name.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (mFd < 0)
        return fail(qt_error_string(errno));
    mTruncate = S_ISREG(target.st_mode);
    return true;
}

bool Sink::finish(const QByteArray& bytes)
{
    const qint64 size = bytes.size();
    qint64 done = 0;
    switch (mMode) {
    case Mode::Dump:
        return true;
    case Mode::Stdout:
        return WriteRawStdout(bytes);
    case Mode::Replace:
        // A write that stops short (a full disk) is tried once more: that try
        // fails with the system's reason, which QSaveFile keeps no text for.
        while (done < size) {
            errno = 0;
            const qint64 n = mFile->write(bytes.constData() + done, size - done);
            if (n <= 0)
                return fail(Reason(errno, mFile->errorString()));
            done += n;
        }
        errno = 0;
        if (!mFile->commit())
            return fail(Reason(errno, mFile->errorString()));
        return true;
    case Mode::Direct:
        while (done < size) {
            const ssize_t n = ::write(mFd, bytes.constData() + done, size_t(size - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return fail(qt_error_string(n < 0 ? errno : EIO));
            done += n;
        }
        // A regular file reached by its /dev/ or /proc/ name: written from
        // its start, and what was beyond the new end is old.
        if (mTruncate && ::ftruncate(mFd, done) != 0)
            return fail(qt_error_string(errno));
        if (::close(std::exchange(mFd, -1)) != 0)
            return fail(qt_error_string(errno));
        return true;
    }
    return false;
}

bool Sink::fail(const QString& reason)
{
    std::fprintf(stderr, "vantorctl: cannot write '%s': %s\n", qPrintable(mPath),
                 qPrintable(reason));
    return false;
}
