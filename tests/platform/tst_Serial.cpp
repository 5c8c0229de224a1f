#include "FakeSerial.h"
#include "platform/Serial.h"

#include <QSignalSpy>
#include <QtTest>

#include <numeric>

class TestSerial : public QObject
{
    Q_OBJECT
private slots:
    void openFailureKeepsTheReason_data();
    void openFailureKeepsTheReason();
    void bytesSpeedAndNotificationsPass();
    void reopenAndClose();
};

// A device's own refusal reaches the user through the link's alerts, which the
// link tests check per reason; these are the refusals of Serial itself.
void TestSerial::openFailureKeepsTheReason_data()
{
    QTest::addColumn<bool>("portChosen"); // one whose entry makes no backend
    QTest::newRow("no port chosen") << false;
    QTest::newRow("entry makes no backend") << true;
}

void TestSerial::openFailureKeepsTheReason()
{
    QFETCH(bool, portChosen);
    Serial serial;
    if (portChosen)
        serial.setSerialPort({"broken", {}, {}, [] { return std::unique_ptr<SerialBackend>(); }});
    QVERIFY(!serial.open() && !serial.isOpen());
    QCOMPARE(serial.openError(), SerialError::NotFound);
    QVERIFY(!serial.openErrorString().isEmpty());
}

void TestSerial::bytesSpeedAndNotificationsPass()
{
    FakeSerialDevice device;
    Serial serial;
    QSignalSpy data(&serial, &Serial::dataAvailable);
    QSignalSpy errors(&serial, &Serial::error);
    serial.setSerialPort(device.entry("fake"));
    serial.setBaud(19200);
    QVERIFY(serial.open());
    QCOMPARE(device.lastBaud(), 19200);
    serial.setBaud(9600); // while open: at once
    QCOMPARE(device.lastBaud(), 9600);
    QByteArray all(256, '\0');
    std::iota(all.begin(), all.end(), '\0');
    serial.write(all);
    serial.xmitWait();
    QVERIFY(device.written() == all && device.flushCount() >= 1);
    device.feedSilently(QByteArray("\x00\xFF", 2));
    serial.poll(); // found only by looking
    QCOMPARE(serial.readAll(), QByteArray("\x00\xFF", 2));
    device.setEcho();
    serial.write("\x5A");
    QCOMPARE(data.count(), 0); // never from inside write()
    QTRY_COMPARE_WITH_TIMEOUT(data.count(), 1, 5000);
    QCOMPARE(serial.readAll() + serial.readAll(), QByteArray("\x5A"));
    device.raiseError(SerialError::DeviceGone, "hung up");
    QCOMPARE(errors,
             (QList<QList<QVariant>>{{QVariant::fromValue(SerialError::DeviceGone), "hung up"}}));
}

void TestSerial::reopenAndClose()
{
    FakeSerialDevice device, other;
    Serial serial;
    QSignalSpy data(&serial, &Serial::dataAvailable);
    QSignalSpy errors(&serial, &Serial::error);
    serial.setSerialPort(device.entry("fake"));
    serial.write("abc"); // never opened: nothing happens
    serial.poll();
    QCOMPARE(device.openCount(), 0);
    QVERIFY(serial.open() && serial.open()); // the old backend is closed first
    QCOMPARE(device.closeCount(), 1);
    serial.setSerialPort(other.entry("other")); // takes effect at the next open
    QVERIFY(serial.open());
    QCOMPARE(device.closeCount(), 2);
    serial.write("x");
    serial.close();
    serial.close();
    QCOMPARE(other.closeCount(), 1);
    other.feed("late"); // a closed port hears nothing more
    other.raiseError(SerialError::Other);
    QCoreApplication::processEvents();
    QCOMPARE(data.count() + errors.count(), 0);
    QCOMPARE(device.written() + '|' + other.written() + serial.readAll(), QByteArray("|x"));

    // The link closes the port in its handlers: the emitting backend must outlive its signal.
    connect(&serial, &Serial::dataAvailable, [&] { serial.close(); });
    connect(&serial, &Serial::error, [&] { serial.close(); });
    QVERIFY(serial.open());
    other.feed("a");
    QVERIFY(!serial.isOpen() && serial.open());
    other.raiseError(SerialError::DeviceGone);
    QVERIFY(!serial.isOpen());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(other.closeCount(), 3);
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_Serial.moc"
