// The controller link end to end: the core, a real QSerialPort on a
// pseudo-terminal, and qmc-emulator playing the controller on the other side.
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

const QString kTool = QStringLiteral(QMC_EMULATOR_PATH);

QByteArray H(const char* hex)
{
    return QByteArray::fromHex(hex);
}

// One qmc-emulator process; ends it when destroyed.
class Emulator
{
public:
    Emulator() { mProcess.setProgram(kTool); }
    ~Emulator()
    {
        if (mProcess.state() != QProcess::NotRunning) {
            mProcess.terminate();
            if (!mProcess.waitForFinished(5000))
                mProcess.kill();
            mProcess.waitForFinished(5000);
        }
    }

    // Starts it and reads the device path from its first line. The idle exit
    // keeps a crashed test from leaving it behind; no abandonment, so a
    // loaded machine pausing between two bytes cannot break an exchange.
    bool start(QStringList args)
    {
        args << QStringLiteral("--exit-after-idle") << QStringLiteral("30")
             << QStringLiteral("--abandon-ms") << QStringLiteral("0");
        mProcess.setArguments(args);
        mProcess.start();
        if (!mProcess.waitForStarted(10000))
            return false;
        if (!QTest::qWaitFor([&] { return mProcess.canReadLine(); }, 10000))
            return false;
        mPath = QString::fromLocal8Bit(mProcess.readLine()).trimmed();
        return !mPath.isEmpty();
    }

    bool waitForExit()
    {
        return QTest::qWaitFor([&] { return mProcess.state() == QProcess::NotRunning; }, 10000);
    }

    QProcess mProcess;
    QString mPath;
};

} // namespace

class TestControllerLinkPty : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void identificationChain();
    void sramWriteReadBack();
    void extRomWriteReadBack();
    void servoGroupRead();
    void programSize();
    void streamOfKeys();
    void unplugMidExchange();

private:
    // Chooses the port named "qmc" at the given path.
    void usePort(const QString& path);
    bool waitFinished();

    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<RecordingView> mView;
    std::unique_ptr<ControllerLink> mLink;
    std::unique_ptr<Emulator> mEmu;
    QmcModel mModel; // the emulator's state at power-on, for expectations
};

void TestControllerLinkPty::init()
{
    mDir = std::make_unique<QTemporaryDir>();
    QVERIFY(mDir->isValid());
    mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
    mPref->mNotAutoDisconnect = true;
    mView = std::make_unique<RecordingView>();
    mLink = std::make_unique<ControllerLink>(mPref.get(), mView.get());
    mEmu = std::make_unique<Emulator>();
    mModel.powerOn();
}

void TestControllerLinkPty::cleanup()
{
    if (mLink)
        mLink->RbPortClose(true);
    mLink.reset();
    QCoreApplication::processEvents();
    mEmu.reset();
    mView.reset();
    mPref.reset();
    mDir.reset();
    SerialPorts::clearOverride();
}

void TestControllerLinkPty::usePort(const QString& path)
{
    SerialPorts::setOverride({SerialPorts::deviceEntry(QStringLiteral("qmc"), path)});
    SerialPortInfo info;
    info.mName = QStringLiteral("qmc");
    mPref->mPortInfo = info;
}

bool TestControllerLinkPty::waitFinished()
{
    // A real event loop: QTest's polling waits pause 10 ms between passes,
    // which would pace the lock-step exchange instead of the replies.
    if (mLink->mMcpFinish)
        return true;
    QSignalSpy finished(mLink.get(), &ControllerLink::mcpFinished);
    return finished.wait(20000) && mLink->mMcpFinish;
}

void TestControllerLinkPty::identificationChain()
{
    QVERIFY(mEmu->start({}));
    usePort(mEmu->mPath);
    mLink->RbCmdSend("CONTROLER_INFORMATION", QByteArray());
    QVERIFY(mLink->mMcpOpen);
    // F0, 00, five echoes back, F7 F2 04 00, F7 F3 04 00, F2: 16 replies.
    QTRY_COMPARE_WITH_TIMEOUT(mLink->PrgPB.Value, 16, 20000);
    QCOMPARE(mLink->mInfoCtrlr, QByteArray("QM4410"));
    const QByteArray checksum =
        QByteArray(1, char(mModel.sram(0x04F2))) + QByteArray(1, char(mModel.sram(0x04F3)));
    QCOMPARE(mLink->mInfoChecksum, checksum);
    // The checksum is the 16-bit sum of the program, low byte first.
    QCOMPARE(quint16(quint8(checksum.at(0)) | quint8(checksum.at(1)) << 8),
             mModel.programChecksum());
    QCOMPARE(mLink->mMcpCmd, QByteArray("PROGRAM_INFORMATION"));
    QVERIFY(!mLink->mMcpFinish);
    QCOMPARE(mView->beeps, 0);
}

void TestControllerLinkPty::sramWriteReadBack()
{
    QVERIFY(mEmu->start({}));
    usePort(mEmu->mPath);
    const QByteArray data = H("00017F80FEFF5AA5");
    QVERIFY(mLink->Cmd_SRAM_WRITE(0x0300, data));
    QVERIFY(waitFinished());
    // The controller echoes each stored byte.
    QCOMPARE(mLink->mReadData, data);
    QVERIFY(mLink->Cmd_SRAM_READ(0x0300, data.size()));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, data);
    // Across a page boundary, up to the last address.
    QVERIFY(mLink->Cmd_SRAM_WRITE(0xFFFD, H("112233")));
    QVERIFY(waitFinished());
    QVERIFY(mLink->Cmd_SRAM_READ(0xFFFC, 4));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData.mid(1), H("112233"));
    QCOMPARE(mView->beeps, 0);
}

void TestControllerLinkPty::extRomWriteReadBack()
{
    QVERIFY(mEmu->start({}));
    usePort(mEmu->mPath);
    QByteArray data;
    for (int i = 0; i < 40; ++i)
        data.append(char(i * 7 + 3));
    QVERIFY(mLink->Cmd_EXTROM_WRITE(0x10F0, data));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, data);
    QVERIFY(mLink->Cmd_EXTROM_READ(0x10F0, data.size()));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, data);
    // Internal ROM is another memory: the same address reads differently.
    QVERIFY(mLink->Cmd_INTROM_WRITE(0x10F0, H("C3")));
    QVERIFY(waitFinished());
    QVERIFY(mLink->Cmd_INTROM_READ(0x10F0, 1));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, H("C3"));
    QVERIFY(mLink->Cmd_EXTROM_READ(0x10F0, 1));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, data.left(1));
}

void TestControllerLinkPty::servoGroupRead()
{
    QVERIFY(mEmu->start({}));
    usePort(mEmu->mPath);
    // Channels 7..12 are group 2.
    QVERIFY(mLink->Cmd_SERVO_POS_SET(7, 6, QStringLiteral("10, 20, 30, 40, 50, 60")));
    QVERIFY(waitFinished());
    QVERIFY(mLink->Cmd_SERVO_POS_GET_GROUP(2));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, H("D50A141E28323C"));
    QVERIFY(mLink->Cmd_SERVO_POS_GET(9));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, H("091E"));
}

void TestControllerLinkPty::programSize()
{
    QVERIFY(mEmu->start({}));
    usePort(mEmu->mPath);
    mLink->Get_PROGRAM_SIZE();
    QVERIFY(waitFinished());
    const quint16 size = mModel.programSize();
    QCOMPARE(mLink->mReadData, QByteArray(1, char(size & 0xFF)) + QByteArray(1, char(size >> 8)));
    // The sequencer's size step shows it in bytes.
    mLink->mDirCmd = QStringLiteral("Get_PROGRAM_SIZE");
    mLink->DirectCommandTimer_Action();
    QVERIFY(mView->messages.contains(QString::number(size) + QStringLiteral(" バイト")));
}

void TestControllerLinkPty::streamOfKeys()
{
    QVERIFY(mEmu->start({}));
    usePort(mEmu->mPath);
    QByteArray keys;
    for (int i = 0; i < 200; ++i)
        keys.append(char(1 + i % 127));
    mPref->mNotAutoDisconnect = false;
    mLink->Cmd_Excute(keys, true);
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, keys);
    QVERIFY(!mLink->mMcpOpen);
    QCOMPARE(mView->messages.last(), QStringLiteral("切断..."));
}

void TestControllerLinkPty::unplugMidExchange()
{
    const QString link = mDir->filePath(QStringLiteral("qmc-link"));
    QVERIFY(mEmu->start(
        {QStringLiteral("--hangup-after"), QStringLiteral("6"), QStringLiteral("--link"), link}));
    usePort(link);

    // A read of four addresses, 16 line bytes: the line dies at the seventh.
    QVERIFY(mLink->Cmd_EXTROM_READ(0x0000, 4));
    QTRY_VERIFY_WITH_TIMEOUT(mView->beeps == 1, 20000);
    QCOMPARE(mView->messages.last(), QStringLiteral("エラーが起きました..."));
    QVERIFY(mView->foceCloseVisible);
    QVERIFY(!mLink->mMcpFinish);
    QVERIFY(mView->alerts.isEmpty());
    QVERIFY(mEmu->waitForExit());

    // The dead line is reported once, not at every turn of the event loop.
    // (Absence can only be shown by letting time pass.)
    QTest::qWait(300);
    QCOMPARE(mView->beeps, 1);
    QCOMPARE(mView->messages.count(QStringLiteral("エラーが起きました...")), 1);

    // The lamp's forced close works.
    mLink->RbPortClose(true);
    QVERIFY(!mLink->mMcpOpen);
    QCOMPARE(mView->messages.last(), QStringLiteral("切断..."));
    QVERIFY(!mView->foceCloseVisible);

    // The controller comes back at the same place: the next command opens it.
    Emulator again;
    QVERIFY(again.start({QStringLiteral("--link"), link}));
    QVERIFY(mLink->Cmd_EXTROM_READ(0x000E, 2));
    QVERIFY(mLink->mMcpOpen);
    QVERIFY(waitFinished());
    const quint16 size = mModel.programSize();
    QCOMPARE(mLink->mReadData, QByteArray(1, char(size & 0xFF)) + QByteArray(1, char(size >> 8)));
    QCOMPARE(mView->beeps, 1);
    mLink->RbPortClose(true);
}

QTEST_GUILESS_MAIN(TestControllerLinkPty)
#include "tst_ControllerLinkPty.moc"
