#pragma once

#include <QByteArray>
#include <QObject>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

// A model of the QMC-4410 servo controller as the serial line sees it.
//
// The line is lock-step: every byte the computer sends is answered by exactly
// one byte. feed() takes one received byte and returns the answer, so the
// model needs no port; the in-process virtual port and the pseudo-terminal
// tool both wrap it.
//
// What the firmware does beyond the bytes on the line is ours to choose; the
// rules below are the ones every exchange of the program relies on:
//  - an echo unless a rule says otherwise;
//  - F0 identification: echo, then six bytes answered with the six
//    identification bytes;
//  - F3/FA/FB/FC break, stop, run, reset: echo, the run state follows;
//  - EC transfer or delete: echo;
//  - F7/B3/F2 read static RAM, internal ROM, external ROM: code, address low,
//    address high echoed, the fourth byte answered with the memory byte;
//  - F8 write static RAM: code, low, high echoed, the fourth byte stored and
//    echoed;
//  - B4/F4 write internal, external ROM: code, sub-code, low, high and the
//    first data byte echoed, the second data byte stored and echoed;
//  - FF: echo, then a key code 128..255, echoed;
//  - B0: echo, the next byte answered with the moving flag; B1 x, B2 x, E9 x,
//    E6 ch pos, E7 ch, E8 ch: servo and speed settings, all echoed;
//  - D4..DB: echo, then six bytes answered with the positions of the six
//    servos of group 1..8;
//  - any other 01..7F is a key code, echoed; a 00 right after it is answered
//    with the position of the servo of that channel.
// An exchange left unfinished is abandoned after 50 ms without a byte.
//
// Servos travel (see the README's "The speed model"): with the B2 speed step
// at 0 a new position is taken at once; at speed N a servo moves N position
// units every 20 ms (one pulse of a 50 Hz servo signal) towards its target, so
// a move of D units takes ceil(D * 20 / N) ms on the model's clock. With
// point-to-point on (B1 01) every servo still travelling when a new target
// arrives is slowed so that all of them arrive together, when the slowest
// would. Positions read back (D4..DB, "ch 00") are where the servos are now,
// and the moving flag (B0) is 1 while any servo travels or the program runs.
class QmcModel : public QObject
{
    Q_OBJECT
public:
    static constexpr int cMemorySize = 0x10000;
    static constexpr int cServoCount = 48; // eight groups of six
    static constexpr int cServoGroups = 8;
    // The remote's variables #2..#8 are the static RAM bytes 0141..0147.
    static constexpr int cVariableBase = 0x0140;
    // Where the external ROM keeps the program size and static RAM its checksum.
    static constexpr int cProgramSizeAddr = 0x000E;
    static constexpr int cChecksumAddr = 0x04F2;

    // An exchange is abandoned when no byte arrives for this long.
    static constexpr std::chrono::milliseconds cAbandonAfter{50};

    enum class RunState
    {
        Stopped,
        Running,
        Paused // after a break
    };

    enum class Fault
    {
        None,
        Silent,      // never answers
        Wrong,       // answers every byte with its bitwise complement
        StopAfter,   // answers the first N bytes, then nothing
        WrongAfter,  // answers the first N bytes, then each with its complement
        HangUpAfter, // answers the first N bytes, hangs up at the next one
        // No controller at all, and none of its state moves:
        Loopback, // a loopback plug: every byte comes back unchanged
        Zero      // a device that answers every byte with 00
    };

    // A monotonic clock in milliseconds; tests inject their own.
    using Clock = std::function<qint64()>;

    explicit QmcModel(QObject* parent = nullptr);

    // Back to the power-on state: memories with the demo program, default
    // identification, servos off at 0, parser idle, counters zero, no fault.
    void powerOn();

    // One byte received; the answer, or nothing when a fault mode keeps quiet
    // (or the line is hung up).
    std::optional<quint8> feed(quint8 byte);

    void setClock(Clock clock);
    // How long a silence abandons an exchange (cAbandonAfter at power-on);
    // zero never abandons one.
    void setAbandonAfter(std::chrono::milliseconds silence) { mAbandonAfter = silence; }
    std::chrono::milliseconds abandonAfter() const { return mAbandonAfter; }
    // Drops any unfinished exchange now, as 50 ms of silence would.
    void abandonExchange();
    bool isIdle() const { return mState == State::Idle; }

    // Fault modes, counted from the byte after this call.
    void setFault(Fault fault, int count = 0);
    // A memory cell that keeps its value: a write to it is answered as usual
    // but not stored (a worn ROM cell). code is the memory's write or read
    // command byte (F8/F7 static RAM, B4/B3 internal ROM, F4/F2 external ROM).
    void setStuck(quint8 code, int addr);
    Fault fault() const { return mFault; }
    bool isHungUp() const { return mHungUp; }

    // The external ROM image: copied from address 0000 on (the rest is 00),
    // and the checksum at static RAM 04F2..04F3 recomputed from it. False,
    // and nothing changed, for an image larger than the ROM.
    bool loadProgram(const QByteArray& image);
    static QByteArray demoProgram();
    // The 16-bit sum of the program's bytes: external ROM 0000 up to the
    // size stored at 000E..000F, the header included.
    quint16 programChecksum() const;
    quint16 programSize() const;

    void setIdentification(const QByteArray& sixBytes);
    QByteArray identification() const { return mIdent; }

    // Memories.
    quint8 sram(int addr) const { return mSram[addr & 0xFFFF]; }
    quint8 intRom(int addr) const { return mIntRom[addr & 0xFFFF]; }
    quint8 extRom(int addr) const { return mExtRom[addr & 0xFFFF]; }
    void setSram(int addr, quint8 value);
    void setIntRom(int addr, quint8 value) { mIntRom[addr & 0xFFFF] = value; }
    void setExtRom(int addr, quint8 value) { mExtRom[addr & 0xFFFF] = value; }

    // The remote's variables: number 2..8 is static RAM 0140 + number - 1.
    quint8 variable(int number) const;

    // Keys: the last code received (0 before the first) with its remote ID
    // (1 for codes 1..32, 2 for 33..64, ...) and key number 1..32.
    int lastKeyCode() const { return mLastKey; }
    int lastKeyId() const { return mLastKey ? (mLastKey - 1) / 32 + 1 : 0; }
    int lastKeyNumber() const { return mLastKey ? (mLastKey - 1) % 32 + 1 : 0; }
    int keyCount() const { return mKeyCount; }

    // Run state and servos (channels 1..48).
    RunState runState() const { return mRunState; }
    // The moving flag B0 answers: the program runs or a servo travels.
    bool isMoving() const;
    // Where the servo is now on the model's clock (0 for a channel outside 1..48).
    quint8 servoPosition(int channel) const;
    // Where it is going (its position once it has arrived).
    quint8 servoTarget(int channel) const;
    bool servoOn(int channel) const;
    // Puts the servo at the position at once, as a servo that never travels.
    void setServoPosition(int channel, quint8 position);
    // Whether any servo is on its way now.
    bool isTravelling() const;
    // Milliseconds a move of `distance` units takes at the speed step
    // (0: at once).
    static qint64 travelMs(int distance, int speed);
    static constexpr int cSpeedTickMs = 20;
    bool pointToPoint() const { return mPtp; }
    quint8 speed() const { return mSpeed; }
    quint8 speedValue() const { return mSpeedValue; }

    quint64 bytesReceived() const { return mBytesReceived; }
    quint64 bytesAnswered() const { return mBytesAnswered; }

signals:
    // A remote key arrived: code 1..255, ID and key as lastKeyId/lastKeyNumber.
    void keyReceived(int code, int id, int key);
    // A variable #2..#8 was written.
    void variableChanged(int number, int value);
    // Anything observable changed (every byte received counts).
    void stateChanged();
    void hungUp();

private:
    enum class State
    {
        Idle,
        Ident,      // mStep identification bytes answered so far
        MemRead,    // code received; mStep: 1 low, 2 high, 3 data
        SramWrite,  // as MemRead
        RomWrite,   // mStep: 1 sub-code, 2 low, 3 high, 4 first data, 5 second
        EscapedKey, // FF received
        Moving,     // B0 received
        OneArg,     // B1, B2, E9, E7, E8: one argument byte follows
        ServoPos,   // E6: channel, then position
        Group,      // D4..DB: mStep positions answered so far
        AfterKey    // a key code received; a 00 now reads that servo
    };

    quint8 step(quint8 byte);
    void recordKey(int code);
    std::vector<quint8>& memoryFor(quint8 code);
    bool isStuck(const std::vector<quint8>& memory, int addr) const;
    int servoIndex(int channel) const;

    std::vector<quint8> mSram;
    std::vector<quint8> mIntRom;
    std::vector<quint8> mExtRom;
    QByteArray mIdent;

    State mState = State::Idle;
    quint8 mCode = 0; // the command byte of the exchange in progress
    int mStep = 0;
    int mAddr = 0;
    int mArg = 0;
    qint64 mLastByteAt = 0;
    bool mHadByte = false;
    Clock mClock;
    std::chrono::milliseconds mAbandonAfter = cAbandonAfter;

    Fault mFault = Fault::None;
    std::vector<std::pair<const std::vector<quint8>*, int>> mStuck;
    int mFaultCount = 0;
    quint64 mFaultBase = 0;
    bool mHungUp = false;

    int mLastKey = 0;
    int mKeyCount = 0;
    RunState mRunState = RunState::Stopped;
    // A servo's move: from where it stood when the target came, over
    // durationMs from startMs (0: already there).
    struct Travel
    {
        quint8 from = 0;
        quint8 to = 0;
        qint64 startMs = 0;
        qint64 durationMs = 0;
        int speed = 0;
    };
    quint8 positionAt(const Travel& t, qint64 now) const;
    bool travelling(const Travel& t, qint64 now) const;
    void moveServo(int channel, quint8 target);

    std::array<Travel, cServoCount> mTravel{};
    std::array<bool, cServoCount> mServoOn{};
    bool mPtp = false;
    quint8 mSpeed = 0;
    quint8 mSpeedValue = 0;
    quint64 mBytesReceived = 0;
    quint64 mBytesAnswered = 0;
};
