#include "platform/Services.h"

#include <QApplication>
#include <QtTest>

class TestServices : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void beepIsCountedAndHooked();
    void showUrlGoesToTheHook_data();
    void showUrlGoesToTheHook();
    void shiftKeyOverride_data();
    void shiftKeyOverride();
};

void TestServices::cleanup()
{
    Services::setBeepHook({});
    Services::setShowUrlHook({});
    Services::setShiftKeyOverride(-1);
    Services::resetBeepCount();
}

void TestServices::beepIsCountedAndHooked()
{
    int heard = 0;
    Services::setBeepHook([&] { ++heard; });
    Services::resetBeepCount();
    Services::Beep();
    Services::Beep();
    QCOMPARE(heard, 2);
    QCOMPARE(Services::beepCount(), 2);
    Services::resetBeepCount();
    QCOMPARE(Services::beepCount(), 0);
    // Without a hook the beep still counts (and goes to the system).
    Services::setBeepHook({});
    Services::Beep();
    QCOMPARE(Services::beepCount(), 1);
    QCOMPARE(heard, 2);
}

void TestServices::showUrlGoesToTheHook_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("answer");
    QTest::newRow("web, opened") << "https://vantor-ir.example.org/" << true;
    QTest::newRow("mail, refused") << "mailto:vantor-ir@example.org" << false;
}

void TestServices::showUrlGoesToTheHook()
{
    QFETCH(QString, url);
    QFETCH(bool, answer);
    QStringList asked;
    Services::setShowUrlHook([&](const QString& u) {
        asked << u;
        return answer;
    });
    QCOMPARE(Services::ShowURL(url), answer);
    QCOMPARE(asked, QStringList{url});
}

void TestServices::shiftKeyOverride_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("down");
    QTest::newRow("down") << 1 << true;
    QTest::newRow("up") << 0 << false;
    // No keyboard on the offscreen display: the real state is "up".
    QTest::newRow("real keyboard") << -1 << false;
}

void TestServices::shiftKeyOverride()
{
    QFETCH(int, state);
    QFETCH(bool, down);
    Services::setShiftKeyOverride(state);
    QCOMPARE(Services::ShiftKeyDown(), down);
}

QTEST_MAIN(TestServices)
#include "tst_Services.moc"
