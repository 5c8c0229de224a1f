#include "QSerialPortBackend.h"

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

// USB-serial adapters hold received bytes for up to 16 ms before passing
// them on; a lock-step protocol pays that on every byte. Ask the driver to
// pass each byte on at once. Devices without the ioctl (pseudo-terminals,
// Bluetooth) refuse it, and that is fine: they have no such delay.
void requestLowLatency([[maybe_unused]] QSerialPort& port)
{
#ifdef Q_OS_LINUX
    const int fd = static_cast<int>(port.handle());
    if (fd < 0)
        return;
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        (void)::ioctl(fd, TIOCSSERIAL, &ss);
    }
#endif
}

} // namespace

QSerialPortBackend::QSerialPortBackend(const QString& devicePath, QObject* parent)
    : SerialBackend(parent)
{
    mPort.setPortName(devicePath);
    connect(&mPort, &QSerialPort::readyRead, this, &SerialBackend::dataAvailable);
    connect(&mPort, &QSerialPort::errorOccurred, this, &QSerialPortBackend::onError);
}

QSerialPortBackend::~QSerialPortBackend()
{
    close();
}

SerialError QSerialPortBackend::mapError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
        return SerialError::None;
    case QSerialPort::PermissionError:
        return SerialError::PermissionDenied;
    case QSerialPort::DeviceNotFoundError:
        return SerialError::NotFound;
    case QSerialPort::ResourceError:
        return SerialError::DeviceGone;
    case QSerialPort::OpenError:
        return SerialError::Busy;
    default:
        return SerialError::Other;
    }
}

bool QSerialPortBackend::open(qint32 baud)
{
    mGone = false;
    mClosing = false;
    mPort.setBaudRate(baud);
    mPort.setDataBits(QSerialPort::Data8);
    mPort.setParity(QSerialPort::NoParity);
    mPort.setStopBits(QSerialPort::OneStop);
    mPort.setFlowControl(QSerialPort::NoFlowControl);
    if (!mPort.open(QIODevice::ReadWrite)) {
        SerialError e = mapError(mPort.error());
        // A device another program holds shows up as QSerialPort failing to
        // take the device's lock file ("Permission error while locking the
        // device"); EBUSY arrives as PermissionError or OpenError depending
        // on the driver. Both mean busy, not a lack of rights.
        const QString text = mPort.errorString();
        if (text.contains(QLatin1String("busy"), Qt::CaseInsensitive) ||
            text.contains(QLatin1String("lock"), Qt::CaseInsensitive))
            e = SerialError::Busy;
        setLastError(e, text);
        return false;
    }
    // Modem lines: some adapters power the controller's interface from DTR.
    mPort.setDataTerminalReady(true);
    requestLowLatency(mPort);
    setLastError(SerialError::None, {});
    return true;
}

void QSerialPortBackend::close()
{
    if (!mPort.isOpen())
        return;
    // Throw away anything not yet sent, so closing never waits on a device
    // that stopped taking data. What fails while closing is no news.
    mClosing = true;
    mPort.clear(QSerialPort::AllDirections);
    mPort.close();
    mClosing = false;
}

bool QSerialPortBackend::isOpen() const
{
    return mPort.isOpen();
}

qint64 QSerialPortBackend::write(const QByteArray& bytes)
{
    const qint64 n = mPort.write(bytes);
    // Hand the byte to the device now rather than on a later pass of the
    // event loop: every exchange waits for it.
    mPort.flush();
    return n;
}

void QSerialPortBackend::flush()
{
    mPort.flush();
}

QByteArray QSerialPortBackend::readAll()
{
    return mPort.readAll();
}

void QSerialPortBackend::setBaud(qint32 baud)
{
    if (mPort.isOpen())
        mPort.setBaudRate(baud);
}

void QSerialPortBackend::onError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || !mPort.isOpen() || mClosing)
        return;
    // Pseudo-terminals and network bridges have no modem lines and refuse
    // their ioctls (setting DTR, for one). Nothing failed that the protocol
    // needs.
    if (error == QSerialPort::UnsupportedOperationError)
        return;

    SerialError e = mapError(error);
    QString text = mPort.errorString();
    // A read that fails or finds the end of the stream means the device has
    // hung up (pseudo-terminal closed, adapter pulled). QSerialPort reports
    // the end of the stream as a ReadError with a stale system text and
    // keeps its read notifier armed, so it would fail again at every turn of
    // the event loop.
    if (error == QSerialPort::ReadError || error == QSerialPort::ResourceError) {
        if (mGone)
            return;
        mGone = true;
        e = SerialError::DeviceGone;
        if (error == QSerialPort::ReadError)
            text = QStringLiteral("The device hung up");
    }
    setLastError(e, text);

    // Report from the event loop, not from inside QSerialPort's notifier:
    // the receiver may close or delete this port in its handler. A device
    // that is gone is closed first, so that it stops waking the loop.
    QMetaObject::invokeMethod(
        this,
        [this, e, text] {
            if (e == SerialError::DeviceGone)
                close();
            emit errorOccurred(e, text);
        },
        Qt::QueuedConnection);
}
