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

// One qmc-emulator process, ended when destroyed.
class Emulator
{
public:
    ~Emulator()
    {
        if (mProcess.state() != QProcess::NotRunning) {
            mProcess.terminate();
            if (!mProcess.waitForFinished(5000))
                mProcess.kill();
            mProcess.waitForFinished(5000);
        }
    }

    // Reads the device path from its first line. The idle exit keeps a
    // crashed test from leaving it behind; no abandonment, so a loaded
    // machine pausing between two bytes cannot break an exchange.
    bool start(QStringList args)
    {
        args << "--exit-after-idle"
             << "30"
             << "--abandon-ms"
             << "0";
        mProcess.start(QStringLiteral(QMC_EMULATOR_PATH), args);
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
    void init();
    void cleanup();
    void identificationChain();
    void memoryWriteReadBack_data();
    void memoryWriteReadBack();
    void servoGroupRead();
    void unplugMidExchange();

private:
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
    mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
    mPref->mNotAutoDisconnect = true;
    mView = std::make_unique<RecordingView>();
    mLink = std::make_unique<ControllerLink>(mPref.get(), mView.get());
    mEmu = std::make_unique<Emulator>();
    mModel.powerOn();
}

void TestControllerLinkPty::cleanup()
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

// Chooses the port named "qmc" at the given path.
void TestControllerLinkPty::usePort(const QString& path)
{
    SerialPorts::setOverride({SerialPorts::deviceEntry(QStringLiteral("qmc"), path)});
    mPref->mPortInfo = SerialPortInfo();
    mPref->mPortInfo->mName = QStringLiteral("qmc");
}

bool TestControllerLinkPty::waitFinished()
{
    // A real event loop: QTest's polling waits would pace the exchange.
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
    // 16 replies up to the program information request, which rests.
    QTRY_COMPARE_WITH_TIMEOUT(mLink->PrgPB.Value, 16, 20000);
    QCOMPARE(mLink->mInfoCtrlr, QByteArray("QM4410"));
    // The checksum is the 16-bit sum of the program, low byte first.
    const quint16 sum = mModel.programChecksum();
    QCOMPARE(mLink->mInfoChecksum, QByteArray(1, char(sum & 0xFF)) + QByteArray(1, char(sum >> 8)));
    QCOMPARE(mLink->mMcpCmd, QByteArray("PROGRAM_INFORMATION"));
    QCOMPARE(mView->beeps, 0);
}

void TestControllerLinkPty::memoryWriteReadBack_data()
{
    QTest::addColumn<QByteArray>("code"); // the write code
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("data");
    QByteArray ramp;
    for (int i = 0; i < 40; ++i)
        ramp.append(char(i * 7 + 3));
    QTest::newRow("SRAM @0300") << H("F8") << 0x0300 << H("00017F80FEFF5AA5");
    QTest::newRow("SRAM up to FFFF") << H("F8") << 0xFFFD << H("112233");
    QTest::newRow("EXTROM across a page") << H("F4") << 0x10F0 << ramp;
    QTest::newRow("INTROM") << H("B4") << 0x10F0 << H("C35A");
}

void TestControllerLinkPty::memoryWriteReadBack()
{
    QFETCH(QByteArray, code);
    QFETCH(int, address);
    QFETCH(QByteArray, data);
    QVERIFY(mEmu->start({}));
    usePort(mEmu->mPath);
    const bool sram = code == mLink->cSRAM_WRITE, introm = code == mLink->cINTROM_WRITE;
    QVERIFY(sram     ? mLink->Cmd_SRAM_WRITE(address, data)
            : introm ? mLink->Cmd_INTROM_WRITE(address, data)
                     : mLink->Cmd_EXTROM_WRITE(address, data));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, data); // each stored byte is echoed
    QVERIFY(sram     ? mLink->Cmd_SRAM_READ(address, data.size())
            : introm ? mLink->Cmd_INTROM_READ(address, data.size())
                     : mLink->Cmd_EXTROM_READ(address, data.size()));
    QVERIFY(waitFinished());
    QCOMPARE(mLink->mReadData, data);
    QCOMPARE(mView->beeps, 0);
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

void TestControllerLinkPty::unplugMidExchange()
{
    const QString link = mDir->filePath(QStringLiteral("qmc-link"));
    QVERIFY(mEmu->start({"--hangup-after", "6", "--link", link}));
    usePort(link);

    // A read of four addresses, 16 line bytes: the line dies at the seventh.
    QVERIFY(mLink->Cmd_EXTROM_READ(0x0000, 4));
    QTRY_COMPARE_WITH_TIMEOUT(mView->beeps, 1, 20000);
    QCOMPARE(mView->messages.last(), QStringLiteral("エラーが起きました..."));
    QVERIFY(mView->foceCloseVisible);
    QVERIFY(!mLink->mMcpFinish);
    QVERIFY(mView->alerts.isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return mEmu->mProcess.state() == QProcess::NotRunning; }, 10000));
    // The dead line keeps signalling; it is reported once all the same.
    for (int i = 0; i < 200; ++i)
        QCoreApplication::processEvents();
    QCOMPARE(mView->beeps, 1);
    mLink->RbPortClose(true);
    QVERIFY(!mLink->mMcpOpen);
    QCOMPARE(mView->messages.last(), QStringLiteral("切断..."));

    // The controller comes back at the same place: the next command opens it.
    Emulator again;
    QVERIFY(again.start({"--link", link}));
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
