// Board jobs on the one scheduler, over a scripted fake port and over the in-process model of
// the controller.
#include "LinkTestSupport.h"

#include "FakeSerial.h"
#include "emulator/QmcModel.h"
#include "emulator/VirtualSerialBackend.h"
#include "link/BoardJobs.h"
#include "link/ControllerLink.h"
#include "settings/PreferClass.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWaitMs = 5000;

std::shared_ptr<BoardJob> Exchange(const char* title, const ExchangeJob::Start& start)
{
    return std::make_shared<ExchangeJob>(QString::fromLatin1(title), start);
}

} // namespace

class TestBoardScheduler : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        mDir = std::make_unique<QTemporaryDir>();
        mDev = std::make_unique<FakeSerialDevice>();
        mModel = std::make_unique<QmcModel>();
        mModel->setAbandonAfter(std::chrono::milliseconds(0));
        const SerialPortEntry fake = mDev->entry(QStringLiteral("fake"));
        SerialPortEntry model{QStringLiteral("model"), {}, {}, [m = mModel.get()] {
                                  return std::unique_ptr<SerialBackend>(
                                      new VirtualSerialBackend(m, false));
                              }};
        SerialPorts::setOverride({fake, model});
        mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
        mPref->mPortInfo = SerialPortInfo(model);
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
        mDev.reset();
        mModel.reset();
        SerialPorts::clearOverride();
    }

    void jobsRunInOrderAndACancelledOneNeverRuns()
    {
        // One exchange at a time, in the order submitted; a queued job cancelled ends at once and
        // never reaches the line. (A running job's cancel, which lets the exchange on the line
        // finish first, is the console's memory read test.)
        mModel->setSram(0x140, 0x11);
        mModel->setSram(0x141, 0x22);
        const auto read = std::make_shared<ReadMemoryJob>("read", Memory::Sram, 0x140, 2);
        const auto cancelled = Exchange("cancelled", [](L& l) { return l.Cmd_SERVO_SET(1, true); });
        const auto write = std::make_shared<WriteMemoryJob>("write", Memory::IntRom, 0x10, H("7F"));
        const auto servo = Exchange("servo", [](L& l) { return l.Cmd_SERVO_POS_SET(3, 90); });
        QStringList order;
        connect(mJobs.get(), &BoardScheduler::jobFinished, this,
                [&](BoardJob* job) { order << job->title(); });
        for (const auto& job :
             {std::shared_ptr<BoardJob>(read), cancelled, std::shared_ptr<BoardJob>(write), servo})
            mJobs->submit(job);
        mJobs->cancel(cancelled);
        QCOMPARE(cancelled->state(), BoardJob::State::Cancelled);
        QTRY_VERIFY_WITH_TIMEOUT(mJobs->isIdle(), kWaitMs);
        QCOMPARE(order, (QStringList{"cancelled", "read", "write", "servo"}));
        QCOMPARE(read->data(), H("1122"));
        QCOMPARE(mModel->intRom(0x10), 0x7F);
        QCOMPARE(mModel->servoPosition(3), 90);
        // Two addresses read (4 bytes each), one written (6), one move (3), and nothing else.
        QCOMPARE(mModel->bytesReceived(), quint64(2 * 4 + 6 + 3));
    }
    void keyClickGoesFirstAndTheJobResumes()
    {
        // A remote key goes out as soon as the controller is between two of its commands (it
        // would take the key's byte for part of one), and the job's exchange starts over after
        // it. Here the key comes in the middle of an address of a memory read; the console's
        // tests click one in the middle of a group read, a stream the key waits out.
        useFake();
        // Two addresses, each: code, address low, high, 00.
        const QByteArray job = H("F7400100F7410100");
        const auto read = std::make_shared<ReadMemoryJob>("read", Memory::Sram, 0x140, 2);
        mJobs->submit(read);
        mDev->feed(job.left(1));
        QCOMPARE(mDev->written(), job.left(2));
        mLink->Cmd_Excute(H("05"), true);       // the remote key
        QCOMPARE(mDev->written(), job.left(2)); // it waits
        mDev->setEcho();
        mDev->feed(job.mid(1, 1));
        QTRY_VERIFY_WITH_TIMEOUT(read->isOver(), kWaitMs);
        QCOMPARE(mDev->written().toHex(' '), (job.left(4) + H("05") + job).toHex(' '));
        QCOMPARE(read->state(), BoardJob::State::Done);
        // The key's stream ended with the port closed; the job, started over, opened it again.
        QCOMPARE(mDev->openCount(), 2);
        QVERIFY(mView->alerts.isEmpty());
    }
    void theNextJobWaitsForAQuietLine()
    {
        useFake();
        mPref->mNotAutoDisconnect = true;
        mDev->setReplier([](char) { return H("00"); }); // no echo: the first job fails
        const auto wrong = Exchange("wrong", [](L& l) { return l.Cmd_SRAM_READ(0, 1); });
        const auto after = Exchange("after", [](L& l) { return l.Cmd_SERVO_SET(2, false); });
        // Heard before the scheduler hears it: the line has been quiet for the whole quiet
        // period since the stray byte, not since the failure.
        QByteArray writtenWhenQuiet;
        QElapsedTimer stray;
        qint64 quietAfterStray = -1;
        mJobs.reset();
        connect(mLink.get(), &ControllerLink::lineQuiet, this, [&] {
            writtenWhenQuiet = mDev->written();
            quietAfterStray = stray.isValid() ? stray.elapsed() : -1;
        });
        mJobs = std::make_unique<BoardScheduler>(mLink.get());
        connect(mJobs.get(), &BoardScheduler::jobFinished, this, [&](BoardJob* job) {
            if (job != wrong.get())
                return;
            mDev->setEcho();
            QTimer::singleShot(20, mDev.get(), [&] {
                stray.start();
                mDev->feed(H("99"));
            });
        });
        mJobs->submit(wrong);
        mJobs->submit(after);
        QTRY_VERIFY_WITH_TIMEOUT(after->isOver(), kWaitMs);
        QCOMPARE(wrong->failure().fault, LinkFault::WrongReply);
        QCOMPARE(writtenWhenQuiet, H("F7"));
        QVERIFY2(quietAfterStray >= ControllerLink::cQuietPeriod.count(),
                 qPrintable(QString::number(quietAfterStray)));
        QCOMPARE(mDev->written(), H("F7E802"));
    }
    void closedUnderAJob()
    {
        useFake();
        const auto job = Exchange("closed", [](L& l) { return l.Cmd_IsMOVING(); });
        mJobs->submit(job);
        mLink->RbPortClose(true); // the user clicks the lamp
        QCOMPARE(job->state(), BoardJob::State::Failed);
        QCOMPARE(job->failure().fault, LinkFault::Closed);
    }
    void servoRefreshAndMoves()
    {
        // A refresh in the background steps aside between its group reads for a move the user
        // makes, and goes on after it. (What a refresh reads is the console's opening test; a
        // move's newest value replacing one not yet sent, its drag test.)
        const auto refresh = std::make_shared<ServoRefreshJob>();
        refresh->background = true;
        const auto move = std::make_shared<ServoMoveJob>();
        QList<int> groupsBeforeMove;
        connect(mJobs.get(), &BoardScheduler::jobProgress, this, [&](BoardJob* job) {
            if (job == refresh.get() && job->done() == 2 && !move->isOver()) {
                move->set(1, 11);
                move->set(2, 20);
                mJobs->submit(move);
            }
        });
        connect(mJobs.get(), &BoardScheduler::jobStarted, this, [&](BoardJob* job) {
            if (job == move.get())
                groupsBeforeMove << int(refresh->done());
        });
        mJobs->submit(refresh);
        QTRY_VERIFY_WITH_TIMEOUT(mJobs->isIdle(), kWaitMs);
        QCOMPARE(groupsBeforeMove, QList<int>{2});
        QCOMPARE(refresh->state(), BoardJob::State::Done);
        QCOMPARE(mModel->servoPosition(1), 11);
        QCOMPARE(mModel->servoPosition(2), 20);
        // 8 group reads of 7 bytes, 2 moves of 3.
        QCOMPARE(mModel->bytesReceived(), quint64(8 * 7 + 2 * 3));
    }
    void servoPowerLatestWishWins()
    {
        // Channel 1 is switched on, then off again while its first exchange is on the line:
        // channel 2 goes next and channel 1's newer wish after it.
        useFake();
        mDev->setEcho();
        const auto power = std::make_shared<ServoPowerJob>();
        power->set(1, true);
        mJobs->submit(power);
        QCOMPARE(mDev->written(), H("E7"));
        power->set(1, false);
        power->set(2, true);
        QTRY_VERIFY_WITH_TIMEOUT(power->isOver(), kWaitMs);
        QCOMPARE(power->state(), BoardJob::State::Done);
        QCOMPARE(mDev->written().toHex(' '), H("E701E702E801").toHex(' '));
        QCOMPARE(power->done(), 3);
        QVERIFY(!power->hasPending());
        power->set(3, true); // over: a new wish needs a new job
        QVERIFY(!power->hasPending());
    }
    // A board that holds no program of its own (an erased external ROM) is written too, after
    // its 16 bytes are backed up. The console's tests restore over the demo program: the backup
    // on disk before the first byte of the image goes out, and a difference the read-back finds.
    void programRestoreOverAnErasedBoard()
    {
        QByteArray image(200, '\x11');
        image[0x0E] = char(200);
        image[0x0F] = 0;
        const QByteArray before(16, '\xFF');
        QVERIFY(mModel->loadProgram(before));
        const auto job =
            std::make_shared<ProgramRestoreJob>(image, mDir->filePath(QStringLiteral("backups")));
        mJobs->submit(job);
        QTRY_VERIFY_WITH_TIMEOUT(job->isOver(), kWaitMs);
        QCOMPARE(job->state(), BoardJob::State::Done);
        QFile saved(job->backupPath());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), before);
        QCOMPARE(job->written(), image.size());
        QCOMPARE(job->firstDifference(), -1);
        QCOMPARE(mModel->programSize(), 200);
    }
    void programBackup_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("saved");
        QTest::addColumn<int>("problem");
        QTest::addColumn<int>("bytesOnLine");
        QByteArray program(300, '\x5A');
        program[0x0E] = char(0x2C); // 300, low byte first
        program[0x0F] = char(0x01);
        QTest::newRow("300 bytes")
            << program << program << int(ProgramImage::Problem::None) << (2 + 300) * 4;
        QTest::newRow("no program")
            << QByteArray(16, '\0') << QByteArray() << int(ProgramImage::Problem::None) << 8;
        // An erased ROM is refused after the size (the console's tests tell it); so is a header
        // that says less than a header.
        QTest::newRow("shorter than its header")
            << QByteArray::fromHex("0000000000000000000000000000"
                                   "0800")
            << QByteArray() << int(ProgramImage::Problem::ShorterThanHead) << 8;
    }
    void programBackup()
    {
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, saved);
        QFETCH(int, problem);
        QFETCH(int, bytesOnLine);
        QVERIFY(mModel->loadProgram(image));
        const auto job = std::make_shared<ProgramBackupJob>();
        mJobs->submit(job);
        QTRY_VERIFY_WITH_TIMEOUT(job->isOver(), kWaitMs);
        QCOMPARE(int(job->problem().kind), problem);
        QCOMPARE(job->state(), problem ? BoardJob::State::Failed : BoardJob::State::Done);
        QCOMPARE(job->program().toHex(), saved.toHex());
        QCOMPARE(mModel->bytesReceived(), quint64(bytesOnLine));
    }

private:
    using L = ControllerLink;

    void useFake() { mPref->mPortInfo = SerialPortInfo(mDev->entry(QStringLiteral("fake"))); }

    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<FakeSerialDevice> mDev;
    std::unique_ptr<QmcModel> mModel;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<RecordingView> mView;
    std::unique_ptr<ControllerLink> mLink;
    std::unique_ptr<BoardScheduler> mJobs;
};

QTEST_GUILESS_MAIN(TestBoardScheduler)
#include "tst_BoardScheduler.moc"
