#include "app/MsgDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include <functional>

namespace {

struct Seen
{
    QString title;
    QString text;
    QString informative;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList visibleButtons;
    QString defaultButton;
};

// Waits for the alert to come up, records what it shows, then answers it.
// The timer lives until the test ends, so an alert that never appears only
// fails the check, and a stray one can't block the run.
class Answerer : public QObject
{
public:
    Answerer(std::function<void(QMessageBox*)> answer, Seen* seen)
        : mAnswer(std::move(answer)), mSeen(seen)
    {
        mTimer.setInterval(5);
        connect(&mTimer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            mTimer.stop();
            mSeen->title = box->windowTitle();
            mSeen->text = box->text();
            mSeen->informative = box->informativeText();
            mSeen->icon = box->icon();
            for (QAbstractButton* b : box->buttons()) {
                if (b->isVisible())
                    mSeen->visibleButtons << b->text();
            }
            if (box->defaultButton())
                mSeen->defaultButton = box->defaultButton()->text();
            mAnswer(box);
        });
        mTimer.start();
    }

private:
    QTimer mTimer;
    std::function<void(QMessageBox*)> mAnswer;
    Seen* mSeen;
};

QAbstractButton* buttonWithText(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* b : box->buttons()) {
        if (b->isVisible() && b->text() == text)
            return b;
    }
    return nullptr;
}

} // namespace

class TestMsgDlg : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void result_data();
    void result();
    void texts_data();
    void texts();
    void emptyActionKeepsQtsOk();
    void alertStaysOnScreen_data();
    void alertStaysOnScreen();
};

void TestMsgDlg::cleanup()
{
    // Never leave a modal alert behind for the next case.
    while (QWidget* w = QApplication::activeModalWidget())
        w->close();
}

void TestMsgDlg::result_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("cancel");
    QTest::addColumn<QString>("alternate");
    QTest::addColumn<QString>("press"); // a caption, or "<Escape>" / "<Close>"
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("buttons");

    const QString start = QStringLiteral("開始");
    const QString cancel = QStringLiteral("キャンセル");
    QTest::newRow("action") << start << cancel << "" << start << 1 << QStringList{start, cancel};
    QTest::newRow("cancel") << start << cancel << "" << cancel << 0 << QStringList{start, cancel};
    QTest::newRow("alternate") << "Save"
                               << "Cancel"
                               << "Discard"
                               << "Discard" << 2 << QStringList{"Save", "Cancel", "Discard"};
    QTest::newRow("alternate without cancel") << "Yes"
                                              << ""
                                              << "Other"
                                              << "Other" << 2 << QStringList{"Yes", "Other"};
    QTest::newRow("only action") << "OK"
                                 << ""
                                 << ""
                                 << "OK" << 1 << QStringList{"OK"};
    QTest::newRow("escape with cancel") << start << cancel << ""
                                        << "<Escape>" << 0 << QStringList{start, cancel};
    QTest::newRow("escape without cancel") << "OK"
                                           << ""
                                           << ""
                                           << "<Escape>" << 0 << QStringList{"OK"};
    QTest::newRow("escape, alternate, no cancel") << "Yes"
                                                  << ""
                                                  << "No"
                                                  << "<Escape>" << 0 << QStringList{"Yes", "No"};
    QTest::newRow("close without cancel") << "OK"
                                          << ""
                                          << ""
                                          << "<Close>" << 0 << QStringList{"OK"};
    QTest::newRow("close with cancel") << start << cancel << ""
                                       << "<Close>" << 0 << QStringList{start, cancel};
}

void TestMsgDlg::result()
{
    QFETCH(QString, action);
    QFETCH(QString, cancel);
    QFETCH(QString, alternate);
    QFETCH(QString, press);
    QFETCH(int, expected);
    QFETCH(QStringList, buttons);

    Seen seen;
    bool pressed = false;
    Answerer answerer(
        [&](QMessageBox* box) {
            if (press == QLatin1String("<Escape>")) {
                QTest::keyClick(box, Qt::Key_Escape);
            } else if (press == QLatin1String("<Close>")) {
                box->close();
            } else if (QAbstractButton* b = buttonWithText(box, press)) {
                b->click();
            } else {
                box->done(0);
                return;
            }
            pressed = true;
        },
        &seen);
    const int got =
        MsgDlg(2, action, cancel, alternate, QStringLiteral("message"), QString(), QString());
    QVERIFY(pressed);
    QCOMPARE(got, expected);
    QCOMPARE(seen.visibleButtons.size(), buttons.size());
    for (const QString& b : buttons)
        QVERIFY2(seen.visibleButtons.contains(b), qPrintable(b));
    QCOMPARE(seen.defaultButton, action);
}

void TestMsgDlg::texts_data()
{
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("explanation");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("expectedIcon");

    QTest::newRow("read-out question")
        << 2
        << QStringLiteral("コントローラーに転送されているプログラムをコンピュータに読込みます。")
        << QStringLiteral("読込みには、少々時間がかかります。宜しいですか？")
        << QStringLiteral("プログラムの読込み") << int(QMessageBox::Critical);
    QTest::newRow("no explanation, empty title")
        << 2 << QStringLiteral("コントローラーに接続できませんでした...") << QString() << QString()
        << int(QMessageBox::Critical);
    QTest::newRow("nothing but a title")
        << 0 << QString() << QString() << "T" << int(QMessageBox::Information);
    QTest::newRow("caution") << 1 << "m"
                             << "e"
                             << "t" << int(QMessageBox::Warning);
}

void TestMsgDlg::texts()
{
    QFETCH(int, icon);
    QFETCH(QString, message);
    QFETCH(QString, explanation);
    QFETCH(QString, title);
    QFETCH(int, expectedIcon);

    Seen seen;
    Answerer answerer([](QMessageBox* box) { box->buttons().first()->click(); }, &seen);
    MsgDlg(icon, QStringLiteral("OK"), QString(), QString(), message, explanation, title);
    QCOMPARE(seen.title, title);
    QCOMPARE(seen.text, message);
    QCOMPARE(seen.informative, explanation);
    QCOMPARE(int(seen.icon), expectedIcon);
}

void TestMsgDlg::emptyActionKeepsQtsOk()
{
    Seen seen;
    Answerer answerer(
        [](QMessageBox* box) {
            QAbstractButton* ok = box->button(QMessageBox::Ok);
            if (ok)
                ok->click();
            else
                box->done(0);
        },
        &seen);
    const int got =
        MsgDlg(2, QString(), QString(), QString(), QStringLiteral("m"), QString(), QString());
    QCOMPARE(got, 1);
    QCOMPARE(seen.visibleButtons.size(), 1);
    QCOMPARE(seen.visibleButtons.first().remove(QLatin1Char('&')), QStringLiteral("OK"));
}

void TestMsgDlg::alertStaysOnScreen_data()
{
    QTest::addColumn<int>("left");
    QTest::addColumn<bool>("parented");
    QTest::newRow("active window on screen") << 20 << true;
    QTest::newRow("active window off screen") << -30000 << false;
}

void TestMsgDlg::alertStaysOnScreen()
{
    QFETCH(int, left);
    QFETCH(bool, parented);
    QWidget window;
    window.resize(200, 150);
    window.move(left, 20);
    window.show();
    QApplication::setActiveWindow(&window);
    QTRY_COMPARE(QApplication::activeWindow(), &window);

    QWidget* parent = &window; // overwritten by what the alert had
    bool onScreen = false;
    Seen seen;
    Answerer answerer(
        [&](QMessageBox* box) {
            parent = box->parentWidget();
            onScreen = QGuiApplication::screenAt(box->frameGeometry().center()) != nullptr;
            box->buttons().first()->click();
        },
        &seen);
    MsgDlg(2, QStringLiteral("OK"), QString(), QString(), QStringLiteral("m"), QString(),
           QString());
    QCOMPARE(parent == &window, parented);
    QVERIFY(onScreen);
}

QTEST_MAIN(TestMsgDlg)
#include "tst_MsgDlg.moc"
