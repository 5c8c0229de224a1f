#include "BoardJobs.h"

#include "ControllerLink.h"

#include "app/App.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>

namespace {

QString Hex(qint32 value, int digits)
{
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

// The first address from `at` where what was read differs from the image; -1
// when they agree.
qint32 FirstDifference(const QByteArray& read, const QByteArray& image, qint32 at)
{
    for (qint32 i = 0; i < read.size(); ++i) {
        if (read.at(i) != image.at(at + i))
            return at + i;
    }
    return -1;
}

} // namespace

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
    if (!readWhole(link.mReadData, mChunkLength))
        return Next::Done;
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
    if (!readWhole(link.mReadData, mChunkLength))
        return Next::Done;
    mProgram.append(link.mReadData);
    setProgress(2 + mProgram.size(), 2 + qint64(mSize));
    return mProgram.size() < mSize ? Next::Continue : Next::Done;
}

// --- ServoRefreshJob ----------------------------------------------------------------

ServoRefreshJob::ServoRefreshJob(QList<int> groups)
    : BoardJob(QStringLiteral("servo refresh")), mGroups(std::move(groups))
{
    mPositions.fill(-1);
    setProgress(0, mGroups.size());
}

int ServoRefreshJob::position(int channel) const
{
    return channel >= 1 && channel <= cChannels ? mPositions[size_t(channel - 1)] : -1;
}

bool ServoRefreshJob::startExchange(ControllerLink& link)
{
    if (mNext >= mGroups.size())
        return false;
    return link.Cmd_SERVO_POS_GET_GROUP(mGroups.at(mNext));
}

BoardJob::Next ServoRefreshJob::exchangeFinished(ControllerLink& link)
{
    // Seven answers: the group command's own, then the six positions.
    const QByteArray& r = link.mReadData;
    const int group = mGroups.at(mNext);
    if (r.size() != cGroupSize + 1) {
        fail(QStringLiteral("group %1 brought %2 answers for 7 bytes").arg(group).arg(r.size()));
        return Next::Done;
    }
    if (group >= 1 && group * cGroupSize <= cChannels) {
        for (int i = 0; i < cGroupSize; ++i)
            mPositions[size_t((group - 1) * cGroupSize + i)] = quint8(r.at(i + 1));
    }
    ++mNext;
    setProgress(mNext, mGroups.size());
    return mNext < mGroups.size() ? Next::Continue : Next::Done;
}

// --- ChannelWishJob, ServoMoveJob, ServoPowerJob ---------------------------------

void ChannelWishJob::wish(int channel, int value)
{
    if (isOver())
        return;
    for (auto& pending : mPending) {
        if (pending.first == channel) {
            pending.second = value;
            return;
        }
    }
    mPending.append({channel, value});
    setProgress(mSent, mSent + mPending.size());
}

bool ChannelWishJob::startExchange(ControllerLink& link)
{
    if (mPending.isEmpty())
        return false;
    mSending = mPending.constFirst();
    return send(link, mSending.first, mSending.second);
}

BoardJob::Next ChannelWishJob::exchangeFinished(ControllerLink& link)
{
    (void)link;
    // The first wish is the one sent, and only this removes wishes: it is
    // done, unless the user wished again for that channel meanwhile; the
    // newer value then goes after the other channels.
    if (mPending.constFirst() == mSending)
        mPending.removeFirst();
    else
        mPending.move(0, mPending.size() - 1);
    ++mSent;
    setProgress(mSent, mSent + mPending.size());
    return mPending.isEmpty() ? Next::Done : Next::Continue;
}

bool ServoMoveJob::send(ControllerLink& link, int channel, int position)
{
    return link.Cmd_SERVO_POS_SET(channel, position);
}

bool ServoPowerJob::send(ControllerLink& link, int channel, int on)
{
    return link.Cmd_SERVO_SET(channel, on != 0);
}

// --- ProgramRestoreJob --------------------------------------------------------------

ProgramRestoreJob::ProgramRestoreJob(QByteArray image, QString backupFolder, bool verify)
    : BoardJob(QStringLiteral("program load")), mImage(std::move(image)),
      mFolder(std::move(backupFolder)), mVerify(verify)
{
    updateProgress();
}

void ProgramRestoreJob::updateProgress()
{
    const qint64 image = mImage.size();
    setProgress(qint64(mBackup.size()) + mWritten + mChecked,
                qint64(mSizeKnown ? mBackupSize : 16) + image + (mVerify ? image : 0));
}

bool ProgramRestoreJob::startExchange(ControllerLink& link)
{
    switch (mPhase) {
    case Phase::Backup:
        if (!mSizeKnown) {
            link.Get_PROGRAM_SIZE();
            return true;
        }
        mChunkLength = std::min(cChunk, mBackupSize - qint32(mBackup.size()));
        return link.Cmd_EXTROM_READ(qint32(mBackup.size()), mChunkLength);
    case Phase::Writing:
        mChunkLength = std::min(cChunk, qint32(mImage.size()) - mWritten);
        return link.Cmd_EXTROM_WRITE(mWritten, mImage.mid(mWritten, mChunkLength));
    case Phase::Verifying:
        mChunkLength = std::min(cChunk, qint32(mImage.size()) - mChecked);
        return link.Cmd_EXTROM_READ(mChecked, mChunkLength);
    case Phase::Finished:
        break;
    }
    return false;
}

BoardJob::Next ProgramRestoreJob::exchangeFinished(ControllerLink& link)
{
    const QByteArray& r = link.mReadData;
    switch (mPhase) {
    case Phase::Backup:
        if (!mSizeKnown) {
            // A board without a program of its own (erased, or a size no
            // program has) is backed up as its header, so the file shows
            // what was there.
            mSizeKnown = true;
            const qint32 size =
                ProgramImage::sizeField(QByteArray(ProgramImage::cSizeAddress, '\0') + r);
            mBackupSize =
                ProgramImage::checkSize(size) ? ProgramImage::cHeaderSize : std::max(size, 0);
            updateProgress();
            if (mBackupSize > 0)
                return Next::Continue;
        } else {
            if (!readWhole(r, mChunkLength))
                return Next::Done;
            mBackup.append(r);
            updateProgress();
            if (mBackup.size() < mBackupSize)
                return Next::Continue;
        }
        if (!saveBackup())
            return Next::Done;
        mPhase = Phase::Writing;
        return Next::Continue;
    case Phase::Writing:
        mWritten += mChunkLength;
        updateProgress();
        if (mWritten < mImage.size())
            return Next::Continue;
        mPhase = mVerify ? Phase::Verifying : Phase::Finished;
        return mVerify ? Next::Continue : Next::Done;
    case Phase::Verifying:
        if (!readWhole(r, mChunkLength))
            return Next::Done;
        mDifference = FirstDifference(r, mImage, mChecked);
        if (mDifference >= 0) {
            mWrote = quint8(mImage.at(mDifference));
            mReadBack = quint8(r.at(mDifference - mChecked));
            fail(QStringLiteral("verify failed: first difference at extrom %1: wrote %2, read %3")
                     .arg(Hex(mDifference, 4), Hex(mWrote, 2), Hex(mReadBack, 2)));
            return Next::Done;
        }
        mChecked += mChunkLength;
        updateProgress();
        if (mChecked < mImage.size())
            return Next::Continue;
        mPhase = Phase::Finished;
        return Next::Done;
    case Phase::Finished:
        break;
    }
    return Next::Done;
}

void ProgramRestoreJob::exchangeFailed(ControllerLink& link, const LinkFailure& failure)
{
    (void)link;
    // Every address before the one the write stopped at went through all
    // its checked steps: those bytes are on the board.
    if (mPhase == Phase::Writing && failure.addr > mWritten && failure.addr <= mImage.size())
        mWritten = failure.addr;
}

bool ProgramRestoreJob::saveBackup()
{
    if (!QDir().mkpath(mFolder)) {
        fail(QStringLiteral("cannot make the backup folder %1").arg(mFolder));
        return false;
    }
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString path = QDir(mFolder).filePath(QStringLiteral("program-%1.bin").arg(stamp));
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = QDir(mFolder).filePath(QStringLiteral("program-%1-%2.bin").arg(stamp).arg(n));
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        file.write(mBackup) != mBackup.size() || !file.commit()) {
        const QString reason = errno ? qt_error_string(errno) : file.errorString();
        fail(QStringLiteral("cannot save the backup %1: %2").arg(path, reason));
        return false;
    }
    mBackupPath = path;
    return true;
}

// --- ProgramVerifyJob ---------------------------------------------------------------

ProgramVerifyJob::ProgramVerifyJob(QByteArray image)
    : BoardJob(QStringLiteral("program verify")), mImage(std::move(image))
{
    setProgress(0, mImage.size());
}

bool ProgramVerifyJob::startExchange(ControllerLink& link)
{
    mChunkLength = std::min(cChunk, qint32(mImage.size()) - mChecked);
    return link.Cmd_EXTROM_READ(mChecked, mChunkLength);
}

BoardJob::Next ProgramVerifyJob::exchangeFinished(ControllerLink& link)
{
    const QByteArray& r = link.mReadData;
    if (!readWhole(r, mChunkLength))
        return Next::Done;
    mDifference = FirstDifference(r, mImage, mChecked);
    if (mDifference >= 0) {
        mExpected = quint8(mImage.at(mDifference));
        mFound = quint8(r.at(mDifference - mChecked));
        return Next::Done;
    }
    mChecked += mChunkLength;
    setProgress(mChecked, mImage.size());
    return mChecked < mImage.size() ? Next::Continue : Next::Done;
}

QString ProgramBackupFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Tessaro Utilities/") + QLatin1String(App::cProgramName) +
           QStringLiteral("/backups");
}
