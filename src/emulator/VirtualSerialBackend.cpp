#include "VirtualSerialBackend.h"

#include "QmcModel.h"

#include <algorithm>

namespace {
// 8N1: a start bit, eight data bits and a stop bit per byte.
constexpr int kBitsPerByte = 10;
} // namespace

VirtualSerialBackend::VirtualSerialBackend(QmcModel* model, bool imitateLine, QObject* parent)
    : SerialBackend(parent), mModel(model), mImitateLine(imitateLine)
{
    // Answers are due at sub-millisecond instants; a coarse timer would add
    // up to 5% of its interval on every exchange.
    mTimer.setTimerType(Qt::PreciseTimer);
    mTimer.setSingleShot(true);
    connect(&mTimer, &QTimer::timeout, this, &VirtualSerialBackend::deliver);
}

VirtualSerialBackend::~VirtualSerialBackend() = default;

bool VirtualSerialBackend::open(qint32 baud)
{
    if (!mModel) {
        setLastError(SerialError::NotFound, QStringLiteral("The virtual controller is gone"));
        return false;
    }
    // A controller that hung up stays unreachable, as an unplugged device.
    if (mModel->isHungUp()) {
        setLastError(SerialError::NotFound,
                     QStringLiteral("The virtual controller has hung up the line"));
        return false;
    }
    mBaud = baud > 0 ? baud : 9600;
    mOpen = true;
    mInFlight.clear();
    mReceived.clear();
    mOutFree = mInFree = TimePoint{};
    setLastError(SerialError::None, {});
    return true;
}

void VirtualSerialBackend::close()
{
    // Bytes still on the wire are lost with the line.
    mOpen = false;
    mTimer.stop();
    mInFlight.clear();
    mReceived.clear();
}

void VirtualSerialBackend::setBaud(qint32 baud)
{
    if (baud > 0)
        mBaud = baud;
}

std::chrono::nanoseconds VirtualSerialBackend::byteTime() const
{
    if (!mImitateLine)
        return std::chrono::nanoseconds::zero();
    return std::chrono::nanoseconds(qint64(kBitsPerByte) * 1'000'000'000 / mBaud);
}

qint64 VirtualSerialBackend::write(const QByteArray& bytes)
{
    if (!mOpen)
        return -1;
    const auto now = std::chrono::steady_clock::now();
    const auto t = byteTime();
    for (const char c : bytes) {
        // Out on the wire behind the bytes before it, then the answer back
        // behind the answers before it.
        const TimePoint arrives = std::max(now, mOutFree) + t;
        mOutFree = arrives;
        const TimePoint back = std::max(arrives, mInFree) + t;
        mInFree = back;
        mInFlight.push_back({quint8(c), back});
    }
    arm();
    return bytes.size();
}

QByteArray VirtualSerialBackend::readAll()
{
    QByteArray out;
    out.swap(mReceived);
    return out;
}

void VirtualSerialBackend::arm()
{
    if (!mOpen || mInFlight.empty()) {
        mTimer.stop();
        return;
    }
    using namespace std::chrono;
    const auto left = mInFlight.front().answerDue - steady_clock::now();
    // The timer counts whole milliseconds: wait for the whole ones, then
    // let the remaining fraction pass on zero-timer passes of the event loop.
    const auto whole = std::max(duration_cast<milliseconds>(left), milliseconds::zero());
    mTimer.start(whole);
}

void VirtualSerialBackend::deliver()
{
    const auto now = std::chrono::steady_clock::now();
    bool received = false;
    bool hungUp = false;
    while (mOpen && !mInFlight.empty() && mInFlight.front().answerDue <= now) {
        const quint8 byte = mInFlight.front().byte;
        mInFlight.pop_front();
        if (!mModel)
            break;
        if (const std::optional<quint8> answer = mModel->feed(byte)) {
            mReceived.append(char(*answer));
            received = true;
        } else if (mModel->isHungUp()) {
            hungUp = true;
            mInFlight.clear();
            break;
        }
    }
    // The handlers below may write (re-arming the timer) or close the port.
    if (received)
        emit dataAvailable();
    if (hungUp && mOpen) {
        const QString text = QStringLiteral("The virtual controller hung up the line");
        setLastError(SerialError::DeviceGone, text);
        emit errorOccurred(SerialError::DeviceGone, text);
        return;
    }
    arm();
}
