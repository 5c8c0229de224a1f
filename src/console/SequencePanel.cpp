#include "SequencePanel.h"

#include "ConsoleJobs.h"
#include "MemoryPanel.h"
#include "ServoPanel.h"
#include "app/MsgDlg.h"
#include "link/BoardJobs.h"
#include "link/SequenceFile.h"
#include "link/SequencePlayer.h"
#include "platform/Services.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cerrno>

namespace {

const QString kFileFilter = QStringLiteral("シーケンス (*.json);;すべてのファイル (*)");
const QString kPlayingMark = QStringLiteral("▶");

QString Native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

QString FrameTitle(const Sequence& sequence, int index)
{
    const QString name = sequence.frames.at(index).name;
    return name.isEmpty() ? QStringLiteral("フレーム %1").arg(index + 1)
                          : QStringLiteral("フレーム %1「%2」").arg(index + 1).arg(name);
}

QString SequenceTitle(const Sequence& sequence)
{
    return sequence.name.isEmpty() ? QStringLiteral("（名前なし）") : sequence.name;
}

QPushButton* Button(const QString& caption, const QString& objectName, QWidget* parent)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(objectName);
    return b;
}

QSpinBox* MsBox(const QString& objectName, const QString& accessibleName, QWidget* parent)
{
    auto* box = new QSpinBox(parent);
    box->setObjectName(objectName);
    box->setAccessibleName(accessibleName);
    box->setRange(0, sequence::cMaxMs);
    box->setSingleStep(50);
    box->setSuffix(QStringLiteral(" ms"));
    return box;
}

} // namespace

SequencePanel::SequencePanel(ConsoleJobs* jobs, ServoPanel* servos, QWidget* parent)
    : QWidget(parent), mJobs(jobs), mServos(servos)
{
    setObjectName(QStringLiteral("SequencePanel"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(buildFileRow());

    auto* middle = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    auto* edits = new QHBoxLayout;
    mAddPose = Button(QStringLiteral("姿勢を追加(&P)"), QStringLiteral("AddPosePB"), this);
    mAddPose->setToolTip(QStringLiteral("サーボのページでオンのサーボを、スライダーの位置で"
                                        "フレームにします"));
    mReadPose = Button(QStringLiteral("ボードから追加(&B)"), QStringLiteral("ReadPosePB"), this);
    mReadPose->setToolTip(QStringLiteral("オンのサーボの位置をボードから読んでフレームにします"));
    mDuplicate = Button(QStringLiteral("複製(&C)"), QStringLiteral("DuplicatePB"), this);
    mRemove = Button(QStringLiteral("削除(&D)"), QStringLiteral("RemovePB"), this);
    mUp = Button(QStringLiteral("上へ"), QStringLiteral("UpPB"), this);
    mUp->setToolTip(QStringLiteral("選んだフレームを前へ移します（Ctrl+↑）"));
    mDown = Button(QStringLiteral("下へ"), QStringLiteral("DownPB"), this);
    mDown->setToolTip(QStringLiteral("選んだフレームを後ろへ移します（Ctrl+↓）"));
    for (QPushButton* b : {mAddPose, mReadPose, mDuplicate, mRemove, mUp, mDown})
        edits->addWidget(b);
    edits->addStretch(1);
    connect(mAddPose, &QPushButton::clicked, this, &SequencePanel::addPose);
    connect(mReadPose, &QPushButton::clicked, this, &SequencePanel::readPose);
    connect(mDuplicate, &QPushButton::clicked, this, &SequencePanel::duplicateFrame);
    connect(mRemove, &QPushButton::clicked, this, &SequencePanel::removeFrame);
    connect(mUp, &QPushButton::clicked, this, [this] { moveFrame(-1); });
    connect(mDown, &QPushButton::clicked, this, [this] { moveFrame(1); });
    left->addLayout(edits);

    mFrames = new QTableWidget(0, ColumnCount, this);
    mFrames->setObjectName(QStringLiteral("FramesTV"));
    mFrames->setAccessibleName(QStringLiteral("フレームの一覧"));
    mFrames->setHorizontalHeaderLabels({QString(), QStringLiteral("名前"), QStringLiteral("速度"),
                                        QStringLiteral("待ち"), QStringLiteral("保持"),
                                        QStringLiteral("前のフレームからの変化")});
    mFrames->setSelectionBehavior(QAbstractItemView::SelectRows);
    mFrames->setSelectionMode(QAbstractItemView::SingleSelection);
    mFrames->setEditTriggers(QAbstractItemView::NoEditTriggers);
    mFrames->setTabKeyNavigation(false); // Tab leaves the list; the arrows move in it
    mFrames->setWordWrap(false);
    QHeaderView* header = mFrames->horizontalHeader();
    for (int c = MarkColumn; c < ChangesColumn; ++c)
        header->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    // Names are the user's: a column of their own width, whatever the first ones were.
    header->setSectionResizeMode(NameColumn, QHeaderView::Interactive);
    header->resizeSection(NameColumn,
                          header->fontMetrics().horizontalAdvance(QStringLiteral("M")) * 12);
    header->setStretchLastSection(true);
    connect(mFrames, &QTableWidget::itemSelectionChanged, this, [this] {
        showSelected();
        updateActions();
    });
    left->addWidget(mFrames, 1);
    middle->addLayout(left, 3);
    middle->addWidget(buildFrameEditor(), 2);
    layout->addLayout(middle, 1);
    layout->addWidget(buildPlayRow());

    mResult = new QLabel(this);
    mResult->setObjectName(QStringLiteral("SequenceResultST"));
    mResult->setAccessibleName(QStringLiteral("シーケンスの状態"));
    mResult->setWordWrap(true);
    mResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(mResult);

    // Keys while the pane is shown: the files, the delete key on the list,
    // and moving the selected frame.
    const auto key = [this](const QKeySequence& sequence, auto slot) {
        auto* s = new QShortcut(sequence, this);
        connect(s, &QShortcut::activated, this, slot);
        return s;
    };
    key(QKeySequence::New, [this] { newSequence(); });
    key(QKeySequence::Open, [this] { open(); });
    key(QKeySequence::Save, [this] { save(); });
    key(QKeySequence::SaveAs, [this] { saveAs(); });
    key(QKeySequence(Qt::CTRL | Qt::Key_Up), [this] { moveFrame(-1); });
    key(QKeySequence(Qt::CTRL | Qt::Key_Down), [this] { moveFrame(1); });
    auto* del = new QShortcut(QKeySequence::Delete, mFrames, nullptr, nullptr,
                              Qt::WidgetWithChildrenShortcut);
    connect(del, &QShortcut::activated, this, &SequencePanel::removeFrame);

    updateFileLabel();
    refreshList();
    showSelected();
    updateActions();
}

SequencePanel::~SequencePanel()
{
    // The scheduler may hold the job a little longer (a cancel takes effect
    // after the exchange on the line): it must not call into a panel that is
    // gone.
    if (mPlayer)
        mPlayer->frameBegins = nullptr;
}

QWidget* SequencePanel::buildFileRow()
{
    auto* row = new QWidget(this);
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    mNew = Button(QStringLiteral("新規(&N)"), QStringLiteral("NewPB"), row);
    mOpen = Button(QStringLiteral("開く...(&O)"), QStringLiteral("OpenPB"), row);
    mSave = Button(QStringLiteral("保存(&S)"), QStringLiteral("SavePB"), row);
    mSaveAs = Button(QStringLiteral("名前を付けて保存...(&A)"), QStringLiteral("SaveAsPB"), row);
    connect(mNew, &QPushButton::clicked, this, &SequencePanel::newSequence);
    connect(mOpen, &QPushButton::clicked, this, &SequencePanel::open);
    connect(mSave, &QPushButton::clicked, this, &SequencePanel::save);
    connect(mSaveAs, &QPushButton::clicked, this, &SequencePanel::saveAs);
    for (QPushButton* b : {mNew, mOpen, mSave, mSaveAs})
        h->addWidget(b);
    h->addSpacing(12);

    auto* nameLabel = new QLabel(QStringLiteral("シーケンス名(&J):"), row);
    mName = new QLineEdit(row);
    mName->setObjectName(QStringLiteral("SequenceNameED"));
    mName->setAccessibleName(QStringLiteral("シーケンス名"));
    mName->setPlaceholderText(QStringLiteral("（名前なし）"));
    nameLabel->setBuddy(mName);
    connect(mName, &QLineEdit::textEdited, this, [this](const QString& text) {
        mSequence.name = text;
        setModified(true);
    });
    h->addWidget(nameLabel);
    h->addWidget(mName, 1);

    mFile = new QLabel(row);
    mFile->setObjectName(QStringLiteral("SequenceFileST"));
    mFile->setAccessibleName(QStringLiteral("シーケンスのファイル"));
    mFile->setTextInteractionFlags(Qt::TextSelectableByMouse);
    h->addWidget(mFile, 2);
    return row;
}

QWidget* SequencePanel::buildFrameEditor()
{
    auto* box = new QGroupBox(QStringLiteral("選んだフレーム"), this);
    box->setObjectName(QStringLiteral("FrameGB"));
    mEditor = box;
    auto* form = new QFormLayout(box);

    mFrameName = new QLineEdit(box);
    mFrameName->setObjectName(QStringLiteral("FrameNameED"));
    mFrameName->setAccessibleName(QStringLiteral("フレーム名"));
    form->addRow(QStringLiteral("フレーム名(&F):"), mFrameName);

    mSpeed = new QSpinBox(box);
    mSpeed->setObjectName(QStringLiteral("FrameSpeedNB"));
    mSpeed->setAccessibleName(QStringLiteral("フレームの速度"));
    mSpeed->setRange(0, sequence::cMaxSpeed);
    mSpeed->setToolTip(QStringLiteral("B2 の速度ステップ。0 はすぐに、N は 20 ms ごとに N "
                                      "ずつ動きます"));
    form->addRow(QStringLiteral("速度(&U):"), mSpeed);

    auto* waitRow = new QHBoxLayout;
    mWait = new QComboBox(box);
    mWait->setObjectName(QStringLiteral("FrameWaitCB"));
    mWait->setAccessibleName(QStringLiteral("フレームの待ち方"));
    mWait->addItems({QStringLiteral("止まるまで"), QStringLiteral("一定時間")});
    mWaitMs = MsBox(QStringLiteral("FrameWaitNB"), QStringLiteral("待ち時間"), box);
    waitRow->addWidget(mWait);
    waitRow->addWidget(mWaitMs);
    form->addRow(QStringLiteral("待ち(&W):"), waitRow);
    // The label's mnemonic goes to the way of waiting.
    if (auto* label = qobject_cast<QLabel*>(form->labelForField(waitRow)))
        label->setBuddy(mWait);

    mHold = MsBox(QStringLiteral("FrameHoldNB"), QStringLiteral("保持時間"), box);
    form->addRow(QStringLiteral("保持(&H):"), mHold);

    mPose = new QLabel(box);
    mPose->setObjectName(QStringLiteral("FramePoseST"));
    mPose->setAccessibleName(QStringLiteral("フレームの姿勢"));
    mPose->setWordWrap(true);
    mPose->setTextInteractionFlags(Qt::TextSelectableByMouse);
    mPose->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    form->addRow(QStringLiteral("姿勢:"), mPose);

    // Every change goes into the selected frame at once.
    const auto change = [this](auto apply) {
        const int i = selectedFrame();
        if (i < 0 || isPlaying())
            return;
        apply(mSequence.frames[i]);
        edited();
    };
    connect(mFrameName, &QLineEdit::textEdited, this,
            [change](const QString& text) { change([&](Frame& f) { f.name = text; }); });
    connect(mSpeed, &QSpinBox::valueChanged, this,
            [change](int v) { change([&](Frame& f) { f.speed = v; }); });
    connect(mWait, &QComboBox::currentIndexChanged, this, [this, change](int index) {
        const bool fixed = index == 1;
        mWaitMs->setEnabled(fixed);
        change([&](Frame& f) {
            f.wait = fixed ? Frame::Wait::Fixed : Frame::Wait::UntilStopped;
            f.waitMs = fixed ? mWaitMs->value() : 0;
        });
    });
    connect(mWaitMs, &QSpinBox::valueChanged, this, [change](int v) {
        change([&](Frame& f) {
            if (f.wait == Frame::Wait::Fixed)
                f.waitMs = v;
        });
    });
    connect(mHold, &QSpinBox::valueChanged, this,
            [change](int v) { change([&](Frame& f) { f.holdMs = v; }); });
    return box;
}

QWidget* SequencePanel::buildPlayRow()
{
    auto* row = new QWidget(this);
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    mPlay = Button(QStringLiteral("再生(&Y)"), QStringLiteral("PlayPB"), row);
    mPlay->setToolTip(QStringLiteral("最初のフレームから再生します（F5）"));
    mLoop = new QCheckBox(QStringLiteral("繰り返す(&Z)"), row);
    mLoop->setObjectName(QStringLiteral("LoopCB"));
    mLoop->setToolTip(QStringLiteral("停止するまで最後のフレームから最初に戻って続けます"));
    mStep = Button(QStringLiteral("選んだフレームだけ(&X)"), QStringLiteral("StepPB"), row);
    mStep->setToolTip(QStringLiteral("選んだフレームだけを送ります（F6）"));
    mStop = Button(QStringLiteral("停止"), QStringLiteral("StopSequencePB"), row);
    mStop->setToolTip(QStringLiteral("動きをその場で止めます（Esc）"));
    connect(mPlay, &QPushButton::clicked, this, &SequencePanel::play);
    connect(mStep, &QPushButton::clicked, this, &SequencePanel::step);
    connect(mStop, &QPushButton::clicked, this, &SequencePanel::stop);
    h->addWidget(mPlay);
    h->addWidget(mLoop);
    h->addWidget(mStep);
    h->addWidget(mStop);
    h->addStretch(1);
    return row;
}

// --- What is shown ------------------------------------------------------------------

QString SequencePanel::changesText(const QList<ChannelChange>& changes)
{
    if (changes.isEmpty())
        return QStringLiteral("変化なし");
    QStringList parts;
    for (const ChannelChange& c : changes) {
        switch (c.kind) {
        case ChannelChange::Kind::Moved:
            parts << QStringLiteral("%1: %2（%3%4）")
                         .arg(c.channel)
                         .arg(c.after.position)
                         .arg(c.delta() > 0 ? QStringLiteral("+") : QString())
                         .arg(c.delta());
            break;
        case ChannelChange::Kind::SwitchedOn:
            parts << QStringLiteral("%1: オン %2").arg(c.channel).arg(c.after.position);
            break;
        case ChannelChange::Kind::SwitchedOff:
            parts << QStringLiteral("%1: オフ").arg(c.channel);
            break;
        }
    }
    return parts.join(QStringLiteral("、"));
}

QString SequencePanel::poseText(const Pose& pose)
{
    if (pose.channels.isEmpty())
        return QStringLiteral("（サーボなし）");
    QStringList parts;
    for (auto it = pose.channels.cbegin(); it != pose.channels.cend(); ++it)
        parts << (it->on ? QStringLiteral("%1: %2").arg(it.key()).arg(it->position)
                         : QStringLiteral("%1: オフ").arg(it.key()));
    return parts.join(QStringLiteral("、"));
}

int SequencePanel::selectedFrame() const
{
    const QList<QTableWidgetSelectionRange> ranges = mFrames->selectedRanges();
    return ranges.isEmpty() ? -1 : ranges.first().topRow();
}

void SequencePanel::selectFrame(int index)
{
    if (index < 0 || index >= mSequence.frames.size()) {
        mFrames->clearSelection();
        mFrames->setCurrentItem(nullptr);
    } else {
        mFrames->selectRow(index);
        mFrames->scrollToItem(mFrames->item(index, NameColumn));
    }
    showSelected();
    updateActions();
}

void SequencePanel::refreshList()
{
    const int rows = int(mSequence.frames.size());
    mFrames->setRowCount(rows);
    for (int i = 0; i < rows; ++i) {
        const Frame& f = mSequence.frames.at(i);
        const QString texts[ColumnCount] = {
            i == mPlaying ? kPlayingMark : QString(),
            f.name,
            QString::number(f.speed),
            f.wait == Frame::Wait::Fixed ? QStringLiteral("%1 ms").arg(f.waitMs)
                                         : QStringLiteral("止まるまで"),
            QStringLiteral("%1 ms").arg(f.holdMs),
            changesText(mSequence.changes(i)),
        };
        for (int c = 0; c < ColumnCount; ++c) {
            QTableWidgetItem* item = mFrames->item(i, c);
            if (!item) {
                item = new QTableWidgetItem;
                item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
                mFrames->setItem(i, c, item);
            }
            if (item->text() != texts[c])
                item->setText(texts[c]);
        }
        QTableWidgetItem* mark = mFrames->item(i, MarkColumn);
        mark->setData(Qt::AccessibleTextRole, i == mPlaying ? QStringLiteral("再生中") : QString());
        mFrames->item(i, ChangesColumn)->setToolTip(poseText(f.pose));
    }
    mFrames->setVerticalHeaderLabels([rows] {
        QStringList numbers;
        for (int i = 1; i <= rows; ++i)
            numbers << QString::number(i);
        return numbers;
    }());
}

void SequencePanel::showSelected()
{
    const int i = selectedFrame();
    const QSignalBlocker a(mFrameName), b(mSpeed), c(mWait), d(mWaitMs), e(mHold);
    if (i < 0) {
        mFrameName->clear();
        mSpeed->setValue(0);
        mWait->setCurrentIndex(0);
        mWaitMs->setValue(0);
        mHold->setValue(0);
        mPose->setText(
            mSequence.frames.isEmpty()
                ? QStringLiteral("「姿勢を追加」でサーボのページの姿勢をフレームにします。")
                : QStringLiteral("フレームが選ばれていません。"));
        return;
    }
    const Frame& f = mSequence.frames.at(i);
    if (mFrameName->text() != f.name)
        mFrameName->setText(f.name);
    mSpeed->setValue(f.speed);
    mWait->setCurrentIndex(f.wait == Frame::Wait::Fixed ? 1 : 0);
    mWaitMs->setValue(f.wait == Frame::Wait::Fixed ? f.waitMs : 0);
    mHold->setValue(f.holdMs);
    mPose->setText(poseText(f.pose));
}

void SequencePanel::updateActions()
{
    const bool playing = isPlaying();
    const int n = int(mSequence.frames.size());
    const int i = selectedFrame();
    const bool editable = !playing;
    mNew->setEnabled(editable);
    mOpen->setEnabled(editable);
    mName->setEnabled(editable);
    mAddPose->setEnabled(editable && !mReading);
    mReadPose->setEnabled(editable && !mReading);
    mDuplicate->setEnabled(editable && i >= 0);
    mRemove->setEnabled(editable && i >= 0);
    mUp->setEnabled(editable && i > 0);
    mDown->setEnabled(editable && i >= 0 && i < n - 1);
    mEditor->setEnabled(editable && i >= 0);
    mWaitMs->setEnabled(mWait->currentIndex() == 1);
    mPlay->setEnabled(!playing && n > 0);
    mLoop->setEnabled(!playing);
    mStep->setEnabled(!playing && i >= 0);
    mStop->setEnabled(playing);
}

void SequencePanel::markPlaying(int frame)
{
    if (frame == mPlaying)
        return;
    mPlaying = frame;
    refreshList();
}

void SequencePanel::setResult(const QString& text)
{
    if (mResult->text() != text)
        mResult->setText(text);
}

void SequencePanel::setModified(bool modified)
{
    mModified = modified;
    updateFileLabel();
}

void SequencePanel::updateFileLabel()
{
    const QString file = mPath.isEmpty()
                             ? QStringLiteral("ファイル: （未保存）")
                             : QStringLiteral("ファイル: %1").arg(QFileInfo(mPath).fileName());
    mFile->setText(mModified ? file + QStringLiteral("（変更あり）") : file);
    mFile->setToolTip(Native(mPath));
}

void SequencePanel::edited()
{
    setModified(true);
    refreshList();
}

// --- Frames -------------------------------------------------------------------------

Pose SequencePanel::poseFromServos(const std::function<int(int)>& positionOf) const
{
    // The channels switched on, where they are; and switched off, those that
    // the frames before this one leave on. A channel never switched on is
    // left out, so the frame touches only the servos in use.
    const int at = selectedFrame() < 0 ? int(mSequence.frames.size()) : selectedFrame() + 1;
    const Pose before = mSequence.poseBefore(at);
    Pose pose;
    for (int ch = 1; ch <= ServoPanel::cChannels; ++ch) {
        if (mServos->power(ch)->isChecked()) {
            const int position = positionOf(ch);
            if (position >= 0)
                pose.channels.insert(ch, ServoSetting::at(position));
        } else if (const auto was = before.channels.constFind(ch);
                   was != before.channels.cend() && was->on) {
            pose.channels.insert(ch, ServoSetting::off());
        }
    }
    return pose;
}

void SequencePanel::addPose()
{
    if (isPlaying() || mReading)
        return;
    insertPose(poseFromServos([this](int ch) { return mServos->slider(ch)->value(); }));
}

void SequencePanel::readPose()
{
    if (isPlaying() || mReading)
        return;
    QList<int> on;
    for (int ch = 1; ch <= ServoPanel::cChannels; ++ch) {
        if (mServos->power(ch)->isChecked())
            on << ch;
    }
    if (on.isEmpty()) {
        insertPose(Pose()); // says why nothing was added
        return;
    }
    auto refresh = std::make_shared<ServoRefreshJob>(GroupsOf(on));
    mReading = refresh;
    setResult(QStringLiteral("ボードからサーボの位置を読んでいます..."));
    const bool queued = mJobs->submit(refresh, [this, refresh](BoardJob&) {
        mReading.reset();
        updateActions();
        switch (refresh->state()) {
        case BoardJob::State::Done:
            insertPose(poseFromServos([&](int ch) { return refresh->position(ch); }));
            return;
        case BoardJob::State::Cancelled:
            setResult(QStringLiteral("読込みを中止しました。フレームは追加していません。"));
            return;
        default:
            break;
        }
        setResult(QStringLiteral("ボードから読めませんでした: %1。フレームは追加していません。")
                      .arg(refresh->failure().isNull()
                               ? refresh->error()
                               : ConsoleJobs::faultText(refresh->failure())));
    });
    if (!queued) {
        mReading.reset();
        setResult(QStringLiteral("コントローラーがありません。"));
    }
    updateActions();
}

void SequencePanel::insertPose(const Pose& taken)
{
    if (taken.channels.isEmpty()) {
        setResult(
            QStringLiteral("オンのサーボがありません。フレームにするサーボを、サーボのページで"
                           "オンにしてください。"));
        return;
    }
    const int selected = selectedFrame();
    Frame frame;
    // A new frame moves as the one it follows: teaching a motion is mostly
    // many frames at one speed.
    if (selected >= 0) {
        const Frame& model = mSequence.frames.at(selected);
        frame.speed = model.speed;
        frame.wait = model.wait;
        frame.waitMs = model.waitMs;
        frame.holdMs = model.holdMs;
    }
    int number = int(mSequence.frames.size()) + 1;
    const auto used = [this](const QString& name) {
        for (const Frame& f : std::as_const(mSequence.frames)) {
            if (f.name == name)
                return true;
        }
        return false;
    };
    while (used(QStringLiteral("姿勢 %1").arg(number)))
        ++number;
    frame.name = QStringLiteral("姿勢 %1").arg(number);
    frame.pose = taken;
    const int index = mSequence.insertFrame(frame, selected < 0 ? -1 : selected + 1);
    edited();
    selectFrame(index);
    setResult(QStringLiteral("%1 を追加しました（サーボ %2 個）。")
                  .arg(FrameTitle(mSequence, index))
                  .arg(taken.channels.size()));
}

void SequencePanel::duplicateFrame()
{
    const int i = selectedFrame();
    if (isPlaying() || i < 0)
        return;
    const int copy = mSequence.duplicateFrame(i);
    const QString name = mSequence.frames.at(i).name;
    mSequence.frames[copy].name =
        name.isEmpty() ? QString() : QStringLiteral("%1 のコピー").arg(name);
    edited();
    selectFrame(copy);
}

void SequencePanel::removeFrame()
{
    const int i = selectedFrame();
    if (isPlaying() || i < 0)
        return;
    const QString title = FrameTitle(mSequence, i);
    mSequence.removeFrame(i);
    edited();
    selectFrame(std::min(i, int(mSequence.frames.size()) - 1));
    setResult(QStringLiteral("%1 を削除しました。").arg(title));
}

void SequencePanel::moveFrame(int by)
{
    const int i = selectedFrame();
    const int to = i + by;
    if (isPlaying() || i < 0 || to < 0 || to >= mSequence.frames.size())
        return;
    mSequence.moveFrame(i, to);
    edited();
    selectFrame(to);
}

// --- Files --------------------------------------------------------------------------

bool SequencePanel::maySetAside()
{
    if (!mModified)
        return true;
    Services::Beep();
    const int answer = MsgDlg(2, QStringLiteral("保存"), QStringLiteral("キャンセル"),
                              QStringLiteral("保存しない"),
                              QStringLiteral("シーケンス「%1」の変更は保存されていません。")
                                  .arg(SequenceTitle(mSequence)),
                              QStringLiteral("保存しますか？"), QStringLiteral("シーケンス"));
    if (answer == 1)
        return save();
    return answer == 2;
}

void SequencePanel::newSequence()
{
    if (isPlaying() || !maySetAside())
        return;
    mSequence = Sequence();
    mPath.clear();
    mName->clear();
    setModified(false);
    refreshList();
    selectFrame(-1);
    setResult(QString());
}

void SequencePanel::open()
{
    if (isPlaying() || !maySetAside())
        return;
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("シーケンスを開く"),
        mPath.isEmpty() ? QDir::homePath() : QFileInfo(mPath).absolutePath(), kFileFilter);
    if (path.isEmpty())
        return;
    QFile file(path);
    errno = 0;
    if (!file.open(QIODevice::ReadOnly)) {
        Services::Beep();
        setResult(QStringLiteral("%1 を読めません: %2")
                      .arg(Native(path), errno ? qt_error_string(errno) : file.errorString()));
        return;
    }
    sequencefile::Error error;
    const std::optional<Sequence> read = sequencefile::read(file.readAll(), &error);
    if (!read) {
        // Nothing of a refused file is used: the sequence shown stays as it was.
        const QString where =
            QStringLiteral("%1 行目に問題があります: %2").arg(error.line).arg(error.reason);
        setResult(QStringLiteral("%1 は読み込みませんでした。%2").arg(Native(path), where));
        Services::Beep();
        MsgDlg(2, QStringLiteral("OK"), QString(), QString(),
               QStringLiteral("このファイルはシーケンスとして読めません。"), where,
               QStringLiteral("シーケンスを開く"));
        return;
    }
    mSequence = *read;
    mPath = path;
    mName->setText(mSequence.name);
    setModified(false);
    refreshList();
    selectFrame(mSequence.frames.isEmpty() ? -1 : 0);
    setResult(QStringLiteral("%1 を開きました（%2 フレーム）。")
                  .arg(Native(path))
                  .arg(mSequence.frames.size()));
}

bool SequencePanel::save()
{
    return mPath.isEmpty() ? saveAs() : writeTo(mPath);
}

bool SequencePanel::saveAs()
{
    const QString suggested =
        mPath.isEmpty()
            ? QDir::home().filePath(
                  (mSequence.name.isEmpty() ? QStringLiteral("sequence") : mSequence.name) +
                  QStringLiteral(".json"))
            : mPath;
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("シーケンスの保存"),
                                                      suggested, kFileFilter);
    return !path.isEmpty() && writeTo(path);
}

bool SequencePanel::writeTo(const QString& path)
{
    // An unnamed sequence takes the file's name, as the file shows it.
    if (mSequence.name.isEmpty()) {
        mSequence.name = QFileInfo(path).completeBaseName();
        mName->setText(mSequence.name);
    }
    QString error;
    if (!MemoryPanel::saveFile(path, sequencefile::write(mSequence), &error)) {
        Services::Beep();
        setResult(QStringLiteral("%1 に保存できませんでした: %2").arg(Native(path), error));
        return false;
    }
    mPath = path;
    setModified(false);
    setResult(QStringLiteral("%1 に保存しました（%2 フレーム）。")
                  .arg(Native(path))
                  .arg(mSequence.frames.size()));
    return true;
}

// --- Playback -----------------------------------------------------------------------

void SequencePanel::play()
{
    if (mSequence.frames.isEmpty())
        return;
    PlayOptions options;
    options.loops = mLoop->isChecked() ? 0 : 1;
    start(options);
}

void SequencePanel::step()
{
    const int i = selectedFrame();
    if (i < 0)
        return;
    PlayOptions options;
    options.from = i;
    options.step = true;
    start(options);
}

void SequencePanel::stop()
{
    if (!mPlayer)
        return;
    mJobs->cancel(mPlayer);
    if (mPlayer) // a job not yet on the line is dropped at once
        setResult(QStringLiteral("停止しています..."));
}

void SequencePanel::start(const PlayOptions& options)
{
    if (isPlaying())
        return;
    auto job = std::make_shared<SequencePlayerJob>(mSequence, options);
    // As each frame begins, before its first byte: the frame is marked.
    job->frameBegins = [this](const SequencePlayerJob& j) {
        markPlaying(j.currentFrame());
        const QString pass = j.options().loops == 1 || j.options().step
                                 ? QString()
                                 : QStringLiteral("（%1 回目）").arg(j.pass());
        const QString name = j.sequence().frames.at(j.currentFrame()).name;
        setResult(QStringLiteral("再生中: フレーム %1 / %2%3%4")
                      .arg(j.currentFrame() + 1)
                      .arg(j.sequence().frames.size())
                      .arg(name.isEmpty() ? QString() : QStringLiteral("「%1」").arg(name), pass));
    };
    mPlayer = job;
    updateActions();
    setResult(QStringLiteral("再生を待っています..."));
    const bool queued = mJobs->submit(job, [this, job](BoardJob&) {
        mPlayer.reset();
        job->frameBegins = nullptr;
        markPlaying(-1);
        updateActions();
        showSelected();
        const int at = job->currentFrame();
        const QString where =
            at < 0 ? QString() : QStringLiteral("（%1で）").arg(FrameTitle(job->sequence(), at));
        switch (job->state()) {
        case BoardJob::State::Done:
            setResult(job->options().step
                          ? QStringLiteral("%1 を送りました。").arg(FrameTitle(job->sequence(), at))
                          : QStringLiteral("再生が終わりました（%1 フレーム）。")
                                .arg(job->framesPlayed()));
            return;
        case BoardJob::State::Cancelled:
            setResult(QStringLiteral("停止しました%1。").arg(where));
            return;
        default:
            break;
        }
        setResult(QStringLiteral("再生に失敗しました: %1%2。")
                      .arg(job->failure().isNull() ? job->error()
                                                   : ConsoleJobs::faultText(job->failure()),
                           where));
    });
    if (!queued) {
        mPlayer.reset();
        updateActions();
        setResult(QStringLiteral("コントローラーがありません。"));
    }
}
