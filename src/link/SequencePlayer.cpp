#include "SequencePlayer.h"

#include "ControllerLink.h"

SequencePlayerJob::SequencePlayerJob(Sequence sequence, PlayOptions options)
    : BoardJob(QStringLiteral("play")), mSequence(std::move(sequence)), mOptions(options)
{
    mNextFrame = mOptions.from;
    updateProgress();
}

QString SequencePlayerJob::problem() const
{
    const qsizetype n = mSequence.frames.size();
    if (mOptions.loops < 0)
        return QStringLiteral("a loop count of %1").arg(mOptions.loops);
    if (n > 0 && (mOptions.from < 0 || mOptions.from >= n))
        return QStringLiteral("there is no frame %1: the sequence has %2")
            .arg(mOptions.from + 1)
            .arg(n);
    return CheckSequence(mSequence);
}

void SequencePlayerJob::updateProgress()
{
    const qint64 perPass = mSequence.frames.size() - mOptions.from;
    const qint64 total = mOptions.step ? 1 : mOptions.loops == 0 ? 0 : perPass * mOptions.loops;
    setProgress(mFramesPlayed, total);
}

void SequencePlayerJob::beginFrame(int index)
{
    mFrame = index;
    mCommands = FrameCommands(mSequence.frames.at(index));
    mSent = 0;
    mPhase = Phase::Sending;
    if (frameBegins)
        frameBegins(*this);
}

bool SequencePlayerJob::startExchange(ControllerLink& link)
{
    if (!mStarted) {
        mStarted = true;
        if (const QString why = problem(); !why.isEmpty()) {
            fail(why);
            return false;
        }
        if (mSequence.frames.isEmpty())
            mPhase = Phase::Finished;
    }
    // Called again for the same exchange when a command from elsewhere
    // replaced it: nothing here moves on before exchangeFinished.
    switch (mPhase) {
    case Phase::Pausing:
        beginFrame(mNextFrame);
        [[fallthrough]];
    case Phase::Sending: {
        if (mFrame < 0)
            beginFrame(mNextFrame);
        const FrameCommand& c = mCommands.at(mSent);
        switch (c.kind) {
        case FrameCommand::Kind::Speed:
            return link.Cmd_SPEED(c.value);
        case FrameCommand::Kind::On:
            return link.Cmd_SERVO_SET(c.channel, true);
        case FrameCommand::Kind::Position:
            return link.Cmd_SERVO_POS_SET(c.channel, c.value);
        case FrameCommand::Kind::Off:
            return link.Cmd_SERVO_SET(c.channel, false);
        }
        return false;
    }
    case Phase::Polling:
        return link.Cmd_IsMOVING();
    case Phase::Finished:
        break;
    }
    finishWithoutExchange();
    return false;
}

BoardJob::Next SequencePlayerJob::exchangeFinished(ControllerLink& link)
{
    ++mExchanges;
    const Frame& frame = mSequence.frames.at(mFrame);
    if (mPhase == Phase::Sending) {
        if (++mSent < mCommands.size())
            return Next::Continue;
        if (frame.wait == Frame::Wait::UntilStopped) {
            mPhase = Phase::Polling;
            return Next::Continue;
        }
        return endFrame(qint64(frame.waitMs) + frame.holdMs);
    }
    // The moving query: its own echo, then the flag.
    ++mPolls;
    const QByteArray& r = link.mReadData;
    if (r.size() != 2) {
        fail(QStringLiteral("the moving query brought %1 answers for 2 bytes").arg(r.size()));
        return Next::Done;
    }
    if (r.at(1) != 0)
        return Next::Continue;
    return endFrame(frame.holdMs);
}

BoardJob::Next SequencePlayerJob::endFrame(qint64 pauseMs)
{
    ++mFramesPlayed;
    int next = mFrame + 1;
    bool over = mOptions.step;
    if (!over && next >= mSequence.frames.size()) {
        ++mLoopsPlayed;
        next = mOptions.from;
        over = mOptions.loops != 0 && mLoopsPlayed >= mOptions.loops;
    }
    updateProgress();
    mNextFrame = next;
    mPhase = over ? Phase::Finished : Phase::Pausing;
    if (over && pauseMs == 0)
        return Next::Done;
    // The frame stays current through its pause; the next one begins when
    // its first exchange starts.
    pauseBeforeNext(std::chrono::milliseconds(pauseMs));
    return Next::Continue;
}
