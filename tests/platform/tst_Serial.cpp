#include "FakeSerial.h"
#include "platform/Serial.h"
#include "platform/SerialPorts.h"
#include "platform/TtyBackend.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <numeric>
#include <utility>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// The master side stands in for the controller; our slave descriptor keeps it from hanging up.
struct PtyPair
{
    PtyPair()
    {
        char name[256] = {};
        termios raw{};
        ::cfmakeraw(&raw);
        if (::openpty(&master, &slave, name, &raw, nullptr) == 0)
            path = QString::fromLocal8Bit(name);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~PtyPair()
    {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }
    QByteArray receive()
    {
        char buf[512];
        const ssize_t n = ::read(master, buf, sizeof buf);
        return n > 0 ? QByteArray(buf, n) : QByteArray();
    }

    int master = -1, slave = -1;
    QString path;
};

// A port asked for while another backend may hold it. Paths: "node" (a pseudo-terminal's /dev/pts
// path), "link" (a symbolic link to it), or a path as it is.
struct Refusal
{
    const char* held = nullptr; // nobody holds anything
    const char* asked;
    SerialError error;
};

// Serial, the system's devices behind it, and the list of ports to choose from.
class TestSerial : public QObject
{
    Q_OBJECT
private slots:
    // The lock is on the device, not its name: a second open by another path is refused as busy
    // (also for the superuser), until the first lets go. What is no terminal is refused as such.
    // The command line's tests meet the other way round and a regular file.
    void refusals_data()
    {
        QTest::addColumn<Refusal>("row");
        const auto add = [](const char* name, Refusal row) { QTest::newRow(name) << row; };
        add("node, then link", {.held = "node", .asked = "link", .error = SerialError::Busy});
        add("/dev/null", {.asked = "/dev/null", .error = SerialError::NotSerialDevice});
    }
    void refusals()
    {
        QFETCH(Refusal, row);
        PtyPair pty;
        QTemporaryDir dir;
        QVERIFY(QFile::link(pty.path, dir.filePath("link")));
        const auto path = [&](const QString& which) {
            return which == "node" ? pty.path : which.startsWith('/') ? which : dir.filePath(which);
        };
        TtyBackend holder(path(row.held ? row.held : "node"));
        QVERIFY(!row.held || holder.open(9600));
        TtyBackend backend(path(row.asked));
        QVERIFY(!backend.open(9600));
        QCOMPARE(backend.lastError(), row.error);
        QVERIFY(backend.errorString() != qt_error_string(ENOTTY));
        QCOMPARE(TtyBackend::probe(path(row.asked)), row.error);
        if (!row.held)
            return;
        holder.close();
        QCOMPARE(TtyBackend::probe(path(row.asked)), SerialError::None);
        QVERIFY2(backend.open(9600), qPrintable(backend.errorString()));
    }

    void everyByteValueBothWays()
    {
        PtyPair pty;
        TtyBackend backend(pty.path);
        QVERIFY2(backend.open(9600), qPrintable(backend.errorString()));
        QByteArray all(256, '\0');
        std::iota(all.begin(), all.end(), '\0');
        QCOMPARE(backend.write(all), qint64(all.size()));
        backend.flush();
        QByteArray out;
        QTRY_COMPARE_WITH_TIMEOUT(out += pty.receive(), all, 10000);

        // Only the notification reads: nothing polls.
        QByteArray in;
        connect(&backend, &SerialBackend::dataAvailable, [&] { in += backend.readAll(); });
        QCOMPARE(::write(pty.master, all.constData(), all.size()), ssize_t(all.size()));
        QTRY_COMPARE_WITH_TIMEOUT(in, all, 10000);
    }

    // The other end hangs up (a pseudo-terminal closed, an adapter pulled): whether a read or a
    // write finds it, it is told once, as the device gone, and the port is closed.
    void hangUp_data()
    {
        QTest::addColumn<bool>("byWrite");
        QTest::newRow("found by a read") << false;
        QTest::newRow("found by a write") << true;
    }
    void hangUp()
    {
        QFETCH(bool, byWrite);
        PtyPair pty;
        TtyBackend backend(pty.path);
        QVERIFY2(backend.open(9600), qPrintable(backend.errorString()));
        QList<std::pair<SerialError, QString>> told;
        connect(&backend, &SerialBackend::errorOccurred, [&](SerialError e, const QString& text) {
            told.append({e, text});
        });
        ::close(std::exchange(pty.master, -1));
        ::close(std::exchange(pty.slave, -1));
        if (byWrite)
            QCOMPARE(backend.write("x"), qint64(1));
        QTRY_COMPARE(told.size(), 1);
        QCOMPARE(told.first(),
                 std::make_pair(SerialError::DeviceGone, QString("The device hung up")));
        QCOMPARE(backend.lastError(), SerialError::DeviceGone);
        QVERIFY(!backend.isOpen());
        QCOMPARE(backend.write("y"), qint64(-1));
        QTest::qWait(50);
        QCOMPARE(told.size(), 1);
    }

    void lineIsRawWhileOpenAndAsFoundAfter()
    {
        // A line left cooked at 4800 with echo, as another program may leave it.
        PtyPair pty;
        termios before{};
        QCOMPARE(::tcgetattr(pty.slave, &before), 0);
        before.c_lflag |= ECHO | ICANON;
        ::cfsetispeed(&before, B4800);
        ::cfsetospeed(&before, B4800);
        QCOMPARE(::tcsetattr(pty.slave, TCSANOW, &before), 0);

        TtyBackend backend(pty.path);
        QVERIFY2(backend.open(9600), qPrintable(backend.errorString()));
        termios open{};
        QCOMPARE(::tcgetattr(pty.slave, &open), 0);
        QCOMPARE(::cfgetospeed(&open), speed_t(B9600));
        QCOMPARE(open.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QCOMPARE(open.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        QCOMPARE(open.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0));
        QCOMPARE(open.c_iflag & (IXON | IXOFF | ICRNL), tcflag_t(0));
        // A byte 0D or 03 passes as it is: no line discipline stands between.
        QCOMPARE(::write(pty.master, "\r\x03", 2), ssize_t(2));
        QByteArray got;
        QTRY_COMPARE_WITH_TIMEOUT(got += (backend.poll(), backend.readAll()), QByteArray("\r\x03"),
                                  5000);

        backend.close();
        termios after{};
        QCOMPARE(::tcgetattr(pty.slave, &after), 0);
        QCOMPARE(::cfgetospeed(&after), speed_t(B4800));
        QCOMPARE(after.c_lflag & (ECHO | ICANON), tcflag_t(ECHO | ICANON));
    }

    void reopenAndClose()
    {
        FakeSerialDevice device;
        Serial serial;
        QSignalSpy data(&serial, &Serial::dataAvailable);
        QSignalSpy errors(&serial, &Serial::error);
        serial.setSerialPort(device.entry("fake"));
        serial.setBaud(19200);
        serial.write("abc"); // never opened: nothing happens
        serial.poll();
        QCOMPARE(device.openCount(), 0);
        QVERIFY(serial.open() && serial.open()); // the old backend is closed first
        QCOMPARE(device.closeCount(), 1);
        QCOMPARE(device.lastBaud(), 19200);
        serial.setBaud(9600); // while open: at once
        QCOMPARE(device.lastBaud(), 9600);
        serial.write("x");
        serial.close();
        serial.close();
        QCOMPARE(device.closeCount(), 2);
        device.feed("late"); // a closed port hears nothing more
        device.raiseError(SerialError::Other);
        QCoreApplication::processEvents();
        QCOMPARE(data.count() + errors.count(), 0);
        QCOMPARE(device.written() + serial.readAll(), QByteArray("x"));
    }

    // VANTOR_IR_PORTS as typed: blanks around an entry are not part of it, empty and blank-only
    // entries say nothing, a name given twice, even in another case or padded, is one port (the
    // first), and only paths with something there are offered: a bridge that is not running (a
    // missing file, a link that points nowhere) is no port.
    void handTypedPaths()
    {
        QTemporaryDir dir;
        for (const char* name : {"ttyV0", "ttyV1", "TTYV1"}) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QVERIFY(QFile::link(dir.filePath("no-such-device"), dir.filePath("gone")));
        const QString typed = " @/ttyV1\t::@/ttyV0:@/ttyV9:  :@/TTYV1:@/gone: @/ttyV0 :";
        qputenv("VANTOR_IR_PORTS", QString(typed).replace('@', dir.path()).toLocal8Bit());
        for (const char* name : {"Virtual QMC-4410", "Second"})
            SerialPorts::registerExtraPort(
                {name, "virtual", "virtual", [] { return std::unique_ptr<SerialBackend>(); }});
        const QList<SerialPortEntry> ports = SerialPorts::list();
        const SerialPortEntry past = SerialPorts::at(SerialPorts::count());
        SerialPorts::clearExtraPorts();
        qunsetenv("VANTOR_IR_PORTS");
        // After the system's own ports come the paths given, opened at the trimmed path, then
        // the extras.
        QStringList tail;
        for (const SerialPortEntry& port : ports.mid(std::max<qsizetype>(0, ports.size() - 4)))
            tail << port.name + " at " + port.inputDriverName;
        const QString v0 = dir.filePath("ttyV0"), v1 = dir.filePath("ttyV1");
        QCOMPARE(tail, (QStringList{v1 + " at " + v1, v0 + " at " + v0,
                                    "Virtual QMC-4410 at virtual", "Second at virtual"}));
        QVERIFY(past.isNull() && SerialPorts::at(-1).isNull());
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_Serial.moc"
