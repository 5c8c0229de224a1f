#include "emulator/QmcModel.h"
#include "emulator/VirtualController.h"
#include "emulator/VirtualSerialBackend.h"
#include "platform/Serial.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

// The virtual port as the link uses it: through Serial, answers arriving from
// the event loop, one per byte, in order.

namespace {

SerialPortEntry entryFor(QmcModel* model, bool imitateLine)
{
    SerialPortEntry e;
    e.name = QStringLiteral("test virtual");
    e.makeBackend = [model, imitateLine] {
        return std::make_unique<VirtualSerialBackend>(model, imitateLine);
    };
    return e;
}

// The model abandons an exchange after 50 ms of silence; a loaded machine
// can pause a test that long between two bytes. A clock that stands still
// keeps every exchange going.
void freezeClock(QmcModel& model)
{
    model.setClock([] { return qint64(0); });
}

// Collects everything Serial announces.
struct Collector
{
    explicit Collector(Serial& serial)
    {
        QObject::connect(&serial, &Serial::dataAvailable, &serial, [this, &serial] {
            ++notifications;
            received += serial.readAll();
        });
    }
    QByteArray received;
    int notifications = 0;
};

// Sends bytes lock-step, as the link does: the next byte only after the
// answer to the previous one. Returns the answers.
QByteArray lockStep(Serial& serial, Collector& c, const QByteArray& bytes)
{
    const qsizetype start = c.received.size();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        serial.write(bytes.mid(i, 1));
        serial.xmitWait();
        if (!QTest::qWaitFor([&] { return c.received.size() >= start + i + 1; }, 5000))
            break;
    }
    return c.received.mid(start);
}

} // namespace

class TestVirtualSerialBackend : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void answerNeverInsideWrite();
    void burstAnsweredInOrder_data();
    void burstAnsweredInOrder();
    void lockStepExchanges();
    void silentByteLeavesNoAnswer();
    void closeDropsBytesOnTheWire();
    void hangUp();
    void byteTimeFollowsTheSpeed_data();
    void byteTimeFollowsTheSpeed();
    void lineImitationTakesTheLinesTime();
    void builtInPortIsLastInTheInventory();
    void builtInPortDrivesTheSharedModel();
};

void TestVirtualSerialBackend::init()
{
    SerialPorts::clearOverride();
}

void TestVirtualSerialBackend::answerNeverInsideWrite()
{
    QmcModel model;
    Serial serial;
    serial.setSerialPort(entryFor(&model, false));
    QVERIFY(serial.open());
    QSignalSpy spy(&serial, &Serial::dataAvailable);
    serial.write(QByteArray::fromHex("F0"));
    serial.xmitWait();
    // Written, but the controller has not even seen it yet.
    QCOMPARE(serial.readAll(), QByteArray());
    QCOMPARE(spy.size(), 0);
    QCOMPARE(model.bytesReceived(), quint64(0));
    QTRY_COMPARE(spy.size(), 1);
    QCOMPARE(serial.readAll(), QByteArray::fromHex("F0"));
    QCOMPARE(serial.readAll(), QByteArray());
}

void TestVirtualSerialBackend::burstAnsweredInOrder_data()
{
    QTest::addColumn<bool>("imitateLine");
    QTest::addColumn<bool>("oneWrite");
    QTest::newRow("instant, one write") << false << true;
    QTest::newRow("instant, byte by byte") << false << false;
    QTest::newRow("line, one write") << true << true;
    QTest::newRow("line, byte by byte") << true << false;
}

void TestVirtualSerialBackend::burstAnsweredInOrder()
{
    QFETCH(bool, imitateLine);
    QFETCH(bool, oneWrite);
    QmcModel model;
    Serial serial;
    serial.setSerialPort(entryFor(&model, imitateLine));
    QVERIFY(serial.open());
    Collector c(serial);
    // Identification, then a static RAM write and read: the answers only
    // make sense in this order.
    const QByteArray burst = QByteArray::fromHex("F0 00 00 00 00 00 00 F8 40 01 05 F7 40 01 00");
    if (oneWrite) {
        serial.write(burst);
    } else {
        for (const char b : burst)
            serial.write(QByteArray(1, b));
    }
    QTRY_COMPARE(c.received.size(), burst.size());
    QCOMPARE(c.received, QByteArray("\xF0QM4410") + QByteArray::fromHex("F8 40 01 05 F7 40 01 05"));
    QCOMPARE(model.sram(0x0140), quint8(0x05));
}

void TestVirtualSerialBackend::lockStepExchanges()
{
    QmcModel model;
    freezeClock(model);
    model.setServoPosition(7, 0x11);
    model.setServoPosition(12, 0x22);
    Serial serial;
    serial.setSerialPort(entryFor(&model, false));
    QVERIFY(serial.open());
    Collector c(serial);
    QCOMPARE(lockStep(serial, c, QByteArray::fromHex("D5 00 00 00 00 00 00")),
             QByteArray::fromHex("D5 11 00 00 00 00 22"));
    QCOMPARE(lockStep(serial, c, QByteArray::fromHex("F4 0B 10 00 7F 7F")),
             QByteArray::fromHex("F4 0B 10 00 7F 7F"));
    QCOMPARE(model.extRom(0x0010), quint8(0x7F));
    // One notification per answer when the bytes go one at a time.
    QCOMPARE(c.notifications, 13);
}

void TestVirtualSerialBackend::silentByteLeavesNoAnswer()
{
    QmcModel model;
    Serial serial;
    serial.setSerialPort(entryFor(&model, false));
    QVERIFY(serial.open());
    Collector c(serial);
    model.setFault(QmcModel::Fault::StopAfter, 1);
    serial.write(QByteArray::fromHex("FB"));
    serial.write(QByteArray::fromHex("FA"));
    QTRY_COMPARE(model.bytesReceived(), quint64(2));
    // The model saw both; only the first was answered. A third byte, once
    // the fault is gone, proves nothing is still on its way.
    model.setFault(QmcModel::Fault::None);
    serial.write(QByteArray::fromHex("EC"));
    QTRY_COMPARE(model.bytesReceived(), quint64(3));
    QTRY_COMPARE(c.received, QByteArray::fromHex("FB EC"));
    QCOMPARE(model.runState(), QmcModel::RunState::Stopped);
}

void TestVirtualSerialBackend::closeDropsBytesOnTheWire()
{
    QmcModel model;
    Serial serial;
    serial.setSerialPort(entryFor(&model, false));
    QVERIFY(serial.open());
    Collector c(serial);
    serial.write(QByteArray::fromHex("FB"));
    serial.close();
    QVERIFY(serial.open());
    serial.write(QByteArray::fromHex("F3"));
    QTRY_COMPARE(c.received, QByteArray::fromHex("F3"));
    QCOMPARE(model.bytesReceived(), quint64(1));
    QCOMPARE(model.runState(), QmcModel::RunState::Paused);
}

void TestVirtualSerialBackend::hangUp()
{
    QmcModel model;
    Serial serial;
    serial.setSerialPort(entryFor(&model, false));
    QVERIFY(serial.open());
    Collector c(serial);
    QSignalSpy errors(&serial, &Serial::error);
    freezeClock(model);
    model.setFault(QmcModel::Fault::HangUpAfter, 2);
    QCOMPARE(lockStep(serial, c, QByteArray::fromHex("F7 40")), QByteArray::fromHex("F7 40"));
    serial.write(QByteArray::fromHex("01"));
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).value<SerialError>(), SerialError::DeviceGone);
    QCOMPARE(c.received, QByteArray::fromHex("F7 40"));

    // A controller that hung up cannot be reopened, like an unplugged one...
    serial.close();
    QVERIFY(!serial.open());
    QCOMPARE(serial.openError(), SerialError::NotFound);
    // ...until it is back.
    model.setFault(QmcModel::Fault::None);
    QVERIFY(serial.open());
    QCOMPARE(lockStep(serial, c, QByteArray::fromHex("FB")), QByteArray::fromHex("FB"));
}

void TestVirtualSerialBackend::byteTimeFollowsTheSpeed_data()
{
    QTest::addColumn<bool>("imitateLine");
    QTest::addColumn<int>("baud");
    QTest::addColumn<qint64>("nanoseconds");
    // Ten bits (start, eight data, stop) per byte.
    QTest::newRow("9600") << true << 9600 << qint64(1'041'666);
    QTest::newRow("19200") << true << 19200 << qint64(520'833);
    QTest::newRow("instant") << false << 9600 << qint64(0);
}

void TestVirtualSerialBackend::byteTimeFollowsTheSpeed()
{
    QFETCH(bool, imitateLine);
    QFETCH(int, baud);
    QFETCH(qint64, nanoseconds);
    QmcModel model;
    VirtualSerialBackend backend(&model, imitateLine);
    QVERIFY(backend.open(9600));
    backend.setBaud(baud);
    QCOMPARE(qint64(backend.byteTime().count()), nanoseconds);
}

void TestVirtualSerialBackend::lineImitationTakesTheLinesTime()
{
    // Only lower bounds: a loaded machine makes answers later, never sooner.
    QmcModel model;
    Serial serial;
    serial.setSerialPort(entryFor(&model, true));
    QVERIFY(serial.open());
    Collector c(serial);
    QElapsedTimer t;
    t.start();
    serial.write(QByteArray::fromHex("FB"));
    QTRY_COMPARE(c.received.size(), 1);
    // One byte out and one back: about 2.08 ms.
    QVERIFY2(t.nsecsElapsed() >= 2'083'000, qPrintable(QString::number(t.nsecsElapsed())));

    // Seven bytes in one write queue up on the wire: the last answer comes
    // eight byte times after the write.
    t.restart();
    serial.write(QByteArray::fromHex("F0 00 00 00 00 00 00"));
    QTRY_COMPARE(c.received.size(), 8);
    QVERIFY2(t.nsecsElapsed() >= 8 * 1'041'666, qPrintable(QString::number(t.nsecsElapsed())));
    QCOMPARE(c.received, QByteArray("\xFB\xF0QM4410"));
}

void TestVirtualSerialBackend::builtInPortIsLastInTheInventory()
{
    // The program's default is the line's own pace.
    QVERIFY(VirtualController::imitatesLine());
    VirtualController::registerBuiltInPort();
    VirtualController::registerBuiltInPort();
    const QList<SerialPortEntry> ports = SerialPorts::list();
    QVERIFY(!ports.isEmpty());
    const SerialPortEntry& last = ports.last();
    QCOMPARE(last.name, QStringLiteral("Virtual QMC-4410"));
    QCOMPARE(last.inputDriverName, QStringLiteral("virtual"));
    QCOMPARE(last.outputDriverName, QStringLiteral("virtual"));
    const auto named = std::count_if(ports.cbegin(), ports.cend(), [](const SerialPortEntry& p) {
        return p.name == QLatin1String("Virtual QMC-4410");
    });
    QCOMPARE(named, 1);
    QCOMPARE(SerialPorts::at(SerialPorts::count() - 1).name, QStringLiteral("Virtual QMC-4410"));
}

void TestVirtualSerialBackend::builtInPortDrivesTheSharedModel()
{
    VirtualController::setImitateLine(false);
    QmcModel* model = VirtualController::model();
    QVERIFY(model);
    freezeClock(*model);
    QCOMPARE(VirtualController::model(), model); // one model for the program
    model->powerOn();
    QSignalSpy keys(model, &QmcModel::keyReceived);

    Serial serial;
    serial.setSerialPort(VirtualController::builtInPortEntry());
    QVERIFY(serial.open());
    auto* backend = qobject_cast<VirtualSerialBackend*>(serial.backend());
    QVERIFY(backend);
    QVERIFY(!backend->imitatesLine());
    Collector c(serial);
    // What the remote panel sends for ID=2, "#1 variable", key 5, then for
    // ID=4 key 32.
    QCOMPARE(lockStep(serial, c, QByteArray::fromHex("25 FF 80")), QByteArray::fromHex("25 FF 80"));
    QCOMPARE(keys.size(), 2);
    QCOMPARE(keys.at(0), (QList<QVariant>{37, 2, 5}));
    QCOMPARE(keys.at(1), (QList<QVariant>{128, 4, 32}));
    QCOMPARE(model->keyCount(), 2);

    // A second port object reaches the same controller.
    serial.close();
    Serial other;
    other.setSerialPort(VirtualController::builtInPortEntry());
    QVERIFY(other.open());
    Collector c2(other);
    QCOMPARE(lockStep(other, c2, QByteArray::fromHex("FB")), QByteArray::fromHex("FB"));
    QCOMPARE(model->runState(), QmcModel::RunState::Running);
    VirtualController::setImitateLine(true);
    model->setClock({});
}

QTEST_GUILESS_MAIN(TestVirtualSerialBackend)
#include "tst_VirtualSerialBackend.moc"
