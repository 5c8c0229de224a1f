#pragma once

#include <QString>

// The progress bar beside the message line: value, maximum and visibility.
// The value is kept as the link counts it, also past the maximum; a widget
// showing it clamps for display only.
struct ProgressBarState
{
    int Value = 0;
    int Maximum = 0;
    bool Visible = false;
};

// The count text beside the progress bar ("3/12", or empty).
struct StaticTextState
{
    QString Text;
    bool Visible = false;
};

// Everything the controller link would show on a window. The controller
// window implements it with its controls; tools and tests implement it with
// whatever they need. Every function has a do-nothing default, so a plain
// ControllerView is a valid, silent view.
class ControllerView
{
public:
    virtual ~ControllerView() = default;

    // The one-line message text.
    virtual void SetMsg(const QString& text) { (void)text; }
    // The progress bar and its count text, after any change to either.
    virtual void ShowProgress(const ProgressBarState& bar, const StaticTextState& count)
    {
        (void)bar;
        (void)count;
    }
    // The forced-disconnect button.
    virtual void SetFoceCloseVisible(bool visible) { (void)visible; }
    // Enables (true) or disables (false) the controller's buttons while a
    // command runs.
    virtual void EnableControllerButtons(bool enable) { (void)enable; }
    // Shows the port settings dialog modally and returns once it has closed.
    virtual void ShowPortSettings() {}
    // A modal alert with the arguments of MsgDlg; returns 1 for the action
    // button, 2 for the alternate button, 0 for cancel or any other close.
    virtual int Alert(int icon, const QString& actionCaption, const QString& cancelCaption,
                      const QString& alternateCaption, const QString& message,
                      const QString& explanation, const QString& title)
    {
        (void)icon;
        (void)actionCaption;
        (void)cancelCaption;
        (void)alternateCaption;
        (void)message;
        (void)explanation;
        (void)title;
        return 0;
    }
    // The system beep.
    virtual void Beep() {}
};
