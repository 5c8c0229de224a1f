#include "BoardScheduler.h"

#include "ControllerLink.h"

#include <QTimer>

#include <algorithm>

// --- BoardJob -------------------------------------------------------------------

qint64 BoardJob::elapsedMs() const
{
    return mClock.isValid() ? mClock.elapsed() : 0;
}

qint64 BoardJob::timeLeftMs() const
{
    if (mDone <= 0 || mTotal <= 0)
        return -1;
    const double perUnit = double(elapsedMs()) / double(mDone);
    return qint64(perUnit * double(std::max<qint64>(mTotal - mDone, 0)));
}

void BoardJob::setProgress(qint64 done, qint64 total)
{
    mDone = done;
    mTotal = total;
}

void BoardJob::fail(const QString& error)
{
    if (mError.isEmpty())
        mError = error;
}

bool BoardJob::readWhole(const QByteArray& read, qint32 addresses)
{
    // The link takes one answer per address; anything else is no read.
    if (read.size() == addresses)
        return true;
    fail(QStringLiteral("the link returned %1 bytes for %2 addresses")
             .arg(read.size())
             .arg(addresses));
    return false;
}

// --- BoardScheduler ---------------------------------------------------------------

BoardScheduler::BoardScheduler(ControllerLink* link, QObject* parent) : QObject(parent), mLink(link)
{
    connect(mLink, &ControllerLink::mcpFinished, this, &BoardScheduler::onFinished);
    connect(mLink, &ControllerLink::exchangeFailed, this, &BoardScheduler::onFailed);
    connect(mLink, &ControllerLink::exchangeAbandoned, this, &BoardScheduler::onAbandoned);
    connect(mLink, &ControllerLink::lineQuiet, this, &BoardScheduler::onQuiet);
    // A motion's wait is timed to the millisecond.
    mPauseTimer.setSingleShot(true);
    mPauseTimer.setTimerType(Qt::PreciseTimer);
    connect(&mPauseTimer, &QTimer::timeout, this, &BoardScheduler::onPauseOver);
}

BoardScheduler::~BoardScheduler()
{
    // Whatever is left ends as cancelled; nothing is started any more.
    disconnect(mLink, nullptr, this, nullptr);
    for (const std::shared_ptr<BoardJob>& job : mQueue)
        job->mState = BoardJob::State::Cancelled;
    if (mCurrent)
        mCurrent->mState = BoardJob::State::Cancelled;
}

void BoardScheduler::submit(const std::shared_ptr<BoardJob>& job)
{
    if (!job || job->state() != BoardJob::State::Queued)
        return;
    // Foreground jobs go ahead of background jobs that stepped aside.
    auto at = mQueue.end();
    if (!job->background)
        at =
            std::find_if(mQueue.begin(), mQueue.end(), [](const auto& j) { return j->background; });
    mQueue.insert(at, job);
    if (!mCurrent)
        runNext();
}

void BoardScheduler::cancel(const std::shared_ptr<BoardJob>& job)
{
    if (!job)
        return;
    const auto queued = std::find(mQueue.begin(), mQueue.end(), job);
    if (queued != mQueue.end()) {
        mQueue.erase(queued);
        job->mState = BoardJob::State::Cancelled;
        emit jobFinished(job.get());
        return;
    }
    if (job != mCurrent)
        return;
    job->mCancelRequested = true;
    // Not on the line: nothing to wait for.
    if (mWait != Wait::Reply)
        complete(BoardJob::State::Cancelled);
}

void BoardScheduler::cancelAll()
{
    while (!mQueue.empty())
        cancel(mQueue.front());
    if (mCurrent)
        cancel(mCurrent);
}

void BoardScheduler::runNext()
{
    if (mCurrent || mQueue.empty())
        return;
    mCurrent = mQueue.front();
    mQueue.pop_front();
    // A background job that stepped aside is already running.
    if (mCurrent->mState == BoardJob::State::Queued) {
        mCurrent->mState = BoardJob::State::Running;
        mCurrent->mClock.start();
        emit jobStarted(mCurrent.get());
    }
    issueOrPause();
}

void BoardScheduler::issueOrPause()
{
    const std::chrono::milliseconds pause = std::exchange(mCurrent->mPause, {});
    if (pause.count() <= 0) {
        issue();
        return;
    }
    mWait = Wait::Pause;
    mPauseTimer.start(pause);
}

void BoardScheduler::onPauseOver()
{
    if (mWait == Wait::Pause)
        issue();
}

void BoardScheduler::issue()
{
    if (!mCurrent)
        return;
    // Another command is on the line (a remote key), or waits for the one
    // that has just ended: it goes first, and the job follows once it is over.
    if (mLink->exchangeInFlight()) {
        mWait = Wait::Foreign;
        return;
    }
    if (mLink->hasDeferredStream()) {
        mWait = Wait::Foreign;
        mLink->StartDeferredStream();
        return;
    }
    // After a failure the line drains; an exchange started now could take a
    // stray byte for its answer.
    if (mLink->isDraining()) {
        if (mWait != Wait::Quiet)
            mQuietSince.start();
        mWait = Wait::Quiet;
        QTimer::singleShot(std::max<qint64>(cQuietWaitMs - mQuietSince.elapsed(), 0), this,
                           &BoardScheduler::onQuietTimeout);
        return;
    }
    const std::shared_ptr<BoardJob> job = mCurrent;
    mMine = mLink->exchangeSerial() + 1;
    mWait = Wait::Reply;
    mInIssue = true;
    mLink->mNextExchangeQuiet = job->quiet;
    const bool started = job->startExchange(*mLink);
    mLink->mNextExchangeQuiet = false;
    mInIssue = false;
    if (job != mCurrent)
        return; // failed while starting (the port would not open)
    if (!started && job->mFinishNow) {
        complete(BoardJob::State::Done);
        return;
    }
    if (!started) {
        if (job->mError.isEmpty())
            job->mError = QStringLiteral("the link refused the command");
        complete(BoardJob::State::Failed);
    }
}

void BoardScheduler::complete(BoardJob::State state)
{
    const std::shared_ptr<BoardJob> job = std::exchange(mCurrent, nullptr);
    mWait = Wait::None;
    mPauseTimer.stop();
    if (!job)
        return;
    job->mState = state;
    emit jobFinished(job.get());
    // The next job starts from the event loop: a listener of jobFinished may
    // still be tidying up after this one.
    QTimer::singleShot(0, this, &BoardScheduler::runNext);
}

void BoardScheduler::onFinished()
{
    if (!mCurrent)
        return;
    if (mLink->exchangeSerial() != mMine) {
        // Another command's exchange is over: the job's turn again.
        if (mWait == Wait::Foreign || mWait == Wait::Quiet)
            issue();
        return;
    }
    if (mWait != Wait::Reply)
        return;
    const std::shared_ptr<BoardJob> job = mCurrent;
    const BoardJob::Next next = job->exchangeFinished(*mLink);
    emit jobProgress(job.get());
    if (job != mCurrent)
        return;
    if (!job->mError.isEmpty()) {
        complete(BoardJob::State::Failed);
    } else if (next == BoardJob::Next::Done) {
        complete(BoardJob::State::Done);
    } else if (job->mCancelRequested) {
        complete(BoardJob::State::Cancelled);
    } else if (job->background && !mQueue.empty() && !mQueue.front()->background) {
        // Step aside for the waiting job; back in line behind the foreground
        // jobs queued now.
        const auto after =
            std::find_if(mQueue.begin(), mQueue.end(), [](const auto& j) { return j->background; });
        mQueue.insert(after, std::exchange(mCurrent, nullptr));
        mWait = Wait::None;
        runNext();
    } else {
        issueOrPause();
    }
}

void BoardScheduler::onFailed(const LinkFailure& failure)
{
    if (!mCurrent)
        return;
    if (mLink->exchangeSerial() != mMine) {
        if (mWait == Wait::Foreign || mWait == Wait::Quiet)
            issue();
        return;
    }
    if (mWait != Wait::Reply)
        return;
    mCurrent->mFailure = failure;
    mCurrent->exchangeFailed(*mLink, failure);
    complete(mCurrent->mCancelRequested ? BoardJob::State::Cancelled : BoardJob::State::Failed);
}

void BoardScheduler::onAbandoned(bool replaced)
{
    if (!mCurrent)
        return;
    // Another command closed under by the user: nothing left to wait for.
    if (mWait == Wait::Foreign && !replaced) {
        QTimer::singleShot(0, this, [this] {
            if (mWait == Wait::Foreign && !mLink->exchangeInFlight())
                issue();
        });
        return;
    }
    if (mWait != Wait::Reply || mLink->exchangeSerial() != mMine)
        return;
    if (replaced && !mCurrent->mCancelRequested) {
        mWait = Wait::Foreign;
        return;
    }
    // Closed under the job (a cancel, or the user disconnected): it ends
    // here, where the link's address stood.
    LinkFailure f;
    f.fault = LinkFault::Closed;
    f.addr = mLink->mMcpAddr;
    mCurrent->exchangeFailed(*mLink, f);
    if (mCurrent->mCancelRequested) {
        complete(BoardJob::State::Cancelled);
        return;
    }
    mCurrent->mFailure = f;
    complete(BoardJob::State::Failed);
}

void BoardScheduler::onQuiet()
{
    if (mWait == Wait::Quiet)
        issue();
}

void BoardScheduler::onQuietTimeout()
{
    if (mWait != Wait::Quiet)
        return;
    // The drain ended without a word (a command from elsewhere cut it short).
    if (!mLink->isDraining()) {
        issue();
        return;
    }
    if (mQuietSince.elapsed() < cQuietWaitMs)
        return; // a later wait armed its own
    // The line keeps talking: whatever is on it is not a controller that
    // waits for commands.
    LinkFailure f = mLink->mLastFailure;
    f.fault = LinkFault::LineNoise;
    f.expectedText = QStringLiteral("a quiet line");
    mCurrent->mFailure = f;
    complete(BoardJob::State::Failed);
}
