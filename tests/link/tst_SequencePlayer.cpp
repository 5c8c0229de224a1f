// The sequence player on the one scheduler, byte for byte, over the in-process model of the
// controller, whose servos travel on a clock the test moves with every byte written. The console's
// tests play frames taught from its sliders until the servos arrive; vantorctl's read a pose back.
#include "LinkTestSupport.h"

#include "emulator/QmcModel.h"
#include "emulator/VirtualSerialBackend.h"
#include "link/ControllerLink.h"
#include "link/SequencePlayer.h"
#include "settings/PreferClass.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWaitMs = 10000;

// What went over the line to the model: every byte written, with the moment (ms since the test
// began) it was written; and the model's clock, moved on by msPerByte for each byte.
struct LineLog
{
    QByteArray written;
    QList<qint64> writtenAtMs;
    QElapsedTimer clock;
    qint64 modelMs = 0;
    int msPerByte = 2;
};

// The in-process model behind a port that keeps the LineLog.
class LoggedModelPort : public SerialBackend
{
public:
    LoggedModelPort(QmcModel* model, LineLog* log)
        : mInner(std::make_unique<VirtualSerialBackend>(model, false)), mLog(log)
    {
        connect(mInner.get(), &SerialBackend::dataAvailable, this, &SerialBackend::dataAvailable);
    }
    bool open(qint32 baud) override { return mInner->open(baud); }
    void close() override { mInner->close(); }
    bool isOpen() const override { return mInner->isOpen(); }
    qint64 write(const QByteArray& bytes) override
    {
        for (const char c : bytes) {
            mLog->written.append(c);
            mLog->writtenAtMs.append(mLog->clock.elapsed());
            mLog->modelMs += mLog->msPerByte;
        }
        return mInner->write(bytes);
    }
    void flush() override {}
    QByteArray readAll() override { return mInner->readAll(); }

private:
    std::unique_ptr<VirtualSerialBackend> mInner;
    LineLog* mLog;
};

Frame MakeFrame(int speed, QMap<int, ServoSetting> channels, std::optional<int> waitMs,
                int holdMs = 0)
{
    Frame f;
    f.speed = speed;
    f.wait = waitMs ? Frame::Wait::Fixed : Frame::Wait::UntilStopped;
    f.waitMs = waitMs.value_or(0);
    f.holdMs = holdMs;
    f.pose.channels = std::move(channels);
    return f;
}

Sequence Of(const QList<Frame>& frames)
{
    Sequence s;
    s.frames = frames;
    return s;
}

// Three frames told apart by their bytes: frame k (from 0) at speed k + 1, channel k + 1 at
// 10 (k + 1), no wait.
Sequence Three()
{
    QList<Frame> frames;
    for (int k = 0; k < 3; ++k)
        frames << MakeFrame(k + 1, {{k + 1, ServoSetting::at(10 * (k + 1))}}, 0);
    return Of(frames);
}

QByteArray Polls(int count)
{
    return QByteArray::fromHex("B000").repeated(count);
}

// Where a stop comes, and what the line carried until then.
struct Stop
{
    int afterPolls = 0; // once this many moving queries have finished; 0: in the first frame's wait
    Sequence sequence;
    QByteArray wire;
    bool stillTravelling = false; // the model's servo 1 goes on to its target after the stop
    qint64 played = 0;            // frames counted as played: those whose pause had begun
};

// How much of Three() is played, and in what order.
struct Plan
{
    PlayOptions options = {};
    QList<int> frames = {};  // played, in order (indexes of Three())
    qint64 framesPlayed = 0; // frames to the end of their hold
    int loopsPlayed = 0;
    qint64 total = 0; // the progress total (0: for ever)
    int stopAfterFrames = 0;
    QString error = {}; // refused before anything is sent
};

} // namespace

Q_DECLARE_METATYPE(Stop)
Q_DECLARE_METATYPE(Plan)

class TestSequencePlayer : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        mDir = std::make_unique<QTemporaryDir>();
        mModel = std::make_unique<QmcModel>();
        mModel->setAbandonAfter(std::chrono::milliseconds(0));
        mLog = std::make_unique<LineLog>();
        mLog->clock.start();
        mModel->setClock([log = mLog.get()] { return log->modelMs; });
        mModelPort = SerialPortEntry{QStringLiteral("model"), {}, {}, [this] {
                                         return std::unique_ptr<SerialBackend>(
                                             new LoggedModelPort(mModel.get(), mLog.get()));
                                     }};
        SerialPorts::setOverride({mModelPort});
        mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
        mPref->mNotAutoDisconnect = true;
        mPref->mPortInfo = SerialPortInfo(mModelPort);
        mView = std::make_unique<RecordingView>();
        mLink = std::make_unique<ControllerLink>(mPref.get(), mView.get());
        mJobs = std::make_unique<BoardScheduler>(mLink.get());
    }
    void cleanup()
    {
        mJobs.reset();
        mLink.reset();
        Settle();
        mView.reset();
        mPref.reset();
        mModel.reset();
        mLog.reset();
        SerialPorts::clearOverride();
    }

    void stopSendsNothingFurther_data()
    {
        QTest::addColumn<Stop>("row");
        const auto add = [](const char* name, const Stop& row) { QTest::newRow(name) << row; };
        // The exchange on the line is finished and nothing follows. (The scheduler's tests stop
        // a job between two of its exchanges; a frame's commands are an exchange each.)
        add("while the servo travels",
            {.afterPolls = 10,
             .sequence = Of({MakeFrame(10, {{1, ServoSetting::at(100)}}, std::nullopt),
                             MakeFrame(0, {{2, ServoSetting::at(5)}}, 0)}),
             .wire = QByteArray::fromHex("B20A E701 E60164") + Polls(10),
             .stillTravelling = true});
        add("in a fixed wait", {.sequence = Of({MakeFrame(0, {{1, ServoSetting::at(7)}}, 5000),
                                                MakeFrame(0, {{2, ServoSetting::at(5)}}, 0)}),
                                .wire = QByteArray::fromHex("B200 E701 E60107"),
                                .played = 1});
    }
    void stopSendsNothingFurther()
    {
        QFETCH(Stop, row);
        const auto job = std::make_shared<SequencePlayerJob>(row.sequence);
        connect(mJobs.get(), &BoardScheduler::jobProgress, this, [&](BoardJob*) {
            if (row.afterPolls && job->polls() == row.afterPolls)
                mJobs->cancel(job);
            if (!row.afterPolls && job->phase() == SequencePlayerJob::Phase::Pausing)
                QTimer::singleShot(50, this, [&] { mJobs->cancel(job); });
        });
        mJobs->submit(job);
        QTRY_VERIFY_WITH_TIMEOUT(job->isOver(), kWaitMs);
        QCOMPARE(job->state(), BoardJob::State::Cancelled);
        // Where the motion stood: the first frame, not played to its end.
        QCOMPARE(job->currentFrame(), 0);
        QCOMPARE(job->framesPlayed(), row.played);
        QTest::qWait(100); // anything sent after the stop would be on the line by now
        QCOMPARE(mLog->written.toHex(' '), row.wire.toHex(' '));
        QCOMPARE(mModel->isTravelling(), row.stillTravelling);
        QVERIFY(mJobs->isIdle());
    }

    void loopsFromAndStep_data()
    {
        QTest::addColumn<Plan>("row");
        const auto add = [](const char* name, const Plan& row) { QTest::newRow(name) << row; };
        add("twice", {.options = {.loops = 2},
                      .frames = {0, 1, 2, 0, 1, 2},
                      .framesPlayed = 6,
                      .loopsPlayed = 2,
                      .total = 6});
        // Each pass starts at the frame asked for.
        add("from the second, twice", {.options = {.from = 1, .loops = 2},
                                       .frames = {1, 2, 1, 2},
                                       .framesPlayed = 4,
                                       .loopsPlayed = 2,
                                       .total = 4});
        add("one step",
            {.options = {.from = 1, .step = true}, .frames = {1}, .framesPlayed = 1, .total = 1});
        add("for ever, stopped", {.options = {.loops = 0},
                                  .frames = {0, 1, 2, 0, 1, 2, 0},
                                  .framesPlayed = 7,
                                  .loopsPlayed = 2,
                                  .stopAfterFrames = 7});
        add("from past the end", {.options = {.from = 3},
                                  .total = 0,
                                  .error = "there is no frame 4: the sequence has 3"});
    }
    void loopsFromAndStep()
    {
        QFETCH(Plan, row);
        const Sequence three = Three();
        const auto job = std::make_shared<SequencePlayerJob>(three, row.options);
        QCOMPARE(job->total(), row.total);
        QList<qint64> progress;
        connect(mJobs.get(), &BoardScheduler::jobProgress, this, [&](BoardJob*) {
            if (progress.isEmpty() || progress.last() != job->framesPlayed())
                progress << job->framesPlayed();
            if (row.stopAfterFrames && job->framesPlayed() == row.stopAfterFrames)
                mJobs->cancel(job);
        });
        mJobs->submit(job);
        QTRY_VERIFY_WITH_TIMEOUT(job->isOver(), kWaitMs);
        QByteArray wire;
        for (int k : row.frames)
            wire += FrameBytes(three.frames.at(k));
        QCOMPARE(mLog->written.toHex(' '), wire.toHex(' '));
        QCOMPARE(job->error(), row.error);
        QCOMPARE(job->framesPlayed(), row.framesPlayed);
        QCOMPARE(job->loopsPlayed(), row.loopsPlayed);
        const BoardJob::State end = !row.error.isEmpty()  ? BoardJob::State::Failed
                                    : row.stopAfterFrames ? BoardJob::State::Cancelled
                                                          : BoardJob::State::Done;
        QCOMPARE(job->state(), end);
        // Progress counts frames, one at a time.
        QList<qint64> counted;
        for (qint64 n = 0; n <= row.framesPlayed; ++n)
            counted << n;
        if (row.error.isEmpty())
            QCOMPARE(progress, counted);
    }

    void waitsAndHoldsArePauses()
    {
        // Speed 0 and no time on the byte clock: only the pauses asked for take time.
        mLog->msPerByte = 0;
        const Sequence s = Of({MakeFrame(0, {{1, ServoSetting::at(1)}}, 60, 40),
                               MakeFrame(0, {{2, ServoSetting::at(2)}}, std::nullopt, 50),
                               MakeFrame(0, {{3, ServoSetting::at(3)}}, 0)});
        const auto job = std::make_shared<SequencePlayerJob>(s);
        mJobs->submit(job);
        QTRY_VERIFY_WITH_TIMEOUT(job->isOver(), kWaitMs);
        QCOMPARE(job->state(), BoardJob::State::Done);
        const QByteArray wire =
            FrameBytes(s.frames[0]) + FrameBytes(s.frames[1]) + Polls(1) + FrameBytes(s.frames[2]);
        QCOMPARE(mLog->written.toHex(' '), wire.toHex(' '));
        // The first byte of a frame follows the last answer of the one before after its wait and
        // hold, at the least.
        const qsizetype second = FrameBytes(s.frames[0]).size();
        const qsizetype third = second + FrameBytes(s.frames[1]).size() + 2;
        QVERIFY(mLog->writtenAtMs[second] - mLog->writtenAtMs[second - 1] >= 60 + 40);
        QVERIFY(mLog->writtenAtMs[third] - mLog->writtenAtMs[third - 1] >= 50);
    }

private:
    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<QmcModel> mModel;
    std::unique_ptr<LineLog> mLog;
    SerialPortEntry mModelPort;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<RecordingView> mView;
    std::unique_ptr<ControllerLink> mLink;
    std::unique_ptr<BoardScheduler> mJobs;
};

QTEST_GUILESS_MAIN(TestSequencePlayer)
#include "tst_SequencePlayer.moc"
