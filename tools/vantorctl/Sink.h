#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QSaveFile;

// Where the bytes of a read or a program save go:
//  - no path: nowhere raw (the command prints a dump instead);
//  - "-", or a path that is standard output itself (/dev/stdout): raw bytes
//    on standard output, after whatever it already holds;
//  - a device, FIFO or anything else that exists and is not a regular file,
//    and any existing path under /dev/ or /proc/: written directly, as cp
//    and dd do (replacing /dev/null with a regular file would be a disaster);
//  - otherwise a regular file, written through a temporary file that
//    replaces it only once everything has arrived. A symbolic link stays a
//    link: its target is replaced.
class Sink
{
public:
    explicit Sink(const QString& path);
    ~Sink();

    // Before anything is sent: false, after a message, when the target
    // cannot be written (a usage error).
    bool prepare();

    // Whether the bytes go out raw rather than as a dump.
    bool raw() const { return !mPath.isEmpty(); }
    // The path as given ("-" for standard output).
    QString path() const { return mPath; }

    // Writes the bytes and completes the target. False on failure: a file
    // or device says why on standard error (the old file is left as it
    // was); standard output is reported once, at the end of the run.
    bool finish(const QByteArray& bytes);

private:
    enum class Mode
    {
        Dump,
        Stdout,
        Replace,
        Direct
    };
    bool fail(const QString& reason); // says why on standard error; false

    QString mPath;
    Mode mMode = Mode::Dump;
    std::unique_ptr<QSaveFile> mFile; // Replace: discarded unless committed
    int mFd = -1;                     // Direct
    bool mTruncate = false;           // Direct into a regular file: cut it to what was written
};
