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
#include <tuple>
#include <vector>

using L = ControllerLink;
using Starter = std::function<void(L&)>;
Q_DECLARE_METATYPE(Starter)
// Start, replies (then echoes), wire, data read, bar maximum, how it ends, beeps.
using Exchange = std::tuple<Starter, QByteArray, QByteArray, QByteArray, int, int, int>;
Q_DECLARE_METATYPE(Exchange)
// Open, NotAutoDisconnect, how (0 close/1 forced/2 FoceClose), open after, message, button.
using Close = std::tuple<bool, bool, int, bool, const char*, bool>;
Q_DECLARE_METATYPE(Close)

// A command that must accept (CMD) or refuse (NOT) its arguments.
#define CMD(call) Starter([](L& l) { QVERIFY(l.call); })
#define NOT(call) Starter([](L& l) { QVERIFY(!l.call); })

namespace {

// Finished and closed / port kept / exchange left open / waiting forever.
constexpr int Closed = 0, Kept = 1, Open = 2, Waiting = 3;
const char* const Echo = nullptr; // the data read are the bytes written
const QString kNoLink = QStringLiteral("コントローラーに接続できませんでした...");

Starter Send(const char* cmd, const QByteArray& data = {})
{
    return [cmd, data](L& l) { l.RbCmdSend(cmd, data); };
}

Starter Excute(const char* hex, bool allowClose = false, bool notAutoDisconnect = false)
{
    return [=](L& l) {
        l.pref()->mNotAutoDisconnect = notAutoDisconnect;
        l.Cmd_Excute(H(hex), allowClose);
    };
}

void Row(const char* name, const Starter& start, const char* script, const char* written,
         const char* readData, int maximum, int end = Open, int beeps = 0)
{
    QTest::newRow(name) << Exchange{
        start, H(script), H(written), H(readData ? readData : written), maximum, end, beeps};
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

    void singleByte_data()
    {
        QTest::addColumn<Exchange>("x");
        Row("BREAK", Send("BREAK"), "", "F3", "", 0, Closed);
        Row("STOP", Send("STOP"), "", "FA", "", 0, Closed);
        Row("RUN", Send("RUN"), "", "FB", "", 0, Closed);
        Row("RESET", Send("RESET"), "", "FC", "", 0, Closed);
        Row("BREAK bad reply", Send("BREAK"), "00", "F3", "", 0, Closed, 1);
        Row("RESET bad reply", Send("RESET"), "FF", "FC", "", 0, Closed, 1);
        Row("TRANSMITION 129", Send("TRANSMITION", QByteArray(129, 0x11)), "", "EC", "", 5,
            Waiting);
        Row("DELETE nothing", Send("DELETE"), "", "EC", "", 3, Waiting);
    }
    void singleByte() { runExchange(); }
    void streams_data()
    {
        QTest::addColumn<Exchange>("x");
        Row("41 42 43", Excute("414243"), "010203", "414243", "010203", 1);
        Row("one byte", Excute("7F"), "", "7F", Echo, 0);
        Row("allowClose", Excute("2A0B", true), "", "2A0B", Echo, 0, Closed);
        Row("NotAutoDisconnect", Excute("2A0B", true, true), "", "2A0B", Echo, 0, Kept);
        Row("empty stream waits", Excute(""), "", "", "", 0, Waiting);
    }
    void streams() { runExchange(); }
    void servoCommands_data()
    {
        QTest::addColumn<Exchange>("x");
        Row("PTP_SET on", CMD(Cmd_PTP_SET(true)), "", "B101", Echo, 0);
        Row("PTP_SET off", CMD(Cmd_PTP_SET(false)), "", "B100", Echo, 0);
        Row("IsMOVING", CMD(Cmd_IsMOVING()), "B001", "B000", "B001", 0);
        Row("SPEED 100", CMD(Cmd_SPEED(100)), "", "B264", Echo, 0);
        Row("SPEED 0", CMD(Cmd_SPEED(0)), "", "B200", Echo, 0);
        Row("SPEED_V 255", CMD(Cmd_SPEED_V(255)), "", "E9FF", Echo, 0);
        Row("SERVO_POS_GET 7", CMD(Cmd_SERVO_POS_GET(7)), "075A", "0700", "075A", 0);
        Row("GROUP 1", CMD(Cmd_SERVO_POS_GET_GROUP(1)), "D4102030405060", "D4000000000000",
            "D4102030405060", 5);
        Row("GROUP 8", CMD(Cmd_SERVO_POS_GET_GROUP(8)), "", "DB000000000000", Echo, 5);
        Row("GROUP 44 last", CMD(Cmd_SERVO_POS_GET_GROUP(44)), "", "FF000000000000", Echo, 5);
        Row("SERVO_POS_SET 2,128", CMD(Cmd_SERVO_POS_SET(2, 128)), "", "E60280", Echo, 1);
        Row("SERVO_SET 5 on", CMD(Cmd_SERVO_SET(5, true)), "", "E705", Echo, 0);
        Row("SERVO_SET 5 off", CMD(Cmd_SERVO_SET(5, false)), "", "E805", Echo, 0);
        Row("list 3,2", CMD(Cmd_SERVO_POS_SET(3, 2, "90, 120")), "", "E703E6035AE704E60478", Echo,
            8);
        Row("list missing 0", CMD(Cmd_SERVO_POS_SET(3, 2, "90")), "", "E703E6035AE704E60400", Echo,
            8);
        Row("list 90.9", CMD(Cmd_SERVO_POS_SET(0, 1, " 90.9 ")), "", "E700E6005A", Echo, 3);
        Row("list to 255", CMD(Cmd_SERVO_POS_SET(254, 2, "0,255")), "", "E7FEE6FE00E7FFE6FFFF",
            Echo, 8);
        Row("list of none", CMD(Cmd_SERVO_POS_SET(3, 0, "90")), "", "", "", 0, Waiting);
    }
    void servoCommands() { runExchange(); }
    void memory_data()
    {
        QTest::addColumn<Exchange>("x");
        // Per address: code, address low, high, data (00 to read); reply 4 is the memory byte.
        Row("SRAM r 0140+2", CMD(Cmd_SRAM_READ(0x140, 2)), "F74001AAF74101BB", "F7400100F7410100",
            "AABB", 8);
        Row("SRAM w 0140", CMD(Cmd_SRAM_WRITE(0x140, H("05"))), "", "F8400105", "05", 4);
        Row("SRAM w 01FF+2", CMD(Cmd_SRAM_WRITE(0x1FF, H("1122"))), "", "F8FF0111F8000222", "1122",
            8);
        Row("INT r FFFF", CMD(Cmd_INTROM_READ(0xFFFF, 1)), "B3FFFF42", "B3FFFF00", "42", 4);
        Row("INT w 0010", CMD(Cmd_INTROM_WRITE(0x10, H("7F"))), "", "B44B10007F7F", "7F", 4);
        Row("EXT r 000E+2", CMD(Cmd_EXTROM_READ(0x0E, 2)), "F20E0034F20F0012", "F20E0000F20F0000",
            "3412", 8);
        Row("EXT w 0010", CMD(Cmd_EXTROM_WRITE(0x10, H("7F"))), "F40B10007F99", "F40B10007F7F",
            "99", 4);
        Row("EXT w FFFE+2", CMD(Cmd_EXTROM_WRITE(0xFFFE, H("0102"))), "",
            "F40BFEFF0101F40BFFFF0202", "0102", 8);
        Row("Get_PROGRAM_SIZE", Starter(&L::Get_PROGRAM_SIZE), "F20E0034F20F0012",
            "F20E0000F20F0000", "3412", 8);
        Row("PROGRAM_CODE 3", Starter([](L& l) { l.Get_PROGRAM_CODE(3); }),
            "F2000001F2010002F2020003", "F2000000F2010000F2020000", "010203", 12);
        Row("SRAM w nothing", CMD(Cmd_SRAM_WRITE(0x140, {})), "", "F84001", "", 0, Waiting);
        Row("EXT w nothing", CMD(Cmd_EXTROM_WRITE(0x140, {})), "", "F40B4001", "", 0, Waiting);
        Row("allowClose left set",
            Starter([](L& l) { l.mAllowClose = true, l.Cmd_SRAM_WRITE(0x141, H("07")); }), "",
            "F8410107", "07", 4, Closed);
    }
    void memory() { runExchange(); }
    void identificationChain()
    {
        // F0, 00, the five answers sent back, the checksum at 04F2..04F3, then the program
        // header at external ROM 0000..000F, which ends the chain. The device echoes the header
        // read, so its data bytes come back as 00.
        mDev->setReplier(ScriptedReplier(H("F0") + QByteArray("QM4410") + H("F7F20412") +
                                         H("F7F30434")));
        mLink->RbCmdSend("CONTROLER_INFORMATION", QByteArray());
        QCOMPARE(mLink->mMsg, QStringLiteral("コントローラー情報取得中...9600 baud"));
        const QByteArray expected =
            H("F000") + QByteArray("QM441") + H("F7F20400F7F30400") +
            H("F2000000F2010000F2020000F2030000F2040000F2050000F2060000F2070000"
              "F2080000F2090000F20A0000F20B0000F20C0000F20D0000F20E0000F20F0000");
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
        QCOMPARE(mDev->written(), expected);
        QCOMPARE(mLink->mInfoCtrlr, QByteArray("QM4410"));
        QCOMPARE(mLink->mInfoChecksum, H("1234"));
        QCOMPARE(mLink->mInfoProg, QByteArray(16, 0));
        QVERIFY(std::any_of(mView->countTexts.cbegin(), mView->countTexts.cend(),
                            [](const StaticTextState& t) { return t.Text == "78/78"; }));
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
        // Each reply, also one of several bytes, releases the next byte at once.
        mLink->Cmd_Excute(H("41424344"), false);
        const char* const steps[][2] = {{"01", "4142"}, {"0203", "414243"}, {"04", "41424344"}};
        for (const auto& step : steps) {
            mDev->feed(H(step[0]));
            QCOMPARE(mDev->written(), H(step[1]));
        }
        mDev->feed(H("05"));
        QVERIFY(mLink->mMcpFinish);
        QCOMPARE(mLink->mReadData, H("0102030405"));
        QVERIFY(!mLink->SerialBackUpTimer.isActive());
        // The finished bar shows 0 of 0 and keeps the last count text.
        QVERIFY(mView->progress.last().Visible);
        QCOMPARE(mView->progress.last().Maximum, 0);
        QCOMPARE(mView->countTexts.last().Text, QStringLiteral("3/2"));
    }
    void emptyNotificationKeepsBackupPoll_data()
    {
        // After a notification with nothing to read, the poll finds a silent reply.
        QTest::addColumn<int>("repliesBefore"); // answered normally first
        QTest::newRow("before the first reply") << 0;
        QTest::newRow("after one reply") << 1;
        QTest::newRow("before the last reply") << 2;
    }
    void emptyNotificationKeepsBackupPoll()
    {
        QFETCH(int, repliesBefore);
        const QByteArray stream = H("414243");
        mLink->Cmd_Excute(stream, false);
        for (int i = 0; i < repliesBefore; ++i)
            mDev->feed(QByteArray(1, char(0x10 + i)));
        mDev->feed(QByteArray()); // notified, nothing to read
        QCOMPARE(mDev->written(), stream.left(repliesBefore + 1));
        QVERIFY(mLink->SerialBackUpTimer.isActive());
        mDev->feedSilently(QByteArray(1, char(0x10 + repliesBefore)));
        if (repliesBefore + 1 < stream.size())
            QTRY_COMPARE_WITH_TIMEOUT(mDev->written(), stream.left(repliesBefore + 2), 5000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
        for (int i = repliesBefore + 1; i < stream.size(); ++i)
            mDev->feed(QByteArray(1, char(0x10 + i)));
        QVERIFY(mLink->mMcpFinish);
        QCOMPARE(mDev->written(), stream);
        QCOMPARE(mLink->mReadData, H("101112"));
        QVERIFY(!mLink->SerialBackUpTimer.isActive()); // the poll ends with the stream
    }
    void countTextEveryReply_data()
    {
        // n bytes count against n - 2; the last reply ends the stream uncounted.
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("texts"); // after each counted reply, joined by spaces
        QTest::newRow("3 bytes") << 3 << "1/1 2/1";
        QTest::newRow("12 bytes") << 12
                                  << "1/10 2/10 3/10 4/10 5/10 6/10 7/10 8/10 9/10 10/10 11/10";
        QTest::newRow("2 bytes") << 2 << "";
    }
    void countTextEveryReply()
    {
        QFETCH(int, length);
        QFETCH(QString, texts);
        QByteArray stream;
        for (int i = 0; i < length; ++i)
            stream.append(char(0x01 + i));
        mDev->setEcho();
        mLink->Cmd_Excute(stream, false);
        const qsizetype pushesBefore = mView->countTexts.size();
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
        QCOMPARE(mLink->mReadData, stream);
        QStringList shown;
        for (qsizetype i = pushesBefore; i < mView->countTexts.size(); ++i) {
            if (mView->progress.at(i).Value > 0)
                shown.append(mView->countTexts.at(i).Text);
        }
        QCOMPARE(shown.join(QLatin1Char(' ')), texts);
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
        QTRY_COMPARE_WITH_TIMEOUT(started, 2, 5000);
        QCOMPARE(mDev->written(), H("4142515261"));
        QCOMPARE(mLink->mReadData, H("61"));
    }
    void viewRunningEventLoop()
    {
        // A view running the event loop must not make replies be handled re-entrantly.
        int depth = 0, maxDepth = 0;
        mView->onProgress = [&] {
            maxDepth = std::max(maxDepth, ++depth);
            QCoreApplication::processEvents();
            --depth;
        };
        mDev->setReplier(ScriptedReplier(H("F7100011F7110022F7120033")));
        QVERIFY(mLink->Cmd_SRAM_READ(0x10, 3));
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
        QCOMPARE(mDev->written(), H("F7100000F7110000F7120000"));
        QCOMPARE(mLink->mReadData, H("112233"));
        QCOMPARE(maxDepth, 1);
    }
    void rejectedArguments_data()
    {
        QTest::addColumn<Starter>("start");
        QTest::newRow("SPEED 256") << NOT(Cmd_SPEED(256));
        QTest::newRow("SPEED_V 300") << NOT(Cmd_SPEED_V(300));
        QTest::newRow("POS_GET 256") << NOT(Cmd_SERVO_POS_GET(256));
        QTest::newRow("GROUP 45: past FF") << NOT(Cmd_SERVO_POS_GET_GROUP(45));
        QTest::newRow("POS_SET position 256") << NOT(Cmd_SERVO_POS_SET(1, 256));
        QTest::newRow("POS_SET channel -5") << NOT(Cmd_SERVO_POS_SET(-5, 10));
        QTest::newRow("SERVO_SET 999") << NOT(Cmd_SERVO_SET(999, true));
        QTest::newRow("list channel past 255") << NOT(Cmd_SERVO_POS_SET(255, 2, "1,2"));
        QTest::newRow("list position 300") << NOT(Cmd_SERVO_POS_SET(1, 2, "10,300"));
        QTest::newRow("list not a number") << NOT(Cmd_SERVO_POS_SET(1, 2, "10,abc"));
        QTest::newRow("SRAM read FFFF+2") << NOT(Cmd_SRAM_READ(0xFFFF, 2));
        QTest::newRow("INTROM read FFF0+17") << NOT(Cmd_INTROM_READ(0xFFF0, 17));
        QTest::newRow("EXTROM read huge") << NOT(Cmd_EXTROM_READ(0x100, 0x7FFFFFFF));
        QTest::newRow("SRAM write FFFE+3") << NOT(Cmd_SRAM_WRITE(0xFFFE, H("010203")));
        QTest::newRow("EXTROM write FFFD+4") << NOT(Cmd_EXTROM_WRITE(0xFFFD, H("01020304")));
        QTest::newRow("address -1") << NOT(Cmd_SRAM_READ(-1, 1));
        QTest::newRow("length -1") << NOT(Cmd_SRAM_READ(0x100, -1));
        QTest::newRow("RbCmdSend F4 past FFFF")
            << Starter([](L& l) { l.RbCmdSend(l.cEXTROM_WRITE, H("0102"), 0xFFFF); });
    }
    void rejectedArguments()
    {
        QFETCH(Starter, start);
        mDev->setEcho(); // a finished exchange whose result must survive the refusal
        QVERIFY(mLink->Cmd_IsMOVING());
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
        Settle();
        mDev->clearWritten();
        mLink->mMcpLog = QStringLiteral("previous");
        const int pushes = mView->progress.size();

        start(*mLink);
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
        QTest::addColumn<Close>("c");
        QTest::newRow("auto") << Close{true, false, 0, false, "切断...", false};
        QTest::newRow("keep") << Close{true, true, 0, true, "接続中...", true};
        QTest::newRow("keep, forced") << Close{true, true, 1, false, "切断...", false};
        QTest::newRow("already closed") << Close{false, false, 1, false, "", false};
        QTest::newRow("FoceClose, keep") << Close{true, true, 2, true, "接続中...", false};
    }
    void portClose()
    {
        QFETCH(Close, c);
        const auto [wasOpen, notAutoDisconnect, how, openAfter, message, buttonAfter] = c;
        if (wasOpen)
            mLink->Cmd_Excute(H("41"), false);
        else
            mLink->SetFoceCloseVisible(true);
        mPref->mNotAutoDisconnect = notAutoDisconnect;
        mView->messages.clear();
        mView->buttonsEnabled.clear();

        if (how == 2)
            mLink->FoceClose_Action();
        else
            mLink->RbPortClose(how == 1);
        QCOMPARE(mLink->mMcpOpen, openAfter);
        QCOMPARE(mDev->isOpen(), openAfter);
        QCOMPARE(mDev->closeCount(), wasOpen && !openAfter ? 1 : 0);
        QCOMPARE(mView->messages.join(""), QString::fromUtf8(message));
        QCOMPARE(mView->foceCloseVisible, buttonAfter);
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
        QTest::addColumn<int>("step");
        QTest::addColumn<QByteArray>("readData");
        QTest::addColumn<QString>("messages"); // joined by |; empty: rests with the port open
        const QString size = QStringLiteral("Get_PROGRAM_SIZE"),
                      moter = QStringLiteral("Get_MOTER");
        // The size is stored low byte first; a short read counts as 0.
        QTest::newRow("size 34 12") << size << 0 << H("3412") << "4660 バイト|切断...";
        QTest::newRow("size of one byte") << size << 0 << H("05") << "5 バイト|切断...";
        QTest::newRow("size not read") << size << 0 << QByteArray() << "0 バイト|切断...";
        QTest::newRow("MOVE_MOTOR") << "MOVE_MOTOR" << 0 << H("0102") << "切断...";
        QTest::newRow("Get_MOTER at 8 ends") << moter << 8 << H("0102") << "切断...";
        QTest::newRow("Get_MOTER past 8 ends") << moter << 9 << H("0102") << "切断...";
        QTest::newRow("Get_PROGRAM_CODE rests") << "Get_PROGRAM_CODE" << 0 << H("0102") << "";
    }
    void sequencerJobs()
    {
        QFETCH(QString, job);
        QFETCH(int, step);
        QFETCH(QByteArray, readData);
        QFETCH(QString, messages);
        const bool closes = !messages.isEmpty();
        QVERIFY(mLink->RbPortOpen());
        mLink->mDirCmd = job, mLink->mDirStep = step;
        mLink->mReadData = readData, mLink->mMcpFinish = true;
        mView->messages.clear();
        mLink->DirectCommandTimer_Action();
        QCOMPARE(mView->messages.join(QLatin1Char('|')), messages);
        QVERIFY(mDev->written().isEmpty());
        QVERIFY(!mLink->DirectCommandTimer.isActive());
        QCOMPARE(mLink->mMcpOpen, !closes);
        QCOMPARE(mLink->mReadData, closes ? QByteArray() : readData);
        QCOMPARE(mLink->mMcpFinish, !closes);
    }
    void sequencerGetMoter()
    {
        // Group 0, then the sequencer reads groups 1..8, one per finished exchange.
        auto n = std::make_shared<int>(0);
        mDev->setReplier([n](char c) { return QByteArray(1, quint8(c) >= 0xD3 ? c : char(++*n)); });
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
        QCOMPARE(mDev->openCount(), 1);
    }
    void programReadOut_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("hasPort");
        QTest::newRow("開始") << 1 << true;
        QTest::newRow("キャンセル") << 0 << true;
        QTest::newRow("no port chosen: asks first") << 1 << false;
    }
    void programReadOut()
    {
        QFETCH(int, answer);
        QFETCH(bool, hasPort);
        mView->alertAnswer = answer;
        if (!hasPort)
            mPref->mPortInfo.reset();
        QByteArray writtenWhenAsked = "not asked";
        mView->onPortSettings = [&] {
            writtenWhenAsked = mDev->written();
            mPref->mPortInfo = SerialPortInfo(mEntry);
        };
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
        QCOMPARE(writtenWhenAsked, hasPort ? QByteArray("not asked") : QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
        const QString message = mLink->mMsg; // the next tick takes no step: the read-out rests
        QTRY_VERIFY_WITH_TIMEOUT(!mLink->DirectCommandTimer.isActive(), 5000);
        QCOMPARE(mLink->mReadData, H("3412"));
        QVERIFY(mLink->mMcpOpen);
        QCOMPARE(mLink->mMsg, message);
        QCOMPARE(mDev->written(), H("F20E0000F20F0000"));
    }

private:
    void runExchange()
    {
        QFETCH(Exchange, x);
        const auto& [start, script, written, readData, maximum, end, beeps] = x;

        mDev->setReplier(ScriptedReplier(script));
        QSignalSpy finished(mLink.get(), &ControllerLink::mcpFinished);
        start(*mLink);
        // Lock-step: only the first byte is out, and flushed, before any reply.
        QCOMPARE(mDev->written(), written.left(1));
        QVERIFY(mDev->flushCount() > 0 || written.isEmpty());
        QVERIFY(mView->foceCloseVisible);
        QCOMPARE(mView->buttonsEnabled, QList<bool>{false});
        if (end == Waiting)
            QTRY_COMPARE_WITH_TIMEOUT(mDev->written(), written, 5000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(mLink->mMcpFinish, 5000);
        Settle();

        QCOMPARE(mDev->written(), written);
        QCOMPARE(mLink->mReadData, readData);
        QCOMPARE(finished.count(), end == Waiting ? 0 : 1);
        QCOMPARE(mView->beeps, beeps);
        QCOMPARE(mLink->mMcpOpen, end != Closed);
        QCOMPARE(mDev->closeCount(), end == Closed ? 1 : 0);
        int shownMax = 0, shownValue = 0; // every reply but the last advances the bar
        for (const ProgressBarState& p : mView->progress)
            shownMax = std::max(shownMax, p.Maximum), shownValue = std::max(shownValue, p.Value);
        QCOMPARE(shownMax, maximum);
        QCOMPARE(shownValue, int(written.size()) - (end == Waiting ? 0 : 1));
        QCOMPARE(mLink->PrgPB.Visible, end == Open || end == Waiting);
        if (end == Closed || end == Kept) {
            QCOMPARE(mLink->mMsg,
                     end == Closed ? QStringLiteral("切断...") : QStringLiteral("接続中..."));
            QCOMPARE(mLink->mMcpStep, -1);
            QCOMPARE(mView->buttonsEnabled.last(), true);
        }
    }

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
