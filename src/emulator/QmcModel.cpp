#include "QmcModel.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Command bytes of the line.
constexpr quint8 kIdentify = 0xF0;
constexpr quint8 kBreak = 0xF3;
constexpr quint8 kStop = 0xFA;
constexpr quint8 kRun = 0xFB;
constexpr quint8 kReset = 0xFC;
constexpr quint8 kTransfer = 0xEC;
constexpr quint8 kSramRead = 0xF7;
constexpr quint8 kSramWrite = 0xF8;
constexpr quint8 kIntRomRead = 0xB3;
constexpr quint8 kIntRomWrite = 0xB4;
constexpr quint8 kExtRomRead = 0xF2;
constexpr quint8 kExtRomWrite = 0xF4;
constexpr quint8 kEscapedKey = 0xFF;
constexpr quint8 kIsMoving = 0xB0;
constexpr quint8 kPtp = 0xB1;
constexpr quint8 kSpeed = 0xB2;
constexpr quint8 kSpeedValue = 0xE9;
constexpr quint8 kServoPos = 0xE6;
constexpr quint8 kServoOn = 0xE7;
constexpr quint8 kServoOff = 0xE8;
constexpr quint8 kGroupFirst = 0xD4; // group 1; DB is group 8

constexpr int kIdentLength = 6;
constexpr int kGroupSize = 6;

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

QmcModel::QmcModel(QObject* parent)
    : QObject(parent), mSram(cMemorySize), mIntRom(cMemorySize), mExtRom(cMemorySize),
      mClock(steadyMs)
{
    powerOn();
}

// The demo program the external ROM holds at power-on. A 16-byte header, then
// the motion code the controller's interpreter runs:
//   0000  51 50        marker "QP"
//   0002  01           format version
//   0003  03           number of poses
//   0004  "DEMO-01 "   program name, eight ASCII bytes
//   000C  10 00        entry address 0010
//   000E  size         program size in bytes, header included, low byte first
//   0010  code         servo and speed settings in the line's own command
//                      bytes (E9 speed value, B1 point-to-point, E7 servo on,
//                      E6 servo position), A0 n waits n x 10 ms, C0 lo hi
//                      jumps; three poses of servos 1 and 2, then back to
//                      the first pose for ever.
QByteArray QmcModel::demoProgram()
{
    static const quint8 code[] = {
        0xE9, 0x20,             // speed value 32
        0xB1, 0x01,             // point-to-point on
        0xE7, 0x01, 0xE7, 0x02, // servos 1 and 2 on
        0xE6, 0x01, 0x5A,       // pose 1: both at 90
        0xE6, 0x02, 0x5A,       //
        0xA0, 0x32,             // wait 500 ms
        0xE6, 0x01, 0xB4,       // pose 2: 180 and 0
        0xE6, 0x02, 0x00,       //
        0xA0, 0x32,             //
        0xE6, 0x01, 0x00,       // pose 3: 0 and 180
        0xE6, 0x02, 0xB4,       //
        0xA0, 0x32,             //
        0xC0, 0x18, 0x00,       // jump to pose 1 (0018)
    };
    QByteArray image;
    image.append("QP", 2);
    image.append(char(0x01));
    image.append(char(0x03));
    image.append("DEMO-01 ", 8);
    image.append(char(0x10));
    image.append(char(0x00));
    const int size = 16 + int(sizeof(code));
    image.append(char(size & 0xFF));
    image.append(char(size >> 8));
    image.append(reinterpret_cast<const char*>(code), sizeof(code));
    return image;
}

void QmcModel::powerOn()
{
    std::fill(mSram.begin(), mSram.end(), 0);
    std::fill(mIntRom.begin(), mIntRom.end(), 0);
    loadProgram(demoProgram());
    mIdent = QByteArrayLiteral("QM4410");
    mState = State::Idle;
    mStep = 0;
    mHadByte = false;
    mFault = Fault::None;
    mFaultCount = 0;
    mFaultBase = 0;
    mHungUp = false;
    mLastKey = 0;
    mKeyCount = 0;
    mRunState = RunState::Stopped;
    mTravel.fill(Travel{});
    mServoOn.fill(false);
    mPtp = false;
    mSpeed = 0;
    mSpeedValue = 0;
    mBytesReceived = 0;
    mBytesAnswered = 0;
    emit stateChanged();
}

void QmcModel::setClock(Clock clock)
{
    mClock = clock ? std::move(clock) : Clock(steadyMs);
    mHadByte = false;
    // Moves timed on the old clock mean nothing on the new one: they end
    // where they were going.
    for (Travel& t : mTravel)
        t = Travel{t.to, t.to, 0, 0, 0};
}

void QmcModel::abandonExchange()
{
    mState = State::Idle;
    mStep = 0;
}

void QmcModel::setFault(Fault fault, int count)
{
    mFault = fault;
    mFaultCount = std::max(count, 0);
    mFaultBase = mBytesReceived;
    mHungUp = false;
}

bool QmcModel::isStuck(const std::vector<quint8>& memory, int addr) const
{
    return std::find(mStuck.begin(), mStuck.end(), std::make_pair(&memory, addr)) != mStuck.end();
}

void QmcModel::setStuck(quint8 code, int addr)
{
    mStuck.emplace_back(&memoryFor(code), addr & 0xFFFF);
}

bool QmcModel::loadProgram(const QByteArray& image)
{
    if (image.size() > cMemorySize)
        return false;
    std::fill(mExtRom.begin(), mExtRom.end(), 0);
    std::copy(image.cbegin(), image.cend(), mExtRom.begin());
    const quint16 sum = programChecksum();
    mSram[cChecksumAddr] = quint8(sum & 0xFF);
    mSram[cChecksumAddr + 1] = quint8(sum >> 8);
    emit stateChanged();
    return true;
}

quint16 QmcModel::programSize() const
{
    return quint16(mExtRom[cProgramSizeAddr] | (mExtRom[cProgramSizeAddr + 1] << 8));
}

quint16 QmcModel::programChecksum() const
{
    const int size = programSize();
    unsigned sum = 0;
    for (int i = 0; i < size; ++i)
        sum += mExtRom[i];
    return quint16(sum & 0xFFFF);
}

void QmcModel::setIdentification(const QByteArray& sixBytes)
{
    mIdent = sixBytes.left(kIdentLength);
    mIdent.append(QByteArray(kIdentLength - mIdent.size(), '\0'));
}

void QmcModel::setSram(int addr, quint8 value)
{
    mSram[addr & 0xFFFF] = value;
}

quint8 QmcModel::variable(int number) const
{
    if (number < 2 || number > 8)
        return 0;
    return mSram[cVariableBase + number - 1];
}

int QmcModel::servoIndex(int channel) const
{
    return channel >= 1 && channel <= cServoCount ? channel - 1 : -1;
}

qint64 QmcModel::travelMs(int distance, int speed)
{
    if (speed <= 0 || distance <= 0)
        return 0;
    return (qint64(distance) * cSpeedTickMs + speed - 1) / speed;
}

quint8 QmcModel::positionAt(const Travel& t, qint64 now) const
{
    const qint64 elapsed = now - t.startMs;
    if (t.durationMs <= 0 || elapsed >= t.durationMs)
        return t.to;
    if (elapsed <= 0)
        return t.from;
    // Rounded towards where it came from: a servo is there only once it is.
    const qint64 distance = qint64(t.to) - t.from;
    return quint8(t.from + distance * elapsed / t.durationMs);
}

bool QmcModel::travelling(const Travel& t, qint64 now) const
{
    return t.from != t.to && t.durationMs > 0 && now - t.startMs < t.durationMs;
}

quint8 QmcModel::servoPosition(int channel) const
{
    const int i = servoIndex(channel);
    return i < 0 ? 0 : positionAt(mTravel[i], mClock());
}

quint8 QmcModel::servoTarget(int channel) const
{
    const int i = servoIndex(channel);
    return i < 0 ? 0 : mTravel[i].to;
}

bool QmcModel::isTravelling() const
{
    const qint64 now = mClock();
    return std::any_of(mTravel.cbegin(), mTravel.cend(),
                       [&](const Travel& t) { return travelling(t, now); });
}

bool QmcModel::isMoving() const
{
    return mRunState == RunState::Running || isTravelling();
}

void QmcModel::moveServo(int channel, quint8 target)
{
    const int i = servoIndex(channel);
    if (i < 0)
        return;
    const qint64 now = mClock();
    const quint8 here = positionAt(mTravel[i], now);
    mTravel[i] = Travel{here, target, now, travelMs(std::abs(target - here), mSpeed), mSpeed};
    if (!mPtp)
        return;
    // Point to point: every servo on its way is re-timed from where it is
    // now to arrive when the slowest of them would at its own speed.
    qint64 longest = 0;
    for (const Travel& t : mTravel) {
        if (travelling(t, now))
            longest = std::max(longest, travelMs(std::abs(t.to - positionAt(t, now)), t.speed));
    }
    for (Travel& t : mTravel) {
        if (travelling(t, now))
            t = Travel{positionAt(t, now), t.to, now, longest, t.speed};
    }
}

bool QmcModel::servoOn(int channel) const
{
    const int i = servoIndex(channel);
    return i >= 0 && mServoOn[i];
}

void QmcModel::setServoPosition(int channel, quint8 position)
{
    const int i = servoIndex(channel);
    if (i >= 0)
        mTravel[i] = Travel{position, position, 0, 0, 0};
}

std::optional<quint8> QmcModel::feed(quint8 byte)
{
    // A silence of 50 ms ends whatever exchange was under way: the program
    // abandons one simply by starting the next.
    const qint64 now = mClock();
    if (mHadByte && mState != State::Idle && mAbandonAfter.count() > 0 &&
        now - mLastByteAt >= mAbandonAfter.count())
        abandonExchange();
    mLastByteAt = now;
    mHadByte = true;

    if (mHungUp)
        return std::nullopt;
    ++mBytesReceived;
    const quint64 n = mBytesReceived - mFaultBase; // 1 for the first byte since setFault

    if (mFault == Fault::Loopback || mFault == Fault::Zero) {
        ++mBytesAnswered;
        emit stateChanged();
        return mFault == Fault::Loopback ? byte : quint8(0);
    }
    if (mFault == Fault::HangUpAfter && n > quint64(mFaultCount)) {
        mHungUp = true;
        emit stateChanged();
        emit hungUp();
        return std::nullopt;
    }

    const quint8 answer = step(byte);

    std::optional<quint8> result = answer;
    switch (mFault) {
    case Fault::None:
    case Fault::HangUpAfter:
    case Fault::Loopback:
    case Fault::Zero:
        break;
    case Fault::Silent:
        result.reset();
        break;
    case Fault::Wrong:
        result = quint8(~answer);
        break;
    case Fault::StopAfter:
        if (n > quint64(mFaultCount))
            result.reset();
        break;
    case Fault::WrongAfter:
        if (n > quint64(mFaultCount))
            result = quint8(~answer);
        break;
    }
    if (result)
        ++mBytesAnswered;
    emit stateChanged();
    return result;
}

std::vector<quint8>& QmcModel::memoryFor(quint8 code)
{
    switch (code) {
    case kIntRomRead:
    case kIntRomWrite:
        return mIntRom;
    case kExtRomRead:
    case kExtRomWrite:
        return mExtRom;
    default:
        return mSram;
    }
}

void QmcModel::recordKey(int code)
{
    mLastKey = code;
    ++mKeyCount;
    emit keyReceived(code, lastKeyId(), lastKeyNumber());
}

quint8 QmcModel::step(quint8 byte)
{
    switch (mState) {
    case State::Idle:
        break; // below

    case State::Ident: {
        const quint8 id = quint8(mIdent.at(mStep));
        if (++mStep == kIdentLength)
            mState = State::Idle;
        return id;
    }

    case State::MemRead:
    case State::SramWrite:
        if (mStep == 1) {
            mAddr = byte;
            mStep = 2;
            return byte;
        }
        if (mStep == 2) {
            mAddr |= byte << 8;
            mStep = 3;
            return byte;
        }
        mState = State::Idle;
        if (mCode != kSramWrite)
            return memoryFor(mCode)[mAddr];
        if (!isStuck(mSram, mAddr))
            mSram[mAddr] = byte;
        if (mAddr > cVariableBase && mAddr <= cVariableBase + 7) {
            // The remote panel stores a key code in variable #2..#8.
            emit variableChanged(mAddr - cVariableBase + 1, byte);
            if (byte != 0)
                recordKey(byte);
        }
        return byte;

    case State::RomWrite:
        // Sub-code, address low, address high, the data byte, then the data
        // byte again: the second copy is the one stored.
        switch (mStep++) {
        case 2:
            mAddr = byte;
            break;
        case 3:
            mAddr |= byte << 8;
            break;
        case 5:
            if (!isStuck(memoryFor(mCode), mAddr))
                memoryFor(mCode)[mAddr] = byte;
            mState = State::Idle;
            break;
        default:
            break;
        }
        return byte;

    case State::EscapedKey:
        mState = State::Idle;
        if (byte != 0)
            recordKey(byte);
        return byte;

    case State::Moving:
        mState = State::Idle;
        return isMoving() ? 1 : 0;

    case State::OneArg:
        mState = State::Idle;
        switch (mCode) {
        case kPtp:
            mPtp = byte != 0;
            break;
        case kSpeed:
            mSpeed = byte;
            break;
        case kSpeedValue:
            mSpeedValue = byte;
            break;
        case kServoOn:
        case kServoOff:
            if (const int i = servoIndex(byte); i >= 0)
                mServoOn[i] = mCode == kServoOn;
            break;
        default:
            break;
        }
        return byte;

    case State::ServoPos:
        if (mStep == 1) {
            mArg = byte;
            mStep = 2;
        } else {
            moveServo(mArg, byte);
            mState = State::Idle;
        }
        return byte;

    case State::Group: {
        const quint8 pos = servoPosition(kGroupSize * (mArg - 1) + mStep + 1);
        if (++mStep == kGroupSize)
            mState = State::Idle;
        return pos;
    }

    case State::AfterKey:
        mState = State::Idle;
        if (byte == 0)
            return servoPosition(mArg); // "channel, 00" reads that servo
        break;                          // anything else starts afresh
    }

    // Idle: the byte starts an exchange.
    mCode = byte;
    mStep = 1;
    switch (byte) {
    case kIdentify:
        mState = State::Ident;
        mStep = 0;
        break;
    case kBreak:
        mRunState = RunState::Paused;
        break;
    case kStop:
    case kReset:
        mRunState = RunState::Stopped;
        break;
    case kRun:
        mRunState = RunState::Running;
        break;
    case kTransfer:
        break;
    case kSramRead:
    case kIntRomRead:
    case kExtRomRead:
        mState = State::MemRead;
        break;
    case kSramWrite:
        mState = State::SramWrite;
        break;
    case kIntRomWrite:
    case kExtRomWrite:
        mState = State::RomWrite;
        break;
    case kEscapedKey:
        mState = State::EscapedKey;
        break;
    case kIsMoving:
        mState = State::Moving;
        break;
    case kPtp:
    case kSpeed:
    case kSpeedValue:
    case kServoOn:
    case kServoOff:
        mState = State::OneArg;
        break;
    case kServoPos:
        mState = State::ServoPos;
        break;
    default:
        if (byte >= kGroupFirst && byte < kGroupFirst + cServoGroups) {
            mState = State::Group;
            mArg = byte - kGroupFirst + 1;
            mStep = 0;
        } else if (byte >= 0x01 && byte <= 0x7F) {
            recordKey(byte);
            mState = State::AfterKey;
            mArg = byte;
        }
        break;
    }
    return byte;
}
