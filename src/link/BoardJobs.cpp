#include "BoardJobs.h"

#include "ControllerLink.h"

#include <algorithm>

QString MemoryName(Memory memory)
{
    switch (memory) {
    case Memory::Sram:
        return QStringLiteral("sram");
    case Memory::IntRom:
        return QStringLiteral("introm");
    case Memory::ExtRom:
        return QStringLiteral("extrom");
    }
    return {};
}

bool StartMemoryRead(ControllerLink& link, Memory memory, qint32 address, qint32 length)
{
    switch (memory) {
    case Memory::Sram:
        return link.Cmd_SRAM_READ(address, length);
    case Memory::IntRom:
        return link.Cmd_INTROM_READ(address, length);
    case Memory::ExtRom:
        return link.Cmd_EXTROM_READ(address, length);
    }
    return false;
}

bool StartMemoryWrite(ControllerLink& link, Memory memory, qint32 address, const QByteArray& data)
{
    switch (memory) {
    case Memory::Sram:
        return link.Cmd_SRAM_WRITE(address, data);
    case Memory::IntRom:
        return link.Cmd_INTROM_WRITE(address, data);
    case Memory::ExtRom:
        return link.Cmd_EXTROM_WRITE(address, data);
    }
    return false;
}

// --- ExchangeJob --------------------------------------------------------------------

ExchangeJob::ExchangeJob(QString title, Start start)
    : BoardJob(std::move(title)), mStart(std::move(start))
{
    setProgress(0, 1);
}

bool ExchangeJob::startExchange(ControllerLink& link)
{
    return mStart(link);
}

BoardJob::Next ExchangeJob::exchangeFinished(ControllerLink& link)
{
    mRead = link.mReadData;
    mEchoMismatch = link.mEchoMismatch;
    setProgress(1, 1);
    return Next::Done;
}

// --- IdentifyJob --------------------------------------------------------------------

IdentifyJob::IdentifyJob(Depth depth) : BoardJob(QStringLiteral("info")), mDepth(depth)
{
    setProgress(0, 1);
}

bool IdentifyJob::startExchange(ControllerLink& link)
{
    if (mDepth == Depth::Probe)
        link.Cmd_IDENTIFY();
    else
        link.RbCmdSend("CONTROLER_INFORMATION", QByteArray());
    return true;
}

BoardJob::Next IdentifyJob::exchangeFinished(ControllerLink& link)
{
    mName = link.mInfoCtrlr;
    mChecksum = link.mInfoChecksum;
    mHeader = link.mInfoProg;
    setProgress(1, 1);
    return Next::Done;
}

// --- ReadMemoryJob ------------------------------------------------------------------

ReadMemoryJob::ReadMemoryJob(QString title, Memory memory, qint32 address, qint32 length)
    : BoardJob(std::move(title)), mMemory(memory), mAddress(address), mLength(length)
{
    setProgress(0, length);
}

bool ReadMemoryJob::startExchange(ControllerLink& link)
{
    const qint32 done = qint32(mData.size());
    mChunkLength = std::min(cChunk, mLength - done);
    return StartMemoryRead(link, mMemory, mAddress + done, mChunkLength);
}

BoardJob::Next ReadMemoryJob::exchangeFinished(ControllerLink& link)
{
    // The link takes one answer per address; anything else is no read.
    if (link.mReadData.size() != mChunkLength) {
        fail(QStringLiteral("the link returned %1 bytes for %2 addresses")
                 .arg(link.mReadData.size())
                 .arg(mChunkLength));
        return Next::Done;
    }
    mData.append(link.mReadData);
    setProgress(mData.size(), mLength);
    return mData.size() < mLength ? Next::Continue : Next::Done;
}

// --- WriteMemoryJob -----------------------------------------------------------------

WriteMemoryJob::WriteMemoryJob(QString title, Memory memory, qint32 address, QByteArray data)
    : BoardJob(std::move(title)), mMemory(memory), mAddress(address), mBytes(std::move(data))
{
    setProgress(0, mBytes.size());
}

bool WriteMemoryJob::startExchange(ControllerLink& link)
{
    mChunkLength = std::min(cChunk, qint32(mBytes.size()) - mWritten);
    return StartMemoryWrite(link, mMemory, mAddress + mWritten, mBytes.mid(mWritten, mChunkLength));
}

BoardJob::Next WriteMemoryJob::exchangeFinished(ControllerLink& link)
{
    (void)link;
    mWritten += mChunkLength;
    setProgress(mWritten, mBytes.size());
    return mWritten < mBytes.size() ? Next::Continue : Next::Done;
}

// --- ProgramBackupJob ---------------------------------------------------------------

ProgramBackupJob::ProgramBackupJob() : BoardJob(QStringLiteral("program save"))
{
    setProgress(0, 2);
}

bool ProgramBackupJob::startExchange(ControllerLink& link)
{
    if (!mSizeKnown) {
        link.Get_PROGRAM_SIZE();
        return true;
    }
    const qint32 done = qint32(mProgram.size());
    if (done == 0)
        link.SetMsg(QStringLiteral("プログラムを読込み中..."));
    mChunkLength = std::min(cChunk, mSize - done);
    return link.Cmd_EXTROM_READ(done, mChunkLength);
}

BoardJob::Next ProgramBackupJob::exchangeFinished(ControllerLink& link)
{
    if (!mSizeKnown) {
        mSize =
            ProgramImage::sizeField(QByteArray(ProgramImage::cSizeAddress, '\0') + link.mReadData);
        mSizeKnown = true;
        mProblem = ProgramImage::checkSize(mSize);
        if (mProblem) {
            fail(ProgramImage::describe(mProblem));
            return Next::Done;
        }
        setProgress(2, 2 + qint64(mSize));
        return mSize > 0 ? Next::Continue : Next::Done;
    }
    if (link.mReadData.size() != mChunkLength) {
        fail(QStringLiteral("the link returned %1 bytes for %2 addresses")
                 .arg(link.mReadData.size())
                 .arg(mChunkLength));
        return Next::Done;
    }
    mProgram.append(link.mReadData);
    setProgress(2 + mProgram.size(), 2 + qint64(mSize));
    return mProgram.size() < mSize ? Next::Continue : Next::Done;
}
