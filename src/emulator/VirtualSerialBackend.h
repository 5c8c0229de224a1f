#pragma once

#include "platform/SerialBackend.h"

#include <QPointer>
#include <QTimer>

#include <chrono>
#include <deque>

class QmcModel;

// A serial device whose far end is a QmcModel in this process.
//
// Like a real line, an answer is never readable inside write(): each byte
// reaches the model from the event loop and its answer is announced with
// dataAvailable. With the line imitated, every byte takes the time of ten
// bits at the port's speed each way (at 9600 bit/s about 1.04 ms out and
// 1.04 ms back, so about 2.1 ms per lock-step exchange), and bytes written in
// a burst queue up behind each other as on the wire. Without it the answer
// comes on the next pass of the event loop (tests).
class VirtualSerialBackend : public SerialBackend
{
    Q_OBJECT
public:
    VirtualSerialBackend(QmcModel* model, bool imitateLine, QObject* parent = nullptr);
    ~VirtualSerialBackend() override;

    bool open(qint32 baud) override;
    void close() override;
    bool isOpen() const override { return mOpen; }
    qint64 write(const QByteArray& bytes) override;
    void flush() override {}
    QByteArray readAll() override;
    void setBaud(qint32 baud) override;

    bool imitatesLine() const { return mImitateLine; }
    // Time of one byte on the line in one direction (zero when not imitated).
    std::chrono::nanoseconds byteTime() const;

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct InFlight
    {
        quint8 byte;
        TimePoint answerDue;
    };

    void deliver();
    void arm();

    QPointer<QmcModel> mModel;
    bool mImitateLine;
    bool mOpen = false;
    qint32 mBaud = 9600;
    std::deque<InFlight> mInFlight;
    QByteArray mReceived;
    TimePoint mOutFree{}; // when the computer-to-controller wire is free again
    TimePoint mInFree{};  // when the controller-to-computer wire is free again
    QTimer mTimer;
};
