#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QTableWidget;
class QTimer;
class QmcModel;

// A live view of the built-in virtual controller, for users without a board:
// the last key received (code, ID, key number), the variables #2..#8 (static
// RAM 0141..0147), the run state and the servo positions.
class VirtualMonitor : public QWidget
{
    Q_OBJECT
public:
    // Watches `model`, or the built-in controller's model when none is given.
    explicit VirtualMonitor(QmcModel* model = nullptr, QWidget* parent = nullptr);

    // The texts shown, for checks.
    QString keyText() const;
    QString variableText(int number) const; // 2..8
    QString runText() const;
    QString servoText(int channel) const; // 1..48

    // Brings every field up to date with the model.
    void Refresh();
    // How often the view follows servos on their way.
    static constexpr int cTravelRefreshMs = 40;

private:
    void scheduleRefresh();

    QPointer<QmcModel> mModel;
    QLabel* mKey = nullptr;
    QLabel* mKeyCount = nullptr;
    QList<QLabel*> mVariables; // #2..#8
    QLabel* mRun = nullptr;
    QTableWidget* mServos = nullptr;
    bool mRefreshPending = false;
    // Servos move on the model's clock between bytes: while any travels the
    // view is refreshed on its own (cTravelRefreshMs).
    QTimer* mTravelRefresh = nullptr;
};
