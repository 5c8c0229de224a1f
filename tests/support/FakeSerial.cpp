#include "FakeSerial.h"

#include <QTimer>

FakeSerialDevice::FakeSerialDevice(QObject* parent) : QObject(parent) {}

SerialPortEntry FakeSerialDevice::entry(const QString& name, const QString& inputDriver,
                                        const QString& outputDriver)
{
    QPointer<FakeSerialDevice> self(this);
    return {name, inputDriver, outputDriver, [self]() -> std::unique_ptr<SerialBackend> {
                return self ? std::make_unique<FakeSerialBackend>(self.data()) : nullptr;
            }};
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

void FakeSerialDevice::unplug()
{
    mUnplugged = true;
    if (mBackend && mBackend->isOpen())
        mBackend->vanish();
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
    if (mDevice->mUnplugged) {
        setLastError(SerialError::NotFound, QStringLiteral("No such file or directory"));
        return false;
    }
    if (mDevice->mOpenFailure != SerialError::None) {
        setLastError(mDevice->mOpenFailure, mDevice->mOpenFailureText);
        return false;
    }
    // Bytes the device sent while nobody listened are still queued, as on
    // a real line.
    mOpen = true;
    mDevice->mOpenCount++;
    mDevice->mLastBaud = baud;
    mDevice->mBackend = this;
    return true;
}

void FakeSerialBackend::close()
{
    if (!mOpen)
        return;
    mOpen = false;
    if (mDevice)
        mDevice->mCloseCount++;
}

void FakeSerialBackend::vanish()
{
    close();
    setLastError(SerialError::DeviceGone, QStringLiteral("Input/output error"));
    // Told from the event loop, as a real descriptor's hang-up is; never
    // after this backend is gone.
    QTimer::singleShot(0, this,
                       [this] { emit errorOccurred(SerialError::DeviceGone, errorString()); });
}

void FakeSerialBackend::discardInput()
{
    if (!mOpen || !mDevice)
        return;
    mDevice->mPending.clear();
}

qint64 FakeSerialBackend::write(const QByteArray& bytes)
{
    if (!mDevice)
        return -1;
    if (!mOpen) {
        mDevice->mClosedAccessCount++;
        return -1;
    }
    mDevice->mWritten.append(bytes);
    if (mDevice->mReplier) {
        QByteArray reply;
        for (char c : bytes)
            reply.append(mDevice->mReplier(c));
        if (!reply.isEmpty()) {
            QTimer::singleShot(0, this, [this, reply] {
                if (mOpen && mDevice)
                    mDevice->feed(reply);
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
    if (!mDevice)
        return {};
    if (!mOpen) {
        mDevice->mClosedAccessCount++;
        return {};
    }
    QByteArray out;
    out.swap(mDevice->mPending);
    return out;
}

void FakeSerialBackend::poll()
{
    if (!mDevice)
        return;
    if (!mOpen)
        mDevice->mClosedAccessCount++;
}

void FakeSerialBackend::setBaud(qint32 baud)
{
    if (mDevice)
        mDevice->mLastBaud = baud;
}
