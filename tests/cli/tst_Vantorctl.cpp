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

Result Vantorctl(const QStringList& args, const QProcessEnvironment& env = {})
{
    QProcess p;
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
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

// One run of vantorctl against the emulator. Exit code 1 is a controller fault; 2 (bad arguments)
// and 3 (a port that cannot be opened) are refused before a byte is sent, so the wire is empty.
struct Run
{
    QStringList emulator = {}; // the controller's fault mode
    QStringList command;
    const char* wire = ""; // what the controller received, in hexadecimal
    QByteArray out = {};   // standard output; null: not checked
    int exitCode = 0;
    QString err = {};      // part of standard error; empty: none at all
    bool portLast = false; // the global options after the command
    bool portHeld = false; // another program has the port open
};

} // namespace

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
        add("read extrom", {.command = {"read", "extrom", "0x0E", "2"},
                            .wire = "F20E0000F20F0000",
                            .out = "000E  33 00" + QByteArray(45, ' ') + "|3.|\n"});
        add("read past 000F", {.command = {"read", "extrom", "10", "1"},
                               .wire = "F2100000",
                               .out = "0010  E9" + QByteArray(48, ' ') + "|.|\n"});
        add("read, options last", {.command = {"read", "extrom", "0E", "2", "-o", "-"},
                                   .wire = "F20E0000F20F0000",
                                   .out = QByteArray::fromHex("3300"),
                                   .portLast = true});
        add("write --verify", {.command = {"write", "sram", "140", "05", "--verify", "--json"},
                               .wire = "F8400105F7400100",
                               .out = "{\"verified\":1}\n"});
        add("servo list",
            {.command = {"servo", "set", "3", "90, 120"}, .wire = "E703E6035AE704E60478"});
        add("servo set, lowest position",
            {.command = {"servo", "set", "1", "0"}, .wire = "E60100"});
        add("servo get", {.command = {"servo", "get", "2"}, .wire = "0200", .out = "0\n"});
        add("servo group", {.command = {"servo", "group", "1"},
                            .wire = "D4000000000000",
                            .out = "1 0\n2 0\n3 0\n4 0\n5 0\n6 0\n"});
        add("servo off", {.command = {"servo", "off", "5"}, .wire = "E805"});
        add("speed", {.command = {"speed", "16"}, .wire = "B210"});
        add("ptp", {.command = {"ptp", "on"}, .wire = "B101"});
        add("moving",
            {.command = {"moving", "--json"}, .wire = "B000", .out = "{\"moving\":false}\n"});
        add("run", {.command = {"run"}, .wire = "FB"});
        add("key variable",
            {.command = {"key", "5", "--id", "2", "--var", "3"}, .wire = "F8420125"});
        add("key escaped", {.command = {"key", "32", "--id", "4"}, .wire = "FF80"});
        add("send",
            {.command = {"send", "F0", "0x00"}, .wire = "F000", .out = "F0 -> F0\n00 -> 51\n"});
        // A later --port wins: the built-in controller answers, the emulator hears nothing.
        add("virtual controller",
            {.command = {"read", "extrom", "0E", "2", "--json", "--port", "virtual"},
             .out = "{\"address\":14,\"data\":\"3300\",\"memory\":\"extrom\"}\n"});
        add("info",
            {.command = {"info", "--json"},
             .wire = "F000514D343431F7F20400F7F30400"
                     "F2000000F2010000F2020000F2030000F2040000F2050000F2060000F2070000"
                     "F2080000F2090000F20A0000F20B0000F20C0000F20D0000F20E0000F20F0000",
             .out = "{\"checksum\":4382,\"controller\":\"QM4410\",\"controllerHex\":"
                    "\"514d34343130\",\"programHeader\":\"5150010344454d4f2d30312010003300\","
                    "\"programSize\":51}\n"});
        // Devices that are no controller; send asks nothing of the other end.
        add("loopback plug", {.emulator = {"--loopback"},
                              .command = {"send", "F0", "00"},
                              .wire = "F000",
                              .out = "F0 -> F0\n00 -> 00\n"});
        add("device answering 00", {.emulator = {"--zero"},
                                    .command = {"send", "F0", "00"},
                                    .wire = "F000",
                                    .out = "F0 -> 00\n00 -> 00\n"});
        add("silent controller",
            {.emulator = {"--silent"},
             .command = {"read", "sram", "140", "1", "--timeout", "200"},
             .wire = "F7",
             .exitCode = 1,
             .err = "read sram: no answer from the controller within 200 ms at address 0140, "
                    "step 0; last byte sent F7"});
        add("silent on a run control",
            {.emulator = {"--silent"},
             .command = {"--timeout", "200", "stop"},
             .wire = "FA",
             .exitCode = 1,
             .err = "stop: no answer from the controller within 200 ms"});
        add("stops mid-stream", {.emulator = {"--stop-after", "2"},
                                 .command = {"--timeout", "200", "send", "01", "02", "03", "04"},
                                 .wire = "010203",
                                 .exitCode = 1,
                                 .err = "at byte 3 of the stream; last byte sent 03"});
        add("wrong echo", {.emulator = {"--wrong"},
                           .command = {"run"},
                           .wire = "FB",
                           .exitCode = 1,
                           .err = "run: wrong echo: sent FB, the controller answered 04"});
        add("verify difference", {.emulator = {"--wrong"},
                                  .command = {"write", "sram", "140", "01", "--verify"},
                                  .wire = "F8400101F7400100",
                                  .exitCode = 1,
                                  .err = "first difference at sram 0140: wrote 01, read FE"});
        add("device lost mid-read",
            {.emulator = {"--hangup-after", "6"},
             .command = {"read", "extrom", "0", "4", "-o", file},
             .wire = "F2000000F20100", // it hangs up at the seventh byte
             .exitCode = 1,
             .err = "read extrom: the device was lost at address 0001, step 2"});
        add("busy port", {.command = {"info"},
                          .exitCode = 3,
                          .err = "the port is busy: another program is using it",
                          .portHeld = true});
        add("not a serial device", {.command = {"--port", notAPort, "info"},
                                    .exitCode = 3,
                                    .err = "cannot open " + notAPort + ": not a serial device"});
        add("no device", {.command = {"--port", mDir.filePath("no-such-tty"), "info"},
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
        QmcEmulatorProcess emu;
        QVERIFY(emu.start(row.emulator));
        QSerialPort holder(emu.path);
        QVERIFY(!row.portHeld || holder.open(QIODevice::ReadWrite));
        const QStringList port{"--port", emu.path};
        QElapsedTimer clock;
        clock.start();
        const Result r = Vantorctl(row.portLast ? row.command + port : port + row.command);
        QVERIFY(clock.elapsed() < 5000); // a fault ends it by the watchdog, not a hang
        QVERIFY2(row.err.isEmpty() ? r.err.isEmpty() : r.err.contains(row.err), qPrintable(r.err));
        QCOMPARE(r.exitCode, row.exitCode);
        if (!row.out.isNull())
            QCOMPARE(r.out, row.out);
        const QByteArray wire = QByteArray::fromHex(row.wire);
        if (wire.isEmpty())
            QTest::qWait(100); // a byte sent would have reached the trace by now
        QCOMPARE(emu.received(wire.size()).toHex().toUpper(), wire.toHex().toUpper());
        QVERIFY(!QFile::exists(mDir.filePath("partial.bin")));
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
