#include "app/Module1.h"

#include <QtTest>

class TestModule1 : public QObject
{
    Q_OBJECT
private slots:
    void conversions_data()
    {
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<QByteArray>("expected");
        const auto hex = [](const QString& text) { return text.toLatin1(); };
        const auto lowHigh = [](int v) { return IntToChrLow(v) + IntToChrHigh(v); };
        QTest::newRow("FormatHex 10") << hex(FormatHex(10)) << QByteArray("0A");
        QTest::newRow("FormatHex 255") << hex(FormatHex(255)) << QByteArray("FF");
        QTest::newRow("HexStr does not stop at 00")
            << hex(HexStr(QByteArray("\x00\x01\x00\x00", 4))) << QByteArray("00010000");
        QTest::newRow("HexStr 01 AB FF") << hex(HexStr("\x01\xAB\xFF")) << QByteArray("01ABFF");
        QTest::newRow("low, high of 0x1234") << lowHigh(0x1234) << QByteArray("\x34\x12");
        QTest::newRow("low, high of 70000") << lowHigh(70000) << QByteArray("\x70\x11");
        QTest::newRow("low, high of 256") << lowHigh(256) << QByteArray("\x00\x01", 2);
        QTest::newRow("NewString 0") << NewString(0, "ab") << QByteArray();
        QTest::newRow("NewString 1, empty is one 00") << NewString(1, {}) << QByteArray("\x00", 1);
        QTest::newRow("NewString 2, 01 00")
            << NewString(2, QByteArray("\x01\x00", 2)) << QByteArray("\x01\x00\x01\x00", 4);
    }
    void conversions()
    {
        QFETCH(QByteArray, result);
        QFETCH(QByteArray, expected);
        QCOMPARE(result, expected);
    }
};

QTEST_GUILESS_MAIN(TestModule1)
#include "tst_Module1.moc"
