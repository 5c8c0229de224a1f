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
// Bound for what waits on the link's own 10 ms poll.
constexpr int kTimerMs = 2000;

const QString kNoLink = QStringLiteral("コントローラーに接続できませんでした...");

} // namespace

// One exchange with a controller that echoes every byte, and what must be seen once it is over.
struct Exchange
{
    const char* wire = "";      // hex: every byte written, in order
    const char* read = nullptr; // hex: the data read; nullptr: the bytes written came back
    bool closes = false;        // the port is closed after it
};
Q_DECLARE_METATYPE(Exchange)

// Opening the chosen port: which of the listed ports opens, or the alert when none does.
struct PortOpen
{
    QStringList ports = {"ttyUSB0"};
    QString wanted = "ttyUSB0";
    int opened = -1;                         // index into ports; -1: none
    SerialError refusal = SerialError::None; // how the last port refuses to open
    QString hint = {};                       // the alert's explanation when none opens
};
Q_DECLARE_METATYPE(PortOpen)

// A line that lies: the device's answers to the bytes written (one entry per byte, hex; an entry
// of several bytes arrives in one read), then silence; where the link must give up.
struct Lie
{
    QList<const char*> answers;
    const char* wire = ""; // hex: everything written before the link gave up
    LinkFault fault = LinkFault::WrongReply;
    int addr = 0;
    int step = 0;
    const char* expected = ""; // hex; empty when a rule, not a byte, fixes the answer
    const char* received = "";
};
Q_DECLARE_METATYPE(Lie)

namespace {

Start Send(const char* cmd, const QByteArray& data = {})
{
    return [cmd, data](L& l) {
        l.RbCmdSend(cmd, data);
        return true;
    };
}

// Answers the n-th byte written with answers[n] (several bytes arrive as one read), then nothing.
std::function<QByteArray(char)> Replies(const QList<const char*>& answers)
{
    auto next = std::make_shared<qsizetype>(0);
    return [answers, next](char) {
        return *next < answers.size() ? H(answers.at((*next)++)) : QByteArray();
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
        const SerialPortEntry entry =
            mDev->entry(QStringLiteral("COM1"), QStringLiteral("in-1"), QStringLiteral("out-1"));
        SerialPorts::setOverride({entry});
        mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir->path());
        mPref->mPortInfo = SerialPortInfo(entry);
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
        // Run control: one byte, echoed; the port closes after it. The bytes of every command
        // family are pinned against the emulator by the command-line tests; these rows are the
        // link's own edges.
        add("BREAK", Send("BREAK"), {.wire = "F3", .read = "", .closes = true});
        // Byte streams: each answer releases the next byte.
        add("NotAutoDisconnect",
            [](L& l) {
                l.pref()->mNotAutoDisconnect = true;
                l.Cmd_Excute(H("2A0B"), true);
                return true;
            },
            {.wire = "2A0B"});
        // Memory writes, per address: code, address low, high, data. ROM writes send a sub-code
        // after the code and the data byte twice. The reads are the console's and vantorctl's.
        add("SRAM w 01FF+2", [](L& l) { return l.Cmd_SRAM_WRITE(0x1FF, H("1122")); },
            {.wire = "F8FF0111F8000222", .read = "1122"});
        add("EXT w FFFE+2", [](L& l) { return l.Cmd_EXTROM_WRITE(0xFFFE, H("0102")); },
            {.wire = "F40BFEFF0101F40BFFFF0202", .read = "0102"});
        add("allowClose left set",
            [](L& l) {
                l.mAllowClose = true;
                return l.Cmd_SRAM_WRITE(0x141, H("07"));
            },
            {.wire = "F8410107", .read = "07", .closes = true});
    }
    void wireTrace()
    {
        QFETCH(Start, run);
        QFETCH(Exchange, x);
        const QByteArray wire = H(x.wire);
        mDev->setEcho();
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
        QCOMPARE(mDev->flushCount(), 1);
        QVERIFY(!finished.isEmpty() || finished.wait(kQuickMs));
        Settle();

        QCOMPARE(mDev->written(), wire);
        // And so each byte after it.
        QCOMPARE(mDev->flushCount(), int(wire.size()));
        QCOMPARE(mLink->mReadData, x.read ? H(x.read) : wire);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(mView->beeps, 0);
        QCOMPARE(mLink->mMcpOpen, !x.closes);
        QCOMPARE(mDev->closeCount(), x.closes ? 1 : 0);
        QCOMPARE(maxDepth, 1);
    }
    void wrongAnswers_data()
    {
        QTest::addColumn<Start>("run");
        QTest::addColumn<Lie>("lie");
        const auto add = [](const char* name, const Start& run, const Lie& lie) {
            QTest::newRow(name) << run << lie;
        };
        // Echoes: the command code, the data written (a read's data byte is no echo), the data
        // byte a ROM write sends twice. The other bytes are checked the same way.
        add("code", [](L& l) { return l.Cmd_INTROM_READ(0, 1); },
            {.answers = {"B4"}, .wire = "B3", .expected = "B3", .received = "B4"});
        add("SRAM data not stored", [](L& l) { return l.Cmd_SRAM_WRITE(0x140, H("05")); },
            {.answers = {"F8", "40", "01", "04"},
             .wire = "F8400105",
             .addr = 0x140,
             .step = 3,
             .expected = "05",
             .received = "04"});
        add("ROM second data byte", [](L& l) { return l.Cmd_INTROM_WRITE(0x10, H("7F")); },
            {.answers = {"B4", "4B", "10", "00", "7F", "7E"},
             .wire = "B44B10007F7F",
             .addr = 0x10,
             .step = 5,
             .expected = "7F",
             .received = "7E"});
        // The identification: F0 echoed, then six printable characters that are not an echo.
        add("loopback", Send("CONTROLER_INFORMATION"),
            {.answers = {"F0", "00"}, .wire = "F000", .step = 1, .received = "00"});
        add("name echoed back", Send("CONTROLER_INFORMATION"),
            {.answers = {"F0", "41", "41", "41", "41", "41", "41"},
             .wire = "F0004141414141",
             .step = 6,
             .received = "414141414141"});
        // Lock-step: one byte answers one byte, also in a stream and at a data step.
        add("two bytes in a stream", [](L& l) { return l.Cmd_SERVO_POS_SET(1, 90); },
            {.answers = {"E6", "0102"},
             .wire = "E601",
             .fault = LinkFault::LineNoise,
             .received = "0102"});
        add("two bytes for a memory byte", [](L& l) { return l.Cmd_EXTROM_READ(0, 1); },
            {.answers = {"F2", "00", "00", "3344"},
             .wire = "F2000000",
             .fault = LinkFault::LineNoise,
             .step = 3,
             .received = "3344"});
    }
    void wrongAnswers()
    {
        QFETCH(Start, run);
        QFETCH(Lie, lie);
        mDev->setReplier(Replies(lie.answers));
        QSignalSpy finished(mLink.get(), &ControllerLink::mcpFinished);
        QSignalSpy failed(mLink.get(), &ControllerLink::exchangeFailed);
        QVERIFY(run(*mLink));
        QVERIFY(failed.wait(kQuickMs));
        Settle();
        // Nothing more went out, nothing finished, nothing was kept as data.
        QCOMPARE(mDev->written().toHex().toUpper(), QByteArray(lie.wire));
        QCOMPARE(finished.count(), 0);
        QCOMPARE(failed.count(), 1);
        QVERIFY(!mLink->mMcpFinish);
        QVERIFY(mLink->mReadData.isEmpty());
        const LinkFailure f = failed.first().first().value<LinkFailure>();
        QCOMPARE(f.fault, lie.fault);
        QCOMPARE(f.addr, lie.addr);
        QCOMPARE(f.step, lie.step);
        QCOMPARE(f.sent, H(lie.wire).right(1));
        QCOMPARE(f.expected.toHex().toUpper(), QByteArray(lie.expected));
        QCOMPARE(f.received.toHex().toUpper(), QByteArray(lie.received));
        QCOMPARE(mLink->mLastFailure.fault, lie.fault);
        // Told once. (That the port is let go after it, the remote's tests see on a real line.)
        QCOMPARE(mView->beeps, 1);
        QCOMPARE(mView->alerts.size(), 1);
        QCOMPARE(mView->alerts.first().at(5),
                 QStringLiteral("コントローラーからの応答が正しくありません..."));
    }
    void runControlWrongEcho()
    {
        // Run control finishes on a wrong echo too, with no alert and the mismatch noted, and the
        // next command starts without it. (The beep and the words are the console's reset row.)
        mDev->setReplier(Replies({"00"}));
        QSignalSpy finished(mLink.get(), &ControllerLink::mcpFinished);
        mLink->RbCmdSend("RUN", QByteArray());
        QVERIFY(finished.wait(kQuickMs));
        QVERIFY(mLink->mEchoMismatch);
        QVERIFY(mView->alerts.isEmpty());
        mDev->setEcho();
        mLink->RbCmdSend("STOP", QByteArray());
        QVERIFY(finished.wait(kQuickMs));
        QVERIFY(!mLink->mEchoMismatch);
    }
    void streamFedByHand()
    {
        // Each answer releases the next byte at once.
        mLink->Cmd_Excute(H("41424344"), false);
        mDev->feed(H("01"));
        QCOMPARE(mDev->written(), H("4142"));
        mDev->feed(H("02"));
        QCOMPARE(mDev->written(), H("414243"));
        // After a notification with nothing to read, the 10 ms poll finds a silent answer.
        mDev->feed(QByteArray());
        QVERIFY(mLink->SerialBackUpTimer.isActive());
        mDev->feedSilently(H("04"));
        QTRY_COMPARE_WITH_TIMEOUT(mDev->written(), H("41424344"), kTimerMs);
        mDev->feed(H("05"));
        QVERIFY(mLink->mMcpFinish);
        QCOMPARE(mLink->mReadData, H("01020405"));
        QVERIFY(!mLink->SerialBackUpTimer.isActive()); // the poll ends with the stream
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
        const auto add = [](const char* name, const Start& start) { QTest::newRow(name) << start; };
        // The first value past each end of the accepted range.
        add("SPEED -1", [](L& l) { return l.Cmd_SPEED(-1); });
        add("SPEED_V 256", [](L& l) { return l.Cmd_SPEED_V(256); });
        add("POS_GET 256", [](L& l) { return l.Cmd_SERVO_POS_GET(256); });
        add("GROUP 45", [](L& l) { return l.Cmd_SERVO_POS_GET_GROUP(45); });
        add("POS_SET to 256", [](L& l) { return l.Cmd_SERVO_POS_SET(1, 256); });
        add("SERVO_SET 256", [](L& l) { return l.Cmd_SERVO_SET(256, true); });
        add("list past 255", [](L& l) { return l.Cmd_SERVO_POS_SET(255, 2, "1,2"); });
        add("list to 256", [](L& l) { return l.Cmd_SERVO_POS_SET(1, 2, "10,256"); });
        // Beyond any integer: refused before it is converted.
        add("list of 1e300", [](L& l) { return l.Cmd_SERVO_POS_SET(1, 2, "1e300"); });
        add("list not a number", [](L& l) { return l.Cmd_SERVO_POS_SET(1, 2, "10,abc"); });
        add("SRAM r FFFF+2", [](L& l) { return l.Cmd_SRAM_READ(0xFFFF, 2); });
        add("SRAM w FFFE+3", [](L& l) { return l.Cmd_SRAM_WRITE(0xFFFE, H("010203")); });
        add("address -1", [](L& l) { return l.Cmd_SRAM_READ(-1, 1); });
        add("length -1", [](L& l) { return l.Cmd_SRAM_READ(0x100, -1); });
        add("RbCmdSend F4 past FFFF", [](L& l) {
            l.RbCmdSend(l.cEXTROM_WRITE, H("0102"), 0xFFFF);
            return false; // it returns nothing: the checks below tell the refusal
        });
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

        QVERIFY(!start(*mLink));
        Settle();
        QVERIFY(mDev->written().isEmpty());
        QCOMPARE(mLink->mReadData, H("B000"));
        QCOMPARE(mLink->mMcpCmd, QByteArray("STATUS_COMMAND"));
        QCOMPARE(mDev->openCount(), 1);
    }

    void portOpen_data()
    {
        QTest::addColumn<PortOpen>("row");
        const auto add = [](const char* name, const PortOpen& row) { QTest::newRow(name) << row; };
        const QString hint = QStringLiteral("電源がオンになっているか確認して下さい...\n");
        add("later of two equal names, in any case",
            {.ports = {"ttyUSB0", "ttyS0", "TTYUSB0"}, .wanted = "ttyUSB0", .opened = 2});
        const QString cable = QStringLiteral("ケーブルが接続されていない可能性があります...");
        add("not listed", {.ports = {"ttyS0"}, .hint = cable});
        // Listed, but nothing behind it when opened: as if not listed.
        add("not found at open", {.refusal = SerialError::NotFound, .hint = cable});
        // Found but refused: the usual hint, then the reason on its own line.
        add("permission",
            {.refusal = SerialError::PermissionDenied,
             .hint = hint + "ポートを使用する権限がありません。シリアルポートの使用を許可さ"
                            "れたユーザーである必要があります（Debian では dialout "
                            "グループ）。"});
        add("busy",
            {.refusal = SerialError::Busy, .hint = hint + "ポートは他のプログラムが使用中です。"});
        add("no serial device", {.refusal = SerialError::NotSerialDevice,
                                 .hint = hint + "シリアルポートではありません。"});
        add("gone", {.refusal = SerialError::DeviceGone,
                     .hint = hint + "ポートが見つかりません。取り外された可能性があります。"});
        add("other", {.refusal = SerialError::Other,
                      .hint = hint + "ポートを開けませんでした（refused）。"});
    }
    void portOpen()
    {
        QFETCH(PortOpen, row);
        QList<SerialPortEntry> entries;
        for (int i = 0; i < row.ports.size(); ++i) {
            mDevs.push_back(std::make_unique<FakeSerialDevice>());
            entries.append(mDevs.back()->entry(row.ports.at(i), QStringLiteral("in-%1").arg(i)));
        }
        SerialPorts::setOverride(entries);
        mDevs.back()->setOpenFailure(row.refusal, QStringLiteral("refused"));
        mPref->mPortInfo->mName = row.wanted;

        QCOMPARE(mLink->RbPortOpen(), row.opened >= 0);
        for (int i = 0; i < row.ports.size(); ++i)
            QCOMPARE(mDevs[i]->openCount(), int(i == row.opened));
        if (row.opened >= 0) {
            QCOMPARE(mPref->mPortInfo->mInputDriverName, QStringLiteral("in-%1").arg(row.opened));
            QVERIFY(mView->alerts.isEmpty());
            QVERIFY(mLink->RbPortOpen()); // already open: true, and nothing more happens
            QCOMPARE(mDevs[row.opened]->openCount(), 1);
            return;
        }
        QCOMPARE(mView->alerts,
                 (QList<QStringList>{{"1", "2", "OK", "", "", kNoLink, row.hint, ""}}));
        if (row.refusal == SerialError::None || row.refusal == SerialError::NotFound) {
            // The choice is forgotten: the next command asks for a port first.
            QVERIFY(!mPref->mPortInfo.has_value());
            mLink->Cmd_Excute(H("01"), true);
            QCOMPARE(mView->portSettingsRequests, 1);
            QVERIFY(!mLink->PrgPB.Visible);
            return;
        }
        // The next attempt opens the same port once it lets go.
        mDevs.back()->clearOpenFailure();
        QVERIFY(mLink->RbPortOpen());
        QCOMPARE(mDevs.back()->openCount(), 1);
    }
    void deviceErrors()
    {
        // On a link kept open between commands; losses mid-exchange are covered over a
        // pseudo-terminal.
        mPref->mNotAutoDisconnect = true;
        mLink->Cmd_Excute(H("4142"), false);
        // An ordinary error is reported each time; the exchange goes on.
        for (int i = 0; i < 2; ++i)
            mDev->raiseError(SerialError::Other, QStringLiteral("framing"));
        QCOMPARE(mView->beeps, 2);
        mDev->feed(H("01"));
        mDev->feed(H("02"));
        QVERIFY(mLink->mMcpFinish);
        // A late answer between two commands is no reply to the next.
        mDev->feedSilently(H("EE"));
        mLink->Cmd_Excute(H("43"), false);
        mDev->feed(H("43"));
        QCOMPARE(mLink->mReadData, H("43"));
        QCOMPARE(mDev->written(), H("414243"));

        // The idle link loses its device: it ends as after a close, and says so once, in an
        // alert (the message line is off screen).
        QSignalSpy lost(mLink.get(), &ControllerLink::linkLost);
        QSignalSpy failed(mLink.get(), &ControllerLink::exchangeFailed);
        mDev->unplug();
        QVERIFY(lost.wait(kQuickMs));
        QVERIFY(!mLink->mMcpOpen);
        // Nothing touches the dead device afterwards, and nothing more is said.
        QTest::qWait(100);
        QCOMPARE(mDev->closedAccessCount(), 0);
        QCOMPARE(lost.count(), 1);
        QCOMPARE(failed.count(), 0); // no exchange was waiting
        QCOMPARE(mView->beeps, 3);
        QCOMPARE(mView->alerts.size(), 1);
        QCOMPARE(mView->alerts.first().at(5),
                 QStringLiteral("コントローラーとの接続が切れました..."));
    }

private:
    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<FakeSerialDevice> mDev;
    std::vector<std::unique_ptr<FakeSerialDevice>> mDevs; // extra ports, outliving the link
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<RecordingView> mView;
    std::unique_ptr<ControllerLink> mLink;
};

QTEST_GUILESS_MAIN(TestControllerLink)
#include "tst_ControllerLink.moc"
