#include "engine/SoundTimeline.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace zarvo {

namespace {

// A buffer whose start is further than this from the end of the track is refused: a clock that
// far off is broken, and filling the gap would take unbounded silence.
constexpr double kLongestJump = 86400.0;
// Within this a buffer's distance from the end of the track counts as timing noise.
constexpr double kNoiseSeconds = 0.1;
// The estimated error is corrected once it passes this: 120 frames at 48 kHz. Random arrival
// jitter of ±10 ms moves the estimate by well under a millisecond with 10 ms buffers, so it
// rarely reaches this without drift, while the track stays within it of where its sound
// belongs.
constexpr double kToleratedErrorSeconds = 0.0025;
// The length of the cached silence used for long gaps.
constexpr double kCachedSilenceSeconds = 10.0;

// A whole number of frames held in a double, or nothing when it is out of the 64-bit range
// (which rates far above any real sound can reach).
std::optional<int64_t> ToFrames(double value) {
    if (!(value >= -0x1p63 && value < 0x1p63)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(value);
}

// a + b, or nothing when the sum leaves the 64-bit range.
std::optional<int64_t> addFrames(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return std::nullopt;
    }
    return sum;
}

}  // namespace

SoundTimeline::SoundTimeline(double origin) : origin_(origin) {}

double SoundTimeline::secondsOfFrames(int64_t frames) const {
    return rate_ > 0.0 ? static_cast<double>(frames) / rate_ : 0.0;
}

double SoundTimeline::writtenDuration() const {
    return runStart_ + secondsOfFrames(written_);
}

double SoundTimeline::silenceAdded() const {
    return silenceBefore_ + secondsOfFrames(silence_);
}

double SoundTimeline::soundLeftOut() const {
    return leftOutBefore_ + secondsOfFrames(leftOut_);
}

void SoundTimeline::resetSmoothing() {
    smoothedError_ = 0;
    smoothedTwice_ = 0;
}

void SoundTimeline::startRunAtRate(double rate) {
    runStart_ = writtenDuration();
    silenceBefore_ = silenceAdded();
    leftOutBefore_ = soundLeftOut();
    written_ = 0;
    silence_ = 0;
    leftOut_ = 0;
    rate_ = rate;
    anchored_ = false;
    resetSmoothing();
    pendingCut_ = 0;
    longestSilence_.reset();
}

std::vector<SoundTimeline::Sound> SoundTimeline::piecesForSound(const Sound& sound,
                                                                double arrivedAtTime) {
    if (!sound || !IsUsableRate(sound->sampleRate())) {
        return {};
    }
    const double soundRate = sound->sampleRate();
    // The buffer is taken to have ended when it arrived. A rate so low that the duration is
    // infinite ends up here too.
    const double start = arrivedAtTime - sound->duration() - origin_;
    if (!std::isfinite(start) || !(std::fabs(start - writtenDuration()) <= kLongestJump)) {
        return {};
    }

    // Where the buffer starts in the run it will belong to, checked before a new run is begun so
    // that a refused buffer changes nothing.
    const bool newRun = soundRate != rate_;
    const double runStart = newRun ? writtenDuration() : runStart_;
    const std::optional<int64_t> position = ToFrames(std::round((start - runStart) * soundRate));
    if (!position) {
        return {};
    }
    if (newRun) {
        startRunAtRate(soundRate);
    }
    // Frames between the end of the track and the buffer's start: positive for a gap, negative
    // for an overlap.
    int64_t offset = 0;
    if (__builtin_sub_overflow(*position, written_, &offset)) {
        return {};
    }

    const bool noise =
        anchored_ && std::fabs(static_cast<double>(offset)) <= std::round(rate_ * kNoiseSeconds);
    if (noise && pendingCut_ < 0) {
        // The rest of a correction that the previous buffer was too short to take.
        return applyCorrection(sound, pendingCut_, true);
    }
    if (noise) {
        // Timing noise: write the buffer straight after the previous one unless the smoothing
        // shows real drift. A steady drift leaves the smoothed error behind the true one by what
        // it drifts in the smoothing's time constant (2 s), and smoothing the smoothed error
        // again leaves that behind by as much once more; their difference added to the smoothed
        // error is the error as it stands now, with the noise still smoothed away.
        const double weight = std::min(sound->duration() * 0.5, 1.0);
        const double smoothed =
            smoothedError_ + weight * (static_cast<double>(offset) - smoothedError_);
        const double smoothedTwice = smoothedTwice_ + weight * (smoothed - smoothedTwice_);
        const double error = 2.0 * smoothed - smoothedTwice;
        if (std::fabs(error) <= rate_ * kToleratedErrorSeconds) {
            const std::optional<int64_t> written =
                addFrames(written_, static_cast<int64_t>(sound->frameCount()));
            if (!written) {
                return {};
            }
            smoothedError_ = smoothed;
            smoothedTwice_ = smoothedTwice;
            written_ = *written;
            return {sound};
        }
        // Corrected in full, so the track goes back to where its sound belongs. The correction
        // moves the track, and with it the errors measured against it; the smoothing keeps its
        // measure of the drift's rate, so the next correction is as timely as this one.
        const std::optional<int64_t> correction = ToFrames(std::round(error));
        if (!correction) {
            return {};
        }
        smoothedError_ = smoothed - static_cast<double>(*correction);
        smoothedTwice_ = smoothedTwice - static_cast<double>(*correction);
        return applyCorrection(sound, *correction, true);
    }
    // Otherwise this is the first buffer of the run, or a jump: the track is anchored on this
    // buffer once something of it is written.
    return applyCorrection(sound, offset, false);
}

std::vector<SoundTimeline::Sound> SoundTimeline::applyCorrection(const Sound& sound, int64_t offset,
                                                                 bool drift) {
    // At most SourceSound::kMaxFrameCount, so it fits.
    const auto n = static_cast<int64_t>(sound->frameCount());
    pendingCut_ = 0;

    if (offset < 0 && n + offset <= 0) {
        // Wholly inside what is written: nothing of it goes on the track, so it does not anchor
        // the run either. A drift correction goes on with the next buffers until the whole cut
        // is made: forgetting the rest would leave the track late by it, and with buffers
        // shorter than the correction every correction would fall short.
        if (drift) {
            pendingCut_ = offset + n;
        } else {
            resetSmoothing();
        }
        if (const std::optional<int64_t> leftOut = addFrames(leftOut_, n)) {
            leftOut_ = *leftOut;
        }
        return {};
    }

    // Counts in frames after the buffer is written; refused (left uncounted) on overflow.
    const int64_t gap = std::max<int64_t>(offset, 0);
    const int64_t overlap = offset < 0 ? -offset : 0;  // Less than n here, so no overflow.
    std::optional<int64_t> written = addFrames(written_, gap);
    if (written) {
        written = addFrames(*written, n - overlap);
    }
    const std::optional<int64_t> leftOut = addFrames(leftOut_, overlap);
    if (!written || !leftOut) {
        return {};
    }

    std::vector<Sound> pieces = silencePieces(gap);
    if (overlap > 0) {
        Sound tail = sound->soundFromFrame(static_cast<uint64_t>(overlap));
        if (!tail) {
            return {};  // Out of memory: the next buffer is placed as if this one never came.
        }
        pieces.push_back(std::move(tail));
    } else {
        pieces.push_back(sound);
    }

    anchored_ = true;
    if (!drift) {
        resetSmoothing();
    }
    written_ = *written;
    silence_ += gap;  // Never more than written_.
    leftOut_ = *leftOut;
    return pieces;
}

std::vector<SoundTimeline::Sound> SoundTimeline::silencePieces(int64_t frameCount) {
    std::vector<Sound> pieces;
    if (frameCount < 1) {
        return pieces;
    }
    auto remaining = static_cast<uint64_t>(frameCount);
    // At absurdly low rates ten seconds round to no frames; the whole gap is then one piece.
    const double cachedFrames = std::round(rate_ * kCachedSilenceSeconds);
    if (cachedFrames >= 1.0 && cachedFrames < 0x1p64) {
        const auto chunk = static_cast<uint64_t>(cachedFrames);
        while (remaining >= chunk) {
            if (!longestSilence_) {
                longestSilence_ = SourceSound::silenceOfFrameCount(chunk, rate_);
            }
            pieces.push_back(longestSilence_);
            remaining -= chunk;
        }
    }
    if (remaining >= 1) {
        pieces.push_back(SourceSound::silenceOfFrameCount(remaining, rate_));
    }
    return pieces;
}

}  // namespace zarvo
