#include "PortSettingWindow.h"

#include "PreferClass.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <algorithm>

namespace {

QPointer<PortSettingWindow> gOpenDialog;

constexpr int cWirelessSizeMax = 16;

// Text sizes are pixels: the fixed layout was drawn for them.
template <typename W>
W* place(W* widget, QWidget* parent, const char* name, const QRect& geometry, int textSize)
{
    widget->setParent(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    QFont f = widget->font();
    f.setPixelSize(textSize);
    widget->setFont(f);
    return widget;
}

QLabel* makeText(QWidget* parent, const char* name, const QRect& geometry, int textSize,
                 const QString& text, Qt::Alignment align)
{
    auto* label = place(new QLabel(text), parent, name, geometry, textSize);
    label->setAlignment(align | Qt::AlignVCenter);
    return label;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QRect& geometry,
                        const QString& caption)
{
    auto* button = place(new QPushButton(caption), parent, name, geometry, 12);
    // Neither button is the default: Return presses nothing.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

PortSettingWindow::PortSettingWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName(QStringLiteral("PortSettingWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("通信方式の設定..."));
    setWindowModality(Qt::ApplicationModal);
    setFixedSize(360, 180);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(224, 224, 224));
    setPalette(pal);
    setAutoFillBackground(true);

    PortPM = place(new QComboBox, this, "PortPM", QRect(104, 40, 236, 20), 12);
    OkPB = makeButton(this, "OkPB", QRect(271, 144, 69, 20), QStringLiteral("OK"));
    CancelPB = makeButton(this, "CancelPB", QRect(159, 144, 100, 20), QStringLiteral("キャンセル"));
    StaticText1 = makeText(this, "StaticText1", QRect(7, 43, 90, 20), 11,
                           QStringLiteral("シリアルポート: "), Qt::AlignRight);
    StaticText2 = makeText(this, "StaticText2", QRect(14, 11, 340, 20), 12,
                           QStringLiteral("QMC-4410が接続されているポートを選択して下さい..."),
                           Qt::AlignLeft);
    NotAutoDisconnectCB = place(new QCheckBox(QStringLiteral("自動で切断しない")), this,
                                "NotAutoDisconnectCB", QRect(108, 104, 188, 20), 11);
    ConnectTypePM = place(new QComboBox, this, "ConnectTypePM", QRect(104, 72, 160, 20), 11);
    ConnectTypeST = makeText(this, "ConnectTypeST", QRect(7, 75, 90, 20), 11,
                             QStringLiteral("接続方法："), Qt::AlignRight);
    DisconnectST = makeText(this, "DisconnectST", QRect(7, 107, 90, 20), 11,
                            QStringLiteral("切断："), Qt::AlignRight);
    WirelessDataSizePM =
        place(new QComboBox, this, "WirelessDataSizePM", QRect(277, 72, 60, 20), 11);
    for (int size = 1; size <= cWirelessSizeMax; ++size)
        WirelessDataSizePM->addItem(QString::number(size));
    // The wireless data size is never shown: its value passes from the
    // preferences back to the preferences unchanged.
    WirelessDataSizePM->setVisible(false);
    WirelessDataSizePM->setEnabled(false);

    connect(ConnectTypePM, &QComboBox::currentIndexChanged, this,
            &PortSettingWindow::ConnectTypePM_Change);
    connect(OkPB, &QPushButton::clicked, this, &PortSettingWindow::OkPB_Action);
    connect(CancelPB, &QPushButton::clicked, this, &PortSettingWindow::CancelPB_Action);

    // Every showing starts from the current preferences and the current ports.
    PortPM_Open();
    NotAutoDisconnectCB_Open();
    ConnectTypePM_Open();
    WirelessDataSizePM_Open();
}

int PortSettingWindow::OpenModal()
{
    if (!gPref)
        return QDialog::Rejected;
    if (gOpenDialog) {
        // Asked again while showing: its modal loop is already running.
        gOpenDialog->raise();
        gOpenDialog->activateWindow();
        return QDialog::Rejected;
    }
    auto* dialog = new PortSettingWindow;
    gOpenDialog = dialog;
    return dialog->exec(); // deleted on close
}

PortSettingWindow* PortSettingWindow::current()
{
    return gOpenDialog;
}

void PortSettingWindow::reject()
{
    // Only OK and Cancel close the dialog.
}

void PortSettingWindow::PortPM_Open()
{
    PortPM->clear();
    mSerialPort = SerialPorts::list();
    for (const SerialPortEntry& port : std::as_const(mSerialPort))
        PortPM->addItem(port.name);

    // The chosen port's row, the first of equal names; else the first row.
    int row = mSerialPort.isEmpty() ? -1 : 0;
    if (gPref->mPortInfo) {
        for (int i = 0; i < PortPM->count(); ++i) {
            if (PortPM->itemText(i).compare(gPref->mPortInfo->mName, Qt::CaseInsensitive) == 0) {
                row = i;
                break;
            }
        }
    }
    PortPM->setCurrentIndex(row);
}

void PortSettingWindow::ConnectTypePM_Open()
{
    ConnectTypePM->clear();
    ConnectTypePM->addItem(QStringLiteral("直結"));
    ConnectTypePM->addItem(QStringLiteral("無線モジュールを使用"));
    ConnectTypePM->addItem(QStringLiteral("BlueSMiRFを使用"));
    // A value from an edited file outside the rows shows the nearest row.
    ConnectTypePM->setCurrentIndex(std::clamp(gPref->mConnectType, 0, ConnectTypePM->count() - 1));
}

void PortSettingWindow::ConnectTypePM_Change()
{
    // The data size matters only for the wireless serial module.
    WirelessDataSizePM->setEnabled(ConnectTypePM->currentIndex() == 1);
}

void PortSettingWindow::WirelessDataSizePM_Open()
{
    WirelessDataSizePM->setCurrentIndex(
        std::clamp(gPref->mWirelessWriteSize, 1, WirelessDataSizePM->count()) - 1);
}

void PortSettingWindow::NotAutoDisconnectCB_Open()
{
    NotAutoDisconnectCB->setChecked(gPref->mNotAutoDisconnect);
}

void PortSettingWindow::OkPB_Action()
{
    gPref->mConnectType = ConnectTypePM->currentIndex();
    gPref->mWirelessWriteSize = WirelessDataSizePM->currentIndex() + 1;
    gPref->mNotAutoDisconnect = NotAutoDisconnectCB->isChecked();

    const int row = PortPM->currentIndex();
    if (row >= 0 && row < mSerialPort.size()) {
        // The link uses this port from its next opening, without a search.
        const SerialPortEntry& port = mSerialPort.at(row);
        if (gTw)
            gTw->setSerialPort(port);
        gPref->SetPortInfo(port); // saves the file with all four settings
    } else {
        // No port on this machine: keep the chosen one (or none) and save the rest.
        gPref->WriteData();
    }
    done(QDialog::Accepted);
}

void PortSettingWindow::CancelPB_Action()
{
    // Forgotten in memory only: the file keeps the port until the next save.
    gPref->mPortInfo.reset();
    done(QDialog::Rejected);
}
