#include "Serial.h"

Serial::Serial(QObject* parent) : QObject(parent) {}

Serial::~Serial()
{
    close();
}

void Serial::setSerialPort(const SerialPortEntry& port)
{
    mPort = port;
}

void Serial::setBaud(qint32 baud)
{
    mBaud = baud;
    if (mBackend)
        mBackend->setBaud(baud);
}

bool Serial::open()
{
    close();
    mOpenError = SerialError::None;
    mOpenErrorString.clear();
    if (mPort.isNull()) {
        mOpenError = SerialError::NotFound;
        mOpenErrorString = QStringLiteral("no port chosen");
        return false;
    }
    std::unique_ptr<SerialBackend> backend = mPort.makeBackend();
    if (!backend) {
        mOpenError = SerialError::NotFound;
        mOpenErrorString = QStringLiteral("port cannot be opened");
        return false;
    }
    if (!backend->open(mBaud)) {
        mOpenError = backend->lastError() == SerialError::None ? SerialError::Other
                                                               : backend->lastError();
        mOpenErrorString = backend->errorString();
        return false;
    }
    connect(backend.get(), &SerialBackend::dataAvailable, this, &Serial::dataAvailable);
    connect(backend.get(), &SerialBackend::errorOccurred, this, &Serial::error);
    mBackend = std::move(backend);
    return true;
}

void Serial::close()
{
    if (!mBackend)
        return;
    // Disconnect first: a backend may report its own closing, which is not a
    // failure the link should hear about.
    mBackend->disconnect(this);
    mBackend->close();
    // A backend can be closed from within one of its own signals (the link
    // closes the port in its data handler), so delete it later.
    mBackend.release()->deleteLater();
}

bool Serial::isOpen() const
{
    return mBackend && mBackend->isOpen();
}

// A backend closes itself when its device is gone; from then on nothing is
// passed to it, so a closed device is never written, read or polled.
void Serial::write(const QByteArray& bytes)
{
    if (isOpen() && !bytes.isEmpty())
        mBackend->write(bytes);
}

void Serial::xmitWait()
{
    if (isOpen())
        mBackend->flush();
}

QByteArray Serial::readAll()
{
    return isOpen() ? mBackend->readAll() : QByteArray();
}

void Serial::poll()
{
    if (isOpen())
        mBackend->poll();
}

void Serial::discardInput()
{
    if (isOpen())
        mBackend->discardInput();
}
