#include "PortSettingWindow.h"

// Placeholder until the dialog is built: closes at once.
PortSettingWindow::PortSettingWindow(QWidget* parent) : QDialog(parent) {}

int PortSettingWindow::OpenModal()
{
    return QDialog::Rejected;
}
