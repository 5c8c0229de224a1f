// link_roundtrips: lock-step exchanges per second through the controller link
// against qmc-emulator on a pseudo-terminal.
//
// Three contenders run on the same kind of pseudo-terminal, interleaved
// (core, qserialport, raw, core, qserialport, raw, ...) because a
// pseudo-terminal's latency drifts by several times within seconds:
//   core         the program's own ControllerLink, as the windows drive it;
//   qserialport  a bare QSerialPort loop: write one byte, flush, write the
//                next on readyRead (what Qt itself costs);
//   raw          a blocking write-then-read loop on the file descriptor (the
//                machine's floor).
// Each runs the same bytes: a "STATUS_COMMAND" stream of key codes and an
// external-ROM read, once against an emulator that answers at once and once
// against one that imitates the 9600 bit/s line (2083 µs per exchange). Then
// one remote key click as the user makes it: open, a four-byte variable
// write, close.
//
// The last line printed is
//   core/qserialport ratio: A; line-delay core/raw ratio: B
// (A on the undelayed stream, B on the line-delayed stream).

#include "link/ControllerLink.h"
#include "platform/SerialPorts.h"
#include "settings/PreferClass.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The line's own pace: ten bits per byte each way at 9600 bit/s.
constexpr int kLineDelayUs = 2083;
// Any single run that takes longer than this has stalled.
constexpr auto kRunDeadline = 120s;

// How long the emulator may take to print its device path.
constexpr auto kEmulatorStartTimeout = 10s;
// The raw loop's read gives up after this (tenths of a second, the
// terminal's own read timer), so a dead emulator cannot hang the benchmark.
constexpr cc_t kRawReadTimeoutDs = 50;
// Before a loop starts, the line must have been quiet this long: a late
// answer of an earlier run arriving after the loop's first byte was written
// would be taken as that byte's answer and shift every answer after it.
constexpr int kQuietMs = 20;

// Ends loop and sets timedOut when a run takes longer than kRunDeadline.
void ArmDeadline(QTimer& deadline, QEventLoop& loop, bool& timedOut)
{
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&loop, &timedOut] {
        timedOut = true;
        loop.quit();
    });
    deadline.start(kRunDeadline);
}

using SteadyClock = std::chrono::steady_clock;

// CPU time of this process (all its threads), in microseconds.
double CpuNowUs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

[[noreturn]] void Fail(const QString& what)
{
    std::fprintf(stderr, "link_roundtrips: FAILED: %s\n", qPrintable(what));
    std::fflush(stdout);
    std::exit(1);
}

// One timed run: how many exchanges, how long, and the answers received.
struct Run
{
    qint64 exchanges = 0;
    double wallUs = 0;
    double cpuUs = 0;
    QByteArray answers;

    double rate() const { return wallUs > 0 ? double(exchanges) * 1e6 / wallUs : 0.0; }
};

// Measures fn() in wall and CPU time.
template <typename Fn> void Measure(Run& run, Fn&& fn)
{
    const double c0 = CpuNowUs();
    const auto t0 = SteadyClock::now();
    fn();
    const auto t1 = SteadyClock::now();
    run.cpuUs = CpuNowUs() - c0;
    run.wallUs = std::chrono::duration<double, std::micro>(t1 - t0).count();
}

// --- The emulator ------------------------------------------------------------

// qmc-emulator as a child process; the device path comes on its first line.
class Emulator
{
public:
    explicit Emulator(int delayUs) : mDelayUs(delayUs)
    {
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Ends with us, even when we are killed: a left-over emulator would
        // hold a pseudo-terminal for nothing.
        mProcess.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        QStringList args;
        if (delayUs > 0)
            args << QStringLiteral("--delay-us") << QString::number(delayUs);
        mProcess.start(QStringLiteral(QMC_EMULATOR_PATH), args);
        if (!mProcess.waitForStarted(int(std::chrono::milliseconds(kEmulatorStartTimeout).count())))
            Fail(QStringLiteral("cannot start %1: %2")
                     .arg(QStringLiteral(QMC_EMULATOR_PATH), mProcess.errorString()));
        const auto deadline = SteadyClock::now() + kEmulatorStartTimeout;
        while (!mProcess.canReadLine() && SteadyClock::now() < deadline)
            mProcess.waitForReadyRead(100);
        mPath = QString::fromLocal8Bit(mProcess.readLine()).trimmed();
        if (mPath.isEmpty())
            Fail(QStringLiteral("qmc-emulator printed no device path"));
    }

    ~Emulator()
    {
        mProcess.terminate();
        if (!mProcess.waitForFinished(5000))
            mProcess.kill();
    }

    QString path() const { return mPath; }
    int delayUs() const { return mDelayUs; }

private:
    int mDelayUs = 0;
    QProcess mProcess;
    QString mPath;
};

// --- Workloads ---------------------------------------------------------------

struct Workload
{
    QString name;
    QByteArray wire;   // every byte written, in order; each is one exchange
    int dataEvery = 1; // the link keeps every dataEvery-th answer as data
    std::function<bool(ControllerLink&)> start;
};

// Key codes 01..7F cycling: every one is echoed, and no 00 follows a key code
// (that would be a servo query).
Workload StatusStream(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        data[i] = char(1 + i % 0x7F);
    Workload w;
    w.name = QStringLiteral("STATUS_COMMAND stream, %1 bytes").arg(bytes);
    w.wire = data;
    w.start = [data](ControllerLink& link) {
        link.Cmd_Excute(data, false);
        return true;
    };
    return w;
}

// Per address: F2, address low, address high, 00; the fourth answer is the
// memory byte.
Workload ExtRomRead(int bytes)
{
    Workload w;
    w.name = QStringLiteral("external-ROM read, %1 bytes").arg(bytes);
    w.wire.reserve(bytes * 4);
    for (int a = 0; a < bytes; ++a) {
        w.wire.append(char(0xF2));
        w.wire.append(char(a & 0xFF));
        w.wire.append(char((a >> 8) & 0xFF));
        w.wire.append(char(0x00));
    }
    w.dataEvery = 4;
    w.start = [bytes](ControllerLink& link) { return link.Cmd_EXTROM_READ(0, bytes); };
    return w;
}

// --- Contender: the controller link ------------------------------------------

// A silent view that keeps what an alert said, so a failure can be reported.
class BenchView : public ControllerView
{
public:
    int Alert(int, const QString&, const QString&, const QString&, const QString& message,
              const QString& explanation, const QString&) override
    {
        lastAlert = message + QLatin1Char(' ') + explanation;
        return 0;
    }
    QString lastAlert;
};

// A link with its own preferences in a temporary folder, pointed at one
// device.
class CoreRig
{
public:
    CoreRig(const QString& devicePath, bool notAutoDisconnect)
        : mPref(QStringLiteral("link_roundtrips"), mDir.path()), mLink(&mPref, &mView)
    {
        const SerialPortEntry entry = SerialPorts::deviceEntry(devicePath, devicePath);
        mPref.mPortInfo = SerialPortInfo(entry);
        mPref.mNotAutoDisconnect = notAutoDisconnect;
        mLink.mSerialPort = entry;
    }

    ControllerLink& link() { return mLink; }

    void open()
    {
        mLink.mMcpOpen = mLink.RbPortOpen();
        if (!mLink.mMcpOpen)
            Fail(QStringLiteral("the link cannot open %1: %2")
                     .arg(mLink.mSerialPort.name, mView.lastAlert));
    }

    void close()
    {
        mLink.RbPortClose(true);
        // The port object goes with deleteLater; let it go now.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Starts an exchange and runs the event loop until the link reports it
    // finished (or the deadline passes, which fails the benchmark).
    void runToFinish(const std::function<bool(ControllerLink&)>& start, const QString& what)
    {
        QEventLoop loop;
        bool timedOut = false;
        const auto finished =
            QObject::connect(&mLink, &ControllerLink::mcpFinished, &loop, &QEventLoop::quit);
        QTimer deadline;
        ArmDeadline(deadline, loop, timedOut);
        if (!start(mLink))
            Fail(QStringLiteral("%1: the link refused the command").arg(what));
        if (!mLink.mMcpFinish && !timedOut)
            loop.exec();
        QObject::disconnect(finished);
        if (timedOut || !mLink.mMcpFinish)
            Fail(QStringLiteral("%1: the link did not finish (%2 bytes read, message \"%3\")")
                     .arg(what)
                     .arg(mLink.mReadData.size())
                     .arg(mLink.mMsg));
    }

private:
    QTemporaryDir mDir;
    PreferClass mPref;
    BenchView mView;
    ControllerLink mLink;
};

Run RunCore(CoreRig& rig, const Workload& w)
{
    rig.open();
    Run run;
    run.exchanges = w.wire.size();
    Measure(run, [&] { rig.runToFinish(w.start, QStringLiteral("core, ") + w.name); });
    run.answers = rig.link().mReadData;
    rig.close();
    return run;
}

// --- Contender: a bare QSerialPort loop ----------------------------------------

Run RunQSerialPort(const QString& path, const Workload& w)
{
    QSerialPort port(path);
    port.setBaudRate(9600);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    if (!port.open(QIODevice::ReadWrite))
        Fail(QStringLiteral("QSerialPort cannot open %1: %2").arg(path, port.errorString()));
    // Drop what is waiting and what still trickles in, as the link does.
    port.clear();
    while (port.waitForReadyRead(kQuietMs))
        port.readAll();
    port.clear(QSerialPort::Input);

    const QByteArray& wire = w.wire;
    const qsizetype n = wire.size();
    Run run;
    run.exchanges = n;
    run.answers.reserve(n);
    qsizetype sent = 0;
    bool timedOut = false;
    QEventLoop loop;
    QObject::connect(&port, &QSerialPort::readyRead, &loop, [&] {
        run.answers.append(port.readAll());
        if (run.answers.size() >= n) {
            loop.quit();
        } else if (run.answers.size() == sent) {
            port.write(wire.constData() + sent, 1);
            ++sent;
            port.flush();
        }
    });
    QTimer deadline;
    ArmDeadline(deadline, loop, timedOut);

    Measure(run, [&] {
        port.write(wire.constData(), 1);
        sent = 1;
        port.flush();
        loop.exec();
    });
    if (timedOut)
        Fail(QStringLiteral("qserialport, %1: %2 of %3 answers")
                 .arg(w.name)
                 .arg(run.answers.size())
                 .arg(n));
    port.close();
    return run;
}

// --- Contender: a raw blocking loop --------------------------------------------

Run RunRaw(const QString& path, const Workload& w)
{
    const QByteArray device = QFile::encodeName(path);
    const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        Fail(QStringLiteral("cannot open %1: %2")
                 .arg(path, QString::fromLocal8Bit(strerror(errno))));
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    // A read returns as soon as one byte is there, or empty after the
    // timeout.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = kRawReadTimeoutDs;
    ::tcsetattr(fd, TCSANOW, &tio);
    // Drop what is waiting and what still trickles in, as the link does.
    pollfd quiet{fd, POLLIN, 0};
    for (int i = 0; i < 100; ++i) {
        ::tcflush(fd, TCIOFLUSH);
        if (::poll(&quiet, 1, kQuietMs) <= 0 || !(quiet.revents & POLLIN))
            break;
    }

    const QByteArray& wire = w.wire;
    const qsizetype n = wire.size();
    Run run;
    run.exchanges = n;
    run.answers.resize(n);
    qsizetype done = 0;
    Measure(run, [&] {
        for (; done < n; ++done) {
            ssize_t r;
            do {
                r = ::write(fd, wire.constData() + done, 1);
            } while (r < 0 && errno == EINTR);
            if (r != 1)
                break;
            do {
                r = ::read(fd, run.answers.data() + done, 1);
            } while (r < 0 && errno == EINTR);
            if (r != 1)
                break;
        }
    });
    ::close(fd);
    if (done != n)
        Fail(QStringLiteral("raw, %1: %2 of %3 answers").arg(w.name).arg(done).arg(n));
    return run;
}

// --- Checking the answers ----------------------------------------------------

// What the link keeps of a full answer trace: every dataEvery-th answer.
QByteArray DataOf(const QByteArray& answers, int dataEvery)
{
    if (dataEvery == 1)
        return answers;
    QByteArray data;
    for (qsizetype i = dataEvery - 1; i < answers.size(); i += dataEvery)
        data.append(answers.at(i));
    return data;
}

// All contenders must have seen the same controller: a benchmark that
// counts wrong answers measures nothing.
void CheckAnswers(const Workload& w, const QByteArray& reference, const QString& contender,
                  const QByteArray& answers, bool fullTrace)
{
    const QByteArray expected = fullTrace ? reference : DataOf(reference, w.dataEvery);
    if (answers != expected)
        Fail(QStringLiteral("%1, %2: the answers differ from the raw loop's (%3 bytes, %4 "
                            "expected)")
                 .arg(contender, w.name)
                 .arg(answers.size())
                 .arg(expected.size()));
}

// The raw loop's trace is the reference; it must itself be what the
// controller answers: echoes, and for a memory read the data byte last.
void CheckReference(const Workload& w, const QByteArray& answers)
{
    for (qsizetype i = 0; i < answers.size(); ++i) {
        const bool dataByte = w.dataEvery > 1 && i % w.dataEvery == w.dataEvery - 1;
        if (!dataByte && answers.at(i) != w.wire.at(i))
            Fail(QStringLiteral("raw, %1: answer %2 is %3, not the echo %4")
                     .arg(w.name)
                     .arg(i)
                     .arg(quint8(answers.at(i)), 2, 16, QLatin1Char('0'))
                     .arg(quint8(w.wire.at(i)), 2, 16, QLatin1Char('0')));
    }
}

// --- Reporting -----------------------------------------------------------------

enum Contender
{
    Core,
    Qsp,
    Raw,
    ContenderCount
};

const char* const kContenderNames[ContenderCount] = {"core", "qserialport", "raw"};

struct Series
{
    std::vector<double> rate, wallUs, cpuUs; // per exchange
    void add(const Run& r)
    {
        rate.push_back(r.rate());
        wallUs.push_back(r.wallUs / double(r.exchanges));
        cpuUs.push_back(r.cpuUs / double(r.exchanges));
    }
};

struct Case
{
    const Emulator* emulator = nullptr;
    Workload workload;
    Series series[ContenderCount];
    std::vector<double> coreOverQsp, coreOverRaw; // per round, paired
    QByteArray reference;                         // the raw loop's first trace
};

void PrintCase(const Case& c)
{
    const int delay = c.emulator->delayUs();
    std::printf("\n%s, %s (%lld exchanges)\n",
                delay ? qPrintable(QStringLiteral("line delay %1 µs").arg(delay)) : "undelayed",
                qPrintable(c.workload.name), static_cast<long long>(c.workload.wire.size()));
    std::printf("  %-12s %10s %14s %13s\n", "contender", "exch/s", "wall µs/exch", "CPU µs/exch");
    for (int k = 0; k < ContenderCount; ++k) {
        const Series& s = c.series[k];
        std::printf("  %-12s %10.0f %14.1f %13.1f\n", kContenderNames[k], Median(s.rate),
                    Median(s.wallUs), Median(s.cpuUs));
    }
    const double core = Median(c.series[Core].rate);
    const double qsp = Median(c.series[Qsp].rate);
    const double raw = Median(c.series[Raw].rate);
    std::printf("  ratios: core/qserialport %.3f, core/raw %.3f, qserialport/raw %.3f"
                " (paired per round: core/qserialport %.3f, core/raw %.3f)\n",
                core / qsp, core / raw, qsp / raw, Median(c.coreOverQsp), Median(c.coreOverRaw));
    if (delay)
        std::printf("  the line's own limit: %.0f exch/s; core reaches %.3f of it\n", 1e6 / delay,
                    core * delay / 1e6);
}

// --- The user's click ----------------------------------------------------------

struct Clicks
{
    std::vector<double> ms;
};

// One remote key click with automatic disconnection: the port is closed
// before; the click opens it, writes the variable #2 := 5 (static RAM 0141)
// and closes it. Timed from the call to the last answer.
double Click(CoreRig& rig)
{
    static const QByteArray kVariableWrite = QByteArray::fromHex("f8410105");
    if (rig.link().mMcpOpen)
        Fail(QStringLiteral("click: the port was left open"));
    const auto t0 = SteadyClock::now();
    rig.runToFinish(
        [](ControllerLink& link) {
            link.Cmd_Excute(kVariableWrite, true);
            return true;
        },
        QStringLiteral("click"));
    const auto t1 = SteadyClock::now();
    if (rig.link().mReadData != kVariableWrite)
        Fail(QStringLiteral("click: answers %1, expected the echoes f8410105")
                 .arg(QString::fromLatin1(rig.link().mReadData.toHex())));
    if (rig.link().mMcpOpen)
        Fail(QStringLiteral("click: the port stayed open after the click"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

QString MachineLine()
{
    utsname u{};
    ::uname(&u);
    return QStringLiteral("%1 CPUs online, %2 %3 %4")
        .arg(::sysconf(_SC_NPROCESSORS_ONLN))
        .arg(QString::fromLocal8Bit(u.sysname), QString::fromLocal8Bit(u.release),
             QString::fromLocal8Bit(u.machine));
}

// The system's load averages, to tell a quiet run from a busy one.
QString LoadLine()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() >= 3 ? QString::fromLatin1(fields[0] + ' ' + fields[1] + ' ' + fields[2])
                              : QStringLiteral("unknown");
}

int PositiveOption(const QCommandLineParser& parser, const QString& name, int fallback)
{
    if (!parser.isSet(name))
        return fallback;
    bool ok = false;
    const int v = parser.value(name).toInt(&ok);
    if (!ok || v < 1) {
        std::fprintf(stderr, "link_roundtrips: --%s needs a whole number above 0\n",
                     qPrintable(name));
        std::exit(2);
    }
    return v;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("link_roundtrips"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Lock-step exchanges per second through the controller link against "
                       "qmc-emulator, beside a bare QSerialPort loop and a raw blocking loop."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("rounds"), QStringLiteral("Interleaved rounds, medians over them (7)."),
         QStringLiteral("N")},
        {QStringLiteral("quick"), QStringLiteral("Small workloads: a smoke test, not figures.")},
        {QStringLiteral("delayed-rom-bytes"),
         QStringLiteral("External-ROM bytes read with the line delay (512; 4096 takes "
                        "about 35 s per contender and round)."),
         QStringLiteral("N")},
        {QStringLiteral("clicks"), QStringLiteral("Key clicks timed per line (50)."),
         QStringLiteral("N")},
    });
    parser.process(app);

    const bool quick = parser.isSet(QStringLiteral("quick"));
    const int rounds = PositiveOption(parser, QStringLiteral("rounds"), 7);
    const int statusBytes = quick ? 200 : 2000;
    const int romBytes = quick ? 64 : 4096;
    const int delayedStatusBytes = quick ? 50 : 2000;
    const int delayedRomBytes =
        PositiveOption(parser, QStringLiteral("delayed-rom-bytes"), quick ? 8 : 512);
    const int clicks = PositiveOption(parser, QStringLiteral("clicks"), quick ? 5 : 50);
    if (delayedRomBytes > 0x10000) {
        std::fprintf(stderr, "link_roundtrips: --delayed-rom-bytes is at most 65536\n");
        return 2;
    }

    // A write to a pseudo-terminal whose emulator has gone must fail, not
    // kill the benchmark.
    ::signal(SIGPIPE, SIG_IGN);

    const Emulator fast(0);
    const Emulator line(kLineDelayUs);

    std::printf("link_roundtrips: lock-step exchanges through the controller link\n");
    std::printf("machine: %s; load average at start %s\n", qPrintable(MachineLine()),
                qPrintable(LoadLine()));
    std::printf("emulators: %s (undelayed), %s (--delay-us %d)\n", qPrintable(fast.path()),
                qPrintable(line.path()), kLineDelayUs);
    std::printf("%d round(s), contenders interleaved core, qserialport, raw; medians%s\n", rounds,
                quick ? " (quick: smoke test sizes)" : "");
    if (rounds < 5 && !quick)
        std::printf("note: fewer than 5 rounds; the medians are not worth much\n");
    std::fflush(stdout);

    std::vector<Case> cases(4);
    cases[0].emulator = &fast;
    cases[0].workload = StatusStream(statusBytes);
    cases[1].emulator = &fast;
    cases[1].workload = ExtRomRead(romBytes);
    cases[2].emulator = &line;
    cases[2].workload = StatusStream(delayedStatusBytes);
    cases[3].emulator = &line;
    cases[3].workload = ExtRomRead(delayedRomBytes);

    // One link per device for the streams: the port stays open through a
    // run, as with "NotAutoDisconnect".
    CoreRig fastRig(fast.path(), true);
    CoreRig lineRig(line.path(), true);
    auto rigFor = [&](const Case& c) -> CoreRig& {
        return c.emulator == &fast ? fastRig : lineRig;
    };

    // Warm-up: a short run of each contender on each device, untimed, so the
    // first round does not pay for loading and first-time allocations.
    for (const Emulator* e : {&fast, &line}) {
        const Workload warm = StatusStream(20);
        RunCore(e == &fast ? fastRig : lineRig, warm);
        RunQSerialPort(e->path(), warm);
        RunRaw(e->path(), warm);
    }

    for (int r = 0; r < rounds; ++r) {
        for (Case& c : cases) {
            const Run core = RunCore(rigFor(c), c.workload);
            const Run qsp = RunQSerialPort(c.emulator->path(), c.workload);
            const Run raw = RunRaw(c.emulator->path(), c.workload);
            if (c.reference.isEmpty()) {
                CheckReference(c.workload, raw.answers);
                c.reference = raw.answers;
            }
            CheckAnswers(c.workload, c.reference, QStringLiteral("raw"), raw.answers, true);
            CheckAnswers(c.workload, c.reference, QStringLiteral("qserialport"), qsp.answers, true);
            CheckAnswers(c.workload, c.reference, QStringLiteral("core"), core.answers, false);
            c.series[Core].add(core);
            c.series[Qsp].add(qsp);
            c.series[Raw].add(raw);
            c.coreOverQsp.push_back(core.rate() / qsp.rate());
            c.coreOverRaw.push_back(core.rate() / raw.rate());
        }
        std::fprintf(stderr, "link_roundtrips: round %d of %d done\n", r + 1, rounds);
    }
    for (const Case& c : cases)
        PrintCase(c);

    // Clicks, alternating between the two devices.
    CoreRig fastClickRig(fast.path(), false);
    CoreRig lineClickRig(line.path(), false);
    std::vector<double> fastMs, lineMs;
    for (int i = 0; i < clicks; ++i) {
        fastMs.push_back(Click(fastClickRig));
        lineMs.push_back(Click(lineClickRig));
    }
    std::printf("\none key click (open, variable write F8 41 01 05, close), %d clicks:\n", clicks);
    std::printf("  undelayed:           median %.2f ms, worst %.2f ms\n", Median(fastMs),
                *std::max_element(fastMs.begin(), fastMs.end()));
    std::printf("  line delay %d µs:  median %.2f ms, worst %.2f ms (the line alone: %.2f ms)\n",
                kLineDelayUs, Median(lineMs), *std::max_element(lineMs.begin(), lineMs.end()),
                4 * kLineDelayUs / 1000.0);

    std::printf("load average at the end: %s\n", qPrintable(LoadLine()));

    const double a = Median(cases[0].series[Core].rate) / Median(cases[0].series[Qsp].rate);
    const double b = Median(cases[2].series[Core].rate) / Median(cases[2].series[Raw].rate);
    std::printf("\ncore/qserialport ratio: %.2f; line-delay core/raw ratio: %.2f\n", a, b);
    return 0;
}
