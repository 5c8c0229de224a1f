#include "about/Artwork.h"
#include "about/Window2.h"
#include "platform/Services.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QtTest>

#include <functional>

using namespace std::chrono_literals;

namespace {
// A point on the window's background, clear of every control.
const QPoint cBackground(30, 80);

// Runs `drive` on the About window once its modal loop runs; closes it after
// a while so a failing check cannot hang the run.
void whenShown(std::function<void(Window2*)> drive)
{
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, drive] {
        if (auto* w = qobject_cast<Window2*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            drive(w);
        }
    });
    poll->start(5ms);
}

QColor textColor(const QLabel* label)
{
    return label->palette().color(QPalette::WindowText);
}
} // namespace

class TestWindow2 : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void window();
    void controls_data();
    void controls();
    void versionText_data();
    void versionText();
    void welcomeIgnoresBackgroundClicksAndClosesByTimer();
    void welcomeEndsAtOnceWhenClosed();
    void aboutClosesOnBackgroundClickOnly();
    void linkHover_data();
    void linkHover();
    void linkPressOpensTheShownUrl_data();
    void linkPressOpensTheShownUrl();
    void oneInstanceFreshEachTime();
    void artworkIsSharpAtDoubleScale();

private:
    QStringList mOpened;
    QPointer<QWidget> mLeftover;
};

void TestWindow2::init()
{
    mOpened.clear();
    Services::setShowUrlHook([this](const QString& url) {
        mOpened.append(url);
        return true;
    });
}

void TestWindow2::cleanup()
{
    Services::setShowUrlHook({});
    // A failed check may leave a window behind: don't let it leak into the next.
    if (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
}

void TestWindow2::window()
{
    QPointer<Window2> w = Window2::instance();
    QCOMPARE(w->windowTitle(), QStringLiteral("VantorController IR"));
    QCOMPARE(w->size(), QSize(330, 150));
    QCOMPARE(w->minimumSize(), QSize(330, 150)); // not resizable
    QCOMPARE(w->maximumSize(), QSize(330, 150));
    QVERIFY(w->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(w->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!w->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(w->autoFillBackground());
    QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::white));
    QVERIFY(!w->isVisible());
    QVERIFY(!w->mWelcome);
    QVERIFY(!w->Timer1.isActive());
    QVERIFY(w->Timer1.isSingleShot());
    QCOMPARE(w->Timer1.intervalAsDuration(), 1500ms);
    delete w;
}

void TestWindow2::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("textSize"); // 0: a picture
    QTest::addColumn<QString>("text");

    QTest::newRow("Canvas1") << "Canvas1" << QRect(10, 8, 48, 48) << 0 << QString();
    QTest::newRow("Canvas2") << "Canvas2" << QRect(70, 10, 240, 40) << 0 << QString();
    QTest::newRow("StaticText1") << "StaticText1" << QRect(-27, 125, 347, 20) << 10
                                 << QStringLiteral(VANTOR_CREDITS);
    QTest::newRow("StaticText2") << "StaticText2" << QRect(135, 110, 183, 16) << 11
                                 << QStringLiteral(VANTOR_WEB_URL);
    QTest::newRow("StaticText3") << "StaticText3" << QRect(135, 90, 183, 16) << 11
                                 << QStringLiteral(VANTOR_MAIL_URL);
}

void TestWindow2::controls()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(int, textSize);
    QFETCH(QString, text);

    QScopedPointer<Window2> w(Window2::instance());
    auto* label = w->findChild<QLabel*>(name);
    QVERIFY(label);
    QCOMPARE(label->geometry(), geometry);
    if (textSize == 0) {
        // The picture fills the canvas at its logical size.
        QVERIFY(!label->pixmap().isNull());
        QCOMPARE(label->pixmap().deviceIndependentSize().toSize(), geometry.size());
        return;
    }
    QCOMPARE(label->text(), text);
    // The layout's size, made smaller only when the text would be cut.
    QFont full = label->font();
    full.setPixelSize(textSize);
    if (QFontMetrics(full).horizontalAdvance(text) <= geometry.width() - 2)
        QCOMPARE(label->font().pixelSize(), textSize);
    else
        QVERIFY(label->font().pixelSize() < textSize);
    QVERIFY(QFontMetrics(label->font()).horizontalAdvance(text) <= geometry.width());
    QVERIFY(label->font().bold());
    QVERIFY(!label->font().underline());
    QCOMPARE(label->alignment(), Qt::AlignCenter);
    QCOMPARE(textColor(label), QColor(0, 0, 0));
}

void TestWindow2::versionText_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("expected");
    QTest::newRow("1.2.0") << "1.2.0"
                           << "v1.2.0";
    QTest::newRow("10.0.3") << "10.0.3"
                            << "v10.0.3";
}

void TestWindow2::versionText()
{
    QFETCH(QString, version);
    QFETCH(QString, expected);
    const QString saved = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationVersion(version);
    QScopedPointer<Window2> w(Window2::instance());
    QCoreApplication::setApplicationVersion(saved);
    QCOMPARE(w->StaticText4->text(), expected);
    QCOMPARE(w->StaticText4->geometry(), QRect(218, 69, 100, 20));
    QCOMPARE(w->StaticText4->font().pixelSize(), 14);
    QVERIFY(w->StaticText4->font().bold());
}

void TestWindow2::welcomeIgnoresBackgroundClicksAndClosesByTimer()
{
    bool sawWelcome = false;
    bool timerRunning = false;
    bool openAfterClicks = false;
    whenShown([&](Window2* w) {
        sawWelcome = w->mWelcome;
        timerRunning = w->Timer1.isActive();
        // Clicks on the background and on the controls: all ignored.
        QTest::mouseClick(w, Qt::LeftButton, {}, cBackground);
        QTest::mouseClick(w->StaticText1, Qt::LeftButton);
        QTest::mouseClick(w->Canvas2, Qt::LeftButton);
        QCoreApplication::processEvents();
        openAfterClicks = w->isVisible() && QApplication::activeModalWidget() == w;
    });
    QPointer<Window2> w = Window2::instance();
    QTimer failSafe; // never needed unless the timer failed to close it
    failSafe.setSingleShot(true);
    bool forced = false;
    connect(&failSafe, &QTimer::timeout, this, [&] {
        forced = true;
        if (w)
            w->close();
    });
    failSafe.start(15s);
    w->Welcome();
    QVERIFY(sawWelcome);
    QVERIFY(timerRunning);
    QVERIFY(openAfterClicks);
    QVERIFY2(!forced, "the splash did not close by itself");
    // Closed and deleted when Welcome returns.
    QTRY_VERIFY(w.isNull());
}

void TestWindow2::welcomeEndsAtOnceWhenClosed()
{
    // The close button (a close request) ends the splash before its time.
    bool timerPending = false;
    bool goneAtOnce = false;
    whenShown([&](Window2* w) {
        timerPending = w->Timer1.isActive();
        goneAtOnce = w->close() && !w->isVisible();
    });
    QPointer<Window2> w = Window2::instance();
    w->Welcome();
    QVERIFY(timerPending);
    QVERIFY(goneAtOnce);
    QTRY_VERIFY(w.isNull());
}

void TestWindow2::aboutClosesOnBackgroundClickOnly()
{
    bool welcome = true;
    bool timerRunning = true;
    bool openAfterControlClicks = false;
    QString linkOpened;
    whenShown([&](Window2* w) {
        welcome = w->mWelcome;
        timerRunning = w->Timer1.isActive();
        QTest::mouseClick(w->StaticText1, Qt::LeftButton);
        QTest::mouseClick(w->StaticText4, Qt::LeftButton);
        QTest::mouseClick(w->Canvas1, Qt::LeftButton);
        QTest::mouseClick(w->StaticText3, Qt::LeftButton); // a link: opens, stays
        QCoreApplication::processEvents();
        openAfterControlClicks = w->isVisible();
        QTest::mouseClick(w, Qt::LeftButton, {}, cBackground);
    });
    QTimer failSafe;
    failSafe.setSingleShot(true);
    bool forced = false;
    connect(&failSafe, &QTimer::timeout, this, [&] {
        forced = true;
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    failSafe.start(15s);
    Window2::ShowAbout();
    QVERIFY(!welcome);
    QVERIFY(!timerRunning);
    QVERIFY(openAfterControlClicks);
    QCOMPARE(mOpened, QStringList{QStringLiteral(VANTOR_MAIL_URL)});
    QVERIFY2(!forced, "a background click did not close the About box");
}

void TestWindow2::linkHover_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("web") << "StaticText2";
    QTest::newRow("mail") << "StaticText3";
}

void TestWindow2::linkHover()
{
    QFETCH(QString, name);
    QScopedPointer<Window2> w(Window2::instance());
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.data()));
    auto* link = w->findChild<QLabel*>(name);
    QVERIFY(link);
    QLabel* other = link == w->StaticText2 ? w->StaticText3 : w->StaticText2;

    const int textSize = link->font().pixelSize();
    QTest::mouseMove(w.data(), cBackground);
    QTest::mouseMove(link, link->rect().center());
    QTRY_COMPARE(textColor(link), QColor(0, 0, 255));
    QVERIFY(link->font().underline());
    // Only the link under the pointer changes.
    QCOMPARE(textColor(other), QColor(0, 0, 0));
    QVERIFY(!other->font().underline());

    QTest::mouseMove(w.data(), cBackground);
    QTRY_COMPARE(textColor(link), QColor(0, 0, 0));
    QVERIFY(!link->font().underline());
    QVERIFY(link->font().bold());
    QCOMPARE(link->font().pixelSize(), textSize);
}

void TestWindow2::linkPressOpensTheShownUrl_data()
{
    QTest::addColumn<bool>("welcome");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("url");
    QTest::newRow("about, web") << false << "StaticText2" << QStringLiteral(VANTOR_WEB_URL);
    QTest::newRow("about, mail") << false << "StaticText3" << QStringLiteral(VANTOR_MAIL_URL);
    QTest::newRow("welcome, web") << true << "StaticText2" << QStringLiteral(VANTOR_WEB_URL);
    QTest::newRow("welcome, mail") << true << "StaticText3" << QStringLiteral(VANTOR_MAIL_URL);
}

void TestWindow2::linkPressOpensTheShownUrl()
{
    QFETCH(bool, welcome);
    QFETCH(QString, name);
    QFETCH(QString, url);
    bool openAfterPress = false;
    QString shown;
    whenShown([&](Window2* w) {
        auto* link = w->findChild<QLabel*>(name);
        shown = link->text();
        QTest::mouseClick(link, Qt::LeftButton);
        QCoreApplication::processEvents();
        openAfterPress = w->isVisible();
        w->close();
    });
    if (welcome)
        Window2::instance()->Welcome();
    else
        Window2::ShowAbout();
    QVERIFY(openAfterPress);
    QCOMPARE(shown, url);
    QCOMPARE(mOpened, QStringList{url});
}

void TestWindow2::oneInstanceFreshEachTime()
{
    QPointer<Window2> first = Window2::instance();
    QCOMPARE(Window2::instance(), first.data());
    whenShown([](Window2* w) { w->close(); });
    first->Welcome();
    QTRY_VERIFY(first.isNull()); // gone once closed
    QScopedPointer<Window2> second(Window2::instance());
    QVERIFY(!second->mWelcome);
    QVERIFY(!second->Timer1.isActive());
}

void TestWindow2::artworkIsSharpAtDoubleScale()
{
    for (qreal dpr : {1.0, 2.0}) {
        const QPixmap icon = Artwork::icon01_48(dpr);
        const QPixmap logo = Artwork::Logo(dpr);
        QCOMPARE(icon.deviceIndependentSize().toSize(), QSize(48, 48));
        QCOMPARE(logo.deviceIndependentSize().toSize(), QSize(240, 40));
        // Drawn at the full device resolution, not scaled up.
        QCOMPARE(icon.size(), QSize(48, 48) * dpr);
        QCOMPARE(logo.size(), QSize(240, 40) * dpr);
    }
    // Something is drawn: the icon is not blank, and its corners stay clear.
    const QImage image = Artwork::icon01_48(1.0).toImage();
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            opaque += qAlpha(image.pixel(x, y)) == 255;
    }
    QVERIFY(opaque > 48 * 48 / 5);
    QVERIFY(!Artwork::AppIcon().availableSizes().isEmpty());
}

QTEST_MAIN(TestWindow2)
#include "tst_Window2.moc"
