#include "platform/QSerialPortBackend.h"
#include "platform/SerialPorts.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// The master side of a pseudo-terminal stands in for the controller.
class PtyPair
{
public:
    PtyPair()
    {
        char name[256] = {};
        if (::openpty(&mMaster, &mSlave, name, nullptr, nullptr) != 0)
            return;
        mPath = QString::fromLocal8Bit(name);
        termios t{};
        ::tcgetattr(mMaster, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(mMaster, TCSANOW, &t);
        ::fcntl(mMaster, F_SETFL, ::fcntl(mMaster, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair()
    {
        closeMaster();
        releaseSlave();
    }

    QString path() const { return mPath; }
    // Our slave keeps the terminal from hanging up before the backend opens it.
    void releaseSlave()
    {
        if (mSlave >= 0)
            ::close(mSlave);
        mSlave = -1;
    }
    void closeMaster()
    {
        if (mMaster >= 0)
            ::close(mMaster);
        mMaster = -1;
    }
    bool send(const QByteArray& bytes)
    {
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(mMaster, bytes.constData() + done, bytes.size() - done);
            if (n < 0 && errno != EAGAIN)
                return false;
            done += std::max<ssize_t>(n, 0);
        }
        return true;
    }
    QByteArray receive()
    {
        char buf[512];
        const ssize_t n = ::read(mMaster, buf, sizeof buf);
        return n > 0 ? QByteArray(buf, n) : QByteArray();
    }

private:
    int mMaster = -1;
    int mSlave = -1;
    QString mPath;
};

class TestQSerialPortBackend : public QObject
{
    Q_OBJECT
private slots:
    void everyByteValueBothWays();
    void openFailures_data();
    void openFailures();
    void busyUntilTheHolderCloses();
    void hangUpIsReportedOnce();
};

void TestQSerialPortBackend::everyByteValueBothWays()
{
    PtyPair pty;
    QVERIFY(!pty.path().isEmpty());
    // Reached as the user would: a path in VANTOR_IR_PORTS becomes an inventory entry.
    qputenv("VANTOR_IR_PORTS", pty.path().toLocal8Bit());
    const QList<SerialPortEntry> ports = SerialPorts::list();
    qunsetenv("VANTOR_IR_PORTS");
    const auto it = std::find_if(ports.cbegin(), ports.cend(),
                                 [&](const SerialPortEntry& e) { return e.name == pty.path(); });
    QVERIFY(it != ports.cend());
    const std::unique_ptr<SerialBackend> backend = it->makeBackend();
    QVERIFY2(backend->open(9600), qPrintable(backend->errorString()));
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));

    QCOMPARE(backend->write(all), qint64(all.size()));
    backend->flush();
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += pty.receive()).size() >= all.size(), 10000);
    QCOMPARE(out, all);

    // Only the notification reads: nothing polls.
    QByteArray in;
    connect(backend.get(), &SerialBackend::dataAvailable, this, [&] { in += backend->readAll(); });
    QVERIFY(pty.send(all));
    QTRY_COMPARE_WITH_TIMEOUT(in.size(), all.size(), 10000);
    QCOMPARE(in, all);
}

void TestQSerialPortBackend::openFailures_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("expected"); // -1: any error but None
    QTest::newRow("no such device") << "missing" << int(SerialError::NotFound);
    QTest::newRow("a directory") << "directory" << -1;
    QTest::newRow("a regular file") << "file" << -1;
}

void TestQSerialPortBackend::openFailures()
{
    QFETCH(QString, what);
    QFETCH(int, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath("ttyNOPE0");
    if (what == "directory")
        QVERIFY(QDir().mkdir(path));
    QFile f(path);
    if (what == "file")
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("not a terminal") > 0);
    QSerialPortBackend backend(path);
    QSignalSpy errors(&backend, &SerialBackend::errorOccurred);
    QVERIFY(!backend.open(9600));
    QVERIFY(!backend.isOpen());
    QVERIFY(backend.lastError() != SerialError::None);
    if (expected >= 0)
        QCOMPARE(int(backend.lastError()), expected);
    QVERIFY(!backend.errorString().isEmpty());
    QCOMPARE(errors.count(), 0); // told by the result, not as an error while open
}

void TestQSerialPortBackend::busyUntilTheHolderCloses()
{
    PtyPair pty;
    QSerialPortBackend first(pty.path()), second(pty.path());
    QSignalSpy errors(&first, &SerialBackend::errorOccurred);
    QVERIFY(first.open(9600));
    QVERIFY(!second.open(9600));
    QCOMPARE(second.lastError(), SerialError::Busy);
    first.write(QByteArray("\x01", 1)); // the holder is not disturbed
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT(!(got += pty.receive()).isEmpty(), 10000);
    QCOMPARE(got, QByteArray("\x01", 1));
    first.close();
    first.close();
    QVERIFY(second.open(9600));
    QCOMPARE(errors.count(), 0);
}

void TestQSerialPortBackend::hangUpIsReportedOnce()
{
    PtyPair pty;
    QSerialPortBackend backend(pty.path());
    QVERIFY(backend.open(9600));
    pty.releaseSlave();
    QSignalSpy errors(&backend, &SerialBackend::errorOccurred);
    pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(errors.count() > 0, 10000);
    QCOMPARE(errors.first().at(0).value<SerialError>(), SerialError::DeviceGone);
    QCOMPARE(backend.lastError(), SerialError::DeviceGone);
    // A dead descriptor left watched would report on every pass of the event loop.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCOMPARE(errors.count(), 1);
    QVERIFY(!backend.isOpen());
}

QTEST_GUILESS_MAIN(TestQSerialPortBackend)
#include "tst_QSerialPortBackend.moc"
