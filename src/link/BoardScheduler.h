#pragma once

#include "LinkFailure.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>

class ControllerLink;
class BoardScheduler;

// One piece of work that takes one or more exchanges with the controller:
// identify it, read or write a memory range, back up or restore its
// program, refresh the servo positions, play a motion. A job is a small step
// machine: the scheduler asks it to start its current exchange, and tells it
// when that exchange has finished; the job then takes the result and either
// starts the next exchange or is done.
class BoardJob
{
public:
    enum class State
    {
        Queued,
        Running,
        Done,
        Failed,
        Cancelled
    };
    enum class Next
    {
        Continue, // start the next exchange
        Done
    };

    explicit BoardJob(QString title) : mTitle(std::move(title)) {}
    virtual ~BoardJob() = default;

    QString title() const { return mTitle; }
    // The name messages give the job (the command that runs it).
    void setTitle(const QString& title) { mTitle = title; }
    State state() const { return mState; }
    bool isOver() const { return mState != State::Queued && mState != State::Running; }
    // Failed: why. A failure on the line carries its LinkFailure; a job that
    // refused its own work (an argument, a result it cannot accept) has
    // fault None and says why in error().
    const LinkFailure& failure() const { return mFailure; }
    QString error() const { return mError; }

    // Progress in the job's own units (bytes, exchanges, frames).
    qint64 done() const { return mDone; }
    qint64 total() const { return mTotal; }
    // Milliseconds since the job started running, and an estimate of what is
    // left from the pace so far (-1 while nothing is done yet).
    qint64 elapsedMs() const;
    qint64 timeLeftMs() const;

    // True: failures are reported by the job's owner (through the job), not
    // by the link's alerts. A job started by a user action in a window may
    // leave it false to get the link's alert.
    bool quiet = true;
    // A background job (a refresh that polls for ever) steps aside between
    // its exchanges for any other job that is waiting, and goes on after it.
    bool background = false;

protected:
    // Starts the current exchange on the link: the first time, and again
    // when a command from elsewhere (a remote key) replaced it. False when
    // the link refused the command (nothing was sent).
    virtual bool startExchange(ControllerLink& link) = 0;
    // The current exchange has finished; the link holds its result.
    virtual Next exchangeFinished(ControllerLink& link) = 0;
    // The current exchange failed or was cut short (a cancel that closed the
    // port); failure.addr is where it stood. The job ends after this.
    virtual void exchangeFailed(ControllerLink& link, const LinkFailure& failure)
    {
        (void)link;
        (void)failure;
    }

    void setProgress(qint64 done, qint64 total);
    // The next exchange starts only after this pause (a motion's wait, a
    // frame's hold); set it in exchangeFinished before returning Continue,
    // or before the job is submitted for a pause before its first exchange.
    // The line stays the job's meanwhile; a cancel ends the job at once.
    void pauseBeforeNext(std::chrono::milliseconds pause) { mPause = pause; }
    // Called from startExchange (which then returns false): the job has no
    // further exchange and is done, without one.
    void finishWithoutExchange() { mFinishNow = true; }
    // Ends the job as failed for a reason of its own (call from
    // exchangeFinished and return Next::Done, or from startExchange and
    // return false).
    void fail(const QString& error);
    // Whether a memory exchange read one byte for each of its addresses;
    // fails the job when not.
    bool readWhole(const QByteArray& read, qint32 addresses);

private:
    friend class BoardScheduler;

    QString mTitle;
    State mState = State::Queued;
    LinkFailure mFailure;
    QString mError;
    qint64 mDone = 0;
    qint64 mTotal = 0;
    QElapsedTimer mClock;
    bool mCancelRequested = false;
    std::chrono::milliseconds mPause{0};
    bool mFinishNow = false;
};

// The one queue of board jobs over a controller link, shared by the
// windows, the command line and the pose player. It runs one job at a time,
// one exchange at a time, each exchange within the link's reply bound.
//
// The link keeps its rule that a new command replaces the pending one, so a
// remote key always goes out at once: when a command from elsewhere replaces
// a job's exchange, the job starts that exchange again once the other
// command is over. A background job lets waiting jobs go first between its
// exchanges. Cancelling takes effect between exchanges, so the controller is
// never left in the middle of a command.
class BoardScheduler : public QObject
{
    Q_OBJECT
public:
    explicit BoardScheduler(ControllerLink* link, QObject* parent = nullptr);
    ~BoardScheduler() override;

    ControllerLink* link() const { return mLink; }

    // Queues the job; it runs once the jobs before it are over.
    void submit(const std::shared_ptr<BoardJob>& job);
    // A queued job is dropped at once; the running one ends as cancelled
    // when its current exchange is over.
    void cancel(const std::shared_ptr<BoardJob>& job);
    void cancelAll();

    bool isIdle() const { return !mCurrent && mQueue.empty(); }
    std::shared_ptr<BoardJob> current() const { return mCurrent; }
    qsizetype queued() const { return qsizetype(mQueue.size()); }

    // How long a job waits for a draining line to go quiet before it fails.
    static constexpr int cQuietWaitMs = 1000;

signals:
    void jobStarted(BoardJob* job);
    // After every exchange of the job.
    void jobProgress(BoardJob* job);
    // Done, failed or cancelled: job->state() tells.
    void jobFinished(BoardJob* job);

private:
    enum class Wait
    {
        None,    // no job running
        Reply,   // the job's exchange is on the line
        Quiet,   // the line drains after a failure; the exchange starts after
        Foreign, // another command replaced the job's exchange
        Pause,   // the job asked for a pause before its next exchange
    };

    void runNext();
    void issue();
    void issueOrPause();
    void complete(BoardJob::State state);
    void onFinished();
    void onFailed(const LinkFailure& failure);
    void onAbandoned(bool replaced);
    void onQuiet();
    void onQuietTimeout();
    void onPauseOver();

    ControllerLink* mLink;
    std::deque<std::shared_ptr<BoardJob>> mQueue;
    std::shared_ptr<BoardJob> mCurrent;
    Wait mWait = Wait::None;
    quint64 mMine = 0; // the link's serial of the job's exchange
    QElapsedTimer mQuietSince;
    QTimer mPauseTimer;
    bool mInIssue = false;
};
