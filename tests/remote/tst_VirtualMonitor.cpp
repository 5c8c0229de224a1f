// The virtual controller's monitor window: servos that travel on the model's clock are shown on
// their way, without a byte arriving to prompt a refresh.
#include "emulator/QmcModel.h"
#include "remote/VirtualMonitor.h"

#include <QtTest>

#include <atomic>

class TestVirtualMonitor : public QObject
{
    Q_OBJECT
private slots:
    void showsServosOnTheirWay()
    {
        QmcModel model;
        std::atomic<qint64> now = 1000;
        model.setClock([&] { return now.load(); });
        VirtualMonitor monitor(&model);
        // Speed 10: servo 3 goes from 0 to 100 in 200 ms, servo 4 jumps (its move comes after
        // speed 0 is set again).
        for (const int b : {0xB2, 10, 0xE6, 3, 100, 0xB2, 0, 0xE6, 4, 40})
            model.feed(quint8(b));
        QTRY_COMPARE(monitor.servoText(4), QStringLiteral("40"));
        QCOMPARE(monitor.servoText(3), QStringLiteral("0"));
        // Half-way on the model's clock, with nothing on the line: the view catches up by itself.
        now = 1100;
        QTRY_COMPARE_WITH_TIMEOUT(monitor.servoText(3), QStringLiteral("50"),
                                  10 * VirtualMonitor::cTravelRefreshMs);
        now = 1200;
        QTRY_COMPARE_WITH_TIMEOUT(monitor.servoText(3), QStringLiteral("100"),
                                  10 * VirtualMonitor::cTravelRefreshMs);
        // Arrived: the view stops following (nothing changes it any more).
        now = 5000;
        model.setServoPosition(3, 7); // behind the model's back: no signal
        QTest::qWait(5 * VirtualMonitor::cTravelRefreshMs);
        QCOMPARE(monitor.servoText(3), QStringLiteral("100"));
    }
};

QTEST_MAIN(TestVirtualMonitor)
#include "tst_VirtualMonitor.moc"
