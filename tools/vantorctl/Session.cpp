#include "Session.h"

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

// Hands every byte to the real backend and notes it on the way: the last
// byte sent, when the last reply came, and with --trace a line per chunk.
class TracingBackend : public SerialBackend
{
public:
    TracingBackend(std::unique_ptr<SerialBackend> inner, LineTrace* trace)
        : mInner(std::move(inner)), mTrace(trace)
    {
        connect(mInner.get(), &SerialBackend::dataAvailable, this, &SerialBackend::dataAvailable);
        connect(mInner.get(), &SerialBackend::errorOccurred, this,
                [this](SerialError error, const QString& text) {
                    setLastError(error, text);
                    emit errorOccurred(error, text);
                });
    }

    bool open(qint32 baud) override
    {
        const bool ok = mInner->open(baud);
        setLastError(mInner->lastError(), mInner->errorString());
        return ok;
    }
    void close() override { mInner->close(); }
    bool isOpen() const override { return mInner->isOpen(); }
    qint64 write(const QByteArray& bytes) override
    {
        mTrace->lastSent = bytes.right(1);
        if (mTrace->print)
            std::fprintf(stderr, "> %s\n", bytes.toHex(' ').toUpper().constData());
        return mInner->write(bytes);
    }
    void flush() override { mInner->flush(); }
    QByteArray readAll() override
    {
        const QByteArray bytes = mInner->readAll();
        if (!bytes.isEmpty()) {
            mTrace->lastActivityMs = mTrace->clock.elapsed();
            mTrace->lastReceived = bytes.right(1);
            if (mTrace->print)
                std::fprintf(stderr, "< %s\n", bytes.toHex(' ').toUpper().constData());
        }
        return bytes;
    }
    void poll() override { mInner->poll(); }
    void setBaud(qint32 baud) override { mInner->setBaud(baud); }

private:
    std::unique_ptr<SerialBackend> mInner;
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
    if (printMessages && !text.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

void CliView::ShowProgress(const ProgressBarState& bar, const StaticTextState& count)
{
    (void)bar;
    (void)count;
    if (onReply)
        onReply();
    if (onProgress)
        onProgress();
}

int CliView::Alert(int icon, const QString& actionCaption, const QString& cancelCaption,
                   const QString& alternateCaption, const QString& message,
                   const QString& explanation, const QString& title)
{
    (void)icon;
    (void)actionCaption;
    (void)cancelCaption;
    (void)alternateCaption;
    (void)title;
    lastAlert = message + QLatin1Char(' ') + explanation;
    // Nobody is there to confirm anything: every question is answered "cancel".
    return 0;
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
    mTrace.clock.start();
    mView.printMessages = options.trace;
    mPref = std::make_unique<PreferClass>(QStringLiteral("vantorctl"), mPrefDir.path());
    // One invocation may run several exchanges (write then verify, size then
    // code): the port stays open between them and is closed at the end.
    mPref->mNotAutoDisconnect = true;
    mLink = std::make_unique<ControllerLink>(mPref.get(), &mView);
    mView.onReply = [this] {
        if (!mLink->mMcpCmd.isEmpty())
            mLastPosition = position();
    };
}

Session::~Session()
{
    if (mLink && mLink->mMcpOpen)
        mLink->RbPortClose(true);
}

int Session::open(const QString& title)
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
    if (!mLink->RbPortOpen()) {
        const SerialError error = mLink->MySerial->openError();
        std::fprintf(stderr, "vantorctl: %s: cannot open %s: %s (%s)\n", qPrintable(title),
                     qPrintable(entry.name), qPrintable(OpenFailureWords(error)),
                     qPrintable(mLink->MySerial->openErrorString()));
        return kExitPort;
    }
    return kExitOk;
}

Session::Position Session::position() const
{
    return {mLink->mMcpCmd, mLink->mMcpAddr, mLink->mMcpStep, mLink->PrgPB.Value};
}

QString Session::where() const
{
    const Position p = mLink->mMcpCmd.isEmpty() ? mLastPosition : position();
    QString at;
    if (p.cmd == "STATUS_COMMAND")
        at = QStringLiteral("at byte %1 of the stream").arg(p.replies + 1);
    else if (p.cmd.size() == 1 || p.cmd == "SRAM_CHECKSUM" || p.cmd == "PROGRAM_INFORMATION")
        at = QStringLiteral("at address %1, step %2").arg(Hex4(p.addr)).arg(p.step);
    else
        at = QStringLiteral("at step %1").arg(p.step);
    if (!mTrace.lastSent.isEmpty())
        at += QStringLiteral("; last byte sent %1")
                  .arg(QString::fromLatin1(mTrace.lastSent.toHex().toUpper()));
    return at;
}

int Session::exchange(const QString& title, const std::function<bool(ControllerLink&)>& start)
{
    enum Outcome
    {
        Finished,
        Timeout,
        Lost,
        Interrupted
    };
    if (gInterrupted) {
        std::fprintf(stderr, "vantorctl: %s: interrupted\n", qPrintable(title));
        return kExitInterrupted;
    }

    QEventLoop loop;
    QString lostText;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    const qint64 timeout = mOptions.timeoutMs;
    QObject::connect(&watchdog, &QTimer::timeout, &loop, [&] {
        // Armed once per timeout rather than per reply: on a fast line that
        // spares a timer restart for every byte.
        const qint64 idle = mTrace.clock.elapsed() - mTrace.lastActivityMs;
        if (idle >= timeout)
            loop.exit(Timeout);
        else
            watchdog.start(int(timeout - idle));
    });
    QObject::connect(mLink.get(), &ControllerLink::mcpFinished, &loop,
                     [&loop] { loop.exit(Finished); });
    QObject::connect(mLink->MySerial, &Serial::error, &loop, [&](SerialError, const QString& text) {
        lostText = text;
        loop.exit(Lost);
    });
    if (gInterruptNotifier)
        QObject::connect(gInterruptNotifier, &QSocketNotifier::activated, &loop,
                         [&loop] { loop.exit(Interrupted); });

    mTrace.lastActivityMs = mTrace.clock.elapsed();
    watchdog.start(int(timeout));
    if (!start(*mLink)) {
        std::fprintf(stderr, "vantorctl: %s: the link refused the command\n", qPrintable(title));
        return kExitUsage;
    }
    if (!mLink->mMcpOpen) {
        std::fprintf(stderr, "vantorctl: %s: the port closed\n", qPrintable(title));
        return kExitFault;
    }
    const int outcome = mLink->mMcpFinish ? Finished : loop.exec();
    switch (outcome) {
    case Finished:
        return kExitOk;
    case Timeout:
        std::fprintf(stderr, "vantorctl: %s: no answer from the controller within %lld ms %s\n",
                     qPrintable(title), static_cast<long long>(timeout), qPrintable(where()));
        break;
    case Lost:
        std::fprintf(stderr, "vantorctl: %s: the device was lost %s (%s)\n", qPrintable(title),
                     qPrintable(where()), qPrintable(lostText));
        break;
    case Interrupted:
        std::fprintf(stderr, "\nvantorctl: %s: interrupted %s\n", qPrintable(title),
                     qPrintable(where()));
        mLink->RbPortClose(true);
        return kExitInterrupted;
    }
    mLink->RbPortClose(true);
    return kExitFault;
}

void Session::catchInterrupt()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gInterruptPipe) != 0)
        return; // Ctrl-C then ends the program the default way
    gInterruptNotifier =
        new QSocketNotifier(gInterruptPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
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
