// vantorctl play and pose as a user runs them: against qmc-emulator on a pseudo-terminal, byte
// for byte on the wire, with what they print and the exit code; a refused file sends nothing,
// and Ctrl-C stops the motion with nothing sent after it.
#include "QmcEmulatorProcess.h"
#include "VantorctlRun.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// Two frames: servos 1 and 2 jump (speed 0) and the board is asked until it reports them still;
// then servo 2 off and servo 3 on at speed 9 with a fixed wait.
const QByteArray kTwoFrames = R"({
  "format": "vantor-sequence",
  "version": 1,
  "name": "two",
  "frames": [
    {
      "name": "open",
      "speed": 0,
      "wait": "stopped",
      "hold": 30,
      "channels": {
        "1": 90,
        "2": 120
      }
    },
    {
      "name": "close",
      "speed": 9,
      "wait": 40,
      "hold": 0,
      "channels": {
        "2": "off",
        "3": 17
      }
    }
  ]
}
)";
const QByteArray kOpenWire = QByteArray::fromHex("B200 E701E6015A E702E60278 B000");
const QByteArray kCloseWire = QByteArray::fromHex("B209 E802 E703E60311");

// A play or pose run against the emulator.
struct Run
{
    QStringList command; // FILE stands for the two-frame file
    QByteArray wire;     // what the emulator received after the handshake
    QByteArray out;      // standard output, exactly
};

// A command line refused before anything is sent.
struct Refusal
{
    QByteArray file = {}; // the file FILE names; null: FILE names no file
    QStringList command;
    QString err; // standard error, exactly ("@" for the file's path)
};

} // namespace

Q_DECLARE_METATYPE(Run)
Q_DECLARE_METATYPE(Refusal)

class TestVantorctlSequences : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;
    QString mFile;

    QStringList withFile(const QStringList& command, const QString& file) const
    {
        QStringList out;
        for (const QString& w : command)
            out << (w == QLatin1String("FILE") ? file : w);
        return out;
    }

private slots:
    void initTestCase()
    {
        mFile = mDir.filePath(QStringLiteral("two.json"));
        QVERIFY(WriteFile(mFile, kTwoFrames));
    }

    void runs_data()
    {
        QTest::addColumn<Run>("row");
        const auto add = [](const char* name, const Run& row) { QTest::newRow(name) << row; };
        add("play --json", {.command = {"play", "FILE", "--json"},
                            .wire = kOpenWire + kCloseWire,
                            .out = "{\"frames\":2,\"loops\":1}\n"});
        add("twice from the second frame",
            {.command = {"play", "FILE", "--loop", "2", "--from", "2"},
             .wire = kCloseWire + kCloseWire,
             .out = "pass 1, frame 2/2 \"close\"\npass 2, frame 2/2 \"close\"\n"
                    "2 frames played in 2 passes\n"});
        add("a step by name", {.command = {"play", "FILE", "--from", "close", "--step"},
                               .wire = kCloseWire,
                               .out = "frame 2/2 \"close\"\n1 frame played\n"});
        // The positions of groups 1 and 2 after a play: what a script appends to "frames".
        add("pose --json",
            {.command = {"play", "FILE", "&&", "pose", "--channels", "1-3,7", "--json"},
             .wire = QByteArray::fromHex("D4000000000000 D5000000000000"),
             .out = "{\"name\":\"pose\",\"speed\":0,\"wait\":\"stopped\",\"hold\":0,"
                    "\"channels\":{\"1\":90,\"2\":120,\"3\":17,\"7\":0}}\n"});
        add("pose", {.command = {"play", "FILE", "&&", "pose", "--channels", "3,1"},
                     .wire = QByteArray::fromHex("D4000000000000"),
                     .out = "1:90 3:17\n"});
    }
    void runs()
    {
        QFETCH(Run, row);
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        const QStringList port{"--port", emu.path};
        QStringList command = withFile(row.command, mFile);
        // "A && B": A first (its own wire not checked), then B.
        if (const qsizetype and_ = command.indexOf("&&"); and_ >= 0) {
            const Result first = Vantorctl(port + command.mid(0, and_));
            QCOMPARE(first.exitCode, 0);
            const qsizetype before = emu.received(7 + kOpenWire.size() + kCloseWire.size()).size();
            QCOMPARE(before, 7 + kOpenWire.size() + kCloseWire.size());
            command = command.mid(and_ + 1);
            emu.trace.clear();
            emu.process.readAllStandardError();
        }
        const Result r = Vantorctl(port + command);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, row.out);
        const QByteArray wire = kProbe + row.wire;
        QCOMPARE(emu.received(wire.size()).toHex(' '), wire.toHex(' '));
    }

    // --dry-run shows each frame's bytes, wait and hold, and needs no port: the one named here
    // does not exist.
    void dryRun_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("text") << QStringList{"play", "--dry-run", "FILE"}
                              << QByteArray(
                                     "frame 1 \"open\": B2 00 E7 01 E6 01 5A E7 02 E6 02 78; "
                                     "wait until stopped (B0 00); hold 30 ms\n"
                                     "frame 2 \"close\": B2 09 E8 02 E7 03 E6 03 11; "
                                     "wait 40 ms; hold 0 ms\n"
                                     "2 frames, once\n");
        QTest::newRow("from the second, for ever")
            << QStringList{"play", "FILE", "--dry-run", "--from", "2", "--loop", "0"}
            << QByteArray("frame 2 \"close\": B2 09 E8 02 E7 03 E6 03 11; wait 40 ms; hold 0 ms\n"
                          "1 frame from frame 2, again and again until Ctrl-C\n");
        QTest::newRow("json") << QStringList{"--json", "play", "FILE", "--dry-run", "--loop", "3"}
                              << QByteArray(
                                     R"({"frames":[{"bytes":"B2 00 E7 01 E6 01 5A E7 02 E6 02 78",)"
                                     R"("frame":1,"hold":30,"name":"open","wait":"stopped"},)"
                                     R"({"bytes":"B2 09 E8 02 E7 03 E6 03 11","frame":2,"hold":0,)"
                                     R"("name":"close","wait":40}],"loops":3})"
                                     "\n");
    }
    void dryRun()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, out);
        const Result r =
            Vantorctl(QStringList{"--port", mDir.filePath("no-such-tty")} + withFile(args, mFile));
        QCOMPARE(r.err, QString());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, out);
    }

    void refusals_data()
    {
        QTest::addColumn<Refusal>("row");
        const auto add = [](const char* name, const Refusal& row) { QTest::newRow(name) << row; };
        const QString tryHelp = QStringLiteral("\nTry 'vantorctl --help' for more information.\n");
        QByteArray channel49 = kTwoFrames;
        channel49.replace("\"3\": 17", "\"49\": 17");
        // The file: its line and the reason (each reason is the file reader's own), exit 2, and
        // the line untouched.
        add("channel 49", {.file = channel49,
                           .command = {"play", "FILE"},
                           .err = "vantorctl: @: line 23: channel 49 is not 1-48\n"});
        add("no such file", {.command = {"play", "FILE"},
                             .err = "vantorctl: cannot read @: No such file or directory\n"});
        add("--from past the end", {.file = kTwoFrames,
                                    .command = {"play", "FILE", "--from", "3"},
                                    .err = "vantorctl: play: --from 3: '@' has 2 frames\n"});
        // The command line itself.
        add("--channels 0", {.command = {"pose", "--channels", "0-6"},
                             .err = "vantorctl: --channels '0-6': '0-6' is not a channel 1-48 or "
                                    "a range of them" +
                                    tryHelp});
    }
    void refusals()
    {
        QFETCH(Refusal, row);
        const QString file = mDir.filePath(QStringLiteral("refused.json"));
        QFile::remove(file);
        if (!row.file.isNull())
            QVERIFY(WriteFile(file, row.file));
        // The port named does not exist: a run that went as far as opening it would end with 3.
        const Result r = Vantorctl(QStringList{"--port", mDir.filePath("no-such-tty")} +
                                   withFile(row.command, file));
        QCOMPARE(r.err, QString(row.err).replace("@", file));
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.out, QByteArray());
    }

    // Ctrl-C in the middle of a motion: the exchange on the line is finished, nothing follows,
    // and the port is left free.
    void interruptStopsTheMotion()
    {
        // Servo 1 from 0 to 250 at speed 1 takes five seconds; the run asks until it stops.
        const QString slow = mDir.filePath(QStringLiteral("slow.json"));
        QVERIFY(WriteFile(slow, R"({"format": "vantor-sequence", "version": 1, "frames": [
            {"name": "reach", "speed": 1, "channels": {"1": 250}},
            {"name": "back", "speed": 0, "channels": {"1": 0}}]})"));
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--delay-us", "2000"}));
        QProcess p;
        p.start(QStringLiteral(VANTORCTL_PATH), {"--port", emu.path, "play", slow, "--json"});
        // The handshake, the frame's 7 bytes, then a few queries.
        QVERIFY(QTest::qWaitFor([&] { return emu.received().size() > 7 + 7 + 10; }, 10000));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 130);
        QCOMPARE(p.readAllStandardOutput(), "{\"frames\":0,\"interrupted\":true,\"loops\":0}\n");
        QCOMPARE(QString::fromLocal8Bit(p.readAllStandardError()),
                 "\nvantorctl: play: interrupted in frame 1 \"reach\"; nothing more was sent\n");
        QTest::qWait(300); // the last bytes' trace lines reach the test
        const QByteArray sent = emu.received();
        // Frame 1 and whole moving queries only: the query on the line was finished, and nothing
        // came after it.
        const QByteArray frame = QByteArray::fromHex("B201 E701 E601FA");
        QCOMPARE(sent.mid(7, frame.size()).toHex(' '), frame.toHex(' '));
        const QByteArray queries = sent.mid(7 + frame.size());
        QVERIFY(!queries.isEmpty());
        QCOMPARE(queries.toHex(' '),
                 QByteArray::fromHex("B000").repeated(queries.size() / 2).toHex(' '));
        // The board keeps going where it was sent; the next run finds the port free.
        const Result pose = Vantorctl({"--port", emu.path, "pose", "--channels", "1"});
        QCOMPARE(pose.exitCode, 0);
        QVERIFY2(QRegularExpression("^1:([1-9][0-9]?|1[0-9][0-9]|2[0-4][0-9])\n$")
                     .match(QString::fromLatin1(pose.out))
                     .hasMatch(),
                 pose.out.constData()); // on its way, neither at 0 nor at 250
    }

    // A controller that falls silent mid-play: exit 1 and where the motion stopped.
    void aSilentControllerMidPlay()
    {
        QmcEmulatorProcess emu;
        // The handshake, the first frame and its query, then two bytes of the second frame.
        QVERIFY(emu.start({"--stop-after", QString::number(7 + kOpenWire.size() + 2)}));
        const Result r =
            Vantorctl({"--port", emu.path, "--timeout", "200", "--json", "play", mFile});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.out, QByteArray());
        QCOMPARE(r.err, QStringLiteral("vantorctl: play: no answer from the controller within 200 "
                                       "ms at byte 1 of the stream; last byte sent E8; check its "
                                       "power, the cable, the port and the line speed (9600 "
                                       "bit/s)\nvantorctl: play: the motion stopped in frame 2 "
                                       "\"close\"\n"));
    }
};

QTEST_GUILESS_MAIN(TestVantorctlSequences)
#include "tst_VantorctlSequences.moc"
