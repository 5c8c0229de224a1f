#include "ServoPanel.h"

#include "ConsoleJobs.h"
#include "link/BoardJobs.h"
#include "link/ControllerLink.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

constexpr int kGroups = ServoPanel::cChannels / ServoPanel::cGroupSize;
constexpr int kGroupColumns = 2;

QSpinBox* byteBox(const QString& objectName, const QString& accessibleName, QWidget* parent)
{
    auto* box = new QSpinBox(parent);
    box->setObjectName(objectName);
    box->setAccessibleName(accessibleName);
    box->setRange(0, 255);
    // The value goes out on Return, on leaving the box or with the arrows,
    // not with every digit typed.
    box->setKeyboardTracking(false);
    return box;
}

} // namespace

ServoPanel::ServoPanel(ConsoleJobs* jobs, QWidget* parent) : QWidget(parent), mJobs(jobs)
{
    setObjectName(QStringLiteral("ServoPanel"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(buildBoardRow());

    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("ServoArea"));
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus); // Tab goes to the channels, not to the frame
    auto* area = new QWidget(scroll);
    buildChannels(area);
    scroll->setWidget(area);
    layout->addWidget(scroll, 1);

    mRetry.setSingleShot(true);
    mRetry.setInterval(cRetryMs);
    connect(&mRetry, &QTimer::timeout, this, &ServoPanel::poll);
}

QWidget* ServoPanel::buildBoardRow()
{
    auto* row = new QWidget(this);
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);

    mPause = new QPushButton(QStringLiteral("一時停止(&P)"), row);
    mPause->setObjectName(QStringLiteral("PausePB"));
    mPause->setCheckable(true);
    mPause->setToolTip(QStringLiteral("サーボ位置の読取りを止めます"));
    connect(mPause, &QPushButton::toggled, this, &ServoPanel::updatePolling);
    h->addWidget(mPause);

    mAllOn = new QPushButton(QStringLiteral("すべてオン(&N)"), row);
    mAllOn->setObjectName(QStringLiteral("AllOnPB"));
    mAllOff = new QPushButton(QStringLiteral("すべてオフ(&F)"), row);
    mAllOff->setObjectName(QStringLiteral("AllOffPB"));
    for (QPushButton* b : {mAllOn, mAllOff}) {
        const bool on = b == mAllOn;
        connect(b, &QPushButton::clicked, this, [this, on] {
            for (int ch = 1; ch <= cChannels; ++ch) {
                power(ch)->setChecked(on);
                switchPower(ch, on);
            }
        });
        h->addWidget(b);
    }
    h->addSpacing(12);

    auto* speedLabel = new QLabel(QStringLiteral("速度:"), row);
    mSpeed = byteBox(QStringLiteral("SpeedNB"), QStringLiteral("速度"), row);
    speedLabel->setBuddy(mSpeed);
    mSpeedSet = new QPushButton(QStringLiteral("速度を設定(&D)"), row);
    mSpeedSet->setObjectName(QStringLiteral("SpeedPB"));
    connect(mSpeedSet, &QPushButton::clicked, this, [this] {
        const int v = mSpeed->value();
        sendSetting(QStringLiteral("speed"), [v](ControllerLink& l) { return l.Cmd_SPEED(v); });
    });
    h->addWidget(speedLabel);
    h->addWidget(mSpeed);
    h->addWidget(mSpeedSet);

    auto* valueLabel = new QLabel(QStringLiteral("速度値:"), row);
    mSpeedValue = byteBox(QStringLiteral("SpeedValueNB"), QStringLiteral("速度値"), row);
    valueLabel->setBuddy(mSpeedValue);
    mSpeedValueSet = new QPushButton(QStringLiteral("速度値を設定(&W)"), row);
    mSpeedValueSet->setObjectName(QStringLiteral("SpeedValuePB"));
    connect(mSpeedValueSet, &QPushButton::clicked, this, [this] {
        const int v = mSpeedValue->value();
        sendSetting(QStringLiteral("speed-v"), [v](ControllerLink& l) { return l.Cmd_SPEED_V(v); });
    });
    h->addWidget(valueLabel);
    h->addWidget(mSpeedValue);
    h->addWidget(mSpeedValueSet);

    mPtp = new QCheckBox(QStringLiteral("ポイント・ツー・ポイント(&O)"), row);
    mPtp->setObjectName(QStringLiteral("PtpCB"));
    connect(mPtp, &QCheckBox::clicked, this, [this](bool on) {
        sendSetting(QStringLiteral("ptp"), [on](ControllerLink& l) { return l.Cmd_PTP_SET(on); });
    });
    h->addWidget(mPtp);
    h->addSpacing(12);

    auto* movingCaption = new QLabel(QStringLiteral("動作:"), row);
    mMoving = new QLabel(row);
    mMoving->setObjectName(QStringLiteral("MovingST"));
    mMoving->setAccessibleName(QStringLiteral("動作状態"));
    h->addWidget(movingCaption);
    h->addWidget(mMoving);
    h->addStretch(1);
    setMoving(-1);
    return row;
}

void ServoPanel::buildChannels(QWidget* area)
{
    auto* grid = new QGridLayout(area);
    for (int g = 0; g < kGroups; ++g) {
        const int first = g * cGroupSize + 1;
        auto* box = new QGroupBox(QStringLiteral("グループ %1（%2〜%3）")
                                      .arg(g + 1)
                                      .arg(first)
                                      .arg(first + cGroupSize - 1),
                                  area);
        box->setObjectName(QStringLiteral("Group%1GB").arg(g + 1));
        auto* rows = new QGridLayout(box);
        for (int i = 0; i < cGroupSize; ++i) {
            const int ch = first + i;
            auto* label = new QLabel(QString::number(ch), box);
            auto* slider = new QSlider(Qt::Horizontal, box);
            slider->setObjectName(QStringLiteral("Servo%1SL").arg(ch));
            slider->setAccessibleName(QStringLiteral("サーボ %1 の位置").arg(ch));
            slider->setRange(0, 255);
            slider->setPageStep(16);
            slider->setMinimumWidth(120);
            label->setBuddy(slider);
            auto* number = byteBox(QStringLiteral("Servo%1NB").arg(ch),
                                   QStringLiteral("サーボ %1 の位置（数値）").arg(ch), box);
            auto* power = new QCheckBox(QStringLiteral("オン"), box);
            power->setObjectName(QStringLiteral("Servo%1SW").arg(ch));
            power->setAccessibleName(QStringLiteral("サーボ %1 オン").arg(ch));
            rows->addWidget(label, i, 0);
            rows->addWidget(slider, i, 1);
            rows->addWidget(number, i, 2);
            rows->addWidget(power, i, 3);
            rows->setColumnStretch(1, 1);

            // The slider and the number show the same position; whichever the
            // user changes sends it.
            connect(slider, &QSlider::valueChanged, this, [this, ch, number](int v) {
                const QSignalBlocker quiet(number);
                number->setValue(v);
                moveTo(ch, v);
            });
            connect(number, &QSpinBox::valueChanged, this, [this, ch, slider](int v) {
                const QSignalBlocker quiet(slider);
                slider->setValue(v);
                moveTo(ch, v);
            });
            connect(power, &QCheckBox::clicked, this, [this, ch](bool on) { switchPower(ch, on); });
            mSliders[size_t(ch - 1)] = slider;
            mNumbers[size_t(ch - 1)] = number;
            mPowers[size_t(ch - 1)] = power;
        }
        grid->addWidget(box, g / kGroupColumns, g % kGroupColumns);
    }
}

// --- Polling ------------------------------------------------------------------------

void ServoPanel::setActive(bool active)
{
    mActive = active;
    updatePolling();
}

void ServoPanel::setPaused(bool paused)
{
    mPause->setChecked(paused); // updatePolling follows from the toggle
}

bool ServoPanel::isPaused() const
{
    return mPause->isChecked();
}

bool ServoPanel::isPolling() const
{
    return mRefresh || mMovingPoll || mRetry.isActive();
}

void ServoPanel::updatePolling()
{
    if (mActive && !isPaused())
        poll();
    else
        stopPolling();
}

void ServoPanel::stopPolling()
{
    mRetry.stop();
    if (mRefresh)
        mJobs->cancel(mRefresh);
    if (mMovingPoll)
        mJobs->cancel(mMovingPoll);
    // The port goes once the console has nothing else on the line.
    mJobs->releasePort();
}

void ServoPanel::poll()
{
    if (!mActive || isPaused() || mRefresh || mMovingPoll)
        return;
    mRetry.stop();
    mTouched.clear();
    auto refresh = std::make_shared<ServoRefreshJob>();
    refresh->background = true;
    mRefresh = refresh;
    const bool queued = mJobs->submit(refresh, [this, refresh](BoardJob&) {
        mRefresh.reset();
        if (!mActive || isPaused())
            return; // stopped meanwhile: its last group came in before the cancel took
        if (refresh->state() == BoardJob::State::Done) {
            mGarbled = 0;
            onRefreshed(*refresh);
            // The moving flag, polled with every few refreshes.
            if (mSinceMovingPoll++ % cRefreshesPerMovingPoll != 0) {
                QTimer::singleShot(0, this, &ServoPanel::poll);
                return;
            }
            auto moving = std::make_shared<ExchangeJob>(
                QStringLiteral("moving"), [](ControllerLink& l) { return l.Cmd_IsMOVING(); });
            moving->background = true;
            mMovingPoll = moving;
            if (!mJobs->submit(moving, [this, moving](BoardJob&) {
                    mMovingPoll.reset();
                    if (!mActive || isPaused())
                        return;
                    if (moving->state() == BoardJob::State::Done) {
                        onMovingRead(*moving);
                        // Again, once the event loop has had its turn.
                        QTimer::singleShot(0, this, &ServoPanel::poll);
                    } else {
                        pollOver(moving->state() == BoardJob::State::Failed, moving->failure());
                    }
                }))
                mMovingPoll.reset();
        } else {
            pollOver(refresh->state() == BoardJob::State::Failed, refresh->failure());
        }
    });
    if (!queued)
        mRefresh.reset();
}

void ServoPanel::pollOver(bool failed, const LinkFailure& failure)
{
    if (!failed)
        return; // cancelled: whoever cancelled decides what comes next
    if (failure.fault == LinkFault::Closed) {
        // The user closed the link (the lamp, the Port menu): polling would
        // open it again at once, so it pauses until the user resumes it.
        setPaused(true);
        return;
    }
    // A stray answer (noise on the line, a late answer) spoils that poll
    // only: the next goes at once. A few in a row: the line is not well.
    const bool garbled =
        failure.fault == LinkFault::LineNoise || failure.fault == LinkFault::WrongReply;
    if (garbled && ++mGarbled < cGarbledInARow) {
        QTimer::singleShot(0, this, &ServoPanel::poll);
        return;
    }
    mGarbled = 0;
    setMoving(-1);
    // Quietly, every couple of seconds, until the board answers; the port is
    // not held meanwhile.
    mRetry.start();
    mJobs->releasePort();
    emit pollFailed();
}

void ServoPanel::onRefreshed(const ServoRefreshJob& job)
{
    ++mRefreshes;
    for (int ch = 1; ch <= cChannels; ++ch) {
        const int position = job.position(ch);
        QSlider* s = slider(ch);
        // The user's hand wins over what the board said a moment ago.
        if (position < 0 || s->isSliderDown() || mTouched.contains(ch))
            continue;
        if (s->value() != position) {
            const QSignalBlocker quiet(s);
            s->setValue(position);
        }
        QSpinBox* n = number(ch);
        if (!n->hasFocus() && n->value() != position) {
            const QSignalBlocker quiet(n);
            n->setValue(position);
        }
    }
}

void ServoPanel::onMovingRead(const ExchangeJob& job)
{
    // B0 is echoed; the answer to the 00 after it is the flag.
    const QByteArray r = job.readData();
    setMoving(r.size() >= 2 ? int(quint8(r.at(1))) : -1);
}

void ServoPanel::setMoving(int flag)
{
    const QString text = flag < 0    ? QStringLiteral("—")
                         : flag == 0 ? QStringLiteral("停止中")
                                     : QStringLiteral("動作中");
    if (mMoving->text() != text)
        mMoving->setText(text);
}

// --- Commands -------------------------------------------------------------------

void ServoPanel::moveTo(int channel, int position)
{
    mTouched.insert(channel);
    // One live move: while it is not over it takes the newest value, so a
    // slider dragged over a slow line sends where it is now.
    if (mMove && !mMove->isOver()) {
        mMove->set(channel, position);
        return;
    }
    mMove = std::make_shared<ServoMoveJob>();
    mMove->set(channel, position);
    mJobs->submit(mMove);
}

void ServoPanel::switchPower(int channel, bool on)
{
    if (mPower && !mPower->isOver()) {
        mPower->set(channel, on);
        return;
    }
    mPower = std::make_shared<ServoPowerJob>();
    mPower->set(channel, on);
    mJobs->submit(mPower);
}

void ServoPanel::sendSetting(const QString& title,
                             const std::function<bool(ControllerLink&)>& start)
{
    mJobs->submit(std::make_shared<ExchangeJob>(title, start));
}
