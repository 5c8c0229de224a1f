// The virtual controller's monitor window: servos that travel on the model's clock are shown on
// their way, without a byte arriving to prompt a refresh; servos that are off are greyed.
#include "emulator/QmcModel.h"
#include "remote/VirtualMonitor.h"

#include <QLabel>
#include <QTableWidget>
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
        // Speed 10: servo 3 goes from 0 to 100 in 200 ms, servo 5 jumps (its move comes after
        // speed 0 is set again).
        for (const int b : {0xB2, 10, 0xE6, 3, 100, 0xB2, 0, 0xE6, 5, 40})
            model.feed(quint8(b));
        QTRY_COMPARE(monitor.servoText(5), QStringLiteral("40"));
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

    // A servo switched on reads in the text colour; one switched off keeps its position, greyed.
    void switchedOffServosAreGreyed()
    {
        QmcModel model;
        VirtualMonitor monitor(&model);
        for (const int b : {0xE6, 5, 60, 0xE6, 6, 70, 0xE7, 5, 0xE7, 6, 0xE8, 6})
            model.feed(quint8(b));
        const auto* table = monitor.findChild<QTableWidget*>(QStringLiteral("ServoTable"));
        QVERIFY(table);
        const QTableWidgetItem* on = table->item(0, 4);
        const QTableWidgetItem* off = table->item(0, 5);
        QTRY_COMPARE(off->text(), QStringLiteral("70"));
        QCOMPARE(on->text(), QStringLiteral("60"));
        QCOMPARE(on->foreground().color(), monitor.palette().text().color());
        QCOMPARE(off->foreground().color(), monitor.palette().placeholderText().color());
        QVERIFY(monitor.palette().text().color() != monitor.palette().placeholderText().color());
        monitor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&monitor));
        QCOMPARE(monitor.windowTitle(), QStringLiteral("仮想コントローラー"));
        // Each field has its caption beside it, which also names it for a screen reader.
        const QList<std::pair<const char*, const char*>> captions = {
            {"KeyST", "最後のキー:"}, {"Var2ST", "#2 variable (0141):"}, {"RunST", "動作状態:"}};
        for (const auto& [field, caption] : captions) {
            const auto* shown = monitor.findChild<QLabel*>(QString::fromLatin1(field));
            QStringList named;
            for (const QLabel* label : monitor.findChildren<QLabel*>())
                if (shown && label->buddy() == shown)
                    named << label->text();
            QCOMPARE(named, QStringList{QString::fromUtf8(caption)});
        }
        // The table has its own place in the window, below the run state, not over the fields.
        const auto* run = monitor.findChild<QLabel*>(QStringLiteral("RunST"));
        QVERIFY(run);
        QVERIFY(table->geometry().top() >= run->mapTo(&monitor, QPoint(0, run->height())).y());
    }
};

QTEST_MAIN(TestVirtualMonitor)
#include "tst_VirtualMonitor.moc"
