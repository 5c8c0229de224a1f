#pragma once

#include "SerialBackend.h"

#include <QSerialPort>

// A real device (USB adapter, Bluetooth rfcomm, pseudo-terminal, bridge)
// through QSerialPort, at 8N1 without handshake.
class QSerialPortBackend : public SerialBackend
{
    Q_OBJECT
public:
    explicit QSerialPortBackend(const QString& devicePath, QObject* parent = nullptr);
    ~QSerialPortBackend() override;

    bool open(qint32 baud) override;
    void close() override;
    bool isOpen() const override;
    qint64 write(const QByteArray& bytes) override;
    void flush() override;
    QByteArray readAll() override;
    void setBaud(qint32 baud) override;
    void discardInput() override;

    // Maps QSerialPort's error codes to what the program reports.
    static SerialError mapError(QSerialPort::SerialPortError error);
    // Why the device at path refused to open, after QSerialPort failed with
    // error. QSerialPort reports a device held by another program (EBUSY, or
    // its lock file held by a live process) and a lack of rights alike as
    // PermissionError; the system's error number tells them apart.
    static SerialError classifyOpenFailure(QSerialPort::SerialPortError error, const QString& path);
    // What the system's error number of a failed open() of a device means.
    static SerialError classifyErrno(int error);

    // Whether the device at path could be opened now, found without disturbing
    // a program that holds it: the line is not configured, no modem line is
    // set and nothing is flushed. None when it is free; Busy when another
    // program has it locked or in exclusive use.
    static SerialError probe(const QString& path);

private:
    void onError(QSerialPort::SerialPortError error);
    // The device hung up or its node went away.
    bool deviceGone() const;

    // The device opened by its path and locked, before QSerialPort opens it.
    bool lockDevice();
    void unlockDevice();

    QSerialPort mPort;
    int mLockFd = -1;      // holds the lock on the device while the port is open
    QString mPath;         // the device path as given (QSerialPort shortens /dev/ names)
    bool mGone = false;    // reported as gone: say it once
    bool mClosing = false; // inside close(): its errors are not reported
};
