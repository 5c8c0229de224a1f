#include "MsgDlg.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

namespace {

// The alert is centred on the active window. The controller window lives off
// screen; an alert centred on it would be out of sight while it blocks the
// program, so such a window is no parent.
QWidget* alertParent()
{
    QWidget* active = QApplication::activeWindow();
    if (active && !QGuiApplication::screenAt(active->frameGeometry().center()))
        return nullptr;
    return active;
}

} // namespace

int MsgDlg(int icon, const QString& actionCaption, const QString& cancelCaption,
           const QString& alternateCaption, const QString& message, const QString& explanation,
           const QString& title)
{
    QMessageBox box(alertParent());
    box.setWindowTitle(title);
    switch (icon) {
    case 0:
        box.setIcon(QMessageBox::Information);
        break;
    case 1:
        box.setIcon(QMessageBox::Warning);
        break;
    default:
        box.setIcon(QMessageBox::Critical);
        break;
    }

    // An empty action caption keeps Qt's own "OK".
    QPushButton* action = actionCaption.isEmpty()
                              ? box.addButton(QMessageBox::Ok)
                              : box.addButton(actionCaption, QMessageBox::AcceptRole);
    QPushButton* cancel = nullptr;
    if (!cancelCaption.isEmpty())
        cancel = box.addButton(cancelCaption, QMessageBox::RejectRole);
    QPushButton* alternate = nullptr;
    if (!alternateCaption.isEmpty())
        alternate = box.addButton(alternateCaption, QMessageBox::DestructiveRole);
    box.setDefaultButton(action);
    if (cancel) {
        box.setEscapeButton(cancel);
    } else {
        // Without a cancel button QMessageBox would let Escape and the close
        // box press the only button there is. Closing the alert that way is
        // no answer, so route both to a button the user never sees.
        QPushButton* dismiss = box.addButton(QString(), QMessageBox::RejectRole);
        dismiss->hide();
        box.setEscapeButton(dismiss);
    }

    if (!message.isEmpty())
        box.setText(message);
    if (!explanation.isEmpty())
        box.setInformativeText(explanation);

    box.exec();

    const QAbstractButton* pressed = box.clickedButton();
    if (pressed == nullptr)
        return 0;
    if (cancel && pressed == cancel)
        return 0;
    if (pressed == action)
        return 1;
    if (alternate && pressed == alternate)
        return 2;
    return 0;
}
