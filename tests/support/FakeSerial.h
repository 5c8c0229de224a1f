#pragma once

#include "platform/SerialPorts.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <functional>

class FakeSerialBackend;

// A scriptable serial device for tests. It outlives the backends that Serial
// makes and closes, so a test sees everything written across opens.
//
// Replies: with a replier set, every byte written is answered through the
// event loop (never inside write()), one reply per byte, in order; a replier
// returning an empty array sends no answer. Without one, the test delivers
// bytes itself with feed().
class FakeSerialDevice : public QObject
{
    Q_OBJECT
public:
    using Replier = std::function<QByteArray(char written)>;
    using QObject::QObject;

    // An inventory entry that opens this device.
    SerialPortEntry entry(const QString& name, const QString& inputDriver = {},
                          const QString& outputDriver = {});

    // Script.
    void setReplier(Replier replier) { mReplier = std::move(replier); }
    void setEcho()
    {
        mReplier = [](char c) { return QByteArray(1, c); };
    }
    void setOpenFailure(SerialError error, const QString& text = QStringLiteral("refused"))
    {
        mOpenFailure = error;
        mOpenFailureText = text;
    }
    void clearOpenFailure() { mOpenFailure = SerialError::None; }

    // Drive from the test: bytes become readable and dataAvailable fires now.
    void feed(const QByteArray& bytes);
    // Bytes become readable without a notification (found only by a poll).
    void feedSilently(const QByteArray& bytes) { mPending.append(bytes); }
    // The device reports an error while open.
    void raiseError(SerialError error, const QString& text = QStringLiteral("device error"));
    // The device goes away as a real one does: an open backend closes itself
    // and reports DeviceGone from the event loop; opening fails with
    // NotFound from then on.
    void unplug();

    // Observation.
    QByteArray written() const { return mWritten; }
    void clearWritten() { mWritten.clear(); }
    int openCount() const { return mOpenCount; }
    int closeCount() const { return mCloseCount; }
    int flushCount() const { return mFlushCount; }
    // Bytes written, read or polled while the backend was closed: a real
    // device would have failed each such call.
    int closedAccessCount() const { return mClosedAccessCount; }
    bool isOpen() const;
    qint32 lastBaud() const { return mLastBaud; }

private:
    friend class FakeSerialBackend;
    Replier mReplier;
    SerialError mOpenFailure = SerialError::None;
    QString mOpenFailureText;
    QByteArray mWritten;
    QByteArray mPending; // readable by the backend
    int mOpenCount = 0;
    int mCloseCount = 0;
    int mFlushCount = 0;
    int mClosedAccessCount = 0;
    qint32 mLastBaud = 0;
    QPointer<FakeSerialBackend> mBackend;
};
