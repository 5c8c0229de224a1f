// The controller link over a real pseudo-terminal against qmc-emulator.
#include "LinkTestSupport.h"

#include "emulator/QmcModel.h"
#include "link/ControllerLink.h"
#include "platform/SerialPorts.h"
#include "settings/PreferClass.h"

#include <QProcess>
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

QByteArray Le16(quint16 v)
{
    return QByteArray(1, char(v & 0xFF)) + QByteArray(1, char(v >> 8));
}

// One qmc-emulator process, ended when destroyed.
class Emulator
{
public:
    ~Emulator()
    {
        mProcess.terminate();
        if (!mProcess.waitForFinished(5000))
            mProcess.kill();
        mProcess.waitForFinished(5000);
    }

    // Reads the device path from its first line; a loaded machine may pause mid-exchange.
    bool start(QStringList args = {})
    {
        mProcess.start(QStringLiteral(QMC_EMULATOR_PATH),
                       args + QStringList{"--exit-after-idle", "30", "--abandon-ms", "0"});
        if (!mProcess.waitForStarted(10000) ||
            !QTest::qWaitFor([&] { return mProcess.canReadLine(); }, 10000))
            return false;
        mPath = QString::fromLocal8Bit(mProcess.readLine()).trimmed();
        return !mPath.isEmpty();
    }

    QProcess mProcess;
    QString mPath;
};

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
        mEmu = std::make_unique<Emulator>();
        mModel.powerOn();
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
    void identificationChain()
    {
        startAndUse();
        mLink->RbCmdSend("CONTROLER_INFORMATION", QByteArray());
        // Identification, checksum, then the program header, which ends the chain.
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 20000);
        QCOMPARE(mLink->mInfoCtrlr, QByteArray("QM4410"));
        QCOMPARE(mLink->mInfoChecksum, Le16(mModel.programChecksum())); // the program's sum
        QCOMPARE(mLink->mInfoProg, QmcModel::demoProgram().left(16));
        QCOMPARE(mView->beeps, 0);
    }
    // Written across a page and read back over the line, byte for byte.
    void memoryWriteReadBack()
    {
        QByteArray ramp;
        for (int i = 0; i < 40; ++i)
            ramp.append(char(i * 7 + 3));
        startAndUse();
        QVERIFY(exchange(mLink->Cmd_EXTROM_WRITE(0x10F0, ramp)));
        QCOMPARE(mLink->mReadData, ramp); // each stored byte is echoed
        QVERIFY(exchange(mLink->Cmd_EXTROM_READ(0x10F0, int(ramp.size()))));
        QCOMPARE(mLink->mReadData, ramp);
        QCOMPARE(mView->beeps, 0);
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
        if (stream)
            QVERIFY(mLink->Cmd_SERVO_POS_SET(1, 6, QStringLiteral("1,2,3,4,5,6")));
        else
            QVERIFY(mLink->Cmd_EXTROM_READ(0x0000, 4));
        QTRY_COMPARE_WITH_TIMEOUT(mView->beeps, 1, 20000);
        QCOMPARE(mView->messages.last(), QStringLiteral("エラーが起きました..."));
        QVERIFY(!mLink->mMcpFinish);
        QVERIFY(!mLink->mMcpOpen); // the lamp turns red
        QCOMPARE(mLink->mMcpStep, -1);
        QCOMPARE(mView->buttonsEnabled.last(), true);
        QVERIFY(!mView->progress.last().Visible);
        QVERIFY(mView->alerts.isEmpty());

        // Quiet afterwards: no repeated report, no warning flood, no busy poll.
        sWarnings = 0;
        const QtMessageHandler previous = qInstallMessageHandler(CountWarnings);
        QTest::qWait(2000);
        qInstallMessageHandler(previous);
        QCOMPARE(sWarnings, 0);
        QCOMPARE(mView->beeps, 1);
        QCOMPARE(lost.count(), 1);
        QVERIFY(!mLink->SerialBackUpTimer.isActive());

        // The controller comes back at the same place: the next command opens it, no restart.
        QVERIFY(
            QTest::qWaitFor([&] { return mEmu->mProcess.state() == QProcess::NotRunning; }, 10000));
        Emulator again;
        QVERIFY(again.start({"--link", link}));
        QVERIFY(exchange(mLink->Cmd_EXTROM_READ(0x000E, 2)));
        QCOMPARE(mLink->mReadData, Le16(mModel.programSize()));
        QCOMPARE(mView->beeps, 1);
    }
    void unsolicitedByteBeforeFirstCommand()
    {
        startAndUse({"--unsolicited", "55AA"});
        QTest::qWait(200); // the bytes are on the line before the port opens
        QVERIFY(exchange(mLink->Cmd_SERVO_POS_GET(9)));
        QCOMPARE(mLink->mReadData, H("0900"));
        QVERIFY(exchange(mLink->Cmd_EXTROM_READ(0x000E, 2)));
        QCOMPARE(mLink->mReadData, Le16(mModel.programSize()));
    }

private:
    // Starts the emulator and chooses its port, named "qmc" (at --link, if given).
    void startAndUse(QStringList args = {})
    {
        QVERIFY(mEmu->start(args));
        const qsizetype link = args.indexOf("--link");
        const QString path = link >= 0 ? args.at(link + 1) : mEmu->mPath;
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
    std::unique_ptr<Emulator> mEmu;
    QmcModel mModel; // the emulator's state at power-on, for expectations
};

QTEST_GUILESS_MAIN(TestControllerLinkPty)
#include "tst_ControllerLinkPty.moc"
