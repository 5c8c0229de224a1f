#include "emulator/QmcModel.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

QString hexByte(int b)
{
    return QString::fromLatin1(QByteArray(1, char(b)).toHex().toUpper());
}

// Tokens: a byte sent, with ">" and its answer unless it is an echo; "+N" lets N ms pass on the
// model's clock. Returns the same notation for what happened.
QString talk(QmcModel& model, const QString& script, qint64& now)
{
    QStringList out;
    for (const QString& token : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (token.startsWith(QLatin1Char('+'))) {
            now += token.mid(1).toLongLong();
            out << token;
            continue;
        }
        const int in = token.left(2).toInt(nullptr, 16);
        const std::optional<quint8> a = model.feed(quint8(in));
        out << (a == quint8(in) ? hexByte(in) : hexByte(in) + '>' + (a ? hexByte(*a) : "--"));
    }
    return out.join(QLatin1Char(' '));
}

// What the monitor shows, non-default parts only: last key (code ID number x count), run state,
// servos on, variables.
QString monitorView(const QmcModel& m)
{
    QStringList out;
    if (m.keyCount())
        out << QString::asprintf("key %d %d %d x%d", m.lastKeyCode(), m.lastKeyId(),
                                 m.lastKeyNumber(), m.keyCount());
    if (m.runState() != QmcModel::RunState::Stopped)
        out << (m.runState() == QmcModel::RunState::Running ? "running" : "paused");
    for (int ch = 1; ch <= QmcModel::cServoCount; ++ch)
        if (m.servoOn(ch))
            out << QString::asprintf("on %d", ch);
    for (int n = 1; n <= 9; ++n) // only #2..#8 exist
        if (m.variable(n))
            out << QString::asprintf("#%d=%02X", n, m.variable(n));
    return out.join(QLatin1String(", "));
}

} // namespace

class TestQmcModel : public QObject
{
    Q_OBJECT
private slots:
    void dialogue_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("view"); // what the monitor shows afterwards; null: not checked
        const auto row = [](const char* name, const QString& script) {
            QTest::newRow(name) << script << QString();
        };
        const auto state = [](const char* name, const QString& script, const QString& view) {
            QTest::newRow(name) << script << view;
        };
        // clang-format off
        // Servo 5 stands at 5A in every row.
        row("echoes", "F3 FA FB FC EC 01 7F 20 FF 80 B1 01 B2 05 E9 20 E7 03 E8 03 E6 03 5A 80 90 D3 DC EF FE");
        row("ROM writes keep the second data byte", "F4 0B 10 00 11 22 F2 10 00 00>22 B4 4B 20 00 33 44 B3 20 00 00>44");
        row("memories are separate", "F8 00 30 01 B4 4B 00 30 02 02 F4 0B 00 30 03 03 F7 00 30 00>01 B3 00 30 00>02 F2 00 30 00>03");
        row("key then 00 reads that servo", "E6 07 3C 07 00>3C 08 00 05 +10 00>5A");
        // An unfinished exchange is dropped after 50 ms without a byte. (The command line's tests
        // run qmc-emulator with --abandon-ms 0, which never drops one.) The fault modes are met
        // through qmc-emulator by the command line's and the remote's tests.
        row("identification, 49 ms", "F0 +49 00>51");
        row("identification, 50 ms", "F0 +50 00");
        // The monitor's state: keys, run state, servos on, variables (#2..#8 only).
        state("last of several", "01 02 7F", "key 127 4 31 x3");
        state("variables are keys", "F8 41 01 11 F8 47 01 18 F8 42 01 25", "key 37 2 5 x3, #2=11, #3=25, #8=18");
        state("other static RAM and 00 are no keys", "F8 40 01 25 F8 48 01 25 F8 43 01 00", "");
        state("commands and addresses are no keys", "B1 01 E7 02 D4 00 00 00 00 00>5A 00 F7 05 01 00", "on 2");
        state("run, break", "FB F3", "paused");
        state("run, stop", "FB FA", "");
        state("servos on, off, out of range", "E7 01 E7 03 E7 04 E7 30 E8 03 E7 00 E7 31", "on 1, on 4, on 48");
        // Servos on their way: the answers show where they are after the time that passed on
        // the model's clock, and B0 whether any is still travelling.
        // Speed 0, as at power-on: a new position is taken at once.
        row("speed 0 jumps", "E6 01 64 01 00>64 B0 00");
        // Speed 10 is 10 units per 20 ms: 100 units take 200 ms; where a servo is counts only
        // whole units it has passed.
        row("speed 10, 100 units in 200 ms",
            "B2 0A E6 01 64 01 00 B0 00>01 +100 01 00>32 +99 01 00>63 B0 00>01 "
            "+1 01 00>64 B0 00");
        // A move that ends part-way through a tick takes the whole tick: 7 units at speed 3.
        row("a part tick rounds up", "B2 03 E6 07 07 +46 07 00>06 +1 07 00>07");
        row("downwards",
            "B2 05 E6 05 00 +180 05 00>2D +179 05 00>01 B0 00>01 +1 05 00 B0 00");
        // A new target turns a servo from where it stands.
        row("new target mid-way",
            "B2 0A E6 01 64 +100 E6 01 00 +50 01 00>19 +50 01 00");
        // Each at its own pace without point to point; with it, the near one is slowed to arrive
        // with the far one, also when it joins a move under way.
        row("own pace", "B2 0A E6 01 64 E6 02 32 +100 D4 00>32 00>32 00 00 00>5A 00 "
                        "B0 00>01 +100 B0 00");
        row("point to point arrives together",
            "B1 01 B2 0A E6 01 64 E6 02 32 +50 D4 00>19 00>0C 00 00 00>5A 00 "
            "+100 01 00>4B 02 00>25 B0 00>01 +50 01 00>64 02 00>32 B0 00");
        row("point to point, joining a move under way",
            "B1 01 B2 0A E6 01 64 +100 E6 02 0A +50 01 00>4B 02 00>05 +50 01 00>64 "
            "02 00>0A B0 00");
        // A speed set while a servo travels is for the moves after it.
        row("speed changed on the way",
            "B2 0A E6 01 64 +100 B2 01 +100 01 00>64 E6 01 63 +19 01 00>64 "
            "+1 01 00>63");
        // clang-format on
    }

    void dialogue()
    {
        QFETCH(QString, script);
        QFETCH(QString, view);
        QmcModel model;
        qint64 now = 5000;
        model.setClock([&] { return now; });
        model.setServoPosition(5, 0x5A);
        QSignalSpy keys(&model, &QmcModel::keyReceived);
        // An answer equal to the byte sent is written as the byte alone: "51>51" is "51".
        static const QRegularExpression same(QStringLiteral("\\b(\\w\\w)>\\1\\b"));
        QCOMPARE(talk(model, script, now), QString(script).replace(same, "\\1"));
        QCOMPARE(keys.size(), model.keyCount());
        if (!view.isNull())
            QCOMPARE(monitorView(model), view);
    }

    void loadedProgram()
    {
        QmcModel model;
        QByteArray image(20, '\0'); // 20 bytes whose header says 18 are the program
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i == 0x0E ? 18 : i == 0x0F ? 0 : 0x90 + i);
        QVERIFY(model.loadProgram(image));
        QCOMPARE(model.sram(0x04F2) | model.sram(0x04F3) << 8, 0x098E);
        QCOMPARE(model.extRom(19), quint8(0xA3));
        QCOMPARE(model.extRom(20), quint8(0)); // the rest of the demo is gone
        QByteArray big(0x300, char(0xFF));     // the 16-bit sum wraps
        big[0x0E] = 0;
        big[0x0F] = 3;
        QVERIFY(model.loadProgram(big));
        QCOMPARE(model.programChecksum(), quint16(0xFB05));
        QVERIFY(!model.loadProgram(QByteArray(QmcModel::cMemorySize + 1, '\x01')));
        QCOMPARE(model.extRom(0x10), quint8(0xFF)); // refused: nothing changed
    }
};

QTEST_GUILESS_MAIN(TestQmcModel)
#include "tst_QmcModel.moc"
