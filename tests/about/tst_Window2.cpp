#include "about/Artwork.h"
#include "about/Window2.h"
#include "platform/Services.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QtTest>

using namespace std::chrono_literals;

namespace {
const QPoint cBackground(30, 80); // clear of every control
const QString cWeb = QStringLiteral(VANTOR_WEB_URL);
const QString cMail = QStringLiteral(VANTOR_MAIL_URL);

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
    void layout();
    void clickRules_data();
    void clickRules();
    void linkHover();

private:
    QStringList mOpened;
};

void TestWindow2::init()
{
    mOpened.clear();
    Services::setShowUrlHook([this](const QString& url) { return mOpened.append(url), true; });
}

void TestWindow2::cleanup()
{
    Services::setShowUrlHook({});
    if (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
}

void TestWindow2::layout()
{
    const QString savedVersion = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationVersion("10.0.3");
    QScopedPointer<Window2> w(Window2::instance());
    QCoreApplication::setApplicationVersion(savedVersion);
    QCOMPARE(w->windowTitle(), QStringLiteral("VantorController IR"));
    QVERIFY(w->minimumSize() == QSize(330, 150) && w->maximumSize() == QSize(330, 150));
    QVERIFY(!w->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::white));
    QCOMPARE(w->Timer1.intervalAsDuration(), 1500ms);

    const std::tuple<QLabel*, QRect, int, QString> texts[] = {
        {w->StaticText1, {-27, 125, 347, 20}, 10, QStringLiteral(VANTOR_CREDITS)},
        {w->StaticText2, {135, 110, 183, 16}, 11, cWeb},
        {w->StaticText3, {135, 90, 183, 16}, 11, cMail},
        {w->StaticText4, {218, 69, 100, 20}, 14, "v10.0.3"},
    };
    for (const auto& [label, geometry, textSize, text] : texts) {
        QCOMPARE(label->geometry(), geometry);
        QCOMPARE(label->text(), text);
        QVERIFY(label->font().bold() && textColor(label) == QColor(Qt::black));
        // The layout's size, made smaller only when the text would be cut.
        QFont full = label->font();
        full.setPixelSize(textSize);
        const bool fits = QFontMetrics(full).horizontalAdvance(text) <= geometry.width() - 2;
        QVERIFY(fits ? label->font().pixelSize() == textSize
                     : label->font().pixelSize() < textSize);
        QVERIFY(QFontMetrics(label->font()).horizontalAdvance(text) <= geometry.width());
    }
    // The pictures fill their canvases, drawn at the full device resolution.
    for (const auto& [canvas, geometry] : {std::pair(w->Canvas1, QRect(10, 8, 48, 48)),
                                           std::pair(w->Canvas2, QRect(70, 10, 240, 40))})
        QVERIFY(canvas->geometry() == geometry &&
                canvas->pixmap().deviceIndependentSize() == geometry.size());
    QVERIFY(Artwork::icon01_48(2.0).size() == QSize(96, 96) &&
            Artwork::Logo(2.0).size() == QSize(480, 80));
    const QImage icon = Artwork::icon01_48(1.0).toImage();
    int opaque = 0; // a clear corner, much drawn
    for (int i = 0; i < 48 * 48; ++i)
        opaque += qAlpha(icon.pixel(i % 48, i / 48)) == 255;
    QVERIFY(qAlpha(icon.pixel(0, 0)) == 0 && opaque > 48 * 48 / 5);
}

void TestWindow2::clickRules_data()
{
    QTest::addColumn<bool>("welcome");
    QTest::addColumn<QStringList>("clicks"); // control names, "" for the background
    QTest::addColumn<QStringList>("opened");
    QTest::addColumn<QString>("end"); // "timer", "close" or "background"
    // clang-format off
    QTest::newRow("welcome: all clicks ignored, timer closes") << true << QStringList{"", "StaticText1", "Canvas2"} << QStringList{} << "timer";
    QTest::newRow("welcome: both links, then closed early") << true << QStringList{"StaticText2", "StaticText3"} << QStringList{cWeb, cMail} << "close";
    QTest::newRow("about: controls ignored, background closes") << false << QStringList{"StaticText1", "StaticText4", "Canvas1"} << QStringList{} << "background";
    QTest::newRow("about: both links") << false << QStringList{"StaticText3", "StaticText2"} << QStringList{cMail, cWeb} << "background";
    // clang-format on
}

void TestWindow2::clickRules()
{
    QFETCH(bool, welcome);
    QFETCH(QStringList, clicks);
    QFETCH(QStringList, opened);
    QFETCH(QString, end);
    QList<bool> states; // welcome mode, timer running, still open after the clicks
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto* w = qobject_cast<Window2*>(QApplication::activeModalWidget());
        if (!w)
            return;
        poll.stop();
        states << w->mWelcome << w->Timer1.isActive();
        for (const QString& name : clicks)
            name.isEmpty() ? QTest::mouseClick(w, Qt::LeftButton, {}, cBackground)
                           : QTest::mouseClick(w->findChild<QWidget*>(name), Qt::LeftButton);
        QCoreApplication::processEvents();
        states << (w->isVisible() && QApplication::activeModalWidget() == w);
        if (end == "close")
            states << (w->close() && !w->isVisible());
        else if (end == "background")
            QTest::mouseClick(w, Qt::LeftButton, {}, cBackground);
    });
    poll.start(5ms);
    bool forced = false;
    QTimer failSafe;
    failSafe.callOnTimeout(this, [&] {
        if (QWidget* modal = QApplication::activeModalWidget())
            forced = true, modal->close();
    });
    failSafe.start(15s);
    QPointer<Window2> w = Window2::instance();
    welcome ? w->Welcome() : Window2::ShowAbout();
    QVERIFY2(!forced, "the window did not close by itself");
    QCOMPARE(states, (QList<bool>{welcome, welcome, true} + QList<bool>(end == "close", true)));
    QCOMPARE(mOpened, opened);
    QTRY_VERIFY(w.isNull()); // deleted once closed: the next showing starts afresh
}

void TestWindow2::linkHover()
{
    QScopedPointer<Window2> w(Window2::instance());
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.data()));
    for (auto [link, other] :
         {std::pair(w->StaticText2, w->StaticText3), std::pair(w->StaticText3, w->StaticText2)}) {
        const int textSize = link->font().pixelSize();
        QTest::mouseMove(link, link->rect().center());
        QTRY_COMPARE(textColor(link), QColor(0, 0, 255));
        QVERIFY(link->font().underline() && !other->font().underline());
        QCOMPARE(textColor(other), QColor(0, 0, 0)); // only the link under the pointer
        QTest::mouseMove(w.data(), cBackground);
        QTRY_COMPARE(textColor(link), QColor(0, 0, 0));
        QVERIFY(!link->font().underline() && link->font().bold());
        QCOMPARE(link->font().pixelSize(), textSize);
    }
}

QTEST_MAIN(TestWindow2)
#include "tst_Window2.moc"
