// The controller link against a scripted fake port.
#include "LinkTestSupport.h"

#include "FakeSerial.h"
#include "link/ControllerLink.h"
#include "settings/PreferClass.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

using L = ControllerLink;
// Starts a command; false when the command refused its arguments.
using Start = std::function<bool(L&)>;
Q_DECLARE_METATYPE(Start)

namespace {

// The fake answers through the event loop, so whatever must happen is a few
// loop turns away: a short bound makes a broken link fail fast.
constexpr int kQuickMs = 500;
// Bound for what waits on the link's own timers (10 ms poll, 500 ms sequencer).
constexpr int kTimerMs = 2000;

const QString kNoLink = QStringLiteral("コントローラーに接続できませんでした...");

} // namespace

enum class End
{
    Closed,  // finished, port closed
    Kept,    // finished, port kept open (NotAutoDisconnect)
    Open,    // finished, the exchange's port left open
    Waiting, // never finishes: the controller owes an answer
};

// One exchange: the controller's answers (afterwards every byte is echoed) and what
// must be seen once it is over.
struct Exchange
{
    const char* answers = "";   // hex
    const char* wire = "";      // hex: every byte written, in order
    const char* read = nullptr; // hex: the data read; nullptr: the bytes written came back
    int bar = 0;                // the progress bar's maximum
    End end = End::Open;
    int beeps = 0;
};
Q_DECLARE_METATYPE(Exchange)

namespace {

Start Send(const char* cmd, const QByteArray& data = {})
{
    return [cmd, data](L& l) { return l.RbCmdSend(cmd, data), true; };
}

Start Excute(const char* hex, bool allowClose = false, bool notAutoDisconnect = false)
{
    return [=](L& l) {
        l.pref()->mNotAutoDisconnect = notAutoDisconnect;
        return l.Cmd_Excute(H(hex), allowClose), true;
    };
}

} // namespace

class TestControllerLink : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        mDir = std::make_unique<QTemporaryDir>();
        mDev = std::make_unique<FakeSerialDevice>();
        mEntry =
            mDev->entry(QStringLiteral("COM1"), QStringLiteral("in-1"), QStringLiteral("out-1"));
        SerialPorts::setOverride({mEntry});
        mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
        mPref->mPortInfo = SerialPortInfo(mEntry);
        mPref->mNotAutoDisconnect = false;
        mView = std::make_unique<RecordingView>();
        mLink = std::make_unique<ControllerLink>(mPref.get(), mView.get());
    }
    void cleanup()
    {
        mLink.reset();
        mView.reset();
        mPref.reset();
        Settle(); // backends closed by the link are deleted later
        mDev.reset();
        mDevs.clear();
        mDir.reset();
        SerialPorts::clearOverride();
    }

    void wireTrace_data()
    {
        QTest::addColumn<Start>("run");
        QTest::addColumn<Exchange>("x");
        const auto add = [](const char* name, const Start& run, const Exchange& x) {
            QTest::newRow(name) << run << x;
        };
        // Run control: one byte, echoed.
        add("BREAK", Send("BREAK"), {.wire = "F3", .read = "", .end = End::Closed});
        add("STOP", Send("STOP"), {.wire = "FA", .read = "", .end = End::Closed});
        add("RUN", Send("RUN"), {.wire = "FB", .read = "", .end = End::Closed});
        add("RESET", Send("RESET"), {.wire = "FC", .read = "", .end = End::Closed});
        add("BREAK, wrong echo", Send("BREAK"),
            {.answers = "00", .wire = "F3", .read = "", .end = End::Closed, .beeps = 1});
        add("TRANSMITION 129", Send("TRANSMITION", QByteArray(129, 0x11)),
            {.wire = "EC", .read = "", .bar = 5, .end = End::Waiting});
        add("DELETE", Send("DELETE"), {.wire = "EC", .read = "", .bar = 3, .end = End::Waiting});
        // Byte streams: each answer releases the next byte.
        add("allowClose", Excute("2A0B", true), {.wire = "2A0B", .end = End::Closed});
        add("NotAutoDisconnect", Excute("2A0B", true, true), {.wire = "2A0B", .end = End::Kept});
        add("empty stream", Excute(""), {.read = "", .end = End::Waiting});
        // Servo and speed commands.
        add("PTP_SET on", [](L& l) { return l.Cmd_PTP_SET(true); }, {.wire = "B101"});
        add("PTP_SET off", [](L& l) { return l.Cmd_PTP_SET(false); }, {.wire = "B100"});
        add("IsMOVING", [](L& l) { return l.Cmd_IsMOVING(); },
            {.answers = "B001", .wire = "B000", .read = "B001"});
        add("SPEED 100", [](L& l) { return l.Cmd_SPEED(100); }, {.wire = "B264"});
        add("SPEED_V 255", [](L& l) { return l.Cmd_SPEED_V(255); }, {.wire = "E9FF"});
        add("SERVO_POS_GET 7", [](L& l) { return l.Cmd_SERVO_POS_GET(7); }, {.wire = "0700"});
        add("GROUP 44", [](L& l) { return l.Cmd_SERVO_POS_GET_GROUP(44); },
            {.wire = "FF000000000000", .bar = 5});
        add("SERVO_POS_SET 2,128", [](L& l) { return l.Cmd_SERVO_POS_SET(2, 128); },
            {.wire = "E60280", .bar = 1});
        add("SERVO_SET 1 on", [](L& l) { return l.Cmd_SERVO_SET(1, true); }, {.wire = "E701"});
        add("SERVO_SET 5 off", [](L& l) { return l.Cmd_SERVO_SET(5, false); }, {.wire = "E805"});
        // A list: blanks trimmed, fractions cut, a missing position sent as 0.
        add("list 3,2", [](L& l) { return l.Cmd_SERVO_POS_SET(3, 2, " 90.9 "); },
            {.wire = "E703E6035AE704E60400", .bar = 8});
        add("list to 255", [](L& l) { return l.Cmd_SERVO_POS_SET(254, 2, "0,255"); },
            {.wire = "E7FEE6FE00E7FFE6FFFF", .bar = 8});
        add("list of none", [](L& l) { return l.Cmd_SERVO_POS_SET(3, 0, "90"); },
            {.read = "", .end = End::Waiting});
        // Memories, per address: code, address low, high, data (00 to read); answer 4 is the
        // memory byte. ROM writes send a sub-code after the code and the data byte twice.
        add("SRAM w 01FF+2", [](L& l) { return l.Cmd_SRAM_WRITE(0x1FF, H("1122")); },
            {.wire = "F8FF0111F8000222", .read = "1122", .bar = 8});
        add("INT r FFFF", [](L& l) { return l.Cmd_INTROM_READ(0xFFFF, 1); },
            {.answers = "B3FFFF42", .wire = "B3FFFF00", .read = "42", .bar = 4});
        add("INT w 0010", [](L& l) { return l.Cmd_INTROM_WRITE(0x10, H("7F")); },
            {.wire = "B44B10007F7F", .read = "7F", .bar = 4});
        add("EXT w FFFE+2", [](L& l) { return l.Cmd_EXTROM_WRITE(0xFFFE, H("0102")); },
            {.answers = "F40BFEFF0199F40BFFFF02AA",
             .wire = "F40BFEFF0101F40BFFFF0202",
             .read = "99AA",
             .bar = 8});
        add("PROGRAM_CODE 2", [](L& l) { return l.Get_PROGRAM_CODE(2), true; },
            {.answers = "F2000001F2010002", .wire = "F2000000F2010000", .read = "0102", .bar = 8});
        add("EXT w nothing", [](L& l) { return l.Cmd_EXTROM_WRITE(0x140, {}); },
            {.wire = "F40B4001", .read = "", .end = End::Waiting});
        add("allowClose left set",
            [](L& l) { return l.mAllowClose = true, l.Cmd_SRAM_WRITE(0x141, H("07")); },
            {.wire = "F8410107", .read = "07", .bar = 4, .end = End::Closed});
    }
    void wireTrace()
    {
        QFETCH(Start, run);
        QFETCH(Exchange, x);
        const QByteArray wire = H(x.wire);
        mDev->setReplier(ScriptedReplier(H(x.answers)));
        // A view running the event loop must not make replies be handled re-entrantly.
        int depth = 0;
        int maxDepth = 0;
        mView->onProgress = [&] {
            maxDepth = std::max(maxDepth, ++depth);
            QCoreApplication::processEvents();
            --depth;
        };
        QSignalSpy finished(mLink.get(), &ControllerLink::mcpFinished);
        QVERIFY(run(*mLink));
        // Lock-step: only the first byte is out, and flushed, before any answer.
        QCOMPARE(mDev->written(), wire.left(1));
        QVERIFY(mDev->flushCount() > 0 || wire.isEmpty());
        QVERIFY(mView->foceCloseVisible);
        QCOMPARE(mView->buttonsEnabled, QList<bool>{false});
        if (x.end == End::Waiting)
            QTRY_COMPARE_WITH_TIMEOUT(mDev->written(), wire, kQuickMs);
        else
            QVERIFY(!finished.isEmpty() || finished.wait(kQuickMs));
        Settle();

        QCOMPARE(mDev->written(), wire);
        QCOMPARE(mLink->mReadData, x.read ? H(x.read) : wire);
        QCOMPARE(finished.count(), x.end == End::Waiting ? 0 : 1);
        QCOMPARE(mView->beeps, x.beeps);
        QCOMPARE(mLink->mMcpOpen, x.end != End::Closed);
        QCOMPARE(mDev->closeCount(), x.end == End::Closed ? 1 : 0);
        int shownMax = 0, shownValue = 0; // every answer but the last advances the bar
        for (const ProgressBarState& p : mView->progress)
            shownMax = std::max(shownMax, p.Maximum), shownValue = std::max(shownValue, p.Value);
        QCOMPARE(shownMax, x.bar);
        QCOMPARE(shownValue, int(wire.size()) - (x.end == End::Waiting ? 0 : 1));
        QCOMPARE(mLink->PrgPB.Visible, x.end == End::Open || x.end == End::Waiting);
        QCOMPARE(maxDepth, 1);
        if (x.end == End::Closed || x.end == End::Kept) {
            QCOMPARE(mLink->mMsg, x.end == End::Closed ? QStringLiteral("切断...")
                                                       : QStringLiteral("接続中..."));
            QCOMPARE(mLink->mMcpStep, -1);
            QCOMPARE(mView->buttonsEnabled.last(), true);
            QCOMPARE(mView->foceCloseVisible, x.end == End::Kept);
        }
    }
    void identificationChain()
    {
        // F0, 00, the five answers sent back, the checksum at 04F2..04F3, then the program
        // header at external ROM 0000..000F, which ends the chain. The device echoes the header
        // read, so its data bytes come back as 00.
        mDev->setReplier(
            ScriptedReplier(H("F0") + QByteArray("QM4410") + H("F7F20412") + H("F7F30434")));
        mLink->RbCmdSend("CONTROLER_INFORMATION", QByteArray());
        QCOMPARE(mLink->mMsg, QStringLiteral("コントローラー情報取得中...9600 baud"));
        mLink->mAllowClose = true; // as a caller that wants the link closed afterwards
        const QByteArray expected =
            H("F000") + QByteArray("QM441") + H("F7F20400F7F30400") +
            H("F2000000F2010000F2020000F2030000F2040000F2050000F2060000F2070000"
              "F2080000F2090000F20A0000F20B0000F20C0000F20D0000F20E0000F20F0000");
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, kQuickMs);
        QCOMPARE(mDev->written(), expected);
        QCOMPARE(mLink->mInfoCtrlr, QByteArray("QM4410"));
        QCOMPARE(mLink->mInfoChecksum, H("1234"));
        QCOMPARE(mLink->mInfoProg, QByteArray(16, 0));
        QVERIFY(std::any_of(mView->countTexts.cbegin(), mView->countTexts.cend(),
                            [](const StaticTextState& t) { return t.Text == "78/78"; }));
        QVERIFY(!mLink->mMcpOpen);
        QCOMPARE(mLink->mMsg, QStringLiteral("切断..."));
    }
    void trafficLog()
    {
        // Lines end in 0D; empty parts add nothing; what was read comes before what was written.
        mLink->SetLog(QByteArray(), QByteArray());
        mLink->SetLog(H("01AB"), QByteArray());
        mLink->SetLog(H("02"), H("F3"));
        mLink->SetLog(QString());
        mLink->SetLog(QStringLiteral("STOP"));
        QCOMPARE(mLink->mMcpLog, QStringLiteral("R: 01AB\rR: 02\rW: F3\rSTOP\r"));
        // Each command starts a log of its own.
        mLink->RbCmdSend("TRANSMITION", H("11"));
        QCOMPARE(mLink->mMcpLog, QStringLiteral("TRANSMITION\rW: EC\r"));
    }
    void stateAfterEachReply()
    {
        QVERIFY(mLink->Cmd_SRAM_READ(0x140, 2));
        // Reply n releases byte n+1 of F7400100F7410100; step and address follow.
        const QByteArray wire = H("F7400100F7410100"), replies = H("010203AA050607BB");
        for (int n = 0; n < 8; ++n) {
            mDev->feed(replies.mid(n, 1));
            QCOMPARE(mDev->written(), wire.left(n + 2));
            QCOMPARE(mLink->mMcpFinish, n == 7);
            if (n < 7) {
                QCOMPARE(mLink->mMcpStep, (n + 1) % 4);
                QCOMPARE(mLink->mMcpAddr, n < 3 ? 0x140 : 0x141);
                QCOMPARE(mView->countTexts.last().Text, QStringLiteral("%1/8").arg(n + 1));
            }
        }
        QCOMPARE(mLink->mReadData, H("AABB"));
    }
    void streamFedByHand()
    {
        // Each answer, also one of several bytes, releases the next byte at once; a stream of
        // n bytes counts against n - 2, so the count may run past its maximum.
        mLink->Cmd_Excute(H("41424344"), false);
        mDev->feed(H("01"));
        QCOMPARE(mDev->written(), H("4142"));
        QCOMPARE(mView->countTexts.last().Text, QStringLiteral("1/2"));
        mDev->feed(H("0203"));
        QCOMPARE(mDev->written(), H("414243"));
        QCOMPARE(mView->countTexts.last().Text, QStringLiteral("2/2"));
        // After a notification with nothing to read, the 10 ms poll finds a silent answer.
        mDev->feed(QByteArray());
        QVERIFY(mLink->SerialBackUpTimer.isActive());
        mDev->feedSilently(H("04"));
        QTRY_COMPARE_WITH_TIMEOUT(mDev->written(), H("41424344"), kTimerMs);
        QCOMPARE(mView->countTexts.last().Text, QStringLiteral("3/2"));
        mDev->feed(H("05"));
        QVERIFY(mLink->mMcpFinish);
        QCOMPARE(mLink->mReadData, H("0102030405"));
        QVERIFY(!mLink->SerialBackUpTimer.isActive()); // the poll ends with the stream
        // The finished bar shows 0 of 0 and keeps the last count text.
        QVERIFY(mView->progress.last().Visible);
        QCOMPARE(mView->progress.last().Maximum, 0);
        QCOMPARE(mView->countTexts.last().Text, QStringLiteral("3/2"));
    }
    void newCommandReplacesPending()
    {
        // A new command, also from a mcpFinished listener, replaces a pending one.
        int started = 0;
        connect(mLink.get(), &ControllerLink::mcpFinished, this, [&] {
            if (started++ == 0)
                mLink->Cmd_Excute(H("61"), false);
        });
        mLink->Cmd_Excute(H("414243"), false);
        mDev->feed(H("01"));
        mLink->Cmd_Excute(H("5152"), false);
        QCOMPARE(mDev->written(), H("414251"));
        mDev->setEcho();
        mDev->feed(H("02"));
        QTRY_COMPARE_WITH_TIMEOUT(started, 2, kQuickMs);
        QCOMPARE(mDev->written(), H("4142515261"));
        QCOMPARE(mLink->mReadData, H("61"));
    }
    void refusedArguments_data()
    {
        QTest::addColumn<Start>("start");
        // The first value past each end of the accepted range.
        QTest::newRow("SPEED 256") << Start([](L& l) { return l.Cmd_SPEED(256); });
        QTest::newRow("SPEED -1") << Start([](L& l) { return l.Cmd_SPEED(-1); });
        QTest::newRow("SPEED_V 256") << Start([](L& l) { return l.Cmd_SPEED_V(256); });
        QTest::newRow("POS_GET 256") << Start([](L& l) { return l.Cmd_SERVO_POS_GET(256); });
        QTest::newRow("GROUP 45") << Start([](L& l) { return l.Cmd_SERVO_POS_GET_GROUP(45); });
        QTest::newRow("POS_SET to 256") << Start([](L& l) { return l.Cmd_SERVO_POS_SET(1, 256); });
        QTest::newRow("POS_SET of -1") << Start([](L& l) { return l.Cmd_SERVO_POS_SET(-1, 10); });
        QTest::newRow("SERVO_SET 256") << Start([](L& l) { return l.Cmd_SERVO_SET(256, true); });
        QTest::newRow("list past 255")
            << Start([](L& l) { return l.Cmd_SERVO_POS_SET(255, 2, "1,2"); });
        QTest::newRow("list to 256")
            << Start([](L& l) { return l.Cmd_SERVO_POS_SET(1, 2, "10,256"); });
        QTest::newRow("list not a number")
            << Start([](L& l) { return l.Cmd_SERVO_POS_SET(1, 2, "10,abc"); });
        QTest::newRow("SRAM r FFFF+2") << Start([](L& l) { return l.Cmd_SRAM_READ(0xFFFF, 2); });
        QTest::newRow("EXT r huge")
            << Start([](L& l) { return l.Cmd_EXTROM_READ(0x100, 0x7FFFFFFF); });
        QTest::newRow("SRAM w FFFE+3")
            << Start([](L& l) { return l.Cmd_SRAM_WRITE(0xFFFE, H("010203")); });
        QTest::newRow("address -1") << Start([](L& l) { return l.Cmd_SRAM_READ(-1, 1); });
        QTest::newRow("length -1") << Start([](L& l) { return l.Cmd_SRAM_READ(0x100, -1); });
        QTest::newRow("RbCmdSend F4 past FFFF")
            << Start([](L& l) { return l.RbCmdSend(l.cEXTROM_WRITE, H("0102"), 0xFFFF), false; });
    }
    void refusedArguments()
    {
        QFETCH(Start, start);
        mDev->setEcho(); // a finished exchange whose result must survive the refusal
        QSignalSpy finished(mLink.get(), &ControllerLink::mcpFinished);
        QVERIFY(mLink->Cmd_IsMOVING());
        QVERIFY(finished.wait(kQuickMs));
        Settle();
        mDev->clearWritten();
        mLink->mMcpLog = QStringLiteral("previous");
        const qsizetype pushes = mView->progress.size();

        QVERIFY(!start(*mLink));
        Settle();
        QVERIFY(mDev->written().isEmpty());
        QCOMPARE(mLink->mReadData, H("B000"));
        QCOMPARE(mLink->mMcpCmd, QByteArray("STATUS_COMMAND"));
        QCOMPARE(mLink->mMcpLog, QStringLiteral("previous"));
        QCOMPARE(mView->progress.size(), pushes);
        QCOMPARE(mDev->openCount(), 1);
    }

    void portClose_data()
    {
        // The port is to stay open between commands (NotAutoDisconnect).
        QTest::addColumn<bool>("wasOpen");
        QTest::addColumn<bool>("forced"); // false: the FoceClose button
        QTest::addColumn<bool>("openAfter");
        QTest::addColumn<QString>("message");
        QTest::newRow("forced") << true << true << false << "切断...";
        QTest::newRow("already closed") << false << true << false << "";
        QTest::newRow("FoceClose button: ordinary") << true << false << true << "接続中...";
    }
    void portClose()
    {
        QFETCH(bool, wasOpen);
        QFETCH(bool, forced);
        QFETCH(bool, openAfter);
        QFETCH(QString, message);
        mPref->mNotAutoDisconnect = true;
        if (wasOpen)
            mLink->Cmd_Excute(H("41"), false);
        else
            mLink->SetFoceCloseVisible(true);
        mView->messages.clear();
        mView->buttonsEnabled.clear();

        if (forced)
            mLink->RbPortClose(true);
        else
            mLink->FoceClose_Action();
        QCOMPARE(mLink->mMcpOpen, openAfter);
        QCOMPARE(mDev->isOpen(), openAfter);
        QCOMPARE(mDev->closeCount(), wasOpen && !openAfter ? 1 : 0);
        QCOMPARE(mView->messages.join(""), message);
        QVERIFY(!mView->foceCloseVisible);
        QVERIFY(mLink->mMcpCmd.isEmpty());
        QVERIFY(!mLink->PrgPB.Visible);
        QCOMPARE(mView->buttonsEnabled, QList<bool>{true});
    }
    void portSearch_data()
    {
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<int>("opened"); // index into ports; -1: none
        QTest::newRow("case-insensitive") << QStringList{"ttyS0", "TTYUSB0"} << "ttyusb0" << 1;
        QTest::newRow("later of two equal names")
            << QStringList{"ttyUSB0", "ttyS0", "TTYUSB0"} << "ttyUSB0" << 2;
        QTest::newRow("not listed") << QStringList{"ttyS0"} << "ttyUSB0" << -1;
        QTest::newRow("no ports at all") << QStringList{} << "ttyUSB0" << -1;
    }
    void portSearch()
    {
        QFETCH(QStringList, ports);
        QFETCH(QString, wanted);
        QFETCH(int, opened);
        QList<SerialPortEntry> entries;
        for (int i = 0; i < ports.size(); ++i) {
            mDevs.push_back(std::make_unique<FakeSerialDevice>());
            entries.append(mDevs.back()->entry(ports.at(i), QStringLiteral("in-%1").arg(i)));
        }
        SerialPorts::setOverride(entries);
        mPref->mPortInfo->mName = wanted;

        QCOMPARE(mLink->RbPortOpen(), opened >= 0);
        for (int i = 0; i < ports.size(); ++i)
            QCOMPARE(mDevs[i]->openCount(), int(i == opened));
        if (opened >= 0) {
            QCOMPARE(mView->messages,
                     (QStringList{"ポート検索...", ports.at(opened) + "に接続します...",
                                  "接続OK... 9600 baud"}));
            QCOMPARE(mPref->mPortInfo->mInputDriverName, QStringLiteral("in-%1").arg(opened));
            QVERIFY(mView->alerts.isEmpty());
            QVERIFY(mLink->RbPortOpen()); // already open: true, and nothing more happens
            QCOMPARE(mDevs[opened]->openCount(), 1);
            QCOMPARE(mView->messages.size(), 3);
            return;
        }
        QCOMPARE(mView->messages, ports.isEmpty() ? QStringList() : QStringList{"ポート検索..."});
        QCOMPARE(mView->alerts,
                 (QList<QStringList>{{"1", "2", "OK", "", "", kNoLink,
                                      "ケーブルが接続されていない可能性があります...", ""}}));
        // The choice is forgotten: the next command asks for a port first.
        QVERIFY(!mPref->mPortInfo.has_value());
        mLink->Cmd_Excute(H("01"), true);
        QCOMPARE(mView->portSettingsRequests, 1);
        QVERIFY(!mLink->PrgPB.Visible);
    }
    void openFailure_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("reason");
        QTest::newRow("permission")
            << int(SerialError::PermissionDenied)
            << "ポートを使用する権限がありません。シリアルポートの使用を許可さ"
               "れたユーザーである必要があります（Debian では dialout "
               "グループ）。";
        QTest::newRow("busy") << int(SerialError::Busy) << "ポートは他のプログラムが使用中です。";
        QTest::newRow("gone") << int(SerialError::DeviceGone)
                              << "ポートが見つかりません。取り外された可能性があります。";
        QTest::newRow("other") << int(SerialError::Other)
                               << "ポートを開けませんでした（refused）。";
    }
    void openFailure()
    {
        QFETCH(int, error);
        QFETCH(QString, reason);
        mDev->setOpenFailure(SerialError(error), QStringLiteral("refused"));
        QVERIFY(!mLink->RbPortOpen());
        // the usual hint, then the reason on its own line
        QCOMPARE(mView->alerts, (QList<QStringList>{
                                    {"1", "2", "OK", "", "", kNoLink,
                                     "電源がオンになっているか確認して下さい...\n" + reason, ""}}));
        mDev->clearOpenFailure(); // the next attempt opens the same port without a search
        mView->messages.clear();
        QVERIFY(mLink->RbPortOpen());
        QCOMPARE(mView->messages.first(), QStringLiteral("COM1に接続します..."));
        QCOMPARE(mDev->openCount(), 1);
    }
    void serialErrors()
    {
        mLink->Cmd_Excute(H("414243"), true);
        mLink->SetFoceCloseVisible(false);
        // An ordinary error is reported each time; the exchange goes on.
        for (int i = 0; i < 2; ++i)
            mDev->raiseError(SerialError::Other, QStringLiteral("framing"));
        QCOMPARE(mLink->mMsg, QStringLiteral("エラーが起きました..."));
        QVERIFY(mView->foceCloseVisible);
        QCOMPARE(mView->beeps, 2);
        mDev->feed(H("01"));
        QCOMPARE(mDev->written(), H("4142"));
        // A vanished device fails at every access: it is reported once.
        for (int i = 0; i < 5; ++i)
            mDev->raiseError(SerialError::DeviceGone, QStringLiteral("Input/output error"));
        mDev->raiseError(SerialError::Other, QStringLiteral("write failed"));
        QCOMPARE(mView->beeps, 3);
        QVERIFY(mView->alerts.isEmpty());
        mLink->RbPortClose(true);
        Settle();
        mDev->setEcho(); // the device is back: it opens again, and a new loss is heard again
        mDev->clearWritten();
        mLink->Cmd_Excute(H("2A"), false);
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
        QCOMPARE(mDev->written(), H("2A"));
        QCOMPARE(mDev->openCount(), 2);
        mDev->raiseError(SerialError::DeviceGone, QStringLiteral("gone"));
        mDev->raiseError(SerialError::DeviceGone, QStringLiteral("gone"));
        QCOMPARE(mView->beeps, 4);
    }

    void sequencerJobs_data()
    {
        QTest::addColumn<QString>("job");
        QTest::addColumn<QByteArray>("readData");
        QTest::addColumn<QString>("messages"); // joined by |
        const QString size = QStringLiteral("Get_PROGRAM_SIZE");
        // The size is stored low byte first; a short read counts as 0.
        QTest::newRow("size 34 12") << size << H("3412") << "4660 バイト|切断...";
        QTest::newRow("size of one byte") << size << H("05") << "5 バイト|切断...";
        QTest::newRow("size not read") << size << QByteArray() << "0 バイト|切断...";
        QTest::newRow("MOVE_MOTOR") << "MOVE_MOTOR" << H("0102") << "切断...";
    }
    void sequencerJobs()
    {
        QFETCH(QString, job);
        QFETCH(QByteArray, readData);
        QFETCH(QString, messages);
        QVERIFY(mLink->RbPortOpen());
        mLink->mDirCmd = job;
        mLink->mReadData = readData;
        mLink->mMcpFinish = true;
        mView->messages.clear();
        mLink->DirectCommandTimer_Action();
        QCOMPARE(mView->messages.join(QLatin1Char('|')), messages);
        QVERIFY(mDev->written().isEmpty());
        QVERIFY(!mLink->DirectCommandTimer.isActive());
        QVERIFY(!mLink->mMcpOpen);
        QVERIFY(mLink->mReadData.isEmpty());
        QVERIFY(!mLink->mMcpFinish);
    }
    void stallWatch()
    {
        // Counts the ticks on which a shown bar has not moved; the sixth starts the count anew.
        mLink->PrgPB.Visible = true;
        mLink->PrgPB.Value = 3;
        QList<int> counts;
        for (int tick = 0; tick < 8; ++tick) {
            mLink->StackTimer_Action();
            counts << mLink->mSameCount;
        }
        QCOMPARE(counts, (QList<int>{0, 1, 2, 3, 4, 5, 0, 1}));
        mLink->PrgPB.Visible = false;
        mLink->StackTimer_Action();
        QCOMPARE(mLink->mSameCount, 0);
        QVERIFY(!mLink->StackTimer.isActive()); // nothing starts it
    }
    void sequencerGetMoter()
    {
        // Group 0, then the sequencer reads groups 1..8, one per finished exchange. Its
        // 500 ms period is shortened: what matters here is the order.
        QCOMPARE(mLink->DirectCommandTimer.interval(), 500);
        mLink->DirectCommandTimer.setInterval(5);
        auto n = std::make_shared<int>(0);
        mDev->setReplier([n](char c) { return QByteArray(1, quint8(c) >= 0xD3 ? c : char(++*n)); });
        mLink->mDirCmd = QStringLiteral("Get_MOTER");
        mLink->mDirStep = 0;
        QVERIFY(mLink->Cmd_SERVO_POS_GET_GROUP(0));
        mLink->DirectCommandTimer.start();
        QTRY_VERIFY_WITH_TIMEOUT(!mLink->mMcpOpen && !mLink->DirectCommandTimer.isActive(),
                                 kTimerMs);
        QByteArray expected;
        for (const char* group : {"D3", "D4", "D5", "D6", "D7", "D8", "D9", "DA", "DB"})
            expected += H(group) + QByteArray(6, '\0');
        QCOMPARE(mDev->written(), expected);
        QCOMPARE(mLink->mDirStep, 8);
        QCOMPARE(mDev->openCount(), 1);
    }
    void programReadOut_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("開始") << 1;
        QTest::newRow("キャンセル") << 0;
    }
    void programReadOut()
    {
        QFETCH(int, answer);
        mView->alertAnswer = answer;
        mDev->setReplier(ScriptedReplier(H("F20E0034F20F0012")));

        mLink->MyCmd_GET_PROGRAM_CODE();
        QCOMPARE(mView->alerts,
                 (QList<QStringList>{
                     {"1", "2", "開始", "キャンセル", "",
                      "コントローラーに転送されているプログラムをコンピュータに読込みます。",
                      "読込みには、少々時間がかかります。宜しいですか？", "プログラムの読込み"}}));
        QCOMPARE(mLink->DirectCommandTimer.isActive(), answer != 0);
        if (answer == 0) {
            QCOMPARE(mDev->openCount(), 0);
            return;
        }
        // The size is read from external ROM 000E; then the read-out rests: the next tick
        // takes no step, the size bytes stay and the port stays open.
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, kTimerMs);
        const QString message = mLink->mMsg;
        QTRY_VERIFY_WITH_TIMEOUT(!mLink->DirectCommandTimer.isActive(), kTimerMs);
        QCOMPARE(mLink->mReadData, H("3412"));
        QVERIFY(mLink->mMcpOpen);
        QCOMPARE(mLink->mMsg, message);
        QCOMPARE(mDev->written(), H("F20E0000F20F0000"));
    }

private:
    SerialPortEntry mEntry;
    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<FakeSerialDevice> mDev;
    std::vector<std::unique_ptr<FakeSerialDevice>> mDevs; // extra ports, outliving the link
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<RecordingView> mView;
    std::unique_ptr<ControllerLink> mLink;
};

QTEST_GUILESS_MAIN(TestControllerLink)
#include "tst_ControllerLink.moc"
