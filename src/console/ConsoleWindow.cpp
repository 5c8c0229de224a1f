#include "ConsoleWindow.h"

#include "ConsoleJobs.h"
#include "MemoryPanel.h"
#include "ProgramPanel.h"
#include "SequencePanel.h"
#include "ServoPanel.h"
#include "TrafficPanel.h"
#include "link/BoardJobs.h"
#include "link/ControllerLink.h"

#include <QCloseEvent>
#include <QEvent>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

// Run control: the link's command, its caption and the byte it sends.
struct RunCommand
{
    const char* command;
    const char* caption;
    const char* name; // in the result line
    quint8 code;
};
const RunCommand kRunCommands[] = {
    {"RUN", "実行(&R)", "実行", 0xFB},
    {"STOP", "停止(&T)", "停止", 0xFA},
    {"BREAK", "ブレーク(&K)", "ブレーク", 0xF3},
    {"RESET", "リセット(&E)", "リセット", 0xFC},
};

const QString kUnknown = QStringLiteral("—");

QLabel* valueLabel(const QString& objectName, const QString& accessibleName, QWidget* parent)
{
    auto* label = new QLabel(kUnknown, parent);
    label->setObjectName(objectName);
    label->setAccessibleName(accessibleName);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

ConsoleWindow::ConsoleWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("ConsoleWindow"));
    setWindowTitle(QStringLiteral("コントローラー コンソール"));
    // A tool beside the remote: closing it must not end the program.
    setAttribute(Qt::WA_QuitOnClose, false);

    mJobs = new ConsoleJobs(this);
    connect(mJobs, &ConsoleJobs::lineFailed, this, &ConsoleWindow::onLineFailed);
    connect(mJobs, &ConsoleJobs::lineRecovered, this, &ConsoleWindow::onLineRecovered);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(buildBoardBox(), 3);
    top->addWidget(buildRunBox(), 2);
    layout->addLayout(top);

    mTabs = new QTabWidget(this);
    mTabs->setObjectName(QStringLiteral("ConsoleTabs"));
    mServo = new ServoPanel(mJobs, mTabs);
    mSequence = new SequencePanel(mJobs, mServo, mTabs);
    mMemory = new MemoryPanel(mJobs, mTabs);
    mProgram = new ProgramPanel(mJobs, mTabs);
    mTraffic = new TrafficPanel(mTabs);
    mTabs->addTab(mServo, QStringLiteral("サーボ(&V)"));
    mTabs->addTab(mSequence, QStringLiteral("シーケンス(&Q)"));
    mTabs->addTab(mMemory, QStringLiteral("メモリ(&M)"));
    mTabs->addTab(mProgram, QStringLiteral("プログラム(&G)"));
    mTabs->addTab(mTraffic, QStringLiteral("通信ログ(&L)"));
    layout->addWidget(mTabs, 1);

    mStatus = new QLabel(this);
    mStatus->setObjectName(QStringLiteral("StatusST"));
    mStatus->setAccessibleName(QStringLiteral("状態"));
    mStatus->setFrameShape(QFrame::StyledPanel);
    mStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(mStatus);

    auto* close = new QShortcut(QKeySequence::Close, this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
    // Playback from any pane: a motion is watched on the servo pane as well,
    // and Escape stops it wherever the focus is.
    const std::pair<QKeySequence, void (SequencePanel::*)()> playKeys[] = {
        {QKeySequence(Qt::Key_F5), &SequencePanel::play},
        {QKeySequence(Qt::Key_F6), &SequencePanel::step},
        {QKeySequence(Qt::Key_Escape), &SequencePanel::stop},
    };
    for (const auto& [key, action] : playKeys) {
        auto* shortcut = new QShortcut(key, this);
        connect(shortcut, &QShortcut::activated, mSequence, action);
    }

    resize(1040, 720);
}

ConsoleWindow::~ConsoleWindow()
{
    // The panels' jobs go with ConsoleJobs (a child); the port is the link's.
    mServo->setActive(false);
}

QWidget* ConsoleWindow::buildBoardBox()
{
    auto* box = new QGroupBox(QStringLiteral("ボード"), this);
    box->setObjectName(QStringLiteral("BoardGB"));
    auto* form = new QFormLayout(box);
    mModel = valueLabel(QStringLiteral("ModelST"), QStringLiteral("モデル"), box);
    mChecksum = valueLabel(QStringLiteral("ChecksumST"), QStringLiteral("チェックサム"), box);
    mSize = valueLabel(QStringLiteral("SizeST"), QStringLiteral("プログラムサイズ"), box);
    mHeader = valueLabel(QStringLiteral("HeaderST"), QStringLiteral("プログラムヘッダー"), box);
    mHeader->setFont(QFont(QStringLiteral("monospace")));
    form->addRow(QStringLiteral("モデル:"), mModel);
    form->addRow(QStringLiteral("チェックサム（SRAM 04F2〜04F3）:"), mChecksum);
    form->addRow(QStringLiteral("プログラムサイズ:"), mSize);
    form->addRow(QStringLiteral("プログラムヘッダー:"), mHeader);
    mReadBoard = new QPushButton(QStringLiteral("ボード情報を読む(&I)"), box);
    mReadBoard->setObjectName(QStringLiteral("ReadBoardPB"));
    connect(mReadBoard, &QPushButton::clicked, this, &ConsoleWindow::readBoard);
    form->addRow(QString(), mReadBoard);
    return box;
}

QWidget* ConsoleWindow::buildRunBox()
{
    auto* box = new QGroupBox(QStringLiteral("実行制御"), this);
    box->setObjectName(QStringLiteral("RunGB"));
    auto* v = new QVBoxLayout(box);
    auto* row = new QHBoxLayout;
    for (const RunCommand& c : kRunCommands) {
        auto* b = new QPushButton(QString::fromUtf8(c.caption), box);
        b->setObjectName(QStringLiteral("%1PB").arg(QLatin1String(c.command)));
        const QString command = QLatin1String(c.command);
        connect(b, &QPushButton::clicked, this, [this, command] { runControl(command); });
        row->addWidget(b);
        mRunButtons << b;
    }
    v->addLayout(row);
    mRunResult = new QLabel(box);
    mRunResult->setObjectName(QStringLiteral("RunResultST"));
    mRunResult->setAccessibleName(QStringLiteral("実行制御の結果"));
    mRunResult->setWordWrap(true);
    mRunResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    v->addWidget(mRunResult);
    v->addStretch(1);
    return box;
}

QPushButton* ConsoleWindow::runButton(const QString& command) const
{
    for (QPushButton* b : mRunButtons) {
        if (b->objectName() == command + QStringLiteral("PB"))
            return b;
    }
    return nullptr;
}

void ConsoleWindow::setStatus(const QString& text)
{
    if (mStatus->text() != text)
        mStatus->setText(text);
}

// --- The board --------------------------------------------------------------------

void ConsoleWindow::readBoard()
{
    if (mReading)
        return;
    auto job = std::make_shared<IdentifyJob>(IdentifyJob::Depth::Full);
    mReading = true;
    mReadBoard->setEnabled(false);
    setStatus(QStringLiteral("ボード情報を読込み中..."));
    const bool queued = mJobs->submit(job, [this, job](BoardJob&) {
        mReading = false;
        mReadBoard->setEnabled(true);
        if (job->state() != BoardJob::State::Done) {
            for (QLabel* l : {mModel, mChecksum, mSize, mHeader})
                l->setText(kUnknown);
            if (job->state() == BoardJob::State::Failed && job->failure().isNull())
                setStatus(QStringLiteral("ボード情報を読めませんでした: ") + job->error());
            else if (job->state() == BoardJob::State::Cancelled)
                setStatus(QString());
            return; // a failure on the line is in the status line already
        }
        const QByteArray c = job->checksum();
        const QByteArray h = job->header();
        mModel->setText(QString::fromLatin1(job->name()));
        const int sum =
            c.size() == 2 ? quint8(c.at(0)) | quint8(c.at(1)) << 8 : -1; // low byte first
        mChecksum->setText(sum < 0 ? kUnknown
                                   : QStringLiteral("0x") +
                                         QString::number(sum, 16).toUpper().rightJustified(4, '0'));
        const int size = ProgramImage::sizeField(h);
        mSize->setText(h.size() >= ProgramImage::cHeaderSize ? QStringLiteral("%1 バイト").arg(size)
                                                             : kUnknown);
        mHeader->setText(h.isEmpty() ? kUnknown : QString::fromLatin1(h.toHex(' ').toUpper()));
        setStatus(QStringLiteral("%1 が応答しました").arg(QString::fromLatin1(job->name())));
    });
    if (!queued) {
        mReading = false;
        mReadBoard->setEnabled(true);
        setStatus(QStringLiteral("コントローラーがありません"));
    }
}

void ConsoleWindow::runControl(const QString& command)
{
    const RunCommand* c = nullptr;
    for (const RunCommand& rc : kRunCommands) {
        if (command == QLatin1String(rc.command))
            c = &rc;
    }
    if (!c)
        return;
    const QByteArray cmd = command.toLatin1();
    auto job = std::make_shared<ExchangeJob>(command.toLower(), [cmd](ControllerLink& l) {
        l.RbCmdSend(cmd, QByteArray());
        return true;
    });
    const QString name = QString::fromUtf8(c->name);
    const QString code = QStringLiteral("%1").arg(c->code, 2, 16, QLatin1Char('0')).toUpper();
    mRunResult->setText(QStringLiteral("%1: 送信中...").arg(name));
    mJobs->submit(job, [this, job, name, code](BoardJob&) {
        switch (job->state()) {
        case BoardJob::State::Done:
            // The link has beeped already when the echo was wrong.
            mRunResult->setText(
                job->echoMismatch()
                    ? QStringLiteral(
                          "%1: コントローラーは %2 を返しませんでした（エコーが違います）")
                          .arg(name, code)
                    : QStringLiteral("%1: コントローラーが受け付けました（%2 のエコー）")
                          .arg(name, code));
            break;
        case BoardJob::State::Cancelled:
            mRunResult->setText(QStringLiteral("%1: 中止しました").arg(name));
            break;
        default:
            mRunResult->setText(QStringLiteral("%1: 失敗しました（%2）")
                                    .arg(name, job->failure().isNull()
                                                   ? job->error()
                                                   : ConsoleJobs::faultText(job->failure())));
            break;
        }
    });
}

// --- The line -----------------------------------------------------------------------

void ConsoleWindow::onLineFailed(const LinkFailure& failure, const QString& text)
{
    QString line = text;
    if (failure.fault != LinkFault::Closed && mServo->isActive() && !mServo->isPaused())
        line += QStringLiteral("（サーボの読取りを止め、%1 秒ごとに試します）")
                    .arg(ServoPanel::cRetryMs / 1000);
    setStatus(line);
}

void ConsoleWindow::onLineRecovered()
{
    setStatus(QStringLiteral("コントローラーが応答しました"));
}

// --- Being on screen ----------------------------------------------------------------

void ConsoleWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!mOpen) {
        // Opened (not restored from the task bar): who is on the line now.
        mOpen = true;
        readBoard();
    }
    mServo->setActive(!isMinimized());
}

void ConsoleWindow::closeEvent(QCloseEvent* event)
{
    // Unsaved changes to the sequence are asked about before the window goes.
    if (!mSequence->maySetAside()) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void ConsoleWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    mServo->setActive(false);
    if (isMinimized())
        return;
    // Closed: nothing of the console's goes on, and the port is let go.
    mOpen = false;
    mJobs->cancelAll();
    mJobs->releasePort();
}

void ConsoleWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        mServo->setActive(isVisible() && !isMinimized());
}
