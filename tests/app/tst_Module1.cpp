#include "app/Module1.h"

#include <QtTest>

class TestModule1 : public QObject
{
    Q_OBJECT
private slots:
    void formatHex_data();
    void formatHex();
    void hexStr_data();
    void hexStr();
    void intToChr_data();
    void intToChr();
    void newString_data();
    void newString();
    void endOfLine();
};

void TestModule1::formatHex_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "00";
    QTest::newRow("10") << 10 << "0A";
    QTest::newRow("15") << 15 << "0F";
    QTest::newRow("16") << 16 << "10";
    QTest::newRow("171") << 171 << "AB";
    QTest::newRow("255") << 255 << "FF";
    QTest::newRow("256") << 256 << "100";
    QTest::newRow("0xBEEF") << 0xBEEF << "BEEF";
}

void TestModule1::formatHex()
{
    QFETCH(int, value);
    QFETCH(QString, text);
    QCOMPARE(FormatHex(value), text);
}

void TestModule1::hexStr_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("0F") << QByteArray("\x0F", 1) << "0F";
    QTest::newRow("00 bytes") << QByteArray("\x00\x01\x00\x00", 4) << "00010000";
    QTest::newRow("trailing 00") << QByteArray("\xAB\x00", 2) << "AB00";
    QTest::newRow("01 AB FF") << QByteArray("\x01\xAB\xFF", 3) << "01ABFF";
    QTest::newRow("abc") << QByteArray("abc") << "616263";
    QTest::newRow("high bytes") << QByteArray("\x80\xFE\x7F", 3) << "80FE7F";
}

void TestModule1::hexStr()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    const QString got = HexStr(bytes);
    QCOMPARE(got, text);
    QCOMPARE(got.size(), 2 * bytes.size());
}

void TestModule1::intToChr_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("low");
    QTest::addColumn<QByteArray>("high");
    QTest::newRow("300") << 300 << QByteArray("\x2C", 1) << QByteArray("\x01", 1);
    QTest::newRow("0x1234") << 0x1234 << QByteArray("\x34", 1) << QByteArray("\x12", 1);
    QTest::newRow("-1") << -1 << QByteArray("\xFF", 1) << QByteArray("\xFF", 1);
    QTest::newRow("70000") << 70000 << QByteArray("\x70", 1) << QByteArray("\x11", 1);
    QTest::newRow("256") << 256 << QByteArray("\x00", 1) << QByteArray("\x01", 1);
    QTest::newRow("0") << 0 << QByteArray("\x00", 1) << QByteArray("\x00", 1);
    QTest::newRow("0xFF00") << 0xFF00 << QByteArray("\x00", 1) << QByteArray("\xFF", 1);
}

void TestModule1::intToChr()
{
    QFETCH(int, value);
    QFETCH(QByteArray, low);
    QFETCH(QByteArray, high);
    QCOMPARE(IntToChrLow(value), low);
    QCOMPARE(IntToChrHigh(value), high);
    // The controller's 16-bit values: low byte first.
    QCOMPARE(IntToChrLow(value) + IntToChrHigh(value), low + high);
}

void TestModule1::newString_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("result");
    QTest::newRow("0, empty") << 0 << QByteArray() << QByteArray();
    QTest::newRow("1, empty") << 1 << QByteArray() << QByteArray("\x00", 1);
    QTest::newRow("3, empty") << 3 << QByteArray() << QByteArray("\x00\x00\x00", 3);
    QTest::newRow("2, ab") << 2 << QByteArray("ab") << QByteArray("abab");
    QTest::newRow("1, 00 byte") << 1 << QByteArray("\x00", 1) << QByteArray("\x00", 1);
    QTest::newRow("2, with 00 inside")
        << 2 << QByteArray("\x01\x00", 2) << QByteArray("\x01\x00\x01\x00", 4);
    QTest::newRow("negative, empty") << -1 << QByteArray() << QByteArray();
    QTest::newRow("negative, ab") << -5 << QByteArray("ab") << QByteArray();
}

void TestModule1::newString()
{
    QFETCH(int, count);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, result);
    QCOMPARE(NewString(count, bytes), result);
}

void TestModule1::endOfLine()
{
    QCOMPARE(gEOM, QByteArray("\x0D", 1));
}

QTEST_GUILESS_MAIN(TestModule1)
#include "tst_Module1.moc"
