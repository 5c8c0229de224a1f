// The controller link when the device misbehaves: it vanishes, chatters or
// answers late, against a fake port that fails the way real devices do.
#include "LinkTestSupport.h"

#include "FakeSerial.h"
#include "link/ControllerLink.h"
#include "settings/PreferClass.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const QString kError = QStringLiteral("エラーが起きました...");
const QString kNoLink = QStringLiteral("コントローラーに接続できませんでした...");
} // namespace

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

    // An idle link kept open loses its device; losses mid-exchange are
    // covered over a pseudo-terminal.
    void idleLinkLost()
    {
        mPref->mNotAutoDisconnect = true;
        QVERIFY(mLink->RbPortOpen());
        QVERIFY(mLink->mMcpOpen);
        QSignalSpy lost(mLink.get(), &ControllerLink::linkLost);
        mDev->unplug();
        QVERIFY(lost.wait(1000));

        // Ended as after a close, unfinished, and said once.
        QVERIFY(!mLink->mMcpOpen);
        QVERIFY(!mLink->mMcpFinish);
        QCOMPARE(mLink->mMcpCmd, QByteArray());
        QCOMPARE(mView->buttonsEnabled.last(), true);
        QVERIFY(!mView->progress.last().Visible);
        QCOMPARE(mView->beeps, 1);
        QCOMPARE(mView->messages.last(), kError);
        // Nothing touches the dead device afterwards.
        QTest::qWait(100);
        QCOMPARE(mDev->closedAccessCount(), 0);
        QCOMPARE(lost.count(), 1);

        // Still gone: the next command gets the usual alert, nothing is written.
        mDev->clearWritten();
        mLink->Cmd_Excute(H("2A"), false);
        QCOMPARE(mView->alerts.size(), 1);
        QCOMPARE(mView->alerts.last().at(5), kNoLink);
        QCOMPARE(mDev->written(), QByteArray());
    }

    // A late answer between two commands on a kept link is no reply to the next.
    void staleBytesAreNoReply()
    {
        mPref->mNotAutoDisconnect = true;
        mDev->setEcho();
        mLink->Cmd_Excute(H("10"), false);
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 1000);
        mDev->feedSilently(H("EE")); // no notification reached the link yet
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
