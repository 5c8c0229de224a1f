#include "remote/MyPicBtnClass.h"

#include <QApplication>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

namespace {

// A 2w x h source: face filled with `face`, mask black (opaque) except a
// white (transparent) first column and a grey second column.
QImage makeSource(int w, int h, QColor face)
{
    QImage source(2 * w, h, QImage::Format_RGB32);
    source.fill(Qt::black);
    QPainter p(&source);
    p.fillRect(0, 0, w, h, face);
    p.fillRect(w, 0, 1, h, Qt::white);
    p.fillRect(w + 1, 0, 1, h, QColor(128, 128, 128));
    return source;
}

void compareRgb(QRgb actual, QColor expected)
{
    QVERIFY2(
        qAbs(qRed(actual) - expected.red()) <= 1 && qAbs(qGreen(actual) - expected.green()) <= 1 &&
            qAbs(qBlue(actual) - expected.blue()) <= 1,
        qPrintable(
            QStringLiteral("got %1 want %2").arg(QColor::fromRgb(actual).name(), expected.name())));
}

} // namespace

class TestMyPicBtnClass : public QObject
{
    Q_OBJECT
private slots:
    void statePictures_data();
    void statePictures();
    void maskFromRightHalf();
    void whiteSourceIsInvisible();
    void defaultSourceWhenNoPicture();
    void ownerPictureFromOpen();
    void release_data();
    void release();
    void pressFeedbackAndHover();
    void disabledIgnoresPressAndHover();
    void toggleTwiceReturnsToUp();
    void oddWidthIsHalvedDown();
};

void TestMyPicBtnClass::statePictures_data()
{
    QTest::addColumn<QColor>("face");
    QTest::addColumn<QColor>("down");
    QTest::addColumn<QColor>("over");
    QTest::addColumn<QColor>("disabled");
    // down: each channel halved and truncated; over: HSV value x 1.2 clamped
    // to the top; disabled: saturation 0 keeps the value (the largest channel).
    QTest::newRow("warm") << QColor(100, 50, 20) << QColor(50, 25, 10) << QColor(120, 60, 24)
                          << QColor(100, 100, 100);
    QTest::newRow("odd channels") << QColor(201, 3, 77) << QColor(100, 1, 38) << QColor(241, 4, 92)
                                  << QColor(201, 201, 201);
    QTest::newRow("clamped") << QColor(250, 10, 10) << QColor(125, 5, 5) << QColor(255, 10, 10)
                             << QColor(250, 250, 250);
    QTest::newRow("black") << QColor(0, 0, 0) << QColor(0, 0, 0) << QColor(0, 0, 0)
                           << QColor(0, 0, 0);
    QTest::newRow("white") << QColor(255, 255, 255) << QColor(127, 127, 127)
                           << QColor(255, 255, 255) << QColor(255, 255, 255);
}

void TestMyPicBtnClass::statePictures()
{
    QFETCH(QColor, face);
    QFETCH(QColor, down);
    QFETCH(QColor, over);
    QFETCH(QColor, disabled);

    MyPicBtnClass button;
    button.resize(8, 5);
    button.SetPic(makeSource(8, 5, face));
    for (const QImage* pic : {&button.mUp, &button.mDwn, &button.mOvr, &button.mDis})
        QCOMPARE(pic->size(), QSize(8, 5));
    compareRgb(button.mUp.pixel(4, 2), face);
    compareRgb(button.mDwn.pixel(4, 2), down);
    compareRgb(button.mOvr.pixel(4, 2), over);
    compareRgb(button.mDis.pixel(4, 2), disabled);
    QCOMPARE(button.mPic, button.mUp);
}

void TestMyPicBtnClass::maskFromRightHalf()
{
    MyPicBtnClass button;
    button.resize(8, 5);
    button.SetPic(makeSource(8, 5, QColor(10, 200, 30)));
    for (const QImage* pic : {&button.mUp, &button.mDwn, &button.mOvr, &button.mDis}) {
        QCOMPARE(qAlpha(pic->pixel(0, 3)), 0);   // white mask: transparent
        QCOMPARE(qAlpha(pic->pixel(1, 3)), 127); // grey mask: partly covered
        QCOMPARE(qAlpha(pic->pixel(5, 3)), 255); // black mask: opaque
    }
}

void TestMyPicBtnClass::whiteSourceIsInvisible()
{
    // The remote's own keys: a 12 x 6 all-white picture draws nothing in any
    // state, yet the button still clicks.
    QImage white(12, 6, QImage::Format_RGB32);
    white.fill(Qt::white);
    MyPicBtnClass button;
    button.resize(26, 18);
    button.SetPic(white);
    for (const QImage* pic : {&button.mUp, &button.mDwn, &button.mOvr, &button.mDis})
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 6; ++x)
                QCOMPARE(qAlpha(pic->pixel(x, y)), 0);
    QSignalSpy action(&button, &MyPicBtnClass::Action);
    QVERIFY(button.Event_MouseDown(5, 5));
    button.Event_MouseUp(5, 5);
    QCOMPARE(action.count(), 1);
}

void TestMyPicBtnClass::defaultSourceWhenNoPicture()
{
    MyPicBtnClass button;
    button.resize(20, 10);
    QSignalSpy open(&button, &MyPicBtnClass::Open);
    button.Event_Open();
    QCOMPARE(open.count(), 1);
    QCOMPARE(button.BtnPic.size(), QSize(40, 10));
    // Face: white inside a black outline; mask: the filled rounded shape.
    compareRgb(button.mUp.pixel(10, 0), Qt::black);
    compareRgb(button.mUp.pixel(10, 5), Qt::white);
    QCOMPARE(qAlpha(button.mUp.pixel(10, 5)), 255);
    QCOMPARE(qAlpha(button.mUp.pixel(0, 0)), 0);  // rounded corner: transparent
    QCOMPARE(qAlpha(button.mUp.pixel(19, 9)), 0); // outside the (w-1) x (h-1) shape
}

void TestMyPicBtnClass::ownerPictureFromOpen()
{
    MyPicBtnClass button;
    button.resize(4, 4);
    const QImage source = makeSource(4, 4, QColor(0, 0, 200));
    connect(&button, &MyPicBtnClass::Open, &button, [&] { button.SetPic(source); });
    button.Event_Open();
    QCOMPARE(button.BtnPic, source);
    compareRgb(button.mUp.pixel(3, 3), QColor(0, 0, 200));

    // A laid-out backdrop is the source when the owner sets none, and the
    // control stops drawing it as a backdrop.
    MyPicBtnClass laidOut;
    laidOut.resize(4, 4);
    laidOut.setBackdrop(makeSource(4, 4, QColor(7, 8, 9)));
    laidOut.Event_Open();
    compareRgb(laidOut.mUp.pixel(3, 3), QColor(7, 8, 9));
}

void TestMyPicBtnClass::release_data()
{
    QTest::addColumn<QPoint>("release");
    QTest::addColumn<bool>("counts");
    // Button 26 x 18: only 0 < x < 26 and 0 < y < 18 complete the click.
    QTest::newRow("centre") << QPoint(13, 9) << true;
    QTest::newRow("x=1,y=1") << QPoint(1, 1) << true;
    QTest::newRow("x=25,y=17") << QPoint(25, 17) << true;
    QTest::newRow("column 0") << QPoint(0, 9) << false;
    QTest::newRow("row 0") << QPoint(13, 0) << false;
    QTest::newRow("x=width") << QPoint(26, 9) << false;
    QTest::newRow("y=height") << QPoint(13, 18) << false;
    QTest::newRow("far outside") << QPoint(-40, 90) << false;
}

void TestMyPicBtnClass::release()
{
    QFETCH(QPoint, release);
    QFETCH(bool, counts);

    QWidget window;
    window.resize(100, 100);
    auto* button = new MyPicBtnClass(&window);
    button->setGeometry(30, 30, 26, 18);
    button->Toggle = true;
    button->SetPic(makeSource(26, 18, QColor(90, 90, 200)));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QSignalSpy action(button, &MyPicBtnClass::Action);
    // Through real mouse events: the release goes to the pressed button
    // wherever it happens.
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(button->shownPicture(), button->mDwn);
    QTest::mouseRelease(button, Qt::LeftButton, {}, release);
    QCOMPARE(action.count(), counts ? 1 : 0);
    QCOMPARE(button->Value, counts);
    QCOMPARE(button->mPic, counts ? button->mDwn : button->mUp);
    // Over is off: the release drops the pressed picture.
    if (!counts)
        QCOMPARE(button->shownPicture(), button->mUp);
}

void TestMyPicBtnClass::pressFeedbackAndHover()
{
    MyPicBtnClass button;
    button.resize(10, 10);
    button.Over = true;
    button.SetPic(makeSource(10, 10, QColor(40, 80, 120)));
    button.Event_MouseEnter();
    QCOMPARE(button.cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(button.shownPicture(), button.mOvr);
    QVERIFY(button.Event_MouseDown(3, 3));
    QCOMPARE(button.shownPicture(), button.mDwn);
    // Release outside: hover picture back, no Action.
    QSignalSpy action(&button, &MyPicBtnClass::Action);
    button.Event_MouseUp(30, 3);
    QCOMPARE(button.shownPicture(), button.mOvr);
    QCOMPARE(action.count(), 0);
    button.Event_MouseExit();
    QCOMPARE(button.shownPicture(), button.mUp);
    QCOMPARE(button.cursor().shape(), Qt::ArrowCursor);
}

void TestMyPicBtnClass::disabledIgnoresPressAndHover()
{
    MyPicBtnClass button;
    button.resize(10, 10);
    button.Over = true;
    button.SetPic(makeSource(10, 10, QColor(200, 20, 20)));
    button.SetEnable(false);
    QCOMPARE(button.mPic, button.mDis);
    button.Event_MouseEnter();
    QCOMPARE(button.shownPicture(), button.mDis);
    QVERIFY(button.cursor().shape() != Qt::PointingHandCursor);
    QVERIFY(!button.Event_MouseDown(5, 5));
    QCOMPARE(button.shownPicture(), button.mDis);

    // Real events: a press on a disabled button never completes a click.
    QSignalSpy action(&button, &MyPicBtnClass::Action);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(action.count(), 0);

    button.SetEnable(true);
    QCOMPARE(button.mPic, button.mUp);
}

void TestMyPicBtnClass::toggleTwiceReturnsToUp()
{
    MyPicBtnClass button;
    button.resize(10, 10);
    button.Toggle = true;
    button.SetPic(makeSource(10, 10, QColor(60, 60, 60)));
    QSignalSpy action(&button, &MyPicBtnClass::Action);
    for (int i = 0; i < 2; ++i) {
        QVERIFY(button.Event_MouseDown(5, 5));
        button.Event_MouseUp(5, 5);
        QCOMPARE(button.Value, i == 0);
        QCOMPARE(button.mPic, i == 0 ? button.mDwn : button.mUp);
    }
    QCOMPARE(action.count(), 2);
    // SetEnable(true) returns the resting picture to up whatever Value is.
    QVERIFY(button.Event_MouseDown(5, 5));
    button.Event_MouseUp(5, 5);
    QVERIFY(button.Value);
    button.SetEnable(true);
    QCOMPARE(button.mPic, button.mUp);
}

void TestMyPicBtnClass::oddWidthIsHalvedDown()
{
    QImage source(9, 3, QImage::Format_RGB32);
    source.fill(Qt::black);
    QPainter(&source).fillRect(0, 0, 4, 3, QColor(1, 2, 3));
    MyPicBtnClass button;
    button.SetPic(source);
    QCOMPARE(button.mUp.size(), QSize(4, 3));
    compareRgb(button.mUp.pixel(3, 1), QColor(1, 2, 3));
    QCOMPARE(qAlpha(button.mUp.pixel(3, 1)), 255);
}

QTEST_MAIN(TestMyPicBtnClass)
#include "tst_mypicbtnclass.moc"
