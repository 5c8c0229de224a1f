#pragma once

#include "BoardScheduler.h"
#include "Sequence.h"

#include <functional>

// How much of a sequence to play.
struct PlayOptions
{
    int from = 0;      // index of the frame each pass starts at
    int loops = 1;     // passes over the frames from `from` to the end; 0: for ever
    bool step = false; // the frame at `from` alone, once
};

// Plays a sequence on the board, frame after frame, as a job on the one
// scheduler: no timer or watchdog of its own. Each frame goes out as small
// exchanges (B2 speed; E7 ch and E6 ch pos for each channel switched on,
// E8 ch for each switched off, in channel order), then its wait: the moving
// query B0 00 again and again until the board answers 0, or a pause of the
// fixed time; then the hold, a pause. The waits are the scheduler's pauses
// and every reply is bound by the link, so a cancel reaches the board within
// one exchange of at most three bytes (at once in a wait), and nothing is sent
// after it. The next frame's first byte follows its predecessor's last
// answer, pause or hold without a wait of its own.
//
// Nothing special-cases the virtual controller: it receives exactly the bytes
// a board does.
class SequencePlayerJob : public BoardJob
{
public:
    enum class Phase
    {
        Sending,  // the frame's bytes are going out
        Polling,  // waiting for the board to stop: B0 00 until it answers 0
        Pausing,  // a fixed wait and the hold, or the hold after stopping
        Finished, // the last frame's hold is over
    };

    explicit SequencePlayerJob(Sequence sequence, PlayOptions options = PlayOptions());

    const Sequence& sequence() const { return mSequence; }
    const PlayOptions& options() const { return mOptions; }
    Phase phase() const { return mPhase; }
    // The frame on the line, in its wait or in its hold: where a stop leaves
    // the motion (-1 before the first byte).
    int currentFrame() const { return mFrame; }
    // The pass under way, from 1.
    int pass() const { return mLoopsPlayed + 1; }
    // Frames played: sent, and seen to stop when they wait for it; a frame
    // counts once its pause (the fixed wait and the hold, or the hold) begins.
    // And passes played to their last frame.
    qint64 framesPlayed() const { return mFramesPlayed; }
    int loopsPlayed() const { return mLoopsPlayed; }
    // Exchanges finished, and the moving queries among them.
    qint64 exchanges() const { return mExchanges; }
    qint64 polls() const { return mPolls; }

    // Called as each frame begins, before its first byte goes out: a window
    // marks the frame, the command line prints it.
    std::function<void(const SequencePlayerJob&)> frameBegins;

protected:
    bool startExchange(ControllerLink& link) override;
    Next exchangeFinished(ControllerLink& link) override;

private:
    QString problem() const;
    void beginFrame(int index);
    Next endFrame(qint64 pauseMs);
    void updateProgress();

    Sequence mSequence;
    PlayOptions mOptions;
    Phase mPhase = Phase::Sending;
    bool mStarted = false;
    int mFrame = -1;
    int mNextFrame = 0;
    QList<FrameCommand> mCommands; // of the current frame
    qsizetype mSent = 0;           // of mCommands
    qint64 mFramesPlayed = 0;
    int mLoopsPlayed = 0;
    qint64 mExchanges = 0;
    qint64 mPolls = 0;
};
