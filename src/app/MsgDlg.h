#pragma once

#include <QString>

// The program's one modal alert. Returns 1 for the action button, 2 for the
// alternate button, 0 for cancel and for any other way the dialog closed.
// icon: 0 note, 1 caution, 2 stop (every caller passes 2).
int MsgDlg(int icon, const QString& actionCaption, const QString& cancelCaption,
           const QString& alternateCaption, const QString& message, const QString& explanation,
           const QString& title);
