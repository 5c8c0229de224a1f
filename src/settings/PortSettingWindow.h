#pragma once

#include <QDialog>

// The modal dialog that chooses the port and the connection options.
class PortSettingWindow : public QDialog
{
    Q_OBJECT
public:
    explicit PortSettingWindow(QWidget* parent = nullptr);

    // Shows the dialog modally (the open one, or a fresh one) and returns
    // when it has closed through OK or Cancel.
    static int OpenModal();
};
