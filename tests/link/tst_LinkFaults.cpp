// The controller link when the device misbehaves: it vanishes, chatters or
// answers late, against a fake port that fails the way real devices do.
#include "LinkTestSupport.h"

#include "FakeSerial.h"
#include "link/ControllerLink.h"
#include "settings/PreferClass.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {
const QString kError = QStringLiteral("エラーが起きました...");
const QString kNoLink = QStringLiteral("コントローラーに接続できませんでした...");
} // namespace

// A command the user starts; whether it is a byte stream (backup poll) or a
// memory read (replies drive it).
struct LossRow
{
    std::function<void(ControllerLink&)> start;
    int repliesBeforeLoss;
    bool notAutoDisconnect;
};
Q_DECLARE_METATYPE(LossRow)

class TestLinkFaults : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        mDir = std::make_unique<QTemporaryDir>();
        mDev = std::make_unique<FakeSerialDevice>();
        SerialPorts::setOverride({mDev->entry(QStringLiteral("COM1"))});
        mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
        mPref->mPortInfo = SerialPortInfo();
        mPref->mPortInfo->mName = QStringLiteral("COM1");
        mView = std::make_unique<RecordingView>();
        mLink = std::make_unique<ControllerLink>(mPref.get(), mView.get());
    }
    void cleanup()
    {
        mLink.reset();
        Settle();
        mDev.reset();
        mView.reset();
        mPref.reset();
        mDir.reset();
        SerialPorts::clearOverride();
    }

    void deviceVanishes_data()
    {
        QTest::addColumn<LossRow>("row");
        QTest::newRow("stream, link kept open")
            << LossRow{.start = [](ControllerLink& l) { l.Cmd_Excute(H("E7010A0B0C"), false); },
                       .repliesBeforeLoss = 2,
                       .notAutoDisconnect = true};
        QTest::newRow("stream, closing after")
            << LossRow{.start = [](ControllerLink& l) { l.Cmd_Excute(H("E7010A0B0C"), true); },
                       .repliesBeforeLoss = 1,
                       .notAutoDisconnect = false};
        QTest::newRow("memory read")
            << LossRow{.start = [](ControllerLink& l) { QVERIFY(l.Cmd_SRAM_READ(0x0100, 3)); },
                       .repliesBeforeLoss = 5,
                       .notAutoDisconnect = true};
        QTest::newRow("idle link kept open")
            << LossRow{.start = [](ControllerLink& l) { QVERIFY(l.RbPortOpen()); },
                       .repliesBeforeLoss = 0,
                       .notAutoDisconnect = true};
    }
    void deviceVanishes()
    {
        QFETCH(LossRow, row);
        mPref->mNotAutoDisconnect = row.notAutoDisconnect;
        row.start(*mLink);
        for (int i = 0; i < row.repliesBeforeLoss; ++i)
            mDev->feed(H("00"));
        QVERIFY(mLink->mMcpOpen);
        QSignalSpy lost(mLink.get(), &ControllerLink::linkLost);
        const int beepsBefore = mView->beeps;
        mDev->unplug();
        QVERIFY(lost.wait(1000));

        // Ended as after a close, unfinished, and said once.
        QVERIFY(!mLink->mMcpOpen);
        QVERIFY(!mLink->mMcpFinish);
        QCOMPARE(mLink->mMcpCmd, QByteArray());
        QCOMPARE(mLink->mMcpStep, -1);
        QCOMPARE(mView->buttonsEnabled.last(), true);
        QVERIFY(!mView->progress.last().Visible);
        QVERIFY(!mLink->SerialBackUpTimer.isActive());
        QCOMPARE(mView->beeps, beepsBefore + 1);
        QCOMPARE(mView->messages.last(), kError);
        // Nothing touches the dead device afterwards.
        QTest::qWait(100);
        QCOMPARE(mDev->closedAccessCount(), 0);
        QCOMPARE(lost.count(), 1);
        QCOMPARE(mView->beeps, beepsBefore + 1);

        // Still gone: the next command gets the usual alert, nothing is written.
        mDev->clearWritten();
        mLink->Cmd_Excute(H("2A"), false);
        QCOMPARE(mView->alerts.size(), 1);
        QCOMPARE(mView->alerts.last().at(5), kNoLink);
        QCOMPARE(mDev->written(), QByteArray());
        // Back under the same name: the next command opens it and gets through.
        mDev->plugIn();
        mDev->setEcho();
        mLink->Cmd_Excute(H("2A2B"), false);
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 1000);
        QCOMPARE(mLink->mReadData, H("2A2B"));
        QCOMPARE(mDev->openCount(), 2);
    }

    void staleBytesAreNoReply_data()
    {
        QTest::addColumn<bool>("beforeFirstOpen"); // else a late answer on a kept link
        QTest::newRow("unsolicited before the first command") << true;
        QTest::newRow("late answer between two commands") << false;
    }
    void staleBytesAreNoReply()
    {
        QFETCH(bool, beforeFirstOpen);
        mPref->mNotAutoDisconnect = true;
        mDev->setEcho();
        if (beforeFirstOpen) {
            mDev->feedSilently(H("55"));
        } else {
            mLink->Cmd_Excute(H("10"), false);
            QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 1000);
            mDev->feedSilently(H("EE")); // no notification reached the link yet
        }
        mLink->Cmd_Excute(H("E6010A"), false);
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 1000);
        QCOMPARE(mLink->mReadData, H("E6010A"));
        QCOMPARE(mDev->written().right(3), H("E6010A"));
    }

    void positionsOutOfRange_data()
    {
        QTest::addColumn<QString>("positions");
        QTest::newRow("1e300") << QStringLiteral("1e300");
        QTest::newRow("-1e300") << QStringLiteral("-1e300");
        QTest::newRow("2^63") << QStringLiteral("9223372036854775808");
        QTest::newRow("256") << QStringLiteral("255.5, 256");
    }
    void positionsOutOfRange()
    {
        QFETCH(QString, positions);
        QVERIFY(!mLink->Cmd_SERVO_POS_SET(1, 2, positions));
        QCOMPARE(mDev->openCount(), 0);
        QCOMPARE(mDev->written(), QByteArray());
    }

private:
    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<FakeSerialDevice> mDev;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<RecordingView> mView;
    std::unique_ptr<ControllerLink> mLink;
};

QTEST_GUILESS_MAIN(TestLinkFaults)
#include "tst_LinkFaults.moc"
