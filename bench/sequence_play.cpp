// sequence_play: how close playing a sequence comes to what the line and the waits ask for, and
// whether a rehearsal on the virtual controller takes the time its motion model says.
//
// The timed play. A sequence of --frames frames (default 50), each setting six servos and then
// waiting a fixed time and holding, is played by the program's own SequencePlayerJob on the one
// scheduler against qmc-emulator on a pseudo-terminal, answering each byte --delay-us after it
// arrives (2083 µs imitates a lock-step exchange at 9600 bit/s: one byte out, one back). The time
// it took is set against what the line and the waits ask for: the exchanges counted on the port
// times the delay, plus every wait and hold. Beside it, a blocking write-then-read loop on the
// raw descriptor sends the same bytes: what the pseudo-terminal and the emulator cost this
// machine per exchange, so that the program's own cost from one frame to the next shows.
//
// The rehearsal: frames that wait until the board reports it stopped, played against a
// fresh emulator. The motion model (QmcModel: speed N moves N units per 20 ms) says when each
// frame's servos arrive; the wait ends with the first moving query after that, so each frame
// should take the model's time to within one query and the line's jitter.
//
// The last line is
//   sequence play ratio: R (...)
// with R = (wire time + waits) / time taken; the aim is 0.95 or better.

#include "emulator/QmcModel.h"
#include "link/BoardJobs.h"
#include "link/ControllerLink.h"
#include "link/SequencePlayer.h"
#include "platform/ForwardingBackend.h"
#include "platform/SerialPorts.h"
#include "settings/PreferClass.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kServosPerFrame = 6;

[[noreturn]] void Fail(const QString& what)
{
    std::fprintf(stderr, "sequence_play: FAILED: %s\n", qPrintable(what));
    std::fflush(stdout);
    std::exit(1);
}

// Counts the bytes the link writes: one exchange each.
class CountingBackend : public ForwardingBackend
{
public:
    CountingBackend(std::unique_ptr<SerialBackend> inner, qint64* written)
        : ForwardingBackend(std::move(inner)), mWritten(written)
    {
    }

protected:
    void written(const QByteArray& bytes) override { *mWritten += bytes.size(); }

private:
    qint64* mWritten;
};

// qmc-emulator on a pseudo-terminal, ended when this goes.
class Emulator
{
public:
    explicit Emulator(int delayUs)
    {
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mProcess.start(QStringLiteral(QMC_EMULATOR_PATH),
                       {QStringLiteral("--delay-us"), QString::number(delayUs),
                        QStringLiteral("--abandon-ms"), QStringLiteral("0"),
                        QStringLiteral("--exit-after-idle"), QStringLiteral("60")});
        if (!mProcess.waitForReadyRead(10000))
            Fail(QStringLiteral("the emulator did not start"));
        path = QString::fromLocal8Bit(mProcess.readLine()).trimmed();
    }
    ~Emulator()
    {
        mProcess.terminate();
        mProcess.waitForFinished(5000);
    }
    QString path;

private:
    QProcess mProcess;
};

// The program's link and scheduler on one port, opened and with a controller answering.
class Rig
{
public:
    explicit Rig(const QString& device)
        : mPref(QStringLiteral("sequence_play"), mDir.path()), mLink(&mPref, nullptr)
    {
        const SerialPortEntry plain = SerialPorts::deviceEntry(device, device);
        SerialPortEntry counted = plain;
        counted.makeBackend = [make = plain.makeBackend, this] {
            return std::make_unique<CountingBackend>(make(), &written);
        };
        mPref.mPortInfo = SerialPortInfo(plain);
        mPref.mNotAutoDisconnect = true;
        mLink.mSerialPort = counted;
        mJobs = std::make_unique<BoardScheduler>(&mLink);
        mLink.mMcpOpen = mLink.RbPortOpen();
        if (!mLink.mMcpOpen)
            Fail(QStringLiteral("the link cannot open %1").arg(device));
        if (run(std::make_shared<IdentifyJob>(IdentifyJob::Depth::Probe)) < 0)
            Fail(QStringLiteral("no controller answers on %1").arg(device));
        written = 0;
    }
    ~Rig()
    {
        mJobs.reset();
        mLink.RbPortClose(true);
    }

    // Runs the job to its end; the seconds it took, or -1 when it did not end done.
    double run(const std::shared_ptr<BoardJob>& job)
    {
        QEventLoop loop;
        QObject::connect(mJobs.get(), &BoardScheduler::jobFinished, &loop, [&](BoardJob* j) {
            if (j == job.get())
                loop.quit();
        });
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(600'000);
        QElapsedTimer clock;
        clock.start();
        mJobs->submit(job);
        if (!job->isOver())
            loop.exec();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        return job->state() == BoardJob::State::Done ? seconds : -1;
    }

    qint64 written = 0;

private:
    QTemporaryDir mDir;
    PreferClass mPref;
    ControllerLink mLink;
    std::unique_ptr<BoardScheduler> mJobs;
};

// Seconds a blocking write-then-read loop takes for these bytes on the raw descriptor.
double RawLoopSeconds(const QString& device, const QByteArray& bytes)
{
    const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    QElapsedTimer clock;
    clock.start();
    for (const char out : bytes) {
        char in = 0;
        if (::write(fd, &out, 1) != 1 || ::read(fd, &in, 1) != 1) {
            ::close(fd);
            return -1;
        }
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    ::close(fd);
    return seconds;
}

// Frames that move six servos each, then wait and hold a fixed time.
Sequence TimedSequence(int frames, int waitMs, int holdMs)
{
    Sequence s;
    for (int i = 0; i < frames; ++i) {
        Frame f;
        f.name = QStringLiteral("step %1").arg(i + 1);
        f.speed = 20 + i % 5;
        f.wait = Frame::Wait::Fixed;
        f.waitMs = waitMs;
        f.holdMs = holdMs;
        for (int c = 1; c <= kServosPerFrame; ++c)
            f.pose.channels.insert(c, ServoSetting::at((i * 37 + c * 29) % 256));
        s.frames.append(f);
    }
    return s;
}

// Frames that wait until the board stops: two servos swing between far and near positions at
// speeds that make the travel the frame's longest part.
Sequence RehearsalSequence(int frames)
{
    Sequence s;
    for (int i = 0; i < frames; ++i) {
        Frame f;
        f.name = QStringLiteral("swing %1").arg(i + 1);
        f.speed = i % 2 ? 20 : 10;
        f.wait = Frame::Wait::UntilStopped;
        f.holdMs = i % 3 == 0 ? 30 : 0;
        f.pose.channels.insert(1, ServoSetting::at(i % 2 ? 40 : 200));
        f.pose.channels.insert(2, ServoSetting::at(i % 2 ? 160 : 100));
        s.frames.append(f);
    }
    return s;
}

// What the motion model says a frame that waits until stopped takes on a line of `d` seconds per
// exchange: the k-th byte goes out at k * d and reaches the model at once; each servo travels
// from where the frame before left it once its position byte has arrived; the moving query whose
// second byte arrives after the last servo has is the one answered 0, and the frame ends with
// that answer, then holds.
double ModelFrameSeconds(const Frame& f, QMap<int, int>& positions, double d)
{
    const QList<FrameCommand> commands = FrameCommands(f);
    qint64 byte = 0;
    double arrives = 0;
    for (const FrameCommand& c : commands) {
        byte += c.bytes().size();
        if (c.kind != FrameCommand::Kind::Position)
            continue;
        const double start = double(byte - 1) * d;
        const int distance = std::abs(c.value - positions.value(c.channel, 0));
        arrives = std::max(arrives, start + double(QmcModel::travelMs(distance, f.speed)) / 1000);
        positions[c.channel] = c.value;
    }
    qint64 query = 0;
    while (double(byte + 2 * query + 1) * d < arrives)
        ++query;
    return double(byte + 2 * query + 2) * d + f.holdMs / 1000.0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("frames"), QStringLiteral("Frames of the timed sequence (default 50)."),
         QStringLiteral("N"), QStringLiteral("50")},
        {QStringLiteral("wait-ms"), QStringLiteral("Each frame's fixed wait (default 100)."),
         QStringLiteral("MS"), QStringLiteral("100")},
        {QStringLiteral("hold-ms"), QStringLiteral("Each frame's hold (default 50)."),
         QStringLiteral("MS"), QStringLiteral("50")},
        {QStringLiteral("rehearsal-frames"),
         QStringLiteral("Frames of the rehearsal that waits until stopped (default 8)."),
         QStringLiteral("N"), QStringLiteral("8")},
        {QStringLiteral("delay-us"), QStringLiteral("The emulator's answer delay (default 2083)."),
         QStringLiteral("US"), QStringLiteral("2083")},
    });
    parser.process(app);
    const int frames = parser.value(QStringLiteral("frames")).toInt();
    const int waitMs = parser.value(QStringLiteral("wait-ms")).toInt();
    const int holdMs = parser.value(QStringLiteral("hold-ms")).toInt();
    const int rehearsalFrames = parser.value(QStringLiteral("rehearsal-frames")).toInt();
    const int delayUs = parser.value(QStringLiteral("delay-us")).toInt();
    if (frames < 1 || waitMs < 0 || holdMs < 0 || rehearsalFrames < 1 || delayUs < 1)
        Fail(QStringLiteral("--frames and --rehearsal-frames must be 1 or more, --delay-us 1 or "
                            "more, the waits 0 or more"));
    const double d = delayUs / 1e6;

    // --- The rehearsal first, on a fresh board, against the motion model ------------------------
    const Sequence swing = RehearsalSequence(rehearsalFrames);
    QList<double> modelFrames;
    QMap<int, int> positions;
    for (const Frame& f : swing.frames)
        modelFrames << ModelFrameSeconds(f, positions, d);
    QList<double> beganAt;
    QElapsedTimer clock;
    double rehearsalSeconds = 0;
    qint64 queries = 0;
    {
        Emulator emulator(delayUs);
        Rig rig(emulator.path);
        const auto job = std::make_shared<SequencePlayerJob>(swing);
        job->frameBegins = [&](const SequencePlayerJob&) {
            beganAt << double(clock.nsecsElapsed()) / 1e9;
        };
        clock.start();
        rehearsalSeconds = rig.run(job);
        if (rehearsalSeconds < 0)
            Fail(QStringLiteral("the rehearsal did not play to its end: %1").arg(job->error()));
        queries = job->polls();
    }
    beganAt << rehearsalSeconds;
    double modelSeconds = 0;
    double worst = 0;
    double tolerance = 0;
    for (int i = 0; i < rehearsalFrames; ++i) {
        modelSeconds += modelFrames[i];
        const double took = beganAt[i + 1] - beganAt[i];
        worst = std::max(worst, std::abs(took - modelFrames[i]));
        // One moving query, and a tenth of an exchange per byte of the frame for the line's
        // jitter.
        const double bytes = double(FrameBytes(swing.frames[i]).size());
        tolerance = std::max(tolerance, 2 * d + 0.1 * d * bytes + 0.001);
    }
    std::printf("rehearsal: %d frames that wait until stopped, %lld moving queries\n",
                rehearsalFrames, static_cast<long long>(queries));
    std::printf("rehearsal: the motion model says %.3f s, it took %.3f s; frames differ from the "
                "model by at most %.1f ms (tolerance %.1f ms): %s\n",
                modelSeconds, rehearsalSeconds, worst * 1000, tolerance * 1000,
                worst <= tolerance ? "as the model says" : "OUTSIDE the tolerance");

    // --- The timed play: fixed waits, wire time against the time taken ----------------------
    const Sequence timed = TimedSequence(frames, waitMs, holdMs);
    QByteArray bytes;
    for (const Frame& f : timed.frames)
        bytes += FrameBytes(f);
    const double waits = double(frames) * (waitMs + holdMs) / 1000.0;
    Emulator emulator(delayUs);
    // A pseudo-terminal's pace drifts from one minute to the next: the raw loop runs before and
    // after the play, and their mean stands for the line.
    const double rawBefore = RawLoopSeconds(emulator.path, bytes);
    if (rawBefore < 0)
        Fail(QStringLiteral("the raw loop cannot use %1").arg(emulator.path));
    auto rig = std::make_unique<Rig>(emulator.path);
    const auto job = std::make_shared<SequencePlayerJob>(timed);
    const double seconds = rig->run(job);
    if (seconds < 0)
        Fail(QStringLiteral("the sequence did not play to its end: %1").arg(job->error()));
    const qint64 written = rig->written;
    rig.reset();
    const double rawAfter = RawLoopSeconds(emulator.path, bytes);
    if (rawAfter < 0)
        Fail(QStringLiteral("the raw loop cannot use %1").arg(emulator.path));
    const double raw = (rawBefore + rawAfter) / 2;
    qint64 commands = 0;
    for (const Frame& f : timed.frames)
        commands += FrameCommands(f).size();
    if (written != bytes.size() || job->exchanges() != commands)
        Fail(QStringLiteral("%1 bytes in %2 commands went out for the %3 bytes in %4 commands the "
                            "frames hold")
                 .arg(written)
                 .arg(job->exchanges())
                 .arg(bytes.size())
                 .arg(commands));
    const double wire = double(written) * d;
    const double expected = wire + waits;
    const double beyond = (seconds - raw - waits) / frames;
    std::printf("sequence: %d frames of %d servos, %lld exchanges at %d us (wire %.3f s), waits "
                "and holds %.3f s\n",
                frames, kServosPerFrame, static_cast<long long>(written), delayUs, wire, waits);
    std::printf("raw loop, the same bytes: %.3f s before and %.3f s after (%.0f us per "
                "exchange)\n",
                rawBefore, rawAfter, raw / double(bytes.size()) * 1e6);
    std::printf("frame to frame beyond the raw loop and the waits: %.2f ms per frame of %lld "
                "exchanges and a pause (one exchange: %.2f ms)\n",
                beyond * 1000, static_cast<long long>(commands / frames), d * 1000);
    std::printf("sequence play ratio: %.2f (expected %.3f s, took %.3f s)\n", expected / seconds,
                expected, seconds);
    return 0;
}
