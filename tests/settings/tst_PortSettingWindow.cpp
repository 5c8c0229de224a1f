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

    void window();
    void controls_data();
    void controls();
    void popupRows();
    void preselectsTheChosenPort_data();
    void preselectsTheChosenPort();
    void storedOptions_data();
    void storedOptions();
    void wirelessSizeEnabledOnlyForTheWirelessModule();
    void okStoresAllFourSettingsAndHandsThePortToTheLink();
    void okWhileTheLinkIsOpenKeepsTheOpenPort();
    void okWithNoPorts_data();
    void okWithNoPorts();
    void cancelForgetsThePortInMemoryOnly();
    void onlyOkAndCancelClose();
    void portListRebuiltAtEachOpening();
    void askedAgainWhileOpen();
    void noPreferencesNoDialog();

private:
    // Opens the dialog through OpenModal, runs `drive` on it once it shows,
    // and returns OpenModal's result. A dialog still open after a while is
    // closed so a failing check cannot hang the run (mForced tells).
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
    QVERIFY(mBase->isValid());
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
    mBase.reset();
}

int TestPortSettingWindow::runDialog(std::function<void(PortSettingWindow*)> drive)
{
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [poll, drive] {
        PortSettingWindow* dialog = PortSettingWindow::current();
        if (dialog && dialog->isVisible() && QApplication::activeModalWidget() == dialog) {
            poll->stop();
            poll->deleteLater();
            drive(dialog);
        }
    });
    poll->start(5ms);
    QTimer failSafe;
    failSafe.setSingleShot(true);
    connect(&failSafe, &QTimer::timeout, this, [this] {
        if (auto* dialog = PortSettingWindow::current()) {
            mForced = true;
            dialog->done(-1);
        }
    });
    failSafe.start(15s);
    return PortSettingWindow::OpenModal();
}

void TestPortSettingWindow::setPorts(const QStringList& names)
{
    QList<SerialPortEntry> entries;
    for (const QString& name : names) {
        auto* device = new FakeSerialDevice;
        mDevices << device;
        entries << device->entry(name, name + QStringLiteral(" in"), name + QStringLiteral(" out"));
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

void TestPortSettingWindow::window()
{
    std::unique_ptr<PortSettingWindow> dialog(new PortSettingWindow);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("通信方式の設定..."));
    QCOMPARE(dialog->size(), QSize(360, 180));
    QCOMPARE(dialog->minimumSize(), QSize(360, 180));
    QCOMPARE(dialog->maximumSize(), QSize(360, 180));
    QCOMPARE(dialog->palette().color(QPalette::Window), QColor(224, 224, 224));
    QVERIFY(dialog->autoFillBackground());
    QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
    const Qt::WindowFlags flags = dialog->windowFlags();
    QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(!flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    // Neither button is the default: Return does not press one.
    for (QPushButton* b : {dialog->OkPB, dialog->CancelPB}) {
        QVERIFY(!b->isDefault());
        QVERIFY(!b->autoDefault());
    }
    // Placed by hand, nothing rearranges them.
    QVERIFY(!dialog->layout());
}

void TestPortSettingWindow::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("textSize");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("alignment"); // labels only

    const int right = int(Qt::AlignRight | Qt::AlignVCenter);
    const int left = int(Qt::AlignLeft | Qt::AlignVCenter);
    QTest::newRow("PortPM") << "PortPM"
                            << "QComboBox" << QRect(104, 40, 236, 20) << 12 << "" << 0;
    QTest::newRow("OkPB") << "OkPB"
                          << "QPushButton" << QRect(271, 144, 69, 20) << 12 << "OK" << 0;
    QTest::newRow("CancelPB") << "CancelPB"
                              << "QPushButton" << QRect(159, 144, 100, 20) << 12 << "キャンセル"
                              << 0;
    QTest::newRow("StaticText1") << "StaticText1"
                                 << "QLabel" << QRect(7, 43, 90, 20) << 11
                                 << "シリアルポート: " << right;
    QTest::newRow("StaticText2") << "StaticText2"
                                 << "QLabel" << QRect(14, 11, 340, 20) << 12
                                 << "QMC-4410が接続されているポートを選択して下さい..." << left;
    QTest::newRow("NotAutoDisconnectCB")
        << "NotAutoDisconnectCB"
        << "QCheckBox" << QRect(108, 104, 188, 20) << 11 << "自動で切断しない" << 0;
    QTest::newRow("ConnectTypePM") << "ConnectTypePM"
                                   << "QComboBox" << QRect(104, 72, 160, 20) << 11 << "直結" << 0;
    QTest::newRow("ConnectTypeST")
        << "ConnectTypeST"
        << "QLabel" << QRect(7, 75, 90, 20) << 11 << "接続方法：" << right;
    QTest::newRow("DisconnectST") << "DisconnectST"
                                  << "QLabel" << QRect(7, 107, 90, 20) << 11 << "切断：" << right;
    QTest::newRow("WirelessDataSizePM") << "WirelessDataSizePM"
                                        << "QComboBox" << QRect(277, 72, 60, 20) << 11 << "1" << 0;
}

void TestPortSettingWindow::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QRect, geometry);
    QFETCH(int, textSize);
    QFETCH(QString, text);
    QFETCH(int, alignment);

    setPorts({});
    std::unique_ptr<PortSettingWindow> dialog(new PortSettingWindow);
    auto* control = dialog->findChild<QWidget*>(name);
    QVERIFY(control);
    QCOMPARE(QString::fromLatin1(control->metaObject()->className()), kind);
    QCOMPARE(control->geometry(), geometry);
    QCOMPARE(control->font().pixelSize(), textSize);
    if (auto* label = qobject_cast<QLabel*>(control)) {
        QCOMPARE(label->text(), text);
        QCOMPARE(int(label->alignment()), alignment);
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        QCOMPARE(button->text(), text);
    } else if (auto* box = qobject_cast<QComboBox*>(control)) {
        QCOMPARE(box->currentText(), text); // with the defaults: first row, no ports
    }
}

void TestPortSettingWindow::popupRows()
{
    setPorts({"ttyS0", "ttyUSB0"});
    std::unique_ptr<PortSettingWindow> dialog(new PortSettingWindow);
    QCOMPARE(rowsOf(dialog->ConnectTypePM),
             (QStringList{"直結", "無線モジュールを使用", "BlueSMiRFを使用"}));
    QStringList sizes;
    for (int i = 1; i <= 16; ++i)
        sizes << QString::number(i);
    QCOMPARE(rowsOf(dialog->WirelessDataSizePM), sizes);
    QCOMPARE(rowsOf(dialog->PortPM), (QStringList{"ttyS0", "ttyUSB0"}));
    QCOMPARE(dialog->mSerialPort.size(), 2);
    QCOMPARE(dialog->mSerialPort.at(1).name, QStringLiteral("ttyUSB0"));
    QCOMPARE(dialog->mSerialPort.at(1).outputDriverName, QStringLiteral("ttyUSB0 out"));
}

void TestPortSettingWindow::preselectsTheChosenPort_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QString>("chosen"); // empty: no port chosen
    QTest::addColumn<int>("row");

    const QStringList three{"ttyS0", "ttyUSB0", "Virtual QMC-4410"};
    QTest::newRow("present") << three << "ttyUSB0" << 1;
    QTest::newRow("last row") << three << "Virtual QMC-4410" << 2;
    QTest::newRow("letter case differs") << three << "TTYusb0" << 1;
    QTest::newRow("two rows of that name: the first")
        << QStringList{"ttyS0", "rfcomm0", "RFCOMM0", "ttyS1"} << "Rfcomm0" << 1;
    QTest::newRow("no longer present: row 0") << three << "ttyACM7" << 0;
    QTest::newRow("none chosen: row 0") << three << "" << 0;
    QTest::newRow("no ports: nothing selected") << QStringList{} << "ttyUSB0" << -1;
    QTest::newRow("no ports, none chosen") << QStringList{} << "" << -1;
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
    QStringList shownRows;
    QStringList elements;
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
    QCOMPARE(shownRows, ports);
    QCOMPARE(elements, ports); // row i and element i name the same port
    QCOMPARE(selected, row);
}

void TestPortSettingWindow::storedOptions_data()
{
    QTest::addColumn<int>("connectType");
    QTest::addColumn<int>("wirelessSize");
    QTest::addColumn<bool>("notAutoDisconnect");
    QTest::addColumn<int>("typeRow");
    QTest::addColumn<int>("sizeRow");
    QTest::addColumn<bool>("sizeEnabled");
    QTest::addColumn<int>("storedType"); // after OK
    QTest::addColumn<int>("storedSize");

    QTest::newRow("direct") << 0 << 5 << false << 0 << 4 << false << 0 << 5;
    QTest::newRow("wireless module") << 1 << 5 << true << 1 << 4 << true << 1 << 5;
    QTest::newRow("BlueSMiRF, size 16") << 2 << 16 << false << 2 << 15 << false << 2 << 16;
    QTest::newRow("size 1") << 1 << 1 << false << 1 << 0 << true << 1 << 1;
    // From an edited file: the nearest valid row, whose value OK then stores.
    QTest::newRow("type -4, size 0") << -4 << 0 << true << 0 << 0 << false << 0 << 1;
    QTest::newRow("type 9, size 40") << 9 << 40 << false << 2 << 15 << false << 2 << 16;
    QTest::newRow("extremes") << std::numeric_limits<int>::max() << std::numeric_limits<int>::min()
                              << false << 2 << 0 << false << 2 << 1;
    QTest::newRow("type 3 after wireless") << 3 << 17 << false << 2 << 15 << false << 2 << 16;
}

void TestPortSettingWindow::storedOptions()
{
    QFETCH(int, connectType);
    QFETCH(int, wirelessSize);
    QFETCH(bool, notAutoDisconnect);
    QFETCH(int, typeRow);
    QFETCH(int, sizeRow);
    QFETCH(bool, sizeEnabled);
    QFETCH(int, storedType);
    QFETCH(int, storedSize);

    setPorts({"ttyUSB0"});
    gPref->mConnectType = connectType;
    gPref->mWirelessWriteSize = wirelessSize;
    gPref->mNotAutoDisconnect = notAutoDisconnect;
    int shownType = -1, shownSize = -1;
    bool enabled = !sizeEnabled, visible = true, ticked = !notAutoDisconnect;
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
    QCOMPARE(ticked, notAutoDisconnect);
    QCOMPARE(gPref->mConnectType, storedType);
    QCOMPARE(gPref->mWirelessWriteSize, storedSize);
    QCOMPARE(gPref->mNotAutoDisconnect, notAutoDisconnect);
    // And so in the file.
    const auto saved = reload();
    QCOMPARE(saved->mConnectType, storedType);
    QCOMPARE(saved->mWirelessWriteSize, storedSize);
    QCOMPARE(saved->mNotAutoDisconnect, notAutoDisconnect);
}

void TestPortSettingWindow::wirelessSizeEnabledOnlyForTheWirelessModule()
{
    setPorts({"ttyUSB0"});
    QList<bool> enabledPerRow;
    bool everVisible = false;
    runDialog([&](PortSettingWindow* dialog) {
        // The user picks the rows in turn.
        for (int row : {1, 2, 1, 0}) {
            dialog->ConnectTypePM->setCurrentIndex(row);
            enabledPerRow << dialog->WirelessDataSizePM->isEnabled();
            everVisible |= dialog->WirelessDataSizePM->isVisible();
        }
        QTest::mouseClick(dialog->CancelPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(enabledPerRow, (QList<bool>{true, false, true, false}));
    QVERIFY(!everVisible);
}

void TestPortSettingWindow::okStoresAllFourSettingsAndHandsThePortToTheLink()
{
    setPorts({"ttyS0", "ttyUSB0", "Virtual QMC-4410"});
    auto* controller = new TransSepaWindow(gPref);
    QCOMPARE(gTw, controller);
    gPref->mWirelessWriteSize = 7;
    const QByteArray before = fileBytes();

    QStringList chosen;
    const int result = runDialog([&](PortSettingWindow* dialog) {
        dialog->PortPM->setCurrentIndex(1);
        dialog->ConnectTypePM->setCurrentIndex(2); // "BlueSMiRFを使用"
        QTest::mouseClick(dialog->NotAutoDisconnectCB, Qt::LeftButton);
        QTest::mouseClick(dialog->OkPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY(!PortSettingWindow::current());

    // In memory.
    QCOMPARE(gPref->mConnectType, 2);
    QCOMPARE(gPref->mWirelessWriteSize, 7);
    QVERIFY(gPref->mNotAutoDisconnect);
    QVERIFY(gPref->mPortInfo);
    QCOMPARE(gPref->mPortInfo->mName, QStringLiteral("ttyUSB0"));
    QCOMPARE(gPref->mPortInfo->mInputDriverName, QStringLiteral("ttyUSB0 in"));
    QCOMPARE(gPref->mPortInfo->mOutputDriverName, QStringLiteral("ttyUSB0 out"));
    // The link holds the port itself now, and was neither opened nor closed.
    QCOMPARE(controller->link()->mSerialPort.name, QStringLiteral("ttyUSB0"));
    QVERIFY(!controller->mcpOpen());
    for (FakeSerialDevice* device : std::as_const(mDevices))
        QCOMPARE(device->openCount(), 0);

    // In the file: all four settings.
    QVERIFY(fileBytes() != before);
    const auto saved = reload();
    QVERIFY(saved->mPortInfo);
    QCOMPARE(saved->mPortInfo->mName, QStringLiteral("ttyUSB0"));
    QCOMPARE(saved->mPortInfo->mInputDriverName, QStringLiteral("ttyUSB0 in"));
    QCOMPARE(saved->mPortInfo->mOutputDriverName, QStringLiteral("ttyUSB0 out"));
    QCOMPARE(saved->mConnectType, 2);
    QCOMPARE(saved->mWirelessWriteSize, 7);
    QVERIFY(saved->mNotAutoDisconnect);
}

void TestPortSettingWindow::okWhileTheLinkIsOpenKeepsTheOpenPort()
{
    setPorts({"portA", "portB"});
    auto* controller = new TransSepaWindow(gPref);
    gPref->mNotAutoDisconnect = true;
    gPref->SetPortInfo(SerialPorts::at(0));
    controller->setSerialPort(SerialPorts::at(0));
    QVERIFY(controller->RbPortOpen());
    QVERIFY(mDevices.at(0)->isOpen());

    runDialog([&](PortSettingWindow* dialog) {
        dialog->PortPM->setCurrentIndex(1);
        QTest::mouseClick(dialog->OkPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    // Still talking through the port that was open.
    QVERIFY(controller->mcpOpen());
    QVERIFY(mDevices.at(0)->isOpen());
    QCOMPARE(mDevices.at(0)->closeCount(), 0);
    QCOMPARE(mDevices.at(1)->openCount(), 0);
    // The next opening uses the new one.
    controller->RbPortClose(true);
    QVERIFY(controller->RbPortOpen());
    QCOMPARE(mDevices.at(1)->openCount(), 1);
    QVERIFY(mDevices.at(1)->isOpen());
    controller->RbPortClose(true);
}

void TestPortSettingWindow::okWithNoPorts_data()
{
    QTest::addColumn<QString>("chosen"); // empty: none
    QTest::newRow("a port was chosen before") << "ttyUSB0";
    QTest::newRow("no port chosen") << "";
}

void TestPortSettingWindow::okWithNoPorts()
{
    QFETCH(QString, chosen);
    setPorts({});
    auto* controller = new TransSepaWindow(gPref);
    if (!chosen.isEmpty()) {
        SerialPortInfo info;
        info.mName = chosen;
        info.mInputDriverName = QStringLiteral("in");
        info.mOutputDriverName = QStringLiteral("out");
        gPref->mPortInfo = info;
    }
    int rows = -1;
    const int result = runDialog([&](PortSettingWindow* dialog) {
        rows = dialog->PortPM->count();
        dialog->ConnectTypePM->setCurrentIndex(1);
        dialog->WirelessDataSizePM->setCurrentIndex(11);
        dialog->NotAutoDisconnectCB->setChecked(true);
        QTest::mouseClick(dialog->OkPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(rows, 0);
    // The other three are stored; the port stays as it was.
    QCOMPARE(gPref->mConnectType, 1);
    QCOMPARE(gPref->mWirelessWriteSize, 12);
    QVERIFY(gPref->mNotAutoDisconnect);
    QCOMPARE(bool(gPref->mPortInfo), !chosen.isEmpty());
    QVERIFY(controller->link()->mSerialPort.isNull());
    const auto saved = reload();
    QCOMPARE(saved->mConnectType, 1);
    QCOMPARE(saved->mWirelessWriteSize, 12);
    QVERIFY(saved->mNotAutoDisconnect);
    QCOMPARE(bool(saved->mPortInfo), !chosen.isEmpty());
    if (!chosen.isEmpty()) {
        QCOMPARE(saved->mPortInfo->mName, chosen);
        QCOMPARE(saved->mPortInfo->mOutputDriverName, QStringLiteral("out"));
    }
}

void TestPortSettingWindow::cancelForgetsThePortInMemoryOnly()
{
    setPorts({"ttyS0", "ttyUSB0"});
    auto* controller = new TransSepaWindow(gPref);
    gPref->SetPortInfo(SerialPorts::at(1));
    gPref->mConnectType = 1;
    gPref->mWirelessWriteSize = 9;
    gPref->mNotAutoDisconnect = true;
    QVERIFY(gPref->WriteData());
    controller->setSerialPort(SerialPorts::at(1));
    const QByteArray before = fileBytes();
    QVERIFY(!before.isEmpty());

    const int result = runDialog([&](PortSettingWindow* dialog) {
        // Changes the user makes and then cancels.
        dialog->PortPM->setCurrentIndex(0);
        dialog->ConnectTypePM->setCurrentIndex(2);
        dialog->WirelessDataSizePM->setCurrentIndex(0);
        dialog->NotAutoDisconnectCB->setChecked(false);
        QTest::mouseClick(dialog->CancelPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Rejected));
    QVERIFY(!gPref->mPortInfo);
    QCOMPARE(gPref->mConnectType, 1);
    QCOMPARE(gPref->mWirelessWriteSize, 9);
    QVERIFY(gPref->mNotAutoDisconnect);
    QCOMPARE(controller->link()->mSerialPort.name, QStringLiteral("ttyUSB0"));
    QCOMPARE(fileBytes(), before);
    // A restart brings the port back from the file.
    const auto restarted = reload();
    QVERIFY(restarted->mPortInfo);
    QCOMPARE(restarted->mPortInfo->mName, QStringLiteral("ttyUSB0"));
}

void TestPortSettingWindow::onlyOkAndCancelClose()
{
    setPorts({"ttyUSB0"});
    gPref->mConnectType = 2;
    QList<bool> stillOpen;
    const int result = runDialog([&](PortSettingWindow* dialog) {
        QTest::keyClick(dialog, Qt::Key_Escape);
        stillOpen << dialog->isVisible();
        QTest::keyClick(dialog, Qt::Key_Return);
        stillOpen << dialog->isVisible();
        dialog->close(); // what the window manager's close would do
        stillOpen << dialog->isVisible();
        dialog->reject();
        stillOpen << dialog->isVisible();
        QTest::mouseClick(dialog->CancelPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(result, int(QDialog::Rejected));
    QCOMPARE(stillOpen, (QList<bool>{true, true, true, true}));
    // Return pressed nothing: OK would have stored the settings.
    QCOMPARE(gPref->mConnectType, 2);
    QVERIFY(!reload()->mPortInfo);
}

void TestPortSettingWindow::portListRebuiltAtEachOpening()
{
    setPorts({"ttyS0", "ttyUSB0"});
    QStringList first, second;
    runDialog([&](PortSettingWindow* dialog) {
        first = rowsOf(dialog->PortPM);
        QTest::mouseClick(dialog->CancelPB, Qt::LeftButton);
    });
    // A port unplugged, another attached.
    setPorts({"ttyUSB0", "rfcomm0"});
    QPointer<PortSettingWindow> secondDialog;
    runDialog([&](PortSettingWindow* dialog) {
        second = rowsOf(dialog->PortPM);
        QTest::mouseClick(dialog->CancelPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(first, (QStringList{"ttyS0", "ttyUSB0"}));
    QCOMPARE(second, (QStringList{"ttyUSB0", "rfcomm0"}));
}

void TestPortSettingWindow::askedAgainWhileOpen()
{
    setPorts({"ttyUSB0"});
    int nestedResult = -5;
    PortSettingWindow* firstDialog = nullptr;
    PortSettingWindow* afterwards = nullptr;
    const int result = runDialog([&](PortSettingWindow* dialog) {
        firstDialog = dialog;
        // E.g. a command sent by a timer while the dialog shows.
        nestedResult = PortSettingWindow::OpenModal();
        afterwards = PortSettingWindow::current();
        QTest::mouseClick(dialog->OkPB, Qt::LeftButton);
    });
    QVERIFY(!mForced);
    QCOMPARE(nestedResult, int(QDialog::Rejected));
    QCOMPARE(afterwards, firstDialog);
    QCOMPARE(result, int(QDialog::Accepted));
}

void TestPortSettingWindow::noPreferencesNoDialog()
{
    delete gPref;
    gPref = nullptr;
    setPorts({"ttyUSB0"});
    QCOMPARE(PortSettingWindow::OpenModal(), int(QDialog::Rejected));
    QVERIFY(!PortSettingWindow::current());
}

QTEST_MAIN(TestPortSettingWindow)
#include "tst_PortSettingWindow.moc"
