#include "emulator/QmcModel.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

using Fault = QmcModel::Fault;

QString hexByte(int b)
{
    return QString::fromLatin1(QByteArray(1, char(b)).toHex().toUpper());
}

// Tokens: a byte sent, with ">" and its answer unless it is an echo ("--": none); "+N" lets N ms
// pass on the model's clock; "!" sets the fault. Returns the same notation for what happened.
QString talk(QmcModel& model, const QString& script, qint64& now, Fault fault = Fault::None,
             int count = 0)
{
    QStringList out;
    for (const QString& token : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (token.startsWith(QLatin1Char('+')))
            now += token.mid(1).toLongLong();
        else if (token == QLatin1String("!"))
            model.setFault(fault, count);
        if (!token.at(0).isLetterOrNumber()) {
            out << token;
            continue;
        }
        const int in = token.left(2).toInt(nullptr, 16);
        const std::optional<quint8> a = model.feed(quint8(in));
        out << (a == quint8(in) ? hexByte(in) : hexByte(in) + '>' + (a ? hexByte(*a) : "--"));
    }
    return out.join(QLatin1Char(' '));
}

} // namespace

class TestQmcModel : public QObject
{
    Q_OBJECT
private slots:
    void dialogue_data();
    void dialogue();
    void demoProgram();
    void loadedProgram();
    void monitorState_data();
    void monitorState();
};

void TestQmcModel::dialogue_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("abandonMs");
    const auto row = [](const char* name, const QString& script, Fault f = Fault::None,
                        int count = 0, int abandonMs = -1) {
        QTest::newRow(name) << script << f << count << abandonMs;
    };
    // clang-format off
    // Static RAM 0140 holds 99 and servo 5 stands at 5A in every row.
    row("identify twice, any bytes", "F0 00>51 51>4D 4D>34 34 34>31 31>30 F0 41>51 41>4D 41>34 41>34 41>31 41>30");
    // The demo program: 51 bytes summing to 111E.
    row("checksum, then ROM size after a pause", "F7 F2 04 00>1E F7 F3 04 00>11 F2 +1000 F2 0E 00 00>33 F2 0F 00 00>00");
    row("echoes", "F3 FA FB FC EC 01 7F 20 FF 80 B1 01 B2 05 E9 20 E7 03 E8 03 E6 03 5A 80 90 D3 DC EF FE");
    row("static RAM write, read back", "F8 34 12 AB F7 34 12 00>AB F7 12 34 00 F8 FF FF 5A F7 FF FF 00>5A");
    row("ROM writes keep the second data byte", "F4 0B 10 00 11 22 F2 10 00 00>22 B4 4B 20 00 33 44 B3 20 00 00>44");
    row("memories are separate", "F8 00 30 01 B4 4B 00 30 02 02 F4 0B 00 30 03 03 F7 00 30 00>01 B3 00 30 00>02 F2 00 30 00>03");
    row("key then 00 reads that servo", "E6 07 3C 07 00>3C 08 00 05 +10 00>5A");
    row("groups 1, 2 and 8", "E6 01 0A E6 06 3C E6 07 77 E6 0C 02 E6 30 22 D4 00>0A 00 00 00 00>5A 00>3C D5 00>77 00 00 00 00 00>02 DB 00 00 00 00 00 00>22");
    row("moving flag while running", "B0 00 FB B0 00>01 F3 B0 00");
    // An unfinished exchange is dropped after 50 ms without a byte.
    row("identification, 49 ms", "F0 +49 00>51");
    row("identification, 50 ms", "F0 +50 00");
    row("unfinished read, no pause", "F2 F7 40 01>00 00");
    row("unfinished read, pause", "F2 +60 F7 40 01 00>99");
    row("abandon after 100 ms, 60 ms pause", "F0 +60 00>51", Fault::None, 0, 100);
    row("abandon after 100 ms, 100 ms pause", "F0 +100 00", Fault::None, 0, 100);
    row("never abandon", "F0 +3600000 00>51", Fault::None, 0, 0);
    row("silent", "! FB>-- F0>-- 00>--", Fault::Silent);
    row("wrong: complements", "! FB>04 F0>0F 00>AE", Fault::Wrong);
    row("stop after 1, counted from the fault", "01 02 03 ! 04 05>-- 00>--", Fault::StopAfter, 1);
    row("hang up after 2", "! F7 40 01>-- 00>-- F0>--", Fault::HangUpAfter, 2);
    row("hang up after 0", "! 05>--", Fault::HangUpAfter, 0);
    // clang-format on
}

void TestQmcModel::dialogue()
{
    QFETCH(QString, script);
    QFETCH(Fault, fault);
    QFETCH(int, count);
    QFETCH(int, abandonMs);
    QmcModel model;
    qint64 now = 5000;
    model.setClock([&] { return now; });
    if (abandonMs >= 0)
        model.setAbandonAfter(std::chrono::milliseconds(abandonMs));
    model.setSram(0x0140, 0x99);
    model.setServoPosition(5, 0x5A);
    QSignalSpy hangups(&model, &QmcModel::hungUp);
    static const QRegularExpression same(QStringLiteral("\\b(\\w\\w)>\\1\\b")); // "51>51" is "51"
    QCOMPARE(talk(model, script, now, fault, count), QString(script).replace(same, "\\1"));
    QCOMPARE(hangups.size(), fault == Fault::HangUpAfter ? 1 : 0);
}

void TestQmcModel::demoProgram()
{
    // Header "QP", version, name "DEMO-01 ", code at 0010, size 0033; then speed 32,
    // point-to-point, servos 1 and 2 on, three poses 500 ms apart, and a jump back.
    const QByteArray demo = QByteArray::fromHex(
        "5150010344454D4F2D30312010003300E920B101E701E702E6015AE6025AA032E601B4E60200A032E601"
        "00E602B4A032C01800");
    QCOMPARE(QmcModel::demoProgram().toHex(' '), demo.toHex(' '));
    QmcModel model; // what a freshly powered controller holds
    for (int i = 0; i <= demo.size(); ++i)
        QCOMPARE(model.extRom(i), quint8(i < demo.size() ? demo[i] : 0));
    QCOMPARE(model.programChecksum(), quint16(0x111E));
}

void TestQmcModel::loadedProgram()
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

void TestQmcModel::monitorState_data()
{
    QTest::addColumn<QString>("in");
    QTest::addColumn<QString>("view");
    // clang-format off
    QTest::newRow("ID 1 key 32") << "20" << "key 32 1 32 x1";
    QTest::newRow("last of several") << "01 02 7F" << "key 127 4 31 x3";
    QTest::newRow("variables are keys") << "F8 41 01 11 F8 47 01 18 F8 42 01 25" << "key 37 2 5 x3, #2=11, #3=25, #8=18";
    QTest::newRow("other static RAM and 00 are no keys") << "F8 40 01 25 F8 48 01 25 F8 43 01 00" << "";
    QTest::newRow("commands and addresses are no keys") << "B1 01 E7 02 D4 00 00 00 00 00 00 F7 05 01 00" << "on 2";
    QTest::newRow("run, break") << "FB F3" << "paused";
    QTest::newRow("run, stop") << "FB FA" << "";
    QTest::newRow("run, reset") << "FB FC" << "";
    QTest::newRow("servos on, off, out of range") << "E7 01 E7 03 E7 04 E7 30 E8 03 E7 00 E7 31" << "on 1, on 4, on 48";
    QTest::newRow("servo 1 on, then off") << "E7 01 E8 01" << "";
    // clang-format on
}

void TestQmcModel::monitorState()
{
    QFETCH(QString, in);
    QFETCH(QString, view);
    QmcModel model;
    QSignalSpy keys(&model, &QmcModel::keyReceived);
    qint64 now = 0;
    model.setClock([&] { return now; });
    talk(model, in, now);
    QCOMPARE(monitorView(model), view);
    QCOMPARE(keys.size(), model.keyCount());
}

QTEST_GUILESS_MAIN(TestQmcModel)
#include "tst_QmcModel.moc"
