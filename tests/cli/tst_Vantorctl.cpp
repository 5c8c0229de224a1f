// vantorctl as a user runs it, against qmc-emulator on a pseudo-terminal: every command form with
// its bytes on the wire and what it prints, usage errors in the tool's words, the help, the port
// list, program load and verify, a sequence played and a pose read, the saved port, and Ctrl-C.
#include "QmcEmulatorProcess.h"
#include "VantorctlRun.h"
#include "emulator/QmcModel.h"

#include <QJsonDocument>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// A sequence as a hand writes it. Its first frame: servos 1 and 2 jump (speed 0) and the board is
// asked until it reports them still; its second: servo 2 off and servo 3 on at speed 9 with a
// fixed wait.
const QByteArray kTwoFrames = R"({
  "format": "vantor-sequence", "version": 1, "name": "two", "frames": [
  {"name": "open", "speed": 0, "wait": "stopped", "hold": 30, "channels": {"1": 90, "2": 120}},
  {"name": "close", "speed": 9, "wait": 40, "hold": 0, "channels": {"2": "off", "3": 17}}
]}
)";
// What each of its frames sends, in hexadecimal.
const QByteArray kOpen = "B200 E701E6015A E702E60278 B000";
const QByteArray kClose = "B209 E802 E703E60311";

// One run against the emulator, in text and, when `json` is given, again with --json on a fresh
// emulator. It ends with exit code 0.
struct Run
{
    QStringList command;
    QByteArray wire = {};   // what the controller received after the handshake, in hexadecimal
    bool probe = true;      // the run begins with the handshake
    bool afterPlay = false; // two.json is played first, on the same emulator
    QByteArray out = {};    // standard output, exactly
    QByteArray json = {};   // standard output with --json, less its final newline; null: not run
    QString err = {};       // standard error, exactly
};

// A command line refused before any port is opened: exit 2 and exactly this message.
struct Refusal
{
    QStringList command;
    QString message;   // the line after "vantorctl: "
    bool usage = true; // a usage error: the help is pointed to
};

// What one command's help says, and which options it lists.
struct CommandHelpRow
{
    QStringList help;           // vantorctl's arguments asking for it
    QStringList sameAs = {};    // another way of asking that prints the same
    QStringList listed = {};    // options it lists
    QStringList notListed = {}; // options of other commands it leaves out
    QStringList says = {};      // phrases of its description
};

} // namespace

Q_DECLARE_METATYPE(Run)
Q_DECLARE_METATYPE(Refusal)
Q_DECLARE_METATYPE(CommandHelpRow)

class TestVantorctl : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;

    Result inDir(const QStringList& args)
    {
        return Vantorctl(args, [this](QProcess& p) { p.setWorkingDirectory(mDir.path()); });
    }
    // A run with one more variable in its environment.
    static Result WithEnv(const QStringList& args, const QString& name, const QString& value)
    {
        return Vantorctl(args, [&](QProcess& p) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(name, value);
            p.setProcessEnvironment(env);
        });
    }

private slots:
    void initTestCase()
    {
        QVERIFY(WriteFile(mDir.filePath("fits.bin"), QByteArray(16, '\x5A')));
        QVERIFY(WriteFile(mDir.filePath("big.bin"), QByteArray(17, '\x5A')));
        QVERIFY(WriteFile(mDir.filePath("two.json"), kTwoFrames));
        QVERIFY(WriteFile(mDir.filePath("channel49.json"),
                          QByteArray(kTwoFrames).replace("\"3\": 17", "\"49\": 17")));
    }

    void runs_data()
    {
        QTest::addColumn<Run>("row");
        const auto add = [](const char* name, const Run& row) { QTest::newRow(name) << row; };
        // A command that only acts prints, with --json, what it sent and what came back.
        const auto traffic = [](const char* numbers) {
            return QByteArray(R"({"received":%1,"sent":%1})").replace("%1", numbers);
        };
        // The emulator holds its demo program (size 0x33, checksum 0x111E); its static RAM and
        // internal ROM hold zeros. Memory commands go address by address: code, address low and
        // high, data (00 to read); ROM writes send a sub-code after the code and the data twice.
        add("read extrom",
            {.command = {"read", "extrom", "0x0E", "2"},
             .wire = "F20E0000F20F0000",
             .out = "000E  33 00" + QByteArray(45, ' ') + "|3.|\n",
             .json = R"({"address":14,"data":[51,0],"length":2,"memory":"extrom"})"});
        add("read to a file",
            {.command = {"read", "extrom", "0E", "2", "-o", "read.bin"},
             .wire = "F20E0000F20F0000",
             .json = R"({"address":14,"file":"read.bin","length":2,"memory":"extrom"})"});
        add("write sram --verify",
            {.command = {"write", "sram", "140", "05", "--verify"},
             .wire = "F8400105F7400100",
             .json = R"({"address":320,"length":1,"memory":"sram","verified":true})"});
        add("write introm --verify", {.command = {"write", "introm", "10", "7F", "--verify"},
                                      .wire = "B44B10007F7FB3100000"});
        add("write extrom",
            {.command = {"write", "extrom", "40", "DE", "AD"}, .wire = "F40B4000DEDEF40B4100ADAD"});
        add("program size", {.command = {"program", "size"},
                             .wire = "F20E0000F20F0000",
                             .out = "51\n",
                             .json = R"({"programSize":51})"});
        add("servo list, both ends", {.command = {"servo", "set", "3", "0, 255"},
                                      .wire = "E703E60300E704E604FF",
                                      .json = traffic("[231,3,230,3,0,231,4,230,4,255]")});
        add("servo set, lowest position",
            {.command = {"servo", "set", "1", "0"}, .wire = "E60100"});
        add("servo get", {.command = {"servo", "get", "2"},
                          .wire = "0200",
                          .out = "0\n",
                          .json = R"({"channel":2,"position":0})"});
        add("servo group", {.command = {"servo", "group", "1"},
                            .wire = "D4000000000000",
                            .out = "1 0\n2 0\n3 0\n4 0\n5 0\n6 0\n",
                            .json = R"({"group":1,"positions":[0,0,0,0,0,0]})"});
        add("servo on", {.command = {"servo", "on", "5"}, .wire = "E705"});
        add("servo off", {.command = {"servo", "off", "5"}, .wire = "E805"});
        add("speed", {.command = {"speed", "16"}, .wire = "B210"});
        add("speed-v", {.command = {"speed-v", "7"}, .wire = "E907"});
        add("ptp on", {.command = {"ptp", "on"}, .wire = "B101"});
        add("moving", {.command = {"moving"},
                       .wire = "B000",
                       .out = "still\n",
                       .json = R"({"moving":false})"});
        add("run", {.command = {"run"}, .wire = "FB"});
        add("stop", {.command = {"stop"}, .wire = "FA"});
        add("break", {.command = {"break"}, .wire = "F3"});
        add("reset", {.command = {"reset"}, .wire = "FC"});
        add("key variable",
            {.command = {"key", "5", "--id", "2", "--var", "3"}, .wire = "F8420125"});
        add("key escaped", {.command = {"key", "32", "--id", "4"}, .wire = "FF80"});
        add("send", {.command = {"send", "F0", "0x00"},
                     .wire = "F000",
                     .probe = false,
                     .out = "F0 -> F0\n00 -> 51\n",
                     .json = R"({"received":[240,81],"sent":[240,0]})"});
        // A later --port wins: the built-in controller takes a file that fills its static RAM up
        // to FFFF exactly, and the emulator hears nothing.
        add("virtual controller",
            {.command = {"write", "sram", "FFF0", "-i", "fits.bin", "--port", "virtual"},
             .probe = false,
             .json = R"({"address":65520,"length":16,"memory":"sram"})",
             .err = kVirtualNotice});
        add("info",
            {.command = {"info"},
             .wire = "F000514D343431F7F20400F7F30400"
                     "F2000000F2010000F2020000F2030000F2040000F2050000F2060000F2070000"
                     "F2080000F2090000F20A0000F20B0000F20C0000F20D0000F20E0000F20F0000",
             .out = "controller:     QM4410 (51 4D 34 34 31 30)\n"
                    "checksum:       0x111E (static RAM 04F2..04F3)\n"
                    "program size:   51 bytes\n"
                    "program header:\n"
                    "0000  51 50 01 03 44 45 4D 4F  2D 30 31 20 10 00 33 00  |QP..DEMO-01 ..3.|\n",
             .json = R"({"checksum":4382,"controller":"QM4410","controllerBytes":[81,77,52,52,49,)"
                     R"(48],"programHeader":[81,80,1,3,68,69,77,79,45,48,49,32,16,0,51,0],)"
                     R"("programSize":51})"});
        // A sequence played: each frame's bytes, and the board asked until it reports its servos
        // still; each pass of a loop starts at the frame asked for.
        add("play", {.command = {"play", "two.json"},
                     .wire = kOpen + kClose,
                     .out = "frame 1/2 \"open\"\nframe 2/2 \"close\"\n2 frames played\n",
                     .json = R"({"frames":2,"loops":1})"});
        add("play twice from the second frame",
            {.command = {"play", "two.json", "--loop", "2", "--from", "2"},
             .wire = kClose + kClose,
             .out = "pass 1, frame 2/2 \"close\"\npass 2, frame 2/2 \"close\"\n"
                    "2 frames played in 2 passes\n"});
        add("play a step by name", {.command = {"play", "two.json", "--from", "close", "--step"},
                                    .wire = kClose,
                                    .out = "frame 2/2 \"close\"\n1 frame played\n"});
        // --dry-run shows each frame's bytes, wait and hold, and needs no port: the one that wins
        // does not exist.
        add("play --dry-run",
            {.command = {"play", "two.json", "--dry-run", "--port", "no-such-tty"},
             .probe = false,
             .out = "frame 1 \"open\": B2 00 E7 01 E6 01 5A E7 02 E6 02 78; "
                    "wait until stopped (B0 00); hold 30 ms\n"
                    "frame 2 \"close\": B2 09 E8 02 E7 03 E6 03 11; wait 40 ms; hold 0 ms\n"
                    "2 frames, once\n",
             .json = R"({"frames":[{"bytes":"B2 00 E7 01 E6 01 5A E7 02 E6 02 78","frame":1,)"
                     R"("hold":30,"name":"open","wait":"stopped"},{"bytes":"B2 09 E8 02 E7 03 E6 )"
                     R"(03 11","frame":2,"hold":0,"name":"close","wait":40}],"loops":1})"});
        // The positions of groups 1 and 2 after a play; with --json, the frame a script appends
        // to "frames".
        add("pose", {.command = {"pose", "--channels", "1-3,7"},
                     .wire = "D4000000000000 D5000000000000",
                     .afterPlay = true,
                     .out = "1:90 2:120 3:17 7:0\n",
                     .json = R"({"name":"pose","speed":0,"wait":"stopped","hold":0,)"
                             R"("channels":{"1":90,"2":120,"3":17,"7":0}})"});
    }
    void runs()
    {
        QFETCH(Run, row);
        for (const bool json : {false, true}) {
            if (json && row.json.isNull())
                break;
            QmcEmulatorProcess emu;
            QVERIFY(emu.start());
            const QStringList port{"--port", emu.path};
            QByteArray wire = (row.probe ? kProbe : QByteArray()) + QByteArray::fromHex(row.wire);
            if (row.afterPlay) {
                QCOMPARE(inDir(port + QStringList{"play", "two.json"}).exitCode, 0);
                wire.prepend(kProbe + QByteArray::fromHex(kOpen + kClose));
            }
            const Result r =
                inDir(port + row.command + (json ? QStringList{"--json"} : QStringList()));
            QCOMPARE(r.err, row.err);
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.out, json ? row.json + '\n' : row.out);
            if (wire.isEmpty())
                QTest::qWait(100); // a byte sent would have reached the trace by now
            QCOMPARE(emu.received(wire.size()).toHex(' '), wire.toHex(' '));
        }
    }

    // Bytes to write from a file and from standard input; -v traces every byte out and in on
    // standard error; -o - puts raw bytes on standard output; global options may come last.
    void inputOutputAndTrace()
    {
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        const QStringList port{"--port", emu.path};
        const QString first = mDir.filePath("first.bin"), second = mDir.filePath("second.bin");
        QVERIFY(WriteFile(first, QByteArray::fromHex("AB00")));
        QVERIFY(WriteFile(second, QByteArray::fromHex("FF7E")));
        QCOMPARE(Vantorctl(port + QStringList{"write", "extrom", "100", "-i", first}).exitCode, 0);
        const Result fromStdin = Vantorctl(port + QStringList{"write", "extrom", "102", "-i", "-"},
                                           [&](QProcess& p) { p.setStandardInputFile(second); });
        QCOMPARE(fromStdin.err, QString());
        QCOMPARE(fromStdin.exitCode, 0);
        const Result r =
            Vantorctl(QStringList{"read", "extrom", "100", "4", "-o", "-", "-v"} + port);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.toHex(' '), QByteArray("ab 00 ff 7e"));
        QVERIFY2(r.err.contains("> F2\n< F2\n> 00\n< 00\n> 01\n< 01\n> 00\n< AB\n> F2\n"),
                 qPrintable(r.err));
    }

    // program load and verify: the file is checked before anything is sent, the board's own
    // program is saved in the data folder before the first byte of the new one, a board that
    // differs from the file is named at its first differing address, and a load cut short says
    // what the board holds. (The console's tests find a difference in the read-back of a load.)
    void programLoadAndVerify()
    {
        QByteArray image(80, '\x42');
        image[0x0E] = char(80);
        image[0x0F] = 0;
        const QString file = mDir.filePath("load.bin");
        const QString damaged = mDir.filePath("damaged.bin");
        QVERIFY(WriteFile(file, image) && WriteFile(damaged, image.left(40)));
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        const QStringList port{"--port", emu.path};
        const QString backups = qEnvironmentVariable("XDG_DATA_HOME") +
                                "/Tessaro Utilities/VantorController IR/backups";

        Result r = Vantorctl(port + QStringList{"program", "load", damaged});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("is not a program: its size field (bytes 0E-0F) says 80 bytes, "
                                "but it holds 40"),
                 qPrintable(r.err));
        r = Vantorctl(port + QStringList{"program", "verify", file});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("program verify: first difference at extrom 0000: '" + file +
                                "' has 42, the board 51"),
                 qPrintable(r.err));

        // So far: the verify's handshake and the first chunk of 64 addresses it read; the damaged
        // file sent nothing.
        const qsizetype before = emu.received(7 + 4 * 64).size();
        QCOMPARE(before, 7 + 4 * 64);
        r = Vantorctl(port + QStringList{"--json", "program", "load", file, "--verify"});
        QCOMPARE(r.exitCode, 0);
        const QStringList saved = QDir(backups).entryList({"program-*.bin"}, QDir::Files);
        QCOMPARE(saved.size(), 1);
        const QString backup = backups + "/" + saved.first();
        QCOMPARE(ReadFile(backup).toHex(), QmcModel::demoProgram().toHex());
        QCOMPARE(r.out,
                 "{\"backup\":\"" + backup.toUtf8() + "\",\"verified\":true,\"written\":80}\n");
        // On the wire: the handshake, the size and the old program read, then the new one
        // written from 0000 (six bytes an address), then read back.
        const qsizetype size = 7 + 4 * (2 + 51) + 6 * 80 + 4 * 80;
        const QByteArray wire = emu.received(before + size).mid(before);
        QCOMPARE(wire.size(), size);
        QCOMPARE(wire.mid(7, 8).toHex().toUpper(), QByteArray("F20E0000F20F0000"));
        QCOMPARE(wire.mid(7 + 4 * 53, 12).toHex().toUpper(),
                 QByteArray("F40B00004242F40B01004242"));
        QCOMPARE(wire.right(4).toHex().toUpper(), QByteArray("F24F0000"));

        r = Vantorctl(port + QStringList{"program", "verify", file});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, "the board holds '" + file.toUtf8() + "' (80 bytes)\n");

        // The line dies in the middle of the 21st address written: the run says how much of the
        // file the board holds, and where its own program went.
        QmcEmulatorProcess cut;
        QVERIFY(cut.start({"--hangup-after", QString::number(7 + 4 * 53 + 6 * 20 + 3)}));
        r = Vantorctl({"--port", cut.path, "program", "load", file});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("program load: the board now holds part of '" + file +
                                "': the first 20 of its 80 bytes"),
                 qPrintable(r.err));
        const QString path = r.err.section("the board's own program was saved to ", 1).trimmed();
        QCOMPARE(ReadFile(path).toHex(), QmcModel::demoProgram().toHex());
        // The emulator that hung up has left by itself, as a board's line that died stays dead.
        QVERIFY(cut.process.waitForFinished(5000));
        QCOMPARE(cut.process.exitCode(), 0);
    }

    void servoWatch_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("line"); // a line of the output, the time left out
        QTest::newRow("text") << QStringList{"servo", "watch", "2", "1"}
                              << "7:0 8:0 9:0 10:0 11:0 12:0 1:90 2:45 3:0 4:0 5:0 6:0";
        QTest::newRow("json") << QStringList{"--json", "servo", "watch", "8"}
                              << R"({"groups":[{"group":8,"positions":[0,0,0,0,0,17]}],)";
    }
    void servoWatch()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, line);
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        const QStringList port{"--port", emu.path};
        QCOMPARE(Vantorctl(port + QStringList{"servo", "set", "1", "90,45"}).exitCode, 0);
        QCOMPARE(Vantorctl(port + QStringList{"servo", "set", "48", "17"}).exitCode, 0);
        QProcess p;
        p.start(QStringLiteral(VANTORCTL_PATH), port + args + QStringList{"--interval", "50"});
        QByteArray out;
        QVERIFY(QTest::qWaitFor(
            [&] {
                out += p.readAllStandardOutput();
                return out.count('\n') >= 3;
            },
            10000));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 130);
        out += p.readAllStandardOutput();
        for (const QByteArray& l : out.trimmed().split('\n'))
            QVERIFY2(l.contains(line.toUtf8()), l.constData());
    }

    // Ctrl-C in a long read leaves no file behind. Its progress is drawn on a terminal only,
    // never into a pipe or a log, and is wiped before the last words.
    void interruptLeavesNoFile_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::newRow("standard error a pipe") << false;
        QTest::newRow("standard error a terminal") << true;
    }
    void interruptLeavesNoFile()
    {
        QFETCH(bool, terminal);
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--delay-us", "5000"}));
        const QString file = mDir.filePath("interrupted.bin");
        int master = -1, slave = -1;
        QVERIFY(!terminal || ::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
        QProcess p;
        if (terminal)
            p.setChildProcessModifier([slave] { ::dup2(slave, STDERR_FILENO); });
        p.start(QStringLiteral(VANTORCTL_PATH),
                {"--port", emu.path, "read", "extrom", "0", "200", "-o", file});
        // Into the second chunk of 64 addresses: the first took over a second (four bytes an
        // address, 5 ms each), so its progress is due. The whole read takes four.
        QVERIFY(QTest::qWaitFor([&] { return emu.received().size() > 7 + 4 * 64 + 4; }, 10000));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 130);
        QVERIFY(QDir(mDir.path()).entryList({"interrupted*"}, QDir::Files).isEmpty());
        if (!terminal) {
            QCOMPARE(p.readAllStandardError(),
                     QByteArray("\nvantorctl: read extrom: interrupted\n"));
            return;
        }
        ::close(slave);
        QByteArray err(4096, '\0');
        err.resize(std::max<ssize_t>(0, ::read(master, err.data(), size_t(err.size()))));
        ::close(master);
        const QRegularExpression drawn(
            "^(\r\x1b\\[Kread extrom: \\d+/200 bytes, \\d+ B/s, 0:0\\d left)+\r\x1b\\[K\r?\n"
            "vantorctl: read extrom: interrupted\r?\n$");
        QVERIFY2(drawn.match(QString::fromLatin1(err)).hasMatch(), err.toHex(' ').constData());
    }

    // Ctrl-C in the middle of a motion: the exchange on the line is finished, nothing follows,
    // the run names the frame it stopped in, and the port is left free.
    void interruptStopsTheMotion()
    {
        // Servo 1 jumps to 0, then goes to 250 at speed 1, which takes five seconds; the run asks
        // until it stops.
        const QString slow = mDir.filePath(QStringLiteral("slow.json"));
        QVERIFY(WriteFile(slow, R"({"format": "vantor-sequence", "version": 1, "frames": [
            {"name": "rest", "speed": 0, "channels": {"1": 0}},
            {"name": "reach", "speed": 1, "channels": {"1": 250}},
            {"name": "back", "speed": 0, "channels": {"1": 0}}]})"));
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--delay-us", "2000"}));
        QProcess p;
        p.start(QStringLiteral(VANTORCTL_PATH), {"--port", emu.path, "play", slow, "--json"});
        // The handshake, frame 1 and its one query, frame 2, then a few queries.
        const QByteArray frames = QByteArray::fromHex("B200 E701 E60100 B000 B201 E701 E601FA");
        QVERIFY(
            QTest::qWaitFor([&] { return emu.received().size() > 7 + frames.size() + 10; }, 10000));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 130);
        QCOMPARE(p.readAllStandardOutput(), "{\"frames\":1,\"interrupted\":true,\"loops\":0}\n");
        QCOMPARE(QString::fromLocal8Bit(p.readAllStandardError()),
                 "\nvantorctl: play: interrupted in frame 2 \"reach\"; nothing more was sent\n");
        QTest::qWait(300); // the last bytes' trace lines reach the test
        const QByteArray sent = emu.received();
        // Whole moving queries only after frame 2: the query on the line was finished, and
        // nothing came after it.
        QCOMPARE(sent.mid(7, frames.size()).toHex(' '), frames.toHex(' '));
        const QByteArray queries = sent.mid(7 + frames.size());
        QVERIFY(!queries.isEmpty());
        QCOMPARE(queries.toHex(' '),
                 QByteArray::fromHex("B000").repeated(queries.size() / 2).toHex(' '));
        // The board keeps going where it was sent (five seconds to go); the next run finds the
        // port free.
        QCOMPARE(Vantorctl({"--port", emu.path, "moving"}).out, QByteArray("moving\n"));
    }

    void savedPortIsUsedAndLeftAlone()
    {
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        QTemporaryDir config;
        const QString folder = config.filePath("Tessaro Utilities/VantorController IR");
        QVERIFY(QDir().mkpath(folder));
        const QByteArray prefs = "SerialPort\n" + emu.path.toUtf8() + "\n" + emu.path.toUtf8() +
                                 "\n\nConnectType\n0\nNotAutoDisconnect\nFalse\n";
        const QString file = folder + "/VantorController IR.Pref";
        QVERIFY(WriteFile(file, prefs));
        const Result r = WithEnv({"program", "size"}, "XDG_CONFIG_HOME", config.path());
        QCOMPARE(r.out, QByteArray("51\n"));
        QCOMPARE(ReadFile(file), prefs);
    }

    // ports lists each port with its state, found without disturbing a program that holds it:
    // held in exclusive mode, or locked by a program mid-exchange (which loses no answer), it is
    // in use.
    void ports()
    {
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        const auto listed = [&](const QStringList& args) {
            return WithEnv(args, "VANTOR_IR_PORTS", emu.path).out;
        };
        // Name, device, description, USB identifiers, state.
        const QByteArray line = emu.path.toUtf8() + '\t' + emu.path.toUtf8() + "\t-\t-\t";
        const auto state = [&] {
            const QByteArray out = listed({"ports"});
            return out.mid(out.indexOf(line) + line.size()).split('\n').first();
        };
        const QByteArray out = listed({"ports"});
        QVERIFY(out.startsWith("NAME\tDEVICE\tDESCRIPTION\tUSB\tSTATE\n"));
        QVERIFY2(out.contains(line + "free\n"), out.constData());
        QVERIFY(out.endsWith("Virtual QMC-4410\tvirtual\tthe built-in virtual controller "
                             "(--port virtual)\t-\tfree\n"));
        const QByteArray json = listed({"ports", "--json"});
        QVERIFY2(QJsonDocument::fromJson(json).isObject(), json.constData()); // no header line
        {
            QSerialPort holder(emu.path);
            QVERIFY(holder.open(QIODevice::ReadWrite));
            QCOMPARE(state(), "in use");
        }

        // Locked by a program waiting for an answer: in use, and the answer stays for it to read.
        const int fd = ::open(QFile::encodeName(emu.path).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        QCOMPARE(::write(fd, "\x05", 1), ssize_t(1)); // a key code, echoed
        pollfd answer{fd, POLLIN, 0};
        QCOMPARE(::poll(&answer, 1, 5000), 1);
        QCOMPARE(state(), "in use");
        char echo = 0;
        QCOMPARE(::read(fd, &echo, 1), ssize_t(1));
        QCOMPARE(echo, '\x05');
        ::close(fd);
    }

    // Usage errors in the tool's own words: "vantorctl: ...", lower case, no full stop. The port
    // named does not exist, so a command that went as far as opening it would end with 3.
    void refusals_data()
    {
        QTest::addColumn<Refusal>("row");
        const auto add = [](const char* name, const Refusal& row) { QTest::newRow(name) << row; };
        // A missing argument is named as the synopsis names it.
        add("read without LEN", {{"read", "sram", "0"}, "read: missing LEN"});
        add("program without sub-command", {{"program"}, "program: missing size|save|load|verify"});
        add("word too many", {{"run", "now"}, "run: unexpected argument 'now'"});
        // A negative number where an argument goes is that argument, out of range.
        add("negative speed, options after",
            {{"speed-v", "-7", "--json"}, "speed '-7' is not 0-255"});
        // Values out of range, and options of another command.
        add("range", {{"read", "extrom", "FFFF", "2"}, "reading 2 bytes from FFFF runs past FFFF"});
        add("list past 48",
            {{"servo", "set", "47", "1,2,3"}, "3 positions from channel 47 run past channel 48"});
        add("timeout", {{"--timeout", "0", "run"}, "--timeout '0' is not 1-3600000 milliseconds"});
        add("option of another command",
            {{"read", "sram", "0", "1", "--verify"}, "option --verify does not apply to read"});
        add("file past the end of the memory",
            {{"write", "sram", "FFF0", "-i", "big.bin"},
             "'big.bin' holds 17 bytes; sram 0000-FFFF takes at most 16 from FFF0"});
        add("unknown command", {{"fly"}, "unknown command 'fly'"});
        // The option parser's own refusals.
        add("unknown long option", {{"info", "--bogus"}, "unknown option '--bogus'"});
        add("unknown short option", {{"read", "sram", "0", "1", "-x"}, "unknown option '-x'"});
        add("value missing", {{"read", "sram", "0", "1", "-o"}, "missing FILE after -o"});
        add("value to a switch", {{"--json=yes", "info"}, "--json takes no value"});
        add("help for no command", {{"help", "fly"}, "unknown command 'fly'"});
        add("--channels 0", {{"pose", "--channels", "0-6"},
                             "--channels '0-6': '0-6' is not a channel 1-48 or a range of them"});
        // A sequence file refused, with its line and the file reader's reason; nothing is sent.
        add("channel 49 in a sequence",
            {{"play", "channel49.json"}, "channel49.json: line 4: channel 49 is not 1-48", false});
        add("no sequence file",
            {{"play", "none.json"}, "cannot read none.json: No such file or directory", false});
        add("--from past the end", {{"play", "two.json", "--from", "3"},
                                    "play: --from 3: 'two.json' has 2 frames",
                                    false});
    }
    void refusals()
    {
        QFETCH(Refusal, row);
        const Result r = inDir(QStringList{"--port", mDir.filePath("no-such-tty")} + row.command);
        const QString tryHelp = QStringLiteral("Try 'vantorctl --help' for more information.\n");
        QCOMPARE(r.err, "vantorctl: " + row.message + "\n" + (row.usage ? tryHelp : QString()));
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.out, QByteArray());
    }

    // "help COMMAND" prints what "COMMAND --help" prints; each command lists the global options
    // and its own, not those of other commands.
    void commandHelp_data()
    {
        QTest::addColumn<CommandHelpRow>("row");
        const auto add = [](const char* name, const CommandHelpRow& row) {
            QTest::newRow(name) << row;
        };
        const QStringList global{"--port", "--timeout", "--json", "--trace", "--help"};
        add("general", {.help = {"help"},
                        .sameAs = {"--help"},
                        .listed = global + QStringList{"--output", "--verify", "--id"},
                        .says = {"help [COMMAND]"}});
        add("read", {.help = {"help", "read"},
                     .sameAs = {"read", "--help"},
                     .listed = global + QStringList{"--output"},
                     .notListed = {"--input", "--verify", "--id", "--var"},
                     .says = {"Usage: vantorctl [options] read sram|introm|extrom ADDR LEN"}});
        add("speed", {.help = {"help", "speed"},
                      .sameAs = {"speed", "-h"},
                      .listed = global,
                      .notListed = {"--output", "--input", "--verify", "--id", "--var"},
                      .says = {"speed step the servos move at", "B2"}});
    }
    void commandHelp()
    {
        QFETCH(CommandHelpRow, row);
        const Result r = Vantorctl(row.help);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, QString());
        QCOMPARE(Vantorctl(row.sameAs).out, r.out);
        const QString text = QString::fromLocal8Bit(r.out);
        for (const QString& option : row.listed)
            QVERIFY2(text.contains(QRegularExpression("^ +(-\\w, )?" + option + "\\b",
                                                      QRegularExpression::MultilineOption)),
                     qPrintable(option + " missing from:\n" + text));
        for (const QString& option : row.notListed)
            QVERIFY2(!text.contains(option), qPrintable(option + " listed in:\n" + text));
        for (const QString& phrase : row.says)
            QVERIFY2(text.contains(phrase), qPrintable(phrase + " not in:\n" + text));
    }
};

QTEST_GUILESS_MAIN(TestVantorctl)
#include "tst_Vantorctl.moc"
