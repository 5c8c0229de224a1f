// The About window's links when nothing on the system opens them.
#include "about/Window2.h"
#include "platform/Services.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QtTest>

class TestAboutLinks : public QObject
{
    Q_OBJECT
private slots:
    void unopenedLinkShowsItsAddress_data()
    {
        QTest::addColumn<QString>("link"); // the control clicked
        QTest::addColumn<QString>("url");  // the address it shows
        QTest::newRow("web, no browser") << "StaticText2" << VANTOR_WEB_URL;
        QTest::newRow("mail, no mail program") << "StaticText3" << VANTOR_MAIL_URL;
    }
    void unopenedLinkShowsItsAddress()
    {
        QFETCH(QString, link);
        QFETCH(QString, url);
        QStringList asked;
        Services::setShowUrlHook([&](const QString& u) { return asked.append(u), false; });
        QPointer<Window2> w = Window2::instance();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        auto* label = w->findChild<QLabel*>(link);
        QTest::mouseClick(label, Qt::LeftButton, {}, label->rect().center());
        QCOMPARE(asked, QStringList{url});
        auto* box = w->findChild<QMessageBox*>(QStringLiteral("AddressBox"));
        QTRY_VERIFY(box && box->isVisible());
        QVERIFY(box->text().endsWith(url));                               // shown whole
        QVERIFY(box->textInteractionFlags() & Qt::TextSelectableByMouse); // and copyable
        box->accept();
        QVERIFY(w->isVisible()); // the About window stays
        w->close();
        QTRY_VERIFY(!w);
        Services::setShowUrlHook({});
    }
};

QTEST_MAIN(TestAboutLinks)
#include "tst_AboutLinks.moc"
