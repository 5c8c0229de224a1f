#include "platform/QSerialPortBackend.h"
#include "platform/SerialPorts.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <QTranslator>

#include <clocale>
#include <numeric>

#include <sys/ioctl.h>

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
    ~PtyPair() { ::close(master), ::close(slave); }
    QByteArray receive()
    {
        char buf[512];
        const ssize_t n = ::read(master, buf, sizeof buf);
        return n > 0 ? QByteArray(buf, n) : QByteArray();
    }

    int master = -1, slave = -1;
    QString path;
};

class TestQSerialPortBackend : public QObject
{
    Q_OBJECT
private slots:
    void everyByteValueBothWays();
    void openFailures_data();
    void openFailures();
    void hangUpIsReportedOnce();
    void busyInAnyLanguage_data();
    void busyInAnyLanguage();
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

struct BusyRow
{
    const char* language; // LANG of the desktop
    bool lockFile;        // held by a program with the lock file; else by TIOCEXCL only
};
Q_DECLARE_METATYPE(BusyRow)

void TestQSerialPortBackend::busyInAnyLanguage_data()
{
    QTest::addColumn<BusyRow>("row");
    for (const char* language : {"C", "ja_JP.UTF-8"}) {
        QTest::addRow("%s, lock file", language) << BusyRow{.language = language, .lockFile = true};
        QTest::addRow("%s, TIOCEXCL", language) << BusyRow{.language = language, .lockFile = false};
    }
}

void TestQSerialPortBackend::busyInAnyLanguage()
{
    QFETCH(BusyRow, row);
    if (!row.lockFile && ::geteuid() == 0)
        QSKIP("the superuser opens a terminal held exclusively");
    PtyPair pty;
    QSerialPortBackend holder(pty.path);
    QSignalSpy holderErrors(&holder, &SerialBackend::errorOccurred);
    QVERIFY(row.lockFile ? holder.open(9600) : ::ioctl(pty.slave, TIOCEXCL) == 0);

    const QByteArray oldLocale = std::setlocale(LC_ALL, nullptr);
    JapaneseQt japanese;
    const bool ja = qstrcmp(row.language, "C") != 0;
    if (ja) {
        std::setlocale(LC_ALL, row.language); // the system's own texts too, where installed
        QCoreApplication::installTranslator(&japanese);
    }
    QSerialPortBackend backend(pty.path);
    const bool opened = backend.open(9600);
    const QString text = backend.errorString();
    QCoreApplication::removeTranslator(&japanese);
    std::setlocale(LC_ALL, oldLocale.constData());

    QVERIFY(!opened);
    QVERIFY(!ja || !text.contains("lock", Qt::CaseInsensitive)); // the text says nothing usable
    QCOMPARE(backend.lastError(), SerialError::Busy);
    // The holder hears nothing of it; once it lets go the device opens.
    holder.close();
    holder.close();
    QCOMPARE(::ioctl(pty.slave, TIOCNXCL), 0);
    QCOMPARE(holderErrors.count(), 0);
    QVERIFY(backend.open(9600));
}

void TestQSerialPortBackend::everyByteValueBothWays()
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

void TestQSerialPortBackend::openFailures_data()
{
    QTest::addColumn<bool>("regularFile"); // else nothing at the path
    QTest::newRow("missing") << false;
    QTest::newRow("regular file") << true;
}

void TestQSerialPortBackend::openFailures()
{
    QFETCH(bool, regularFile);
    QTemporaryDir dir;
    const QString path = dir.filePath("ttyNOPE0");
    QFile f(path);
    QVERIFY(!regularFile || (f.open(QIODevice::WriteOnly) && f.write("not a terminal") > 0));
    QSerialPortBackend backend(path);
    QSignalSpy errors(&backend, &SerialBackend::errorOccurred);
    QVERIFY(!backend.open(9600) && !backend.isOpen() && !backend.errorString().isEmpty());
    const SerialError e = backend.lastError();
    QVERIFY(regularFile ? e != SerialError::None : e == SerialError::NotFound);
    QCOMPARE(errors.count(), 0); // told by the result, not as an error while open
}

void TestQSerialPortBackend::hangUpIsReportedOnce()
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

QTEST_GUILESS_MAIN(TestQSerialPortBackend)
#include "tst_QSerialPortBackend.moc"
