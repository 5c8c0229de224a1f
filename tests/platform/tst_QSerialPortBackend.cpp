#include "platform/QSerialPortBackend.h"
#include "platform/SerialPorts.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// The far end of a pseudo-terminal stands in for the controller: what the
// backend writes to the device appears on the master side, and what the test
// writes there arrives at the backend.
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
        if (mSlave >= 0)
            ::close(mSlave);
    }

    bool isValid() const { return mMaster >= 0 && !mPath.isEmpty(); }
    QString path() const { return mPath; }

    // The slave stays open on our side too until the backend has opened it,
    // so the terminal does not hang up in between; then it is let go so a
    // closed master is seen as a hang-up.
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
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(mMaster, bytes.constData() + done, bytes.size() - done);
            if (n < 0 && errno != EAGAIN)
                return false;
            if (n > 0)
                done += n;
        }
        return true;
    }

    QByteArray receive()
    {
        QByteArray out;
        char buf[512];
        for (;;) {
            const ssize_t n = ::read(mMaster, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, n);
        }
        return out;
    }

private:
    int mMaster = -1;
    int mSlave = -1;
    QString mPath;
};

namespace {

QByteArray allByteValues()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    return all;
}

} // namespace

class TestQSerialPortBackend : public QObject
{
    Q_OBJECT
private slots:
    void writesEveryByteValueUnchanged();
    void readsEveryByteValueUnchanged();
    void announcesDataWithoutPolling();
    void lockStepEcho();
    void openFailures_data();
    void openFailures();
    void heldByAnotherIsBusy();
    void hangUpIsReportedOnce();
    void closeIsQuietAndReopens();
    void environmentPortReachesTheDevice();
};

void TestQSerialPortBackend::writesEveryByteValueUnchanged()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    QSerialPortBackend backend(pty.path());
    QVERIFY2(backend.open(9600), qPrintable(backend.errorString()));
    QVERIFY(backend.isOpen());
    QCOMPARE(backend.lastError(), SerialError::None);

    const QByteArray all = allByteValues();
    QCOMPARE(backend.write(all), qint64(all.size()));
    backend.flush();
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += pty.receive()).size() >= all.size(), 10000);
    QCOMPARE(got, all);
}

void TestQSerialPortBackend::readsEveryByteValueUnchanged()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    QSerialPortBackend backend(pty.path());
    QVERIFY(backend.open(9600));

    const QByteArray all = allByteValues();
    QVERIFY(pty.send(all));
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += backend.readAll()).size() >= all.size(), 10000);
    QCOMPARE(got, all);
    QVERIFY(backend.readAll().isEmpty());
}

void TestQSerialPortBackend::announcesDataWithoutPolling()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    QSerialPortBackend backend(pty.path());
    QVERIFY(backend.open(9600));
    QSignalSpy spy(&backend, &SerialBackend::dataAvailable);

    QVERIFY(pty.send(QByteArray("\x00", 1)));
    QVERIFY(spy.wait(10000));
    QCOMPARE(backend.readAll(), QByteArray("\x00", 1));
}

void TestQSerialPortBackend::lockStepEcho()
{
    // One byte out, wait for its answer, next byte: the way the link drives
    // the controller.
    PtyPair pty;
    QVERIFY(pty.isValid());
    QSerialPortBackend backend(pty.path());
    QVERIFY(backend.open(9600));
    const QByteArray stream("\xF8\x40\x01\xFF\x00\x0D", 6);
    QByteArray answers;
    for (char c : stream) {
        backend.write(QByteArray(1, c));
        QByteArray seen;
        QTRY_VERIFY_WITH_TIMEOUT(!(seen += pty.receive()).isEmpty(), 10000);
        QCOMPARE(seen, QByteArray(1, c));
        QVERIFY(pty.send(QByteArray(1, char(~c))));
        QByteArray reply;
        QTRY_VERIFY_WITH_TIMEOUT(!(reply += backend.readAll()).isEmpty(), 10000);
        answers += reply;
    }
    QByteArray expected;
    for (char c : stream)
        expected.append(char(~c));
    QCOMPARE(answers, expected);
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
    QVERIFY(dir.isValid());
    QString path = dir.filePath(QStringLiteral("ttyNOPE0"));
    if (what == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(path));
    } else if (what == QLatin1String("file")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a terminal");
    }

    QSerialPortBackend backend(path);
    QSignalSpy errors(&backend, &SerialBackend::errorOccurred);
    QVERIFY(!backend.open(9600));
    QVERIFY(!backend.isOpen());
    if (expected >= 0)
        QCOMPARE(int(backend.lastError()), expected);
    else
        QVERIFY(backend.lastError() != SerialError::None);
    QVERIFY(!backend.errorString().isEmpty());
    // A failed open is told by the result, not as an error while open.
    QCOMPARE(errors.count(), 0);
}

void TestQSerialPortBackend::heldByAnotherIsBusy()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    QSerialPortBackend first(pty.path());
    QVERIFY(first.open(9600));
    QSerialPortBackend second(pty.path());
    QVERIFY(!second.open(9600));
    QCOMPARE(second.lastError(), SerialError::Busy);
    QVERIFY(!second.errorString().isEmpty());

    // The holder is not disturbed, and once it lets go the device opens.
    first.write(QByteArray("\x01", 1));
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT(!(got += pty.receive()).isEmpty(), 10000);
    QCOMPARE(got, QByteArray("\x01", 1));
    first.close();
    QVERIFY(second.open(9600));
}

void TestQSerialPortBackend::hangUpIsReportedOnce()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    QSerialPortBackend backend(pty.path());
    QVERIFY(backend.open(9600));
    pty.releaseSlave();
    QSignalSpy errors(&backend, &SerialBackend::errorOccurred);

    pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(errors.count() > 0, 10000);
    QCOMPARE(errors.first().at(0).value<SerialError>(), SerialError::DeviceGone);
    QCOMPARE(backend.lastError(), SerialError::DeviceGone);

    // Let the event loop run for a while: a dead device must neither repeat
    // its error nor keep the loop spinning on it (a spinning loop spends the
    // whole wait on the processor; an idle one next to nothing).
    const std::clock_t cpuBefore = std::clock();
    QTest::qWait(400);
    const double cpuMs = 1000.0 * double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    QCOMPARE(errors.count(), 1);
    QVERIFY2(cpuMs < 200, qPrintable(QStringLiteral("%1 ms of processor time").arg(cpuMs)));
    QVERIFY(!backend.isOpen()); // a device that is gone is closed
    backend.close();
    QVERIFY(!backend.isOpen());
}

void TestQSerialPortBackend::closeIsQuietAndReopens()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    QSerialPortBackend backend(pty.path());
    QSignalSpy errors(&backend, &SerialBackend::errorOccurred);
    QVERIFY(backend.open(9600));
    backend.close();
    QVERIFY(!backend.isOpen());
    backend.close(); // twice is harmless
    QVERIFY(backend.open(9600));
    backend.write(QByteArray("\x7E", 1));
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT(!(got += pty.receive()).isEmpty(), 10000);
    QCOMPARE(got, QByteArray("\x7E", 1));
    backend.close();
    QCOMPARE(errors.count(), 0);
}

void TestQSerialPortBackend::environmentPortReachesTheDevice()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    qputenv("VANTOR_IR_PORTS", pty.path().toLocal8Bit());
    const QList<SerialPortEntry> ports = SerialPorts::list();
    qunsetenv("VANTOR_IR_PORTS");
    auto it = std::find_if(ports.cbegin(), ports.cend(),
                           [&](const SerialPortEntry& e) { return e.name == pty.path(); });
    QVERIFY(it != ports.cend());
    std::unique_ptr<SerialBackend> backend = it->makeBackend();
    QVERIFY(backend);
    QVERIFY(backend->open(9600));
    backend->write(QByteArray("\xFF\x00", 2));
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += pty.receive()).size() >= 2, 10000);
    QCOMPARE(got, QByteArray("\xFF\x00", 2));
}

QTEST_GUILESS_MAIN(TestQSerialPortBackend)
#include "tst_QSerialPortBackend.moc"
