#include "FakeSerial.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "settings/PortSettingWindow.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <limits>
#include <memory>

using namespace std::chrono_literals;

namespace {
const QString cProgram = QStringLiteral("VantorController IR");

QStringList rowsOf(const QComboBox* box)
{
    QStringList rows;
    for (int i = 0; i < box->count(); ++i)
        rows << box->itemText(i);
    return rows;
}
} // namespace

class TestPortSettingWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void layout();
    void preselectsTheChosenPort_data();
    void preselectsTheChosenPort();
    void storedOptions_data();
    void storedOptions();
    void okStoresAllFourSettingsAndKeepsTheOpenLink();
    void okWithNoPortsKeepsTheChosenPort();
    void cancelForgetsThePortInMemoryOnly();
    void onlyOkAndCancelCloseItOnce();

private:
    // Runs OpenModal, drives the dialog once it shows; a dialog left open is closed
    // after a while so a failing check cannot hang the run (mForced tells).
    int runDialog(std::function<void(PortSettingWindow*)> drive);
    void setPorts(const QStringList& names);
    QByteArray fileBytes() const;
    std::unique_ptr<PreferClass> reload() const;

    std::unique_ptr<QTemporaryDir> mBase;
    QList<FakeSerialDevice*> mDevices;
    bool mForced = false;
};

void TestPortSettingWindow::init()
{
    mBase = std::make_unique<QTemporaryDir>();
    gPref = new PreferClass(cProgram, mBase->path());
    QVERIFY(!gPref->mFile.isEmpty());
    mForced = false;
}

void TestPortSettingWindow::cleanup()
{
    if (auto* dialog = PortSettingWindow::current())
        dialog->done(QDialog::Rejected);
    delete gTw; // clears gTw
    delete gPref;
    gPref = nullptr;
    SerialPorts::clearOverride();
    qDeleteAll(mDevices);
    mDevices.clear();
}

int TestPortSettingWindow::runDialog(std::function<void(PortSettingWindow*)> drive)
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
    QTimer::singleShot(15s, this, [this] {
        if (auto* dialog = PortSettingWindow::current())
            mForced = true, dialog->done(-1);
    });
    return PortSettingWindow::OpenModal();
}

void TestPortSettingWindow::setPorts(const QStringList& names)
{
    QList<SerialPortEntry> entries;
    for (const QString& name : names) {
        mDevices << new FakeSerialDevice;
        entries << mDevices.last()->entry(name, name + " in", name + " out");
    }
    SerialPorts::setOverride(entries);
}

QByteArray TestPortSettingWindow::fileBytes() const
{
    QFile file(gPref->mFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::unique_ptr<PreferClass> TestPortSettingWindow::reload() const
{
    auto pref = std::make_unique<PreferClass>(cProgram, mBase->path());
    pref->ReadData();
    return pref;
}

void TestPortSettingWindow::layout()
{
    setPorts({"ttyS0", "ttyUSB0"});
    PortSettingWindow dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("通信方式の設定..."));
    QCOMPARE(dialog.minimumSize(), QSize(360, 180));
    QCOMPARE(dialog.maximumSize(), QSize(360, 180));
    QCOMPARE(dialog.palette().color(QPalette::Window), QColor(224, 224, 224));
    QCOMPARE(dialog.windowModality(), Qt::ApplicationModal);
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!dialog.OkPB->autoDefault() && !dialog.CancelPB->autoDefault()); // Return presses none

    struct Control
    {
        const char* name;
        QRect geometry;
        int textSize;
        QString text;
    };
    const Control controls[] = {
        {"PortPM", {104, 40, 236, 20}, 12, "ttyS0"},
        {"OkPB", {271, 144, 69, 20}, 12, "OK"},
        {"CancelPB", {159, 144, 100, 20}, 12, "キャンセル"},
        {"StaticText1", {7, 43, 90, 20}, 11, "シリアルポート: "},
        {"StaticText2", {14, 11, 340, 20}, 12, "QMC-4410が接続されているポートを選択して下さい..."},
        {"NotAutoDisconnectCB", {108, 104, 188, 20}, 11, "自動で切断しない"},
        {"ConnectTypePM", {104, 72, 160, 20}, 11, "直結"},
        {"ConnectTypeST", {7, 75, 90, 20}, 11, "接続方法："},
        {"DisconnectST", {7, 107, 90, 20}, 11, "切断："},
        {"WirelessDataSizePM", {277, 72, 60, 20}, 11, "1"},
    };
    for (const Control& c : controls) {
        auto* w = dialog.findChild<QWidget*>(c.name);
        QVERIFY2(w, c.name);
        QCOMPARE(w->geometry(), c.geometry);
        QCOMPARE(w->font().pixelSize(), c.textSize);
        if (auto* label = qobject_cast<QLabel*>(w))
            QCOMPARE(label->text(), c.text);
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            QCOMPARE(button->text(), c.text);
        else
            QCOMPARE(qobject_cast<QComboBox*>(w)->currentText(), c.text);
    }
    QCOMPARE(dialog.StaticText1->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QCOMPARE(rowsOf(dialog.ConnectTypePM),
             (QStringList{"直結", "無線モジュールを使用", "BlueSMiRFを使用"}));
    QCOMPARE(dialog.WirelessDataSizePM->count(), 16);
    QCOMPARE(dialog.WirelessDataSizePM->itemText(15), QStringLiteral("16"));
}

void TestPortSettingWindow::preselectsTheChosenPort_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QString>("chosen"); // empty: no port chosen
    QTest::addColumn<int>("row");
    const QStringList three{"ttyS0", "ttyUSB0", "Virtual QMC-4410"};
    QTest::newRow("present") << three << "ttyUSB0" << 1;
    QTest::newRow("last row, other letter case") << three << "virtual qmc-4410" << 2;
    QTest::newRow("two rows of that name: the first")
        << QStringList{"ttyS0", "rfcomm0", "RFCOMM0", "ttyS1"} << "Rfcomm0" << 1;
    QTest::newRow("no longer present: row 0") << three << "ttyACM7" << 0;
    QTest::newRow("none chosen: row 0") << three << "" << 0;
    QTest::newRow("no ports: nothing selected") << QStringList{} << "ttyUSB0" << -1;
}

void TestPortSettingWindow::preselectsTheChosenPort()
{
    QFETCH(QStringList, ports);
    QFETCH(QString, chosen);
    QFETCH(int, row);
    setPorts(ports);
    if (!chosen.isEmpty()) {
        SerialPortInfo info;
        info.mName = chosen;
        gPref->mPortInfo = info;
    }
    QStringList shownRows, elements;
    int selected = -2;
    const int result = runDialog([&](PortSettingWindow* dialog) {
        shownRows = rowsOf(dialog->PortPM);
        for (const SerialPortEntry& e : dialog->mSerialPort)
            elements << e.name;
        selected = dialog->PortPM->currentIndex();
        QTest::mouseClick(dialog->CancelPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Rejected));
    QCOMPARE(shownRows, ports); // the current ports, listed afresh at each opening
    QCOMPARE(elements, ports);
    QCOMPARE(selected, row);
}

void TestPortSettingWindow::storedOptions_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("notAuto");
    QTest::addColumn<int>("typeRow");
    QTest::addColumn<int>("sizeRow");
    QTest::addColumn<bool>("sizeEnabled");
    // Values out of range (an edited file) show the nearest row, which OK stores.
    QTest::newRow("direct") << 0 << 5 << false << 0 << 4 << false;
    QTest::newRow("wireless module") << 1 << 1 << true << 1 << 0 << true;
    QTest::newRow("BlueSMiRF, 16") << 2 << 16 << false << 2 << 15 << false;
    QTest::newRow("type -4, size 0") << -4 << 0 << true << 0 << 0 << false;
    QTest::newRow("type 9, size 40") << 9 << 40 << false << 2 << 15 << false;
    QTest::newRow("extremes") << std::numeric_limits<int>::max() << std::numeric_limits<int>::min()
                              << false << 2 << 0 << false;
}

void TestPortSettingWindow::storedOptions()
{
    QFETCH(int, type);
    QFETCH(int, size);
    QFETCH(bool, notAuto);
    QFETCH(int, typeRow);
    QFETCH(int, sizeRow);
    QFETCH(bool, sizeEnabled);
    setPorts({"ttyUSB0"});
    gPref->mConnectType = type;
    gPref->mWirelessWriteSize = size;
    gPref->mNotAutoDisconnect = notAuto;
    int shownType = -1, shownSize = -1;
    bool enabled = !sizeEnabled, visible = true, ticked = !notAuto;
    const int result = runDialog([&](PortSettingWindow* dialog) {
        shownType = dialog->ConnectTypePM->currentIndex();
        shownSize = dialog->WirelessDataSizePM->currentIndex();
        enabled = dialog->WirelessDataSizePM->isEnabled();
        visible = dialog->WirelessDataSizePM->isVisible();
        ticked = dialog->NotAutoDisconnectCB->isChecked();
        QTest::mouseClick(dialog->OkPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(shownType, typeRow);
    QCOMPARE(shownSize, sizeRow);
    QCOMPARE(enabled, sizeEnabled);
    QVERIFY(!visible); // never shown to the user
    QCOMPARE(ticked, notAuto);
    const auto saved = reload();
    QCOMPARE(saved->mConnectType, typeRow);
    QCOMPARE(saved->mWirelessWriteSize, sizeRow + 1);
    QCOMPARE(saved->mNotAutoDisconnect, notAuto);
}

void TestPortSettingWindow::okStoresAllFourSettingsAndKeepsTheOpenLink()
{
    setPorts({"ttyS0", "ttyUSB0", "Virtual QMC-4410"});
    auto* controller = new TransSepaWindow(gPref);
    gPref->mWirelessWriteSize = 7;
    gPref->mNotAutoDisconnect = true;
    gPref->SetPortInfo(SerialPorts::at(0));
    controller->setSerialPort(SerialPorts::at(0));
    QVERIFY(controller->RbPortOpen());

    const int result = runDialog([&](PortSettingWindow* dialog) {
        dialog->PortPM->setCurrentIndex(1);
        dialog->ConnectTypePM->setCurrentIndex(2); // "BlueSMiRFを使用"
        QTest::mouseClick(dialog->NotAutoDisconnectCB, Qt::LeftButton);
        QTest::mouseClick(dialog->OkPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY(!PortSettingWindow::current());
    QCOMPARE(fileBytes(),
             QByteArray("SerialPort\nttyUSB0\nttyUSB0 in\nttyUSB0 out\nConnectType\n2\n"
                        "NotAutoDisconnect\nFalse\nWirelessWriteSize\n7\n"
                        "RBTReqests\n-1\n"));
    QCOMPARE(gPref->mPortInfo->mOutputDriverName, QStringLiteral("ttyUSB0 out"));
    QVERIFY(!gPref->mNotAutoDisconnect);
    // The link keeps talking through the open port; the next opening uses the new one.
    QCOMPARE(controller->link()->mSerialPort.name, QStringLiteral("ttyUSB0"));
    QVERIFY(controller->mcpOpen() && mDevices[0]->isOpen());
    QCOMPARE(mDevices[0]->closeCount(), 0);
    QCOMPARE(mDevices[1]->openCount(), 0);
    controller->RbPortClose(true);
    QVERIFY(controller->RbPortOpen());
    QVERIFY(mDevices[1]->isOpen());
    controller->RbPortClose(true);
}

void TestPortSettingWindow::okWithNoPortsKeepsTheChosenPort()
{
    setPorts({});
    auto* controller = new TransSepaWindow(gPref);
    SerialPortInfo info;
    info.mName = QStringLiteral("ttyUSB0");
    gPref->mPortInfo = info;
    const int result = runDialog([&](PortSettingWindow* dialog) {
        dialog->ConnectTypePM->setCurrentIndex(1);
        dialog->WirelessDataSizePM->setCurrentIndex(11);
        dialog->NotAutoDisconnectCB->setChecked(true);
        QTest::mouseClick(dialog->OkPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY(controller->link()->mSerialPort.isNull());
    QCOMPARE(fileBytes(), QByteArray("SerialPort\nttyUSB0\n\n\nConnectType\n1\nNotAutoDisconnect\n"
                                     "True\nWirelessWriteSize\n12\nRBTReqests\n-1\n"));
}

void TestPortSettingWindow::cancelForgetsThePortInMemoryOnly()
{
    setPorts({"ttyS0", "ttyUSB0"});
    auto* controller = new TransSepaWindow(gPref);
    gPref->mConnectType = 1;
    gPref->mWirelessWriteSize = 9;
    gPref->SetPortInfo(SerialPorts::at(1));
    controller->setSerialPort(SerialPorts::at(1));
    const QByteArray before = fileBytes();

    QList<bool> sizeEnabled;
    const int result = runDialog([&](PortSettingWindow* dialog) {
        dialog->PortPM->setCurrentIndex(0);
        for (int row : {2, 1, 0, 2}) {
            dialog->ConnectTypePM->setCurrentIndex(row);
            sizeEnabled << dialog->WirelessDataSizePM->isEnabled();
        }
        dialog->NotAutoDisconnectCB->setChecked(true);
        QTest::mouseClick(dialog->CancelPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Rejected));
    QCOMPARE(sizeEnabled, (QList<bool>{false, true, false, false}));
    QVERIFY(!gPref->mPortInfo);
    QCOMPARE(gPref->mConnectType, 1);
    QCOMPARE(gPref->mWirelessWriteSize, 9);
    QVERIFY(!gPref->mNotAutoDisconnect);
    QCOMPARE(controller->link()->mSerialPort.name, QStringLiteral("ttyUSB0"));
    QCOMPARE(fileBytes(), before);
    QCOMPARE(reload()->mPortInfo->mName, QStringLiteral("ttyUSB0")); // back after a restart
}

void TestPortSettingWindow::onlyOkAndCancelCloseItOnce()
{
    setPorts({"ttyUSB0"});
    gPref->mConnectType = 2;
    QList<bool> stillOpen;
    int nested = -5;
    const int result = runDialog([&](PortSettingWindow* dialog) {
        for (int i = 0; i < 3; ++i) {
            if (i == 2)
                dialog->close(); // the window manager's close
            else
                QTest::keyClick(dialog, i == 0 ? Qt::Key_Escape : Qt::Key_Return);
            stillOpen << (dialog->isVisible() && PortSettingWindow::current() == dialog);
        }
        nested = PortSettingWindow::OpenModal(); // e.g. a timer's command while it shows
        stillOpen << (PortSettingWindow::current() == dialog);
        QTest::mouseClick(dialog->CancelPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Rejected));
    QCOMPARE(nested, int(QDialog::Rejected));
    QCOMPARE(stillOpen, (QList<bool>{true, true, true, true}));
    QCOMPARE(gPref->mConnectType, 2); // Return did not press OK

    delete gPref; // without preferences there is no dialog at all
    gPref = nullptr;
    QCOMPARE(PortSettingWindow::OpenModal(), int(QDialog::Rejected));
    QVERIFY(!PortSettingWindow::current());
}

QTEST_MAIN(TestPortSettingWindow)
#include "tst_PortSettingWindow.moc"
