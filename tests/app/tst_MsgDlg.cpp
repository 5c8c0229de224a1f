#include "app/MsgDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

namespace {
// What an alert showed: title, text, explanation, icon, default button, whether it had a
// parent window and was on a screen, then the visible buttons ('&' removed).
struct Alert
{
    int result = -9;
    QStringList seen;
};

// Runs MsgDlg and answers its alert: a button caption, "<Escape>" or "<Close>".
Alert runAlert(const QString& press, int icon, const QStringList& captions,
               const QStringList& texts = {"m", "", ""})
{
    Alert alert;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        const bool onScreen = QGuiApplication::screenAt(box->frameGeometry().center());
        alert.seen = {box->windowTitle(),
                      box->text(),
                      box->informativeText(),
                      QString::number(box->icon()),
                      box->defaultButton() ? box->defaultButton()->text().remove('&') : "<none>",
                      QString::number(box->parentWidget() != nullptr),
                      QString::number(onScreen)};
        QAbstractButton* pressed = nullptr;
        for (QAbstractButton* b : box->buttons())
            if (b->isVisible() && (alert.seen << b->text().remove('&')).last() == press)
                pressed = b;
        if (press == "<Escape>")
            QTest::keyClick(box, Qt::Key_Escape);
        else if (press == "<Close>")
            box->close();
        else if (pressed)
            pressed->click();
        else
            box->done(-1);
    });
    poll.start(5);
    alert.result = MsgDlg(icon, captions.value(0), captions.value(1), captions.value(2), texts[0],
                          texts[1], texts[2]);
    return alert;
}
} // namespace

class TestMsgDlg : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void result_data();
    void result();
    void texts();
    void alertStaysOnScreen();
};

void TestMsgDlg::cleanup()
{
    while (QWidget* w = QApplication::activeModalWidget())
        w->close();
}

void TestMsgDlg::result_data()
{
    QTest::addColumn<QStringList>("captions"); // action, cancel, alternate
    QTest::addColumn<QString>("press");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("buttons"); // the default first
    const QString s = QStringLiteral("開始"), c = QStringLiteral("キャンセル");
    // clang-format off
    QTest::newRow("action") << QStringList{s, c, ""} << s << 1 << QStringList{s, c};
    QTest::newRow("cancel") << QStringList{s, c, ""} << c << 0 << QStringList{s, c};
    QTest::newRow("alternate") << QStringList{"Save", "Cancel", "Discard"} << "Discard" << 2 << QStringList{"Save", "Cancel", "Discard"};
    QTest::newRow("alternate without cancel") << QStringList{"Yes", "", "Other"} << "Other" << 2 << QStringList{"Yes", "Other"};
    QTest::newRow("no caption: Qt's OK") << QStringList{"", "", ""} << "OK" << 1 << QStringList{"OK"};
    QTest::newRow("escape without cancel") << QStringList{"Yes", "", "No"} << "<Escape>" << 0 << QStringList{"Yes", "No"};
    QTest::newRow("close without cancel") << QStringList{"OK", "", ""} << "<Close>" << 0 << QStringList{"OK"};
    // clang-format on
}

void TestMsgDlg::result()
{
    QFETCH(QStringList, captions);
    QFETCH(QString, press);
    QFETCH(int, expected);
    QFETCH(QStringList, buttons);
    const Alert alert = runAlert(press, 2, captions);
    QCOMPARE(alert.result, expected);
    QCOMPARE(alert.seen.at(4), buttons.first()); // the default button
    QStringList shown = alert.seen.mid(7);
    shown.sort();
    buttons.sort();
    QCOMPARE(shown, buttons);
}

void TestMsgDlg::texts()
{
    // The third text is the title. Icons 2, 1, 0 show QMessageBox::Critical (3),
    // Warning (2), Information (1).
    QCOMPARE(runAlert("OK", 2, {"OK"}, {"m", "e", "T"}).seen.mid(0, 4),
             (QStringList{"T", "m", "e", "3"}));
    QCOMPARE(runAlert("OK", 1, {"OK"}).seen.at(3), "2");
    QCOMPARE(runAlert("OK", 0, {"OK"}).seen.at(3), "1");
}

void TestMsgDlg::alertStaysOnScreen()
{
    // An alert is centred on the active window, unless that one is off screen.
    for (const int left : {20, -30000}) {
        QWidget window;
        window.setGeometry(left, 20, 200, 150);
        window.show();
        QApplication::setActiveWindow(&window);
        QTRY_COMPARE(QApplication::activeWindow(), &window);
        QCOMPARE(runAlert("OK", 2, {"OK"}).seen.mid(5, 2),
                 (QStringList{left > 0 ? "1" : "0", "1"}));
    }
}

QTEST_MAIN(TestMsgDlg)
#include "tst_MsgDlg.moc"
