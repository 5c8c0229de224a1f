#pragma once

#include "SerialPorts.h"

#include <QObject>

#include <memory>

// The serial control the link owns: the chosen port, its speed, and the
// operations the lock-step protocol needs. Backends do the actual I/O.
class Serial : public QObject
{
    Q_OBJECT
public:
    explicit Serial(QObject* parent = nullptr);
    ~Serial() override;

    void setSerialPort(const SerialPortEntry& port);
    const SerialPortEntry& serialPort() const { return mPort; }

    void setBaud(qint32 baud);
    qint32 baud() const { return mBaud; }

    // True on success. On failure openError()/openErrorString() keep the reason.
    bool open();
    void close();
    bool isOpen() const;

    void write(const QByteArray& bytes);
    void xmitWait();
    QByteArray readAll();
    void poll();
    // Drops received bytes not read yet (see SerialBackend::discardInput).
    void discardInput();

    SerialError openError() const { return mOpenError; }
    QString openErrorString() const { return mOpenErrorString; }

    // The backend in use while open (tests inspect fakes through it).
    SerialBackend* backend() const { return mBackend.get(); }

signals:
    void dataAvailable();
    void error(SerialError error, const QString& text);

private:
    SerialPortEntry mPort;
    qint32 mBaud = 9600;
    std::unique_ptr<SerialBackend> mBackend;
    SerialError mOpenError = SerialError::None;
    QString mOpenErrorString;
};
