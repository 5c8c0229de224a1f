#pragma once

#include "Arguments.h"

#include "link/ControllerLink.h"
#include "settings/PreferClass.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

// What went over the line, seen by the tracing backend: the last byte sent
// (for messages) and, with --trace, every byte printed as it passes.
struct LineTrace
{
    bool print = false;
    QByteArray lastSent;
    QByteArray lastReceived;
    qint64 lastActivityMs = 0; // when the last reply arrived, on mClock
    QElapsedTimer clock;
};

// The link's view for a terminal: messages to standard error with --trace,
// alerts and beeps kept so that the caller can turn them into errors.
class CliView : public ControllerView
{
public:
    void SetMsg(const QString& text) override;
    void ShowProgress(const ProgressBarState& bar, const StaticTextState& count) override;
    int Alert(int icon, const QString& actionCaption, const QString& cancelCaption,
              const QString& alternateCaption, const QString& message, const QString& explanation,
              const QString& title) override;
    void Beep() override { ++beeps; }

    bool printMessages = false;
    int beeps = 0;
    QString lastAlert;
    std::function<void()> onProgress; // the progress display of the command
    std::function<void()> onReply;    // the session's record of where it stands
};

// One run of vantorctl against one port: opens it through the controller
// link, runs exchanges one after another with a watchdog on every reply, and
// closes the port cleanly on the way out.
class Session
{
public:
    explicit Session(const GlobalOptions& options);
    ~Session();

    // Resolves and opens the port. kExitOk, or an exit code after printing
    // why (kExitUsage: no port chosen; kExitPort: cannot be opened).
    int open(const QString& title);

    // Starts one exchange with start() and runs the event loop until the link
    // reports it finished. kExitOk, or kExitFault / kExitInterrupted after
    // printing what happened: no reply within the timeout (naming the
    // address, step and last byte sent), the device lost, the port closed.
    int exchange(const QString& title, const std::function<bool(ControllerLink&)>& start);

    ControllerLink& link() { return *mLink; }
    CliView& view() { return mView; }
    const LineTrace& trace() const { return mTrace; }

    // Ctrl-C: routes SIGINT into the event loop (call once, early).
    static void catchInterrupt();
    static bool interrupted();

private:
    // Where an exchange stands: kept after every reply, because a link that
    // ends itself on a lost device clears its own state before we hear of it.
    struct Position
    {
        QByteArray cmd;
        qint32 addr = 0;
        qint32 step = 0;
        qint32 replies = 0;
    };
    Position position() const;
    QString where() const;

    GlobalOptions mOptions;
    Position mLastPosition;
    LineTrace mTrace;
    CliView mView;
    QTemporaryDir mPrefDir; // the link's preferences, never saved anywhere the program reads
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<ControllerLink> mLink; // after mTrace: its port reports into it
};

// Words for why a port cannot be opened, from the platform's error code.
QString OpenFailureWords(SerialError error);
