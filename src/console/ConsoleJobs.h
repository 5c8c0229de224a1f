#pragma once

#include "link/BoardJobs.h"
#include "link/LinkFailure.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class BoardScheduler;
class ControllerLink;

// The console's side of the one scheduler of board jobs (gTw's). Every
// panel of the console submits its work here: the job goes to the
// scheduler, and the panel is called back after each exchange and once the
// job is over. It also keeps what the panels share:
//  - the state of the line, told once per episode: the first failure on the
//    line names it (no reply, lost, port will not open), the first job done
//    after it ends it;
//  - letting the port go when the console has nothing more to do, so that
//    the port is not held open for nothing.
// The console's jobs are quiet: the console reports their failures itself,
// never through the link's alerts.
class ConsoleJobs : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(BoardJob& job)>;

    explicit ConsoleJobs(QObject* parent = nullptr);
    ~ConsoleJobs() override;

    // The program's scheduler and link (gTw's); null without a controller
    // window.
    static BoardScheduler* scheduler();
    static ControllerLink* link();

    // Queues the job (made quiet); `finished` runs once it is over,
    // `progress` after each of its exchanges. False without a scheduler.
    bool submit(const std::shared_ptr<BoardJob>& job, Callback finished = {},
                Callback progress = {});
    void cancel(const std::shared_ptr<BoardJob>& job);
    void cancelAll();
    // Whether any job of the console's is not over yet.
    bool busy() const { return !mJobs.empty(); }

    // Closes the port (RbPortClose(false), which honours the preference that
    // keeps it open) once the console's jobs are over, unless another command
    // (a remote key) or another job is on the line then. A job submitted
    // meanwhile keeps the port.
    void releasePort();

    // The fault of the episode under way; None while the line is well.
    LinkFault lineFault() const { return mFault; }
    // The status text of a failure, in the words the console shows.
    static QString faultText(const LinkFailure& failure);

signals:
    // A job failed on the line and the line was well until then: a new
    // episode, told by its first failure. Once per episode.
    void lineFailed(const LinkFailure& failure, const QString& text);
    // A job went through after an episode: the board answers again.
    void lineRecovered();

private:
    struct Entry
    {
        std::shared_ptr<BoardJob> job;
        Callback finished;
        Callback progress;
    };

    void onProgress(BoardJob* job);
    void onFinished(BoardJob* job);
    void releaseIfDone();

    std::vector<Entry> mJobs;
    bool mRelease = false;
    LinkFault mFault = LinkFault::None;
};
