#include "about/Window2.h"
#include "platform/Services.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QtTest>

using namespace std::chrono_literals;

namespace {
const QPoint cBackground(30, 80); // clear of every control
const QString cWeb = QStringLiteral(VANTOR_WEB_URL);
const QString cMail = QStringLiteral(VANTOR_MAIL_URL);

// Clicks on the window's controls ("": the background) and what they must open.
struct Clicks
{
    const char* name;
    bool welcome = true;
    QStringList clicks;
    QStringList opened = {};
    enum End
    {
        Timer,
        Close,
        Background
    } end = Background;
};
} // namespace
Q_DECLARE_METATYPE(Clicks)

class TestWindow2 : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void layout();
    void clickRules_data();
    void clickRules();
    void unopenedLinkShowsItsAddress();

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
    QCOMPARE(w->Timer1.intervalAsDuration(), 1500ms);
    QCOMPARE(w->StaticText4->text(), QStringLiteral("v10.0.3"));
    // Every text is shown whole, in black on white: a long one is drawn smaller, never cut.
    for (QLabel* label : {w->StaticText1, w->StaticText2, w->StaticText3, w->StaticText4}) {
        QVERIFY(QFontMetrics(label->font()).horizontalAdvance(label->text()) <= label->width());
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::black));
    }
    QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::white));
}

void TestWindow2::clickRules_data()
{
    QTest::addColumn<Clicks>("c");
    const Clicks rows[] = {
        {.name = "welcome: all clicks ignored, the timer closes",
         .clicks = {"", "StaticText1", "Canvas2"},
         .end = Clicks::Timer},
        {.name = "welcome: both links, then closed early",
         .clicks = {"StaticText2", "StaticText3"},
         .opened = {cWeb, cMail},
         .end = Clicks::Close},
        {.name = "about: controls ignored, the background closes",
         .welcome = false,
         .clicks = {"StaticText1", "StaticText4", "Canvas1"}},
    };
    for (const Clicks& c : rows)
        QTest::newRow(c.name) << c;
}

void TestWindow2::clickRules()
{
    QFETCH(Clicks, c);
    QList<bool> states; // welcome mode, timer running, still open after the clicks
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto* w = qobject_cast<Window2*>(QApplication::activeModalWidget());
        if (!w)
            return;
        poll.stop();
        states << w->mWelcome << w->Timer1.isActive();
        for (const QString& name : c.clicks)
            name.isEmpty() ? QTest::mouseClick(w, Qt::LeftButton, {}, cBackground)
                           : QTest::mouseClick(w->findChild<QWidget*>(name), Qt::LeftButton);
        QCoreApplication::processEvents();
        states << (w->isVisible() && QApplication::activeModalWidget() == w);
        if (c.end == Clicks::Close)
            states << (w->close() && !w->isVisible());
        else if (c.end == Clicks::Background)
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
    c.welcome ? w->Welcome() : Window2::ShowAbout();
    QVERIFY2(!forced, "the window did not close by itself");
    QCOMPARE(states,
             (QList<bool>{c.welcome, c.welcome, true} + QList<bool>(c.end == Clicks::Close, true)));
    QCOMPARE(mOpened, c.opened);
    QTRY_VERIFY(w.isNull()); // deleted once closed: the next showing starts afresh
}

// With nothing on the system to open a link, its address is shown to copy.
void TestWindow2::unopenedLinkShowsItsAddress()
{
    Services::setShowUrlHook([this](const QString& url) { return mOpened.append(url), false; });
    QPointer<Window2> w = Window2::instance();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTest::mouseClick(w->StaticText3, Qt::LeftButton, {}, w->StaticText3->rect().center());
    QCOMPARE(mOpened, QStringList{cMail});
    auto* box = w->findChild<QMessageBox*>(QStringLiteral("AddressBox"));
    QTRY_VERIFY(box && box->isVisible());
    QVERIFY(box->text().endsWith(cMail));                             // shown whole
    QVERIFY(box->textInteractionFlags() & Qt::TextSelectableByMouse); // and copyable
    box->accept();
    QVERIFY(w->isVisible()); // the About window stays
    w->close();
    QTRY_VERIFY(!w);
}

QTEST_MAIN(TestWindow2)
#include "tst_Window2.moc"
