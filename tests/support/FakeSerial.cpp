#include "FakeSerial.h"

#include <QTimer>

#include <utility>

// What Serial opens: it passes every call to the device while open and
// counts the calls a real closed device would have failed.
class FakeSerialBackend : public SerialBackend
{
public:
    explicit FakeSerialBackend(FakeSerialDevice* device) : mDevice(device) {}
    ~FakeSerialBackend() override { close(); }

    bool open(qint32 baud) override
    {
        if (!mDevice)
            return false;
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
    void close() override
    {
        if (mOpen && mDevice)
            mDevice->mCloseCount++;
        mOpen = false;
    }
    bool isOpen() const override { return mOpen; }
    qint64 write(const QByteArray& bytes) override
    {
        if (!usable())
            return -1;
        mDevice->mWritten.append(bytes);
        QByteArray reply;
        for (char c : bytes)
            reply.append(mDevice->mReplier ? mDevice->mReplier(c) : QByteArray());
        if (!reply.isEmpty()) {
            QTimer::singleShot(0, this, [this, reply] {
                if (mOpen && mDevice)
                    mDevice->feed(reply);
            });
        }
        return bytes.size();
    }
    void flush() override
    {
        if (mDevice)
            mDevice->mFlushCount++;
    }
    QByteArray readAll() override
    {
        return usable() ? std::exchange(mDevice->mPending, QByteArray()) : QByteArray();
    }
    void poll() override { (void)usable(); }
    void setBaud(qint32 baud) override
    {
        if (mDevice)
            mDevice->mLastBaud = baud;
    }

    void announce() { emit dataAvailable(); }
    void fail(SerialError e, const QString& text)
    {
        setLastError(e, text);
        emit errorOccurred(e, text);
    }

private:
    bool usable()
    {
        if (mDevice && !mOpen)
            mDevice->mClosedAccessCount++;
        return mDevice && mOpen;
    }

    QPointer<FakeSerialDevice> mDevice;
    bool mOpen = false;
};

SerialPortEntry FakeSerialDevice::entry(const QString& name, const QString& inputDriver,
                                        const QString& outputDriver)
{
    QPointer<FakeSerialDevice> self(this);
    return {name, inputDriver, outputDriver, [self]() -> std::unique_ptr<SerialBackend> {
                return self ? std::make_unique<FakeSerialBackend>(self.data()) : nullptr;
            }};
}

bool FakeSerialDevice::isOpen() const
{
    return mBackend && mBackend->isOpen();
}

void FakeSerialDevice::feed(const QByteArray& bytes)
{
    mPending.append(bytes);
    if (isOpen())
        mBackend->announce();
}

void FakeSerialDevice::raiseError(SerialError error, const QString& text)
{
    if (isOpen())
        mBackend->fail(error, text);
}

void FakeSerialDevice::unplug()
{
    setOpenFailure(SerialError::NotFound, QStringLiteral("No such file or directory"));
    if (!isOpen())
        return;
    // The backend closes at once and tells it from the event loop, as a real
    // descriptor's hang-up is told; never after the backend is gone.
    mBackend->close();
    QTimer::singleShot(0, mBackend, [backend = mBackend.data()] {
        backend->fail(SerialError::DeviceGone, QStringLiteral("Input/output error"));
    });
}
