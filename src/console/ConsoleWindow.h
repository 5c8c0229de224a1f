#pragma once

#include <QWidget>

#include <memory>

class ConsoleJobs;
class MemoryPanel;
class ProgramPanel;
class QLabel;
class QPushButton;
class QTabWidget;
class SequencePanel;
class ServoPanel;
class TrafficPanel;
struct LinkFailure;

// The controller console: the whole board in one window, as a view over the
// link and its one scheduler of board jobs. It submits jobs and shows their
// results; the protocol is the link's.
//
// The frame holds what concerns the whole board: who it is (model, program
// checksum, size and header, read when the window opens and on request), run
// control (run, stop, break, reset, and whether the controller echoed the
// command), the status line, and the panes: servos, sequences, memory,
// program and the traffic log.
//
// The servo positions are polled while the window is on screen; hidden,
// minimized or closed, the console's jobs stop and the port is let go
// (closing also cancels a memory read or a program transfer under way).
class ConsoleWindow : public QWidget
{
    Q_OBJECT
public:
    explicit ConsoleWindow(QWidget* parent = nullptr);
    ~ConsoleWindow() override;

    ConsoleJobs* jobs() const { return mJobs; }
    ServoPanel* servoPanel() const { return mServo; }
    SequencePanel* sequencePanel() const { return mSequence; }
    MemoryPanel* memoryPanel() const { return mMemory; }
    ProgramPanel* programPanel() const { return mProgram; }
    TrafficPanel* trafficPanel() const { return mTraffic; }
    QTabWidget* tabs() const { return mTabs; }

    // The board's fields as shown.
    QLabel* modelLabel() const { return mModel; }
    QLabel* checksumLabel() const { return mChecksum; }
    QLabel* sizeLabel() const { return mSize; }
    QLabel* headerLabel() const { return mHeader; }
    QPushButton* readBoardButton() const { return mReadBoard; }
    // Run control: "RUN", "STOP", "BREAK", "RESET".
    QPushButton* runButton(const QString& command) const;
    QLabel* runResultLabel() const { return mRunResult; }
    QLabel* statusLabel() const { return mStatus; }

    // Reads who the board is (also the button).
    void readBoard();
    // Sends a run-control command (also its button).
    void runControl(const QString& command);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QWidget* buildBoardBox();
    QWidget* buildRunBox();
    void setStatus(const QString& text);
    void onLineFailed(const LinkFailure& failure, const QString& text);
    void onLineRecovered();

    ConsoleJobs* mJobs = nullptr;
    bool mOpen = false;    // shown since it was last closed
    bool mReading = false; // the board's identity is being read

    QLabel* mModel = nullptr;
    QLabel* mChecksum = nullptr;
    QLabel* mSize = nullptr;
    QLabel* mHeader = nullptr;
    QPushButton* mReadBoard = nullptr;
    QList<QPushButton*> mRunButtons;
    QLabel* mRunResult = nullptr;
    QTabWidget* mTabs = nullptr;
    ServoPanel* mServo = nullptr;
    SequencePanel* mSequence = nullptr;
    MemoryPanel* mMemory = nullptr;
    ProgramPanel* mProgram = nullptr;
    TrafficPanel* mTraffic = nullptr;
    QLabel* mStatus = nullptr;
};
