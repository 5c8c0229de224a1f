#include "VirtualMonitor.h"

#include "emulator/QmcModel.h"
#include "emulator/VirtualController.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QString hex2(int value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

VirtualMonitor::VirtualMonitor(QmcModel* model, QWidget* parent)
    : QWidget(parent, Qt::Window), mModel(model ? model : VirtualController::model())
{
    setObjectName(QStringLiteral("VirtualMonitor"));
    setWindowTitle(QStringLiteral("仮想コントローラー"));
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* layout = new QVBoxLayout(this);

    auto* keyBox = new QGroupBox(QStringLiteral("受信したキー"), this);
    auto* keyForm = new QFormLayout(keyBox);
    mKey = new QLabel(keyBox);
    mKey->setObjectName(QStringLiteral("KeyST"));
    mKey->setTextInteractionFlags(Qt::TextSelectableByMouse);
    mKeyCount = new QLabel(keyBox);
    keyForm->addRow(QStringLiteral("最後のキー:"), mKey);
    keyForm->addRow(QStringLiteral("受信数:"), mKeyCount);
    layout->addWidget(keyBox);

    auto* varBox = new QGroupBox(QStringLiteral("変数 (SRAM 0141-0147)"), this);
    auto* varForm = new QFormLayout(varBox);
    for (int n = 2; n <= 8; ++n) {
        auto* label = new QLabel(varBox);
        label->setObjectName(QStringLiteral("Var%1ST").arg(n));
        varForm->addRow(QStringLiteral("#%1 variable (%2):")
                            .arg(n)
                            .arg(QmcModel::cVariableBase + n - 1, 4, 16, QLatin1Char('0')),
                        label);
        mVariables.append(label);
    }
    layout->addWidget(varBox);

    auto* runForm = new QFormLayout;
    mRun = new QLabel(this);
    mRun->setObjectName(QStringLiteral("RunST"));
    runForm->addRow(QStringLiteral("動作状態:"), mRun);
    layout->addLayout(runForm);

    // Servo positions: one row per group of six channels.
    mServos = new QTableWidget(QmcModel::cServoGroups, 6, this);
    mServos->setObjectName(QStringLiteral("ServoTable"));
    mServos->setEditTriggers(QAbstractItemView::NoEditTriggers);
    mServos->setSelectionMode(QAbstractItemView::NoSelection);
    mServos->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    mServos->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    QStringList rows;
    for (int g = 1; g <= QmcModel::cServoGroups; ++g)
        rows << QStringLiteral("%1-%2").arg((g - 1) * 6 + 1).arg(g * 6);
    mServos->setVerticalHeaderLabels(rows);
    mServos->setHorizontalHeaderLabels({QStringLiteral("+0"), QStringLiteral("+1"),
                                        QStringLiteral("+2"), QStringLiteral("+3"),
                                        QStringLiteral("+4"), QStringLiteral("+5")});
    for (int r = 0; r < QmcModel::cServoGroups; ++r)
        for (int c = 0; c < 6; ++c) {
            auto* item = new QTableWidgetItem;
            item->setTextAlignment(Qt::AlignCenter);
            mServos->setItem(r, c, item);
        }
    mServos->setMinimumHeight(230);
    layout->addWidget(mServos);

    mTravelRefresh = new QTimer(this);
    mTravelRefresh->setSingleShot(true);
    mTravelRefresh->setInterval(cTravelRefreshMs);
    connect(mTravelRefresh, &QTimer::timeout, this, &VirtualMonitor::Refresh);
    if (mModel)
        connect(mModel, &QmcModel::stateChanged, this, &VirtualMonitor::scheduleRefresh);
    Refresh();
    resize(360, 560);
}

void VirtualMonitor::scheduleRefresh()
{
    // The model changes with every byte; one refresh per burst is enough.
    if (mRefreshPending)
        return;
    mRefreshPending = true;
    QTimer::singleShot(0, this, [this] {
        mRefreshPending = false;
        Refresh();
    });
}

void VirtualMonitor::Refresh()
{
    if (!mModel)
        return;
    const QmcModel& m = *mModel;
    if (m.lastKeyCode() == 0)
        mKey->setText(QStringLiteral("-"));
    else
        mKey->setText(QStringLiteral("%1 (0x%2)  ID=%3  key %4")
                          .arg(m.lastKeyCode())
                          .arg(hex2(m.lastKeyCode()))
                          .arg(m.lastKeyId())
                          .arg(m.lastKeyNumber()));
    mKeyCount->setText(QString::number(m.keyCount()));

    for (int n = 2; n <= 8; ++n) {
        const int v = m.variable(n);
        mVariables[n - 2]->setText(QStringLiteral("%1 (0x%2)").arg(v).arg(hex2(v)));
    }

    switch (m.runState()) {
    case QmcModel::RunState::Stopped:
        mRun->setText(QStringLiteral("停止"));
        break;
    case QmcModel::RunState::Running:
        mRun->setText(QStringLiteral("実行中"));
        break;
    case QmcModel::RunState::Paused:
        mRun->setText(QStringLiteral("一時停止"));
        break;
    }

    for (int channel = 1; channel <= QmcModel::cServoCount; ++channel) {
        QTableWidgetItem* item = mServos->item((channel - 1) / 6, (channel - 1) % 6);
        // Switched-off servos keep their position, shown greyed.
        const QString text = QString::number(m.servoPosition(channel));
        if (item->text() != text)
            item->setText(text);
        item->setForeground(m.servoOn(channel) ? palette().text() : palette().placeholderText());
    }
    // Travel shows as it happens, not only when the next byte arrives.
    if (m.isTravelling() && !mTravelRefresh->isActive())
        mTravelRefresh->start();
}

QString VirtualMonitor::keyText() const
{
    return mKey->text();
}

QString VirtualMonitor::variableText(int number) const
{
    return mVariables.value(number - 2) ? mVariables.value(number - 2)->text() : QString();
}

QString VirtualMonitor::runText() const
{
    return mRun->text();
}

QString VirtualMonitor::servoText(int channel) const
{
    const QTableWidgetItem* item = mServos->item((channel - 1) / 6, (channel - 1) % 6);
    return item ? item->text() : QString();
}
