#include "app/MsgDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <functional>

namespace {
// What the alert showed: title, text, explanation, icon, default button, then
// the visible buttons ('&' removed).
using Seen = QStringList;

// Runs MsgDlg; once its alert shows, records what it shows and lets `answer` reply.
int runAlert(Seen& seen, const std::function<void(QMessageBox*)>& answer, int icon,
             const QString& action, const QString& cancel = {}, const QString& alternate = {},
             const QString& message = "m", const QString& explanation = {},
             const QString& title = {})
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        seen = {box->windowTitle(), box->text(), box->informativeText(),
                QString::number(box->icon()),
                box->defaultButton() ? box->defaultButton()->text().remove('&') : "<none>"};
        for (QAbstractButton* b : box->buttons())
            if (b->isVisible())
                seen << b->text().remove('&');
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
    QTest::addColumn<QString>("press");        // a caption, or "<Escape>" / "<Close>"
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("buttons"); // the default first
    const QString s = QStringLiteral("開始"), c = QStringLiteral("キャンセル");
    // clang-format off
    QTest::newRow("action") << QStringList{s, c, ""} << s << 1 << QStringList{s, c};
    QTest::newRow("cancel") << QStringList{s, c, ""} << c << 0 << QStringList{s, c};
    QTest::newRow("alternate") << QStringList{"Save", "Cancel", "Discard"} << "Discard" << 2 << QStringList{"Save", "Cancel", "Discard"};
    QTest::newRow("alternate without cancel") << QStringList{"Yes", "", "Other"} << "Other" << 2 << QStringList{"Yes", "Other"};
    QTest::newRow("only action: one button") << QStringList{"OK", "", ""} << "OK" << 1 << QStringList{"OK"};
    QTest::newRow("no caption: Qt's OK") << QStringList{"", "", ""} << "OK" << 1 << QStringList{"OK"};
    QTest::newRow("escape with cancel") << QStringList{s, c, ""} << "<Escape>" << 0 << QStringList{s, c};
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
    Seen seen;
    bool pressed = false;
    const auto answer = [&](QMessageBox* box) {
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
    };
    QCOMPARE(runAlert(seen, answer, 2, captions[0], captions[1], captions[2]), expected);
    QVERIFY(pressed);
    QCOMPARE(seen.at(4), buttons.first()); // the default button
    seen = seen.mid(5);
    std::sort(seen.begin(), seen.end());
    std::sort(buttons.begin(), buttons.end());
    QCOMPARE(seen, buttons);
}

void TestMsgDlg::texts()
{
    const QString message = QStringLiteral("コントローラーに転送されているプログラムを"
                                           "コンピュータに読込みます。"),
                  explanation = QStringLiteral("読込みには、少々時間がかかります。宜しいですか？"),
                  title = QStringLiteral("プログラムの読込み");
    Seen seen;
    runAlert(seen, clickFirst, 2, "OK", {}, {}, message, explanation, title);
    QCOMPARE(seen.mid(0, 4),
             (QStringList{title, message, explanation, QString::number(QMessageBox::Critical)}));
    runAlert(seen, clickFirst, 1, "OK", {}, {}, "m", {}, {});
    QCOMPARE(seen.mid(0, 4), (QStringList{"", "m", "", QString::number(QMessageBox::Warning)}));
    runAlert(seen, clickFirst, 0, "OK", {}, {}, {}, {}, "T");
    QCOMPARE(seen.mid(0, 4), (QStringList{"T", "", "", QString::number(QMessageBox::Information)}));
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
        QWidget* parent = &window;
        bool onScreen = false;
        Seen seen;
        const auto answer = [&](QMessageBox* box) {
            parent = box->parentWidget();
            onScreen = QGuiApplication::screenAt(box->frameGeometry().center()) != nullptr;
            clickFirst(box);
        };
        runAlert(seen, answer, 2, "OK");
        QCOMPARE(parent == &window, left > 0);
        QVERIFY(onScreen);
    }
}

QTEST_MAIN(TestMsgDlg)
#include "tst_MsgDlg.moc"
