#include "emulator/QmcModel.h"
#include "emulator/VirtualController.h"
#include "platform/Serial.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

const auto hex = [](const char* text) { return QByteArray::fromHex(text); };

// The built-in port through Serial on a freshly powered-on model whose clock stands still, so that
// no exchange is abandoned under load.
struct Port
{
    explicit Port(bool imitateLine = false)
    {
        VirtualController::setImitateLine(imitateLine);
        model->powerOn();
        model->setClock([] { return qint64(0); });
        serial.setSerialPort(VirtualController::builtInPortEntry());
        QObject::connect(&serial, &Serial::dataAvailable, [this] { received += serial.readAll(); });
    }

    // Lock-step, as the link sends: the next byte only after the answer to the one before.
    QByteArray lockStep(const QByteArray& bytes)
    {
        const qsizetype start = received.size();
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            serial.write(bytes.mid(i, 1));
            if (!QTest::qWaitFor([&] { return received.size() > start + i; }, 5000))
                break;
        }
        return received.mid(start);
    }

    QmcModel* model = VirtualController::model();
    Serial serial;
    QByteArray received;
};

} // namespace

class TestVirtualSerialBackend : public QObject
{
    Q_OBJECT
private slots:
    void burstAnsweredInOrder_data();
    void burstAnsweredInOrder();
    void faultsLeaveNoGap();
    void builtInPortIsLastAndShared();
};

void TestVirtualSerialBackend::burstAnsweredInOrder_data()
{
    QTest::addColumn<bool>("imitateLine");
    QTest::addColumn<bool>("oneWrite");
    for (bool line : {false, true})
        for (bool one : {false, true})
            QTest::addRow("%s, %s", line ? "line" : "instant", one ? "one write" : "by byte")
                << line << one;
}

void TestVirtualSerialBackend::burstAnsweredInOrder()
{
    QFETCH(bool, imitateLine);
    QFETCH(bool, oneWrite);
    Port p(imitateLine);
    QVERIFY(p.serial.open());
    // Identification, then a static RAM write and read: the answers only make sense in order.
    const QByteArray burst = hex("F0 00 00 00 00 00 00 F8 40 01 05 F7 40 01 00");
    for (qsizetype i = 0; i < burst.size(); i += oneWrite ? burst.size() : 1)
        p.serial.write(oneWrite ? burst : burst.mid(i, 1));
    QCOMPARE(p.model->bytesReceived(), quint64(0)); // never answered inside write()
    QTRY_COMPARE(p.received.size(), burst.size());
    QCOMPARE(p.received, QByteArray("\xF0QM4410") + hex("F8 40 01 05 F7 40 01 05"));
}

void TestVirtualSerialBackend::faultsLeaveNoGap()
{
    Port p;
    QSignalSpy errors(&p.serial, &Serial::error);
    QVERIFY(p.serial.open());
    p.model->setFault(QmcModel::Fault::StopAfter, 1);
    p.serial.write(hex("FB FA"));
    QTRY_COMPARE(p.model->bytesReceived(), quint64(2));
    p.model->setFault(QmcModel::Fault::None);
    p.serial.write(hex("FC")); // still on the wire when the port closes: dropped
    p.serial.close();
    QVERIFY(p.serial.open());
    QCOMPARE(p.lockStep(hex("F3")), hex("F3"));
    QCOMPARE(p.model->runState(), QmcModel::RunState::Paused);

    // A hang-up is an unplug: reported once, the port cannot reopen until it is back.
    p.model->setFault(QmcModel::Fault::HangUpAfter, 1);
    p.serial.write(hex("F7 40"));
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).value<SerialError>(), SerialError::DeviceGone);
    QCOMPARE(p.received, hex("FB F3 F7")); // nothing lost, nothing after
    p.serial.close();
    QVERIFY(!p.serial.open());
    QCOMPARE(p.serial.openError(), SerialError::NotFound);
    p.model->setFault(QmcModel::Fault::None);
    QVERIFY(p.serial.open());
    QCOMPARE(p.lockStep(hex("FB")), hex("FB"));
}

void TestVirtualSerialBackend::builtInPortIsLastAndShared()
{
    VirtualController::registerBuiltInPort();
    VirtualController::registerBuiltInPort();
    const QList<SerialPortEntry> ports = SerialPorts::list();
    const auto named = [](const SerialPortEntry& e) { return e.name == "Virtual QMC-4410"; };
    QCOMPARE(std::count_if(ports.cbegin(), ports.cend(), named), 1);
    QCOMPARE(ports.last().name, "Virtual QMC-4410");

    Port first;
    QSignalSpy keys(first.model, &QmcModel::keyReceived);
    QVERIFY(first.serial.open());
    // The remote panel's ID=2 key 5, then ID=4 key 32.
    QCOMPARE(first.lockStep(hex("25 FF 80")), hex("25 FF 80"));
    QCOMPARE(keys, (QList<QList<QVariant>>{{37, 2, 5}, {128, 4, 32}}));
    first.serial.close();
    Port second; // another port object reaches the same controller
    QVERIFY(second.serial.open());
    QCOMPARE(second.lockStep(hex("FB")), hex("FB"));
    QCOMPARE(first.model->runState(), QmcModel::RunState::Running);
}

QTEST_GUILESS_MAIN(TestVirtualSerialBackend)
#include "tst_VirtualSerialBackend.moc"
