#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class RemoconWindow;
class TransSepaWindow;

// The application object: starts the program in a fixed order and owns the
// two windows that live for the whole run.
//
// Start-up (Event_Open, run once the event loop is going):
//  1. the About window as a welcome splash, modally, until it closes (1500 ms);
//  2. Init: the preferences (written with defaults on a first start) and gEOM;
//  3. the controller window, which makes gTw refer to itself; it is moved
//     far off screen and never shown: it is there for its port and timers;
//  4. the remote window, shown: the window the user works in.
// Quitting: closing the remote window or the quit item ends the event loop;
// the controller window is then closed, which ends the link.
class App : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* cProgramName = "VantorController IR";
    static constexpr int cOffScreenLeft = -30000;

    explicit App(QObject* parent = nullptr);
    ~App() override;

    void Event_Open();
    // Creates and loads gPref and sets gEOM. An empty base folder means the
    // user's preferences folder.
    static void Init(const QString& baseFolder = {});
    // The alert for a preferences save that failed: names the file and why.
    static void SaveFailed(const QString& file, const QString& reason);

    TransSepaWindow* transSepaWindow() const;
    RemoconWindow* remoconWindow() const;

signals:
    // Start-up has shown the remote window.
    void started();

private:
    void Event_Close();

    QPointer<TransSepaWindow> mTransSepa;
    QPointer<RemoconWindow> mRemocon;
    bool mClosed = false;
};
