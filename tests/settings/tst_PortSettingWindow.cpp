#include "FakeSerial.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "settings/PortSettingWindow.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace std::chrono_literals;

namespace {
const QString cProgram = QStringLiteral("VantorController IR");

// Preferences before the dialog opens, and the rows it must select.
struct Shown
{
    const char* name;
    QStringList ports = {"ttyS0", "ttyUSB0", "Virtual QMC-4410"};
    const char* chosen = ""; // the remembered port; empty: none
    int type = 0;            // ConnectType
    int size = 1;            // WirelessWriteSize
    bool keep = false;       // NotAutoDisconnect
    int portRow = 0;
    int typeRow = 0;
    int sizeRow = 0;
};

} // namespace
Q_DECLARE_METATYPE(Shown)

class TestPortSettingWindow : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        mBase = std::make_unique<QTemporaryDir>();
        gPref = new PreferClass(cProgram, mBase->path());
    }

    void cleanup()
    {
        delete gTw; // clears gTw
        delete gPref;
        gPref = nullptr;
        SerialPorts::clearOverride();
        qDeleteAll(mDevices);
        mDevices.clear();
    }

    void shownAndStoredByOk_data()
    {
        QTest::addColumn<Shown>("r");
        const QStringList twins{"ttyS0", "rfcomm0", "RFCOMM0", "ttyS1"};
        const Shown rows[] = {
            {.name = "two of that name, in another case: the first",
             .ports = twins,
             .chosen = "Rfcomm0",
             .portRow = 1},
            {.name = "missing port: row 0", .chosen = "ttyACM7"},
            {.name = "no ports: the old port stays",
             .ports = {},
             .chosen = "ttyUSB0",
             .portRow = -1},
            {.name = "wireless", .type = 1, .size = 5, .keep = true, .typeRow = 1, .sizeRow = 4},
            // Values out of range (an edited file) show the nearest row, which OK stores.
            {.name = "type 9, size 40", .type = 9, .size = 40, .typeRow = 2, .sizeRow = 15},
            {.name = "type -4, size 0", .type = -4, .size = 0},
        };
        for (const Shown& r : rows)
            QTest::newRow(r.name) << r;
    }

    void shownAndStoredByOk()
    {
        QFETCH(Shown, r);
        setPorts(r.ports);
        if (!QString(r.chosen).isEmpty())
            gPref->mPortInfo = SerialPortInfo(SerialPortEntry{r.chosen, {}, {}, {}});
        gPref->mConnectType = r.type;
        gPref->mWirelessWriteSize = r.size;
        gPref->mNotAutoDisconnect = r.keep;
        QStringList shownRows;
        QList<int> seen;
        const int result = runDialog([&](PortSettingWindow* dialog) {
            for (int i = 0; i < dialog->PortPM->count(); ++i)
                shownRows << dialog->PortPM->itemText(i);
            seen = {dialog->PortPM->currentIndex(), dialog->ConnectTypePM->currentIndex(),
                    dialog->WirelessDataSizePM->currentIndex(),
                    dialog->WirelessDataSizePM->isVisible(),
                    dialog->NotAutoDisconnectCB->isChecked()};
            QTest::mouseClick(dialog->OkPB, Qt::LeftButton);
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(shownRows, r.ports); // the current ports, listed afresh at each opening
        // The size popup is never visible.
        QCOMPARE(seen, (QList<int>{r.portRow, r.typeRow, r.sizeRow, false, r.keep}));
        // OK stores the selected port (with no ports, the one chosen before stays) and the rest.
        const auto saved = reload();
        QCOMPARE(saved->mPortInfo ? saved->mPortInfo->mName : QString(),
                 r.portRow >= 0 ? r.ports[r.portRow] : QString(r.chosen));
        QCOMPARE(
            (QList<int>{saved->mConnectType, saved->mWirelessWriteSize, saved->mNotAutoDisconnect}),
            (QList<int>{r.typeRow, r.sizeRow + 1, r.keep}));
    }

    void editAndClose_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::newRow("OK stores all four settings, the open link stays") << true;
        QTest::newRow("Cancel forgets the port in memory only") << false;
    }

    void editAndClose()
    {
        QFETCH(bool, ok);
        gPref->mConnectType = 1;
        gPref->mWirelessWriteSize = 7;
        gPref->mNotAutoDisconnect = true;
        setPorts({"ttyS0", "ttyUSB0", "Virtual QMC-4410"});
        auto* controller = new TransSepaWindow(gPref);
        gPref->SetPortInfo(SerialPorts::at(0));
        controller->setSerialPort(SerialPorts::at(0));
        QVERIFY(controller->RbPortOpen());
        QList<bool> staysOpen;
        int nested = -5;
        const int result = runDialog([&](PortSettingWindow* dialog) {
            staysOpen << !dialog->windowFlags().testFlag(Qt::WindowCloseButtonHint);
            dialog->PortPM->setCurrentIndex(1);
            dialog->ConnectTypePM->setCurrentIndex(2); // "BlueSMiRFを使用"
            QTest::mouseClick(dialog->NotAutoDisconnectCB, Qt::LeftButton);
            // Only OK and Cancel close it: not Escape, Return or the window manager's close...
            QTest::keyClick(dialog, Qt::Key_Escape);
            QTest::keyClick(dialog, Qt::Key_Return);
            dialog->close();
            staysOpen << dialog->isVisible();
            // ...nor a second opening (e.g. by a timer), which opens no other.
            nested = PortSettingWindow::OpenModal();
            staysOpen << (PortSettingWindow::current() == dialog);
            QTest::mouseClick(ok ? dialog->OkPB : dialog->CancelPB, Qt::LeftButton);
        });
        QCOMPARE((QList<int>{result, nested}),
                 (QList<int>{ok ? QDialog::Accepted : QDialog::Rejected, QDialog::Rejected}));
        QCOMPARE(staysOpen, (QList<bool>{true, true, true}));
        QCOMPARE(gPref->mPortInfo.has_value(), ok);
        QCOMPARE(
            (QList<int>{gPref->mConnectType, gPref->mWirelessWriteSize, gPref->mNotAutoDisconnect}),
            (QList<int>{ok ? 2 : 1, 7, !ok}));
        // The file keeps the old port after Cancel: it is back after a restart.
        QCOMPARE(reload()->mPortInfo->mOutputDriverName, QString(ok ? "ttyUSB0 out" : "ttyS0 out"));
        // The link keeps talking through the open port; the next opening uses the chosen one.
        QCOMPARE(controller->link()->mSerialPort.name, QString(ok ? "ttyUSB0" : "ttyS0"));
        QVERIFY(controller->mcpOpen() && mDevices[0]->isOpen());
        QCOMPARE(mDevices[1]->openCount(), 0);
        controller->RbPortClose(true);
        QCOMPARE(controller->RbPortOpen(), ok); // after Cancel no port is chosen: nothing opens
        QCOMPARE(mDevices[1]->isOpen(), ok);
        controller->RbPortClose(true);
    }

private:
    // Runs OpenModal and drives the dialog once shown; a fail-safe closes a dialog left open
    // with the result -1.
    int runDialog(std::function<void(PortSettingWindow*)> drive)
    {
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&poll, drive] {
            PortSettingWindow* dialog = PortSettingWindow::current();
            if (dialog && dialog->isVisible() && QApplication::activeModalWidget() == dialog) {
                poll.stop();
                drive(dialog);
            }
        });
        poll.start(5ms);
        QTimer failSafe;
        failSafe.callOnTimeout(this, [] {
            if (auto* dialog = PortSettingWindow::current())
                dialog->done(-1);
        });
        failSafe.start(15s);
        return PortSettingWindow::OpenModal();
    }
    void setPorts(const QStringList& names)
    {
        QList<SerialPortEntry> entries;
        for (const QString& name : names) {
            mDevices << new FakeSerialDevice;
            entries << mDevices.last()->entry(name, name + " in", name + " out");
        }
        SerialPorts::setOverride(entries);
    }

    std::unique_ptr<PreferClass> reload() const
    {
        auto pref = std::make_unique<PreferClass>(cProgram, mBase->path());
        pref->ReadData();
        return pref;
    }

    std::unique_ptr<QTemporaryDir> mBase;
    QList<FakeSerialDevice*> mDevices;
};

QTEST_MAIN(TestPortSettingWindow)
#include "tst_PortSettingWindow.moc"
