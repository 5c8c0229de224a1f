#include "app/MsgDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <functional>

namespace {
struct Seen
{
    QString title, text, informative, defaultButton;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons; // visible ones, '&' removed
    QWidget* parent = nullptr;
    bool onScreen = false;
};

// Runs MsgDlg; once its alert shows, records what it shows and lets `answer` reply.
int runAlert(Seen& seen, const std::function<void(QMessageBox*)>& answer, int icon,
             const QString& action, const QString& cancel = {}, const QString& alternate = {},
             const QString& message = QStringLiteral("m"), const QString& explanation = {},
             const QString& title = {})
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        seen = {box->windowTitle(),
                box->text(),
                box->informativeText(),
                box->defaultButton() ? box->defaultButton()->text().remove('&') : QString(),
                box->icon(),
                {},
                box->parentWidget(),
                QGuiApplication::screenAt(box->frameGeometry().center()) != nullptr};
        for (QAbstractButton* b : box->buttons())
            if (b->isVisible())
                seen.buttons << b->text().remove('&');
        answer(box);
    });
    poll.start(5);
    return MsgDlg(icon, action, cancel, alternate, message, explanation, title);
}

void clickFirst(QMessageBox* box)
{
    box->buttons().first()->click();
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
    void alertStaysOnScreen_data();
    void alertStaysOnScreen();
};

void TestMsgDlg::cleanup()
{
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
    QTest::addColumn<QStringList>("buttons"); // the default first

    const QString s = QStringLiteral("開始"), c = QStringLiteral("キャンセル");
    // clang-format off
    QTest::newRow("action") << s << c << "" << s << 1 << QStringList{s, c};
    QTest::newRow("cancel") << s << c << "" << c << 0 << QStringList{s, c};
    QTest::newRow("alternate") << "Save" << "Cancel" << "Discard" << "Discard" << 2 << QStringList{"Save", "Cancel", "Discard"};
    QTest::newRow("alternate without cancel") << "Yes" << "" << "Other" << "Other" << 2 << QStringList{"Yes", "Other"};
    QTest::newRow("only action: one button") << "OK" << "" << "" << "OK" << 1 << QStringList{"OK"};
    QTest::newRow("no caption: Qt's OK") << "" << "" << "" << "OK" << 1 << QStringList{"OK"};
    QTest::newRow("escape with cancel") << s << c << "" << "<Escape>" << 0 << QStringList{s, c};
    QTest::newRow("escape without cancel") << "Yes" << "" << "No" << "<Escape>" << 0 << QStringList{"Yes", "No"};
    QTest::newRow("close without cancel") << "OK" << "" << "" << "<Close>" << 0 << QStringList{"OK"};
    // clang-format on
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
    const int got = runAlert(
        seen,
        [&](QMessageBox* box) {
            pressed = true;
            if (press == "<Escape>")
                return QTest::keyClick(box, Qt::Key_Escape);
            if (press == "<Close>")
                return void(box->close());
            for (QAbstractButton* b : box->buttons())
                if (b->isVisible() && b->text().remove('&') == press)
                    return b->click();
            pressed = false;
            box->done(-1);
        },
        2, action, cancel, alternate);
    QVERIFY(pressed);
    QCOMPARE(got, expected);
    QCOMPARE(seen.defaultButton, buttons.first());
    std::sort(seen.buttons.begin(), seen.buttons.end());
    std::sort(buttons.begin(), buttons.end());
    QCOMPARE(seen.buttons, buttons);
}

void TestMsgDlg::texts_data()
{
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("explanation");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("shownIcon");
    QTest::newRow("stop")
        << 2
        << QStringLiteral("コントローラーに転送されているプログラムをコンピュータに読込みます。")
        << QStringLiteral("読込みには、少々時間がかかります。宜しいですか？")
        << QStringLiteral("プログラムの読込み") << int(QMessageBox::Critical);
    QTest::newRow("caution") << 1 << "m"
                             << ""
                             << "" << int(QMessageBox::Warning);
    QTest::newRow("note, only a title") << 0 << ""
                                        << ""
                                        << "T" << int(QMessageBox::Information);
}

void TestMsgDlg::texts()
{
    QFETCH(int, icon);
    QFETCH(QString, message);
    QFETCH(QString, explanation);
    QFETCH(QString, title);
    QFETCH(int, shownIcon);
    Seen seen;
    runAlert(seen, clickFirst, icon, "OK", {}, {}, message, explanation, title);
    QCOMPARE(seen.title, title);
    QCOMPARE(seen.text, message);
    QCOMPARE(seen.informative, explanation);
    QCOMPARE(int(seen.icon), shownIcon);
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
    window.setGeometry(left, 20, 200, 150);
    window.show();
    QApplication::setActiveWindow(&window);
    QTRY_COMPARE(QApplication::activeWindow(), &window);
    Seen seen;
    runAlert(seen, clickFirst, 2, "OK");
    QCOMPARE(seen.parent == &window, parented);
    QVERIFY(seen.onScreen);
}

QTEST_MAIN(TestMsgDlg)
#include "tst_MsgDlg.moc"
