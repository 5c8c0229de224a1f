#include "TrafficPanel.h"

#include "ConsoleJobs.h"
#include "link/ControllerLink.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

TrafficPanel::TrafficPanel(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TrafficPanel"));
    auto* layout = new QVBoxLayout(this);
    mView = new QPlainTextEdit(this);
    mView->setObjectName(QStringLiteral("TrafficLog"));
    mView->setAccessibleName(QStringLiteral("通信ログ"));
    mView->setReadOnly(true);
    mView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    mView->setMaximumBlockCount(cMaxLines);
    mView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    mView->setTabChangesFocus(true);
    mView->setCenterOnScroll(false);
    layout->addWidget(mView, 1);

    auto* row = new QHBoxLayout;
    mClear = new QPushButton(QStringLiteral("ログを消去(&C)"), this);
    mClear->setObjectName(QStringLiteral("ClearPB"));
    row->addWidget(mClear);
    row->addStretch(1);
    layout->addLayout(row);
    connect(mClear, &QPushButton::clicked, this, [this] {
        mPending.clear();
        mPartial.clear();
        mView->clear();
    });

    mFlush.setSingleShot(true);
    mFlush.setInterval(cFlushMs);
    connect(&mFlush, &QTimer::timeout, this, &TrafficPanel::flush);
}

TrafficPanel::~TrafficPanel()
{
    setLogging(false);
}

void TrafficPanel::showEvent(QShowEvent* event)
{
    setLogging(true);
    QWidget::showEvent(event);
}

void TrafficPanel::hideEvent(QHideEvent* event)
{
    setLogging(false);
    flush();
    QWidget::hideEvent(event);
}

void TrafficPanel::setLogging(bool on)
{
    ControllerLink* link = ConsoleJobs::link();
    if (!link || mLogging == on)
        return;
    mLogging = on;
    // A log line per byte is work no one needs while nobody looks.
    link->mLogTraffic = on;
    if (on)
        connect(link, &ControllerLink::logAppended, this, &TrafficPanel::append);
    else
        disconnect(link, &ControllerLink::logAppended, this, &TrafficPanel::append);
}

void TrafficPanel::append(const QString& text)
{
    // The link ends its lines with 0D.
    QStringList lines = (mPartial + text).split(QLatin1Char('\r'));
    mPartial = lines.takeLast();
    for (const QString& line : std::as_const(lines)) {
        if (!line.isEmpty())
            mPending << line;
    }
    // Only the last lines can ever be shown.
    if (mPending.size() > cMaxLines)
        mPending.erase(mPending.begin(), mPending.end() - cMaxLines);
    if (!mFlush.isActive())
        mFlush.start();
}

void TrafficPanel::flush()
{
    mFlush.stop();
    if (mPending.isEmpty())
        return;
    mView->appendPlainText(mPending.join(QLatin1Char('\n')));
    mPending.clear();
}
