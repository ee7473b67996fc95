#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sources/SourceSound.h"

namespace zarvo {

// A sound buffer queued by a movie recorder until its timeline places it, with the time at which
// it arrived on the shared recording clock.
struct WaitingSound {
    std::shared_ptr<const SourceSound> sound;
    double time = 0;
};

// Turns sound buffers that arrive with jitter, gaps and drift into one gapless track that stays in
// step with the pictures.
//
// Each buffer is taken to have ended when it arrived. The timeline works out where it belongs on
// the track, fills a gap before it with silence, cuts away what overlaps sound already written,
// and absorbs small timing noise without cutting or padding: while a buffer lands within 100 ms of
// the end of the track it is written straight after it, and the difference feeds a smoothed
// estimate of the track's error. That estimate follows a steady drift without lagging behind it;
// once it passes 2.5 ms it is corrected at once and in full (by a short silence or cut), so the
// track stays within a few milliseconds of where its sound belongs, on either side. A jump of
// more than 100 ms re-anchors the track on that buffer. A cut longer than the buffer it falls on
// drops that buffer and carries the rest of the cut to the buffers that follow, so that every
// correction is made in full whatever the buffers' length.
//
// A run is a stretch of track at one sample rate; a change of rate starts a new run and the totals
// carry over. Not locked: use from one thread at a time.
class SoundTimeline {
  public:
    using Sound = std::shared_ptr<const SourceSound>;

    // origin is the recording-clock time that is position 0 of the track.
    explicit SoundTimeline(double origin);

    // The sounds to append to the track for this buffer, in order: zero or more silences followed
    // by the buffer or its tail. Empty when nothing of it is to be written: no buffer, an arrival
    // time that is not finite, a start more than a day away from the end of the track, a buffer
    // wholly inside what is written, or a placement too far out to count in frames. Long gaps reuse
    // one cached 10-second silence. Throws what SourceSound::silenceOfFrameCount throws when a
    // silence cannot be made; nothing of the buffer is then counted.
    std::vector<Sound> piecesForSound(const Sound& sound, double arrivedAtTime);

    // Begins a new run at this rate; the next buffer anchors it.
    void startRunAtRate(double rate);

    // Totals over all runs, in seconds.
    double writtenDuration() const;
    double silenceAdded() const;
    double soundLeftOut() const;

  private:
    // Places the buffer offset frames after (positive) or before (negative) the end of the track,
    // and anchors the run on it when something of it is written. Anchoring anew (drift false)
    // forgets the smoothing; a drift correction (drift true) leaves it to the caller and, when
    // it cuts more than the buffer, keeps the rest of the cut pending.
    std::vector<Sound> applyCorrection(const Sound& sound, int64_t offset, bool drift);
    // Silence of frameCount frames as pieces: cached 10-second silences, then the remainder.
    std::vector<Sound> silencePieces(int64_t frameCount);
    // Forgets the smoothed errors, for a track anchored anew.
    void resetSmoothing();
    // frames / rate_, or 0 while no run has a rate.
    double secondsOfFrames(int64_t frames) const;

    double origin_;
    double rate_ = 0;
    double runStart_ = 0;
    int64_t written_ = 0;
    int64_t silence_ = 0;
    int64_t leftOut_ = 0;
    bool anchored_ = false;
    // The buffers' offsets from the end of the track, smoothed once and twice (frames). A drift
    // correction moves both by the frames it adds or cuts, as it moves the track.
    double smoothedError_ = 0;
    double smoothedTwice_ = 0;
    // Frames still to be cut from the next buffers of the run (0 or negative): what a drift
    // correction could not cut from a buffer shorter than itself.
    int64_t pendingCut_ = 0;
    double silenceBefore_ = 0;
    double leftOutBefore_ = 0;
    Sound longestSilence_;
};

}  // namespace zarvo
