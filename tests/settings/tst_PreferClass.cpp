#include "settings/PreferClass.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
const QString cProgram = QStringLiteral("VantorController IR");
const QByteArray cDefaults = "ConnectType\n0\nNotAutoDisconnect\nFalse\n"
                             "WirelessWriteSize\n1\nRBTReqests\n-1\n";

// The stored settings; the port as "name|input|output", "-" for none.
struct Prefs
{
    QString port = "-";
    int type = 0;
    bool notAuto = false;
    int size = 1;
    QStringList opcodes = {}, datas = {};
    bool operator==(const Prefs&) const = default;
};

char* toString(const Prefs& p)
{
    return QTest::toString(QStringList{p.port, QString::number(p.type), QString::number(p.notAuto),
                                       QString::number(p.size)} +
                           p.opcodes + p.datas);
}

Prefs stored(const PreferClass& p)
{
    const SerialPortInfo* i = p.mPortInfo ? &*p.mPortInfo : nullptr;
    return {i ? i->mName + '|' + i->mInputDriverName + '|' + i->mOutputDriverName : "-",
            p.mConnectType,
            p.mNotAutoDisconnect,
            p.mWirelessWriteSize,
            p.mRBTReqestOpcode,
            p.mRBTReqestData};
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).path()) && f.open(QIODevice::WriteOnly) &&
           f.write(bytes) == bytes.size();
}
} // namespace
Q_DECLARE_METATYPE(Prefs)

class TestPreferClass : public QObject
{
    Q_OBJECT
    QString prefPath() const
    {
        return mDir->path() + "/Tessaro Utilities/" + cProgram + '/' + cProgram + ".Pref";
    }
    std::unique_ptr<QTemporaryDir> mDir;

private slots:
    void init()
    {
        mDir = std::make_unique<QTemporaryDir>();
        PreferClass::setSaveFailureHandler({});
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Prefs>("prefs");
        QTest::addColumn<bool>("written"); // content is what saving prefs writes
        // clang-format off
        QTest::newRow("saved: japanese port, RBTReqests 1: two pairs") << QByteArray("SerialPort\n\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88\n/dev/ttyS0\n\nConnectType\n1\nNotAutoDisconnect\nTrue\nWirelessWriteSize\n12\nRBTReqests\n1\nop0\nd0\nop1\nd1\n") << Prefs{.port = QStringLiteral("ポート|/dev/ttyS0|"), .type = 1, .notAuto = true, .size = 12, .opcodes = {"op0", "op1"}, .datas = {"d0", "d1"}} << true;
        QTest::newRow("saved: texts that look like keys") << QByteArray("SerialPort\nConnectType\nRBTReqests\nTrue\n" + cDefaults.chopped(3) + "2\nSerialPort\nBlueSMiRF\n\nx\n-1\n\n") << Prefs{.port = "ConnectType|RBTReqests|True", .opcodes = {"SerialPort", "", "-1"}, .datas = {"BlueSMiRF", "x", ""}} << true;
        QTest::newRow("empty file") << QByteArray() << Prefs{} << false;
        QTest::newRow("keys in any case") << QByteArray("CONNECTTYPE\n1\nnotautodisconnect\nTRUE\nwirelessWRITEsize\n7\nserialport\na\nb\nc\n") << Prefs{.port = "a|b|c", .type = 1, .notAuto = true, .size = 7} << false;
        QTest::newRow("bluesmirf true") << QByteArray("bluesmirf\ntrue\n") << Prefs{.type = 2} << false;
        QTest::newRow("BlueSMiRF False keeps type") << QByteArray("ConnectType\n1\nBlueSMiRF\nFalse\n") << Prefs{.type = 1} << false;
        QTest::newRow("other text is false") << QByteArray("NotAutoDisconnect\nyes\n") << Prefs{} << false;
        QTest::newRow("RBTReqests -1 empties") << QByteArray("RBTReqests\n0\nx\ny\nRBTReqests\n-1\n") << Prefs{} << false;
        QTest::newRow("later block wins, others skipped") << QByteArray("SerialPort\nA\nB\nC\n\nColour\nConnectType\n1\nSerialPort\nD\nE\nF\nConnectType\n2\n") << Prefs{.port = "D|E|F", .type = 2} << false;
        QTest::newRow("numbers: leading digits, junk") << QByteArray("ConnectType\n 2 cable\nWirelessWriteSize\nx9\n") << Prefs{.type = 2, .size = 0} << false;
        QTest::newRow("numbers: negative, huge") << QByteArray("ConnectType\n-3\nWirelessWriteSize\n99999999999999999999999\n") << Prefs{.type = -3, .size = 2147483647} << false;
        QTest::newRow("truncated port block") << QByteArray("SerialPort\nttyUSB0") << Prefs{.port = "ttyUSB0||"} << false;
        QTest::newRow("count beyond the lines: padded") << QByteArray("RBTReqests\n3\nop-0\nd-0\nop-1\n") << Prefs{.opcodes = {"op-0", "op-1", "", ""}, .datas = {"d-0", "", "", ""}} << false;
        QTest::newRow("count near 2^63 is damage") << QByteArray("RBTReqests\n9223372036854775806\nConnectType\n2\n") << Prefs{.type = 2} << false;
        QTest::newRow("count -5 is empty") << QByteArray("RBTReqests\n-5\nConnectType\n1\n") << Prefs{.type = 1} << false;
        QTest::newRow("CR LF") << QByteArray("SerialPort\r\nttyS1\r\n/dev/ttyS1\r\n\r\nConnectType\r\n1\r\nNotAutoDisconnect\r\nTrue\r\nWirelessWriteSize\r\n4\r\nRBTReqests\r\n0\r\nop\r\nda\r\n") << Prefs{.port = "ttyS1|/dev/ttyS1|", .type = 1, .notAuto = true, .size = 4, .opcodes = {"op"}, .datas = {"da"}} << false;
        QTest::newRow("byte order mark, no final line end") << QByteArray("\xEF\xBB\xBFSerialPort\r\nCOM3\r\n\r\n\r\nConnectType\r\n2") << Prefs{.port = "COM3||", .type = 2} << false;
        QTest::newRow("endless junk: its start only") << "ConnectType\n1\n" + QByteArray(6 << 20, 'x') + "\nConnectType\n2\n" << Prefs{.type = 1} << false;
        // clang-format on
    }

    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(Prefs, prefs);
        QFETCH(bool, written);
        if (written) {
            PreferClass w(cProgram, mDir->path());
            std::tie(w.mConnectType, w.mNotAutoDisconnect, w.mWirelessWriteSize) =
                std::tie(prefs.type, prefs.notAuto, prefs.size);
            std::tie(w.mRBTReqestOpcode, w.mRBTReqestData) = std::tie(prefs.opcodes, prefs.datas);
            if (const QStringList parts = prefs.port.split('|'); parts.size() == 3)
                w.SetPortInfo({parts[0], parts[1], parts[2], {}}); // stores the port and saves
            else
                QVERIFY(w.WriteData());
            QCOMPARE(readFile(prefPath()), content);
        }
        QVERIFY(writeFile(prefPath(), content));
        PreferClass p(cProgram, mDir->path());
        p.ReadData();
        QCOMPARE(stored(p), prefs);
        QVERIFY(readFile(prefPath()) == content); // an existing file is never rewritten on start
    }

    void failedSaveKeepsTheOldFile()
    {
        PreferClass p(cProgram, mDir->path());
        QStringList told; // file, reason per report
        PreferClass::setSaveFailureHandler(
            [&](const QString& file, const QString& reason) { told << file << reason; });
        p.mRBTReqestOpcode = QStringList(200, QStringLiteral("opcode"));
        p.mRBTReqestData = QStringList(200, QStringLiteral("data"));
        p.mConnectType = 2;
        // A file size limit fails every write past it, as a full disk would (even for root).
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit tight{64, saved.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
        const bool written = p.WriteData();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!written);
        QCOMPARE(told.size(), 2); // told once, naming the file and why
        QCOMPARE(told.at(0), prefPath());
        QCOMPARE(told.at(1), qt_error_string(EFBIG)); // the system's reason, not "Unknown error"
        QCOMPARE(p.mConnectType, 2);                  // still in effect for this run
        QCOMPARE(readFile(prefPath()), cDefaults);
        QCOMPARE(QDir(QFileInfo(prefPath()).path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{cProgram + ".Pref"}); // no temporary file left behind
        QVERIFY(!PreferClass().WriteData());       // with no file to go to, nothing is called saved
    }

    void notARegularFile()
    {
        // A FIFO at the path: opening it for reading the ordinary way waits for a writer.
        QVERIFY(QDir().mkpath(QFileInfo(prefPath()).path()));
        QCOMPARE(::mkfifo(QFile::encodeName(prefPath()).constData(), 0600), 0);
        PreferClass p(cProgram, mDir->path());
        // Should loading block, this writer lets it go after a while, with a line to read.
        auto writer = std::async(std::launch::async, [path = prefPath()] {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0 && ::write(fd, "ConnectType\n2\n", 14) > 0)
                ::close(fd);
        });
        QElapsedTimer clock;
        clock.start();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not a regular file"));
        p.ReadData();
        QVERIFY2(clock.elapsed() < 2000, "loading waited on the FIFO");
        p.mConnectType = 1;
        QVERIFY(!p.WriteData()); // never written into or replaced
        QVERIFY(QFileInfo::exists(prefPath()) && !QFileInfo(prefPath()).isFile()); // still the FIFO
    }

    void symbolicLinkStaysALink()
    {
        const QString target = mDir->filePath("dotfiles/vantor.Pref");
        QVERIFY(writeFile(target, "ConnectType\n1\n"));
        QVERIFY(QDir().mkpath(QFileInfo(prefPath()).path()));
        QVERIFY(QFile::link(target, prefPath()));
        PreferClass p(cProgram, mDir->path());
        p.ReadData();
        QCOMPARE(p.mConnectType, 1);
        p.mConnectType = 2;
        QVERIFY(p.WriteData());
        QCOMPARE(QFileInfo(prefPath()).symLinkTarget(), target);
        QCOMPARE(readFile(target),
                 QByteArray(cDefaults).replace("ConnectType\n0", "ConnectType\n2"));
    }
};

QTEST_GUILESS_MAIN(TestPreferClass)
#include "tst_PreferClass.moc"
