#include "remote/MyPicBtnClass.h"

#include <QPainter>
#include <QSignalSpy>
#include <QTest>

namespace {

// A (2w + extra) x h source: face `face`, then the mask: black (opaque) but a
// white (transparent) first column and a grey second column.
QImage makeSource(int w, int h, QColor face, int extra = 0)
{
    QImage source(2 * w + extra, h, QImage::Format_RGB32);
    source.fill(Qt::black);
    QPainter p(&source);
    p.fillRect(0, 0, w, h, face);
    p.fillRect(w, 0, 1, h, Qt::white);
    p.fillRect(w + 1, 0, 1, h, QColor(128, 128, 128));
    return source;
}

// Colour channels equal within rounding.
bool sameRgb(QRgb a, QColor e)
{
    return qAbs(qRed(a) - e.red()) <= 1 && qAbs(qGreen(a) - e.green()) <= 1 &&
           qAbs(qBlue(a) - e.blue()) <= 1;
}

} // namespace

class TestMyPicBtnClass : public QObject
{
    Q_OBJECT
private slots:
    void statePictures_data()
    {
        // Up (the face), down (channels halved, truncated), over (HSV value x 1.2, clamped),
        // disabled (saturation 0: the largest channel); an odd source width is halved down.
        QTest::addColumn<QList<QColor>>("colours");
        QTest::addColumn<int>("extra");
        auto row = [](const char* name, QList<QColor> colours, int extra = 0) {
            QTest::newRow(name) << colours << extra;
        };
        row("odd channels", {{201, 3, 77}, {100, 1, 38}, {241, 4, 92}, {201, 201, 201}});
        row("clamped, odd width", {{250, 10, 10}, {125, 5, 5}, {255, 10, 10}, {250, 250, 250}}, 1);
        row("white", {{255, 255, 255}, {127, 127, 127}, {255, 255, 255}, {255, 255, 255}});
    }
    void statePictures()
    {
        QFETCH(QList<QColor>, colours);
        QFETCH(int, extra);
        MyPicBtnClass button;
        button.SetPic(makeSource(8, 5, colours[0], extra));
        const QList<QImage> pics{button.mUp, button.mDwn, button.mOvr, button.mDis};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(pics[i].size(), QSize(8, 5));
            QVERIFY2(sameRgb(pics[i].pixel(4, 2), colours[i]), qPrintable(QString::number(i)));
            QCOMPARE(qAlpha(pics[i].pixel(0, 3)), 0);   // white mask: transparent
            QCOMPARE(qAlpha(pics[i].pixel(1, 3)), 127); // grey mask: partly covered
            QCOMPARE(qAlpha(pics[i].pixel(5, 3)), 255); // black mask: opaque
        }
        QCOMPARE(button.mPic, button.mUp);
    }

    void release_data()
    {
        // Button 26 x 18: only 0 < x < 26 and 0 < y < 18 complete the click.
        QTest::addColumn<QPoint>("release");
        QTest::addColumn<bool>("counts");
        QTest::newRow("x=1,y=1") << QPoint(1, 1) << true;
        QTest::newRow("x=25,y=17") << QPoint(25, 17) << true;
        QTest::newRow("column 0") << QPoint(0, 9) << false;
        QTest::newRow("row 0") << QPoint(13, 0) << false;
        QTest::newRow("x=width") << QPoint(26, 9) << false;
        QTest::newRow("y=height") << QPoint(13, 18) << false;
    }
    void release()
    {
        QFETCH(QPoint, release);
        QFETCH(bool, counts);
        QWidget window;
        auto* button = new MyPicBtnClass(&window);
        button->setGeometry(30, 30, 26, 18);
        button->Toggle = true;
        button->SetPic(makeSource(26, 18, QColor(90, 90, 200)));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QSignalSpy action(button, &MyPicBtnClass::Action);
        // Real mouse events: the release goes to the pressed button wherever it happens.
        QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
        QTest::mouseRelease(button, Qt::LeftButton, {}, release);
        QCOMPARE(action.count(), counts ? 1 : 0);
        QCOMPARE(button->shownPicture(), counts ? button->mDwn : button->mUp); // a toggle
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(5, 5));           // toggles back
        QCOMPARE(button->Value, !counts);
        QCOMPARE(button->mPic, counts ? button->mUp : button->mDwn);
    }

    void hoverPressAndDisabled()
    {
        MyPicBtnClass button;
        button.resize(10, 10);
        button.Over = true;
        button.SetPic(makeSource(10, 10, QColor(40, 80, 120)));
        QSignalSpy action(&button, &MyPicBtnClass::Action);
        button.Event_MouseEnter();
        QCOMPARE(button.cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(button.shownPicture(), button.mOvr);
        QVERIFY(button.Event_MouseDown(3, 3));
        QCOMPARE(button.shownPicture(), button.mDwn);
        button.Event_MouseUp(30, 3); // outside: hover picture back
        QCOMPARE(button.shownPicture(), button.mOvr);
        button.Event_MouseExit();
        QCOMPARE(button.shownPicture(), button.mUp);
        QCOMPARE(button.cursor().shape(), Qt::ArrowCursor);
        // Disabled: the grey picture, no hover, no press, no click.
        button.SetEnable(false);
        button.Event_MouseEnter();
        QVERIFY(button.cursor().shape() != Qt::PointingHandCursor);
        QVERIFY(!button.Event_MouseDown(5, 5));
        QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(button.shownPicture(), button.mDis);
        QCOMPARE(action.count(), 0);
        // Enabling again rests on up, even for a toggle left down.
        button.Toggle = button.Value = true;
        button.SetEnable(true);
        QCOMPARE(button.mPic, button.mUp);
    }
};

QTEST_MAIN(TestMyPicBtnClass)
#include "tst_mypicbtnclass.moc"
