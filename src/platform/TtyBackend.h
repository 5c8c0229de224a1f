#pragma once

#include "SerialBackend.h"

#include <QSocketNotifier>

#include <memory>

#include <termios.h>

// A real device reached through its terminal (USB adapter, Bluetooth rfcomm,
// pseudo-terminal, bridge), at 8N1 without handshake.
//
// The descriptor is the program's own: opened once, locked as a device
// (flock, so two paths to one device meet, and so do two programs of the
// superuser), held in exclusive mode, set raw, watched by the event loop. A
// lock-step line pays every cost of opening and closing on every command of
// an automatic disconnect, so nothing is done here that the line does not
// need: no lock file synced to disk, no second open of the device.
class TtyBackend : public SerialBackend
{
    Q_OBJECT
public:
    explicit TtyBackend(const QString& devicePath, QObject* parent = nullptr);
    ~TtyBackend() override;

    bool open(qint32 baud) override;
    void close() override;
    bool isOpen() const override { return mFd >= 0; }
    qint64 write(const QByteArray& bytes) override;
    void flush() override;
    QByteArray readAll() override;
    void poll() override;
    void setBaud(qint32 baud) override;
    void discardInput() override;

    // What the system's error number of a failed open() of a device means.
    static SerialError classifyErrno(int error);

    // Whether the device at path could be opened now, found without disturbing
    // a program that holds it: the line is not configured, no modem line is
    // set and nothing is flushed. None when it is free; Busy when another
    // program has it locked or in exclusive use.
    static SerialError probe(const QString& path);

private:
    // Opens and locks the device; the descriptor, or -1 with the reason set.
    int lockDevice();
    bool configure(qint32 baud);
    // Reads what has arrived into mIn; false when the device is gone.
    bool readAvailable();
    void writePending();
    // The device hung up or its node went away: told once, from the event
    // loop, after the port is closed.
    void lost(int error);

    QString mPath;
    int mFd = -1;
    termios mSaved{}; // the line's settings before we opened it
    bool mSavedOk = false;
    QByteArray mIn;  // received, not read yet
    QByteArray mOut; // not taken by the device yet
    std::unique_ptr<QSocketNotifier> mReadNotifier;
    std::unique_ptr<QSocketNotifier> mWriteNotifier;
    bool mGone = false; // reported as gone: say it once
};
