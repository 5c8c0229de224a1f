#pragma once

#include "BoardScheduler.h"
#include "ProgramImage.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>

// The controller's three memories.
enum class Memory
{
    Sram,
    IntRom,
    ExtRom
};
// "sram", "introm", "extrom".
QString MemoryName(Memory memory);

// One exchange started by a function of the link (a servo or speed command,
// a byte stream, a run-control command). Its result is what the link read.
class ExchangeJob : public BoardJob
{
public:
    using Start = std::function<bool(ControllerLink&)>;
    ExchangeJob(QString title, Start start);

    QByteArray readData() const { return mRead; }
    // For run-control commands: the controller did not echo the command.
    bool echoMismatch() const { return mEchoMismatch; }

protected:
    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

private:
    Start mStart;
    QByteArray mRead;
    bool mEchoMismatch = false;
};

// Who is on the line. The probe is the identification handshake alone
// (seven exchanges); the full form also reads the program checksum and the
// program header.
class IdentifyJob : public BoardJob
{
public:
    enum class Depth
    {
        Probe,
        Full
    };
    explicit IdentifyJob(Depth depth = Depth::Full);

    QByteArray name() const { return mName; }         // six printable characters
    QByteArray checksum() const { return mChecksum; } // static RAM 04F2..04F3
    QByteArray header() const { return mHeader; }     // external ROM 0000..000F

protected:
    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

private:
    Depth mDepth;
    QByteArray mName;
    QByteArray mChecksum;
    QByteArray mHeader;
};

// A memory range read address by address, in exchanges of at most cChunk
// addresses: a command from elsewhere that replaces one costs only that
// chunk, and a cancel is honoured within it.
class ReadMemoryJob : public BoardJob
{
public:
    static constexpr qint32 cChunk = 64;
    ReadMemoryJob(QString title, Memory memory, qint32 address, qint32 length);

    Memory memory() const { return mMemory; }
    qint32 address() const { return mAddress; }
    // The bytes read, in address order; complete once the job is done.
    QByteArray data() const { return mData; }

protected:
    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

private:
    Memory mMemory;
    qint32 mAddress;
    qint32 mLength;
    qint32 mChunkLength = 0;
    QByteArray mData;
};

// A memory range written address by address, in chunks as ReadMemoryJob.
class WriteMemoryJob : public BoardJob
{
public:
    static constexpr qint32 cChunk = 64;
    WriteMemoryJob(QString title, Memory memory, qint32 address, QByteArray data);

    qint32 address() const { return mAddress; }
    // How many bytes are written so far.
    qint32 written() const { return mWritten; }

protected:
    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

private:
    Memory mMemory;
    qint32 mAddress;
    QByteArray mBytes;
    qint32 mWritten = 0;
    qint32 mChunkLength = 0;
};

// Starts a read or write of one memory on the link (false: refused).
bool StartMemoryRead(ControllerLink& link, Memory memory, qint32 address, qint32 length);
bool StartMemoryWrite(ControllerLink& link, Memory memory, qint32 address, const QByteArray& data);

// The program read out of the external ROM: its size (000E..000F), then
// the code from 0000 up to the size, in chunks. A size that cannot be a
// program's (an erased ROM reads FFFF) fails the job before anything else is
// read.
class ProgramBackupJob : public BoardJob
{
public:
    static constexpr qint32 cChunk = 64;
    ProgramBackupJob();

    qint32 size() const { return mSize; }
    QByteArray program() const { return mProgram; }
    // Why the stored size is no program's (kind None when it is).
    ProgramImage::Problem problem() const { return mProblem; }

protected:
    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

private:
    bool mSizeKnown = false;
    qint32 mSize = 0;
    qint32 mChunkLength = 0;
    QByteArray mProgram;
    ProgramImage::Problem mProblem;
};

// The positions of the servos of some groups (1..8, six channels each), one
// group read per exchange. A refresh that runs for ever is a background job
// resubmitted when done.
class ServoRefreshJob : public BoardJob
{
public:
    static constexpr int cChannels = 48;
    static constexpr int cGroupSize = 6;
    explicit ServoRefreshJob(QList<int> groups = {1, 2, 3, 4, 5, 6, 7, 8});

    QList<int> groups() const { return mGroups; }
    // Channel 1..48; -1 until its group has been read.
    int position(int channel) const;

protected:
    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

private:
    QList<int> mGroups;
    qsizetype mNext = 0;
    std::array<int, cChannels> mPositions;
};

// Something to send to each of some servo channels, one exchange per
// channel, the latest wish for a channel winning: a slider dragged over a slow
// line sends where it is now, not every place it passed; a switch clicked
// twice sends where it ended.
class ChannelWishJob : public BoardJob
{
public:
    using BoardJob::BoardJob;
    bool hasPending() const { return !mPending.isEmpty(); }

protected:
    // Sets or replaces the value still to send to the channel. Has no effect
    // once the job is over (make a new one).
    void wish(int channel, int value);
    // The one exchange that sends a value.
    virtual bool send(ControllerLink& link, int channel, int value) = 0;

    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

private:
    QList<std::pair<int, int>> mPending; // channel, value, in the order first wished
    std::pair<int, int> mSending{0, 0};
    qint64 mSent = 0;
};

// Servo positions to set: E6, channel, position.
class ServoMoveJob : public ChannelWishJob
{
public:
    ServoMoveJob() : ChannelWishJob(QStringLiteral("servo set")) {}
    void set(int channel, int position) { wish(channel, position); }

protected:
    bool send(ControllerLink& link, int channel, int position) override;
};

// Servos to switch on or off: E7 or E8, channel. Switching every channel is
// one job rather than 48.
class ServoPowerJob : public ChannelWishJob
{
public:
    ServoPowerJob() : ChannelWishJob(QStringLiteral("servo power")) {}
    void set(int channel, bool on) { wish(channel, on ? 1 : 0); }

protected:
    bool send(ControllerLink& link, int channel, int on) override;
};

// Puts a program on the board: first the board's own program is read and
// saved in a backup file, then the image is written to the external ROM from
// 0000, then (with verify) read back and compared. A difference fails the job
// with its address; nothing is written before the backup is saved.
class ProgramRestoreJob : public BoardJob
{
public:
    static constexpr qint32 cChunk = 64;
    enum class Phase
    {
        Backup,
        Writing,
        Verifying,
        Finished
    };
    // image must pass ProgramImage::checkFile; backupFolder is made if
    // missing.
    ProgramRestoreJob(QByteArray image, QString backupFolder, bool verify = true);

    Phase phase() const { return mPhase; }
    // The backup file, once saved (empty before).
    QString backupPath() const { return mBackupPath; }
    // Bytes of the image written so far, from 0000: the board holds them.
    qint32 written() const { return mWritten; }
    // The first address where the board differs from the image; -1 if none.
    qint32 firstDifference() const { return mDifference; }
    quint8 wrote() const { return mWrote; }
    quint8 readBack() const { return mReadBack; }

protected:
    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

    void exchangeFailed(ControllerLink& link, const LinkFailure& failure) override;

private:
    bool saveBackup();
    void updateProgress();

    QByteArray mImage;
    QString mFolder;
    bool mVerify;
    Phase mPhase = Phase::Backup;
    bool mSizeKnown = false;
    qint32 mBackupSize = 0;
    QByteArray mBackup;
    QString mBackupPath;
    qint32 mChunkLength = 0;
    qint32 mWritten = 0;
    qint32 mChecked = 0;
    qint32 mDifference = -1;
    quint8 mWrote = 0;
    quint8 mReadBack = 0;
};

// Compares the board's external ROM with a program image, writing nothing:
// the image's length is read from 0000 on (the size field included, so a
// board holding another size differs at 000E).
class ProgramVerifyJob : public BoardJob
{
public:
    static constexpr qint32 cChunk = 64;
    explicit ProgramVerifyJob(QByteArray image);

    qint32 firstDifference() const { return mDifference; }
    quint8 expected() const { return mExpected; }
    quint8 found() const { return mFound; }

protected:
    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

private:
    QByteArray mImage;
    qint32 mChecked = 0;
    qint32 mChunkLength = 0;
    qint32 mDifference = -1;
    quint8 mExpected = 0;
    quint8 mFound = 0;
};

// Where the program keeps backups of the board's program, under the user's
// data folder (nothing is made here).
QString ProgramBackupFolder();
