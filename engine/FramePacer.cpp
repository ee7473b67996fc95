#include "engine/FramePacer.h"

#include <cmath>
#include <limits>

namespace zarvo {

namespace {

// Slot numbers at or beyond this are refused rather than converted: at any real frame rate it is
// billions of years past the origin.
constexpr double kSlotLimit = 0x1p62;

double usableRate(double framesPerSecond) {
    return std::isfinite(framesPerSecond) && framesPerSecond > 0.0 ? framesPerSecond : 0.0;
}

}  // namespace

FramePacer::FramePacer(double framesPerSecond)
    : framesPerSecond_(usableRate(framesPerSecond)), started_(false), firstTime_(0.0) {}

FramePacer::FramePacer(double framesPerSecond, double origin)
    : framesPerSecond_(usableRate(framesPerSecond)),
      started_(std::isfinite(origin)),
      firstTime_(started_ ? origin : 0.0) {}

double FramePacer::offsetFromOrigin(double time) const {
    const double d = time - firstTime_;
    return std::isfinite(d) ? d : std::numeric_limits<double>::quiet_NaN();
}

int64_t FramePacer::slotForOffset(double d) const {
    if (!(d >= 0.0)) {
        return -1;
    }
    // Nearest slot, so a frame up to half a period early counts for the next slot.
    const double slot = std::round(d * framesPerSecond_);
    if (!(slot < kSlotLimit)) {
        return -1;
    }
    return static_cast<int64_t>(slot);
}

bool FramePacer::wouldKeepFrameAtTime(double time) const {
    if (!std::isfinite(time)) {
        return false;
    }
    if (!started_) {
        return true;
    }
    const double d = offsetFromOrigin(time);
    if (framesPerSecond_ > 0.0) {
        return slotForOffset(d) > lastSlot_;
    }
    return d >= 0.0 && d > lastTime_;
}

FramePacer::Decision FramePacer::decisionForFrameAtTime(double time) {
    if (!std::isfinite(time)) {
        return {};
    }
    if (!started_) {
        firstTime_ = time;
        started_ = true;
    }
    const double d = offsetFromOrigin(time);
    if (framesPerSecond_ > 0.0) {
        const int64_t slot = slotForOffset(d);
        if (slot <= lastSlot_) {
            return {};
        }
        lastSlot_ = slot;
        return {true, static_cast<double>(slot) / framesPerSecond_};
    }
    if (!(d >= 0.0) || !(d > lastTime_)) {
        return {};
    }
    lastTime_ = d;
    return {true, d};
}

}  // namespace zarvo
