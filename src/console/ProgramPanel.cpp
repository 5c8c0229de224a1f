#include "ProgramPanel.h"

#include "ConsoleJobs.h"
#include "JobProgress.h"
#include "MemoryPanel.h"
#include "app/MsgDlg.h"
#include "link/BoardJobs.h"
#include "platform/Services.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cerrno>

namespace {

QString Hex(qint32 value, int digits)
{
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

const QString kFileFilter = QStringLiteral("プログラム (*.bin);;すべてのファイル (*)");

} // namespace

ProgramPanel::ProgramPanel(ConsoleJobs* jobs, QWidget* parent) : QWidget(parent), mJobs(jobs)
{
    setObjectName(QStringLiteral("ProgramPanel"));
    auto* layout = new QVBoxLayout(this);

    auto* about = new QLabel(QStringLiteral("プログラムは外部ROMの 0000 から、16 バイトのヘッダー"
                                            "（000E〜000F がサイズ）に続いて入っています。"),
                             this);
    about->setWordWrap(true);
    layout->addWidget(about);

    auto* buttons = new QHBoxLayout;
    mBackup = new QPushButton(QStringLiteral("ファイルにバックアップ...(&B)"), this);
    mBackup->setObjectName(QStringLiteral("BackupPB"));
    mRestore = new QPushButton(QStringLiteral("ファイルから書込み...(&W)"), this);
    mRestore->setObjectName(QStringLiteral("RestorePB"));
    mVerify = new QPushButton(QStringLiteral("ファイルと照合...(&C)"), this);
    mVerify->setObjectName(QStringLiteral("VerifyPB"));
    for (QPushButton* b : {mBackup, mRestore, mVerify})
        buttons->addWidget(b);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(mBackup, &QPushButton::clicked, this, &ProgramPanel::backup);
    connect(mRestore, &QPushButton::clicked, this, &ProgramPanel::restore);
    connect(mVerify, &QPushButton::clicked, this, &ProgramPanel::verify);

    mPhase = new QLabel(this);
    mPhase->setObjectName(QStringLiteral("PhaseST"));
    layout->addWidget(mPhase);
    mProgress = new JobProgress(QStringLiteral("プログラムの転送"), this);
    layout->addWidget(mProgress);
    connect(mProgress, &JobProgress::cancelRequested, this, [this] {
        if (mJob)
            mJobs->cancel(mJob);
    });

    mResult = new QLabel(this);
    mResult->setObjectName(QStringLiteral("ResultST"));
    mResult->setWordWrap(true);
    mResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    mResult->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(mResult);

    auto* folder = new QLabel(QStringLiteral("書込みの前のバックアップの保存先: %1")
                                  .arg(QDir::toNativeSeparators(ProgramBackupFolder())),
                              this);
    folder->setObjectName(QStringLiteral("BackupFolderST"));
    folder->setWordWrap(true);
    folder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(folder);
    layout->addStretch(1);
}

QString ProgramPanel::problemText(const ProgramImage::Problem& problem)
{
    using P = ProgramImage::Problem;
    switch (problem.kind) {
    case P::None:
        break;
    case P::Erased:
        return QStringLiteral(
            "外部ROMは消去された状態です（サイズ FFFF）。プログラムはありません。");
    case P::BeyondRom:
        return QStringLiteral("プログラムのサイズ（%1 バイト）が外部ROMの大きさ（65536 バイト）を"
                              "越えています。")
            .arg(problem.size);
    case P::ShorterThanHead:
        return QStringLiteral("プログラムのサイズ（%1 バイト）がヘッダーの 16 バイトより小さく、"
                              "プログラムではありません。")
            .arg(problem.size);
    case P::FileTooShort:
        return QStringLiteral(
                   "ファイルが短すぎます（%1 バイト）。プログラムは 16 バイトのヘッダーで"
                   "始まります。")
            .arg(problem.length);
    case P::SizeMismatch:
        return QStringLiteral("ヘッダーのサイズ（%1 バイト）とファイルの長さ（%2 バイト）が一致"
                              "しません。")
            .arg(problem.size)
            .arg(problem.length);
    }
    return {};
}

void ProgramPanel::setResult(const QString& text)
{
    mResult->setText(text);
}

QByteArray ProgramPanel::chooseFile(const QString& title, QString& path)
{
    path = QFileDialog::getOpenFileName(this, title, QDir::homePath(), kFileFilter);
    if (path.isEmpty())
        return {};
    QFile file(path);
    errno = 0;
    if (!file.open(QIODevice::ReadOnly)) {
        setResult(QStringLiteral("%1 を読めません: %2")
                      .arg(path, errno ? qt_error_string(errno) : file.errorString()));
        return {};
    }
    const QByteArray bytes = file.readAll();
    if (bytes.isEmpty())
        setResult(QStringLiteral("%1 は空のファイルです。").arg(path));
    return bytes;
}

void ProgramPanel::start(Kind kind, const std::shared_ptr<BoardJob>& job, const QString& text)
{
    mKind = kind;
    mJob = job;
    for (QPushButton* b : {mBackup, mRestore, mVerify})
        b->setEnabled(false);
    mPhase->setText(text);
    setResult(QString());
    mProgress->follow(job);
    if (!mJobs->submit(
            job, [this](BoardJob&) { finished(); }, [this](BoardJob&) { progressed(); })) {
        mJob.reset();
        mProgress->follow(nullptr);
        for (QPushButton* b : {mBackup, mRestore, mVerify})
            b->setEnabled(true);
        mPhase->clear();
        setResult(QStringLiteral("コントローラーがありません。"));
    }
}

void ProgramPanel::progressed()
{
    mProgress->update();
    if (mKind != Kind::Restore)
        return;
    const auto* job = static_cast<const ProgramRestoreJob*>(mJob.get());
    switch (job->phase()) {
    case ProgramRestoreJob::Phase::Backup:
        mPhase->setText(QStringLiteral("コントローラーのプログラムをバックアップ中..."));
        break;
    case ProgramRestoreJob::Phase::Writing:
        mPhase->setText(QStringLiteral("書込み中... （バックアップ: %1）")
                            .arg(QDir::toNativeSeparators(job->backupPath())));
        break;
    case ProgramRestoreJob::Phase::Verifying:
        mPhase->setText(QStringLiteral("照合中..."));
        break;
    case ProgramRestoreJob::Phase::Finished:
        break;
    }
}

void ProgramPanel::finished()
{
    mProgress->follow(nullptr);
    mPhase->clear();
    for (QPushButton* b : {mBackup, mRestore, mVerify})
        b->setEnabled(true);
    switch (mKind) {
    case Kind::Backup:
        backupFinished();
        break;
    case Kind::Restore:
        restoreFinished();
        break;
    case Kind::Verify:
        verifyFinished();
        break;
    }
    mJob.reset();
}

// --- Back up ------------------------------------------------------------------------

void ProgramPanel::backup()
{
    if (mJob)
        return;
    Services::Beep();
    const int answer = MsgDlg(
        2, QStringLiteral("開始"), QStringLiteral("キャンセル"), QString(),
        QStringLiteral("コントローラーに転送されているプログラムをコンピュータに読込みます。"),
        QStringLiteral("読込みには、少々時間がかかります。宜しいですか？"),
        QStringLiteral("プログラムの読込み"));
    if (answer == 0)
        return;
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("プログラムの保存"),
        QDir::home().filePath(QStringLiteral("program.bin")), kFileFilter);
    if (path.isEmpty())
        return;
    mPath = path;
    start(Kind::Backup, std::make_shared<ProgramBackupJob>(),
          QStringLiteral("プログラムを読込み中..."));
}

void ProgramPanel::backupFinished()
{
    const auto* job = static_cast<const ProgramBackupJob*>(mJob.get());
    switch (job->state()) {
    case BoardJob::State::Done: {
        if (job->size() == 0) {
            setResult(QStringLiteral("コントローラーにプログラムはありません（サイズ 0）。"
                                     "ファイルは作りませんでした。"));
            return;
        }
        QString error;
        if (MemoryPanel::saveFile(mPath, job->program(), &error)) {
            setResult(QStringLiteral("プログラム（%1 バイト）を %2 に保存しました。")
                          .arg(job->program().size())
                          .arg(QDir::toNativeSeparators(mPath)));
        } else {
            Services::Beep();
            setResult(QStringLiteral("%1 に保存できませんでした: %2")
                          .arg(QDir::toNativeSeparators(mPath), error));
        }
        return;
    }
    case BoardJob::State::Cancelled:
        setResult(QStringLiteral("読込みを中止しました。ファイルは作りませんでした。"));
        return;
    default:
        break;
    }
    if (job->problem()) {
        setResult(QStringLiteral("読込みませんでした: ") + problemText(job->problem()));
        return;
    }
    const QString why =
        job->failure().isNull() ? job->error() : ConsoleJobs::faultText(job->failure());
    setResult(QStringLiteral("読込みに失敗しました: %1。ファイルは作りませんでした。").arg(why));
}

// --- Restore ------------------------------------------------------------------------

void ProgramPanel::restore()
{
    if (mJob)
        return;
    QString path;
    const QByteArray image = chooseFile(QStringLiteral("書き込むプログラム"), path);
    if (image.isEmpty())
        return;
    // A file that cannot be a program goes nowhere near the board.
    if (const ProgramImage::Problem problem = ProgramImage::checkFile(image)) {
        const QString text = problemText(problem);
        setResult(QStringLiteral("%1 は書き込みませんでした: %2")
                      .arg(QDir::toNativeSeparators(path), text));
        Services::Beep();
        MsgDlg(2, QStringLiteral("OK"), QString(), QString(),
               QStringLiteral("このファイルはプログラムではありません。"), text,
               QStringLiteral("プログラムの書込み"));
        return;
    }
    Services::Beep();
    const int answer =
        MsgDlg(2, QStringLiteral("書込み"), QStringLiteral("キャンセル"), QString(),
               QStringLiteral("ファイルのプログラム（%1 バイト）をコントローラーに書き込みます。")
                   .arg(image.size()),
               QStringLiteral("コントローラーのプログラムは、書込みの前にコンピュータにバックアップ"
                              "されます。宜しいですか？"),
               QStringLiteral("プログラムの書込み"));
    if (answer == 0)
        return;
    mPath = path;
    mImageSize = image.size();
    start(Kind::Restore, std::make_shared<ProgramRestoreJob>(image, ProgramBackupFolder(), true),
          QStringLiteral("コントローラーのプログラムをバックアップ中..."));
}

void ProgramPanel::restoreFinished()
{
    const auto* job = static_cast<const ProgramRestoreJob*>(mJob.get());
    const qint64 size = mImageSize;
    const QString backup = job->backupPath().isEmpty()
                               ? QString()
                               : QStringLiteral("元のプログラムのバックアップ: %1")
                                     .arg(QDir::toNativeSeparators(job->backupPath()));
    // What the board holds when the work stopped half-way.
    const QString holds =
        job->written() > 0
            ? QStringLiteral("コントローラーには新しいプログラムの一部（先頭 %1 / %2 バイト）"
                             "だけが書き込まれています。")
                  .arg(job->written())
                  .arg(size)
            : QStringLiteral("コントローラーには何も書き込んでいません。");
    switch (job->state()) {
    case BoardJob::State::Done:
        setResult(
            QStringLiteral("書込みと照合が終わりました（%1 バイト）。%2").arg(size).arg(backup));
        return;
    case BoardJob::State::Cancelled:
        setResult(QStringLiteral("書込みを中止しました。%1%2").arg(holds, backup));
        return;
    default:
        break;
    }
    if (job->firstDifference() >= 0) {
        setResult(QStringLiteral("照合で違いが見つかりました: 外部ROM %1 に %2 を書きましたが、"
                                 "%3 が読み出されました。%4")
                      .arg(Hex(job->firstDifference(), 4), Hex(job->wrote(), 2),
                           Hex(job->readBack(), 2), backup));
        return;
    }
    const QString why =
        job->failure().isNull() ? job->error() : ConsoleJobs::faultText(job->failure());
    setResult(QStringLiteral("書込みに失敗しました: %1。%2%3").arg(why, holds, backup));
}

// --- Compare ------------------------------------------------------------------------

void ProgramPanel::verify()
{
    if (mJob)
        return;
    QString path;
    const QByteArray image = chooseFile(QStringLiteral("照合するプログラム"), path);
    if (image.isEmpty())
        return;
    if (image.size() > ProgramImage::cRomSize) {
        setResult(QStringLiteral("%1 は外部ROM（65536 バイト）より大きく、照合できません。")
                      .arg(QDir::toNativeSeparators(path)));
        return;
    }
    mPath = path;
    start(Kind::Verify, std::make_shared<ProgramVerifyJob>(image), QStringLiteral("照合中..."));
}

void ProgramPanel::verifyFinished()
{
    const auto* job = static_cast<const ProgramVerifyJob*>(mJob.get());
    switch (job->state()) {
    case BoardJob::State::Done:
        if (job->firstDifference() < 0)
            setResult(QStringLiteral("コントローラーのプログラムは %1 と同じです（%2 バイト）。")
                          .arg(QDir::toNativeSeparators(mPath))
                          .arg(job->total()));
        else
            setResult(QStringLiteral("外部ROM %1 で違います: ファイルは %2、コントローラーは %3。")
                          .arg(Hex(job->firstDifference(), 4), Hex(job->expected(), 2),
                               Hex(job->found(), 2)));
        return;
    case BoardJob::State::Cancelled:
        setResult(QStringLiteral("照合を中止しました。"));
        return;
    default:
        break;
    }
    const QString why =
        job->failure().isNull() ? job->error() : ConsoleJobs::faultText(job->failure());
    setResult(QStringLiteral("照合に失敗しました: %1").arg(why));
}
