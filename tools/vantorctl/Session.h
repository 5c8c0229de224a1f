#pragma once

#include "Arguments.h"

#include "link/BoardJobs.h"
#include "link/ControllerLink.h"
#include "settings/PreferClass.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class Progress;
class QSocketNotifier;

// What went over the line, seen by the tracing backend: the last byte sent
// and received and, with --trace, every byte printed as it passes.
struct LineTrace
{
    bool print = false;
    QByteArray lastSent;
    QByteArray lastReceived;
    // Every byte out and in since the last job started (for --json).
    QByteArray sent;
    QByteArray received;
};

// The link's view for a terminal. Failures reach the session as values
// (LinkFailure), not as alerts; the trace is the session's own.
class CliView : public ControllerView
{
public:
    void SetMsg(const QString& text) override;
};

// One run of vantorctl against one port: opens it through the controller
// link, makes sure a controller answers, runs board jobs one after another on
// the one scheduler (each reply within the link's bound, --timeout), and
// closes the port cleanly on the way out.
class Session
{
public:
    explicit Session(const GlobalOptions& options);
    ~Session();

    // Resolves and opens the port, then (with identify) checks with the
    // identification handshake that a controller is on the line. kExitOk, or
    // an exit code after printing why (kExitUsage: no port chosen; kExitPort:
    // cannot be opened; kExitFault: no controller answers).
    int open(const QString& title, bool identify = true);

    // Runs the job to its end. kExitOk, or kExitFault / kExitInterrupted /
    // kExitUsage after printing what happened: no reply within the bound,
    // a wrong reply (naming the address, step, byte expected and received),
    // the device lost, a job that refused its result.
    int run(const std::shared_ptr<BoardJob>& job, Progress* progress = nullptr);
    // One exchange started by start(); its result stays on the link.
    int exchange(const QString& title, const ExchangeJob::Start& start);

    ControllerLink& link() { return *mLink; }
    BoardScheduler& scheduler() { return *mScheduler; }
    const LineTrace& trace() const { return mTrace; }

    // Ctrl-C: routes SIGINT into the event loop (call once, early).
    static void catchInterrupt();
    static bool interrupted();
    // Fires on Ctrl-C (null when it could not be set up).
    static QSocketNotifier* interruptNotifier();

    // What went wrong on the line, in words (without the command's title).
    static QString FailureWords(const LinkFailure& failure, qint64 timeoutMs);

private:
    int identify(const QString& title);

    GlobalOptions mOptions;
    LineTrace mTrace;
    CliView mView;
    QTemporaryDir mPrefDir; // the link's preferences, never saved anywhere the program reads
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<ControllerLink> mLink; // after mTrace: its port reports into it
    std::unique_ptr<BoardScheduler> mScheduler;
};

// Words for why a port cannot be opened, from the platform's error code.
QString OpenFailureWords(SerialError error);
