#include "FakeSerial.h"

#include <QTimer>

FakeSerialDevice::FakeSerialDevice(QObject* parent) : QObject(parent) {}

SerialPortEntry FakeSerialDevice::entry(const QString& name, const QString& inputDriver,
                                        const QString& outputDriver)
{
    SerialPortEntry e;
    e.name = name;
    e.inputDriverName = inputDriver;
    e.outputDriverName = outputDriver;
    QPointer<FakeSerialDevice> self(this);
    e.makeBackend = [self]() -> std::unique_ptr<SerialBackend> {
        if (!self)
            return nullptr;
        return std::make_unique<FakeSerialBackend>(self.data());
    };
    return e;
}

void FakeSerialDevice::setOpenFailure(SerialError error, const QString& text)
{
    mOpenFailure = error;
    mOpenFailureText = text;
}

void FakeSerialDevice::feed(const QByteArray& bytes)
{
    mPending.append(bytes);
    if (mBackend && mBackend->isOpen())
        mBackend->announce();
}

void FakeSerialDevice::feedSilently(const QByteArray& bytes)
{
    mPending.append(bytes);
}

void FakeSerialDevice::raiseError(SerialError error, const QString& text)
{
    if (mBackend && mBackend->isOpen())
        mBackend->fail(error, text);
}

bool FakeSerialDevice::isOpen() const
{
    return mBackend && mBackend->isOpen();
}

FakeSerialBackend::FakeSerialBackend(FakeSerialDevice* device) : mDevice(device) {}

FakeSerialBackend::~FakeSerialBackend()
{
    close();
}

bool FakeSerialBackend::open(qint32 baud)
{
    if (!mDevice)
        return false;
    if (mDevice->mOpenFailure != SerialError::None) {
        setLastError(mDevice->mOpenFailure, mDevice->mOpenFailureText);
        return false;
    }
    mOpen = true;
    mDevice->mOpenCount++;
    mDevice->mLastBaud = baud;
    mDevice->mPending.clear();
    mDevice->mBackend = this;
    return true;
}

void FakeSerialBackend::close()
{
    if (!mOpen)
        return;
    mOpen = false;
    if (mDevice) {
        mDevice->mCloseCount++;
        mDevice->mPending.clear();
    }
}

qint64 FakeSerialBackend::write(const QByteArray& bytes)
{
    if (!mOpen || !mDevice)
        return -1;
    mDevice->mWritten.append(bytes);
    emit mDevice->bytesWritten(bytes);
    if (mDevice->mReplier) {
        QByteArray reply;
        for (char c : bytes)
            reply.append(mDevice->mReplier(c));
        if (!reply.isEmpty()) {
            QPointer<FakeSerialBackend> self(this);
            QTimer::singleShot(0, this, [self, reply] {
                if (self && self->mOpen && self->mDevice)
                    self->mDevice->feed(reply);
            });
        }
    }
    return bytes.size();
}

void FakeSerialBackend::flush()
{
    if (mDevice)
        mDevice->mFlushCount++;
}

QByteArray FakeSerialBackend::readAll()
{
    if (!mOpen || !mDevice)
        return {};
    QByteArray out;
    out.swap(mDevice->mPending);
    return out;
}

void FakeSerialBackend::poll()
{
    if (mDevice)
        mDevice->mPollCount++;
}

void FakeSerialBackend::setBaud(qint32 baud)
{
    if (mDevice)
        mDevice->mLastBaud = baud;
}
