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
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

SerialPortEntry port(const QString& name, const QString& in, const QString& out)
{
    SerialPortEntry e;
    e.name = name;
    e.inputDriverName = in;
    e.outputDriverName = out;
    return e;
}

} // namespace

class TestPreferClass : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void firstStartWritesDefaultsAndReloadsThem();
    void defaultLocationIsTheConfigFolder();
    void existingFileIsNotRewrittenAtConstruction();
    void roundTrip_data();
    void roundTrip();
    void writtenFileLayout();
    void secondSaveReplacesTheFirst();
    void load_data();
    void load();
    void loadKeepsValuesWhenFileIsMissing();
    void oversizedFileLoadsItsBeginningOnly();
    void failedSaveKeepsTheOldFile();
    void saveOntoADirectoryFails();
    void noFolderMeansDefaultsAndNoFile_data();
    void noFolderMeansDefaultsAndNoFile();

private:
    QString prefPath() const
    {
        return mDir->path() + QStringLiteral("/Tessaro Utilities/") + cProgram + QLatin1Char('/') +
               cProgram + QStringLiteral(".Pref");
    }
    std::unique_ptr<QTemporaryDir> mDir;
};

void TestPreferClass::init()
{
    mDir = std::make_unique<QTemporaryDir>();
    QVERIFY(mDir->isValid());
}

void TestPreferClass::firstStartWritesDefaultsAndReloadsThem()
{
    PreferClass first(cProgram, mDir->path());
    QCOMPARE(first.mFile, prefPath());
    QCOMPARE(readFile(prefPath()), cDefaults);

    PreferClass p(cProgram, mDir->path());
    p.ReadData();
    QVERIFY(!p.mPortInfo.has_value());
    QCOMPARE(p.mConnectType, 0);
    QCOMPARE(p.mNotAutoDisconnect, false);
    QCOMPARE(p.mWirelessWriteSize, 1);
    QVERIFY(p.mRBTReqestOpcode.isEmpty());
    QVERIFY(p.mRBTReqestData.isEmpty());
}

void TestPreferClass::defaultLocationIsTheConfigFolder()
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", mDir->path().toUtf8());
    const QString folder = PreferClass::GetPreferFolder(cProgram);
    PreferClass p(cProgram);
    qputenv("XDG_CONFIG_HOME", saved);

    QCOMPARE(folder, mDir->path() + QStringLiteral("/Tessaro Utilities/VantorController IR"));
    QCOMPARE(p.mFile, prefPath());
    QCOMPARE(readFile(prefPath()), cDefaults);
}

void TestPreferClass::existingFileIsNotRewrittenAtConstruction()
{
    QVERIFY(QDir().mkpath(QFileInfo(prefPath()).path()));
    const QByteArray mine = "ConnectType\n1\n";
    QVERIFY(writeFile(prefPath(), mine));
    PreferClass p(cProgram, mDir->path());
    QCOMPARE(readFile(prefPath()), mine);
    p.ReadData();
    QCOMPARE(p.mConnectType, 1);
}

void TestPreferClass::roundTrip_data()
{
    QTest::addColumn<bool>("hasPort");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("inDriver");
    QTest::addColumn<QString>("outDriver");
    QTest::addColumn<int>("connectType");
    QTest::addColumn<bool>("notAuto");
    QTest::addColumn<int>("wireless");
    QTest::addColumn<QStringList>("opcodes");
    QTest::addColumn<QStringList>("datas");

    QTest::newRow("usb port, wireless")
        << true << "ttyUSB0"
        << "/dev/ttyUSB0"
        << "A600XYZ" << 1 << true << 16 << QStringList() << QStringList();
    QTest::newRow("empty driver names") << true << "Virtual QMC-4410"
                                        << ""
                                        << "" << 0 << false << 1 << QStringList() << QStringList();
    QTest::newRow("japanese name, bluesmirf")
        << true << QStringLiteral("ポート 1") << QStringLiteral("/dev/rfcomm0")
        << QStringLiteral("ドライバ") << 2 << false << 8 << QStringList() << QStringList();
    QTest::newRow("no port, one request")
        << false << ""
        << ""
        << "" << 0 << true << 3 << QStringList{"F8"} << QStringList{"40 01"};
    QTest::newRow("three requests, empty texts")
        << false << ""
        << ""
        << "" << 1 << false << 2 << QStringList{"A", "", "C c"} << QStringList{"", "data two", "3"};
    QTest::newRow("requests that look like keys")
        << true << "ConnectType"
        << "RBTReqests"
        << "True" << 0 << false << 1 << QStringList{"SerialPort", "-1"}
        << QStringList{"BlueSMiRF", "True"};
}

void TestPreferClass::roundTrip()
{
    QFETCH(bool, hasPort);
    QFETCH(QString, name);
    QFETCH(QString, inDriver);
    QFETCH(QString, outDriver);
    QFETCH(int, connectType);
    QFETCH(bool, notAuto);
    QFETCH(int, wireless);
    QFETCH(QStringList, opcodes);
    QFETCH(QStringList, datas);

    {
        PreferClass w(cProgram, mDir->path());
        if (hasPort)
            w.mPortInfo = SerialPortInfo(port(name, inDriver, outDriver));
        w.mConnectType = connectType;
        w.mNotAutoDisconnect = notAuto;
        w.mWirelessWriteSize = wireless;
        w.mRBTReqestOpcode = opcodes;
        w.mRBTReqestData = datas;
        QVERIFY(w.WriteData());
    }
    QVERIFY(!readFile(prefPath()).contains('\r'));

    PreferClass r(cProgram, mDir->path());
    r.ReadData();
    QCOMPARE(r.mPortInfo.has_value(), hasPort);
    if (hasPort) {
        QCOMPARE(r.mPortInfo->mName, name);
        QCOMPARE(r.mPortInfo->mInputDriverName, inDriver);
        QCOMPARE(r.mPortInfo->mOutputDriverName, outDriver);
    }
    QCOMPARE(r.mConnectType, connectType);
    QCOMPARE(r.mNotAutoDisconnect, notAuto);
    QCOMPARE(r.mWirelessWriteSize, wireless);
    QCOMPARE(r.mRBTReqestOpcode, opcodes);
    QCOMPARE(r.mRBTReqestData, datas);
}

void TestPreferClass::writtenFileLayout()
{
    PreferClass p(cProgram, mDir->path());
    p.mConnectType = 1;
    p.mNotAutoDisconnect = true;
    p.mWirelessWriteSize = 12;
    p.mRBTReqestOpcode = QStringList{"op0", "op1"};
    p.mRBTReqestData = QStringList{"d0", "d1"};
    p.SetPortInfo(port(QStringLiteral("ポート"), QStringLiteral("/dev/ttyS0"), QString()));
    QCOMPARE(readFile(prefPath()), QByteArray("SerialPort\n"
                                              "\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88\n"
                                              "/dev/ttyS0\n"
                                              "\n"
                                              "ConnectType\n1\n"
                                              "NotAutoDisconnect\nTrue\n"
                                              "WirelessWriteSize\n12\n"
                                              "RBTReqests\n1\nop0\nd0\nop1\nd1\n"));
}

void TestPreferClass::secondSaveReplacesTheFirst()
{
    PreferClass p(cProgram, mDir->path());
    p.mConnectType = 2;
    p.mNotAutoDisconnect = true;
    p.mWirelessWriteSize = 5;
    p.SetPortInfo(port("ttyUSB0", "/dev/ttyUSB0", "serial-1"));
    p.mConnectType = 0;
    p.mNotAutoDisconnect = false;
    p.mWirelessWriteSize = 1;
    p.SetPortInfo(port("ttyACM1", "/dev/ttyACM1", ""));
    QCOMPARE(readFile(prefPath()), QByteArray("SerialPort\nttyACM1\n/dev/ttyACM1\n\n") + cDefaults);
}

void TestPreferClass::load_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("portName"); // "-" for no port
    QTest::addColumn<QString>("inDriver");
    QTest::addColumn<QString>("outDriver");
    QTest::addColumn<int>("connectType");
    QTest::addColumn<bool>("notAuto");
    QTest::addColumn<int>("wireless");
    QTest::addColumn<QStringList>("opcodes");
    QTest::addColumn<QStringList>("datas");

    const QStringList none;
    QTest::newRow("empty file") << QByteArray() << "-"
                                << ""
                                << "" << 0 << false << 1 << none << none;
    QTest::newRow("connecttype lower case") << QByteArray("connecttype\n2\n") << "-"
                                            << ""
                                            << "" << 2 << false << 1 << none << none;
    QTest::newRow("CONNECTTYPE upper case") << QByteArray("CONNECTTYPE\n1\n") << "-"
                                            << ""
                                            << "" << 1 << false << 1 << none << none;
    QTest::newRow("mixed-case keys") << QByteArray("notautodisconnect\nTRUE\nwirelessWRITEsize\n"
                                                   "7\nserialport\na\nb\nc\n")
                                     << "a"
                                     << "b"
                                     << "c" << 0 << true << 7 << none << none;
    QTest::newRow("BlueSMiRF True") << QByteArray("BlueSMiRF\nTrue\n") << "-"
                                    << ""
                                    << "" << 2 << false << 1 << none << none;
    QTest::newRow("bluesmirf true") << QByteArray("bluesmirf\ntrue\n") << "-"
                                    << ""
                                    << "" << 2 << false << 1 << none << none;
    QTest::newRow("BlueSMiRF False") << QByteArray("BlueSMiRF\nFalse\n") << "-"
                                     << ""
                                     << "" << 0 << false << 1 << none << none;
    QTest::newRow("BlueSMiRF False keeps type")
        << QByteArray("ConnectType\n1\nBlueSMiRF\nFalse\n") << "-"
        << ""
        << "" << 1 << false << 1 << none << none;
    QTest::newRow("boolean other text is false") << QByteArray("NotAutoDisconnect\nyes\n") << "-"
                                                 << ""
                                                 << "" << 0 << false << 1 << none << none;
    QTest::newRow("RBTReqests -1 empties")
        << QByteArray("RBTReqests\n0\nx\ny\nRBTReqests\n-1\n") << "-"
        << ""
        << "" << 0 << false << 1 << none << none;
    QTest::newRow("RBTReqests 1 reads two pairs")
        << QByteArray("RBTReqests\n1\nop0\nd0\nop1\nd1\nConnectType\n1\n") << "-"
        << ""
        << "" << 1 << false << 1 << QStringList{"op0", "op1"} << QStringList{"d0", "d1"};
    QTest::newRow("later block wins")
        << QByteArray("SerialPort\nA\nB\nC\nConnectType\n1\nSerialPort\nD\nE\nF\n"
                      "ConnectType\n2\nWirelessWriteSize\n3\nWirelessWriteSize\n4\n")
        << "D"
        << "E"
        << "F" << 2 << false << 4 << none << none;
    QTest::newRow("unknown keys and empty lines skipped")
        << QByteArray("\n\nColour\nConnectType\n1\n\nUnknown\n\nNotAutoDisconnect\nTrue\n") << "-"
        << ""
        << "" << 1 << true << 1 << none << none;
    QTest::newRow("non-numeric number")
        << QByteArray("ConnectType\nabc\nWirelessWriteSize\nx9\n") << "-"
        << ""
        << "" << 0 << false << 0 << none << none;
    QTest::newRow("leading integer")
        << QByteArray("ConnectType\n 2 cable\nWirelessWriteSize\n12.9\n") << "-"
        << ""
        << "" << 2 << false << 12 << none << none;
    QTest::newRow("negative and huge numbers")
        << QByteArray("ConnectType\n-3\nWirelessWriteSize\n99999999999999999999999\n") << "-"
        << ""
        << "" << -3 << false << 2147483647 << none << none;
    QTest::newRow("truncated port block") << QByteArray("SerialPort\nttyUSB0") << "ttyUSB0"
                                          << ""
                                          << "" << 0 << false << 1 << none << none;
    QTest::newRow("truncated after key") << QByteArray("ConnectType\n1\nWirelessWriteSize\n") << "-"
                                         << ""
                                         << "" << 1 << false << 0 << none << none;
    QTest::newRow("count beyond the lines stops at the end")
        << QByteArray("RBTReqests\n5\nopcode-zero\ndata-zero\nopcode-one\n") << "-"
        << ""
        << "" << 0 << false << 1 << QStringList{"opcode-zero", "opcode-one"}
        << QStringList{"data-zero", ""};
    QTest::newRow("huge count reads as empty lists")
        << QByteArray("RBTReqests\n999999999999\nop\nda\nConnectType\n2\n") << "-"
        << ""
        << "" << 2 << false << 1 << none << none;
    QTest::newRow("count -5 reads as empty lists")
        << QByteArray("RBTReqests\n-5\nConnectType\n1\n") << "-"
        << ""
        << "" << 1 << false << 1 << none << none;
    QTest::newRow("non-numeric count is zero")
        << QByteArray("RBTReqests\nmany\nop\nda\n") << "-"
        << ""
        << "" << 0 << false << 1 << QStringList{"op"} << QStringList{"da"};
    QTest::newRow("CR LF line ends")
        << QByteArray("SerialPort\r\nttyS1\r\n/dev/ttyS1\r\n\r\nConnectType\r\n1\r\n"
                      "NotAutoDisconnect\r\nTrue\r\nWirelessWriteSize\r\n4\r\n"
                      "RBTReqests\r\n0\r\nop\r\nda\r\n")
        << "ttyS1"
        << "/dev/ttyS1"
        << "" << 1 << true << 4 << QStringList{"op"} << QStringList{"da"};
    QTest::newRow("byte order mark, CR LF")
        << QByteArray("\xEF\xBB\xBFSerialPort\r\nCOM3\r\n\r\n\r\nConnectType\r\n2\r\n") << "COM3"
        << ""
        << "" << 2 << false << 1 << none << none;
    QTest::newRow("no final line end")
        << QByteArray("ConnectType\n1\nNotAutoDisconnect\nTrue") << "-"
        << ""
        << "" << 1 << true << 1 << none << none;
}

void TestPreferClass::load()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, portName);
    QFETCH(QString, inDriver);
    QFETCH(QString, outDriver);
    QFETCH(int, connectType);
    QFETCH(bool, notAuto);
    QFETCH(int, wireless);
    QFETCH(QStringList, opcodes);
    QFETCH(QStringList, datas);

    PreferClass p(cProgram, mDir->path());
    QVERIFY(writeFile(prefPath(), content));
    p.ReadData();

    QCOMPARE(p.mPortInfo.has_value(), portName != QLatin1String("-"));
    if (p.mPortInfo) {
        QCOMPARE(p.mPortInfo->mName, portName);
        QCOMPARE(p.mPortInfo->mInputDriverName, inDriver);
        QCOMPARE(p.mPortInfo->mOutputDriverName, outDriver);
    }
    QCOMPARE(p.mConnectType, connectType);
    QCOMPARE(p.mNotAutoDisconnect, notAuto);
    QCOMPARE(p.mWirelessWriteSize, wireless);
    QCOMPARE(p.mRBTReqestOpcode, opcodes);
    QCOMPARE(p.mRBTReqestData, datas);
}

void TestPreferClass::loadKeepsValuesWhenFileIsMissing()
{
    PreferClass p(cProgram, mDir->path());
    QVERIFY(QFile::remove(prefPath()));
    p.mConnectType = 2;
    p.mNotAutoDisconnect = true;
    p.mPortInfo = SerialPortInfo(port("x", "y", "z"));
    p.ReadData();
    QCOMPARE(p.mConnectType, 2);
    QCOMPARE(p.mNotAutoDisconnect, true);
    QVERIFY(p.mPortInfo.has_value());
    QCOMPARE(p.mPortInfo->mName, QStringLiteral("x"));
}

void TestPreferClass::oversizedFileLoadsItsBeginningOnly()
{
    // A file of endless junk must neither hang nor pull everything in; the
    // known blocks at its start are still read.
    QByteArray content = "ConnectType\n1\n";
    content += QByteArray(6 * 1024 * 1024, 'x');
    content += "\nConnectType\n2\n";
    PreferClass p(cProgram, mDir->path());
    QVERIFY(writeFile(prefPath(), content));
    p.ReadData();
    QCOMPARE(p.mConnectType, 1);
}

void TestPreferClass::failedSaveKeepsTheOldFile()
{
    PreferClass p(cProgram, mDir->path());
    p.mConnectType = 1;
    QVERIFY(p.WriteData());
    const QByteArray before = readFile(prefPath());

    // A file size limit makes every write past it fail, as a full disk
    // would, whatever the user's rights (root included).
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
    // Nothing else is left behind in the folder.
    QCOMPARE(QDir(QFileInfo(prefPath()).path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{cProgram + QStringLiteral(".Pref")});

    // Once the disk has room again, the same save goes through.
    QVERIFY(p.WriteData());
    PreferClass r(cProgram, mDir->path());
    r.ReadData();
    QCOMPARE(r.mConnectType, 2);
    QCOMPARE(r.mRBTReqestOpcode.size(), 200);
}

void TestPreferClass::saveOntoADirectoryFails()
{
    PreferClass p(cProgram, mDir->path());
    QVERIFY(QFile::remove(prefPath()));
    QVERIFY(QDir().mkdir(prefPath()));
    p.mConnectType = 2;
    QVERIFY(!p.WriteData());
    QVERIFY(QFileInfo(prefPath()).isDir());
    p.ReadData(); // cannot be read either: values stay
    QCOMPARE(p.mConnectType, 2);
}

void TestPreferClass::noFolderMeansDefaultsAndNoFile_data()
{
    QTest::addColumn<QString>("blocker"); // made a regular file
    QTest::newRow("base is a file") << QString();
    QTest::newRow("Tessaro Utilities is a file") << QStringLiteral("Tessaro Utilities");
    QTest::newRow("program folder is a file") << QStringLiteral("Tessaro Utilities/") + cProgram;
}

void TestPreferClass::noFolderMeansDefaultsAndNoFile()
{
    QFETCH(QString, blocker);
    QString base = mDir->path();
    if (blocker.isEmpty()) {
        base += QStringLiteral("/plain-file");
        QVERIFY(writeFile(base, "x"));
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(mDir->path() + QLatin1Char('/') + blocker).path()));
        QVERIFY(writeFile(mDir->path() + QLatin1Char('/') + blocker, "x"));
    }

    QCOMPARE(PreferClass::GetPreferFolder(cProgram, base), QString());
    PreferClass p(cProgram, base);
    QVERIFY(p.mFile.isEmpty());
    QCOMPARE(p.mConnectType, 0);
    QCOMPARE(p.mWirelessWriteSize, 1);
    p.mConnectType = 1;
    p.ReadData();
    QCOMPARE(p.mConnectType, 1);
    QVERIFY(!p.WriteData());
    p.SetPortInfo(port("a", "b", "c"));
    QVERIFY(!QFileInfo::exists(prefPath()));
}

QTEST_GUILESS_MAIN(TestPreferClass)
#include "tst_PreferClass.moc"
