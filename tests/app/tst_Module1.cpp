#include "app/Module1.h"

#include <QtTest>

class TestModule1 : public QObject
{
    Q_OBJECT
private slots:
    void hex_data();
    void hex();
    void formatHexAndLineEnd();
    void bytes_data();
    void bytes();
    void newString_data();
    void newString();
};

void TestModule1::hex_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("0F keeps its zero") << QByteArray("\x0F", 1) << "0F";
    QTest::newRow("00 bytes do not stop it") << QByteArray("\x00\x01\x00\x00", 4) << "00010000";
    QTest::newRow("01 AB FF") << QByteArray("\x01\xAB\xFF", 3) << "01ABFF";
    QTest::newRow("abc") << QByteArray("abc") << "616263";
}

void TestModule1::hex()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(HexStr(bytes), text);
}

void TestModule1::formatHexAndLineEnd()
{
    const QStringList formatted{FormatHex(0), FormatHex(10), FormatHex(171), FormatHex(255),
                                FormatHex(256)};
    QCOMPARE(formatted, (QStringList{"00", "0A", "AB", "FF", "100"}));
    QCOMPARE(gEOM, QByteArray("\r"));
}

void TestModule1::bytes_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("lowHigh");
    QTest::newRow("300") << 300 << QByteArray("\x2C\x01", 2);
    QTest::newRow("0x1234") << 0x1234 << QByteArray("\x34\x12", 2);
    QTest::newRow("-1") << -1 << QByteArray("\xFF\xFF", 2);
    QTest::newRow("70000 drops bit 16 up") << 70000 << QByteArray("\x70\x11", 2);
    QTest::newRow("256") << 256 << QByteArray("\x00\x01", 2);
}

void TestModule1::bytes()
{
    QFETCH(int, value);
    QFETCH(QByteArray, lowHigh);
    QCOMPARE(IntToChrLow(value) + IntToChrHigh(value), lowHigh);
}

void TestModule1::newString_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("repeated");
    QTest::newRow("0") << 0 << QByteArray("ab") << QByteArray();
    QTest::newRow("-5") << -5 << QByteArray("ab") << QByteArray();
    QTest::newRow("1, empty is one 00") << 1 << QByteArray() << QByteArray("\x00", 1);
    QTest::newRow("3, empty") << 3 << QByteArray() << QByteArray("\x00\x00\x00", 3);
    QTest::newRow("2, ab") << 2 << QByteArray("ab") << QByteArray("abab");
    QTest::newRow("2, with 00 inside")
        << 2 << QByteArray("\x01\x00", 2) << QByteArray("\x01\x00\x01\x00", 4);
}

void TestModule1::newString()
{
    QFETCH(int, count);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, repeated);
    QCOMPARE(NewString(count, source), repeated);
}

QTEST_GUILESS_MAIN(TestModule1)
#include "tst_Module1.moc"
