#include "SequenceCommands.h"

#include "Output.h"
#include "Session.h"

#include "link/SequenceFile.h"
#include "link/SequencePlayer.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QSocketNotifier>

#include <cstdio>

namespace {

QString Plural(qint64 n, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// `frame 2 "up"` (`frame 2/5 "up"` with the count), or without the quotes
// for a frame without a name.
QString FrameLabel(const Sequence& s, int index, bool withCount = false)
{
    const QString name = s.frames.at(index).name;
    QString label = QStringLiteral("frame %1").arg(index + 1);
    if (withCount)
        label += QStringLiteral("/%1").arg(s.frames.size());
    if (!name.isEmpty())
        label += QStringLiteral(" \"%1\"").arg(name);
    return label;
}

QString WaitText(const Frame& f)
{
    if (f.wait == Frame::Wait::Fixed)
        return QStringLiteral("wait %1 ms").arg(f.waitMs);
    return QStringLiteral("wait until stopped (B0 00)");
}

// The frame index --from names: a number from 1, else the first frame of that
// name. -1 with the reason printed.
int FromFrame(const Sequence& s, const Request& q)
{
    if (q.fromFrame.isEmpty())
        return 0;
    bool number = false;
    const qint64 n = q.fromFrame.toLongLong(&number, 10);
    if (number) {
        if (n >= 1 && n <= s.frames.size())
            return int(n - 1);
        std::fprintf(stderr, "vantorctl: %s: --from %s: '%s' has %s\n", qPrintable(q.title),
                     qPrintable(q.fromFrame), qPrintable(q.inputPath),
                     qPrintable(Plural(s.frames.size(), "frame", "frames")));
        return -1;
    }
    for (qsizetype i = 0; i < s.frames.size(); ++i) {
        if (s.frames.at(i).name == q.fromFrame)
            return int(i);
    }
    std::fprintf(stderr, "vantorctl: %s: --from '%s': no frame of '%s' has that name\n",
                 qPrintable(q.title), qPrintable(q.fromFrame), qPrintable(q.inputPath));
    return -1;
}

// What each frame would send, and nothing sent.
int DryRun(const GlobalOptions& options, const Sequence& s, const PlayOptions& play)
{
    const int last = play.step ? play.from + 1 : int(s.frames.size());
    QJsonArray frames;
    QString text;
    for (int i = play.from; i < last; ++i) {
        const Frame& f = s.frames.at(i);
        const QString bytes = SpacedHex(FrameBytes(f));
        frames.append(QJsonObject{{QStringLiteral("frame"), i + 1},
                                  {QStringLiteral("name"), f.name},
                                  {QStringLiteral("bytes"), bytes},
                                  {QStringLiteral("wait"), f.wait == Frame::Wait::Fixed
                                                               ? QJsonValue(f.waitMs)
                                                               : QJsonValue("stopped")},
                                  {QStringLiteral("hold"), f.holdMs}});
        text += QStringLiteral("%1: %2; %3; hold %4 ms\n")
                    .arg(FrameLabel(s, i), bytes, WaitText(f))
                    .arg(f.holdMs);
    }
    if (options.json) {
        PrintJson({{QStringLiteral("frames"), frames},
                   {QStringLiteral("loops"), play.step ? 1 : play.loops}});
        return kExitOk;
    }
    QString passes = play.loops == 1   ? QStringLiteral("once")
                     : play.loops == 0 ? QStringLiteral("again and again until Ctrl-C")
                                       : QStringLiteral("%1 times").arg(play.loops);
    if (play.step)
        passes = QStringLiteral("one step");
    const QString from =
        play.from > 0 ? QStringLiteral(" from frame %1").arg(play.from + 1) : QString();
    PrintText(text + Plural(last - play.from, "frame", "frames") + from + QStringLiteral(", ") +
              passes + QLatin1Char('\n'));
    return kExitOk;
}

} // namespace

int PlaySequence(const GlobalOptions& options, const Request& q)
{
    // The whole file is read and checked before a port is opened: a damaged
    // file sends nothing.
    QString error;
    const std::optional<Sequence> sequence = sequencefile::load(q.inputPath, &error);
    if (!sequence) {
        std::fprintf(stderr, "vantorctl: %s\n", qPrintable(error));
        return kExitUsage;
    }
    PlayOptions play;
    play.from = FromFrame(*sequence, q);
    if (play.from < 0)
        return kExitUsage;
    play.loops = q.loops;
    play.step = q.step;
    if (q.dryRun)
        return DryRun(options, *sequence, play);

    Session::catchInterrupt();
    Session s(options);
    const int opened = s.open(q.title);
    if (opened != kExitOk)
        return opened;

    const auto job = std::make_shared<SequencePlayerJob>(*sequence, play);
    job->setTitle(q.title);
    // A line as each frame begins, so that a rehearsal shows where it is.
    const bool passes = !play.step && play.loops != 1;
    job->frameBegins = [&](const SequencePlayerJob& j) {
        if (options.json)
            return;
        const QString pass = passes ? QStringLiteral("pass %1, ").arg(j.pass()) : QString();
        PrintText(pass + FrameLabel(*sequence, j.currentFrame(), true) + QLatin1Char('\n'));
        std::fflush(stdout);
    };

    // Ctrl-C cancels the job: an exchange on the line (at most three bytes)
    // is finished, so the board is not left half-way through a command, and
    // nothing follows it; in a wait or hold it ends at once.
    BoardScheduler& jobs = s.scheduler();
    QEventLoop loop;
    QObject::connect(&jobs, &BoardScheduler::jobFinished, &loop, [&](BoardJob* j) {
        if (j == job.get())
            loop.quit();
    });
    if (Session::interruptNotifier())
        QObject::connect(Session::interruptNotifier(), &QSocketNotifier::activated, &loop,
                         [&] { jobs.cancel(job); });
    jobs.submit(job);
    if (!job->isOver() && !Session::interrupted())
        loop.exec();
    if (Session::interrupted() && !job->isOver())
        jobs.cancel(job); // Ctrl-C before the loop ran

    const QJsonObject result{{QStringLiteral("frames"), job->framesPlayed()},
                             {QStringLiteral("loops"), job->loopsPlayed()}};
    if (Session::interrupted()) {
        const int at = job->currentFrame();
        std::fprintf(stderr, "\nvantorctl: %s: interrupted %s; nothing more was sent\n",
                     qPrintable(q.title),
                     at < 0 ? "before the first frame"
                            : qPrintable(QStringLiteral("in ") + FrameLabel(*sequence, at)));
        if (options.json) {
            QJsonObject stopped = result;
            stopped[QStringLiteral("interrupted")] = true;
            PrintJson(stopped);
        }
        s.link().RbPortClose(true);
        return kExitInterrupted;
    }
    if (job->state() != BoardJob::State::Done) {
        const QString why = job->failure().isNull()
                                ? job->error()
                                : Session::FailureWords(job->failure(), options.timeoutMs);
        std::fprintf(stderr, "vantorctl: %s: %s\n", qPrintable(q.title), qPrintable(why));
        if (job->currentFrame() >= 0)
            std::fprintf(stderr, "vantorctl: %s: the motion stopped in %s\n", qPrintable(q.title),
                         qPrintable(FrameLabel(*sequence, job->currentFrame())));
        s.link().RbPortClose(true);
        return kExitFault;
    }
    if (options.json)
        PrintJson(result);
    else
        PrintText(Plural(job->framesPlayed(), "frame", "frames") + QStringLiteral(" played") +
                  (passes ? QStringLiteral(" in ") + Plural(job->loopsPlayed(), "pass", "passes")
                          : QString()) +
                  QLatin1Char('\n'));
    return kExitOk;
}

int ReadPose(Session& s, const GlobalOptions& options, const Request& q)
{
    const auto job = std::make_shared<ServoRefreshJob>(GroupsOf(q.channels));
    job->setTitle(q.title);
    const int code = s.run(job);
    if (code != kExitOk)
        return code;
    Frame frame;
    frame.name = QStringLiteral("pose");
    frame.pose = PoseFromRefresh(*job, q.channels);
    if (options.json) {
        // The file's own key and channel order, not QJsonObject's sorted keys.
        PrintText(QString::fromUtf8(sequencefile::writeFrame(frame)) + QLatin1Char('\n'));
        return kExitOk;
    }
    QStringList pairs;
    for (auto it = frame.pose.channels.cbegin(); it != frame.pose.channels.cend(); ++it)
        pairs << QStringLiteral("%1:%2").arg(it.key()).arg(it->position);
    PrintText(pairs.join(QLatin1Char(' ')) + QLatin1Char('\n'));
    return kExitOk;
}
