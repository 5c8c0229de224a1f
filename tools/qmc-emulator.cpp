// qmc-emulator: the virtual QMC-4410 served on a pseudo-terminal, so that the
// program (or any serial tool) can open it like a real controller.
//
// The first line on standard output is the device path; everything else goes
// to standard error. Exit status: 0 after SIGINT, SIGTERM, an idle timeout or
// a hang-up; 1 when the pseudo-terminal or the link cannot be made (a link
// another live emulator holds included); 2 for bad arguments.

#include "emulator/QmcModel.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <random>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kExitBadArguments = 2;
constexpr int kExitFailure = 1;

// Devices that send on their own, whatever they receive, and never answer.
enum class Chatter
{
    None,
    Noise, // random bytes in bursts
    Text   // text lines, as a GPS module's NMEA sentences
};

struct Options
{
    QString linkPath;
    QString programFile;
    QByteArray unsolicited;
    std::chrono::microseconds delay{0};
    std::chrono::milliseconds abandonAfter = QmcModel::cAbandonAfter;
    QmcModel::Fault fault = QmcModel::Fault::None;
    int faultCount = 0;
    Chatter chatter = Chatter::None;
    quint32 seed = 0;                    // of the noise
    std::optional<quint8> lateByte;      // --late-answer: the stale byte
    QList<std::pair<quint8, int>> stuck; // memory write code, address
    bool trace = false;
    std::optional<std::chrono::milliseconds> exitAfterIdle;
};

// Noise comes in bursts of 1 to 8 bytes, 2 to 10 ms apart: about the most a
// 9600 bit/s line carries (960 bytes a second).
constexpr int kNoiseBurstMax = 8;
constexpr int kNoiseGapMinMs = 2;
constexpr int kNoiseGapMaxMs = 10;
// Text goes out 9 bytes every 10 ms, the pace of a 9600 bit/s line, and a
// new line starts every 100 ms.
constexpr int kTextTickMs = 10;
constexpr int kTextBytesPerTick = 9;
constexpr int kTextTicksPerLine = 10;
constexpr int kTextLinesPerSecond = 1000 / (kTextTickMs * kTextTicksPerLine);

// Sentence k of a GPS module that sends ten a second: position fix, satellites
// used, recommended minimum, track and speed, satellites in view; the time
// advances once a second. Each ends with its checksum, the XOR of the bytes
// between '$' and '*'.
QByteArray NmeaSentence(int k)
{
    static const char* const kBodies[] = {
        "GPGGA,%1,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
        "GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1",
        "GPRMC,%1,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W",
        "GPVTG,054.7,T,034.4,M,005.5,N,010.2,K",
        "GPGSV,2,1,08,01,40,083,46,02,17,308,41,12,07,344,39,14,22,228,45",
    };
    constexpr int kSentences = int(std::size(kBodies));
    const int second = (k / kTextLinesPerSecond) % 86400;
    const QString time =
        QString::asprintf("%02d%02d%02d.00", second / 3600, second / 60 % 60, second % 60);
    const QByteArray body = QString::fromLatin1(kBodies[k % kSentences]).arg(time).toLatin1();
    quint8 sum = 0;
    for (const char c : body)
        sum ^= quint8(c);
    return '$' + body + '*' + QByteArray::number(sum, 16).rightJustified(2, '0').toUpper() + "\r\n";
}

// Written by the signal handler, read by the event loop.
int gSignalPipe[2] = {-1, -1};

void onSignal(int sig)
{
    const char c = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &c, 1);
}

// Sleeps until the deadline. The kernel wakes a sleeper some tens of
// microseconds late, which matters when imitating a 2 ms exchange, so the
// last stretch is spent polling the clock.
void waitUntil(std::chrono::steady_clock::time_point deadline)
{
    using namespace std::chrono;
    using namespace std::chrono_literals;
    constexpr auto kSpinMargin = 150us;
    const auto sleepTo = deadline - kSpinMargin;
    if (steady_clock::now() < sleepTo) {
        const auto ns = duration_cast<nanoseconds>(sleepTo.time_since_epoch()).count();
        timespec ts{};
        ts.tv_sec = time_t(ns / 1'000'000'000);
        ts.tv_nsec = long(ns % 1'000'000'000);
        // steady_clock is CLOCK_MONOTONIC on Linux.
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (steady_clock::now() < deadline) {
    }
}

class PtyServer : public QObject
{
public:
    PtyServer(QmcModel& model, const Options& options) : mModel(model), mOptions(options)
    {
        using namespace std::chrono_literals;
        mIdle.setSingleShot(true);
        connect(&mIdle, &QTimer::timeout, this, [] { QCoreApplication::exit(0); });
    }

    ~PtyServer() override
    {
        removeLink();
        if (mMaster >= 0)
            ::close(mMaster);
        if (mSlave >= 0)
            ::close(mSlave);
    }

    // Makes the pseudo-terminal (and the link to it). False, with a message
    // on standard error, when that fails.
    bool start()
    {
        if (::openpty(&mMaster, &mSlave, nullptr, nullptr, nullptr) != 0) {
            std::fprintf(stderr, "qmc-emulator: cannot open a pseudo-terminal: %s\n",
                         std::strerror(errno));
            return false;
        }
        mPath = QString::fromLocal8Bit(::ptsname(mMaster));
        // Raw 8-bit bytes both ways: no echo, no line editing, no CR/LF
        // translation. The emulator keeps its own descriptor of the slave
        // open so that the master never reads as hung up between clients.
        termios tio{};
        ::tcgetattr(mSlave, &tio);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B9600);
        ::cfsetospeed(&tio, B9600);
        ::tcsetattr(mSlave, TCSANOW, &tio);
        ::fcntl(mMaster, F_SETFL, ::fcntl(mMaster, F_GETFL) | O_NONBLOCK);
        ::fcntl(mMaster, F_SETFD, FD_CLOEXEC);
        ::fcntl(mSlave, F_SETFD, FD_CLOEXEC);

        if (!mOptions.linkPath.isEmpty() && !makeLink())
            return false;

        mReadNotifier = new QSocketNotifier(mMaster, QSocketNotifier::Read, this);
        connect(mReadNotifier, &QSocketNotifier::activated, this, &PtyServer::onReadable);
        mWriteNotifier = new QSocketNotifier(mMaster, QSocketNotifier::Write, this);
        mWriteNotifier->setEnabled(false);
        connect(mWriteNotifier, &QSocketNotifier::activated, this, &PtyServer::flushPending);
        if (mOptions.exitAfterIdle)
            mIdle.start(*mOptions.exitAfterIdle);
        startChatter();
        return true;
    }

    QString path() const { return mPath; }

    // Bytes put on the line unasked; they wait there for whoever opens it.
    void sendUnsolicited(const QByteArray& bytes) { send(bytes); }

    void removeLink()
    {
        if (!mLinked)
            return;
        mLinked = false;
        // Only our own link: someone may have replaced it meanwhile.
        const QByteArray link = QFile::encodeName(mOptions.linkPath);
        char target[4096];
        const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
        if (n >= 0 && QByteArray(target, int(n)) == QFile::encodeName(mPath))
            ::unlink(link.constData());
    }

private:
    bool makeLink()
    {
        const QByteArray link = QFile::encodeName(mOptions.linkPath);
        struct stat st
        {
        };
        if (::lstat(link.constData(), &st) == 0) {
            // A stale link from an earlier run is replaced; anything else is
            // somebody's file.
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "qmc-emulator: %s exists and is not a symbolic link\n",
                             link.constData());
                return false;
            }
            // A link that leads to a device is in use: a pseudo-terminal's node
            // disappears as soon as its master side closes, so one that still
            // exists has a live emulator (or another program) behind it, and
            // taking the link over would strand it. A link left behind by an
            // emulator that is gone leads nowhere, or to the number of its
            // pseudo-terminal, which the system may have given to ours.
            struct stat target
            {
            };
            struct stat ours
            {
            };
            const bool toDevice = ::stat(link.constData(), &target) == 0 && S_ISCHR(target.st_mode);
            const bool toOurs =
                toDevice && ::fstat(mSlave, &ours) == 0 && target.st_rdev == ours.st_rdev;
            if (toDevice && !toOurs) {
                const QString device = QFileInfo(mOptions.linkPath).symLinkTarget();
                std::fprintf(stderr,
                             "qmc-emulator: %s leads to %s, which is in use (another emulator?); "
                             "choose another path, or remove the link if nothing uses it\n",
                             link.constData(), qPrintable(device));
                return false;
            }
            ::unlink(link.constData());
        }
        if (::symlink(QFile::encodeName(mPath).constData(), link.constData()) != 0) {
            std::fprintf(stderr, "qmc-emulator: cannot make the link %s: %s\n", link.constData(),
                         std::strerror(errno));
            return false;
        }
        mLinked = true;
        return true;
    }

    void startChatter()
    {
        if (mOptions.chatter == Chatter::None)
            return;
        mRandom.seed(mOptions.seed);
        mChatter.setSingleShot(true);
        if (mOptions.chatter == Chatter::Noise)
            connect(&mChatter, &QTimer::timeout, this, &PtyServer::noiseBurst);
        else
            connect(&mChatter, &QTimer::timeout, this, &PtyServer::textTick);
        mChatter.start(0);
    }

    // A burst of random bytes, then a random pause. What the line cannot take
    // (nobody reads it) is lost, as it would be on a wire.
    void noiseBurst()
    {
        if (mPending.isEmpty()) {
            std::uniform_int_distribution<int> length(1, kNoiseBurstMax);
            std::uniform_int_distribution<int> value(0, 255);
            QByteArray burst(length(mRandom), '\0');
            for (char& b : burst)
                b = char(value(mRandom));
            send(burst);
        }
        std::uniform_int_distribution<int> gap(kNoiseGapMinMs, kNoiseGapMaxMs);
        mChatter.start(gap(mRandom));
    }

    // The next piece of the current text line; a new line every 100 ms. A line
    // waits while nobody reads.
    void textTick()
    {
        if (++mTextTicks >= kTextTicksPerLine && mTextLine.isEmpty()) {
            mTextTicks = 0;
            mTextLine = NmeaSentence(mTextLines++);
        }
        if (!mTextLine.isEmpty() && mPending.isEmpty()) {
            send(mTextLine.left(kTextBytesPerTick));
            mTextLine.remove(0, kTextBytesPerTick);
        }
        mChatter.start(kTextTickMs);
    }

    void onReadable()
    {
        char buf[4096];
        QByteArray answers;
        bool any = false;
        for (;;) {
            const ssize_t n = ::read(mMaster, buf, sizeof buf);
            if (n <= 0)
                break; // EAGAIN: all read
            any = true;
            const auto arrived = std::chrono::steady_clock::now();
            for (ssize_t i = 0; i < n; ++i) {
                const quint8 in = quint8(buf[i]);
                if (mOptions.lateByte && !mLateSent) {
                    // The answer to something before arrives late: right after
                    // the first byte, before that byte's own answer.
                    mLateSent = true;
                    send(QByteArray(1, char(*mOptions.lateByte)));
                    if (mOptions.trace)
                        std::fprintf(stderr, "late %02X\n", *mOptions.lateByte);
                }
                const std::optional<quint8> out = mModel.feed(in);
                if (mOptions.trace) {
                    if (out)
                        std::fprintf(stderr, "rx %02X tx %02X\n", in, *out);
                    else
                        std::fprintf(stderr, "rx %02X tx --\n", in);
                }
                if (mModel.isHungUp()) {
                    send(answers);
                    hangUp();
                    return;
                }
                if (!out)
                    continue;
                if (mOptions.delay.count() == 0) {
                    answers.append(char(*out));
                    continue;
                }
                // Each answer leaves its delay after its byte arrived, and
                // no sooner than its delay after the answer before it, as
                // answers queue on a wire.
                const auto due = std::max(arrived, mLastDue) + mOptions.delay;
                mLastDue = due;
                waitUntil(due);
                send(QByteArray(1, char(*out)));
            }
        }
        // One write for everything read: a benchmark counts on it.
        send(answers);
        if (any && mOptions.exitAfterIdle)
            mIdle.start(*mOptions.exitAfterIdle);
    }

    void send(const QByteArray& bytes)
    {
        if (bytes.isEmpty())
            return;
        mPending.append(bytes);
        flushPending();
    }

    // Writes what the client has room for; the rest waits for the notifier.
    void flushPending()
    {
        while (!mPending.isEmpty()) {
            const ssize_t n = ::write(mMaster, mPending.constData(), size_t(mPending.size()));
            if (n <= 0)
                break;
            mPending.remove(0, int(n));
        }
        if (mWriteNotifier)
            mWriteNotifier->setEnabled(!mPending.isEmpty());
    }

    void hangUp()
    {
        // Closing the master is what a client sees as the line going dead.
        if (mReadNotifier)
            mReadNotifier->setEnabled(false);
        if (mWriteNotifier)
            mWriteNotifier->setEnabled(false);
        ::close(mMaster);
        mMaster = -1;
        std::fprintf(stderr, "qmc-emulator: hung up after %llu bytes\n",
                     static_cast<unsigned long long>(mModel.bytesReceived()));
        QCoreApplication::exit(0);
    }

    QmcModel& mModel;
    Options mOptions;
    int mMaster = -1;
    int mSlave = -1;
    QString mPath;
    bool mLinked = false;
    QSocketNotifier* mReadNotifier = nullptr;
    QSocketNotifier* mWriteNotifier = nullptr;
    QByteArray mPending;
    std::chrono::steady_clock::time_point mLastDue{};
    QTimer mIdle;
    QTimer mChatter;
    std::mt19937 mRandom;
    QByteArray mTextLine; // what is left to send of the current line
    int mTextTicks = kTextTicksPerLine - 1;
    int mTextLines = 0;
    bool mLateSent = false;
};

[[noreturn]] void badArguments(const QString& message)
{
    std::fprintf(stderr, "qmc-emulator: %s\nTry 'qmc-emulator --help' for more information.\n",
                 qPrintable(message));
    std::exit(kExitBadArguments);
}

// A whole number in [min, max], or a message and exit status 2.
int intOption(const QCommandLineParser& parser, const QString& name, int min, int max)
{
    bool ok = false;
    const QString text = parser.value(name);
    const qlonglong v = text.toLongLong(&ok);
    if (!ok || v < min || v > max)
        badArguments(QStringLiteral("--%1 needs a whole number from %2 to %3, not '%4'")
                         .arg(name)
                         .arg(min)
                         .arg(max)
                         .arg(text));
    return int(v);
}

// Bytes in hexadecimal as vantorctl send takes them: separated by blanks,
// commas or colons, each with or without 0x; a run of more than two digits
// is several bytes ("AABB"). Nothing for anything else.
std::optional<QByteArray> hexBytes(const QString& text)
{
    static const QRegularExpression separators(QStringLiteral("[\\s,:]+"));
    static const QRegularExpression digits(QStringLiteral("^[0-9A-Fa-f]+$"));
    QByteArray bytes;
    for (QString word : text.split(separators, Qt::SkipEmptyParts)) {
        if (word.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            word = word.mid(2);
        if (!digits.match(word).hasMatch() || (word.size() > 2 && word.size() % 2 != 0))
            return std::nullopt;
        bytes += QByteArray::fromHex(word.rightJustified(2, QLatin1Char('0')).toLatin1());
    }
    if (bytes.isEmpty())
        return std::nullopt;
    return bytes;
}

Options parseOptions(const QCoreApplication& app, QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Serves a virtual QMC-4410 servo controller on a pseudo-terminal.\n"
                       "Prints the device path on the first line of standard output."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOptions({
        {QStringLiteral("link"), QStringLiteral("Make a symbolic link PATH to the device."),
         QStringLiteral("PATH")},
        {QStringLiteral("program"), QStringLiteral("Load FILE as the external ROM image."),
         QStringLiteral("FILE")},
        {QStringLiteral("delay-us"),
         QStringLiteral("Answer each byte N microseconds after it arrives (2083 imitates "
                        "a 9600 bit/s exchange)."),
         QStringLiteral("N")},
        {QStringLiteral("abandon-ms"),
         QStringLiteral("Abandon an unfinished exchange after N ms without a byte (default 50; "
                        "0 never does)."),
         QStringLiteral("N")},
        {QStringLiteral("silent"), QStringLiteral("Never answer.")},
        {QStringLiteral("wrong"), QStringLiteral("Answer every byte with its complement.")},
        {QStringLiteral("wrong-after"),
         QStringLiteral("Answer the first N bytes right, then each with its complement."),
         QStringLiteral("N")},
        {QStringLiteral("stuck"),
         QStringLiteral("A memory cell that keeps its value (MEM:ADDR, e.g. extrom:0020): writes "
                        "to it are answered but not stored. May be given more than once."),
         QStringLiteral("MEM:ADDR")},
        {QStringLiteral("stop-after"), QStringLiteral("Answer the first N bytes, then none."),
         QStringLiteral("N")},
        {QStringLiteral("hangup-after"),
         QStringLiteral("Answer the first N bytes, then hang up at the next one and exit."),
         QStringLiteral("N")},
        {QStringLiteral("loopback"),
         QStringLiteral("Be a loopback plug: send every byte back unchanged.")},
        {QStringLiteral("zero"), QStringLiteral("Answer every byte with 00.")},
        {QStringLiteral("noise"),
         QStringLiteral("Send random bytes all the time, in bursts a few milliseconds apart, "
                        "whatever arrives, and never answer.")},
        {QStringLiteral("seed"),
         QStringLiteral("--noise: start the random bytes from N, to repeat a run (default: "
                        "a new seed, printed at start)."),
         QStringLiteral("N")},
        {QStringLiteral("text"),
         QStringLiteral("Send text lines all the time, as a GPS module's NMEA sentences (a "
                        "line every 100 ms at the pace of 9600 bit/s), whatever arrives, and "
                        "never answer.")},
        {QStringLiteral("late-answer"),
         QStringLiteral("Right after the first byte received (once per run), put a stale byte "
                        "on the line at once, before that byte's own answer, as a late answer "
                        "to something before would arrive.")},
        {QStringLiteral("late-byte"), QStringLiteral("--late-answer: the stale byte (default 55)."),
         QStringLiteral("HEX")},
        {QStringLiteral("unsolicited"),
         QStringLiteral("Put the bytes HEX (\"AA BB\", \"AA,BB\" or \"AABB\") on the line "
                        "at start, before any command, as a controller that chatters at "
                        "power-on would."),
         QStringLiteral("HEX")},
        {{QStringLiteral("v"), QStringLiteral("trace")},
         QStringLiteral("Log every byte received and answered, in hexadecimal, to standard "
                        "error.")},
        {QStringLiteral("exit-after-idle"),
         QStringLiteral("Exit when no byte arrived for SECONDS."), QStringLiteral("SECONDS")},
    });

    if (!parser.parse(app.arguments()))
        badArguments(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        std::exit(0);
    }
    if (parser.isSet(version)) {
        std::printf("qmc-emulator %s\n", VANTOR_VERSION);
        std::exit(0);
    }
    if (!parser.positionalArguments().isEmpty())
        badArguments(QStringLiteral("unexpected argument '%1'")
                         .arg(parser.positionalArguments().constFirst()));

    Options o;
    o.linkPath = parser.value(QStringLiteral("link"));
    if (parser.isSet(QStringLiteral("link")) && o.linkPath.isEmpty())
        badArguments(QStringLiteral("--link needs a path"));
    o.programFile = parser.value(QStringLiteral("program"));
    o.trace = parser.isSet(QStringLiteral("trace"));
    if (parser.isSet(QStringLiteral("unsolicited"))) {
        const QString hex = parser.value(QStringLiteral("unsolicited"));
        const std::optional<QByteArray> bytes = hexBytes(hex);
        if (!bytes)
            badArguments(
                QStringLiteral("--unsolicited needs bytes in hexadecimal, not '%1'").arg(hex));
        o.unsolicited = *bytes;
    }
    if (parser.isSet(QStringLiteral("delay-us")))
        o.delay =
            std::chrono::microseconds(intOption(parser, QStringLiteral("delay-us"), 0, 10'000'000));

    if (parser.isSet(QStringLiteral("abandon-ms")))
        o.abandonAfter = std::chrono::milliseconds(
            intOption(parser, QStringLiteral("abandon-ms"), 0, 3'600'000));

    int faults = 0;
    if (parser.isSet(QStringLiteral("silent"))) {
        o.fault = QmcModel::Fault::Silent;
        ++faults;
    }
    if (parser.isSet(QStringLiteral("wrong"))) {
        o.fault = QmcModel::Fault::Wrong;
        ++faults;
    }
    if (parser.isSet(QStringLiteral("stop-after"))) {
        o.fault = QmcModel::Fault::StopAfter;
        o.faultCount = intOption(parser, QStringLiteral("stop-after"), 0, 1'000'000'000);
        ++faults;
    }
    if (parser.isSet(QStringLiteral("hangup-after"))) {
        o.fault = QmcModel::Fault::HangUpAfter;
        o.faultCount = intOption(parser, QStringLiteral("hangup-after"), 0, 1'000'000'000);
        ++faults;
    }
    if (parser.isSet(QStringLiteral("wrong-after"))) {
        o.fault = QmcModel::Fault::WrongAfter;
        o.faultCount = intOption(parser, QStringLiteral("wrong-after"), 0, 1'000'000'000);
        ++faults;
    }
    for (const QString& cell : parser.values(QStringLiteral("stuck"))) {
        // MEM:ADDR, the memory named as vantorctl names it.
        const QString memory = cell.section(QLatin1Char(':'), 0, 0);
        bool ok = false;
        const int addr = cell.section(QLatin1Char(':'), 1).toInt(&ok, 16);
        const int code = memory == QLatin1String("sram")     ? 0xF8
                         : memory == QLatin1String("introm") ? 0xB4
                         : memory == QLatin1String("extrom") ? 0xF4
                                                             : 0;
        if (!code || !ok || addr < 0 || addr > 0xFFFF)
            badArguments(QStringLiteral("--stuck needs sram, introm or extrom, a colon and a "
                                        "hexadecimal address 0000-FFFF, not '%1'")
                             .arg(cell));
        o.stuck.append({quint8(code), addr});
    }
    const auto flag = [&](const char* name, QmcModel::Fault fault, Chatter chatter) {
        if (!parser.isSet(QLatin1String(name)))
            return false;
        o.fault = fault;
        o.chatter = chatter;
        ++faults;
        return true;
    };
    using F = QmcModel::Fault;
    flag("loopback", F::Loopback, Chatter::None);
    flag("zero", F::Zero, Chatter::None);
    // A chattering device hears what arrives and says nothing to it.
    const bool noise = flag("noise", F::Silent, Chatter::Noise);
    flag("text", F::Silent, Chatter::Text);
    const bool late = parser.isSet(QStringLiteral("late-answer"));
    if (late) {
        o.lateByte = 0x55;
        ++faults;
    }
    if (faults > 1)
        badArguments(QStringLiteral(
            "choose at most one of --silent, --wrong, --wrong-after, --stop-after, --hangup-after, "
            "--loopback, --zero, --noise, --text and --late-answer"));

    if (parser.isSet(QStringLiteral("seed"))) {
        if (!noise)
            badArguments(QStringLiteral("--seed goes with --noise"));
        bool ok = false;
        const QString text = parser.value(QStringLiteral("seed"));
        o.seed = text.toUInt(&ok);
        if (!ok)
            badArguments(QStringLiteral("--seed needs a whole number from 0 to 4294967295, not "
                                        "'%1'")
                             .arg(text));
    } else if (noise) {
        o.seed = std::random_device{}();
        std::fprintf(stderr, "qmc-emulator: noise from --seed %u\n", o.seed);
    }
    if (parser.isSet(QStringLiteral("late-byte"))) {
        if (!late)
            badArguments(QStringLiteral("--late-byte goes with --late-answer"));
        const QString hex = parser.value(QStringLiteral("late-byte"));
        const std::optional<QByteArray> byte = hexBytes(hex);
        if (!byte || byte->size() != 1)
            badArguments(
                QStringLiteral("--late-byte needs one byte in hexadecimal, not '%1'").arg(hex));
        o.lateByte = quint8(byte->at(0));
    }

    if (parser.isSet(QStringLiteral("exit-after-idle"))) {
        bool ok = false;
        const QString text = parser.value(QStringLiteral("exit-after-idle"));
        const double seconds = text.toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > 86400.0 * 365)
            badArguments(
                QStringLiteral("--exit-after-idle needs a number of seconds above 0, not '%1'")
                    .arg(text));
        o.exitAfterIdle = std::chrono::milliseconds(qint64(seconds * 1000.0 + 0.5));
    }
    return o;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qmc-emulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTOR_VERSION));

    QCommandLineParser parser;
    const Options options = parseOptions(app, parser);

    QmcModel model;
    if (!options.programFile.isEmpty()) {
        QFile file(options.programFile);
        if (!file.open(QIODevice::ReadOnly))
            badArguments(QStringLiteral("cannot read the program %1: %2")
                             .arg(options.programFile, file.errorString()));
        if (file.size() > QmcModel::cMemorySize || !model.loadProgram(file.readAll()))
            badArguments(QStringLiteral("the program %1 is larger than the external ROM "
                                        "(65536 bytes)")
                             .arg(options.programFile));
    }
    model.setFault(options.fault, options.faultCount);
    for (const auto& [code, addr] : options.stuck)
        model.setStuck(code, addr);
    model.setAbandonAfter(options.abandonAfter);

    // SIGINT and SIGTERM end the event loop, so the link is removed on the
    // way out.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) {
        std::perror("qmc-emulator: socketpair");
        return kExitFailure;
    }
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char c = 0;
        [[maybe_unused]] const ssize_t n = ::read(gSignalPipe[0], &c, 1);
        QCoreApplication::exit(0);
    });
    struct sigaction sa
    {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A client that goes away must not kill us through a write.
    ::signal(SIGPIPE, SIG_IGN);

    PtyServer server(model, options);
    if (!server.start())
        return kExitFailure;

    server.sendUnsolicited(options.unsolicited);
    std::printf("%s\n", qPrintable(server.path()));
    std::fflush(stdout);

    const int status = app.exec();
    server.removeLink();
    return status;
}
