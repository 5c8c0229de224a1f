// The About window's links when nothing on the system can open them.
#include "about/Window2.h"
#include "platform/Services.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QtTest>

namespace {
struct LinkRow
{
    const char* name;
    const char* link;  // the control clicked
    QString url;       // the address it shows
    bool handlerFound; // whether the system's URL handler opens it
};
} // namespace

Q_DECLARE_METATYPE(LinkRow)

class TestAboutLinks : public QObject
{
    Q_OBJECT
private slots:
    void unopenedLinkShowsItsAddress_data()
    {
        QTest::addColumn<LinkRow>("row");
        const LinkRow rows[] = {
            {.name = "web, no browser",
             .link = "StaticText2",
             .url = VANTOR_WEB_URL,
             .handlerFound = false},
            {.name = "mail, no mail program",
             .link = "StaticText3",
             .url = VANTOR_MAIL_URL,
             .handlerFound = false},
            {.name = "web, opened",
             .link = "StaticText2",
             .url = VANTOR_WEB_URL,
             .handlerFound = true},
        };
        for (const LinkRow& row : rows)
            QTest::newRow(row.name) << row;
    }
    void unopenedLinkShowsItsAddress()
    {
        QFETCH(LinkRow, row);
        QStringList asked;
        Services::setShowUrlHook(
            [&](const QString& url) { return asked.append(url), row.handlerFound; });
        QPointer<Window2> w = Window2::instance();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        auto* link = w->findChild<QLabel*>(QLatin1String(row.link));
        QTest::mouseClick(link, Qt::LeftButton, {}, link->rect().center());
        QCOMPARE(asked, QStringList{row.url});
        auto* box = w->findChild<QMessageBox*>(QStringLiteral("AddressBox"));
        if (row.handlerFound) {
            QVERIFY(!box);
        } else {
            QTRY_VERIFY(box && box->isVisible());
            QVERIFY(box->text().endsWith(row.url));                           // shown whole
            QVERIFY(box->textInteractionFlags() & Qt::TextSelectableByMouse); // and copyable
            box->accept();
            QTRY_VERIFY(!w->findChild<QMessageBox*>(QStringLiteral("AddressBox")));
        }
        QVERIFY(w->isVisible()); // the About window stays
        w->close();
        QTRY_VERIFY(!w);
        Services::setShowUrlHook({});
    }
};

QTEST_MAIN(TestAboutLinks)
#include "tst_AboutLinks.moc"
