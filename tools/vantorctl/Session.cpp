#include "Session.h"

#include "Output.h"

#include "platform/ForwardingBackend.h"

#include "app/App.h"
#include "emulator/VirtualController.h"
#include "settings/SerialPortInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Notes the bytes on their way: the last byte sent and received, every byte
// since the job began, and with --trace a line per chunk.
class TracingBackend : public ForwardingBackend
{
public:
    TracingBackend(std::unique_ptr<SerialBackend> inner, LineTrace* trace)
        : ForwardingBackend(std::move(inner)), mTrace(trace)
    {
    }

protected:
    void written(const QByteArray& bytes) override
    {
        mTrace->lastSent = bytes.right(1);
        mTrace->sent += bytes;
        if (mTrace->print)
            std::fprintf(stderr, "> %s\n", bytes.toHex(' ').toUpper().constData());
    }
    void received(const QByteArray& bytes) override
    {
        mTrace->lastReceived = bytes.right(1);
        mTrace->received += bytes;
        if (mTrace->print)
            std::fprintf(stderr, "< %s\n", bytes.toHex(' ').toUpper().constData());
    }

private:
    LineTrace* mTrace;
};

// SIGINT arrives on a socket pair, so the event loop sees it like any event.
int gInterruptPipe[2] = {-1, -1};
bool gInterrupted = false;
QSocketNotifier* gInterruptNotifier = nullptr;

void onInterrupt(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(gInterruptPipe[1], &c, 1);
}

QString Hex4(qint32 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

// The port the program itself has saved, read without creating anything:
// the command line never writes the preferences.
std::optional<QString> SavedPortName()
{
    const QString name = QString::fromLatin1(App::cProgramName);
    const QString folder = PreferClass::PreferFolderPath(name);
    const QString file = folder + QLatin1Char('/') + name + QStringLiteral(".Pref");
    if (folder.isEmpty() || !QFileInfo::exists(file))
        return std::nullopt;
    PreferClass saved(name);
    saved.ReadData();
    if (!saved.mPortInfo || saved.mPortInfo->mName.isEmpty())
        return std::nullopt;
    return saved.mPortInfo->mName;
}

// The inventory entry for a name or device path; a path the inventory does
// not list (a pseudo-terminal, a bridge) is opened as a device all the same.
SerialPortEntry ResolvePort(const QString& wanted)
{
    if (wanted.compare(QLatin1String("virtual"), Qt::CaseInsensitive) == 0)
        return VirtualController::builtInPortEntry();
    SerialPortEntry found;
    for (const SerialPortEntry& port : SerialPorts::list()) {
        if (port.name.compare(wanted, Qt::CaseInsensitive) == 0 ||
            (wanted.contains(QLatin1Char('/')) && port.inputDriverName == wanted))
            found = port;
    }
    if (found.isNull() && wanted.contains(QLatin1Char('/')))
        found = SerialPorts::deviceEntry(wanted, wanted);
    return found;
}

} // namespace

void CliView::SetMsg(const QString& text)
{
    // The link's message line speaks the windows' language; the command line
    // traces in its own words (Session) instead.
    (void)text;
}

QString OpenFailureWords(SerialError error)
{
    switch (error) {
    case SerialError::Busy:
        return QStringLiteral("the port is busy: another program is using it");
    case SerialError::PermissionDenied:
        return QStringLiteral("no permission to use the port; add yourself to the dialout group "
                              "(sudo adduser $USER dialout) and log in again");
    case SerialError::NotFound:
    case SerialError::DeviceGone:
        return QStringLiteral("no such device (unplugged, or a wrong name or path?)");
    case SerialError::NotSerialDevice:
        return QStringLiteral("not a serial device");
    case SerialError::None:
    case SerialError::Other:
        break;
    }
    return QStringLiteral("the system refused to open it");
}

Session::Session(const GlobalOptions& options) : mOptions(options)
{
    mTrace.print = options.trace;
    mPref = std::make_unique<PreferClass>(QStringLiteral("vantorctl"), mPrefDir.path());
    // One invocation may run several exchanges (write then verify, size then
    // code): the port stays open between them and is closed at the end.
    mPref->mNotAutoDisconnect = true;
    mLink = std::make_unique<ControllerLink>(mPref.get(), &mView);
    mLink->setReplyTimeout(std::chrono::milliseconds(options.timeoutMs));
    mScheduler = std::make_unique<BoardScheduler>(mLink.get());
}

Session::~Session()
{
    mScheduler.reset();
    if (mLink && mLink->mMcpOpen) {
        mLink->RbPortClose(true);
        if (mOptions.trace)
            std::fprintf(stderr, "closed\n");
    }
}

int Session::open(const QString& title, bool identify)
{
    QString wanted = mOptions.port;
    if (wanted.isEmpty()) {
        const std::optional<QString> saved = SavedPortName();
        if (!saved) {
            std::fprintf(stderr,
                         "vantorctl: no port given and none saved by the program: use --port "
                         "(see 'vantorctl ports')\n");
            return kExitUsage;
        }
        wanted = *saved;
    }
    const SerialPortEntry entry = ResolvePort(wanted);
    if (entry.isNull()) {
        std::fprintf(stderr, "vantorctl: %s: cannot open %s: %s (see 'vantorctl ports')\n",
                     qPrintable(title), qPrintable(wanted),
                     qPrintable(OpenFailureWords(SerialError::NotFound)));
        return kExitPort;
    }

    SerialPortEntry traced = entry;
    traced.makeBackend = [make = entry.makeBackend, trace = &mTrace] {
        return std::make_unique<TracingBackend>(make(), trace);
    };
    mPref->mPortInfo = SerialPortInfo(entry);
    mLink->mSerialPort = traced;
    if (mOptions.trace)
        std::fprintf(stderr, "opening %s\n", qPrintable(entry.name));
    if (!mLink->RbPortOpen()) {
        const SerialError error = mLink->MySerial->openError();
        std::fprintf(stderr, "vantorctl: %s: cannot open %s: %s (%s)\n", qPrintable(title),
                     qPrintable(entry.name), qPrintable(OpenFailureWords(error)),
                     qPrintable(mLink->MySerial->openErrorString()));
        return kExitPort;
    }
    if (mOptions.trace)
        std::fprintf(stderr, "open at %d bit/s, 8N1\n", int(mLink->MySerial->baud()));
    // A board that lives inside this run only: say so, once.
    if (entry.inputDriverName == QLatin1String(VirtualController::cDriverName))
        std::fprintf(stderr, "vantorctl: the port is the built-in virtual controller: nothing "
                             "reaches a board, and its memory lives for this run only\n");
    return identify ? this->identify(title) : kExitOk;
}

int Session::identify(const QString& title)
{
    // A loopback passes every echo, and a device that answers each byte with
    // one byte passes the lock-step rule: only the controller's name tells
    // that a controller is there. A stray byte (power-on chatter, the late
    // answer of an earlier run) can spoil the first try; the line is drained
    // and the handshake tried once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto probe = std::make_shared<IdentifyJob>(IdentifyJob::Depth::Probe);
        mScheduler->submit(probe);
        QEventLoop loop;
        QObject::connect(mScheduler.get(), &BoardScheduler::jobFinished, &loop, [&](BoardJob* job) {
            if (job == probe.get())
                loop.quit();
        });
        if (gInterruptNotifier)
            QObject::connect(gInterruptNotifier, &QSocketNotifier::activated, &loop,
                             [&loop] { loop.quit(); });
        if (!probe->isOver())
            loop.exec();
        if (gInterrupted) {
            std::fprintf(stderr, "\nvantorctl: %s: interrupted\n", qPrintable(title));
            mScheduler->cancelAll();
            mLink->RbPortClose(true);
            return kExitInterrupted;
        }
        if (probe->state() == BoardJob::State::Done)
            return kExitOk;
        const LinkFailure& f = probe->failure();
        const bool wrong = f.fault == LinkFault::WrongReply || f.fault == LinkFault::LineNoise;
        if (wrong && attempt == 0)
            continue;
        if (wrong)
            std::fprintf(stderr, "vantorctl: %s: not a QMC-4410 controller: %s\n",
                         qPrintable(title), qPrintable(FailureWords(f, mOptions.timeoutMs)));
        else
            std::fprintf(stderr, "vantorctl: %s: %s\n", qPrintable(title),
                         qPrintable(FailureWords(f, mOptions.timeoutMs)));
        mLink->RbPortClose(true);
        return kExitFault;
    }
    return kExitFault;
}

QString Session::FailureWords(const LinkFailure& f, qint64 timeoutMs)
{
    QString at;
    if (f.cmd == "STATUS_COMMAND")
        at = QStringLiteral("at byte %1 of the stream").arg(f.replies + 1);
    else if (f.cmd.size() == 1 || f.cmd == "SRAM_CHECKSUM" || f.cmd == "PROGRAM_INFORMATION")
        at = QStringLiteral("at address %1, step %2").arg(Hex4(f.addr)).arg(f.step);
    else if (!f.cmd.isEmpty())
        at = QStringLiteral("at step %1").arg(f.step);
    const QString sent = f.sent.isEmpty() ? QString()
                                          : QStringLiteral("; last byte sent %1")
                                                .arg(QString::fromLatin1(f.sent.toHex().toUpper()));
    const QString causes = QStringLiteral(
        "another device on this port, a wrong cable or line speed (9600 bit/s), or noise?");
    switch (f.fault) {
    case LinkFault::NoReply:
        return QStringLiteral("no answer from the controller within %1 ms %2%3; check its power, "
                              "the cable, the port and the line speed (9600 bit/s)")
            .arg(timeoutMs)
            .arg(at, sent);
    case LinkFault::WrongReply: {
        const QString expected = !f.expectedText.isEmpty()
                                     ? f.expectedText
                                     : QString::fromLatin1(f.expected.toHex(' ').toUpper());
        return QStringLiteral("wrong answer %1: sent %2, expected %3, received %4 (%5)")
            .arg(at, QString::fromLatin1(f.sent.toHex().toUpper()), expected,
                 QString::fromLatin1(f.received.toHex(' ').toUpper()), causes);
    }
    case LinkFault::LineNoise: {
        const QString received =
            f.received.size() > 16 ? QString::fromLatin1(f.received.left(16).toHex(' ').toUpper()) +
                                         QStringLiteral(" ... (%1 bytes)").arg(f.received.size())
                                   : QString::fromLatin1(f.received.toHex(' ').toUpper());
        return QStringLiteral("line noise %1: sent %2, expected %3, received %4 (%5)")
            .arg(at, QString::fromLatin1(f.sent.toHex().toUpper()),
                 f.expectedText.isEmpty() ? QStringLiteral("one byte") : f.expectedText,
                 received.isEmpty() ? QStringLiteral("a line that does not go quiet") : received,
                 causes);
    }
    case LinkFault::Lost:
        return QStringLiteral("the device was lost %1%2 (%3)").arg(at, sent, f.systemText);
    case LinkFault::Closed:
        return QStringLiteral("the port was closed %1").arg(at);
    case LinkFault::NotOpened:
        return QStringLiteral("cannot open the port: %1 (%2)")
            .arg(OpenFailureWords(f.openError), f.systemText);
    case LinkFault::None:
        break;
    }
    return QStringLiteral("failed");
}

int Session::run(const std::shared_ptr<BoardJob>& job, Progress* progress)
{
    if (gInterrupted) {
        std::fprintf(stderr, "vantorctl: %s: interrupted\n", qPrintable(job->title()));
        return kExitInterrupted;
    }
    mTrace.sent.clear();
    mTrace.received.clear();
    QEventLoop loop;
    const QMetaObject::Connection progressed =
        QObject::connect(mScheduler.get(), &BoardScheduler::jobProgress, &loop, [&](BoardJob* j) {
            if (j == job.get() && progress)
                progress->update(j->done(), j->total());
        });
    QObject::connect(mScheduler.get(), &BoardScheduler::jobFinished, &loop, [&](BoardJob* j) {
        if (j == job.get())
            loop.quit();
    });
    if (gInterruptNotifier)
        QObject::connect(gInterruptNotifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    mScheduler->submit(job);
    if (!job->isOver())
        loop.exec();
    QObject::disconnect(progressed);
    if (progress)
        progress->finish();

    if (gInterrupted) {
        std::fprintf(stderr, "\nvantorctl: %s: interrupted\n", qPrintable(job->title()));
        mScheduler->cancelAll();
        mLink->RbPortClose(true);
        return kExitInterrupted;
    }
    switch (job->state()) {
    case BoardJob::State::Done:
        return kExitOk;
    case BoardJob::State::Cancelled:
        std::fprintf(stderr, "vantorctl: %s: cancelled\n", qPrintable(job->title()));
        return kExitFault;
    case BoardJob::State::Queued:
    case BoardJob::State::Running:
    case BoardJob::State::Failed:
        break;
    }
    if (job->failure().isNull()) {
        std::fprintf(stderr, "vantorctl: %s: %s\n", qPrintable(job->title()),
                     qPrintable(job->error()));
    } else {
        std::fprintf(stderr, "vantorctl: %s: %s\n", qPrintable(job->title()),
                     qPrintable(FailureWords(job->failure(), mOptions.timeoutMs)));
    }
    mLink->RbPortClose(true);
    return kExitFault;
}

int Session::exchange(const QString& title, const ExchangeJob::Start& start)
{
    return run(std::make_shared<ExchangeJob>(title, start));
}

void Session::catchInterrupt()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gInterruptPipe) != 0)
        return; // Ctrl-C then ends the program the default way
    gInterruptNotifier =
        new QSocketNotifier(gInterruptPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    // The first connection to the notifier: the flag is set before any
    // waiting loop hears of the interrupt and looks at it.
    QObject::connect(gInterruptNotifier, &QSocketNotifier::activated, [] {
        char c = 0;
        [[maybe_unused]] const ssize_t n = ::read(gInterruptPipe[0], &c, 1);
        gInterrupted = true;
    });
    struct sigaction sa
    {
    };
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

bool Session::interrupted()
{
    return gInterrupted;
}

QSocketNotifier* Session::interruptNotifier()
{
    return gInterruptNotifier;
}
