#include "settings/PreferClass.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {
const QString cProgram = QStringLiteral("VantorController IR");
const QByteArray cDefaults = "ConnectType\n0\nNotAutoDisconnect\nFalse\n"
                             "WirelessWriteSize\n1\nRBTReqests\n-1\n";

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

// The port as "name|input|output", or "-" for none.
QString portText(const PreferClass& p)
{
    if (!p.mPortInfo)
        return QStringLiteral("-");
    return p.mPortInfo->mName + '|' + p.mPortInfo->mInputDriverName + '|' +
           p.mPortInfo->mOutputDriverName;
}
} // namespace

class TestPreferClass : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void firstStartWritesDefaultsInTheConfigFolder();
    void roundTrip_data();
    void roundTrip();
    void load_data();
    void load();
    void oversizedFileLoadsItsBeginningOnly();
    void failedSaveKeepsTheOldFile();
    void unusableFolderOrFile_data();
    void unusableFolderOrFile();

private:
    QString prefPath() const
    {
        return mDir->path() + "/Tessaro Utilities/" + cProgram + '/' + cProgram + ".Pref";
    }
    std::unique_ptr<QTemporaryDir> mDir;
};

void TestPreferClass::init()
{
    mDir = std::make_unique<QTemporaryDir>();
    QVERIFY(mDir->isValid());
}

void TestPreferClass::firstStartWritesDefaultsInTheConfigFolder()
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", mDir->path().toUtf8());
    PreferClass first(cProgram);
    PreferClass p(cProgram);
    qputenv("XDG_CONFIG_HOME", saved);
    QCOMPARE(first.mFile, prefPath());
    QCOMPARE(readFile(prefPath()), cDefaults);

    p.mConnectType = 2;
    p.mWirelessWriteSize = 9;
    p.ReadData();
    QCOMPARE(portText(p), QStringLiteral("-"));
    QCOMPARE(p.mConnectType, 0);
    QCOMPARE(p.mNotAutoDisconnect, false);
    QCOMPARE(p.mWirelessWriteSize, 1);
    QVERIFY(p.mRBTReqestOpcode.isEmpty() && p.mRBTReqestData.isEmpty());
}

void TestPreferClass::roundTrip_data()
{
    QTest::addColumn<QStringList>("port"); // name, input, output; empty: none
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("notAuto");
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("opcodes");
    QTest::addColumn<QStringList>("datas");
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("japanese port, two requests")
        << QStringList{QStringLiteral("ポート"), "/dev/ttyS0", ""} << 1 << true << 12
        << QStringList{"op0", "op1"} << QStringList{"d0", "d1"}
        << QByteArray("SerialPort\n\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88\n/dev/ttyS0\n\n"
                      "ConnectType\n1\nNotAutoDisconnect\nTrue\nWirelessWriteSize\n12\n"
                      "RBTReqests\n1\nop0\nd0\nop1\nd1\n");
    QTest::newRow("no port, BlueSMiRF, one request")
        << QStringList{} << 2 << false << 16 << QStringList{"F8"} << QStringList{"40 01"}
        << QByteArray("ConnectType\n2\nNotAutoDisconnect\nFalse\nWirelessWriteSize\n16\n"
                      "RBTReqests\n0\nF8\n40 01\n");
    QTest::newRow("texts that look like keys")
        << QStringList{"ConnectType", "RBTReqests", "True"} << 0 << false << 1
        << QStringList{"SerialPort", "", "-1"} << QStringList{"BlueSMiRF", "x", ""}
        << QByteArray("SerialPort\nConnectType\nRBTReqests\nTrue\n" + cDefaults.chopped(3) +
                      "2\nSerialPort\nBlueSMiRF\n\nx\n-1\n\n");
}

void TestPreferClass::roundTrip()
{
    QFETCH(QStringList, port);
    QFETCH(int, type);
    QFETCH(bool, notAuto);
    QFETCH(int, size);
    QFETCH(QStringList, opcodes);
    QFETCH(QStringList, datas);
    QFETCH(QByteArray, file);
    {
        PreferClass w(cProgram, mDir->path());
        w.mConnectType = type;
        w.mNotAutoDisconnect = notAuto;
        w.mWirelessWriteSize = size;
        w.mRBTReqestOpcode = opcodes;
        w.mRBTReqestData = datas;
        if (port.isEmpty()) {
            QVERIFY(w.WriteData());
        } else { // SetPortInfo stores the port and saves
            SerialPortEntry e;
            e.name = port[0];
            e.inputDriverName = port[1];
            e.outputDriverName = port[2];
            w.SetPortInfo(e);
        }
    }
    QCOMPARE(readFile(prefPath()), file);

    PreferClass r(cProgram, mDir->path());
    r.ReadData();
    QCOMPARE(portText(r), port.isEmpty() ? QStringLiteral("-") : port.join('|'));
    QCOMPARE(r.mConnectType, type);
    QCOMPARE(r.mNotAutoDisconnect, notAuto);
    QCOMPARE(r.mWirelessWriteSize, size);
    QCOMPARE(r.mRBTReqestOpcode, opcodes);
    QCOMPARE(r.mRBTReqestData, datas);
}

void TestPreferClass::load_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("port"); // "name|input|output", "-" for none
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("notAuto");
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("opcodes");
    QTest::addColumn<QStringList>("datas");

    const QStringList none;
    // clang-format off
    QTest::newRow("empty file") << QByteArray() << "-" << 0 << false << 1 << none << none;
    QTest::newRow("keys in any case") << QByteArray("CONNECTTYPE\n1\nnotautodisconnect\nTRUE\nwirelessWRITEsize\n7\nserialport\na\nb\nc\n") << "a|b|c" << 1 << true << 7 << none << none;
    QTest::newRow("BlueSMiRF True") << QByteArray("BlueSMiRF\nTrue\n") << "-" << 2 << false << 1 << none << none;
    QTest::newRow("bluesmirf true") << QByteArray("bluesmirf\ntrue\n") << "-" << 2 << false << 1 << none << none;
    QTest::newRow("BlueSMiRF False keeps type") << QByteArray("ConnectType\n1\nBlueSMiRF\nFalse\n") << "-" << 1 << false << 1 << none << none;
    QTest::newRow("other text is false") << QByteArray("NotAutoDisconnect\nyes\n") << "-" << 0 << false << 1 << none << none;
    QTest::newRow("RBTReqests -1 empties") << QByteArray("RBTReqests\n0\nx\ny\nRBTReqests\n-1\n") << "-" << 0 << false << 1 << none << none;
    QTest::newRow("RBTReqests 1 reads two pairs") << QByteArray("RBTReqests\n1\nop0\nd0\nop1\nd1\nConnectType\n1\n") << "-" << 1 << false << 1 << QStringList{"op0", "op1"} << QStringList{"d0", "d1"};
    QTest::newRow("later block wins, unknown and empty lines skipped") << QByteArray("SerialPort\nA\nB\nC\n\nColour\nConnectType\n1\nSerialPort\nD\nE\nF\nConnectType\n2\n") << "D|E|F" << 2 << false << 1 << none << none;
    QTest::newRow("numbers: junk, leading digits") << QByteArray("ConnectType\n 2 cable\nWirelessWriteSize\nx9\n") << "-" << 2 << false << 0 << none << none;
    QTest::newRow("numbers: negative, huge") << QByteArray("ConnectType\n-3\nWirelessWriteSize\n99999999999999999999999\n") << "-" << -3 << false << 2147483647 << none << none;
    QTest::newRow("truncated port block") << QByteArray("SerialPort\nttyUSB0") << "ttyUSB0||" << 0 << false << 1 << none << none;
    QTest::newRow("truncated after key") << QByteArray("ConnectType\n1\nWirelessWriteSize\n") << "-" << 1 << false << 0 << none << none;
    QTest::newRow("count beyond the lines") << QByteArray("RBTReqests\n5\nop-0\nd-0\nop-1\n") << "-" << 0 << false << 1 << QStringList{"op-0", "op-1"} << QStringList{"d-0", ""};
    QTest::newRow("huge count is empty") << QByteArray("RBTReqests\n999999999999\nop\nda\nConnectType\n2\n") << "-" << 2 << false << 1 << none << none;
    QTest::newRow("count -5 is empty") << QByteArray("RBTReqests\n-5\nConnectType\n1\n") << "-" << 1 << false << 1 << none << none;
    QTest::newRow("CR LF") << QByteArray("SerialPort\r\nttyS1\r\n/dev/ttyS1\r\n\r\nConnectType\r\n1\r\nNotAutoDisconnect\r\nTrue\r\nWirelessWriteSize\r\n4\r\nRBTReqests\r\n0\r\nop\r\nda\r\n") << "ttyS1|/dev/ttyS1|" << 1 << true << 4 << QStringList{"op"} << QStringList{"da"};
    QTest::newRow("byte order mark, no final line end") << QByteArray("\xEF\xBB\xBFSerialPort\r\nCOM3\r\n\r\n\r\nConnectType\r\n2") << "COM3||" << 2 << false << 1 << none << none;
    // clang-format on
}

void TestPreferClass::load()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, port);
    QFETCH(int, type);
    QFETCH(bool, notAuto);
    QFETCH(int, size);
    QFETCH(QStringList, opcodes);
    QFETCH(QStringList, datas);

    QVERIFY(writeFile(prefPath(), content));
    PreferClass p(cProgram, mDir->path());
    p.ReadData();
    QCOMPARE(readFile(prefPath()), content); // an existing file is never rewritten on start
    QCOMPARE(portText(p), port);
    QCOMPARE(p.mConnectType, type);
    QCOMPARE(p.mNotAutoDisconnect, notAuto);
    QCOMPARE(p.mWirelessWriteSize, size);
    QCOMPARE(p.mRBTReqestOpcode, opcodes);
    QCOMPARE(p.mRBTReqestData, datas);
}

void TestPreferClass::oversizedFileLoadsItsBeginningOnly()
{
    // Endless junk neither hangs the start nor hides the blocks at the start.
    QVERIFY(writeFile(prefPath(),
                      "ConnectType\n1\n" + QByteArray(6 << 20, 'x') + "\nConnectType\n2\n"));
    PreferClass p(cProgram, mDir->path());
    p.ReadData();
    QCOMPARE(p.mConnectType, 1);
}

void TestPreferClass::failedSaveKeepsTheOldFile()
{
    PreferClass p(cProgram, mDir->path());
    p.mConnectType = 1;
    QVERIFY(p.WriteData());
    const QByteArray before = readFile(prefPath());

    // A file size limit fails every write past it, as a full disk would (even for root).
    p.mRBTReqestOpcode = QStringList(200, QStringLiteral("opcode"));
    p.mRBTReqestData = QStringList(200, QStringLiteral("data"));
    p.mConnectType = 2;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 64;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool written = p.WriteData();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!written);
    QCOMPARE(readFile(prefPath()), before);
    QCOMPARE(QDir(QFileInfo(prefPath()).path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{cProgram + ".Pref"}); // no temporary file left behind
    QVERIFY(p.WriteData());
    PreferClass r(cProgram, mDir->path());
    r.ReadData();
    QCOMPARE(r.mConnectType, 2);
    QCOMPARE(r.mRBTReqestOpcode.size(), 200);
}

void TestPreferClass::unusableFolderOrFile_data()
{
    QTest::addColumn<QString>("blocker"); // made a regular file ("" = the base itself)
    QTest::addColumn<bool>("fileIsDir");
    QTest::newRow("base is a file") << QString() << false;
    QTest::newRow("program folder is a file") << "Tessaro Utilities/" + cProgram << false;
    QTest::newRow("preferences file is a folder") << QString() << true;
}

void TestPreferClass::unusableFolderOrFile()
{
    QFETCH(QString, blocker);
    QFETCH(bool, fileIsDir);
    QString base = mDir->path();
    if (fileIsDir)
        QVERIFY(QDir().mkpath(prefPath()));
    else if (blocker.isEmpty())
        QVERIFY(writeFile(base += "/plain-file", "x"));
    else
        QVERIFY(writeFile(base + '/' + blocker, "x"));

    PreferClass p(cProgram, base);
    QCOMPARE(p.mFile.isEmpty(), !fileIsDir);
    QCOMPARE(p.mWirelessWriteSize, 1);
    p.mConnectType = 1;
    p.ReadData(); // nothing readable: values stay
    QCOMPARE(p.mConnectType, 1);
    QVERIFY(!p.WriteData());
    QCOMPARE(QFileInfo(prefPath()).isDir(), fileIsDir);
    QVERIFY(!QFileInfo(prefPath()).isFile());
}

QTEST_GUILESS_MAIN(TestPreferClass)
#include "tst_PreferClass.moc"
