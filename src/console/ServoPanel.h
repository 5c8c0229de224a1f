#pragma once

#include <QSet>
#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class ConsoleJobs;
class ControllerLink;
class ExchangeJob;
class QCheckBox;
class QLabel;
class QPushButton;
class QSlider;
class QSpinBox;
class ServoMoveJob;
class ServoPowerJob;
class ServoRefreshJob;
struct LinkFailure;

// The servos: 48 channels in 8 groups of six, each with a slider and a
// number for its position and a switch, the whole board's switches, speed,
// speed value, point-to-point and a moving indicator.
//
// While the panel is active (the console is on screen) and not paused it
// polls the board without end: a refresh of all eight groups, then the
// moving flag, then again, each as a background job that steps aside for
// anything else, so a key of the remote or a move goes out at once. A slider
// being dragged, or a channel moved since the refresh began, keeps the
// user's value. When the line fails the polling pauses and tries again every
// cRetryMs, quietly, until the board answers.
class ServoPanel : public QWidget
{
    Q_OBJECT
public:
    static constexpr int cChannels = 48;
    static constexpr int cGroupSize = 6;
    static constexpr int cRetryMs = 2000;
    // Garbled polls in a row before polling pauses as for a silent board.
    static constexpr int cGarbledInARow = 3;
    // The moving flag is read after every few refreshes (about twice a
    // second): each read costs the refresh two exchanges.
    static constexpr int cRefreshesPerMovingPoll = 4;

    ServoPanel(ConsoleJobs* jobs, QWidget* parent = nullptr);

    // The console is on screen (true) or hidden, minimized or closed.
    void setActive(bool active);
    bool isActive() const { return mActive; }
    // The pause toggle.
    void setPaused(bool paused);
    bool isPaused() const;
    // A poll job is on the scheduler or a retry is armed.
    bool isPolling() const;
    bool isRetrying() const { return mRetry.isActive(); }

    // Controls, for keyboard use and checks (channel 1..48).
    QSlider* slider(int channel) const { return mSliders.at(size_t(channel - 1)); }
    QSpinBox* number(int channel) const { return mNumbers.at(size_t(channel - 1)); }
    QCheckBox* power(int channel) const { return mPowers.at(size_t(channel - 1)); }
    QPushButton* pauseButton() const { return mPause; }
    QPushButton* allOnButton() const { return mAllOn; }
    QPushButton* allOffButton() const { return mAllOff; }
    QSpinBox* speedBox() const { return mSpeed; }
    QPushButton* speedButton() const { return mSpeedSet; }
    QSpinBox* speedValueBox() const { return mSpeedValue; }
    QPushButton* speedValueButton() const { return mSpeedValueSet; }
    QCheckBox* ptpBox() const { return mPtp; }
    QLabel* movingLabel() const { return mMoving; }
    // Full refreshes completed since the panel was made.
    int refreshCount() const { return mRefreshes; }

signals:
    // A poll failed on the line: polling waits cRetryMs and tries again.
    void pollFailed();

private:
    void buildChannels(QWidget* area);
    QWidget* buildBoardRow();
    void updatePolling();
    void poll();
    void stopPolling();
    void onRefreshed(const ServoRefreshJob& job);
    void onMovingRead(const ExchangeJob& job);
    void pollOver(bool failed, const LinkFailure& failure);
    void moveTo(int channel, int position);
    void switchPower(int channel, bool on);
    void sendSetting(const QString& title, const std::function<bool(ControllerLink&)>& start);
    void setMoving(int flag); // -1 unknown

    ConsoleJobs* mJobs;
    bool mActive = false;
    std::shared_ptr<ServoRefreshJob> mRefresh;
    std::shared_ptr<ExchangeJob> mMovingPoll;
    std::shared_ptr<ServoMoveJob> mMove;
    std::shared_ptr<ServoPowerJob> mPower;
    QSet<int> mTouched; // channels moved since the refresh under way began
    QTimer mRetry;
    int mRefreshes = 0;
    int mGarbled = 0;         // polls garbled in a row
    int mSinceMovingPoll = 0; // refreshes since the moving flag was read

    std::array<QSlider*, cChannels> mSliders{};
    std::array<QSpinBox*, cChannels> mNumbers{};
    std::array<QCheckBox*, cChannels> mPowers{};
    QPushButton* mPause = nullptr;
    QPushButton* mAllOn = nullptr;
    QPushButton* mAllOff = nullptr;
    QSpinBox* mSpeed = nullptr;
    QPushButton* mSpeedSet = nullptr;
    QSpinBox* mSpeedValue = nullptr;
    QPushButton* mSpeedValueSet = nullptr;
    QCheckBox* mPtp = nullptr;
    QLabel* mMoving = nullptr;
};
