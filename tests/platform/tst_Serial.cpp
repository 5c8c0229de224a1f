#include "FakeSerial.h"
#include "platform/Serial.h"

#include <QSignalSpy>
#include <QtTest>

class TestSerial : public QObject
{
    Q_OBJECT
private slots:
    void openWithoutUsablePort_data();
    void openWithoutUsablePort();
    void openFailureKeepsTheReason_data();
    void openFailureKeepsTheReason();
    void openPassesTheSpeed();
    void bytesPassUnchanged();
    void notificationsAreForwarded();
    void closeIsSilentAndIdempotent();
    void reopenClosesTheOldBackendFirst();
    void closeFromInsideItsOwnSignal();
    void nothingHappensWhileClosed();
};

void TestSerial::openWithoutUsablePort_data()
{
    QTest::addColumn<bool>("nullEntry");
    QTest::newRow("no port chosen") << true;
    QTest::newRow("entry makes no backend") << false;
}

void TestSerial::openWithoutUsablePort()
{
    QFETCH(bool, nullEntry);
    Serial serial;
    if (!nullEntry) {
        SerialPortEntry e;
        e.name = QStringLiteral("broken");
        e.makeBackend = [] { return std::unique_ptr<SerialBackend>(); };
        serial.setSerialPort(e);
    }
    QVERIFY(!serial.open());
    QVERIFY(!serial.isOpen());
    QCOMPARE(serial.openError(), SerialError::NotFound);
    QVERIFY(!serial.openErrorString().isEmpty());
    QVERIFY(serial.backend() == nullptr);
}

void TestSerial::openFailureKeepsTheReason_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("text");
    QTest::newRow("permission") << int(SerialError::PermissionDenied) << "Permission denied";
    QTest::newRow("busy") << int(SerialError::Busy) << "Device or resource busy";
    QTest::newRow("not found") << int(SerialError::NotFound) << "No such file or directory";
    QTest::newRow("other") << int(SerialError::Other) << "Is a directory";
}

void TestSerial::openFailureKeepsTheReason()
{
    QFETCH(int, error);
    QFETCH(QString, text);
    FakeSerialDevice device;
    device.setOpenFailure(SerialError(error), text);
    Serial serial;
    serial.setSerialPort(device.entry(QStringLiteral("fake")));
    QVERIFY(!serial.open());
    QCOMPARE(int(serial.openError()), error);
    QCOMPARE(serial.openErrorString(), text);
    QCOMPARE(device.openCount(), 0);

    // The reason of an earlier failure does not linger after a success.
    device.clearOpenFailure();
    QVERIFY(serial.open());
    QCOMPARE(serial.openError(), SerialError::None);
    QVERIFY(serial.openErrorString().isEmpty());
}

void TestSerial::openPassesTheSpeed()
{
    FakeSerialDevice device;
    Serial serial;
    QCOMPARE(serial.baud(), 9600);
    serial.setSerialPort(device.entry(QStringLiteral("fake")));
    serial.setBaud(19200);
    QVERIFY(serial.open());
    QCOMPARE(device.lastBaud(), 19200);
    serial.setBaud(9600); // while open: reaches the device at once
    QCOMPARE(device.lastBaud(), 9600);
}

void TestSerial::bytesPassUnchanged()
{
    FakeSerialDevice device;
    Serial serial;
    serial.setSerialPort(device.entry(QStringLiteral("fake")));
    QVERIFY(serial.open());

    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    serial.write(all);
    serial.write(QByteArray()); // nothing to send: nothing written
    serial.xmitWait();
    QCOMPARE(device.written(), all);
    QVERIFY(device.flushCount() >= 1);

    device.feedSilently(QByteArray("\x00\xFF\x0D", 3));
    serial.poll();
    QCOMPARE(device.pollCount(), 1);
    QCOMPARE(serial.readAll(), QByteArray("\x00\xFF\x0D", 3));
    QCOMPARE(serial.readAll(), QByteArray());
}

void TestSerial::notificationsAreForwarded()
{
    FakeSerialDevice device;
    Serial serial;
    serial.setSerialPort(device.entry(QStringLiteral("fake")));
    QSignalSpy data(&serial, &Serial::dataAvailable);
    QSignalSpy errors(&serial, &Serial::error);
    QVERIFY(serial.open());

    device.setEcho();
    serial.write(QByteArray("\x5A", 1));
    QTRY_COMPARE_WITH_TIMEOUT(data.count(), 1, 5000);
    QCOMPARE(serial.readAll(), QByteArray("\x5A", 1));

    device.raiseError(SerialError::DeviceGone, QStringLiteral("hung up"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(0).value<SerialError>(), SerialError::DeviceGone);
    QCOMPARE(errors.first().at(1).toString(), QStringLiteral("hung up"));
}

void TestSerial::closeIsSilentAndIdempotent()
{
    FakeSerialDevice device;
    Serial serial;
    serial.setSerialPort(device.entry(QStringLiteral("fake")));
    QSignalSpy data(&serial, &Serial::dataAvailable);
    QSignalSpy errors(&serial, &Serial::error);
    QVERIFY(serial.open());
    serial.close();
    serial.close();
    QVERIFY(!serial.isOpen());
    QVERIFY(serial.backend() == nullptr);
    QCOMPARE(device.closeCount(), 1);
    // A closed port hears nothing more from its device.
    device.feed("late");
    device.raiseError(SerialError::Other);
    QCoreApplication::processEvents();
    QCOMPARE(data.count(), 0);
    QCOMPARE(errors.count(), 0);
}

void TestSerial::reopenClosesTheOldBackendFirst()
{
    FakeSerialDevice device;
    Serial serial;
    serial.setSerialPort(device.entry(QStringLiteral("fake")));
    QVERIFY(serial.open());
    QVERIFY(serial.open());
    QCOMPARE(device.openCount(), 2);
    QCOMPARE(device.closeCount(), 1);
    QVERIFY(serial.isOpen());

    // A new port takes effect at the next open.
    FakeSerialDevice other;
    serial.setSerialPort(other.entry(QStringLiteral("other")));
    QCOMPARE(serial.serialPort().name, QStringLiteral("other"));
    QVERIFY(serial.open());
    QCOMPARE(device.closeCount(), 2);
    QCOMPARE(other.openCount(), 1);
    serial.write("x");
    QCOMPARE(other.written(), QByteArray("x"));
    QCOMPARE(device.written(), QByteArray());
}

void TestSerial::closeFromInsideItsOwnSignal()
{
    // The link closes the port in its data handler; the backend that is
    // emitting must survive until its signal has returned.
    FakeSerialDevice device;
    Serial serial;
    serial.setSerialPort(device.entry(QStringLiteral("fake")));
    int handled = 0;
    connect(&serial, &Serial::dataAvailable, this, [&] {
        ++handled;
        serial.readAll();
        serial.close();
    });
    connect(&serial, &Serial::error, this, [&] { serial.close(); });
    QVERIFY(serial.open());
    device.feed("a");
    QCOMPARE(handled, 1);
    QVERIFY(!serial.isOpen());

    QVERIFY(serial.open());
    device.raiseError(SerialError::DeviceGone);
    QVERIFY(!serial.isOpen());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(device.closeCount(), 2);
}

void TestSerial::nothingHappensWhileClosed()
{
    FakeSerialDevice device;
    Serial serial;
    serial.setSerialPort(device.entry(QStringLiteral("fake")));
    serial.write("abc");
    serial.xmitWait();
    serial.poll();
    QCOMPARE(serial.readAll(), QByteArray());
    QVERIFY(!serial.isOpen());
    QCOMPARE(device.written(), QByteArray());
    QCOMPARE(device.openCount(), 0);
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_Serial.moc"
