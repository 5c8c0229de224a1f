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

    // Maps QSerialPort's error codes to what the program reports.
    static SerialError mapError(QSerialPort::SerialPortError error);

private:
    void onError(QSerialPort::SerialPortError error);

    QSerialPort mPort;
    bool mGone = false;    // reported as gone: say it once
    bool mClosing = false; // inside close(): its errors are not reported
};
