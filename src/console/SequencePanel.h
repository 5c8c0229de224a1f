#pragma once

#include "link/Sequence.h"

#include <QWidget>

#include <functional>
#include <memory>

class ConsoleJobs;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class SequencePlayerJob;
struct PlayOptions;
class ServoPanel;
class ServoRefreshJob;

// Poses and sequences: frames taught from the servo pane (or read back from
// the board), edited, saved in the sequence file and played back. A view over
// the core's Sequence, SequenceFile and SequencePlayerJob: it speaks no
// protocol and plays nothing itself; playing is a job on the one scheduler,
// and stopping cancels that job.
//
// Each frame is listed by its differences from what the frames before it
// leave (moved by how much, switched on or off), so that a long sequence
// stays readable; the selected frame's own pose, speed, wait and hold are
// shown beside the list and edited there.
class SequencePanel : public QWidget
{
    Q_OBJECT
public:
    SequencePanel(ConsoleJobs* jobs, ServoPanel* servos, QWidget* parent = nullptr);
    ~SequencePanel() override;

    // Columns of the frame list.
    enum Column
    {
        MarkColumn, // "▶" on the frame playing
        NameColumn,
        SpeedColumn,
        WaitColumn,
        HoldColumn,
        ChangesColumn,
        ColumnCount
    };

    const Sequence& sequence() const { return mSequence; }
    // The file the sequence was read from or saved to; empty for a new one.
    QString path() const { return mPath; }
    bool isModified() const { return mModified; }
    bool isPlaying() const { return bool(mPlayer); }
    // The selected frame, -1 for none.
    int selectedFrame() const;
    void selectFrame(int index);

    // What the user sees and uses, for keyboard use and checks.
    QTableWidget* frameList() const { return mFrames; }
    QLineEdit* nameEdit() const { return mName; }
    QLabel* fileLabel() const { return mFile; }
    QPushButton* newButton() const { return mNew; }
    QPushButton* openButton() const { return mOpen; }
    QPushButton* saveButton() const { return mSave; }
    QPushButton* saveAsButton() const { return mSaveAs; }
    QPushButton* addPoseButton() const { return mAddPose; }
    QPushButton* readPoseButton() const { return mReadPose; }
    QPushButton* duplicateButton() const { return mDuplicate; }
    QPushButton* removeButton() const { return mRemove; }
    QPushButton* upButton() const { return mUp; }
    QPushButton* downButton() const { return mDown; }
    QLineEdit* frameNameEdit() const { return mFrameName; }
    QSpinBox* speedBox() const { return mSpeed; }
    QComboBox* waitBox() const { return mWait; } // 0: until stopped, 1: fixed
    QSpinBox* waitMsBox() const { return mWaitMs; }
    QSpinBox* holdBox() const { return mHold; }
    QLabel* poseLabel() const { return mPose; }
    QPushButton* playButton() const { return mPlay; }
    QPushButton* stepButton() const { return mStep; }
    QPushButton* stopButton() const { return mStop; }
    QCheckBox* loopBox() const { return mLoop; }
    QLabel* resultLabel() const { return mResult; }

    // The differences of a frame as listed ("1: 200（+72）、3: オフ"), and a
    // pose in full ("1: 200、2: 90、3: オフ").
    static QString changesText(const QList<ChannelChange>& changes);
    static QString poseText(const Pose& pose);

    // The frame edits (also their buttons). A pose is added after the
    // selected frame: from the servo pane's switches and positions, or with
    // the positions read from the board.
    void addPose();
    void readPose();
    void duplicateFrame();
    void removeFrame();
    void moveFrame(int by);

    // Files (also their buttons). Each that would throw away unsaved changes
    // asks first; a file that cannot be read is told and changes nothing.
    void newSequence();
    void open();
    bool save();
    bool saveAs();
    // Asks whether to save unsaved changes: true when they were saved or may
    // be thrown away, false when the user cancelled (or the save failed).
    bool maySetAside();

    // Playback (also the buttons; F5 and Escape in the console): the whole
    // sequence (again and again with the loop box), the selected frame
    // alone, and stop.
    void play();
    void step();
    void stop();

private:
    QWidget* buildFileRow();
    QWidget* buildFrameEditor();
    QWidget* buildPlayRow();
    void start(const PlayOptions& options);
    void insertPose(const Pose& taken);
    Pose poseFromServos(const std::function<int(int)>& positionOf) const;
    void edited();
    void refreshList();
    void showSelected();
    void updateActions();
    void markPlaying(int frame);
    void setResult(const QString& text);
    void setModified(bool modified);
    void updateFileLabel();
    bool writeTo(const QString& path);

    ConsoleJobs* mJobs;
    ServoPanel* mServos;
    Sequence mSequence;
    QString mPath;
    bool mModified = false;
    std::shared_ptr<SequencePlayerJob> mPlayer;
    std::shared_ptr<ServoRefreshJob> mReading;
    int mPlaying = -1; // the frame marked as playing

    QLineEdit* mName = nullptr;
    QLabel* mFile = nullptr;
    QPushButton* mNew = nullptr;
    QPushButton* mOpen = nullptr;
    QPushButton* mSave = nullptr;
    QPushButton* mSaveAs = nullptr;
    QTableWidget* mFrames = nullptr;
    QPushButton* mAddPose = nullptr;
    QPushButton* mReadPose = nullptr;
    QPushButton* mDuplicate = nullptr;
    QPushButton* mRemove = nullptr;
    QPushButton* mUp = nullptr;
    QPushButton* mDown = nullptr;
    QWidget* mEditor = nullptr;
    QLineEdit* mFrameName = nullptr;
    QSpinBox* mSpeed = nullptr;
    QComboBox* mWait = nullptr;
    QSpinBox* mWaitMs = nullptr;
    QSpinBox* mHold = nullptr;
    QLabel* mPose = nullptr;
    QPushButton* mPlay = nullptr;
    QPushButton* mStep = nullptr;
    QPushButton* mStop = nullptr;
    QCheckBox* mLoop = nullptr;
    QLabel* mResult = nullptr;
};
