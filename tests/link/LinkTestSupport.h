#pragma once

#include "link/ControllerView.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

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

// A view that records everything the link shows.
class RecordingView : public ControllerView
{
public:
    void SetMsg(const QString& text) override { messages.append(text); }
    void ShowProgress(const ProgressBarState& bar, const StaticTextState& count) override
    {
        progress.append(bar);
        countTexts.append(count);
        if (onProgress)
            onProgress();
    }
    void SetFoceCloseVisible(bool visible) override { foceCloseVisible = visible; }
    void EnableControllerButtons(bool enable) override { buttonsEnabled.append(enable); }
    void ShowPortSettings() override { ++portSettingsRequests; }
    int Alert(int icon, const QString& action, const QString& cancel, const QString& alternate,
              const QString& message, const QString& explanation, const QString& title) override
    {
        alerts.append({QString::number(beeps), QString::number(icon), action, cancel, alternate,
                       message, explanation, title});
        return 1; // the action button
    }
    void Beep() override { ++beeps; }

    QStringList messages;
    QList<ProgressBarState> progress;
    QList<StaticTextState> countTexts;
    bool foceCloseVisible = false;
    QList<bool> buttonsEnabled;
    int portSettingsRequests = 0;
    std::function<void()> onProgress;
    QList<QStringList> alerts; // {beeps before, icon, action, cancel, alternate, message, ...}
    int beeps = 0;
};

// Each written byte takes the next scripted answer; then bytes are echoed.
inline std::function<QByteArray(char)> ScriptedReplier(QByteArray script)
{
    auto queue = std::make_shared<QByteArray>(std::move(script));
    return [queue](char c) {
        if (queue->isEmpty())
            return QByteArray(1, c);
        QByteArray b = queue->left(1);
        queue->remove(0, 1);
        return b;
    };
}
