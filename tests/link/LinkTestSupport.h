#pragma once

#include "link/ControllerView.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

inline QByteArray H(const char* hex)
{
    return QByteArray::fromHex(hex);
}

// Lets the fake's zero-timer replies arrive and deferred deletions run.
inline void Settle()
{
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents();
}

// A view that records what the link tells the user (its texts and bar are never on screen).
class RecordingView : public ControllerView
{
public:
    void ShowProgress(const ProgressBarState&, const StaticTextState&) override
    {
        if (onProgress)
            onProgress();
    }
    void ShowPortSettings() override { ++portSettingsRequests; }
    int Alert(int icon, const QString& action, const QString& cancel, const QString& alternate,
              const QString& message, const QString& explanation, const QString& title) override
    {
        alerts.append({QString::number(beeps), QString::number(icon), action, cancel, alternate,
                       message, explanation, title});
        return 1; // the action button
    }
    void Beep() override { ++beeps; }

    int portSettingsRequests = 0;
    std::function<void()> onProgress;
    QList<QStringList> alerts; // {beeps before, icon, action, cancel, alternate, message, ...}
    int beeps = 0;
};
