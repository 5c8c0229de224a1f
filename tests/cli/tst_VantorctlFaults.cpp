// vantorctl against the ways a line fails, over a pseudo-terminal: what it says for each, and
// every command family's outcome: a run either ends with exit 1, nothing on standard output and
// no output file, or with exit 0 and exactly what a healthy controller gives. A byte the line
// made up is never reported as data.
#include "QmcEmulatorProcess.h"
#include "VantorctlRun.h"
#include "emulator/QmcModel.h"

#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A fault, the tool's words for it and where on the wire it struck.
struct Message
{
    QStringList emulator = {}; // the controller's fault mode
    QStringList command;
    const char* wire; // what the controller received, in hexadecimal
    int exitCode = 1;
    QString err = {};      // part of standard error
    bool portHeld = false; // another program has the port open
};

// A command family, and whether it writes the file FILE.
struct Family
{
    const char* name;
    QStringList command;
    bool writesFile = false;
};

// A way the line fails, and whether the run must still succeed.
struct Fault
{
    const char* name;
    QStringList emulator;
    bool succeeds = false;
};

} // namespace
Q_DECLARE_METATYPE(Message)
Q_DECLARE_METATYPE(Family)
Q_DECLARE_METATYPE(Fault)

class TestVantorctlFaults : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;

    // Where the command families write FILE; each run starts without it.
    QString file() const { return mDir.filePath(QStringLiteral("out.bin")); }

    Result runOn(const Family& family, const QStringList& emulator)
    {
        QmcEmulatorProcess emu;
        if (!emu.start(emulator))
            return {};
        QFile::remove(file());
        QStringList args{"--port", emu.path, "--timeout", "300"};
        for (const QString& word : family.command)
            args << (word == QLatin1String("FILE") ? file() : word);
        return Vantorctl(args, [this](QProcess& p) { p.setWorkingDirectory(mDir.path()); });
    }

private slots:
    void initTestCase()
    {
        QVERIFY(WriteFile(mDir.filePath("demo.bin"), QmcModel::demoProgram()));
        // Servo 1 jumps to 90 and the board is asked until it is still; then servo 2 goes off.
        QVERIFY(WriteFile(mDir.filePath("two.json"), R"({"format": "vantor-sequence", "version": 1,
            "frames": [{"name": "open", "channels": {"1": 90}},
                       {"name": "close", "channels": {"2": "off"}}]})"));
    }

    void messages_data()
    {
        QTest::addColumn<Message>("row");
        const QString notAPort = mDir.filePath("notes.txt");
        QVERIFY(WriteFile(notAPort, "F0 00\n"));
        const auto add = [](const char* name, const Message& row) { QTest::newRow(name) << row; };
        // A controller that does not answer, or stops half-way: the reply bound ends the run.
        add("silent controller",
            {.emulator = {"--silent"},
             .command = {"read", "sram", "140", "1", "--timeout", "200"},
             .wire = "F0",
             .err = "read sram: no answer from the controller within 200 ms at step 0; last byte "
                    "sent F0; check its power, the cable, the port and the line speed"});
        add("stops mid-stream", {.emulator = {"--stop-after", "2"},
                                 .command = {"--timeout", "200", "send", "01", "02", "03", "04"},
                                 .wire = "010203",
                                 .err = "at byte 3 of the stream; last byte sent 03"});
        // Silent in the second frame of a play: where the motion stopped, and no JSON.
        add("stops mid-play", {.emulator = {"--stop-after", "18"},
                               .command = {"--timeout", "200", "--json", "play", "two.json"},
                               .wire = "F000514D343431 B200E701E6015A B000 B200E8",
                               .err = "play: no answer from the controller within 200 ms at byte "
                                      "1 of the stream; last byte sent E8; check its power, the "
                                      "cable, the port and the line speed (9600 bit/s)\n"
                                      "vantorctl: play: the motion stopped in frame 2 \"close\"\n"});
        // Not the controller: a device that answers each byte with its complement. The handshake
        // is tried twice (a stray byte can spoil the first), and nothing else is sent.
        add("wrong device", {.emulator = {"--wrong"},
                             .command = {"run"},
                             .wire = "F0F0",
                             .err = "run: not a QMC-4410 controller: wrong answer at step 0: sent "
                                    "F0, expected F0, received "});
        // A controller that answers the handshake, then a wrong echo to run control; and a
        // static RAM cell that keeps its value, which only the read-back can tell.
        add("wrong echo", {.emulator = {"--wrong-after", "7"},
                           .command = {"run"},
                           .wire = "F000514D343431FB",
                           .err = "run: wrong echo: sent FB, the controller answered 04"});
        add("verify difference", {.emulator = {"--stuck", "sram:0140"},
                                  .command = {"write", "sram", "140", "01", "--verify"},
                                  .wire = "F000514D343431F8400101F7400100",
                                  .err = "first difference at sram 0140: wrote 01, read 00"});
        // It hangs up at the seventh byte after the handshake: the user is told it hung up,
        // not "Input/output error".
        add("device lost mid-read",
            {.emulator = {"--hangup-after", "13"},
             .command = {"read", "extrom", "0", "4", "-o", "partial.bin"},
             .wire = "F000514D343431F2000000F20100",
             .err = "read extrom: the device was lost at address 0001, step 2; last byte "
                    "sent 00 (The device hung up)"});
        // Ports that cannot be opened: nothing is sent.
        add("busy port", {.command = {"info"},
                          .wire = "",
                          .exitCode = 3,
                          .err = "the port is busy: another program is using it",
                          .portHeld = true});
        add("not a serial device", {.command = {"--port", notAPort, "info"},
                                    .wire = "",
                                    .exitCode = 3,
                                    .err = "cannot open " + notAPort + ": not a serial device"});
        add("no device", {.command = {"--port", mDir.filePath("no-such-tty"), "info"},
                          .wire = "",
                          .exitCode = 3,
                          .err = "no such device"});
    }
    void messages()
    {
        QFETCH(Message, row);
        QmcEmulatorProcess emu;
        QVERIFY(emu.start(row.emulator));
        QSerialPort holder(emu.path);
        QVERIFY(!row.portHeld || holder.open(QIODevice::ReadWrite));
        QElapsedTimer clock;
        clock.start();
        const Result r = Vantorctl(QStringList{"--port", emu.path} + row.command,
                                   [this](QProcess& p) { p.setWorkingDirectory(mDir.path()); });
        QVERIFY(clock.elapsed() < 5000); // a fault ends it by the reply bound, not a hang
        QVERIFY2(r.err.contains(row.err), qPrintable(r.err));
        QCOMPARE(r.exitCode, row.exitCode);
        QCOMPARE(r.out, QByteArray());
        const QByteArray wire = QByteArray::fromHex(row.wire);
        if (wire.isEmpty())
            QTest::qWait(100); // a byte sent would have reached the trace by now
        QCOMPARE(emu.received(wire.size()).toHex(' '), wire.toHex(' '));
        QVERIFY(!QFile::exists(mDir.filePath("partial.bin")));
    }

    void commandsAgainstFaults_data()
    {
        QTest::addColumn<Family>("family");
        QTest::addColumn<Fault>("fault");
        const Family families[] = {
            {"info", {"info"}},
            {"read -o", {"read", "extrom", "0", "4", "-o", "FILE"}, true},
            {"write --verify", {"write", "sram", "140", "05", "--verify"}},
            {"program save", {"program", "save", "FILE"}, true},
            {"program verify", {"program", "verify", "demo.bin"}},
            {"servo group", {"servo", "group", "1"}},
            {"pose", {"pose", "--channels", "1-12"}},
            {"key", {"key", "5"}},
            {"run", {"run"}},
        };
        // The handshake, and the recovery from a stray byte before it, are the same for every
        // command: each of these faults meets one family.
        const Fault faults[] = {
            {"silent", {"--silent"}},
            {"complements", {"--wrong"}},
            {"loopback plug", {"--loopback"}},
            {"answers 00", {"--zero"}},
            {"random bytes", {"--noise"}},
            {"text lines", {"--text"}},
            // A stray byte before the first answer spoils only the first handshake: the line
            // is drained, the controller drops the half-received handshake after its 50 ms of
            // silence, and the second one goes through.
            {"late answer after the discard", {"--late-answer", "--abandon-ms", "50"}, true},
            {"chatter at power-on", {"--unsolicited", "55 AA"}, true},
        };
        for (size_t i = 0; i < std::size(faults); ++i) {
            const Family& family = families[i % std::size(families)];
            QTest::addRow("%s, %s", family.name, faults[i].name) << family << faults[i];
        }
        // What follows the handshake is each family's own.
        for (const Family& family : families) {
            for (const Fault& fault :
                 {Fault{"falls silent after the handshake", {"--stop-after", "7"}},
                  Fault{"hangs up after the handshake", {"--hangup-after", "7"}}})
                QTest::addRow("%s, %s", family.name, fault.name) << family << fault;
        }
    }
    void commandsAgainstFaults()
    {
        QFETCH(Family, family);
        QFETCH(Fault, fault);
        const Result healthy = runOn(family, {});
        QCOMPARE(healthy.exitCode, 0);
        QCOMPARE(QFile::exists(file()), family.writesFile);
        const QByteArray healthyFile = ReadFile(file());
        const Result r = runOn(family, fault.emulator);
        if (fault.succeeds) {
            QVERIFY2(r.exitCode == 0, qPrintable(r.err));
            QCOMPARE(r.out, healthy.out);
            QCOMPARE(ReadFile(file()).toHex(), healthyFile.toHex());
            return;
        }
        QVERIFY2(r.exitCode == 1, qPrintable(QString::number(r.exitCode) + ": " + r.err));
        QVERIFY2(r.err.startsWith(QStringLiteral("vantorctl: ")), qPrintable(r.err));
        QCOMPARE(r.out, QByteArray());
        QVERIFY(!QFile::exists(file()));
    }

    // The port is locked as a device, not as a name: while one run reads through the emulator's
    // link, a second run through the /dev/pts path is refused as busy, and the first run's bytes
    // arrive undisturbed.
    void secondPathIsBusy()
    {
        const QString link = mDir.filePath("qmc-two-paths");
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--link", link, "--delay-us", "2000"}));
        QProcess first;
        first.start(QStringLiteral(VANTORCTL_PATH),
                    {"--port", link, "read", "extrom", "0", "200", "-o", "-"});
        QVERIFY(QTest::qWaitFor([&] { return emu.received().size() > 8; }, 5000));
        const Result second = Vantorctl({"--port", emu.path, "info"});
        QCOMPARE(second.exitCode, 3);
        QVERIFY2(second.err.contains("the port is busy"), qPrintable(second.err));
        QVERIFY(first.waitForFinished(30000));
        QCOMPARE(first.exitCode(), 0);
        const QByteArray expected = QmcModel::demoProgram().leftJustified(200, '\0');
        QCOMPARE(first.readAllStandardOutput().toHex(' '), expected.toHex(' '));
    }
};

QTEST_GUILESS_MAIN(TestVantorctlFaults)
#include "tst_VantorctlFaults.moc"
