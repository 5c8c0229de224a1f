#pragma once

#include "platform/SerialPorts.h"

#include <QDialog>
#include <QList>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

// The modal dialog in which the user chooses the serial port that leads to
// the controller and the communication options. OK stores them in gPref (the
// file is written once) and hands the port to the controller window; Cancel
// forgets the chosen port in memory. There is no other way out: no close
// button, and Escape does nothing.
class PortSettingWindow : public QDialog
{
    Q_OBJECT
public:
    explicit PortSettingWindow(QWidget* parent = nullptr);

    // Shows the dialog modally (the open one, or a fresh one reading the
    // current preferences) and returns when it has closed through OK
    // (QDialog::Accepted) or Cancel (QDialog::Rejected).
    static int OpenModal();
    // The dialog while it is open, else null.
    static PortSettingWindow* current();

    // The ports shown: element i is row i of PortPM.
    QList<SerialPortEntry> mSerialPort;

    QComboBox* PortPM = nullptr;
    QPushButton* OkPB = nullptr;
    QPushButton* CancelPB = nullptr;
    QLabel* StaticText1 = nullptr;
    QLabel* StaticText2 = nullptr;
    QCheckBox* NotAutoDisconnectCB = nullptr;
    QComboBox* ConnectTypePM = nullptr;
    QLabel* ConnectTypeST = nullptr;
    QLabel* DisconnectST = nullptr;
    QComboBox* WirelessDataSizePM = nullptr;

public slots:
    // Escape and the window manager's close land here: ignored, so that the
    // dialog only closes through OK or Cancel.
    void reject() override;

private:
    void PortPM_Open();
    void ConnectTypePM_Open();
    void ConnectTypePM_Change();
    void WirelessDataSizePM_Open();
    void NotAutoDisconnectCB_Open();
    void OkPB_Action();
    void CancelPB_Action();
};
