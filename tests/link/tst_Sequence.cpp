// Poses, frames and sequences as values, and their file: the bytes a frame puts on the line, the
// differences a frame editor shows, and the file's text byte for byte, read back, and refused
// with the line to look at.
#include "link/Sequence.h"
#include "link/SequenceFile.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

Frame MakeFrame(const QString& name, int speed, QMap<int, ServoSetting> channels,
                std::optional<int> waitMs = std::nullopt, int holdMs = 0)
{
    Frame f;
    f.name = name;
    f.speed = speed;
    f.wait = waitMs ? Frame::Wait::Fixed : Frame::Wait::UntilStopped;
    f.waitMs = waitMs.value_or(0);
    f.holdMs = holdMs;
    f.pose.channels = std::move(channels);
    return f;
}

const ServoSetting kOff = ServoSetting::off();
ServoSetting At(int position)
{
    return ServoSetting::at(position);
}

// A file as the writer writes it: fixed key order, one channel per line, channels in numeric
// order (2 before 10).
// (moc misreads a raw string holding a backslash or an odd number of quotes: such texts are
// written plainly.)
const QByteArray kGolden = R"({
  "format": "vantor-sequence",
  "version": 1,
)"
                           "  \"name\": \"wave\\t\\\"hello\\\"\",\n"
                           R"(  "frames": [
    {
      "name": "rest",
      "speed": 0,
      "wait": "stopped",
      "hold": 0,
      "channels": {
        "1": 128,
        "2": "off",
        "10": 0
      }
    },
    {
      "name": "up",
      "speed": 60,
      "wait": 800,
      "hold": 200,
      "channels": {}
    }
  ]
}
)";

Sequence GoldenSequence()
{
    Sequence s;
    s.name = QStringLiteral("wave\t\"hello\"");
    s.frames = {MakeFrame("rest", 0, {{1, At(128)}, {2, kOff}, {10, At(0)}}),
                MakeFrame("up", 60, {}, 800, 200)};
    return s;
}

// A small file whose lines the refusal rows below replace one at a time.
const QByteArray kBase = R"({
  "format": "vantor-sequence",
  "version": 1,
  "name": "wave",
  "frames": [
    {
      "name": "rest",
      "speed": 0,
      "wait": "stopped",
      "hold": 0,
      "channels": {
        "1": 128,
        "2": "off"
      }
    }
  ]
}
)";

// kBase with line `at` (1 for the first) replaced by `with`; a null `with` removes the line.
QByteArray Edited(int at, const QByteArray& with = {})
{
    QList<QByteArray> lines = kBase.split('\n');
    if (with.isNull())
        lines.removeAt(at - 1);
    else
        lines[at - 1] = with;
    return lines.join('\n');
}

struct Changes
{
    Sequence sequence;
    int index = 0;
    QList<ChannelChange> expected;
};

struct ChannelList
{
    QString text;
    QList<int> channels = {};
    QString error = {};
};

} // namespace

Q_DECLARE_METATYPE(Changes)
Q_DECLARE_METATYPE(ChannelList)
Q_DECLARE_METATYPE(Frame)

class TestSequence : public QObject
{
    Q_OBJECT

private slots:
    // --- What a frame sends ----------------------------------------------------------------
    void frameBytes_data()
    {
        QTest::addColumn<Frame>("frame");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<int>("exchanges");
        const auto add = [](const char* name, const Frame& f, const char* hex, int exchanges) {
            QTest::newRow(name) << f << QByteArray::fromHex(hex) << exchanges;
        };
        add("speed alone", MakeFrame("", 60, {}), "B23C", 1);
        // The channels in ascending order whatever order they were set in: on is E7 ch then
        // E6 ch pos, off is E8 ch.
        add("on, off, order", MakeFrame("", 0, {{10, At(5)}, {2, kOff}, {1, At(128)}}),
            "B200 E701E60180 E802 E70AE60A05", 6);
        add("limits", MakeFrame("", 255, {{48, At(255)}, {47, At(0)}}),
            "B2FF E72FE62F00 E730E630FF", 5);
    }
    void frameBytes()
    {
        QFETCH(Frame, frame);
        QFETCH(QByteArray, wire);
        QFETCH(int, exchanges);
        QCOMPARE(FrameBytes(frame).toHex(' '), wire.toHex(' '));
        const QList<FrameCommand> commands = FrameCommands(frame);
        QCOMPARE(commands.size(), exchanges);
        QByteArray joined;
        for (const FrameCommand& c : commands) {
            QVERIFY(c.bytes().size() <= 3); // a stop waits for at most three bytes
            joined += c.bytes();
        }
        QCOMPARE(joined, wire);
        QCOMPARE(CheckFrame(frame), QString());
    }

    // A frame built in memory (a pose read from the board, an editor's fields) is checked
    // before it is played or saved; the reason names the frame and what is wrong with it.
    void refusesFramesTheBoardCannotTake_data()
    {
        QTest::addColumn<Frame>("frame");
        QTest::addColumn<QString>("reason");
        const auto add = [](const char* name, const Frame& f, const char* reason) {
            QTest::newRow(name) << f << QString::fromUtf8(reason);
        };
        add("channel 0", MakeFrame("", 0, {{0, At(1)}}), "channel 0 is not 1-48");
        add("channel 49", MakeFrame("", 0, {{49, kOff}}), "channel 49 is not 1-48");
        add("position 256", MakeFrame("", 0, {{3, At(256)}}),
            "channel 3: position 256 is not 0-255");
        add("speed 256", MakeFrame("", 256, {}), "speed 256 is not 0-255");
        add("wait -1", MakeFrame("", 0, {}, -1), "wait -1 is not 0-3600000 milliseconds");
        add("hold -1", MakeFrame("", 0, {}, std::nullopt, -1),
            "hold -1 is not 0-3600000 milliseconds");
    }
    void refusesFramesTheBoardCannotTake()
    {
        QFETCH(Frame, frame);
        QFETCH(QString, reason);
        Sequence s;
        // The first frame is at every lower limit and passes.
        s.frames = {MakeFrame("", 0, {{1, At(0)}}, 0), frame};
        QCOMPARE(CheckSequence(s), "frame 2: " + reason);
    }

    // --- What a frame editor shows ------------------------------------------------------------
    void changes_data()
    {
        QTest::addColumn<Changes>("row");
        using K = ChannelChange::Kind;
        Sequence s;
        s.frames = {MakeFrame("first", 0, {{1, At(100)}, {2, At(50)}, {3, At(7)}}),
                    MakeFrame("second", 20, {{1, At(130)}, {2, At(50)}, {3, kOff}}),
                    MakeFrame("third", 20, {{2, At(20)}, {3, At(9)}, {4, kOff}})};
        const auto add = [&](const char* name, int index, const QList<ChannelChange>& expected) {
            QTest::newRow(name) << Changes{s, index, expected};
        };
        // Channel 2 stays where it was and is left out. (The console's tests show a first frame's
        // channels switched on, and a move down with its difference.)
        add("moved and switched off", 1,
            {{1, K::Moved, At(100), At(130)}, {3, K::SwitchedOff, At(7), kOff}});
        // Channel 1 is not named: the board keeps it; channel 3 comes back on.
        add("back on, and a channel never named before", 2,
            {{2, K::Moved, At(50), At(20)},
             {3, K::SwitchedOn, kOff, At(9)},
             {4, K::SwitchedOff, std::nullopt, kOff}});
    }
    void changes()
    {
        QFETCH(Changes, row);
        const QList<ChannelChange> got = row.sequence.changes(row.index);
        QCOMPARE(got.size(), row.expected.size());
        for (qsizetype i = 0; i < got.size(); ++i) {
            QCOMPARE(got[i].channel, row.expected[i].channel);
            QCOMPARE(int(got[i].kind), int(row.expected[i].kind));
            QVERIFY(got[i] == row.expected[i]);
        }
    }
    void editsOfAFrameEditor()
    {
        Sequence s;
        QCOMPARE(s.insertFrame(MakeFrame("a", 1, {})), 0);
        QCOMPARE(s.insertFrame(MakeFrame("c", 3, {})), 1);
        QCOMPARE(s.insertFrame(MakeFrame("b", 2, {}), 1), 1);
        QCOMPARE(s.insertFrame(MakeFrame("z", 9, {}), 99), 3); // out of range: appended
        QCOMPARE(s.duplicateFrame(1), 2);
        QCOMPARE(s.duplicateFrame(7), -1);
        s.moveFrame(4, 0); // z first
        s.moveFrame(0, 9); // out of range: nothing
        s.removeFrame(4);  // c
        s.removeFrame(-1);
        QStringList names;
        for (const Frame& f : s.frames)
            names << f.name;
        QCOMPARE(names, (QStringList{"z", "a", "b", "b copy"}));
        QCOMPARE(s.frames[3].speed, 2);
        // What the board holds before a frame: the last setting of each channel named so far.
        s.frames[1].pose.channels = {{1, At(10)}, {2, At(20)}};
        s.frames[2].pose.channels = {{2, kOff}};
        QCOMPARE(s.poseBefore(0), Pose());
        QCOMPARE(s.poseBefore(3), (Pose{{{1, At(10)}, {2, kOff}}}));
        QCOMPARE(s.poseBefore(99), s.poseBefore(4));
    }

    // --- The file -------------------------------------------------------------------------------
    void writesTheFileByteForByte()
    {
        QCOMPARE(sequencefile::write(GoldenSequence()), kGolden);
        QCOMPARE(sequencefile::write(Sequence()), QByteArray(R"({
  "format": "vantor-sequence",
  "version": 1,
  "name": "",
  "frames": []
}
)"));
    }
    void readsItBack()
    {
        sequencefile::Error error;
        const std::optional<Sequence> s = sequencefile::read(kGolden, &error);
        QVERIFY2(s, qPrintable(error.text()));
        QVERIFY(*s == GoldenSequence());
    }
    void readsAHandWrittenFile()
    {
        // One line, keys in any order, the defaults left out, an escape and a byte order mark.
        const QByteArray text = "\xEF\xBB\xBF{\"frames\":[{\"channels\":{\"3\":90},\"wait\":0},"
                                "{\"wait\":250,"
                                "\"name\":\"w\\u00e9\\ud83e\\udd16\",\"speed\":5,\"hold\":10}],"
                                "\"version\":1,\"format\":\"vantor-sequence\"}";
        sequencefile::Error error;
        const std::optional<Sequence> s = sequencefile::read(text, &error);
        QVERIFY2(s, qPrintable(error.text()));
        Sequence expected;
        expected.frames = {
            MakeFrame("", 0, {{3, At(90)}}, 0),
            MakeFrame(QString::fromUtf8("w\xC3\xA9\xF0\x9F\xA4\x96"), 5, {}, 250, 10)};
        QVERIFY(*s == expected);
    }

    // One row for each way the reader refuses a file, with the line it names. The fuzz target
    // feeds it everything else.
    void refusesDamagedFiles_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("reason");
        const auto add = [](const char* name, const QByteArray& text, int line,
                            const QString& reason) {
            QTest::newRow(name) << text << line << reason;
        };
        // Values a hand can get wrong.
        add("channel 49", Edited(12, R"(        "49": 128,)"), 12, "channel 49 is not 1-48");
        // "01" would be a second name for channel 1.
        add("channel with a leading zero", Edited(12, R"(        "01": 128,)"), 12,
            R"(channel "01" is not 1-48)");
        add("channel twice", Edited(13, R"(        "1": "off")"), 13, "channel 1 is given twice");
        add("position 256", Edited(12, R"(        "1": 256,)"), 12,
            R"(channel 1: 256 is not a position 0-255 or "off")");
        add("speed 300", Edited(8, R"(      "speed": 300,)"), 8, "speed 300 is not 0-255");
        add("wait in words", Edited(9, R"(      "wait": "moved",)"), 9,
            R"(wait "moved" is not "stopped" or 0-3600000 milliseconds)");
        // A fraction is no whole number of milliseconds, nor of anything else the file holds.
        add("hold with a fraction", Edited(10, R"(      "hold": 12.5,)"), 10,
            "hold 12.5 is not 0-3600000 milliseconds");
        add("name not text", Edited(7, R"(      "name": 7,)"), 7,
            "name 7 is not a text in double quotes");
        add("misspelt key", Edited(10, R"(      "hodl": 0,)"), 10,
            R"(unknown key "hodl" in frame 1)");
        add("key twice", Edited(10, R"(      "speed": 0,)"), 10, R"("speed" is given twice)");
        add("channels as a list",
            "{\"format\": \"vantor-sequence\", \"version\": 1, \"frames\": [\n"
            "{\"channels\": [1, 2]}]}",
            2, R"("channels" is a list, not an object { ... })");
        // The format and its version, before anything else in the file.
        add("newer version", Edited(3, R"(  "version": 2, "loops": 3,)"), 3,
            "version 2 is newer than this program reads (1)");
        add("version 0", Edited(3, R"(  "version": 0,)"), 3,
            "version 0 is not a version number (1 or more)");
        add("another format", Edited(2, R"(  "format": "vantor-program",)"), 2,
            R"(format "vantor-program" is not "vantor-sequence")");
        add("no version", Edited(3), 1, R"(no "version")");
        // Broken JSON: the line where reading stopped.
        add("missing comma", Edited(8, R"(      "speed": 0)"), 9,
            "expected ',' or '}' after a value, found '\"'");
        add("comma after the last channel", Edited(13, R"(        "2": "off",)"), 14,
            "expected a key in double quotes, found '}'");
        add("unclosed text", Edited(7, "      \"name\": \"rest,"), 7,
            "a text in double quotes is not closed on its line");
        add("tab inside a name", Edited(7, "      \"name\": \"re\tst\","), 7,
            "a control character (byte 09) inside double quotes; write it as an escape");
        add("bad escape", Edited(7, "      \"name\": \"C:\\temp\\x\","), 7,
            "unknown escape '\\x' inside double quotes");
        add("half a pair of escapes", Edited(7, "      \"name\": \"\\ud83e!\","), 7,
            "'\\ud83e' is the first half of a pair of escapes, without the second");
        add("cut short", kBase.left(kBase.indexOf("\"hold\"")), 10,
            "expected a key in double quotes, found the end of the file");
        add("text after the end", kBase + "}\n", 18, "'}' after the end of the sequence");
        add("empty", "\n\n", 1, "the file is empty");
        add("a list", "[]", 1, "the file holds a list, not a sequence { ... }");
        add("no frames", "{\"format\": \"vantor-sequence\",\n\"version\": 1}", 1,
            R"(no "frames" list)");
        add("frame not an object",
            "{\"format\": \"vantor-sequence\", \"version\": 1,\n\"frames\": [{},\n 7]}", 3,
            "frame 2 is 7, not an object { ... }");
        add("nested too deeply", QByteArray(40, '['), 1,
            "lists and objects nested more than 32 deep");
    }
    void refusesDamagedFiles()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, line);
        QFETCH(QString, reason);
        sequencefile::Error error;
        QVERIFY(!sequencefile::read(text, &error));
        QCOMPARE(error.reason, reason);
        QCOMPARE(error.line, line);
    }

    // Saved byte for byte, and loaded back. vantorctl's tests load files that are missing or
    // damaged and show the reason with the path.
    void saveAndLoad()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("wave.json");
        QString error;
        QVERIFY(sequencefile::save(path, GoldenSequence(), &error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), kGolden);
        const std::optional<Sequence> s = sequencefile::load(path, &error);
        QVERIFY(s && *s == GoldenSequence());
        QVERIFY(!sequencefile::save(dir.filePath("no/such/folder/x.json"), Sequence(), &error));
        QVERIFY2(error.startsWith("cannot save " + dir.filePath("no/such/folder/x.json") + ": "),
                 qPrintable(error));
    }

    // --- Choosing channels ---------------------------------------------------------------------
    void channelLists_data()
    {
        QTest::addColumn<ChannelList>("row");
        const auto add = [](const char* name, const ChannelList& row) {
            QTest::newRow(name) << row;
        };
        add("range and single", {.text = "1-6,9", .channels = {1, 2, 3, 4, 5, 6, 9}});
        add("unordered, repeated, blanks", {.text = " 9, 2-3 ,3", .channels = {2, 3, 9}});
        add("49", {.text = "1,49", .error = "'49' is not a channel 1-48 or a range of them"});
        add("backwards", {.text = "6-1", .error = "the range '6-1' runs backwards"});
        add("nothing", {.text = "", .error = "no channels given"});
    }
    void channelLists()
    {
        QFETCH(ChannelList, row);
        QString error;
        const std::optional<QList<int>> got = ParseChannelList(row.text, &error);
        QCOMPARE(error, row.error);
        QCOMPARE(got.value_or(QList<int>()), row.channels);
        QCOMPARE(bool(got), row.error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSequence)
#include "tst_Sequence.moc"
