#include "emulator/QmcModel.h"

#include <QSignalSpy>
#include <QtTest>

// Dialogues with the model: bytes in, one answer each. The expected answers
// come from the exchanges the program makes: the identification chain, the
// per-address memory exchanges (code, low, high, data), the key bytes of the
// remote panel and the servo commands.

namespace {

// Feeds every byte; the answers, with 0x100 standing for "no answer".
QList<int> talk(QmcModel& model, const QByteArray& in)
{
    QList<int> out;
    for (const char c : in) {
        const std::optional<quint8> a = model.feed(quint8(c));
        out.append(a ? int(*a) : 0x100);
    }
    return out;
}

QList<int> bytes(const QByteArray& b)
{
    QList<int> out;
    for (const char c : b)
        out.append(quint8(c));
    return out;
}

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

quint16 sumOf(const QByteArray& b)
{
    unsigned sum = 0;
    for (const char c : b)
        sum += quint8(c);
    return quint16(sum);
}

} // namespace

class TestQmcModel : public QObject
{
    Q_OBJECT
private slots:
    void dialogue_data();
    void dialogue();
    void powerOnMemories();
    void identificationChainOfTheLink();
    void customIdentification();
    void loadProgram();
    void loadProgramTooLarge();
    void keys_data();
    void keys();
    void variableWrite();
    void settingsState_data();
    void settingsState();
    void abandonAfterSilence_data();
    void abandonAfterSilence();
    void abandonSetting_data();
    void abandonSetting();
    void faults_data();
    void faults();
    void faultCountedFromSetFault();
    void powerOnClearsState();
};

void TestQmcModel::dialogue_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");

    // Identification: the 00 after F0 and the five bytes after it are
    // answered with the six identification bytes.
    QTest::newRow("identify") << hex("F0 00 51 4D 34 34 31") << QByteArray("\xF0QM4410");
    QTest::newRow("identify, any request bytes")
        << hex("F0 41 41 41 41 41 41") << QByteArray("\xF0QM4410");
    QTest::newRow("identify twice")
        << hex("F0 00 00 00 00 00 00 F0 00 00 00 00 00 00") << QByteArray("\xF0QM4410\xF0QM4410");

    // Run control and transfer: echoes.
    QTest::newRow("break") << hex("F3") << hex("F3");
    QTest::newRow("stop") << hex("FA") << hex("FA");
    QTest::newRow("run") << hex("FB") << hex("FB");
    QTest::newRow("reset") << hex("FC") << hex("FC");
    QTest::newRow("transfer") << hex("EC") << hex("EC");

    // Memory: code, low, high echoed; the fourth byte is the memory byte
    // (read) or stored and echoed (write).
    QTest::newRow("sram read of an empty byte") << hex("F7 00 80 00") << hex("F7 00 80 00");
    QTest::newRow("sram write, read back")
        << hex("F8 40 01 05 F7 40 01 00") << hex("F8 40 01 05 F7 40 01 05");
    QTest::newRow("sram address is 16-bit, low byte first")
        << hex("F8 34 12 AB F7 34 12 00 F7 12 34 00") << hex("F8 34 12 AB F7 34 12 AB F7 12 34 00");
    QTest::newRow("sram read of two addresses as the link sends it")
        << hex("F8 40 01 0A F8 41 01 0B F7 40 01 00 F7 41 01 00")
        << hex("F8 40 01 0A F8 41 01 0B F7 40 01 0A F7 41 01 0B");
    QTest::newRow("external rom write, read back")
        << hex("F4 0B 10 00 7F 7F F2 10 00 00") << hex("F4 0B 10 00 7F 7F F2 10 00 7F");
    QTest::newRow("internal rom write, read back")
        << hex("B4 4B 10 00 7F 7F B3 10 00 00") << hex("B4 4B 10 00 7F 7F B3 10 00 7F");
    QTest::newRow("rom write stores the second data byte")
        << hex("B4 4B 20 00 11 22 B3 20 00 00") << hex("B4 4B 20 00 11 22 B3 20 00 22");
    QTest::newRow("memories are separate")
        << hex("F8 00 30 01 B4 4B 00 30 02 02 F4 0B 00 30 03 03 F7 00 30 00 B3 00 30 00 F2 00 "
               "30 00")
        << hex("F8 00 30 01 B4 4B 00 30 02 02 F4 0B 00 30 03 03 F7 00 30 01 B3 00 30 02 F2 00 "
               "30 03");
    QTest::newRow("read at the top address")
        << hex("F8 FF FF 5A F7 FF FF 00") << hex("F8 FF FF 5A F7 FF FF 5A");

    // Keys.
    QTest::newRow("key code") << hex("05") << hex("05");
    QTest::newRow("escaped key") << hex("FF 80") << hex("FF 80");
    QTest::newRow("keys in a row") << hex("01 7F 20") << hex("01 7F 20");
    QTest::newRow("variable write") << hex("F8 42 01 25") << hex("F8 42 01 25");

    // Servos and speed.
    QTest::newRow("settings echoed") << hex("B1 01 B2 05 E9 20 E7 03 E8 03 E6 03 5A")
                                     << hex("B1 01 B2 05 E9 20 E7 03 E8 03 E6 03 5A");
    QTest::newRow("servo position, read back") << hex("E6 05 5A 05 00") << hex("E6 05 5A 05 5A");
    QTest::newRow("servo read of a channel never set") << hex("09 00") << hex("09 00");
    QTest::newRow("a key not followed by 00 reads nothing")
        << hex("E6 05 5A 05 06 00") << hex("E6 05 5A 05 06 00");
    QTest::newRow("group 1 is servos 1 to 6")
        << hex("E6 01 0A E6 06 3C E6 07 77 D4 00 00 00 00 00 00")
        << hex("E6 01 0A E6 06 3C E6 07 77 D4 0A 00 00 00 00 3C");
    QTest::newRow("group 2 is servos 7 to 12")
        << hex("E6 06 55 E6 07 01 E6 0C 02 D5 00 00 00 00 00 00")
        << hex("E6 06 55 E6 07 01 E6 0C 02 D5 01 00 00 00 00 02");
    QTest::newRow("group 8 is servos 43 to 48") << hex("E6 2B 11 E6 30 22 DB 00 00 00 00 00 00")
                                                << hex("E6 2B 11 E6 30 22 DB 11 00 00 00 00 22");
    QTest::newRow("after a group the parser is idle")
        << hex("D4 00 00 00 00 00 00 F0 00") << hex("D4 00 00 00 00 00 00 F0 51");

    // Moving flag: 1 while the program runs.
    QTest::newRow("not moving") << hex("B0 00") << hex("B0 00");
    QTest::newRow("moving while running") << hex("FB B0 00") << hex("FB B0 01");
    QTest::newRow("break stops the motion") << hex("FB F3 B0 00") << hex("FB F3 B0 00");

    // Everything else: echo.
    QTest::newRow("zero alone") << hex("00") << hex("00");
    QTest::newRow("bytes without a rule") << hex("80 90 D3 DC EF FE") << hex("80 90 D3 DC EF FE");
}

void TestQmcModel::dialogue()
{
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QmcModel model;
    qint64 now = 0; // one clock for the whole dialogue: no exchange is abandoned
    model.setClock([&] { return now; });
    QCOMPARE(talk(model, in), bytes(out));
    QCOMPARE(model.bytesReceived(), quint64(in.size()));
    QCOMPARE(model.bytesAnswered(), quint64(in.size()));
}

void TestQmcModel::powerOnMemories()
{
    QmcModel model;
    const QByteArray demo = QmcModel::demoProgram();
    QVERIFY(demo.size() > 16);
    QVERIFY(demo.size() < 256);
    // The image carries its own size at 000E..000F, low byte first.
    QCOMPARE(quint8(demo.at(0x0E)), quint8(demo.size() & 0xFF));
    QCOMPARE(quint8(demo.at(0x0F)), quint8(demo.size() >> 8));
    for (int i = 0; i < demo.size(); ++i)
        QCOMPARE(model.extRom(i), quint8(demo.at(i)));
    QCOMPARE(model.extRom(demo.size()), quint8(0));
    QCOMPARE(model.extRom(0xFFFF), quint8(0));
    QCOMPARE(int(model.programSize()), int(demo.size()));

    // Checksum of the program at static RAM 04F2..04F3, low byte first.
    const quint16 sum = sumOf(demo);
    QCOMPARE(model.programChecksum(), sum);
    QCOMPARE(model.sram(0x04F2), quint8(sum & 0xFF));
    QCOMPARE(model.sram(0x04F3), quint8(sum >> 8));

    // Everything else 00: spot checks around the filled bytes.
    QCOMPARE(model.sram(0x04F1), quint8(0));
    QCOMPARE(model.sram(0x04F4), quint8(0));
    QCOMPARE(model.sram(0x0141), quint8(0));
    for (int a : {0x0000, 0x000E, 0x04F2, 0x8000, 0xFFFF})
        QCOMPARE(model.intRom(a), quint8(0));
    QCOMPARE(model.identification(), QByteArray("QM4410"));
    QCOMPARE(model.runState(), QmcModel::RunState::Stopped);
}

void TestQmcModel::identificationChainOfTheLink()
{
    // The link's identification chain: F0, 00, the five identification bytes
    // sent back, then static RAM reads of 04F2 and 04F3, then F2 which it
    // never finishes.
    QmcModel model;
    qint64 now = 0;
    model.setClock([&] { return now; });
    const quint16 sum = sumOf(QmcModel::demoProgram());
    QByteArray expected("\xF0QM4410");
    expected += hex("F7 F2 04") + char(sum & 0xFF) + hex("F7 F3 04") + char(sum >> 8) + hex("F2");
    QCOMPARE(talk(model, hex("F0 00 51 4D 34 34 31 F7 F2 04 00 F7 F3 04 00 F2")), bytes(expected));
    QVERIFY(!model.isIdle()); // half-way through an external ROM read

    // The program's next command comes after a pause and is understood.
    now += 1000;
    QCOMPARE(talk(model, hex("F2 0E 00 00 F2 0F 00 00")),
             bytes(hex("F2 0E 00") + char(model.programSize() & 0xFF) + hex("F2 0F 00") +
                   char(model.programSize() >> 8)));
}

void TestQmcModel::customIdentification()
{
    QmcModel model;
    model.setIdentification("AB");
    QCOMPARE(model.identification(), QByteArray("AB\0\0\0\0", 6));
    QCOMPARE(talk(model, hex("F0 00 00 00 00 00 00")), bytes(QByteArray("\xF0"
                                                                        "AB\0\0\0\0",
                                                                        7)));
    model.setIdentification("QMC-4410-X");
    QCOMPARE(model.identification(), QByteArray("QMC-44"));
}

void TestQmcModel::loadProgram()
{
    QmcModel model;
    // 20 bytes of image, of which the header says 18 are the program: the
    // checksum covers those 18 only.
    QByteArray image(20, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(0x90 + i);
    image[0x0E] = char(18);
    image[0x0F] = char(0);
    QVERIFY(model.loadProgram(image));
    QCOMPARE(int(model.programSize()), 18);
    const quint16 sum = sumOf(image.left(18));
    QCOMPARE(model.programChecksum(), sum);
    QCOMPARE(model.sram(0x04F2), quint8(sum & 0xFF));
    QCOMPARE(model.sram(0x04F3), quint8(sum >> 8));
    QCOMPARE(model.extRom(19), quint8(0xA3));
    // The rest of the demo program is gone.
    QCOMPARE(model.extRom(20), quint8(0));
    QCOMPARE(model.extRom(40), quint8(0));
    // A 16-bit sum wraps.
    QByteArray big(0x300, char(0xFF));
    big[0x0E] = char(0x00);
    big[0x0F] = char(0x03);
    QVERIFY(model.loadProgram(big));
    QCOMPARE(model.programChecksum(), sumOf(big));
}

void TestQmcModel::loadProgramTooLarge()
{
    QmcModel model;
    const quint8 before = model.extRom(0);
    QVERIFY(!model.loadProgram(QByteArray(QmcModel::cMemorySize + 1, '\x01')));
    QCOMPARE(model.extRom(0), before);
    QVERIFY(model.loadProgram(QByteArray(QmcModel::cMemorySize, '\x01')));
    QCOMPARE(model.extRom(0xFFFF), quint8(1));
}

void TestQmcModel::keys_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("count");

    // code c: ID (c-1)/32 + 1, key (c-1)%32 + 1.
    QTest::newRow("ID 1 key 1") << hex("01") << 1 << 1 << 1 << 1;
    QTest::newRow("ID 1 key 32") << hex("20") << 32 << 1 << 32 << 1;
    QTest::newRow("ID 2 key 1") << hex("21") << 33 << 2 << 1 << 1;
    QTest::newRow("ID 2 key 5") << hex("25") << 37 << 2 << 5 << 1;
    QTest::newRow("ID 4 key 31") << hex("7F") << 127 << 4 << 31 << 1;
    QTest::newRow("ID 4 key 32, escaped") << hex("FF 80") << 128 << 4 << 32 << 1;
    QTest::newRow("last of several") << hex("01 02 03") << 3 << 1 << 3 << 3;
    QTest::newRow("commands are no keys")
        << hex("F3 FB B1 01 E7 02 D4 00 00 00 00 00 00") << 0 << 0 << 0 << 0;
    QTest::newRow("address bytes are no keys") << hex("F7 05 01 00") << 0 << 0 << 0 << 0;
    QTest::newRow("variable #3, ID 2 key 5") << hex("F8 42 01 25") << 37 << 2 << 5 << 1;
    QTest::newRow("other static RAM is no key")
        << hex("F8 40 01 25 F8 48 01 25") << 0 << 0 << 0 << 0;
}

void TestQmcModel::keys()
{
    QFETCH(QByteArray, in);
    QFETCH(int, code);
    QFETCH(int, id);
    QFETCH(int, key);
    QFETCH(int, count);
    QmcModel model;
    QSignalSpy spy(&model, &QmcModel::keyReceived);
    talk(model, in);
    QCOMPARE(model.lastKeyCode(), code);
    QCOMPARE(model.lastKeyId(), id);
    QCOMPARE(model.lastKeyNumber(), key);
    QCOMPARE(model.keyCount(), count);
    QCOMPARE(spy.size(), count);
    if (count > 0)
        QCOMPARE(spy.last(), (QList<QVariant>{code, id, key}));
}

void TestQmcModel::variableWrite()
{
    QmcModel model;
    QSignalSpy spy(&model, &QmcModel::variableChanged);
    // "#2 variable" to "#8 variable": static RAM 0141..0147.
    for (int n = 2; n <= 8; ++n)
        talk(model, QByteArray("\xF8") + char(0x40 + n - 1) + '\x01' + char(0x10 + n));
    QCOMPARE(spy.size(), 7);
    for (int n = 2; n <= 8; ++n) {
        QCOMPARE(model.variable(n), quint8(0x10 + n));
        QCOMPARE(model.sram(0x0140 + n - 1), quint8(0x10 + n));
        QCOMPARE(spy.at(n - 2), (QList<QVariant>{n, 0x10 + n}));
    }
    QCOMPARE(model.variable(1), quint8(0));
    QCOMPARE(model.variable(9), quint8(0));
}

void TestQmcModel::settingsState_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<int>("runState");
    QTest::addColumn<bool>("ptp");
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("speedValue");
    QTest::addColumn<QList<int>>("servosOn");

    const int stopped = int(QmcModel::RunState::Stopped);
    const int running = int(QmcModel::RunState::Running);
    const int paused = int(QmcModel::RunState::Paused);
    QTest::newRow("power-on") << QByteArray() << stopped << false << 0 << 0 << QList<int>{};
    QTest::newRow("run") << hex("FB") << running << false << 0 << 0 << QList<int>{};
    QTest::newRow("run, break") << hex("FB F3") << paused << false << 0 << 0 << QList<int>{};
    QTest::newRow("run, stop") << hex("FB FA") << stopped << false << 0 << 0 << QList<int>{};
    QTest::newRow("run, reset") << hex("FB FC") << stopped << false << 0 << 0 << QList<int>{};
    QTest::newRow("point-to-point on") << hex("B1 01") << stopped << true << 0 << 0 << QList<int>{};
    QTest::newRow("point-to-point off")
        << hex("B1 01 B1 00") << stopped << false << 0 << 0 << QList<int>{};
    QTest::newRow("speed") << hex("B2 07") << stopped << false << 7 << 0 << QList<int>{};
    QTest::newRow("speed value") << hex("E9 C8") << stopped << false << 0 << 200 << QList<int>{};
    QTest::newRow("servos on") << hex("E7 03 E7 30") << stopped << false << 0 << 0
                               << QList<int>{3, 48};
    QTest::newRow("servo on, off")
        << hex("E7 03 E7 04 E8 03") << stopped << false << 0 << 0 << QList<int>{4};
    QTest::newRow("channels out of range ignored")
        << hex("E7 00 E7 31") << stopped << false << 0 << 0 << QList<int>{};
}

void TestQmcModel::settingsState()
{
    QFETCH(QByteArray, in);
    QFETCH(int, runState);
    QFETCH(bool, ptp);
    QFETCH(int, speed);
    QFETCH(int, speedValue);
    QFETCH(QList<int>, servosOn);
    QmcModel model;
    talk(model, in);
    QCOMPARE(int(model.runState()), runState);
    QCOMPARE(model.isMoving(), runState == int(QmcModel::RunState::Running));
    QCOMPARE(model.pointToPoint(), ptp);
    QCOMPARE(int(model.speed()), speed);
    QCOMPARE(int(model.speedValue()), speedValue);
    for (int ch = 1; ch <= QmcModel::cServoCount; ++ch)
        QCOMPARE(model.servoOn(ch), servosOn.contains(ch));
}

void TestQmcModel::abandonAfterSilence_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QByteArray>("answers");

    // Static RAM 0140 holds 99 and servo 5 stands at 5A for these rows.
    QTest::newRow("identification, 49 ms") << hex("F0") << 49 << hex("00") << QByteArray("Q");
    QTest::newRow("identification, 50 ms") << hex("F0") << 50 << hex("00") << hex("00");
    QTest::newRow("identification, a second") << hex("F0") << 1000 << hex("00") << hex("00");
    QTest::newRow("unfinished read, no pause: next command taken as address")
        << hex("F2") << 0 << hex("F7 40 01 00") << hex("F7 40 00 00");
    QTest::newRow("unfinished read, pause: next command understood")
        << hex("F2") << 60 << hex("F7 40 01 00") << hex("F7 40 01 99");
    QTest::newRow("key then 00 at once reads the servo")
        << hex("05") << 10 << hex("00") << hex("5A");
    QTest::newRow("key then 00 after a pause is a plain 00")
        << hex("05") << 50 << hex("00") << hex("00");
    QTest::newRow("group read cut short") << hex("D4 00 00") << 50 << hex("E9 05") << hex("E9 05");
}

void TestQmcModel::abandonAfterSilence()
{
    QFETCH(QByteArray, first);
    QFETCH(int, gapMs);
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, answers);
    QmcModel model;
    qint64 now = 5000;
    model.setClock([&] { return now; });
    model.setSram(0x0140, 0x99);
    model.setServoPosition(5, 0x5A);
    talk(model, first);
    now += gapMs;
    QCOMPARE(talk(model, second), bytes(answers));
}

void TestQmcModel::abandonSetting_data()
{
    QTest::addColumn<int>("abandonMs");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("answer");
    QTest::newRow("default, 50 ms") << -1 << 50 << 0x00;
    QTest::newRow("100 ms, 60 ms pause") << 100 << 60 << int('Q');
    QTest::newRow("100 ms, 100 ms pause") << 100 << 100 << 0x00;
    QTest::newRow("never, an hour's pause") << 0 << 3'600'000 << int('Q');
}

void TestQmcModel::abandonSetting()
{
    QFETCH(int, abandonMs);
    QFETCH(int, gapMs);
    QFETCH(int, answer);
    QmcModel model;
    qint64 now = 0;
    model.setClock([&] { return now; });
    if (abandonMs >= 0)
        model.setAbandonAfter(std::chrono::milliseconds(abandonMs));
    talk(model, hex("F0"));
    now += gapMs;
    QCOMPARE(talk(model, hex("00")), QList<int>{answer});
}

void TestQmcModel::faults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<bool>("hungUp");

    const int none = 0x100;
    QTest::newRow("silent") << int(QmcModel::Fault::Silent) << 0 << hex("FB F0 00")
                            << QList<int>{none, none, none} << false;
    // The complements of the echoes of FB and F0, and of 'Q' (51).
    QTest::newRow("wrong") << int(QmcModel::Fault::Wrong) << 0 << hex("FB F0 00")
                           << QList<int>{0x04, 0x0F, 0xAE} << false;
    QTest::newRow("stop after 2") << int(QmcModel::Fault::StopAfter) << 2 << hex("F7 40 01 00")
                                  << QList<int>{0xF7, 0x40, none, none} << false;
    QTest::newRow("stop after 0") << int(QmcModel::Fault::StopAfter) << 0 << hex("05 06")
                                  << QList<int>{none, none} << false;
    QTest::newRow("hang up after 2") << int(QmcModel::Fault::HangUpAfter) << 2 << hex("F7 40 01 00")
                                     << QList<int>{0xF7, 0x40, none, none} << true;
    QTest::newRow("hang up after 0")
        << int(QmcModel::Fault::HangUpAfter) << 0 << hex("05") << QList<int>{none} << true;
    QTest::newRow("no fault") << int(QmcModel::Fault::None) << 0 << hex("F7 40 01 00")
                              << QList<int>{0xF7, 0x40, 0x01, 0x00} << false;
}

void TestQmcModel::faults()
{
    QFETCH(int, fault);
    QFETCH(int, count);
    QFETCH(QByteArray, in);
    QFETCH(QList<int>, answers);
    QFETCH(bool, hungUp);
    QmcModel model;
    QSignalSpy hangups(&model, &QmcModel::hungUp);
    model.setFault(QmcModel::Fault(fault), count);
    QCOMPARE(talk(model, in), answers);
    QCOMPARE(model.isHungUp(), hungUp);
    QCOMPARE(hangups.size(), hungUp ? 1 : 0);
    if (QmcModel::Fault(fault) == QmcModel::Fault::Silent) {
        // Silent is a dead transmitter, not a dead controller: FB still ran.
        QCOMPARE(model.runState(), QmcModel::RunState::Running);
    }
    if (hungUp) {
        // Nothing gets through any more, until the fault is cleared.
        QCOMPARE(talk(model, hex("F0")), QList<int>{0x100});
        model.setFault(QmcModel::Fault::None);
        QVERIFY(!model.isHungUp());
        QCOMPARE(talk(model, hex("FB")), QList<int>{0xFB});
    }
}

void TestQmcModel::faultCountedFromSetFault()
{
    QmcModel model;
    talk(model, hex("01 02 03"));
    model.setFault(QmcModel::Fault::StopAfter, 1);
    QCOMPARE(talk(model, hex("04 05")), (QList<int>{0x04, 0x100}));
    QCOMPARE(model.bytesReceived(), quint64(5));
    QCOMPARE(model.bytesAnswered(), quint64(4));
}

void TestQmcModel::powerOnClearsState()
{
    QmcModel model;
    model.setFault(QmcModel::Fault::Wrong);
    talk(model, hex("FB E7 01 E6 01 40 05 F8 00 00 01 F2"));
    model.setIdentification("XXXXXX");
    model.powerOn();
    QCOMPARE(model.fault(), QmcModel::Fault::None);
    QCOMPARE(model.runState(), QmcModel::RunState::Stopped);
    QVERIFY(!model.servoOn(1));
    QCOMPARE(model.servoPosition(1), quint8(0));
    QCOMPARE(model.keyCount(), 0);
    QCOMPARE(model.sram(0), quint8(0));
    QCOMPARE(model.bytesReceived(), quint64(0));
    QVERIFY(model.isIdle());
    QCOMPARE(talk(model, hex("F0 00")), (QList<int>{0xF0, 'Q'}));
}

QTEST_GUILESS_MAIN(TestQmcModel)
#include "tst_QmcModel.moc"
