#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// A traced qmc-emulator on a pseudo-terminal; received() is every byte it
// took off the line, in order, read from its trace ("rx F7 tx F7"). It never
// abandons an exchange, so a loaded machine cannot throw a read out of step.
struct Emulator
{
    bool start(const QStringList& args)
    {
        process.start(QStringLiteral(QMC_EMULATOR_PATH),
                      args +
                          QStringList{"--trace", "--exit-after-idle", "30", "--abandon-ms", "0"});
        if (!QTest::qWaitFor([&] { return process.canReadLine(); }, 10000))
            return false;
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
        return path.startsWith("/dev/");
    }
    QByteArray received()
    {
        trace += process.readAllStandardError();
        QByteArray bytes;
        for (const QByteArray& line : trace.split('\n')) {
            if (line.startsWith("rx "))
                bytes += QByteArray::fromHex(line.mid(3, 2));
        }
        return bytes;
    }
    ~Emulator()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    QProcess process;
    QString path;
    QByteArray trace;
};

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

// The emulator's received bytes once it has taken n of them (lock-step: the
// last one may still be in its trace pipe when vantorctl exits).
QByteArray ReceivedAtLeast(Emulator& emu, qsizetype n)
{
    (void)QTest::qWaitFor([&] { return emu.received().size() >= n; }, 2000);
    return emu.received();
}

struct WireRow
{
    QStringList command;
    const char* wire;      // what the controller received, in hexadecimal
    QByteArray out = {};   // standard output; null: not checked
    bool portLast = false; // the global options after the command
};

struct FaultRow
{
    QStringList emulator;
    QStringList command;
    int exitCode;
    const char* message; // part of standard error
};

} // namespace

class TestVantorctl : public QObject
{
    Q_OBJECT
private slots:
    void wire_data();
    void wire();
    void faults_data();
    void faults();
    void badArguments_data();
    void badArguments();
    void programSaveReadsBackTheImage();
    void busyPort();
    void interruptLeavesNoFile();
    void savedPortIsUsedAndLeftAlone();
    void virtualController();
    void filesAndTrace();
    void portsShowWhatCanBeOpened();
    void helpPerCommand();

private:
    QTemporaryDir mDir;
};

void TestVantorctl::wire_data()
{
    QTest::addColumn<WireRow>("row");
    // The bytes of each command family as the controller's protocol fixes them;
    // the emulator holds its demo program (size 0x33, checksum 0x111E).
    const auto add = [](const char* name, WireRow row) { QTest::newRow(name) << row; };
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
    add("servo set, lowest position", {.command = {"servo", "set", "1", "0"}, .wire = "E60100"});
    add("servo get", {.command = {"servo", "get", "2"}, .wire = "0200", .out = "0\n"});
    add("servo group", {.command = {"servo", "group", "1"}, .wire = "D4000000000000"});
    add("servo off", {.command = {"servo", "off", "5"}, .wire = "E805"});
    add("speed", {.command = {"speed", "16"}, .wire = "B210"});
    add("ptp", {.command = {"ptp", "on"}, .wire = "B101"});
    add("moving", {.command = {"moving", "--json"}, .wire = "B000", .out = "{\"moving\":false}\n"});
    add("run", {.command = {"run"}, .wire = "FB"});
    add("key variable", {.command = {"key", "5", "--id", "2", "--var", "3"}, .wire = "F8420125"});
    add("key escaped", {.command = {"key", "32", "--id", "4"}, .wire = "FF80"});
    add("send", {.command = {"send", "F0", "0x00"}, .wire = "F000", .out = "F0 -> F0\n00 -> 51\n"});
    add("info", {.command = {"info", "--json"},
                 .wire = "F000514D343431F7F20400F7F30400"
                         "F2000000F2010000F2020000F2030000F2040000F2050000F2060000F2070000"
                         "F2080000F2090000F20A0000F20B0000F20C0000F20D0000F20E0000F20F0000",
                 .out = "{\"checksum\":4382,\"controller\":\"QM4410\",\"controllerHex\":"
                        "\"514d34343130\",\"programHeader\":\"5150010344454d4f2d30312010003300\","
                        "\"programSize\":51}\n"});
}

void TestVantorctl::wire()
{
    QFETCH(WireRow, row);
    Emulator emu;
    QVERIFY(emu.start({}));
    const QStringList port{"--port", emu.path};
    const Result r = Vantorctl(row.portLast ? row.command + port : port + row.command);
    QCOMPARE(r.err, QString());
    QCOMPARE(r.exitCode, 0);
    const QByteArray wire = QByteArray::fromHex(row.wire);
    QCOMPARE(ReceivedAtLeast(emu, wire.size()).toHex().toUpper(), wire.toHex().toUpper());
    if (!row.out.isNull())
        QCOMPARE(r.out, row.out);
}

void TestVantorctl::faults_data()
{
    QTest::addColumn<FaultRow>("row");
    const QString file = mDir.filePath("partial.bin");
    const auto add = [](const char* name, FaultRow row) { QTest::newRow(name) << row; };
    add("silent controller",
        {.emulator = {"--silent"},
         .command = {"read", "sram", "140", "1", "--timeout", "200"},
         .exitCode = 1,
         .message = "read sram: no answer from the controller within 200 ms at address 0140, "
                    "step 0; last byte sent F7"});
    add("stops mid-stream", {.emulator = {"--stop-after", "2"},
                             .command = {"--timeout", "200", "send", "01", "02", "03", "04"},
                             .exitCode = 1,
                             .message = "at byte 3 of the stream; last byte sent 03"});
    add("wrong echo", {.emulator = {"--wrong"},
                       .command = {"run"},
                       .exitCode = 1,
                       .message = "run: wrong echo: sent FB, the controller answered 04"});
    add("verify difference", {.emulator = {"--wrong"},
                              .command = {"write", "sram", "140", "01", "--verify"},
                              .exitCode = 1,
                              .message = "first difference at sram 0140: wrote 01, read FE"});
    add("device lost mid-read",
        {.emulator = {"--hangup-after", "6"},
         .command = {"read", "extrom", "0", "4", "-o", file},
         .exitCode = 1,
         .message = "read extrom: the device was lost at address 0001, step 2"});
}

void TestVantorctl::faults()
{
    QFETCH(FaultRow, row);
    Emulator emu;
    QVERIFY(emu.start(row.emulator));
    QElapsedTimer clock;
    clock.start();
    const Result r = Vantorctl(QStringList{"--port", emu.path} + row.command);
    QVERIFY2(r.err.contains(row.message), qPrintable(r.err));
    QCOMPARE(r.exitCode, row.exitCode);
    QVERIFY(clock.elapsed() < 5000); // ended by the watchdog, not a hang
    QVERIFY(!QFile::exists(mDir.filePath("partial.bin")));
}

void TestVantorctl::badArguments_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QString>("message");
    QTest::newRow("address") << QStringList{"read", "sram", "10000", "1"}
                             << "address '10000' is not hexadecimal 0000-FFFF";
    QTest::newRow("range") << QStringList{"read", "extrom", "FFFF", "2"}
                           << "reading 2 bytes from FFFF runs past FFFF";
    QTest::newRow("byte") << QStringList{"write", "sram", "140", "100"}
                          << "byte '100' is not hexadecimal 00-FF";
    QTest::newRow("channel") << QStringList{"servo", "get", "49"} << "channel '49' is not 1-48";
    QTest::newRow("list past 48") << QStringList{"servo", "set", "47", "1,2,3"}
                                  << "3 positions from channel 47 run past channel 48";
    QTest::newRow("option of another command") << QStringList{"read", "sram", "0", "1", "--verify"}
                                               << "option --verify does not apply to read";
    QTest::newRow("missing length") << QStringList{"read", "sram", "0"} << "missing arguments";
    QTest::newRow("timeout") << QStringList{"--timeout", "0", "run"} << "--timeout '0'";
    QTest::newRow("unknown") << QStringList{"fly"} << "unknown command 'fly'";
}

void TestVantorctl::badArguments()
{
    QFETCH(QStringList, command);
    QFETCH(QString, message);
    Emulator emu;
    QVERIFY(emu.start({}));
    const Result r = Vantorctl(QStringList{"--port", emu.path} + command);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QCOMPARE(r.exitCode, 2);
    QTest::qWait(100); // a byte sent would have reached the trace by now
    QCOMPARE(emu.received(), QByteArray());
}

void TestVantorctl::programSaveReadsBackTheImage()
{
    // 300 bytes whose header (000E..000F, low byte first) says 300.
    QByteArray image;
    for (int i = 0; i < 300; ++i)
        image.append(char(i * 7 + 1));
    image[0x0E] = char(0x2C);
    image[0x0F] = char(0x01);
    QFile in(mDir.filePath("image.bin"));
    QVERIFY(in.open(QIODevice::WriteOnly) && in.write(image) == image.size());
    in.close();
    Emulator emu;
    QVERIFY(emu.start({"--program", in.fileName()}));
    const QString saved = mDir.filePath("saved.bin");
    const Result r = Vantorctl({"--port", emu.path, "program", "save", saved});
    QCOMPARE(r.exitCode, 0);
    QFile out(saved);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll().toHex(), image.toHex());
    QCOMPARE(Vantorctl({"program", "size", "--port", emu.path}).out, QByteArray("300\n"));
}

void TestVantorctl::busyPort()
{
    Emulator emu;
    QVERIFY(emu.start({}));
    QSerialPort holder(emu.path);
    QVERIFY(holder.open(QIODevice::ReadWrite));
    const Result r = Vantorctl({"--port", emu.path, "info"});
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.err.contains("the port is busy"), qPrintable(r.err));
    QCOMPARE(emu.received(), QByteArray());
    const Result missing = Vantorctl({"--port", mDir.filePath("no-such-tty"), "info"});
    QCOMPARE(missing.exitCode, 3);
    QVERIFY2(missing.err.contains("no such device"), qPrintable(missing.err));
}

void TestVantorctl::interruptLeavesNoFile()
{
    Emulator emu;
    QVERIFY(emu.start({"--delay-us", "5000"}));
    const QString file = mDir.filePath("interrupted.bin");
    QProcess p;
    p.start(QStringLiteral(VANTORCTL_PATH),
            {"--port", emu.path, "read", "extrom", "0", "200", "-o", file});
    QVERIFY(QTest::qWaitFor([&] { return emu.received().size() > 8; }, 5000));
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), 130);
    QVERIFY(!QFile::exists(file));
    QVERIFY(QDir(mDir.path()).entryList({"interrupted*"}, QDir::Files).isEmpty());
    // The port was closed cleanly: the next run opens it.
    QCOMPARE(Vantorctl({"--port", emu.path, "servo", "on", "1"}).exitCode, 0);
}

void TestVantorctl::savedPortIsUsedAndLeftAlone()
{
    Emulator emu;
    QVERIFY(emu.start({}));
    QTemporaryDir config;
    const QString folder = config.filePath("Tessaro Utilities/VantorController IR");
    QVERIFY(QDir().mkpath(folder));
    const QByteArray prefs = "SerialPort\n" + emu.path.toUtf8() + "\n" + emu.path.toUtf8() +
                             "\n\nConnectType\n0\nNotAutoDisconnect\nFalse\n";
    QFile file(folder + "/VantorController IR.Pref");
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(prefs) == prefs.size());
    file.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    QCOMPARE(Vantorctl({"program", "size"}, env).out, QByteArray("51\n"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), prefs);
}

void TestVantorctl::virtualController()
{
    const Result r = Vantorctl({"read", "extrom", "0E", "2", "--json", "--port", "virtual"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("{\"address\":14,\"data\":\"3300\",\"memory\":\"extrom\"}\n"));
}

void TestVantorctl::filesAndTrace()
{
    Emulator emu;
    QVERIFY(emu.start({}));
    const QByteArray data = QByteArray::fromHex("AB00FF7E");
    QFile in(mDir.filePath("patch.bin"));
    QVERIFY(in.open(QIODevice::WriteOnly) && in.write(data) == data.size());
    in.close();
    const QStringList port{"--port", emu.path};
    QCOMPARE(Vantorctl(port + QStringList{"write", "extrom", "100", "-i", in.fileName()}).exitCode,
             0);
    const QString back = mDir.filePath("back.bin");
    const Result r = Vantorctl(port + QStringList{"-v", "read", "extrom", "100", "4", "-o", back});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.contains("> F2\n< F2\n> 00\n< 00\n> 01\n< 01\n> 00\n< AB\n> F2\n"),
             qPrintable(r.err));
    QFile out(back);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), data);
}

void TestVantorctl::portsShowWhatCanBeOpened()
{
    Emulator emu;
    QVERIFY(emu.start({}));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VANTOR_IR_PORTS", emu.path);
    const auto states = [&] {
        const QJsonArray ports =
            QJsonDocument::fromJson(Vantorctl({"ports", "--json"}, env).out)["ports"].toArray();
        QStringList list;
        for (const QJsonValue& p : ports) {
            if (p["device"] == emu.path || p["device"] == "virtual")
                list << p["name"].toString() + ": " + p["state"].toString();
        }
        return list;
    };
    QCOMPARE(states(), QStringList({emu.path + ": free", "Virtual QMC-4410: free"}));
    QSerialPort holder(emu.path);
    QVERIFY(holder.open(QIODevice::ReadWrite));
    QCOMPARE(states(), QStringList({emu.path + ": busy", "Virtual QMC-4410: free"}));
}

void TestVantorctl::helpPerCommand()
{
    const Result r = Vantorctl({"read", "--help"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith("Usage: vantorctl [options] read sram|introm|extrom ADDR LEN "
                              "[-o FILE]\n"),
             r.out.constData());
    QCOMPARE(Vantorctl({"--help", "fly"}).exitCode, 2);
}

QTEST_GUILESS_MAIN(TestVantorctl)
#include "tst_Vantorctl.moc"
