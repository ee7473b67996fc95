#pragma once

#include <cstdint>

namespace zarvo {

// Decides which arriving frames a movie keeps, so that the movie has at most framesPerSecond
// frames a second, and gives each kept frame its time in the movie.
//
// Frames arrive at irregular times from sources whose rates differ from the movie's. Each arrival
// is mapped to a slot on a regular grid of 1 / framesPerSecond seconds that starts at the origin;
// the first frame to land in a new slot is kept and stamped with the slot's exact time. Slots that
// no frame lands in stay empty. With a rate of 0 every frame whose time moves forward is kept and
// stamped with its own time.
//
// Times given are seconds on the shared recording clock; times returned are seconds since the
// origin. Not locked: use from one thread at a time.
class FramePacer {
  public:
    struct Decision {
        bool keep = false;
        // Seconds since the origin; 0 when the frame is not kept.
        double time = 0;
    };

    // The first frame given to decisionForFrameAtTime() sets the origin. A rate that is
    // negative, not a number or infinite means "keep every frame that moves forward" (rate 0).
    explicit FramePacer(double framesPerSecond);
    // An origin that is not finite means no origin, as in the constructor above.
    FramePacer(double framesPerSecond, double origin);

    // Whether decisionForFrameAtTime() would keep a frame of this time now. Changes nothing; lets
    // callers skip preparing a frame that would be dropped.
    bool wouldKeepFrameAtTime(double time) const;

    // Decides on a frame and records it when kept, so asking twice for the same time keeps the
    // frame at most once. A time that is not finite is never kept and never sets the origin.
    Decision decisionForFrameAtTime(double time);

    double framesPerSecond() const { return framesPerSecond_; }

  private:
    // The slot a frame d seconds after the origin lands in, or -1 when d is before the origin or
    // too far after it for a slot number. Only for rates above 0.
    int64_t slotForOffset(double d) const;
    // Seconds since the origin, or NaN when the time or the distance is not finite.
    double offsetFromOrigin(double time) const;

    double framesPerSecond_;
    bool started_;
    double firstTime_;
    double lastTime_ = -1.0;
    int64_t lastSlot_ = -1;
};

}  // namespace zarvo
