// The controller console against qmc-emulator on a real pseudo-terminal: a board that falls
// silent or hangs up shows in the status line once, polling retries quietly, and the console
// recovers by itself when the board is back at the same place.
#include "QmcEmulatorProcess.h"

#include "app/Module1.h"
#include "console/ConsoleJobs.h"
#include "console/ConsoleWindow.h"
#include "console/ServoPanel.h"
#include "link/TransSepaWindow.h"
#include "platform/SerialPorts.h"
#include "platform/Services.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int kWaitMs = 20000;

// A board that fails in one way, and what the console's status line says.
struct Fault
{
    const char* name;
    QStringList args;
    QString status;
    QString model; // the board's model as shown: read before the line died, or not
};

} // namespace
Q_DECLARE_METATYPE(Fault)

class TestConsolePty : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;
    int mBeeps = 0;

private slots:
    void initTestCase()
    {
        Services::setBeepHook([this] { ++mBeeps; });
        gPref = new PreferClass(QStringLiteral("VantorController IR"), mDir.path());
        new TransSepaWindow;
    }
    void cleanupTestCase()
    {
        delete gTw;
        delete std::exchange(gPref, nullptr);
        Services::setBeepHook({});
        SerialPorts::clearOverride();
    }

    void aFailingBoardShowsAndTheConsoleRecovers_data()
    {
        QTest::addColumn<Fault>("f");
        const Fault rows[] = {
            {.name = "silent", .args = {"--silent"}, .status = "応答がありません", .model = "—"},
            // The identify takes 79 bytes; the line dies in the first group read.
            {.name = "hangs up",
             .args = {"--hangup-after", "82"},
             .status = "接続が切れました",
             .model = "QM4410"},
        };
        for (const Fault& f : rows)
            QTest::newRow(f.name) << f;
    }
    void aFailingBoardShowsAndTheConsoleRecovers()
    {
        QFETCH(Fault, f);
        mBeeps = 0;
        const QString link = mDir.filePath(QStringLiteral("qmc-%1").arg(
            QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
        SerialPorts::setOverride({SerialPorts::deviceEntry(QStringLiteral("qmc"), link)});
        gPref->mPortInfo = SerialPortInfo();
        gPref->mPortInfo->mName = QStringLiteral("qmc");
        gTw->setSerialPort(SerialPortEntry()); // the link looks "qmc" up again: a new path
        auto failing = std::make_unique<QmcEmulatorProcess>();
        QVERIFY(failing->start(f.args + QStringList{"--link", link}));

        ConsoleWindow console;
        QSignalSpy failed(console.jobs(), &ConsoleJobs::lineFailed);
        QSignalSpy recovered(console.jobs(), &ConsoleJobs::lineRecovered);
        console.show();
        ServoPanel* servos = console.servoPanel();
        QTRY_VERIFY_WITH_TIMEOUT(servos->isRetrying(), kWaitMs);
        QVERIFY2(console.statusLabel()->text().startsWith(f.status),
                 qPrintable(console.statusLabel()->text()));
        QVERIFY(console.statusLabel()->text().contains(QStringLiteral("2 秒ごとに試します")));
        QCOMPARE(console.modelLabel()->text(), f.model);
        // Polling tries again quietly: told once, no alert, no beep, the port not held.
        QTest::qWait(2 * ServoPanel::cRetryMs + 500);
        QCOMPARE(failed.count(), 1);
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(mBeeps, 0);
        QVERIFY(servos->isPolling());

        // The board comes back at the same place: the console finds it by itself.
        failing.reset();
        QmcEmulatorProcess again;
        QVERIFY(again.start({"--link", link}));
        QTRY_COMPARE_WITH_TIMEOUT(recovered.count(), 1, kWaitMs);
        QCOMPARE(console.statusLabel()->text(), QStringLiteral("コントローラーが応答しました"));
        const int refreshes = servos->refreshCount();
        QTRY_VERIFY_WITH_TIMEOUT(servos->refreshCount() > refreshes + 1, kWaitMs);
        // What it read first on the new board is the servo groups from group 1.
        const QByteArray received = again.received(7);
        QCOMPARE(received.left(7).toHex(' '), QByteArray("d4 00 00 00 00 00 00"));
        QCOMPARE(failed.count(), 1);

        console.close();
        QTRY_VERIFY_WITH_TIMEOUT(!gTw->mcpOpen() && gTw->scheduler()->isIdle(), kWaitMs);
    }
};

QTEST_MAIN(TestConsolePty)
#include "tst_ConsolePty.moc"
