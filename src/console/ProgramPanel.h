#pragma once

#include "link/ProgramImage.h"

#include <QWidget>

#include <memory>

class BoardJob;
class ConsoleJobs;
class JobProgress;
class QLabel;
class QPushButton;

// The board's program: backed up into a file, put on the board from a file
// (the board's own program backed up first, into the data folder), and
// compared with a file, each with progress, time left and cancel.
class ProgramPanel : public QWidget
{
    Q_OBJECT
public:
    ProgramPanel(ConsoleJobs* jobs, QWidget* parent = nullptr);

    QPushButton* backupButton() const { return mBackup; }
    QPushButton* restoreButton() const { return mRestore; }
    QPushButton* verifyButton() const { return mVerify; }
    QLabel* resultLabel() const { return mResult; }
    JobProgress* progress() const { return mProgress; }
    std::shared_ptr<BoardJob> job() const { return mJob; }

    // Why a size or a file is no program, in the user's words.
    static QString problemText(const ProgramImage::Problem& problem);

    // The three actions (also their buttons): each asks what it needs first.
    void backup();
    void restore();
    void verify();

private:
    enum class Kind
    {
        Backup,
        Restore,
        Verify
    };
    void start(Kind kind, const std::shared_ptr<BoardJob>& job, const QString& text);
    void progressed();
    void finished();
    void backupFinished();
    void restoreFinished();
    void verifyFinished();
    // Asks for a program file and returns its bytes and its path; an empty
    // array when the user cancels, or after telling why the file cannot be read.
    QByteArray chooseFile(const QString& title, QString& path);
    void setResult(const QString& text);

    ConsoleJobs* mJobs;
    std::shared_ptr<BoardJob> mJob;
    Kind mKind = Kind::Backup;
    QString mPath; // the file of the job under way
    qint64 mImageSize = 0;

    QPushButton* mBackup = nullptr;
    QPushButton* mRestore = nullptr;
    QPushButton* mVerify = nullptr;
    JobProgress* mProgress = nullptr;
    QLabel* mPhase = nullptr;
    QLabel* mResult = nullptr;
};
