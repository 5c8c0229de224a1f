#pragma once

#include "BoardScheduler.h"
#include "ProgramImage.h"

#include <QByteArray>
#include <QString>

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
