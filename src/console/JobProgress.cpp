#include "JobProgress.h"

#include "link/BoardScheduler.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

JobProgress::JobProgress(const QString& what, QWidget* parent) : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    mBar = new QProgressBar(this);
    mBar->setObjectName(QStringLiteral("ProgressPB"));
    mBar->setAccessibleName(what + QStringLiteral("の進み具合"));
    mBar->setRange(0, 1);
    mTimeLeft = new QLabel(this);
    mTimeLeft->setObjectName(QStringLiteral("TimeLeftST"));
    mTimeLeft->setMinimumWidth(
        mTimeLeft->fontMetrics().horizontalAdvance(QStringLiteral("残り約 00 分 00 秒")));
    mCancel = new QPushButton(QStringLiteral("中止(&X)"), this);
    mCancel->setObjectName(QStringLiteral("CancelPB"));
    mCancel->setAccessibleName(what + QStringLiteral("を中止"));
    row->addWidget(mBar, 1);
    row->addWidget(mTimeLeft);
    row->addWidget(mCancel);
    connect(mCancel, &QPushButton::clicked, this, &JobProgress::cancelRequested);
    setVisible(false);
}

void JobProgress::follow(const std::shared_ptr<BoardJob>& job)
{
    mJob = job;
    setVisible(bool(job));
    mCancel->setEnabled(true);
    update();
}

void JobProgress::update()
{
    if (!mJob)
        return;
    // The bar counts in the job's own units; large ranges are scaled to fit an int.
    const qint64 total = std::max<qint64>(mJob->total(), 1);
    const qint64 done = std::clamp<qint64>(mJob->done(), 0, total);
    const int scale = total > 1'000'000 ? int(total / 1'000'000 + 1) : 1;
    mBar->setRange(0, int(total / scale));
    mBar->setValue(int(done / scale));
    mTimeLeft->setText(timeLeftText(mJob->isOver() ? -1 : mJob->timeLeftMs()));
    if (mJob->isOver())
        mCancel->setEnabled(false);
}

QString JobProgress::timeLeftText(qint64 ms)
{
    if (ms < 0)
        return {};
    const qint64 seconds = (ms + 999) / 1000;
    if (seconds < 60)
        return QStringLiteral("残り約 %1 秒").arg(seconds);
    return QStringLiteral("残り約 %1 分 %2 秒")
        .arg(seconds / 60)
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
