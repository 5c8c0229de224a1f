// The controller link against a scripted fake port: wire traces byte for
// byte, the exchange state after each reply, messages, alerts and progress.
#include "LinkTestSupport.h"

#include "FakeSerial.h"
#include "link/ControllerLink.h"
#include "settings/PreferClass.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Starter = std::function<void(ControllerLink&)>;
Q_DECLARE_METATYPE(Starter)

namespace {

QByteArray H(const char* hex)
{
    return QByteArray::fromHex(hex);
}

// Lets every reply that is already on its way arrive (the fake answers
// through zero-timers), without waiting on the clock.
void Settle()
{
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class TestControllerLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstByte_data();
    void firstByte();
    void directExchanges_data();
    void directExchanges();
    void memoryExchanges_data();
    void memoryExchanges();
    void identificationChain();
    void memoryExchangeWithAllowClose();
    void viewRunningEventLoop();
    void stateAfterEachReply();
    void rejectedArguments_data();
    void rejectedArguments();
    void acceptedRangeLimits_data();
    void acceptedRangeLimits();

    void replyIsHandledOnSignal();
    void backupPollFindsSilentData();
    void severalBytesReleaseOneByte();
    void emptyStreamWaits();
    void newStreamReplacesPending();
    void completedStreamKeepsProgress();
    void progressText();
    void replyWithNothingPending();
    void finishedSignal();
    void logOfCommand();
    void setLog();
    void unknownCommand_data();
    void unknownCommand();

    void autoDisconnect_data();
    void autoDisconnect();
    void portClose_data();
    void portClose();
    void openMessages();
    void openOnOpenLink();
    void openWithoutChosenPort();
    void openCaseInsensitive();
    void openLaterOfTwoEqualNames();
    void openStaleResolvedPort();
    void openNoPortsAtAll();
    void openFailure_data();
    void openFailure();
    void portSettingsRequest_data();
    void portSettingsRequest();
    void serialError();
    void vanishedDeviceReportedOnce();
    void foceCloseKeepsPortWithNotAutoDisconnect();

    void sequencerWaitsForFinish();
    void sequencerProgramSize_data();
    void sequencerProgramSize();
    void sequencerJobsThatEnd_data();
    void sequencerJobsThatEnd();
    void sequencerGetMoterReadsAllGroups();
    void stackWatch();
    void programReadOutCancelled();
    void programReadOut_data();
    void programReadOut();
    void programReadOutAsksForPort();
    void programReadOutWithoutLink();
    void silentView();

private:
    SerialPortEntry mEntry;
    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<FakeSerialDevice> mDev;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<RecordingView> mView;
    std::unique_ptr<ControllerLink> mLink;
};

void TestControllerLink::init()
{
    mDir = std::make_unique<QTemporaryDir>();
    QVERIFY(mDir->isValid());
    mDev = std::make_unique<FakeSerialDevice>();
    mEntry = mDev->entry(QStringLiteral("COM1"), QStringLiteral("in-1"), QStringLiteral("out-1"));
    SerialPorts::setOverride({mEntry});
    mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
    SerialPortInfo info;
    info.mName = QStringLiteral("COM1");
    mPref->mPortInfo = info;
    mPref->mNotAutoDisconnect = false;
    mView = std::make_unique<RecordingView>();
    mLink = std::make_unique<ControllerLink>(mPref.get(), mView.get());
}

void TestControllerLink::cleanup()
{
    mLink.reset();
    mView.reset();
    mPref.reset();
    Settle(); // backends closed by the link are deleted later
    mDev.reset();
    mDir.reset();
    SerialPorts::clearOverride();
}

// --- Transmission: the first byte and the state RbCmdSend leaves ------------

void TestControllerLink::firstByte_data()
{
    QTest::addColumn<QByteArray>("cmd");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("echo");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<QByteArray>("writeData");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<bool>("pollTimer");

    // Command table: first byte, echo, progress maximum.
    QTest::newRow("CONTROLER_INFORMATION")
        << QByteArray("CONTROLER_INFORMATION") << QByteArray() << 0 << H("F0") << H("F0") << 78
        << QByteArray() << -1 << false;
    QTest::newRow("BREAK") << QByteArray("BREAK") << QByteArray() << 0 << H("F3") << H("F3") << 0
                           << QByteArray() << -1 << false;
    QTest::newRow("STOP") << QByteArray("STOP") << QByteArray() << 0 << H("FA") << H("FA") << 0
                          << QByteArray() << -1 << false;
    QTest::newRow("RUN") << QByteArray("RUN") << QByteArray() << 0 << H("FB") << H("FB") << 0
                         << QByteArray() << -1 << false;
    QTest::newRow("RESET") << QByteArray("RESET") << QByteArray() << 0 << H("FC") << H("FC") << 0
                           << QByteArray() << -1 << false;
    // Only EC goes out; (129 + 127) / 128 + 3 = 5, (0 + 127) / 128 + 3 = 3.
    QTest::newRow("TRANSMITION 129")
        << QByteArray("TRANSMITION") << QByteArray(129, '\x11') << 0 << H("EC") << H("EC") << 5
        << QByteArray(129, '\x11') << 129 << false;
    QTest::newRow("DELETE 0") << QByteArray("DELETE") << QByteArray() << 0 << H("EC") << H("EC")
                              << 3 << QByteArray() << 0 << false;
    // Stream: maximum length - 2 (never below 0), the rest held back.
    QTest::newRow("STATUS 3 bytes") << QByteArray("STATUS_COMMAND") << H("414243") << 0 << H("41")
                                    << QByteArray() << 1 << H("4243") << -1 << true;
    QTest::newRow("STATUS 1 byte") << QByteArray("STATUS_COMMAND") << H("7F") << 0 << H("7F")
                                   << QByteArray() << 0 << QByteArray() << -1 << true;
    QTest::newRow("STATUS empty") << QByteArray("STATUS_COMMAND") << QByteArray() << 0
                                  << QByteArray() << QByteArray() << 0 << QByteArray() << -1
                                  << true;
    // Memory: the code byte, last address n + L - 1, maximum 4 L.
    QTest::newRow("SRAM read 2 @0140") << H("F7") << H("0000") << 0x140 << H("F7") << QByteArray()
                                       << 8 << H("0000") << 0x141 << false;
    QTest::newRow("SRAM write 1 @0140")
        << H("F8") << H("05") << 0x140 << H("F8") << QByteArray() << 4 << H("05") << 0x140 << false;
    QTest::newRow("INTROM read") << H("B3") << H("000000") << 0x10 << H("B3") << QByteArray() << 12
                                 << H("000000") << 0x12 << false;
    QTest::newRow("INTROM write") << H("B4") << H("7F") << 0x10 << H("B4") << QByteArray() << 4
                                  << H("7F") << 0x10 << false;
    QTest::newRow("EXTROM read") << H("F2") << H("0000") << 0x0E << H("F2") << QByteArray() << 8
                                 << H("0000") << 0x0F << false;
    QTest::newRow("EXTROM write") << H("F4") << H("7F") << 0x10 << H("F4") << QByteArray() << 4
                                  << H("7F") << 0x10 << false;
    QTest::newRow("memory L=0") << H("F7") << QByteArray() << 0x140 << H("F7") << QByteArray() << 0
                                << QByteArray() << 0x13F << false;
}

void TestControllerLink::firstByte()
{
    QFETCH(QByteArray, cmd);
    QFETCH(QByteArray, data);
    QFETCH(int, n);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, echo);
    QFETCH(int, maximum);
    QFETCH(QByteArray, writeData);
    QFETCH(int, dataSize);
    QFETCH(bool, pollTimer);

    mLink->mDataSize = -1;
    mLink->RbCmdSend(cmd, data, n);

    QCOMPARE(mDev->written(), written);
    QCOMPARE(mLink->mMcpCmd, cmd);
    QCOMPARE(mLink->mMcpEcho, echo);
    QCOMPARE(mLink->PrgPB.Maximum, maximum);
    QCOMPARE(mLink->PrgPB.Value, 0);
    QVERIFY(mLink->PrgPB.Visible);
    QVERIFY(mLink->PrgST.Visible);
    QCOMPARE(mLink->mWriteData, writeData);
    QCOMPARE(mLink->mDataSize, dataSize);
    QCOMPARE(mLink->SerialBackUpTimer.isActive(), pollTimer);
    QCOMPARE(mLink->mMcpStep, 0);
    QVERIFY(!mLink->mMcpFinish);
    QVERIFY(mLink->mMcpOpen);
    QVERIFY(mLink->mFoceCloseVisible);
    QVERIFY(mView->foceCloseVisible);
    QCOMPARE(mView->buttonsEnabled.last(), false);
    // The byte has been pushed out before RbCmdSend returned.
    QVERIFY(mDev->flushCount() >= 1);
    if (cmd == "CONTROLER_INFORMATION")
        QCOMPARE(mLink->mMsg, QStringLiteral("コントローラー情報取得中...9600 baud"));
}

// --- Direct commands and single-byte commands, to the end -------------------

void TestControllerLink::directExchanges_data()
{
    QTest::addColumn<Starter>("start");
    QTest::addColumn<QByteArray>("script"); // replies in order; then echo
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("readData");
    QTest::addColumn<int>("beeps");

    auto send = [](const char* cmd) {
        return Starter([cmd](ControllerLink& l) { l.RbCmdSend(cmd, QByteArray()); });
    };
    QTest::newRow("BREAK echoed") << send("BREAK") << QByteArray() << H("F3") << QByteArray() << 0;
    QTest::newRow("BREAK wrong echo") << send("BREAK") << H("00") << H("F3") << QByteArray() << 1;
    QTest::newRow("STOP echoed") << send("STOP") << QByteArray() << H("FA") << QByteArray() << 0;
    QTest::newRow("STOP wrong echo") << send("STOP") << H("FB") << H("FA") << QByteArray() << 1;
    QTest::newRow("RUN echoed") << send("RUN") << QByteArray() << H("FB") << QByteArray() << 0;
    QTest::newRow("RESET echoed") << send("RESET") << QByteArray() << H("FC") << QByteArray() << 0;
    QTest::newRow("RESET wrong echo") << send("RESET") << H("FF") << H("FC") << QByteArray() << 1;

    QTest::newRow("Cmd_Excute 41 42 43")
        << Starter([](ControllerLink& l) { l.Cmd_Excute(H("414243"), false); }) << H("010203")
        << H("414243") << H("010203") << 0;
    QTest::newRow("Cmd_PTP_SET on")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_PTP_SET(true)); }) << QByteArray()
        << H("B101") << H("B101") << 0;
    QTest::newRow("Cmd_PTP_SET off")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_PTP_SET(false)); }) << QByteArray()
        << H("B100") << H("B100") << 0;
    QTest::newRow("Cmd_IsMOVING") << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_IsMOVING()); })
                                  << H("B001") << H("B000") << H("B001") << 0;
    QTest::newRow("Cmd_SPEED 100") << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SPEED(100)); })
                                   << QByteArray() << H("B264") << H("B264") << 0;
    QTest::newRow("Cmd_SPEED_V 255")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SPEED_V(255)); }) << QByteArray()
        << H("E9FF") << H("E9FF") << 0;
    QTest::newRow("Cmd_SERVO_POS_GET 7")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SERVO_POS_GET(7)); }) << H("075A")
        << H("0700") << H("075A") << 0;
    QTest::newRow("Cmd_SERVO_POS_GET_GROUP 1")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SERVO_POS_GET_GROUP(1)); })
        << H("D4102030405060") << H("D4000000000000") << H("D4102030405060") << 0;
    QTest::newRow("Cmd_SERVO_POS_GET_GROUP 8")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SERVO_POS_GET_GROUP(8)); }) << QByteArray()
        << H("DB000000000000") << H("DB000000000000") << 0;
    QTest::newRow("Cmd_SERVO_POS_SET 2,128")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SERVO_POS_SET(2, 128)); }) << QByteArray()
        << H("E60280") << H("E60280") << 0;
    QTest::newRow("Cmd_SERVO_SET 5 off")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SERVO_SET(5, false)); }) << QByteArray()
        << H("E805") << H("E805") << 0;
    QTest::newRow("Cmd_SERVO_SET 5 on")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SERVO_SET(5, true)); }) << QByteArray()
        << H("E705") << H("E705") << 0;
    QTest::newRow("Cmd_SERVO_POS_SET 3,2,'90, 120'") << Starter([](ControllerLink& l) {
        QVERIFY(l.Cmd_SERVO_POS_SET(3, 2, QStringLiteral("90, 120")));
    }) << QByteArray() << H("E703E6035AE704E60478") << H("E703E6035AE704E60478")
                                                     << 0;
    QTest::newRow("Cmd_SERVO_POS_SET missing field is 0") << Starter([](ControllerLink& l) {
        QVERIFY(l.Cmd_SERVO_POS_SET(3, 2, QStringLiteral("90")));
    }) << QByteArray() << H("E703E6035AE704E60400") << H("E703E6035AE704E60400")
                                                          << 0;
    QTest::newRow("Cmd_SERVO_POS_SET fraction truncated") << Starter([](ControllerLink& l) {
        QVERIFY(l.Cmd_SERVO_POS_SET(0, 1, QStringLiteral(" 90.9 ")));
    }) << QByteArray() << H("E700E6005A") << H("E700E6005A")
                                                          << 0;
}

void TestControllerLink::directExchanges()
{
    QFETCH(Starter, start);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, readData);
    QFETCH(int, beeps);

    mDev->setReplier(ScriptedReplier(script));
    QSignalSpy finished(mLink.get(), &ControllerLink::mcpFinished);
    start(*mLink);
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    Settle();

    QCOMPARE(mDev->written(), written);
    QCOMPARE(mLink->mReadData, readData);
    QCOMPARE(mView->beeps, beeps);
    QCOMPARE(finished.count(), 1);
    QVERIFY(mLink->mWriteData.isEmpty());
    QVERIFY(!mLink->SerialBackUpTimer.isActive());
    // The single-byte commands always close; direct commands keep the link
    // open (only Cmd_Excute with allowClose closes after a stream).
    const bool single = written.size() == 1;
    QCOMPARE(mLink->mMcpOpen, !single);
    QCOMPARE(mDev->closeCount(), single ? 1 : 0);
    if (single) {
        QCOMPARE(mLink->mMsg, QStringLiteral("切断..."));
        QVERIFY(mLink->mMcpCmd.isEmpty());
        QCOMPARE(mLink->mMcpStep, -1);
        // Their reply does not advance the progress value.
        QCOMPARE(mLink->PrgPB.Value, 0);
        QVERIFY(!mLink->PrgPB.Visible);
    } else {
        QCOMPARE(mLink->mMcpCmd, QByteArray("STATUS_COMMAND"));
        // Finished streams leave the bar shown at 0 of 0.
        QVERIFY(mLink->PrgPB.Visible);
        QCOMPARE(mLink->PrgPB.Value, 0);
        QCOMPARE(mLink->PrgPB.Maximum, 0);
    }
}

// --- Memory exchanges, to the end ------------------------------------------

void TestControllerLink::memoryExchanges_data()
{
    QTest::addColumn<Starter>("start");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("readData");
    QTest::addColumn<bool>("finishes");

    // Replies are numbered so the collected ones can be told apart: the
    // fourth reply of each static RAM / ROM read address is the memory byte.
    QTest::newRow("SRAM read 2 @0140")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SRAM_READ(0x140, 2)); })
        << H("F74001AAF74101BB") << H("F7400100F7410100") << H("AABB") << true;
    QTest::newRow("SRAM write 05 @0140")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SRAM_WRITE(0x140, H("05"))); })
        << H("F8400105") << H("F8400105") << H("05") << true;
    // For a static RAM write only the last byte of each fourth reply counts.
    QTest::newRow("SRAM write keeps last byte of reply")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SRAM_WRITE(0x140, H("05"))); })
        << H("F84001") << H("F8400105") << H("05") << true;
    QTest::newRow("SRAM write 2 across page")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SRAM_WRITE(0x1FF, H("1122"))); })
        << QByteArray() << H("F8FF0111F8000222") << H("1122") << true;
    QTest::newRow("EXTROM write 7F @0010")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_EXTROM_WRITE(0x10, H("7F"))); })
        << H("F40B10007F99") << H("F40B10007F7F") << H("99") << true;
    QTest::newRow("INTROM write 7F @0010")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_INTROM_WRITE(0x10, H("7F"))); })
        << QByteArray() << H("B44B10007F7F") << H("7F") << true;
    QTest::newRow("EXTROM write 2 across page")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_EXTROM_WRITE(0xFF, H("1122"))); })
        << QByteArray() << H("F40BFF001111F40B00012222") << H("1122") << true;
    QTest::newRow("EXTROM read size bytes")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_EXTROM_READ(0x0E, 2)); })
        << H("F20E0034F20F0012") << H("F20E0000F20F0000") << H("3412") << true;
    QTest::newRow("INTROM read last address")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_INTROM_READ(0xFFFF, 1)); })
        << H("B3FFFF42") << H("B3FFFF00") << H("42") << true;
    QTest::newRow("Get_PROGRAM_SIZE")
        << Starter([](ControllerLink& l) { l.Get_PROGRAM_SIZE(); }) << H("F20E0034F20F0012")
        << H("F20E0000F20F0000") << H("3412") << true;
    QTest::newRow("Get_PROGRAM_CODE 3")
        << Starter([](ControllerLink& l) { l.Get_PROGRAM_CODE(3); })
        << H("F2000001F2010002F2020003") << H("F2000000F2010000F2020000") << H("010203") << true;
    // Empty data: code and address go out, the data step writes nothing.
    QTest::newRow("SRAM write empty stalls")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SRAM_WRITE(0x140, QByteArray())); })
        << QByteArray() << H("F84001") << QByteArray() << false;
    QTest::newRow("EXTROM write empty stalls")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_EXTROM_WRITE(0x140, QByteArray())); })
        << QByteArray() << H("F40B4001") << QByteArray() << false;
    QTest::newRow("TRANSMITION rests after EC")
        << Starter([](ControllerLink& l) { l.RbCmdSend("TRANSMITION", H("010203")); })
        << QByteArray() << H("EC") << QByteArray() << false;
    QTest::newRow("Cmd_SERVO_POS_SET count 0 sends nothing") << Starter([](ControllerLink& l) {
        QVERIFY(l.Cmd_SERVO_POS_SET(3, 0, QStringLiteral("90")));
    }) << QByteArray() << QByteArray() << QByteArray() << false;
}

void TestControllerLink::memoryExchanges()
{
    QFETCH(Starter, start);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, readData);
    QFETCH(bool, finishes);

    mDev->setReplier(ScriptedReplier(script));
    start(*mLink);
    if (finishes)
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(mDev->written(), written, 5000);
    Settle();

    QCOMPARE(mDev->written(), written);
    QCOMPARE(mLink->mReadData, readData);
    QCOMPARE(mLink->mMcpFinish, finishes);
    QCOMPARE(mView->beeps, 0);
    // Memory and direct commands never close the link on their own.
    QVERIFY(mLink->mMcpOpen);
    QCOMPARE(mDev->closeCount(), 0);
}

void TestControllerLink::identificationChain()
{
    // Replies: to F0, then r1..r6 of the handshake, then the checksum read:
    // F7 F2 04 00 -> ck1, F7 F3 04 00 -> ck2, then F2.
    mDev->setReplier(
        ScriptedReplier(H("F0") + QByteArray("QM4410") + H("F7F20412") + H("F7F30434") + H("55")));
    mLink->RbCmdSend("CONTROLER_INFORMATION", QByteArray());
    const QByteArray expected = H("F000") + QByteArray("QM441") + H("F7F20400F7F30400F2");
    QTRY_COMPARE_WITH_TIMEOUT(mDev->written(), expected, 5000);
    Settle();

    QCOMPARE(mDev->written(), expected);
    QCOMPARE(mLink->mInfoCtrlr, QByteArray("QM4410"));
    QCOMPARE(mLink->mInfoChecksum, H("1234"));
    QVERIFY(mLink->mInfoProg.isEmpty());
    QCOMPARE(mLink->mMcpCmd, QByteArray("PROGRAM_INFORMATION"));
    QCOMPARE(mLink->mMcpAddr, 0);
    QCOMPARE(mLink->mMcpStep, 0);
    QVERIFY(!mLink->mMcpFinish);
    QVERIFY(mLink->mMcpOpen);
    QCOMPARE(mLink->mMsg, QStringLiteral("コントローラー情報取得中...9600 baud"));
    // 16 replies, each advancing the bar (maximum 78).
    QCOMPARE(mLink->PrgPB.Value, 16);
    QCOMPARE(mLink->PrgST.Text, QStringLiteral("16/78"));
}

void TestControllerLink::memoryExchangeWithAllowClose()
{
    // A remote command whose open failed leaves allowClose set; the next
    // exchange then closes the link at its end.
    mLink->mAllowClose = true;
    mDev->setEcho();
    QVERIFY(mLink->Cmd_SRAM_WRITE(0x141, H("07")));
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    QCOMPARE(mDev->written(), H("F8410107"));
    QVERIFY(!mLink->mMcpOpen);
    QCOMPARE(mDev->closeCount(), 1);
    QVERIFY(!mLink->mAllowClose);
}

void TestControllerLink::viewRunningEventLoop()
{
    // A view that runs the event loop while it updates (as a window may)
    // must not make the link handle a reply inside the handling of another.
    int depth = 0;
    int maxDepth = 0;
    mView->onProgress = [&] {
        maxDepth = std::max(maxDepth, ++depth);
        QCoreApplication::processEvents();
        --depth;
    };
    mDev->setReplier(ScriptedReplier(H("F7100011F7110022F7120033")));
    QVERIFY(mLink->Cmd_SRAM_READ(0x10, 3));
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    mView->onProgress = nullptr;
    Settle();
    QCOMPARE(mDev->written(), H("F7100000F7110000F7120000"));
    QCOMPARE(mLink->mReadData, H("112233"));
    // Replies that arrived meanwhile were handled after, not inside.
    QCOMPARE(maxDepth, 1);
    // Each of the eleven replies before the last advanced the bar once.
    QList<int> values;
    for (const ProgressBarState& p : mView->progress)
        values.append(p.Value);
    QCOMPARE(values.mid(values.indexOf(1)).mid(0, 11),
             (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

void TestControllerLink::stateAfterEachReply()
{
    // A static RAM read of 2 bytes from 0140, fed reply by reply.
    QVERIFY(mLink->Cmd_SRAM_READ(0x140, 2));
    struct Step
    {
        char reply;
        const char* writtenHex;
        int step;
        int addr;
        bool finished;
    };
    const Step steps[] = {
        {'\x01', "F740", 1, 0x140, false},
        {'\x02', "F74001", 2, 0x140, false},
        {'\x03', "F7400100", 3, 0x140, false},
        {'\xAA', "F7400100F7", 0, 0x141, false},
        {'\x05', "F7400100F741", 1, 0x141, false},
        {'\x06', "F7400100F74101", 2, 0x141, false},
        {'\x07', "F7400100F7410100", 3, 0x141, false},
        {'\xBB', "F7400100F7410100", 3, 0x141, true},
    };
    int n = 0;
    for (const Step& s : steps) {
        mDev->feed(QByteArray(1, s.reply));
        ++n;
        QCOMPARE(mDev->written(), H(s.writtenHex));
        QCOMPARE(mLink->mMcpStep, s.step);
        QCOMPARE(mLink->mMcpAddr, s.addr);
        QCOMPARE(mLink->mMcpFinish, s.finished);
        if (!s.finished)
            QCOMPARE(mLink->PrgST.Text, QStringLiteral("%1/8").arg(n));
    }
    QCOMPARE(mLink->mReadData, H("AABB"));
    QVERIFY(mLink->mWriteData.isEmpty());
}

// --- Arguments that do not fit the line -------------------------------------

void TestControllerLink::rejectedArguments_data()
{
    QTest::addColumn<Starter>("start");

    auto rejects = [](std::function<bool(ControllerLink&)> f) {
        return Starter([f](ControllerLink& l) { QVERIFY(!f(l)); });
    };
    QTest::newRow("SPEED 256") << rejects([](ControllerLink& l) { return l.Cmd_SPEED(256); });
    QTest::newRow("SPEED -1") << rejects([](ControllerLink& l) { return l.Cmd_SPEED(-1); });
    QTest::newRow("SPEED_V 300") << rejects([](ControllerLink& l) { return l.Cmd_SPEED_V(300); });
    QTest::newRow("SERVO_POS_GET -1")
        << rejects([](ControllerLink& l) { return l.Cmd_SERVO_POS_GET(-1); });
    QTest::newRow("SERVO_POS_GET 256")
        << rejects([](ControllerLink& l) { return l.Cmd_SERVO_POS_GET(256); });
    // D3 + group must stay a byte.
    QTest::newRow("GROUP 45") << rejects(
        [](ControllerLink& l) { return l.Cmd_SERVO_POS_GET_GROUP(45); });
    QTest::newRow("GROUP -1") << rejects(
        [](ControllerLink& l) { return l.Cmd_SERVO_POS_GET_GROUP(-1); });
    QTest::newRow("SERVO_POS_SET pos 256")
        << rejects([](ControllerLink& l) { return l.Cmd_SERVO_POS_SET(1, 256); });
    QTest::newRow("SERVO_POS_SET ch -5")
        << rejects([](ControllerLink& l) { return l.Cmd_SERVO_POS_SET(-5, 10); });
    QTest::newRow("SERVO_SET 999")
        << rejects([](ControllerLink& l) { return l.Cmd_SERVO_SET(999, true); });
    QTest::newRow("POS_SET list channel past 255") << rejects(
        [](ControllerLink& l) { return l.Cmd_SERVO_POS_SET(255, 2, QStringLiteral("1,2")); });
    QTest::newRow("POS_SET list position 300") << rejects(
        [](ControllerLink& l) { return l.Cmd_SERVO_POS_SET(1, 2, QStringLiteral("10,300")); });
    QTest::newRow("POS_SET list position -1") << rejects(
        [](ControllerLink& l) { return l.Cmd_SERVO_POS_SET(1, 1, QStringLiteral("-1")); });
    QTest::newRow("POS_SET list not a number") << rejects(
        [](ControllerLink& l) { return l.Cmd_SERVO_POS_SET(1, 2, QStringLiteral("10,abc")); });
    // Address + length - 1 past FFFF.
    QTest::newRow("SRAM read FFFF+2")
        << rejects([](ControllerLink& l) { return l.Cmd_SRAM_READ(0xFFFF, 2); });
    QTest::newRow("INTROM read FFF0+17")
        << rejects([](ControllerLink& l) { return l.Cmd_INTROM_READ(0xFFF0, 17); });
    QTest::newRow("EXTROM read 0+65537")
        << rejects([](ControllerLink& l) { return l.Cmd_EXTROM_READ(0, 0x10001); });
    QTest::newRow("EXTROM read huge length")
        << rejects([](ControllerLink& l) { return l.Cmd_EXTROM_READ(0x100, 0x7FFFFFFF); });
    QTest::newRow("SRAM write FFFE+3")
        << rejects([](ControllerLink& l) { return l.Cmd_SRAM_WRITE(0xFFFE, H("010203")); });
    QTest::newRow("INTROM write FFFF+2")
        << rejects([](ControllerLink& l) { return l.Cmd_INTROM_WRITE(0xFFFF, H("0102")); });
    QTest::newRow("EXTROM write FFFD+4")
        << rejects([](ControllerLink& l) { return l.Cmd_EXTROM_WRITE(0xFFFD, H("01020304")); });
    QTest::newRow("SRAM read address 10000")
        << rejects([](ControllerLink& l) { return l.Cmd_SRAM_READ(0x10000, 0); });
    QTest::newRow("SRAM read address -1")
        << rejects([](ControllerLink& l) { return l.Cmd_SRAM_READ(-1, 1); });
    QTest::newRow("SRAM read length -1")
        << rejects([](ControllerLink& l) { return l.Cmd_SRAM_READ(0x100, -1); });
    // RbCmdSend itself refuses a memory code with such a range.
    QTest::newRow("RbCmdSend F4 past FFFF")
        << Starter([](ControllerLink& l) { l.RbCmdSend(l.cEXTROM_WRITE, H("0102"), 0xFFFF); });
}

void TestControllerLink::rejectedArguments()
{
    QFETCH(Starter, start);

    // A finished exchange whose result must survive the refused command.
    mDev->setEcho();
    QVERIFY(mLink->Cmd_IsMOVING());
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    Settle();
    mDev->clearWritten();
    mLink->mMcpLog = QStringLiteral("previous");
    const QByteArray readData = mLink->mReadData;
    const QByteArray cmd = mLink->mMcpCmd;
    const int progressPushes = mView->progress.size();
    const int opens = mDev->openCount();

    start(*mLink);
    Settle();

    QVERIFY(mDev->written().isEmpty());
    QCOMPARE(mLink->mReadData, readData);
    QVERIFY(mLink->mMcpFinish);
    QCOMPARE(mLink->mMcpCmd, cmd);
    QCOMPARE(mLink->mMcpLog, QStringLiteral("previous"));
    QCOMPARE(mView->progress.size(), progressPushes);
    QCOMPARE(mDev->openCount(), opens);
    QCOMPARE(mView->beeps, 0);
}

void TestControllerLink::acceptedRangeLimits_data()
{
    QTest::addColumn<Starter>("start");
    QTest::addColumn<QByteArray>("written");

    QTest::newRow("SRAM read FFFF+1")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SRAM_READ(0xFFFF, 1)); }) << H("F7FFFF00");
    QTest::newRow("EXTROM write FFFE+2")
        << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_EXTROM_WRITE(0xFFFE, H("0102"))); })
        << H("F40BFEFF0101F40BFFFF0202");
    QTest::newRow("SPEED 0") << Starter([](ControllerLink& l) { QVERIFY(l.Cmd_SPEED(0)); })
                             << H("B200");
    QTest::newRow("GROUP 44") << Starter([](ControllerLink& l) {
        QVERIFY(l.Cmd_SERVO_POS_GET_GROUP(44));
    }) << H("FF000000000000");
    QTest::newRow("POS_SET list up to 255") << Starter([](ControllerLink& l) {
        QVERIFY(l.Cmd_SERVO_POS_SET(254, 2, QStringLiteral("0,255")));
    }) << H("E7FEE6FE00E7FFE6FFFF");
}

void TestControllerLink::acceptedRangeLimits()
{
    QFETCH(Starter, start);
    QFETCH(QByteArray, written);
    mDev->setEcho();
    start(*mLink);
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    QCOMPARE(mDev->written(), written);
}

// --- Reception ---------------------------------------------------------------

void TestControllerLink::replyIsHandledOnSignal()
{
    // The next byte goes out as soon as the port signals the reply, not at
    // the next backup poll: nothing else runs in between here.
    mLink->Cmd_Excute(H("414243"), false);
    QCOMPARE(mDev->written(), H("41"));
    QVERIFY(mLink->SerialBackUpTimer.isActive());
    mDev->feed(H("01"));
    QCOMPARE(mDev->written(), H("4142"));
    mDev->feed(H("02"));
    QCOMPARE(mDev->written(), H("414243"));
    mDev->feed(H("03"));
    QVERIFY(mLink->mMcpFinish);
    QCOMPARE(mLink->mReadData, H("010203"));
    QVERIFY(!mLink->SerialBackUpTimer.isActive());
}

void TestControllerLink::backupPollFindsSilentData()
{
    mLink->Cmd_Excute(H("4142"), false);
    QCOMPARE(mDev->written(), H("41"));
    mDev->feedSilently(H("01"));
    QCOMPARE(mDev->written(), H("41"));
    // Found by the 10 ms poll.
    QTRY_COMPARE_WITH_TIMEOUT(mDev->written(), H("4142"), 5000);
    // Polls with nothing to read give the port its poll call.
    const int polls = mDev->pollCount();
    QTRY_VERIFY_WITH_TIMEOUT(mDev->pollCount() > polls, 5000);
    mDev->feedSilently(H("02"));
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    QCOMPARE(mLink->mReadData, H("0102"));
    QVERIFY(!mLink->SerialBackUpTimer.isActive());
}

void TestControllerLink::severalBytesReleaseOneByte()
{
    mLink->Cmd_Excute(H("41424344"), false);
    mDev->feed(H("010203"));
    QCOMPARE(mDev->written(), H("4142"));
    QCOMPARE(mLink->mReadData, H("010203"));
    QCOMPARE(mLink->mWriteData, H("4344"));
    QCOMPARE(mLink->PrgPB.Value, 1);
}

void TestControllerLink::emptyStreamWaits()
{
    mLink->Cmd_Excute(QByteArray(), true);
    QVERIFY(mDev->written().isEmpty());
    QVERIFY(mLink->SerialBackUpTimer.isActive());
    QVERIFY(mLink->PrgPB.Visible);
    QCOMPARE(mLink->PrgPB.Maximum, 0);
    QVERIFY(mLink->mMcpOpen);
    QCOMPARE(mLink->mMcpCmd, QByteArray("STATUS_COMMAND"));
    // Keeps polling for a reply that does not come.
    const int polls = mDev->pollCount();
    QTRY_VERIFY_WITH_TIMEOUT(mDev->pollCount() >= polls + 3, 5000);
    QVERIFY(!mLink->mMcpFinish);
    // Any reply ends it, and allowClose closes the link.
    mDev->feed(H("00"));
    QVERIFY(mLink->mMcpFinish);
    QVERIFY(!mLink->mMcpOpen);
}

void TestControllerLink::newStreamReplacesPending()
{
    mLink->Cmd_Excute(H("414243"), false);
    mDev->feed(H("01"));
    QCOMPARE(mDev->written(), H("4142"));
    mLink->Cmd_Excute(H("5152"), false);
    QCOMPARE(mDev->written(), H("414251"));
    QCOMPARE(mLink->mWriteData, H("52"));
    mDev->setEcho();
    mDev->feed(H("02"));
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    Settle();
    // 43 of the first stream never went out.
    QCOMPARE(mDev->written(), H("41425152"));
    QCOMPARE(mLink->mReadData, H("0252"));
}

void TestControllerLink::completedStreamKeepsProgress()
{
    mLink->Cmd_Excute(H("41424344"), false); // maximum 2
    mDev->feed(H("01"));
    mDev->feed(H("02"));
    QCOMPARE(mLink->PrgST.Text, QStringLiteral("2/2"));
    mDev->feed(H("03"));
    QCOMPARE(mLink->PrgST.Text, QStringLiteral("3/2"));
    mDev->feed(H("04"));
    QVERIFY(mLink->mMcpFinish);
    QVERIFY(mLink->mMcpOpen);
    QVERIFY(mLink->PrgPB.Visible);
    QCOMPARE(mLink->PrgPB.Value, 0);
    QCOMPARE(mLink->PrgPB.Maximum, 0);
    QCOMPARE(mLink->PrgST.Text, QStringLiteral("3/2"));
    QCOMPARE(mView->countTexts.last().Text, QStringLiteral("3/2"));
    QVERIFY(mView->progress.last().Visible);
}

void TestControllerLink::progressText()
{
    QVERIFY(mLink->Cmd_SRAM_READ(0x10, 3));
    mDev->feed(H("00"));
    QCOMPARE(mLink->PrgST.Text, QStringLiteral("1/12"));
    mDev->feed(H("00"));
    mDev->feed(H("00"));
    QCOMPARE(mLink->PrgST.Text, QStringLiteral("3/12"));
    QCOMPARE(mView->countTexts.last().Text, QStringLiteral("3/12"));
    QCOMPARE(mView->progress.last().Value, 3);
    QCOMPARE(mView->progress.last().Maximum, 12);

    // Maximum 0: the text stays empty whatever the value.
    mLink->Cmd_Excute(H("41424344"), false);
    QCOMPARE(mLink->PrgPB.Maximum, 2);
    mLink->Cmd_Excute(H("4142"), false);
    QCOMPARE(mLink->PrgPB.Maximum, 0);
    mDev->feed(H("00"));
    QCOMPARE(mLink->PrgPB.Value, 1);
    QVERIFY(mLink->PrgST.Text.isEmpty());
}

void TestControllerLink::replyWithNothingPending()
{
    QVERIFY(mLink->RbPortOpen());
    mPref->mNotAutoDisconnect = true;
    mLink->RbPortClose(false);
    QVERIFY(mLink->mMcpCmd.isEmpty());
    mDev->feed(H("55"));
    QVERIFY(mDev->written().isEmpty());
    QCOMPARE(mLink->PrgPB.Value, 1);
    QVERIFY(mLink->mReadData.isEmpty());
    QCOMPARE(mView->beeps, 0);
}

void TestControllerLink::finishedSignal()
{
    QSignalSpy finished(mLink.get(), &ControllerLink::mcpFinished);
    // A listener may start the next command at once.
    int started = 0;
    connect(mLink.get(), &ControllerLink::mcpFinished, this, [&] {
        if (started++ == 0)
            mLink->Cmd_Excute(H("61"), false);
    });
    mDev->setEcho();
    mLink->Cmd_Excute(H("4142"), false);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 5000);
    Settle();
    QCOMPARE(mDev->written(), H("414261"));
    QCOMPARE(mLink->mReadData, H("61"));
    QCOMPARE(mLink->PrgPB.Value, 0);
    QCOMPARE(finished.count(), 2);
}

void TestControllerLink::logOfCommand()
{
    mLink->mMcpLog = QStringLiteral("old");
    mLink->RbCmdSend("TRANSMITION", H("0102"));
    QCOMPARE(mLink->mMcpLog, QStringLiteral("TRANSMITION\rW: EC\r"));
    QCOMPARE(mLink->mDataSize, 2);

    // Every command starts with an empty log, even one that cannot open.
    mPref->mNotAutoDisconnect = false;
    mLink->RbPortClose(true);
    mDev->setOpenFailure(SerialError::Busy);
    mLink->Cmd_Excute(H("01"), true);
    QVERIFY(mLink->mMcpLog.isEmpty());
    QVERIFY(!mLink->PrgPB.Visible);
    QVERIFY(!mLink->PrgST.Visible);
}

void TestControllerLink::setLog()
{
    mLink->mMcpLog.clear();
    mLink->SetLog(QByteArray(), QByteArray());
    mLink->SetLog(QString());
    QVERIFY(mLink->mMcpLog.isEmpty());
    mLink->SetLog(H("01AB"), QByteArray());
    QCOMPARE(mLink->mMcpLog, QStringLiteral("R: 01AB\r"));
    mLink->SetLog(H("00"), H("0F"));
    QCOMPARE(mLink->mMcpLog, QStringLiteral("R: 01AB\rR: 00\rW: 0F\r"));
    mLink->SetLog(QStringLiteral("DELETE"));
    QCOMPARE(mLink->mMcpLog, QStringLiteral("R: 01AB\rR: 00\rW: 0F\rDELETE\r"));
}

void TestControllerLink::unknownCommand_data()
{
    QTest::addColumn<bool>("notAutoDisconnect");
    QTest::newRow("auto disconnect") << false;
    QTest::newRow("NotAutoDisconnect") << true;
}

void TestControllerLink::unknownCommand()
{
    QFETCH(bool, notAutoDisconnect);
    mPref->mNotAutoDisconnect = notAutoDisconnect;
    mLink->RbCmdSend("NO_SUCH_COMMAND", H("01"));
    QVERIFY(mDev->written().isEmpty());
    QVERIFY(mLink->mMcpCmd.isEmpty());
    QCOMPARE(mLink->mMcpStep, -1);
    QVERIFY(!mLink->PrgPB.Visible);
    QVERIFY(mLink->PrgST.Text.isEmpty());
    QCOMPARE(mLink->mMcpOpen, notAutoDisconnect);
    QCOMPARE(mDev->isOpen(), notAutoDisconnect);
    QCOMPARE(mLink->mMsg,
             notAutoDisconnect ? QStringLiteral("接続中...") : QStringLiteral("切断..."));
}

// --- Connection -------------------------------------------------------------

void TestControllerLink::autoDisconnect_data()
{
    QTest::addColumn<bool>("notAutoDisconnect");
    QTest::addColumn<bool>("allowClose");
    QTest::addColumn<bool>("openAfter");
    QTest::addColumn<QString>("message");

    QTest::newRow("closes after a remote command") << false << true << false << "切断...";
    QTest::newRow("NotAutoDisconnect keeps it open") << true << true << true << "接続中...";
    QTest::newRow("no allowClose keeps it open") << false << false << true << "接続OK... 9600 baud";
}

void TestControllerLink::autoDisconnect()
{
    QFETCH(bool, notAutoDisconnect);
    QFETCH(bool, allowClose);
    QFETCH(bool, openAfter);
    QFETCH(QString, message);

    mPref->mNotAutoDisconnect = notAutoDisconnect;
    mDev->setEcho();
    for (int round = 1; round <= 2; ++round) {
        mLink->Cmd_Excute(H("2A"), allowClose);
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
        Settle();
        QCOMPARE(mLink->mMcpOpen, openAfter);
        QCOMPARE(mDev->isOpen(), openAfter);
        QCOMPARE(mLink->mMsg, message);
        QVERIFY(!mLink->mAllowClose);
        // A closed link is opened again by the next command.
        QCOMPARE(mDev->openCount(), openAfter ? 1 : round);
    }
    QCOMPARE(mDev->written(), H("2A2A"));
}

void TestControllerLink::portClose_data()
{
    QTest::addColumn<bool>("wasOpen");
    QTest::addColumn<bool>("notAutoDisconnect");
    QTest::addColumn<bool>("force");
    QTest::addColumn<bool>("openAfter");
    QTest::addColumn<QString>("message"); // empty: none shown
    QTest::addColumn<int>("closeCalls");

    QTest::newRow("open, auto, not forced") << true << false << false << false << "切断..." << 1;
    QTest::newRow("open, auto, forced") << true << false << true << false << "切断..." << 1;
    QTest::newRow("open, keep, not forced") << true << true << false << true << "接続中..." << 0;
    QTest::newRow("open, keep, forced") << true << true << true << false << "切断..." << 1;
    QTest::newRow("closed, auto") << false << false << false << false << QString() << 0;
    QTest::newRow("closed, forced") << false << true << true << false << QString() << 0;
}

void TestControllerLink::portClose()
{
    QFETCH(bool, wasOpen);
    QFETCH(bool, notAutoDisconnect);
    QFETCH(bool, force);
    QFETCH(bool, openAfter);
    QFETCH(QString, message);
    QFETCH(int, closeCalls);

    if (wasOpen) {
        mLink->Cmd_Excute(H("41"), false);
        QVERIFY(mLink->mMcpOpen);
        QVERIFY(mLink->mFoceCloseVisible);
    } else {
        mLink->SetFoceCloseVisible(true);
    }
    mLink->mAllowClose = true;
    mLink->StackTimer.start();
    mPref->mNotAutoDisconnect = notAutoDisconnect;
    mView->messages.clear();
    mView->buttonsEnabled.clear();

    mLink->RbPortClose(force);

    QCOMPARE(mLink->mMcpOpen, openAfter);
    QCOMPARE(mDev->isOpen(), openAfter);
    QCOMPARE(mDev->closeCount(), closeCalls);
    if (message.isEmpty())
        QVERIFY(mView->messages.isEmpty());
    else
        QCOMPARE(mView->messages, QStringList{message});
    // The button stays only when the port does.
    QCOMPARE(mLink->mFoceCloseVisible, openAfter);
    QCOMPARE(mView->foceCloseVisible, openAfter);
    QVERIFY(!mLink->mAllowClose);
    QVERIFY(mLink->mMcpCmd.isEmpty());
    QCOMPARE(mLink->mMcpStep, -1);
    QVERIFY(!mLink->PrgPB.Visible);
    QVERIFY(!mLink->PrgST.Visible);
    QCOMPARE(mView->buttonsEnabled, QList<bool>{true});
    QVERIFY(!mLink->StackTimer.isActive());
    QCOMPARE(mLink->MySerial->baud(), 9600);
}

void TestControllerLink::openMessages()
{
    QVERIFY(mLink->RbPortOpen());
    QCOMPARE(mView->messages,
             (QStringList{QStringLiteral("ポート検索..."), QStringLiteral("COM1に接続します..."),
                          QStringLiteral("接続OK... 9600 baud")}));
    QVERIFY(mLink->mMcpOpen);
    QCOMPARE(mDev->openCount(), 1);
    QCOMPARE(mDev->lastBaud(), 9600);
    QVERIFY(mView->alerts.isEmpty());
    QCOMPARE(mView->beeps, 0);
    // The open port's driver names are remembered (in memory).
    QCOMPARE(mPref->mPortInfo->mInputDriverName, QStringLiteral("in-1"));
    QCOMPARE(mPref->mPortInfo->mOutputDriverName, QStringLiteral("out-1"));
    QCOMPARE(mLink->mSerialPort.name, QStringLiteral("COM1"));
}

void TestControllerLink::openOnOpenLink()
{
    QVERIFY(mLink->RbPortOpen());
    mView->messages.clear();
    mLink->SetMsg(QStringLiteral("x"));
    SerialPorts::setOverride({});
    QVERIFY(mLink->RbPortOpen());
    QCOMPARE(mLink->mMsg, QStringLiteral("x"));
    QCOMPARE(mDev->openCount(), 1);
    QCOMPARE(mLink->mSerialPort.name, QStringLiteral("COM1"));
}

void TestControllerLink::openWithoutChosenPort()
{
    mPref->mPortInfo.reset();
    QVERIFY(!mLink->RbPortOpen());
    QVERIFY(mView->messages.isEmpty());
    QVERIFY(mView->alerts.isEmpty());
    QCOMPARE(mView->beeps, 0);
    QCOMPARE(mView->portSettingsRequests, 0);
    QCOMPARE(mDev->openCount(), 0);
}

void TestControllerLink::openCaseInsensitive()
{
    mPref->mPortInfo->mName = QStringLiteral("com1");
    QVERIFY(mLink->RbPortOpen());
    QCOMPARE(mDev->openCount(), 1);
    QCOMPARE(mView->messages.at(1), QStringLiteral("COM1に接続します..."));
}

void TestControllerLink::openLaterOfTwoEqualNames()
{
    FakeSerialDevice first;
    FakeSerialDevice other;
    FakeSerialDevice second;
    SerialPorts::setOverride({first.entry(QStringLiteral("ttyUSB0"), QStringLiteral("a")),
                              other.entry(QStringLiteral("ttyS0")),
                              second.entry(QStringLiteral("TTYUSB0"), QStringLiteral("b"))});
    mPref->mPortInfo->mName = QStringLiteral("ttyUSB0");
    QVERIFY(mLink->RbPortOpen());
    QCOMPARE(first.openCount(), 0);
    QCOMPARE(other.openCount(), 0);
    QCOMPARE(second.openCount(), 1);
    QCOMPARE(mPref->mPortInfo->mInputDriverName, QStringLiteral("b"));
    mLink->RbPortClose(true);
    Settle();
}

void TestControllerLink::openStaleResolvedPort()
{
    FakeSerialDevice other;
    SerialPorts::setOverride({mEntry, other.entry(QStringLiteral("COM2"))});
    QVERIFY(mLink->RbPortOpen());
    mLink->RbPortClose(true);
    // The user chose another port: the resolved one is forgotten and searched.
    mPref->mPortInfo->mName = QStringLiteral("COM2");
    mView->messages.clear();
    QVERIFY(mLink->RbPortOpen());
    QCOMPARE(other.openCount(), 1);
    QCOMPARE(mDev->openCount(), 1);
    QCOMPARE(mView->messages.first(), QStringLiteral("ポート検索..."));
    mLink->RbPortClose(true);
    Settle();
}

void TestControllerLink::openNoPortsAtAll()
{
    SerialPorts::setOverride({});
    QVERIFY(!mLink->RbPortOpen());
    QVERIFY(!mView->messages.contains(QStringLiteral("ポート検索...")));
    QCOMPARE(mView->alerts.size(), 1);
    const RecordingView::AlertCall a = mView->alerts.first();
    QCOMPARE(a.icon, 2);
    QCOMPARE(a.action, QStringLiteral("OK"));
    QVERIFY(a.cancel.isEmpty());
    QVERIFY(a.alternate.isEmpty());
    QCOMPARE(a.message, QStringLiteral("コントローラーに接続できませんでした..."));
    QCOMPARE(a.explanation, QStringLiteral("ケーブルが接続されていない可能性があります..."));
    QVERIFY(a.title.isEmpty());
    QCOMPARE(mView->beepsBeforeAlert, QList<int>{1});
    QVERIFY(!mPref->mPortInfo.has_value());
    QVERIFY(!mLink->mMcpOpen);

    // The choice is forgotten: the next command asks for a port first.
    mLink->Cmd_Excute(H("01"), true);
    QCOMPARE(mView->portSettingsRequests, 1);
    QVERIFY(mDev->written().isEmpty());
    QVERIFY(!mLink->PrgPB.Visible);
}

void TestControllerLink::openFailure_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("reasonPart");

    QTest::newRow("permission") << int(SerialError::PermissionDenied) << "dialout";
    QTest::newRow("busy") << int(SerialError::Busy) << "他のプログラムが使用中";
    QTest::newRow("not found") << int(SerialError::NotFound) << "見つかりません";
    QTest::newRow("gone") << int(SerialError::DeviceGone) << "取り外された";
    QTest::newRow("other") << int(SerialError::Other) << "refused";
}

void TestControllerLink::openFailure()
{
    QFETCH(int, error);
    QFETCH(QString, reasonPart);

    mDev->setOpenFailure(SerialError(error), QStringLiteral("refused"));
    QVERIFY(!mLink->RbPortOpen());
    QVERIFY(!mLink->mMcpOpen);
    QCOMPARE(mView->alerts.size(), 1);
    const RecordingView::AlertCall a = mView->alerts.first();
    QCOMPARE(a.icon, 2);
    QCOMPARE(a.action, QStringLiteral("OK"));
    QVERIFY(a.cancel.isEmpty());
    QCOMPARE(a.message, QStringLiteral("コントローラーに接続できませんでした..."));
    // The first line is the usual hint; the reason has a line of its own.
    const QStringList lines = a.explanation.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("電源がオンになっているか確認して下さい..."));
    QVERIFY2(lines.at(1).contains(reasonPart), qPrintable(lines.at(1)));
    QVERIFY(a.title.isEmpty());
    QCOMPARE(mView->beepsBeforeAlert, QList<int>{1});
    // The choice is kept.
    QVERIFY(mPref->mPortInfo.has_value());
    QCOMPARE(mLink->mSerialPort.name, QStringLiteral("COM1"));

    // The next attempt opens the same port again without a search.
    mDev->clearOpenFailure();
    mView->messages.clear();
    QVERIFY(mLink->RbPortOpen());
    QVERIFY(!mView->messages.contains(QStringLiteral("ポート検索...")));
    QCOMPARE(mView->messages.first(), QStringLiteral("COM1に接続します..."));
    QCOMPARE(mDev->openCount(), 1);
}

void TestControllerLink::portSettingsRequest_data()
{
    QTest::addColumn<bool>("chooses");
    QTest::newRow("user chooses a port") << true;
    QTest::newRow("user cancels") << false;
}

void TestControllerLink::portSettingsRequest()
{
    QFETCH(bool, chooses);
    mPref->mPortInfo.reset();
    mView->onPortSettings = [&] {
        if (chooses)
            mPref->mPortInfo = SerialPortInfo(mEntry);
    };
    mDev->setEcho();
    mLink->Cmd_Excute(H("2A"), true);
    QCOMPARE(mView->portSettingsRequests, 1);
    if (chooses) {
        QCOMPARE(mDev->written(), H("2A"));
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    } else {
        QVERIFY(mDev->written().isEmpty());
        QVERIFY(!mLink->mMcpOpen);
        QVERIFY(!mLink->PrgPB.Visible);
        QVERIFY(mView->alerts.isEmpty());
    }
}

void TestControllerLink::serialError()
{
    mLink->Cmd_Excute(H("4142"), false);
    mLink->SetFoceCloseVisible(false);
    mDev->raiseError(SerialError::Other, QStringLiteral("framing"));
    QCOMPARE(mView->beeps, 1);
    QCOMPARE(mLink->mMsg, QStringLiteral("エラーが起きました..."));
    QVERIFY(mView->foceCloseVisible);
    // Nothing else changes: the exchange goes on.
    QVERIFY(mLink->mMcpOpen);
    QCOMPARE(mLink->mMcpCmd, QByteArray("STATUS_COMMAND"));
    mDev->feed(H("01"));
    QCOMPARE(mDev->written(), H("4142"));
    // An ordinary error is reported each time it happens.
    mDev->raiseError(SerialError::Other, QStringLiteral("framing"));
    QCOMPARE(mView->beeps, 2);
}

void TestControllerLink::vanishedDeviceReportedOnce()
{
    mLink->Cmd_Excute(H("414243"), true);
    mDev->feed(H("01"));
    for (int i = 0; i < 5; ++i)
        mDev->raiseError(SerialError::DeviceGone, QStringLiteral("Input/output error"));
    mDev->raiseError(SerialError::Other, QStringLiteral("write failed"));
    QCOMPARE(mView->beeps, 1);
    QCOMPARE(mView->messages.count(QStringLiteral("エラーが起きました...")), 1);
    QVERIFY(mView->foceCloseVisible);
    QVERIFY(mView->alerts.isEmpty());
    QVERIFY(mLink->mMcpOpen);

    // The lamp's forced close works.
    mLink->RbPortClose(true);
    QVERIFY(!mLink->mMcpOpen);
    QVERIFY(!mDev->isOpen());
    QCOMPARE(mLink->mMsg, QStringLiteral("切断..."));
    Settle();

    // The device is back: it opens again, and a new failure is heard again.
    mDev->setEcho();
    mDev->clearWritten();
    mLink->Cmd_Excute(H("2A"), false);
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    QCOMPARE(mDev->written(), H("2A"));
    QCOMPARE(mDev->openCount(), 2);
    mDev->raiseError(SerialError::DeviceGone, QStringLiteral("gone"));
    mDev->raiseError(SerialError::DeviceGone, QStringLiteral("gone"));
    QCOMPARE(mView->beeps, 2);
}

void TestControllerLink::foceCloseKeepsPortWithNotAutoDisconnect()
{
    mPref->mNotAutoDisconnect = true;
    mLink->Cmd_Excute(H("4142"), true);
    QVERIFY(mLink->mFoceCloseVisible);
    mLink->FoceClose_Action();
    QVERIFY(mLink->mMcpOpen);
    QVERIFY(mDev->isOpen());
    QVERIFY(!mLink->mFoceCloseVisible);
    QVERIFY(!mView->foceCloseVisible);
    QVERIFY(mLink->mMcpCmd.isEmpty());
    QCOMPARE(mLink->mMsg, QStringLiteral("接続中..."));

    mPref->mNotAutoDisconnect = false;
    mLink->Cmd_Excute(H("4142"), true);
    mLink->FoceClose_Action();
    QVERIFY(!mLink->mMcpOpen);
    QVERIFY(!mDev->isOpen());
    QVERIFY(!mView->foceCloseVisible);
}

// --- Sequencer ----------------------------------------------------------------

void TestControllerLink::sequencerWaitsForFinish()
{
    mLink->mDirCmd = QStringLiteral("Get_PROGRAM_SIZE");
    mLink->mMcpFinish = false;
    mLink->DirectCommandTimer_Action();
    QVERIFY(mLink->DirectCommandTimer.isActive());
    QVERIFY(mLink->DirectCommandTimer.isSingleShot());
    QCOMPARE(mLink->DirectCommandTimer.interval(), 500);
    QVERIFY(mView->messages.isEmpty());
}

void TestControllerLink::sequencerProgramSize_data()
{
    QTest::addColumn<QByteArray>("readData");
    QTest::addColumn<QString>("message");
    QTest::newRow("34 12") << H("3412") << QStringLiteral("4660 バイト");
    QTest::newRow("FF FF") << H("FFFF") << QStringLiteral("65535 バイト");
    QTest::newRow("00 00") << H("0000") << QStringLiteral("0 バイト");
    QTest::newRow("one byte only") << H("05") << QStringLiteral("5 バイト");
    QTest::newRow("nothing read") << QByteArray() << QStringLiteral("0 バイト");
}

void TestControllerLink::sequencerProgramSize()
{
    QFETCH(QByteArray, readData);
    QFETCH(QString, message);
    QVERIFY(mLink->RbPortOpen());
    mLink->mDirCmd = QStringLiteral("Get_PROGRAM_SIZE");
    mLink->mReadData = readData;
    mLink->mMcpFinish = true;
    mLink->DirectCommandTimer_Action();
    QCOMPARE(mView->messages.at(mView->messages.size() - 2), message);
    QVERIFY(mLink->mReadData.isEmpty());
    QVERIFY(!mLink->mMcpFinish);
    QVERIFY(!mLink->mMcpOpen);
    QVERIFY(!mLink->DirectCommandTimer.isActive());
}

void TestControllerLink::sequencerJobsThatEnd_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<int>("step");
    QTest::addColumn<bool>("closes");

    QTest::newRow("MOVE_MOTOR") << "MOVE_MOTOR" << 0 << true;
    QTest::newRow("Get_MOTER at 8") << "Get_MOTER" << 8 << true;
    QTest::newRow("Get_MOTER past 8") << "Get_MOTER" << 9 << true;
    QTest::newRow("Get_PROGRAM_CODE") << "Get_PROGRAM_CODE" << 0 << false;
    QTest::newRow("unknown job") << "SOMETHING" << 0 << false;
}

void TestControllerLink::sequencerJobsThatEnd()
{
    QFETCH(QString, job);
    QFETCH(int, step);
    QFETCH(bool, closes);
    QVERIFY(mLink->RbPortOpen());
    mLink->mDirCmd = job;
    mLink->mDirStep = step;
    mLink->mReadData = H("0102");
    mLink->mMcpFinish = true;
    mLink->DirectCommandTimer_Action();
    QVERIFY(mDev->written().isEmpty());
    QVERIFY(!mLink->DirectCommandTimer.isActive());
    QCOMPARE(mLink->mMcpOpen, !closes);
    QCOMPARE(mLink->mReadData.isEmpty(), closes);
    QCOMPARE(mLink->mMcpFinish, !closes);
}

void TestControllerLink::sequencerGetMoterReadsAllGroups()
{
    // Each group answers its command byte and six positions.
    mDev->setReplier([](char c) {
        static int n = 0;
        return QByteArray(1, quint8(c) >= 0xD3 ? c : char(++n));
    });
    // The job: groups 1..8 after the first exchange (group 0).
    mLink->mDirCmd = QStringLiteral("Get_MOTER");
    mLink->mDirStep = 0;
    QVERIFY(mLink->Cmd_SERVO_POS_GET_GROUP(0));
    mLink->DirectCommandTimer.start();

    QTRY_VERIFY_WITH_TIMEOUT(!mLink->mMcpOpen && !mLink->DirectCommandTimer.isActive(), 20000);
    QByteArray expected;
    for (int g = 0; g <= 8; ++g)
        expected += QByteArray(1, char(0xD3 + g)) + QByteArray(6, '\0');
    QCOMPARE(mDev->written(), expected);
    QCOMPARE(mLink->mDirStep, 8);
    QVERIFY(mLink->mReadData.isEmpty());
    QVERIFY(!mLink->mMcpFinish);
    QCOMPARE(mDev->openCount(), 1);
}

void TestControllerLink::stackWatch()
{
    QCOMPARE(mLink->StackTimer.interval(), 50);
    QVERIFY(!mLink->StackTimer.isActive());
    mLink->PrgPB.Visible = false;
    mLink->mSameCount = 3;
    mLink->mPrevProgValue = 7;
    mLink->StackTimer_Action();
    QCOMPARE(mLink->mSameCount, 0);
    QCOMPARE(mLink->mPrevProgValue, 7);

    mLink->PrgPB.Visible = true;
    mLink->PrgPB.Value = 4;
    mLink->mPrevProgValue = 0;
    mLink->StackTimer_Action(); // moved
    QCOMPARE(mLink->mSameCount, 0);
    QCOMPARE(mLink->mPrevProgValue, 4);
    for (int i = 1; i <= 5; ++i) {
        mLink->StackTimer_Action();
        QCOMPARE(mLink->mSameCount, i);
    }
    mLink->StackTimer_Action(); // the sixth stalled tick starts over
    QCOMPARE(mLink->mSameCount, 0);
    // Value 0 is never a stall.
    mLink->PrgPB.Value = 0;
    mLink->StackTimer_Action();
    mLink->StackTimer_Action();
    QCOMPARE(mLink->mSameCount, 0);
    QVERIFY(mDev->written().isEmpty());
}

void TestControllerLink::programReadOutCancelled()
{
    mView->alertAnswer = 0;
    mLink->MyCmd_GET_PROGRAM_CODE();
    QCOMPARE(mView->alerts.size(), 1);
    const RecordingView::AlertCall a = mView->alerts.first();
    QCOMPARE(a.icon, 2);
    QCOMPARE(a.action, QStringLiteral("開始"));
    QCOMPARE(a.cancel, QStringLiteral("キャンセル"));
    QVERIFY(a.alternate.isEmpty());
    QCOMPARE(
        a.message,
        QStringLiteral("コントローラーに転送されているプログラムをコンピュータに読込みます。"));
    QCOMPARE(a.explanation, QStringLiteral("読込みには、少々時間がかかります。宜しいですか？"));
    QCOMPARE(a.title, QStringLiteral("プログラムの読込み"));
    QCOMPARE(mView->beepsBeforeAlert, QList<int>{1});
    QVERIFY(!mLink->DirectCommandTimer.isActive());
    QVERIFY(mDev->written().isEmpty());
    QCOMPARE(mDev->openCount(), 0);
    QVERIFY(mLink->mDirCmd.isEmpty());
}

void TestControllerLink::programReadOut_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("size");
    QTest::newRow("start, size 1234") << 1 << H("3412");
    QTest::newRow("alternate also starts") << 2 << H("3412");
    QTest::newRow("size 0") << 1 << H("0000");
}

void TestControllerLink::programReadOut()
{
    QFETCH(int, answer);
    QFETCH(QByteArray, size);
    mView->alertAnswer = answer;
    QByteArray script = H("F20E00") + size.left(1) + H("F20F00") + size.mid(1, 1);
    mDev->setReplier(ScriptedReplier(script));

    mLink->MyCmd_GET_PROGRAM_CODE();
    QCOMPARE(mLink->mDirCmd, QStringLiteral("Get_PROGRAM_CODE"));
    QCOMPARE(mLink->mDirStep, 0);
    QVERIFY(mLink->DirectCommandTimer.isActive());
    QCOMPARE(mLink->PrgPB.Maximum, 8);
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    QCOMPARE(mDev->written(), H("F20E0000F20F0000"));
    QCOMPARE(mLink->mReadData, size);

    // The sequencer's next tick takes no step: the read-out rests here.
    const QString message = mLink->mMsg;
    QTRY_VERIFY_WITH_TIMEOUT(!mLink->DirectCommandTimer.isActive(), 5000);
    QCOMPARE(mLink->mReadData, size);
    QVERIFY(mLink->mMcpFinish);
    QVERIFY(mLink->mMcpOpen);
    QCOMPARE(mLink->mMsg, message);
    QCOMPARE(mDev->written(), H("F20E0000F20F0000"));
}

void TestControllerLink::programReadOutAsksForPort()
{
    mPref->mPortInfo.reset();
    QByteArray writtenWhenAsked = "not asked";
    mView->onPortSettings = [&] {
        writtenWhenAsked = mDev->written();
        mPref->mPortInfo = SerialPortInfo(mEntry);
    };
    mDev->setEcho();
    mLink->MyCmd_GET_PROGRAM_CODE();
    QVERIFY(writtenWhenAsked.isEmpty());
    QCOMPARE(mDev->written().left(1), H("F2"));
    QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
    QCOMPARE(mDev->written(), H("F20E0000F20F0000"));
    mLink->DirectCommandTimer.stop();
}

void TestControllerLink::programReadOutWithoutLink()
{
    mDev->setOpenFailure(SerialError::Busy);
    mView->alertAnswer = 1; // starts; the power alert's answer is not used
    mLink->MyCmd_GET_PROGRAM_CODE();
    QCOMPARE(mView->alerts.size(), 2);
    QCOMPARE(mView->alerts.at(1).message,
             QStringLiteral("コントローラーに接続できませんでした..."));
    QVERIFY(mDev->written().isEmpty());
    QVERIFY(!mLink->mMcpOpen);
    // The sequencer runs all the same, waiting for an exchange that never ends.
    QVERIFY(mLink->DirectCommandTimer.isActive());
    mLink->DirectCommandTimer.stop();
    mLink->DirectCommandTimer_Action();
    QVERIFY(mLink->DirectCommandTimer.isActive());
    mLink->DirectCommandTimer.stop();
}

void TestControllerLink::silentView()
{
    // Tools and benchmarks may run the link without any view at all.
    ControllerLink link(mPref.get());
    mDev->setEcho();
    link.Cmd_Excute(H("0102"), false);
    QTRY_VERIFY_WITH_TIMEOUT(link.mMcpFinish, 5000);
    QCOMPARE(link.mReadData, H("0102"));
    QCOMPARE(link.mMsg, QStringLiteral("接続OK... 9600 baud"));
    link.RbPortClose(true);
    // An alert nobody answers counts as cancel: the read-out does not start.
    link.MyCmd_GET_PROGRAM_CODE();
    QVERIFY(!link.DirectCommandTimer.isActive());
    QCOMPARE(mDev->written(), H("0102"));
}

QTEST_GUILESS_MAIN(TestControllerLink)
#include "tst_ControllerLink.moc"
