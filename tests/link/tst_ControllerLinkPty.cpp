// The controller link over a real pseudo-terminal against qmc-emulator.
#include "LinkTestSupport.h"
#include "QmcEmulatorProcess.h"

#include "link/ControllerLink.h"
#include "platform/SerialPorts.h"
#include "settings/PreferClass.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

int sWarnings = 0;
void CountWarnings(QtMsgType type, const QMessageLogContext&, const QString&)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        ++sWarnings;
}

} // namespace

class TestControllerLinkPty : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        mDir = std::make_unique<QTemporaryDir>();
        mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
        mPref->mNotAutoDisconnect = true;
        mView = std::make_unique<RecordingView>();
        mLink = std::make_unique<ControllerLink>(mPref.get(), mView.get());
        mEmu = std::make_unique<QmcEmulatorProcess>();
    }
    void cleanup()
    {
        mLink->RbPortClose(true);
        mLink.reset();
        QCoreApplication::processEvents();
        mEmu.reset();
        mView.reset();
        mPref.reset();
        mDir.reset();
        SerialPorts::clearOverride();
    }
    void unplugMidExchange_data()
    {
        QTest::addColumn<bool>("stream"); // else a memory read
        QTest::newRow("memory read") << false;
        QTest::newRow("byte stream") << true;
    }
    void unplugMidExchange()
    {
        QFETCH(bool, stream);
        const QString link = mDir->filePath(QStringLiteral("qmc-link"));
        startAndUse({"--hangup-after", "6", "--link", link});

        // A read of four addresses (16 line bytes) or a stream of 30: the line dies at the seventh.
        QSignalSpy lost(mLink.get(), &ControllerLink::linkLost);
        QSignalSpy failed(mLink.get(), &ControllerLink::exchangeFailed);
        if (stream)
            QVERIFY(mLink->Cmd_SERVO_POS_SET(1, 6, QStringLiteral("1,2,3,4,5,6")));
        else
            QVERIFY(mLink->Cmd_EXTROM_READ(0x0000, 4));
        // The exchange fails as lost, unfinished, with what it read dropped; told once.
        QTRY_COMPARE_WITH_TIMEOUT(mView->beeps, 1, 20000);
        QVERIFY(!mLink->mMcpOpen); // the lamp turns red
        QCOMPARE(mLink->mMcpStep, -1);
        QVERIFY(!mLink->mMcpFinish);
        QVERIFY(mLink->mReadData.isEmpty());
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.first().first().value<LinkFailure>().fault, LinkFault::Lost);
        QCOMPARE(mView->alerts.size(), 1);
        QCOMPARE(mView->alerts.first().at(5),
                 QStringLiteral("コントローラーとの接続が切れました..."));

        // Quiet afterwards: no repeated report, no warning flood, no busy poll.
        sWarnings = 0;
        const QtMessageHandler previous = qInstallMessageHandler(CountWarnings);
        QTest::qWait(2000);
        qInstallMessageHandler(previous);
        QCOMPARE(sWarnings, 0);
        QCOMPARE(mView->beeps, 1);
        QCOMPARE(lost.count(), 1);
        QVERIFY(!mLink->SerialBackUpTimer.isActive());

        // The emulator leaves by itself, cleanly, and takes its link along.
        QProcess& gone = mEmu->process;
        QVERIFY(QTest::qWaitFor([&] { return gone.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(gone.exitStatus() == QProcess::NormalExit ? gone.exitCode() : -1, 0);
        QVERIFY(!QFileInfo(link).isSymLink());

        // The controller comes back at the same place: the next command opens it, no restart.
        QmcEmulatorProcess again;
        QVERIFY(again.start({"--link", link}));
        QVERIFY(exchange(mLink->Cmd_EXTROM_READ(0x000E, 2)));
        QCOMPARE(mLink->mReadData, H("3300")); // the demo program's size
        QCOMPARE(mView->beeps, 1);
        QCOMPARE(mView->alerts.size(), 1);
    }
    void unsolicitedByteBeforeFirstCommand()
    {
        startAndUse({"--unsolicited", "55AA"});
        QTest::qWait(200); // the bytes are on the line before the port opens
        QVERIFY(exchange(mLink->Cmd_SERVO_POS_GET(9)));
        QCOMPARE(mLink->mReadData, H("0900"));
        QVERIFY(exchange(mLink->Cmd_EXTROM_READ(0x000E, 2)));
        QCOMPARE(mLink->mReadData, H("3300"));
    }

private:
    // Starts the emulator and chooses its port, named "qmc" (at --link, if given).
    void startAndUse(QStringList args = {})
    {
        QVERIFY(mEmu->start(args));
        const qsizetype link = args.indexOf("--link");
        const QString path = link >= 0 ? args.at(link + 1) : mEmu->path;
        SerialPorts::setOverride({SerialPorts::deviceEntry(QStringLiteral("qmc"), path)});
        mPref->mPortInfo = SerialPortInfo();
        mPref->mPortInfo->mName = QStringLiteral("qmc");
    }
    // Whether the command started and then finished.
    bool exchange(bool started)
    {
        if (!started)
            return false;
        if (mLink->mMcpFinish) // a real event loop: QTest's polling waits would pace it
            return true;
        QSignalSpy finished(mLink.get(), &ControllerLink::mcpFinished);
        return finished.wait(20000) && mLink->mMcpFinish;
    }

    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<RecordingView> mView;
    std::unique_ptr<ControllerLink> mLink;
    std::unique_ptr<QmcEmulatorProcess> mEmu;
};

QTEST_GUILESS_MAIN(TestControllerLinkPty)
#include "tst_ControllerLinkPty.moc"
