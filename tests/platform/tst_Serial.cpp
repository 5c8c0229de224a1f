#include "FakeSerial.h"
#include "platform/QSerialPortBackend.h"
#include "platform/Serial.h"
#include "platform/SerialPorts.h"

#include <QSignalSpy>
#include <QTranslator>
#include <QtTest>

#include <clocale>
#include <numeric>

#include <sys/ioctl.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
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
        ::close(master);
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

// Two opens of one pseudo-terminal, each by "node" (its /dev/pts path) or by a symbolic link to it
// ("link", "link2").
struct TwoOpens
{
    const char* first;
    const char* second;
};

// Something at a port's path that is no serial line, and what opening it says.
struct NoPort
{
    const char* kind; // "file", "folder", "fifo", "null" (/dev/null), "missing"
    SerialError error;
};

// Who holds the pseudo-terminal while the port list looks at it, and what it finds.
struct Holder
{
    const char* holder; // "nobody", "port" (our own backend, by a link), "exclusive" (TIOCEXCL)
    SerialError state;
};

// Qt's messages as a Japanese desktop shows them (its translations
// installed): no English word left in them.
class JapaneseQt : public QTranslator
{
public:
    QString translate(const char* context, const char*, const char*, int) const override
    {
        return QStringLiteral("エラー（%1）").arg(QLatin1String(context));
    }
    bool isEmpty() const override { return false; }
};

// Serial, the system's devices behind it, and the list of ports to choose from.
class TestSerial : public QObject
{
    Q_OBJECT
private slots:
    // A device's own refusal reaches the user through the link's alerts, which
    // the link tests check per reason; these are Serial's own refusals.
    void openFailureKeepsTheReason()
    {
        Serial serial;
        QVERIFY(!serial.open()); // no port chosen
        QCOMPARE(serial.openError(), SerialError::NotFound);
        serial.setSerialPort({"broken", {}, {}, [] { return std::unique_ptr<SerialBackend>(); }});
        QVERIFY(!serial.open() && !serial.isOpen()); // an entry that makes no backend
        QCOMPARE(serial.openError(), SerialError::NotFound);
        QVERIFY(!serial.openErrorString().isEmpty());
    }

    // Held by another program, by its lock file or by TIOCEXCL alone, the
    // port is found busy by the error code: the text says nothing usable.
    void busyUnderAJapaneseDesktop_data()
    {
        QTest::addColumn<bool>("lockFile"); // else held by TIOCEXCL only
        QTest::newRow("lock file") << true;
        QTest::newRow("TIOCEXCL") << false;
    }
    void busyUnderAJapaneseDesktop()
    {
        QFETCH(bool, lockFile);
        if (!lockFile && ::geteuid() == 0)
            QSKIP("the superuser opens a terminal held exclusively");
        PtyPair pty;
        QSerialPortBackend holder(pty.path);
        QVERIFY(lockFile ? holder.open(9600) : ::ioctl(pty.slave, TIOCEXCL) == 0);

        const QByteArray oldLocale = std::setlocale(LC_ALL, nullptr);
        JapaneseQt japanese;
        std::setlocale(LC_ALL, "ja_JP.UTF-8"); // the system's own texts too, where installed
        QCoreApplication::installTranslator(&japanese);
        QSerialPortBackend backend(pty.path);
        const bool opened = backend.open(9600);
        const QString text = backend.errorString();
        QCoreApplication::removeTranslator(&japanese);
        std::setlocale(LC_ALL, oldLocale.constData());

        QVERIFY(!opened);
        QVERIFY(!text.contains("lock", Qt::CaseInsensitive));
        QCOMPARE(backend.lastError(), SerialError::Busy);
        // Once the holder lets go the device opens.
        holder.close();
        QCOMPARE(::ioctl(pty.slave, TIOCNXCL), 0);
        QVERIFY(backend.open(9600));
    }

    // The lock is on the device: a second open by another name of it is refused as busy (the
    // superuser too), and the device opens again once the first lets go.
    void lockedByDeviceNotName_data()
    {
        QTest::addColumn<TwoOpens>("row");
        QTest::newRow("link, then node") << TwoOpens{.first = "link", .second = "node"};
        QTest::newRow("node, then link") << TwoOpens{.first = "node", .second = "link"};
        QTest::newRow("two links") << TwoOpens{.first = "link", .second = "link2"};
        QTest::newRow("same node twice") << TwoOpens{.first = "node", .second = "node"};
    }
    void lockedByDeviceNotName()
    {
        QFETCH(TwoOpens, row);
        PtyPair pty;
        QTemporaryDir dir;
        QVERIFY(QFile::link(pty.path, dir.filePath("link")));
        QVERIFY(QFile::link(pty.path, dir.filePath("link2")));
        const auto path = [&](const QString& which) {
            return which == "node" ? pty.path : dir.filePath(which);
        };
        QSerialPortBackend first(path(row.first));
        QVERIFY2(first.open(9600), qPrintable(first.errorString()));
        QSerialPortBackend second(path(row.second));
        QVERIFY(!second.open(9600));
        QCOMPARE(second.lastError(), SerialError::Busy);
        QVERIFY(!second.isOpen());
        QCOMPARE(QSerialPortBackend::probe(path(row.second)), SerialError::Busy);
        first.close();
        QCOMPARE(QSerialPortBackend::probe(path(row.second)), SerialError::None);
        QVERIFY2(second.open(9600), qPrintable(second.errorString()));
    }

    // A file, a folder, a FIFO or /dev/null given as the port is refused as no serial device,
    // rather than failing on the first terminal call.
    void noSerialDevice_data()
    {
        QTest::addColumn<NoPort>("row");
        QTest::newRow("regular file")
            << NoPort{.kind = "file", .error = SerialError::NotSerialDevice};
        QTest::newRow("folder") << NoPort{.kind = "folder", .error = SerialError::NotSerialDevice};
        QTest::newRow("FIFO") << NoPort{.kind = "fifo", .error = SerialError::NotSerialDevice};
        QTest::newRow("/dev/null") << NoPort{.kind = "null", .error = SerialError::NotSerialDevice};
        QTest::newRow("missing") << NoPort{.kind = "missing", .error = SerialError::NotFound};
    }
    void noSerialDevice()
    {
        QFETCH(NoPort, row);
        QTemporaryDir dir;
        const QString kind = row.kind;
        QString path = dir.filePath(kind);
        if (kind == "file") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("F0 00\n") == 6);
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == "null") {
            path = "/dev/null";
        }
        QSerialPortBackend backend(path);
        QVERIFY(!backend.open(9600));
        QCOMPARE(backend.lastError(), row.error);
        QVERIFY(backend.errorString() != qt_error_string(ENOTTY));
        QCOMPARE(QSerialPortBackend::probe(path), row.error);
        if (kind == "file") { // neither written to nor replaced
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("F0 00\n"));
        }
    }

    // The port list looks at a port without touching the line: the holder's settings and the
    // bytes waiting for it stay as they were.
    void probeLeavesTheLineAlone_data()
    {
        QTest::addColumn<Holder>("row");
        QTest::newRow("free") << Holder{.holder = "nobody", .state = SerialError::None};
        QTest::newRow("held by a port") << Holder{.holder = "port", .state = SerialError::Busy};
        QTest::newRow("held exclusively")
            << Holder{.holder = "exclusive", .state = SerialError::Busy};
    }
    void probeLeavesTheLineAlone()
    {
        QFETCH(Holder, row);
        PtyPair pty;
        QTemporaryDir dir;
        const QString link = dir.filePath("ttyQMC");
        QVERIFY(QFile::link(pty.path, link));
        QSerialPortBackend holder(link);
        const QString who = row.holder;
        if (who == "port")
            QVERIFY(holder.open(9600));
        if (who == "exclusive")
            QCOMPARE(::ioctl(pty.slave, TIOCEXCL), 0);
        // Settings no one would choose for the controller, and an answer not read yet.
        termios before{};
        QCOMPARE(::tcgetattr(pty.slave, &before), 0);
        ::cfmakeraw(&before);
        ::cfsetspeed(&before, B1200);
        before.c_cflag |= PARENB | CSTOPB;
        QCOMPARE(::tcsetattr(pty.slave, TCSANOW, &before), 0);
        QCOMPARE(::tcgetattr(pty.slave, &before), 0);
        QCOMPARE(::write(pty.master, "\xF0QM", 3), ssize_t(3));
        pollfd p{pty.slave, POLLIN, 0};
        QCOMPARE(::poll(&p, 1, 5000), 1);

        QCOMPARE(QSerialPortBackend::probe(pty.path), row.state);

        termios after{};
        QCOMPARE(::tcgetattr(pty.slave, &after), 0);
        QCOMPARE(::cfgetispeed(&after), ::cfgetispeed(&before));
        QCOMPARE(after.c_cflag, before.c_cflag);
        QCOMPARE(after.c_iflag, before.c_iflag);
        QCOMPARE(after.c_lflag, before.c_lflag);
        char waiting[8] = {};
        QCOMPARE(::poll(&p, 1, 0), 1);
        QCOMPARE(::read(pty.slave, waiting, sizeof waiting), ssize_t(3));
        QCOMPARE(QByteArray(waiting, 3), QByteArray("\xF0QM"));
        ::ioctl(pty.slave, TIOCNXCL);
    }

    void everyByteValueBothWays()
    {
        PtyPair pty;
        // Reached as the user would, by a path in VANTOR_IR_PORTS.
        qputenv("VANTOR_IR_PORTS", pty.path.toLocal8Bit());
        const SerialPortEntry entry = SerialPorts::at(SerialPorts::count() - 1);
        qunsetenv("VANTOR_IR_PORTS");
        QCOMPARE(entry.name, pty.path);
        const std::unique_ptr<SerialBackend> backend = entry.makeBackend();
        QVERIFY2(backend->open(9600), qPrintable(backend->errorString()));
        QByteArray all(256, '\0');
        std::iota(all.begin(), all.end(), '\0');
        QCOMPARE(backend->write(all), qint64(all.size()));
        backend->flush();
        QByteArray out;
        QTRY_COMPARE_WITH_TIMEOUT(out += pty.receive(), all, 10000);

        // Only the notification reads: nothing polls.
        QByteArray in;
        connect(backend.get(), &SerialBackend::dataAvailable, [&] { in += backend->readAll(); });
        QCOMPARE(::write(pty.master, all.constData(), all.size()), ssize_t(all.size()));
        QTRY_COMPARE_WITH_TIMEOUT(in, all, 10000);
    }

    void hangUpIsReportedOnce()
    {
        PtyPair pty;
        QSerialPortBackend backend(pty.path);
        QVERIFY(backend.open(9600));
        QSignalSpy errors(&backend, &SerialBackend::errorOccurred);
        ::close(std::exchange(pty.slave, -1));
        ::close(std::exchange(pty.master, -1));
        QTRY_VERIFY_WITH_TIMEOUT(errors.count() > 0, 10000);
        QCOMPARE(errors.first().at(0).value<SerialError>(), SerialError::DeviceGone);
        // A dead descriptor left watched would report on every pass of the event loop.
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCOMPARE(errors.count(), 1);
        QVERIFY(!backend.isOpen());
    }

    void reopenAndClose()
    {
        FakeSerialDevice device, other;
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

    void portOrderAndHandTypedPaths()
    {
        // Blanks around an entry are not part of it, empty and blank-only
        // entries say nothing, and a name given twice, even in another case
        // or padded, is one port (the first).
        qputenv("VANTOR_IR_PORTS",
                " /tmp/ttyV1\t::/dev/pts/9:  :/TMP/TTYV1:/tmp/ttyV0: /dev/pts/9 :");
        for (const char* name : {"Virtual QMC-4410", "Second"})
            SerialPorts::registerExtraPort(
                {name, "virtual", "virtual", [] { return std::unique_ptr<SerialBackend>(); }});
        // After the system's own ports come the paths given, then the extras.
        const QStringList names{"/tmp/ttyV1", "/dev/pts/9", "/tmp/ttyV0", "Virtual QMC-4410",
                                "Second"};
        const QList<SerialPortEntry> ports = SerialPorts::list();
        QStringList tail, paths;
        for (qsizetype i = ports.size() - names.size(); i < ports.size(); ++i) {
            tail << ports.at(i).name;
            paths << ports.at(i).inputDriverName;
        }
        QCOMPARE(tail, names);
        QCOMPARE(paths.first(3), names.first(3)); // opened at the trimmed path
        QVERIFY(SerialPorts::at(int(ports.size())).isNull() && SerialPorts::at(-1).isNull());
        SerialPorts::clearExtraPorts();
        qunsetenv("VANTOR_IR_PORTS");
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_Serial.moc"
