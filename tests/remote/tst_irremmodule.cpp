#include "remote/IRRemModule.h"

#include <QTest>

// The expected bytes are computed here from the key table's rule, written out
// independently of the code under test: code = (ID - 1) * 32 + index; variable
// 1 sends the code (escaped with FF above 127), variables 2..8 send an SRAM
// write F8 <0x40 + n - 1> 01 <code>.
class TestIRRemModule : public QObject
{
    Q_OBJECT
private slots:
    void clickBytes_data();
    void clickBytes();
    void literalExamples_data();
    void literalExamples();
    void simulationSendsNothing();
    void clearZeroesBothTables();
};

void TestIRRemModule::clickBytes_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("variable");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("expected");

    const int firstCode[] = {0x01, 0x21, 0x41, 0x61}; // button 1 under ID 1..4
    const char* sramLow[] = {"", "41", "42", "43", "44", "45", "46", "47"};
    for (int id = 1; id <= 4; ++id) {
        for (int n = 1; n <= 8; ++n) {
            for (int index = 1; index <= 32; ++index) {
                const int code = firstCode[id - 1] + index - 1;
                QByteArray hex;
                if (n == 1)
                    hex = code >= 0x80 ? "FF" + QByteArray::number(code, 16)
                                       : QByteArray::number(code, 16).rightJustified(2, '0');
                else
                    hex = QByteArray("F8") + sramLow[n - 1] + "01" +
                          QByteArray::number(code, 16).rightJustified(2, '0');
                QTest::addRow("ID=%d #%d key %d", id, n, index)
                    << id << n << index << QByteArray::fromHex(hex);
            }
        }
    }
}

void TestIRRemModule::clickBytes()
{
    QFETCH(int, id);
    QFETCH(int, variable);
    QFETCH(int, index);
    QFETCH(QByteArray, expected);
    QCOMPARE(RemoconClickBytes(cRemTypeCommunication, id, variable, index).toHex(' '),
             expected.toHex(' '));
}

void TestIRRemModule::literalExamples_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("variable");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ID1 #1 key5") << 1 << 1 << 5 << QByteArray::fromHex("05");
    QTest::newRow("ID2 #3 key5") << 2 << 3 << 5 << QByteArray::fromHex("F8420125");
    QTest::newRow("ID4 #1 key32") << 4 << 1 << 32 << QByteArray::fromHex("FF80");
    QTest::newRow("ID4 #2 key32") << 4 << 2 << 32 << QByteArray::fromHex("F8410180");
    QTest::newRow("ID3 #1 key1") << 3 << 1 << 1 << QByteArray::fromHex("41");
    QTest::newRow("ID4 #1 key31 no escape") << 4 << 1 << 31 << QByteArray::fromHex("7F");
    QTest::newRow("ID1 #8 key1") << 1 << 8 << 1 << QByteArray::fromHex("F8470101");
    QTest::newRow("ID4 #8 key32") << 4 << 8 << 32 << QByteArray::fromHex("F8470180");
}

void TestIRRemModule::literalExamples()
{
    QFETCH(int, id);
    QFETCH(int, variable);
    QFETCH(int, index);
    QFETCH(QByteArray, expected);
    QCOMPARE(RemoconClickBytes(cRemTypeCommunication, id, variable, index).toHex(' '),
             expected.toHex(' '));
    QCOMPARE(RemoconCode(id, index), (id - 1) * 32 + index);
}

void TestIRRemModule::simulationSendsNothing()
{
    for (int n = 1; n <= 8; ++n)
        QVERIFY(RemoconClickBytes(cRemTypeSimulation, 4, n, 32).isEmpty());
}

void TestIRRemModule::clearZeroesBothTables()
{
    for (int i = 0; i < 10; ++i) {
        gRemValue[i] = i + 1;
        gVarValue[i] = -i - 1;
    }
    ClearRemoconValues();
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(gRemValue[i], 0);
        QCOMPARE(gVarValue[i], 0);
    }
}

QTEST_APPLESS_MAIN(TestIRRemModule)
#include "tst_irremmodule.moc"
