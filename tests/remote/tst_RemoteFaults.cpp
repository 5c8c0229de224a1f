// A click on the remote against a controller on a real pseudo-terminal that fails the way real
// lines fail: the user hears of it once, in an alert that names the likely causes, the lamp
// turns red and the port is free again; and the next click works once the controller is back.
// A stray byte before the first click is no answer to it.
#include "QmcEmulatorProcess.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "remote/MyPicBtnClass.h"
#include "remote/RemoconWindow.h"
#include "remote/RoundRectangle.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QMessageBox>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

struct Line
{
    QStringList emulator;
    QString message; // the alert's main line
    QString hint;    // part of its explanation
};

} // namespace
Q_DECLARE_METATYPE(Line)

class TestRemoteFaults : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;
    const QString mLink = mDir.filePath(QStringLiteral("ttyQMC")); // where each emulator serves
    RemoconWindow* mWin = nullptr;
    QStringList mAlerts; // message and explanation of every alert, answered as it shows
    QTimer mAnswer;

private slots:
    void initTestCase()
    {
        gPref = new PreferClass(QStringLiteral("VantorController IR"), mDir.path());
        SerialPorts::setOverride({SerialPorts::deviceEntry(QStringLiteral("qmc"), mLink)});
        gPref->mPortInfo.emplace().mName = QStringLiteral("qmc");
        gPref->mNotAutoDisconnect = false;
        new TransSepaWindow;
        mWin = new RemoconWindow;
        // Clicks write variable #2 (F8 41 01 code): every byte of them is echoed, so a stray byte
        // fails the exchange. A plain key's one byte takes any one byte as its answer, and a
        // device that sends noise can happen to send just one.
        mWin->mRemNum = 2;
        mWin->show();
        QVERIFY(QTest::qWaitForWindowExposed(mWin));
        connect(&mAnswer, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                mAlerts << box->text() + QLatin1Char('|') + box->informativeText();
                box->accept();
            }
        });
        mAnswer.start(20);
    }
    void cleanupTestCase()
    {
        delete mWin;
        delete gTw;
        delete std::exchange(gPref, nullptr);
        SerialPorts::clearOverride();
    }

    void clickOnAFailingLine_data()
    {
        QTest::addColumn<Line>("line");
        const QString wrong = QStringLiteral("コントローラーからの応答が正しくありません...");
        const QString other = QStringLiteral("コントローラー以外の機器");
        QTest::newRow("silent") << Line{{"--silent"},
                                        "コントローラーから応答がありません...",
                                        "電源、ケーブル、選択したポート"};
        QTest::newRow("random bytes") << Line{{"--noise"}, wrong, other};
        QTest::newRow("hangs up") << Line{
            {"--hangup-after", "0"}, "コントローラーとの接続が切れました...", "ケーブルが抜けたか"};
    }
    void clickOnAFailingLine()
    {
        QFETCH(Line, line);
        gTw->link()->setReplyTimeout(std::chrono::milliseconds(300));
        auto emu = std::make_unique<QmcEmulatorProcess>();
        QVERIFY(emu->start(line.emulator + QStringList{"--link", mLink}));
        mAlerts.clear();

        MyPicBtnClass* key = mWin->IRRCnv[5];
        QTest::mouseClick(key, Qt::LeftButton, {}, key->rect().center());
        QTRY_COMPARE_WITH_TIMEOUT(mAlerts.size(), 1, 5000);
        QVERIFY2(mAlerts.first().startsWith(line.message + '|'), qPrintable(mAlerts.first()));
        QVERIFY2(mAlerts.first().contains(line.hint), qPrintable(mAlerts.first()));
        // The lamp tells the truth and the port is free for another program.
        QTRY_COMPARE_WITH_TIMEOUT(mWin->ConnectOV->FillColor(), QColor(255, 0, 0), 1000);
        QVERIFY(!gTw->mcpOpen());
        if (!line.emulator.contains(QStringLiteral("--hangup-after"))) {
            QSerialPort other(emu->path);
            QVERIFY(other.open(QIODevice::ReadWrite));
        }
        // Told once: nothing more comes of it.
        QTest::qWait(500);
        QCOMPARE(mAlerts.size(), 1);
        QVERIFY(!gTw->link()->SerialBackUpTimer.isActive());

        // The controller is back at the same place: the next click goes through without a word.
        emu.reset();
        QmcEmulatorProcess again;
        QVERIFY(again.start({"--link", mLink}));
        QTest::mouseClick(key, Qt::LeftButton, {}, key->rect().center());
        QCOMPARE(again.received(4).toHex(' '), QByteArray("f8 41 01 05"));
        QTRY_VERIFY_WITH_TIMEOUT(gTw->link()->mMcpFinish && !gTw->mcpOpen(), 5000);
        QCOMPARE(mAlerts.size(), 1);
    }

    // Bytes the controller sent before the port was opened (chatter at power-on) are no answer to
    // the click: it goes through without a word.
    void chatterBeforeTheClick()
    {
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--unsolicited", "55AA", "--link", mLink}));
        mAlerts.clear();
        QTest::qWait(200); // the bytes are on the line before the port opens
        MyPicBtnClass* key = mWin->IRRCnv[5];
        QTest::mouseClick(key, Qt::LeftButton, {}, key->rect().center());
        QTRY_VERIFY_WITH_TIMEOUT(gTw->link()->mMcpFinish && !gTw->mcpOpen(), 5000);
        QCOMPARE(emu.received(4).toHex(' '), QByteArray("f8 41 01 05"));
        QVERIFY(mAlerts.isEmpty());
    }
};

QTEST_MAIN(TestRemoteFaults)
#include "tst_RemoteFaults.moc"
