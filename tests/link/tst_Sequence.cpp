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
                           "  \"name\": \"wave \\\"hello\\\"\",\n"
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
    s.name = QStringLiteral("wave \"hello\"");
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
QByteArray Edited(int at, const QByteArray& with)
{
    QList<QByteArray> lines = kBase.split('\n');
    if (with.isNull())
        lines.removeAt(at - 1);
    else
        lines[at - 1] = with;
    return lines.join('\n');
}

// One damaged file: either kBase with one line replaced, or a text of its own.
struct Damage
{
    int at = 0;
    QByteArray with = {};
    QByteArray text = {};
    int line = 0;
    QString reason;
};

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

Q_DECLARE_METATYPE(Damage)
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
    void outOfRangeFramesAreNamed()
    {
        Sequence s;
        s.frames = {MakeFrame("a", 0, {{1, At(1)}}), MakeFrame("b", 256, {})};
        QCOMPARE(CheckSequence(s), QStringLiteral("frame 2: speed 256 is not 0-255"));
        s.frames[1] = MakeFrame("b", 0, {{49, At(1)}});
        QCOMPARE(CheckSequence(s), QStringLiteral("frame 2: channel 49 is not 1-48"));
        s.frames[1] = MakeFrame("b", 0, {{3, At(300)}});
        QCOMPARE(CheckSequence(s), QStringLiteral("frame 2: channel 3: position 300 is not 0-255"));
        s.frames[1] = MakeFrame("b", 0, {{3, kOff}}, 0, -1);
        QCOMPARE(CheckSequence(s),
                 QStringLiteral("frame 2: hold -1 is not 0-3600000 milliseconds"));
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
        // Nothing is known before the first frame: every channel it names is switched on.
        add("first frame", 0,
            {{1, K::SwitchedOn, std::nullopt, At(100)},
             {2, K::SwitchedOn, std::nullopt, At(50)},
             {3, K::SwitchedOn, std::nullopt, At(7)}});
        // Channel 2 stays where it was and is left out.
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
    void changeDeltas()
    {
        using K = ChannelChange::Kind;
        QCOMPARE((ChannelChange{1, K::Moved, At(100), At(130)}).delta(), 30);
        QCOMPARE((ChannelChange{1, K::Moved, At(100), At(40)}).delta(), -60);
        QCOMPARE((ChannelChange{1, K::SwitchedOn, kOff, At(40)}).delta(), 0);
        QCOMPARE((ChannelChange{1, K::SwitchedOn, std::nullopt, At(40)}).delta(), 0);
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
    void writesTheFileByteForByte() { QCOMPARE(sequencefile::write(GoldenSequence()), kGolden); }
    void readsItBack()
    {
        sequencefile::Error error;
        const std::optional<Sequence> s = sequencefile::read(kGolden, &error);
        QVERIFY2(s, qPrintable(error.text()));
        QVERIFY(*s == GoldenSequence());
        QCOMPARE(sequencefile::write(*s), kGolden);
    }
    void readsAHandWrittenFile()
    {
        // One line, keys in any order, the defaults left out, an escape and a byte order mark.
        const QByteArray text = "\xEF\xBB\xBF{\"frames\":[{\"channels\":{\"3\":90}},{\"wait\":250,"
                                "\"name\":\"w\\u00e9\\ud83e\\udd16\",\"speed\":5,\"hold\":10}],"
                                "\"version\":1,\"format\":\"vantor-sequence\"}";
        sequencefile::Error error;
        const std::optional<Sequence> s = sequencefile::read(text, &error);
        QVERIFY2(s, qPrintable(error.text()));
        Sequence expected;
        expected.frames = {
            MakeFrame("", 0, {{3, At(90)}}),
            MakeFrame(QString::fromUtf8("w\xC3\xA9\xF0\x9F\xA4\x96"), 5, {}, 250, 10)};
        QVERIFY(*s == expected);
        // Written back in the file's own layout.
        QCOMPARE(sequencefile::write(*s), QByteArray(R"({
  "format": "vantor-sequence",
  "version": 1,
  "name": "",
  "frames": [
    {
      "name": "",
      "speed": 0,
      "wait": "stopped",
      "hold": 0,
      "channels": {
        "3": 90
      }
    },
    {
      "name": "wé🤖",
      "speed": 5,
      "wait": 250,
      "hold": 10,
      "channels": {}
    }
  ]
}
)"));
        const Sequence none;
        QCOMPARE(sequencefile::write(none), QByteArray(R"({
  "format": "vantor-sequence",
  "version": 1,
  "name": "",
  "frames": []
}
)"));
    }
    void aFrameOnOneLine()
    {
        // What `vantorctl pose --json` prints: a frame a script appends to "frames".
        const Frame f = MakeFrame("tab\there", 7, {{10, At(1)}, {2, kOff}}, 30, 40);
        const QByteArray line = sequencefile::writeFrame(f);
        QCOMPARE(line, QByteArray("{\"name\":\"tab\\there\",\"speed\":7,\"wait\":30,\"hold\":40,"
                                  R"("channels":{"2":"off","10":1}})"));
        const std::optional<Sequence> s = sequencefile::read(
            R"({"format":"vantor-sequence","version":1,"frames":[)" + line + "]}", nullptr);
        QVERIFY(s && s->frames.size() == 1 && s->frames.first() == f);
    }

    void refusesDamagedFiles_data()
    {
        QTest::addColumn<Damage>("row");
        const auto add = [](const char* name, const Damage& row) { QTest::newRow(name) << row; };
        const QString ms = QStringLiteral(" is not 0-3600000 milliseconds");
        // Values a hand can get wrong.
        add("channel 49", {.at = 12,
                           .with = R"(        "49": 128,)",
                           .line = 12,
                           .reason = "channel 49 is not 1-48"});
        add("channel by name", {.at = 12,
                                .with = R"(        "elbow": 128,)",
                                .line = 12,
                                .reason = R"(channel "elbow" is not 1-48)"});
        add("channel with a leading zero", {.at = 12,
                                            .with = R"(        "01": 128,)",
                                            .line = 12,
                                            .reason = R"(channel "01" is not 1-48)"});
        add("channel twice", {.at = 13,
                              .with = R"(        "1": "off")",
                              .line = 13,
                              .reason = "channel 1 is given twice"});
        add("position 256", {.at = 12,
                             .with = R"(        "1": 256,)",
                             .line = 12,
                             .reason = R"(channel 1: 256 is not a position 0-255 or "off")"});
        add("fraction", {.at = 12,
                         .with = R"(        "1": 12.5,)",
                         .line = 12,
                         .reason = R"(channel 1: 12.5 is not a position 0-255 or "off")"});
        add("on for a position", {.at = 13,
                                  .with = R"(        "2": "on")",
                                  .line = 13,
                                  .reason = R"(channel 2: "on" is not a position 0-255 or "off")"});
        add("speed 300", {.at = 8,
                          .with = R"(      "speed": 300,)",
                          .line = 8,
                          .reason = "speed 300 is not 0-255"});
        add("wait in words",
            {.at = 9,
             .with = R"(      "wait": "moved",)",
             .line = 9,
             .reason = R"(wait "moved" is not "stopped" or 0-3600000 milliseconds)"});
        add("negative hold",
            {.at = 10, .with = R"(      "hold": -5,)", .line = 10, .reason = "hold -5" + ms});
        add("name not text", {.at = 7,
                              .with = R"(      "name": 7,)",
                              .line = 7,
                              .reason = "name 7 is not a text in double quotes"});
        add("misspelt key", {.at = 10,
                             .with = R"(      "hodl": 0,)",
                             .line = 10,
                             .reason = R"(unknown key "hodl" in frame 1)"});
        add("key twice", {.at = 10,
                          .with = R"(      "speed": 0,)",
                          .line = 10,
                          .reason = R"("speed" is given twice)"});
        add("channels as a list",
            {.text = "{\"format\": \"vantor-sequence\", \"version\": 1, \"frames\": [\n"
                     "{\"channels\": [1, 2]}]}",
             .line = 2,
             .reason = R"("channels" is a list, not an object { ... })"});
        // The format and its version, before anything else in the file.
        add("newer version", {.at = 3,
                              .with = R"(  "version": 2, "loops": 3,)",
                              .line = 3,
                              .reason = "version 2 is newer than this program reads (1)"});
        add("version 0", {.at = 3,
                          .with = R"(  "version": 0,)",
                          .line = 3,
                          .reason = "version 0 is not a version number (1 or more)"});
        add("another format", {.at = 2,
                               .with = R"(  "format": "vantor-program",)",
                               .line = 2,
                               .reason = R"(format "vantor-program" is not "vantor-sequence")"});
        add("no version", {.at = 3, .line = 1, .reason = R"(no "version")"});
        // Broken JSON: the line where reading stopped.
        add("missing comma", {.at = 8,
                              .with = R"(      "speed": 0)",
                              .line = 9,
                              .reason = "expected ',' or '}' after a value, found '\"'"});
        add("comma after the last channel",
            {.at = 13,
             .with = R"(        "2": "off",)",
             .line = 14,
             .reason = "expected a key in double quotes, found '}'"});
        add("unclosed text", {.at = 7,
                              .with = "      \"name\": \"rest,",
                              .line = 7,
                              .reason = "a text in double quotes is not closed on its line"});
        add("single quotes", {.at = 7,
                              .with = "      'name': \"rest\",",
                              .line = 7,
                              .reason = "expected a key in double quotes, found \"'\""});
        add("tab inside a name", {.at = 7,
                                  .with = "      \"name\": \"re\tst\",",
                                  .line = 7,
                                  .reason = "a control character (byte 09) inside double quotes; "
                                            "write it as an escape"});
        add("bad escape", {.at = 7,
                           .with = "      \"name\": \"C:\\temp\\x\",",
                           .line = 7,
                           .reason = "unknown escape '\\x' inside double quotes"});
        add("half a pair of escapes", {.at = 7,
                                       .with = "      \"name\": \"\\ud83e!\",",
                                       .line = 7,
                                       .reason = "'\\ud83e' is the first half of a pair of "
                                                 "escapes, without the second"});
        add("cut short", {.text = kBase.left(kBase.indexOf("\"hold\"")),
                          .line = 10,
                          .reason = "expected a key in double quotes, found the end of the file"});
        add("text after the end",
            {.text = kBase + "}\n", .line = 18, .reason = "'}' after the end of the sequence"});
        add("empty", {.text = "\n\n", .line = 1, .reason = "the file is empty"});
        add("a list",
            {.text = "[]", .line = 1, .reason = "the file holds a list, not a sequence { ... }"});
        add("no frames", {.text = "{\"format\": \"vantor-sequence\",\n\"version\": 1}",
                          .line = 1,
                          .reason = R"(no "frames" list)"});
        add("frame not an object",
            {.text = "{\"format\": \"vantor-sequence\", \"version\": 1,\n\"frames\": [{},\n 7]}",
             .line = 3,
             .reason = "frame 2 is 7, not an object { ... }"});
        add("nested too deeply", {.text = QByteArray(40, '['),
                                  .line = 1,
                                  .reason = "lists and objects nested more than 32 deep"});
    }
    void refusesDamagedFiles()
    {
        QFETCH(Damage, row);
        const QByteArray text = row.text.isNull() ? Edited(row.at, row.with) : row.text;
        sequencefile::Error error;
        QVERIFY(!sequencefile::read(text, &error));
        QCOMPARE(error.reason, row.reason);
        QCOMPARE(error.line, row.line);
        QCOMPARE(error.text(), QStringLiteral("line %1: %2").arg(row.line).arg(row.reason));
    }

    void loadAndSave()
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

        QVERIFY(!sequencefile::load(dir.filePath("none.json"), &error));
        QCOMPARE(error, "cannot read " + dir.filePath("none.json") + ": No such file or directory");
        const QString damaged = dir.filePath("damaged.json");
        QFile out(damaged);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(Edited(3, R"(  "version": 2,)"));
        out.close();
        QVERIFY(!sequencefile::load(damaged, &error));
        QCOMPARE(error, damaged + ": line 3: version 2 is newer than this program reads (1)");
        QVERIFY(!sequencefile::save(dir.filePath("no/such/folder/x.json"), Sequence(), &error));
        QVERIFY2(error.startsWith("cannot save " + dir.filePath("no/such/folder/x.json") + ": "),
                 qPrintable(error));
    }

    // --- Choosing channels
    // ------------------------------------------------------------------------
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
        add("open range", {.text = "3-", .error = "'3-' is not a channel 1-48 or a range of them"});
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
    void groupsOfChannels()
    {
        QCOMPARE(GroupsOf({9, 1, 2, 48, 7}), (QList<int>{1, 2, 8}));
        QCOMPARE(GroupsOf({0, 49}), QList<int>());
    }
};

QTEST_GUILESS_MAIN(TestSequence)
#include "tst_Sequence.moc"
