#include "QmcEmulatorProcess.h"
#include "emulator/QmcModel.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QString err;
};

Result Vantorctl(const QStringList& args, const QProcessEnvironment& env = {},
                 const QString& folder = {})
{
    QProcess p;
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    if (!folder.isEmpty())
        p.setWorkingDirectory(folder);
    p.start(QStringLiteral(VANTORCTL_PATH), args);
    p.waitForFinished(30000);
    return {p.exitCode(), p.readAllStandardOutput(),
            QString::fromLocal8Bit(p.readAllStandardError())};
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// What every run but `send` begins with: the identification handshake (F0, 00, and the first
// five characters of the emulator's name QM4410 sent back).
constexpr const char* kProbe = "F000514D343431";

// One run of vantorctl against the emulator. Exit code 1 is a controller fault; 2 (bad arguments)
// and 3 (a port that cannot be opened) are refused before a byte is sent, so the wire is empty.
struct Run
{
    QStringList emulator = {}; // the controller's fault mode
    QStringList command;
    const char* wire = ""; // what the controller received after the handshake, in hexadecimal
    bool probe = true;     // the run begins with the handshake
    QByteArray out = {};   // standard output; null: not checked
    QByteArray json = {};  // standard output of the same run with --json; null: not run
    int exitCode = 0;
    QString err = {};      // part of standard error; empty: none at all
    bool portLast = false; // the global options after the command
    bool portHeld = false; // another program has the port open
};

// A command line refused before any port is opened: exit 2 and exactly this message.
struct Refusal
{
    QStringList command;
    QString message; // the line after "vantorctl: "
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

Q_DECLARE_METATYPE(Refusal)
Q_DECLARE_METATYPE(CommandHelpRow)

// The program the emulator holds at power-on (header "QP", size 0x33).
QByteArray QmcModelDemo()
{
    return QmcModel::demoProgram();
}

class TestVantorctl : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;

private slots:
    void runs_data()
    {
        QTest::addColumn<Run>("row");
        const QString file = mDir.filePath("partial.bin");
        const QString notAPort = mDir.filePath("notes.txt");
        QVERIFY(WriteFile(notAPort, "F0 00\n"));
        const auto add = [](const char* name, Run row) { QTest::newRow(name) << row; };
        // The bytes of each command family as the controller's protocol fixes them;
        // the emulator holds its demo program (size 0x33, checksum 0x111E).
        // Every command form, in text and with --json (a second run on a fresh emulator), and the
        // bytes of each on the wire. The emulator holds its demo program (size 0x33, checksum
        // 0x111E); its static RAM and internal ROM hold zeros.
        const QByteArray both = R"({"received":%1,"sent":%1})";
        const auto traffic = [&](const char* numbers) {
            return QByteArray(both).replace("%1", numbers);
        };
        add("read extrom", {.command = {"read", "extrom", "0x0E", "2"},
                            .wire = "F20E0000F20F0000",
                            .out = "000E  33 00" + QByteArray(45, ' ') + "|3.|\n",
                            .json = R"({"address":14,"data":[51,0],"length":2,"memory":"extrom"})"
                                    "\n"});
        add("read sram", {.command = {"read", "sram", "140", "1"},
                          .wire = "F7400100",
                          .out = "0140  00" + QByteArray(48, ' ') + "|.|\n",
                          .json = R"({"address":320,"data":[0],"length":1,"memory":"sram"})"
                                  "\n"});
        add("read introm", {.command = {"read", "introm", "FFFF", "1"},
                            .wire = "B3FFFF00",
                            .out = "FFFF  00" + QByteArray(48, ' ') + "|.|\n",
                            .json = R"({"address":65535,"data":[0],"length":1,"memory":"introm"})"
                                    "\n"});
        add("read past 000F", {.command = {"read", "extrom", "10", "1"},
                               .wire = "F2100000",
                               .out = "0010  E9" + QByteArray(48, ' ') + "|.|\n"});
        add("read, raw to standard output, options last",
            {.command = {"read", "extrom", "0E", "2", "-o", "-"},
             .wire = "F20E0000F20F0000",
             .out = QByteArray::fromHex("3300"),
             .portLast = true});
        add("read to a file",
            {.command = {"read", "extrom", "0E", "2", "-o", "read.bin"},
             .wire = "F20E0000F20F0000",
             .out = "",
             .json = R"({"address":14,"file":"read.bin","length":2,"memory":"extrom"})"
                     "\n"});
        add("write sram", {.command = {"write", "sram", "140", "05"},
                           .wire = "F8400105",
                           .out = "",
                           .json = R"({"address":320,"length":1,"memory":"sram"})"
                                   "\n"});
        add("write sram --verify",
            {.command = {"write", "sram", "140", "05", "--verify"},
             .wire = "F8400105F7400100",
             .out = "",
             .json = R"({"address":320,"length":1,"memory":"sram","verified":true})"
                     "\n"});
        add("write introm --verify",
            {.command = {"write", "introm", "10", "7F", "--verify"},
             .wire = "B44B10007F7FB3100000",
             .out = "",
             .json = R"({"address":16,"length":1,"memory":"introm","verified":true})"
                     "\n"});
        add("write extrom", {.command = {"write", "extrom", "40", "DE", "AD"},
                             .wire = "F40B4000DEDEF40B4100ADAD",
                             .out = "",
                             .json = R"({"address":64,"length":2,"memory":"extrom"})"
                                     "\n"});
        add("program size", {.command = {"program", "size"},
                             .wire = "F20E0000F20F0000",
                             .out = "51\n",
                             .json = R"({"programSize":51})"
                                     "\n"});
        add("servo list", {.command = {"servo", "set", "3", "90, 120"},
                           .wire = "E703E6035AE704E60478",
                           .out = "",
                           .json = traffic("[231,3,230,3,90,231,4,230,4,120]") + "\n"});
        add("servo set, lowest position", {.command = {"servo", "set", "1", "0"},
                                           .wire = "E60100",
                                           .out = "",
                                           .json = traffic("[230,1,0]") + "\n"});
        add("servo get", {.command = {"servo", "get", "2"},
                          .wire = "0200",
                          .out = "0\n",
                          .json = R"({"channel":2,"position":0})"
                                  "\n"});
        add("servo group", {.command = {"servo", "group", "1"},
                            .wire = "D4000000000000",
                            .out = "1 0\n2 0\n3 0\n4 0\n5 0\n6 0\n",
                            .json = R"({"group":1,"positions":[0,0,0,0,0,0]})"
                                    "\n"});
        add("servo on", {.command = {"servo", "on", "5"},
                         .wire = "E705",
                         .out = "",
                         .json = traffic("[231,5]") + "\n"});
        add("servo off", {.command = {"servo", "off", "5"},
                          .wire = "E805",
                          .out = "",
                          .json = traffic("[232,5]") + "\n"});
        add("speed", {.command = {"speed", "16"},
                      .wire = "B210",
                      .out = "",
                      .json = traffic("[178,16]") + "\n"});
        add("speed-v", {.command = {"speed-v", "7"},
                        .wire = "E907",
                        .out = "",
                        .json = traffic("[233,7]") + "\n"});
        add("ptp on", {.command = {"ptp", "on"},
                       .wire = "B101",
                       .out = "",
                       .json = traffic("[177,1]") + "\n"});
        add("ptp off", {.command = {"ptp", "off"},
                        .wire = "B100",
                        .out = "",
                        .json = traffic("[177,0]") + "\n"});
        add("moving", {.command = {"moving"},
                       .wire = "B000",
                       .out = "still\n",
                       .json = R"({"moving":false})"
                               "\n"});
        add("run", {.command = {"run"}, .wire = "FB", .out = "", .json = traffic("[251]") + "\n"});
        add("stop",
            {.command = {"stop"}, .wire = "FA", .out = "", .json = traffic("[250]") + "\n"});
        add("break",
            {.command = {"break"}, .wire = "F3", .out = "", .json = traffic("[243]") + "\n"});
        add("reset",
            {.command = {"reset"}, .wire = "FC", .out = "", .json = traffic("[252]") + "\n"});
        add("key variable", {.command = {"key", "5", "--id", "2", "--var", "3"},
                             .wire = "F8420125",
                             .out = "",
                             .json = traffic("[248,66,1,37]") + "\n"});
        add("key escaped", {.command = {"key", "32", "--id", "4"},
                            .wire = "FF80",
                            .out = "",
                            .json = traffic("[255,128]") + "\n"});
        add("send", {.command = {"send", "F0", "0x00"},
                     .wire = "F000",
                     .probe = false,
                     .out = "F0 -> F0\n00 -> 51\n",
                     .json = R"({"received":[240,81],"sent":[240,0]})"
                             "\n"});
        // A later --port wins: the built-in controller answers, the emulator hears nothing.
        add("virtual controller",
            {.command = {"read", "extrom", "0E", "2", "--port", "virtual"},
             .probe = false,
             .out = "000E  33 00" + QByteArray(45, ' ') + "|3.|\n",
             .json = R"({"address":14,"data":[51,0],"length":2,"memory":"extrom"})"
                     "\n",
             .err = "vantorctl: the port is the built-in virtual controller: nothing reaches a "
                    "board, and its memory lives for this run only"});
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
             .json =
                 R"({"checksum":4382,"controller":"QM4410","controllerBytes":[81,77,52,52,49,48],)"
                 R"("programHeader":[81,80,1,3,68,69,77,79,45,48,49,32,16,0,51,0],"programSize":51})"
                 "\n"});
        // A controller that does not answer, or stops half-way: the reply bound ends the run.
        add("silent controller",
            {.emulator = {"--silent"},
             .command = {"read", "sram", "140", "1", "--timeout", "200"},
             .wire = "F0",
             .probe = false,
             .exitCode = 1,
             .err = "read sram: no answer from the controller within 200 ms at step 0; last byte "
                    "sent F0; check its power, the cable, the port and the line speed"});
        add("stops mid-stream", {.emulator = {"--stop-after", "2"},
                                 .command = {"--timeout", "200", "send", "01", "02", "03", "04"},
                                 .wire = "010203",
                                 .probe = false,
                                 .exitCode = 1,
                                 .err = "at byte 3 of the stream; last byte sent 03"});
        // Not the controller: a device that answers each byte with its complement. The handshake
        // is tried twice (a stray byte can spoil the first), and nothing else is sent.
        add("wrong device", {.emulator = {"--wrong"},
                             .command = {"run"},
                             .wire = "F0F0",
                             .probe = false,
                             .exitCode = 1,
                             .err = "run: not a QMC-4410 controller: wrong answer at step 0: sent "
                                    "F0, expected F0, received "});
        // A controller that answers the handshake, then a wrong echo to run control; and a
        // static RAM cell that keeps its value, which only the read-back can tell.
        add("wrong echo", {.emulator = {"--wrong-after", "7"},
                           .command = {"run"},
                           .wire = "FB",
                           .exitCode = 1,
                           .err = "run: wrong echo: sent FB, the controller answered 04"});
        add("verify difference", {.emulator = {"--stuck", "sram:0140"},
                                  .command = {"write", "sram", "140", "01", "--verify"},
                                  .wire = "F8400101F7400100",
                                  .exitCode = 1,
                                  .err = "first difference at sram 0140: wrote 01, read 00"});
        add("device lost mid-read",
            {.emulator = {"--hangup-after", "13"},
             .command = {"read", "extrom", "0", "4", "-o", file},
             .wire = "F2000000F20100", // it hangs up at the seventh byte after the handshake
             .exitCode = 1,
             .err = "read extrom: the device was lost at address 0001, step 2"});
        add("busy port", {.command = {"info"},
                          .probe = false,
                          .exitCode = 3,
                          .err = "the port is busy: another program is using it",
                          .portHeld = true});
        add("not a serial device", {.command = {"--port", notAPort, "info"},
                                    .exitCode = 3,
                                    .err = "cannot open " + notAPort + ": not a serial device"});
        add("no device", {.command = {"--port", mDir.filePath("no-such-tty"), "info"},
                          .probe = false,
                          .exitCode = 3,
                          .err = "no such device"});
        add("range", {.command = {"read", "extrom", "FFFF", "2"},
                      .exitCode = 2,
                      .err = "reading 2 bytes from FFFF runs past FFFF"});
        add("channel",
            {.command = {"servo", "get", "49"}, .exitCode = 2, .err = "channel '49' is not 1-48"});
        add("list past 48", {.command = {"servo", "set", "47", "1,2,3"},
                             .exitCode = 2,
                             .err = "3 positions from channel 47 run past channel 48"});
        add("option of another command", {.command = {"read", "sram", "0", "1", "--verify"},
                                          .exitCode = 2,
                                          .err = "option --verify does not apply to read"});
        add("timeout",
            {.command = {"--timeout", "0", "run"}, .exitCode = 2, .err = "--timeout '0'"});
        add("unknown", {.command = {"fly"}, .exitCode = 2, .err = "unknown command 'fly'"});
    }
    void runs()
    {
        QFETCH(Run, row);
        for (const bool json : {false, true}) {
            if (json && row.json.isNull())
                break;
            QmcEmulatorProcess emu;
            QVERIFY(emu.start(row.emulator));
            QSerialPort holder(emu.path);
            QVERIFY(!row.portHeld || holder.open(QIODevice::ReadWrite));
            QStringList command = row.command;
            if (json)
                command << "--json";
            const QStringList port{"--port", emu.path};
            QElapsedTimer clock;
            clock.start();
            const Result r =
                Vantorctl(row.portLast ? command + port : port + command, {}, mDir.path());
            QVERIFY(clock.elapsed() < 5000); // a fault ends it by the watchdog, not a hang
            QVERIFY2(row.err.isEmpty() ? r.err.isEmpty() : r.err.contains(row.err),
                     qPrintable(r.err));
            QCOMPARE(r.exitCode, row.exitCode);
            if (json)
                QCOMPARE(r.out, row.json);
            else if (!row.out.isNull())
                QCOMPARE(r.out, row.out);
            // Refused before anything is sent: no handshake either.
            const bool sent = row.probe && row.exitCode != 2 && row.exitCode != 3;
            const QByteArray wire =
                QByteArray::fromHex(sent ? QByteArray(kProbe) + row.wire : QByteArray(row.wire));
            if (wire.isEmpty())
                QTest::qWait(100); // a byte sent would have reached the trace by now
            QCOMPARE(emu.received(wire.size()).toHex().toUpper(), wire.toHex().toUpper());
            QVERIFY(!QFile::exists(mDir.filePath("partial.bin")));
        }
    }

    // program load and verify: the file is checked before anything is sent, the board's own
    // program is saved in the data folder before the first byte of the new one, and a board
    // that differs from the file is named at its first differing address.
    void programLoadAndVerify()
    {
        QByteArray image(80, '\x42');
        image[0x0E] = char(80);
        image[0x0F] = 0;
        const QString file = mDir.filePath("load.bin");
        QVERIFY(WriteFile(file, image));
        const QString damaged = mDir.filePath("damaged.bin");
        QVERIFY(WriteFile(damaged, image.left(40)));
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        const QStringList port{"--port", emu.path};
        const QString backups = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) +
                                "/Tessaro Utilities/VantorController IR/backups";
        QDir(backups).removeRecursively();

        Result r = Vantorctl(port + QStringList{"program", "load", damaged});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("is not a program: its size field (bytes 0E-0F) says 80 bytes, "
                                "but it holds 40"),
                 qPrintable(r.err));
        QTest::qWait(100);
        QVERIFY(emu.received().isEmpty());

        r = Vantorctl(port + QStringList{"program", "verify", file});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("program verify: first difference at extrom 0000: '" + file +
                                "' has 42, the board 51"),
                 qPrintable(r.err));

        // So far: the handshake and the first chunk of 64 addresses the verify read.
        const qsizetype before = emu.received(7 + 4 * 64).size();
        QCOMPARE(before, 7 + 4 * 64);
        r = Vantorctl(port + QStringList{"--json", "program", "load", file, "--verify"});
        QCOMPARE(r.exitCode, 0);
        const QStringList saved = QDir(backups).entryList({"program-*.bin"}, QDir::Files);
        QCOMPARE(saved.size(), 1);
        QFile backup(backups + "/" + saved.first());
        QVERIFY(backup.open(QIODevice::ReadOnly));
        QCOMPARE(backup.readAll().toHex(), QmcModelDemo().toHex());
        QCOMPARE(r.out, "{\"backup\":\"" + backup.fileName().toUtf8() +
                            "\",\"verified\":true,\"written\":80}\n");
        // On the wire: the handshake, the size and the old program read, then the new one
        // written from 0000 (six bytes an address), then read back.
        const QByteArray wire =
            emu.received(before + 7 + 4 * (2 + 51) + 6 * 80 + 4 * 80).mid(before);
        QCOMPARE(wire.size(), 7 + 4 * (2 + 51) + 6 * 80 + 4 * 80);
        QCOMPARE(wire.mid(7, 8).toHex().toUpper(), QByteArray("F20E0000F20F0000"));
        QCOMPARE(wire.mid(7 + 4 * 53, 12).toHex().toUpper(),
                 QByteArray("F40B00004242F40B01004242"));
        QCOMPARE(wire.right(4).toHex().toUpper(), QByteArray("F24F0000"));

        r = Vantorctl(port + QStringList{"program", "verify", file});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, "the board holds '" + file.toUtf8() + "' (80 bytes)\n");

        // A worn external ROM cell: the read-back names it.
        QmcEmulatorProcess worn;
        QVERIFY(worn.start({"--stuck", "extrom:0020"}));
        r = Vantorctl({"--port", worn.path, "program", "load", file, "--verify"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("program load: verify failed: first difference at extrom 0020: "
                                "wrote 42, read E6"), // the demo program's byte stays
                 qPrintable(r.err));
        QVERIFY2(r.err.contains("program load: the board's own program was saved to "),
                 qPrintable(r.err));
    }
    void programLoadCutShortSaysWhatTheBoardHolds()
    {
        QByteArray image(300, '\x24');
        image[0x0E] = char(0x2C);
        image[0x0F] = char(0x01);
        const QString file = mDir.filePath("big.bin");
        QVERIFY(WriteFile(file, image));
        QmcEmulatorProcess emu;
        // The handshake, the size, the demo program's 51 addresses, then 20 addresses of the
        // new program: the line dies in the middle of the 21st.
        QVERIFY(emu.start({"--hangup-after", QString::number(7 + 4 * 53 + 6 * 20 + 3)}));
        const Result r = Vantorctl({"--port", emu.path, "program", "load", file});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("program load: the board now holds part of '" + file +
                                "': the first 20 of its 300 bytes"),
                 qPrintable(r.err));
        QVERIFY2(r.err.contains("the board's own program was saved to "), qPrintable(r.err));
        const QString path = r.err.section("saved to ", 1).trimmed();
        QFile backup(path);
        QVERIFY2(backup.open(QIODevice::ReadOnly), qPrintable(path));
        QCOMPARE(backup.readAll().toHex(), QmcModelDemo().toHex());
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

    void programSaveReadsBackTheImage()
    {
        // 300 bytes whose header (000E..000F, low byte first) says 300.
        QByteArray image;
        for (int i = 0; i < 300; ++i)
            image.append(char(i * 7 + 1));
        image[0x0E] = char(0x2C);
        image[0x0F] = char(0x01);
        const QString in = mDir.filePath("image.bin");
        QVERIFY(WriteFile(in, image));
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--program", in}));
        const QString saved = mDir.filePath("saved.bin");
        QCOMPARE(Vantorctl({"--port", emu.path, "program", "save", saved}).exitCode, 0);
        QFile out(saved);
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.readAll().toHex(), image.toHex());
    }

    void interruptLeavesNoFile()
    {
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--delay-us", "5000"}));
        const QString file = mDir.filePath("interrupted.bin");
        QProcess p;
        p.start(QStringLiteral(VANTORCTL_PATH),
                {"--port", emu.path, "read", "extrom", "0", "200", "-o", file});
        QVERIFY(QTest::qWaitFor([&] { return emu.received().size() > 8; }, 5000));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 130);
        QVERIFY(QDir(mDir.path()).entryList({"interrupted*"}, QDir::Files).isEmpty());
        // The port was closed cleanly: the next run opens it.
        QCOMPARE(Vantorctl({"--port", emu.path, "servo", "on", "1"}).exitCode, 0);
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
        QFile file(folder + "/VantorController IR.Pref");
        QVERIFY(WriteFile(file.fileName(), prefs));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.path());
        QCOMPARE(Vantorctl({"program", "size"}, env).out, QByteArray("51\n"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), prefs);
    }

    void filesAndTrace()
    {
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        const QByteArray data = QByteArray::fromHex("AB00FF7E");
        const QString in = mDir.filePath("patch.bin");
        QVERIFY(WriteFile(in, data));
        const QStringList port{"--port", emu.path};
        QCOMPARE(Vantorctl(port + QStringList{"write", "extrom", "100", "-i", in}).exitCode, 0);
        const QString back = mDir.filePath("back.bin");
        const Result r =
            Vantorctl(port + QStringList{"-v", "read", "extrom", "100", "4", "-o", back});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.contains("> F2\n< F2\n> 00\n< 00\n> 01\n< 01\n> 00\n< AB\n> F2\n"),
                 qPrintable(r.err));
        QFile out(back);
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.readAll(), data);
    }

    void portsShowWhatCanBeOpened()
    {
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VANTOR_IR_PORTS", emu.path);
        // Name, device, description, USB identifiers, state.
        const QByteArray line = emu.path.toUtf8() + '\t' + emu.path.toUtf8() + "\t-\t-\t";
        const QByteArray free = Vantorctl({"ports"}, env).out;
        QVERIFY(free.startsWith("NAME\tDEVICE\tDESCRIPTION\tUSB\tSTATE\n"));
        QVERIFY(free.contains(line + "free\n"));
        const QByteArray json = Vantorctl({"ports", "--json"}, env).out;
        QVERIFY2(QJsonDocument::fromJson(json).isObject(), json.constData()); // no header line
        QSerialPort holder(emu.path);
        QVERIFY(holder.open(QIODevice::ReadWrite));
        const QByteArray out = Vantorctl({"ports"}, env).out;
        QVERIFY2(out.contains(line + "in use\n"), out.constData());
        QVERIFY(out.endsWith("Virtual QMC-4410\tvirtual\tthe built-in virtual controller "
                             "(--port virtual)\t-\tfree\n"));
    }

    // Usage errors in the tool's own words: "vantorctl: ...", lower case, no full stop. The port
    // named does not exist, so a command that went as far as opening it would end with 3.
    void refusals_data()
    {
        QTest::addColumn<Refusal>("row");
        const auto add = [](const char* name, const Refusal& row) { QTest::newRow(name) << row; };
        // A missing argument is named as the synopsis names it.
        add("read without LEN", {{"read", "sram", "0"}, "read: missing LEN"});
        add("read without ADDR", {{"read", "extrom"}, "read: missing ADDR"});
        add("read without memory", {{"read"}, "read: missing sram|introm|extrom"});
        add("write without bytes", {{"write", "sram", "140"}, "write: missing HEX... or -i FILE"});
        add("program without sub-command", {{"program"}, "program: missing size|save|load|verify"});
        add("program save without FILE", {{"program", "save"}, "program save: missing FILE"});
        add("servo without sub-command", {{"servo"}, "servo: missing get|group|set|on|off|watch"});
        add("servo get without CH", {{"servo", "get"}, "servo get: missing CH"});
        add("servo group without G", {{"servo", "group"}, "servo group: missing G"});
        add("servo set without POS", {{"servo", "set", "4"}, "servo set: missing POS"});
        add("speed without N", {{"speed"}, "speed: missing N"});
        add("speed-v without N", {{"speed-v"}, "speed-v: missing N"});
        add("ptp without on|off", {{"ptp"}, "ptp: missing on|off"});
        add("key without K", {{"key", "--id", "2"}, "key: missing K"});
        add("send without bytes", {{"send"}, "send: missing HEX..."});
        add("word too many", {{"run", "now"}, "run: unexpected argument 'now'"});
        // A negative number where an argument goes is that argument, out of range.
        add("negative length", {{"read", "sram", "0", "-1"}, "length '-1' is not 1-65536"});
        add("negative speed", {{"speed", "-1"}, "speed '-1' is not 0-255"});
        add("negative speed, options after",
            {{"speed-v", "-7", "--json"}, "speed '-7' is not 0-255"});
        add("negative channel first", {{"servo", "set", "-3", "5"}, "channel '-3' is not 1-48"});
        // The option parser's own refusals.
        add("unknown long option", {{"info", "--bogus"}, "unknown option '--bogus'"});
        add("unknown short option", {{"read", "sram", "0", "1", "-x"}, "unknown option '-x'"});
        add("value missing", {{"read", "sram", "0", "1", "-o"}, "missing FILE after -o"});
        add("value to a switch", {{"--json=yes", "info"}, "--json takes no value"});
        add("help for no command", {{"help", "fly"}, "unknown command 'fly'"});
    }
    void refusals()
    {
        QFETCH(Refusal, row);
        const Result r =
            Vantorctl(QStringList{"--port", mDir.filePath("no-such-tty")} + row.command);
        QCOMPARE(r.err,
                 "vantorctl: " + row.message + "\nTry 'vantorctl --help' for more information.\n");
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.out, QByteArray());
    }

    // A file larger than the room from the address to the end of the memory is refused with
    // its size; one that fits exactly is written.
    void inputFileLargerThanTheMemory_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("message"); // empty: accepted
        QTest::newRow("one byte too many")
            << "0" << 65537
            << "'big.bin' holds 65537 bytes; sram 0000-FFFF takes at most 65536 from 0000";
        QTest::newRow("past the end from FFF0")
            << "FFF0" << 17
            << "'big.bin' holds 17 bytes; sram 0000-FFFF takes at most 16 from FFF0";
        QTest::newRow("up to FFFF") << "FFF0" << 16 << QString();
    }
    void inputFileLargerThanTheMemory()
    {
        QFETCH(QString, address);
        QFETCH(int, size);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QVERIFY(WriteFile(dir.filePath("big.bin"), QByteArray(size, '\x5A')));
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral(VANTORCTL_PATH),
                {"--port", "virtual", "write", "sram", address, "-i", "big.bin"});
        QVERIFY(p.waitForFinished(30000));
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        if (message.isEmpty()) {
            QVERIFY2(err.startsWith("vantorctl: the port is the built-in virtual controller"),
                     qPrintable(err));
            QCOMPARE(p.exitCode(), 0);
            return;
        }
        QCOMPARE(err, "vantorctl: " + message + "\nTry 'vantorctl --help' for more information.\n");
        QCOMPARE(p.exitCode(), 2);
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
        add("write", {.help = {"help", "write"},
                      .sameAs = {"write", "sram", "--help"},
                      .listed = global + QStringList{"--input", "--verify"},
                      .notListed = {"--output", "--id", "--var"}});
        add("key", {.help = {"help", "key"},
                    .sameAs = {"--help", "key"},
                    .listed = global + QStringList{"--id", "--var"},
                    .notListed = {"--output", "--input", "--verify"}});
        add("speed", {.help = {"help", "speed"},
                      .sameAs = {"speed", "-h"},
                      .listed = global,
                      .notListed = {"--output", "--input", "--verify", "--id", "--var"},
                      .says = {"speed step the servos move at", "B2"}});
        add("play", {.help = {"help", "play"},
                     .sameAs = {"play", "--help"},
                     .listed = global + QStringList{"--loop", "--from", "--step", "--dry-run"},
                     .notListed = {"--channels", "--output", "--verify", "--interval"}});
        add("pose", {.help = {"help", "pose"},
                     .sameAs = {"pose", "-h"},
                     .listed = global + QStringList{"--channels"},
                     .notListed = {"--loop", "--from", "--dry-run", "--output"}});
        add("speed-v", {.help = {"help", "speed-v"},
                        .sameAs = {"speed-v", "--help"},
                        .listed = global,
                        .notListed = {"--output", "--input", "--verify", "--id", "--var"},
                        .says = {"Set the speed value", "E9"}});
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

    // 'ports' looks at a port without disturbing the program that holds it mid-exchange (one
    // that locks the device, as this program and other serial tools do): the holder loses no
    // answer, and the port is listed as in use.
    void portsLeaveAHeldPortAlone()
    {
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        const int fd = ::open(QFile::encodeName(emu.path).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        // Key codes, each echoed; each answer waits a while before it is read, as it would for a
        // busy program.
        QByteArray sent;
        for (int i = 0; i < 150; ++i)
            sent.append(char(0x01 + i % 0x7F));
        QByteArray answers;
        std::atomic<bool> done = false;
        std::thread holder([&] {
            for (const char byte : sent) {
                if (::write(fd, &byte, 1) != 1)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(8));
                pollfd p{fd, POLLIN, 0};
                char answer = 0;
                if (::poll(&p, 1, 1000) != 1 || ::read(fd, &answer, 1) != 1)
                    break; // an answer lost
                answers.append(answer);
            }
            done = true;
        });
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VANTOR_IR_PORTS", emu.path);
        const QByteArray line = emu.path.toUtf8() + '\t' + emu.path.toUtf8() + "\t-\t-\t";
        QStringList states;
        while (!done) {
            const QByteArray out = Vantorctl({"ports"}, env).out;
            const qsizetype at = out.indexOf(line);
            states << QString::fromUtf8(out.mid(at + line.size()).split('\n').first());
        }
        holder.join();
        ::close(fd);
        QCOMPARE(answers.toHex(' '), sent.toHex(' '));
        QVERIFY(!states.isEmpty());
        QCOMPARE(states, QStringList(states.size(), "in use"));
    }

    // qmc-emulator itself. A burst written at once is answered in order; the link an earlier run
    // left behind is replaced, and a signal ends the session cleanly and removes the link.
    void emulatorBurstThenSignal_data()
    {
        QTest::addColumn<int>("sig");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }
    void emulatorBurstThenSignal()
    {
        QFETCH(int, sig);
        const QString link = mDir.filePath("qmc");
        QVERIFY(QFile::link("/nonexistent/device", link));
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--link", link}));
        QCOMPARE(QFileInfo(link).symLinkTarget(), emu.path);
        QSerialPort port(link); // 9600 bit/s unless told otherwise
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        // Identification, a static RAM write and read back, run, the moving flag.
        port.write(QByteArray::fromHex("F0 000000000000 F8400105 F7400100 FB B000"));
        const QByteArray answers = QByteArray::fromHex("F0 514D34343130 F8400105 F7400105 FB B001");
        QByteArray received;
        (void)QTest::qWaitFor(
            [&] {
                received += port.readAll();
                return received.size() >= answers.size();
            },
            10000);
        QCOMPARE(received.toHex(' '), answers.toHex(' '));
        QCOMPARE(::kill(pid_t(emu.process.processId()), sig), 0);
        QTRY_COMPARE_WITH_TIMEOUT(emu.process.state(), QProcess::NotRunning, 10000);
        QCOMPARE(emu.process.exitStatus() == QProcess::NormalExit ? emu.process.exitCode() : -1, 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestVantorctl)
#include "tst_Vantorctl.moc"
