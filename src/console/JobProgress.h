#pragma once

#include <QWidget>

#include <memory>

class BoardJob;
class QLabel;
class QProgressBar;
class QPushButton;

// The progress of one long job of the console (a memory read, a program
// backup, restore or compare): a bar, the time left and a cancel button.
// Hidden while no job runs.
class JobProgress : public QWidget
{
    Q_OBJECT
public:
    // `what` names the work for a screen reader ("メモリの読込み").
    explicit JobProgress(const QString& what, QWidget* parent = nullptr);

    // Follows the job from now on (null: none; the widget hides).
    void follow(const std::shared_ptr<BoardJob>& job);
    // After each exchange of the followed job.
    void update();
    std::shared_ptr<BoardJob> job() const { return mJob; }

    QProgressBar* bar() const { return mBar; }
    QLabel* timeLeft() const { return mTimeLeft; }
    QPushButton* cancelButton() const { return mCancel; }

    // "残り約 12 秒", "残り約 3 分 05 秒"; empty while unknown.
    static QString timeLeftText(qint64 ms);

signals:
    void cancelRequested();

private:
    std::shared_ptr<BoardJob> mJob;
    QProgressBar* mBar = nullptr;
    QLabel* mTimeLeft = nullptr;
    QPushButton* mCancel = nullptr;
};
