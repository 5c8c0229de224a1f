#include "ConsoleJobs.h"

#include "app/Module1.h"
#include "link/BoardScheduler.h"
#include "link/ControllerLink.h"
#include "link/TransSepaWindow.h"

#include <QTimer>

#include <algorithm>

ConsoleJobs::ConsoleJobs(QObject* parent) : QObject(parent)
{
    if (BoardScheduler* s = scheduler()) {
        connect(s, &BoardScheduler::jobProgress, this, &ConsoleJobs::onProgress);
        connect(s, &BoardScheduler::jobFinished, this, &ConsoleJobs::onFinished);
    }
}

ConsoleJobs::~ConsoleJobs()
{
    // Nothing of the console's is left running for a window that is gone.
    if (BoardScheduler* s = scheduler()) {
        disconnect(s, nullptr, this, nullptr);
        for (const Entry& e : std::exchange(mJobs, {}))
            s->cancel(e.job);
    }
}

BoardScheduler* ConsoleJobs::scheduler()
{
    return gTw ? gTw->scheduler() : nullptr;
}

ControllerLink* ConsoleJobs::link()
{
    return gTw ? gTw->link() : nullptr;
}

bool ConsoleJobs::submit(const std::shared_ptr<BoardJob>& job, Callback finished, Callback progress)
{
    BoardScheduler* s = scheduler();
    if (!s || !job)
        return false;
    job->quiet = true;
    mRelease = false;
    mJobs.push_back({job, std::move(finished), std::move(progress)});
    s->submit(job);
    return true;
}

void ConsoleJobs::cancel(const std::shared_ptr<BoardJob>& job)
{
    if (BoardScheduler* s = scheduler())
        s->cancel(job);
}

void ConsoleJobs::cancelAll()
{
    BoardScheduler* s = scheduler();
    if (!s)
        return;
    // A copy: a queued job is dropped at once, and its callback may submit.
    std::vector<std::shared_ptr<BoardJob>> jobs;
    for (const Entry& e : mJobs)
        jobs.push_back(e.job);
    for (const auto& job : jobs)
        s->cancel(job);
}

void ConsoleJobs::releasePort()
{
    mRelease = true;
    releaseIfDone();
}

void ConsoleJobs::releaseIfDone()
{
    if (!mRelease || busy())
        return;
    // From the event loop: the scheduler starts its next job (and the link
    // ends its exchange) only after the listeners of the last one are done.
    QTimer::singleShot(0, this, [this] {
        BoardScheduler* s = scheduler();
        ControllerLink* l = link();
        if (!mRelease || busy() || !s || !l)
            return;
        mRelease = false;
        if (s->isIdle() && !l->exchangeInFlight() && l->mMcpOpen)
            gTw->RbPortClose(false);
    });
}

QString ConsoleJobs::faultText(const LinkFailure& failure)
{
    switch (failure.fault) {
    case LinkFault::None:
        break;
    case LinkFault::NotOpened:
        return QStringLiteral("ポートを開けません: ") +
               ControllerLink::OpenFailureReason(failure.openError, failure.systemText);
    case LinkFault::NoReply:
        return QStringLiteral("応答がありません");
    case LinkFault::WrongReply:
        return QStringLiteral("応答が正しくありません");
    case LinkFault::LineNoise:
        return QStringLiteral("回線が静かになりません（コントローラー以外の何かが送信しています）");
    case LinkFault::Lost:
        return QStringLiteral("接続が切れました");
    case LinkFault::Closed:
        return QStringLiteral("接続が閉じられました");
    }
    return {};
}

void ConsoleJobs::onProgress(BoardJob* job)
{
    const auto it = std::find_if(mJobs.begin(), mJobs.end(),
                                 [job](const Entry& e) { return e.job.get() == job; });
    if (it != mJobs.end() && it->progress)
        it->progress(*job);
}

void ConsoleJobs::onFinished(BoardJob* job)
{
    const auto it = std::find_if(mJobs.begin(), mJobs.end(),
                                 [job](const Entry& e) { return e.job.get() == job; });
    if (it == mJobs.end())
        return;
    // Out of the list before the callback runs: it may submit the next job.
    Entry entry = std::move(*it);
    mJobs.erase(it);

    const LinkFailure& failure = job->failure();
    if (job->state() == BoardJob::State::Failed && !failure.isNull()) {
        if (mFault == LinkFault::None) {
            mFault = failure.fault;
            emit lineFailed(failure, faultText(failure));
        }
    } else if (job->state() == BoardJob::State::Done && mFault != LinkFault::None) {
        mFault = LinkFault::None;
        emit lineRecovered();
    }
    if (entry.finished)
        entry.finished(*job);
    releaseIfDone();
}
