#include "engine/SoundTimeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace zarvo {
namespace {

using Sound = SoundTimeline::Sound;
using Pieces = std::vector<Sound>;
using Counts = std::vector<uint64_t>;

constexpr double kOrigin = 100.0;
constexpr double kTolerance = 1e-9;

// A sound whose left sample of frame i is i, so that cuts can be told apart.
Sound Numbered(uint64_t frameCount, double rate = 48000.0) {
    std::vector<float> samples(2 * frameCount);
    for (uint64_t i = 0; i < frameCount; ++i) {
        samples[2 * i] = static_cast<float>(i);
    }
    return SourceSound::soundWithInterleavedStereoSamples(samples.data(), frameCount, rate);
}

Counts FrameCounts(const Pieces& pieces) {
    Counts counts;
    for (const Sound& piece : pieces) {
        counts.push_back(piece->frameCount());
    }
    return counts;
}

// A 48 kHz track anchored by one 10 ms buffer that starts at the origin.
class AnchoredSoundTimelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(FrameCounts(timeline.piecesForSound(Numbered(480), kOrigin + 0.01)), Counts{480});
    }

    SoundTimeline timeline{kOrigin};
};

TEST(SoundTimelineTest, FirstBufferAfterOriginIsPrecededBySilence) {
    SoundTimeline timeline(kOrigin);
    const Sound sound = Numbered(480);
    const Pieces pieces = timeline.piecesForSound(sound, 100.51);
    ASSERT_EQ(FrameCounts(pieces), (Counts{24000, 480}));
    EXPECT_EQ(pieces[1], sound);
    EXPECT_NEAR(timeline.silenceAdded(), 0.5, kTolerance);
    EXPECT_NEAR(timeline.writtenDuration(), 0.51, kTolerance);
}

TEST(SoundTimelineTest, FirstBufferOverlappingOriginLosesItsHead) {
    SoundTimeline timeline(kOrigin);
    const Pieces pieces = timeline.piecesForSound(Numbered(480), 100.005);
    ASSERT_EQ(FrameCounts(pieces), Counts{240});
    EXPECT_EQ(pieces[0]->samples()[0], 240.0f);
    EXPECT_NEAR(timeline.soundLeftOut(), 0.005, kTolerance);
    EXPECT_NEAR(timeline.writtenDuration(), 0.005, kTolerance);
}

// Buffers 30 ms late (1440 frames) are written back to back while the estimated error stays
// within 120 frames; the 9th takes it to 125.46 (smoothed once 63.52, twice 1.58), made up at
// once with 125 frames of silence. The track then catches up in steps of about 120 frames, by
// silence only; a tenth of the step too far at most, since the estimate carries the catching
// up on for a while. One cut later makes good that overshoot, and the track stays put.
TEST_F(AnchoredSoundTimelineTest, LateBuffersAreCaughtUpWithSilenceInSmallSteps) {
    const auto arrival = [](int k) { return kOrigin + 0.01 * (k + 1) + 0.03; };
    for (int k = 1; k <= 8; ++k) {
        const Sound sound = Numbered(480);
        ASSERT_EQ(timeline.piecesForSound(sound, arrival(k)), Pieces{sound}) << "buffer " << k;
    }
    const Sound ninth = Numbered(480);
    const Pieces corrected = timeline.piecesForSound(ninth, arrival(9));
    ASSERT_EQ(FrameCounts(corrected), (Counts{125, 480}));
    EXPECT_EQ(corrected[1], ninth);
    EXPECT_NEAR(timeline.silenceAdded(), 125 / 48000.0, kTolerance);

    int corrections = 1;
    for (int k = 10; k <= 300; ++k) {
        const Pieces pieces = timeline.piecesForSound(Numbered(480), arrival(k));
        if (pieces.size() == 2) {
            ++corrections;
            EXPECT_GE(pieces[0]->frameCount(), 120u) << "buffer " << k;
            EXPECT_LE(pieces[0]->frameCount(), 135u) << "buffer " << k;
        } else {
            EXPECT_EQ(FrameCounts(pieces), Counts{480}) << "buffer " << k;
        }
    }
    EXPECT_GE(corrections, 10);
    EXPECT_EQ(timeline.soundLeftOut(), 0.0);
    // The 300th buffer ends 30 ms after its due time.
    EXPECT_NEAR(timeline.writtenDuration(), 0.01 * 301 + 0.03, 0.0035);
    int cuts = 0;
    for (int k = 301; k <= 1200; ++k) {
        const Pieces pieces = timeline.piecesForSound(Numbered(480), arrival(k));
        ASSERT_EQ(pieces.size(), 1u) << "buffer " << k;
        cuts += pieces[0]->frameCount() < 480 ? 1 : 0;
    }
    EXPECT_EQ(cuts, 1);
    EXPECT_NEAR(timeline.writtenDuration(), 0.01 * 1201 + 0.03, 0.0025);
}

// 100 ms buffers (weight 0.05) 30 ms early: the first takes the estimated error to -140.4
// (smoothed once -72, twice -3.6), so its first 140 frames are cut; the smoothing keeps its
// measure of the drift, and the next buffer is cut again. Once caught up, the track is late by
// the overshoot, which one silence makes good.
TEST(SoundTimelineTest, EarlyBuffersAreCaughtUpByCutting) {
    SoundTimeline timeline(kOrigin);
    ASSERT_EQ(timeline.piecesForSound(Numbered(4800), kOrigin + 0.1).size(), 1u);
    const auto arrival = [](int k) { return kOrigin + 0.1 * (k + 1) - 0.03; };
    const Pieces first = timeline.piecesForSound(Numbered(4800), arrival(1));
    ASSERT_EQ(FrameCounts(first), Counts{4800 - 140});
    EXPECT_EQ(first[0]->samples()[0], 140.0f);
    EXPECT_NEAR(timeline.soundLeftOut(), 140 / 48000.0, kTolerance);
    const Pieces second = timeline.piecesForSound(Numbered(4800), arrival(2));
    ASSERT_EQ(FrameCounts(second), Counts{4800 - 130});
    for (int k = 3; k <= 40; ++k) {
        const Pieces pieces = timeline.piecesForSound(Numbered(4800), arrival(k));
        ASSERT_EQ(pieces.size(), 1u) << "buffer " << k;
        EXPECT_GE(pieces[0]->frameCount(), 4800u - 220) << "buffer " << k;
    }
    EXPECT_EQ(timeline.silenceAdded(), 0.0);
    for (int k = 41; k <= 150; ++k) {
        timeline.piecesForSound(Numbered(4800), arrival(k));
    }
    EXPECT_LE(timeline.silenceAdded(), 0.003);
    // The 150th buffer ends 30 ms before its due time.
    EXPECT_NEAR(timeline.writtenDuration(), 0.1 * 151 - 0.03, 0.0025);
}

// 1 ms buffers (48 frames, weight 0.0005) 30 ms early: the 87th takes the estimated error to
// -121.29, a cut of 121 frames, longer than the buffer. The cut is made in full across the
// buffers that follow (48, 48 and 25 frames), not cut short at the buffer it fell on.
TEST(SoundTimelineTest, EarlyDriftCutLongerThanABufferGoesOnToTheNextBuffers) {
    SoundTimeline timeline(kOrigin);
    ASSERT_EQ(FrameCounts(timeline.piecesForSound(Numbered(48), kOrigin + 0.001)), Counts{48});
    const auto arrival = [](int k) { return kOrigin + 0.001 * (k + 1) - 0.03; };
    for (int k = 1; k <= 86; ++k) {
        const Sound sound = Numbered(48);
        ASSERT_EQ(timeline.piecesForSound(sound, arrival(k)), Pieces{sound}) << "buffer " << k;
    }
    EXPECT_TRUE(timeline.piecesForSound(Numbered(48), arrival(87)).empty());
    EXPECT_TRUE(timeline.piecesForSound(Numbered(48), arrival(88)).empty());
    const Pieces tail = timeline.piecesForSound(Numbered(48), arrival(89));
    ASSERT_EQ(FrameCounts(tail), Counts{23});
    EXPECT_EQ(tail[0]->samples()[0], 25.0f);
    EXPECT_NEAR(timeline.soundLeftOut(), 121 / 48000.0, kTolerance);
    // The correction is complete: the following buffers go on whole until the next one.
    for (int k = 90; k <= 180; ++k) {
        EXPECT_EQ(FrameCounts(timeline.piecesForSound(Numbered(48), arrival(k))), Counts{48})
            << "buffer " << k;
    }
    EXPECT_NEAR(timeline.writtenDuration(), (181 * 48 - 121) / 48000.0, kTolerance);
}

// Where the track ends after each buffer of a source whose clock runs factor times as fast,
// against where that buffer truly ended (positive when the track is late), for 10 ms buffers
// arriving at exact times over a minute.
std::vector<double> TrackErrorsOfDriftingSource(double factor) {
    SoundTimeline timeline(kOrigin);
    std::vector<double> errors;
    for (int k = 1; k <= 6000; ++k) {
        const double end = 0.01 * k / factor;
        timeline.piecesForSound(Numbered(480), kOrigin + end);
        errors.push_back(timeline.writtenDuration() - end);
    }
    return errors;
}

// A steady drift either way is followed within the tolerated 2.5 ms (plus what it drifts in a
// buffer), on the side it drifts to, once the smoothing has measured it: 0.1 % within seconds,
// 1 % within half a minute. The estimate does not trail the drift, so the track's error lies
// between 0 and the tolerance, about half of it on average.
TEST(SoundTimelineTest, SteadyDriftIsFollowedWithinTwoAndAHalfMilliseconds) {
    for (const double factor : {1.001, 0.999, 1.01}) {
        const std::vector<double> errors = TrackErrorsOfDriftingSource(factor);
        const double side = factor > 1 ? 1.0 : -1.0;
        const size_t settled = factor == 1.01 ? 3000 : 1000;
        double mean = 0;
        for (size_t k = settled; k < errors.size(); ++k) {
            ASSERT_GE(side * errors[k], -0.0001) << factor << " buffer " << k;
            ASSERT_LE(side * errors[k], 0.0026) << factor << " buffer " << k;
            mean += side * errors[k] / static_cast<double>(errors.size() - settled);
        }
        EXPECT_LT(mean, 0.0015) << factor;
        // While the smoothing measures a drift of 0.1 %, the track is no more than a
        // millisecond further off.
        for (size_t k = 200; k < settled && factor != 1.01; ++k) {
            ASSERT_LE(std::fabs(errors[k]), 0.0035) << factor << " buffer " << k;
        }
    }
}

// Arrival times scattered by ±5 ms at random, without drift, are timing noise: over a minute
// of 10 ms buffers they move the track at most once, and never far.
TEST(SoundTimelineTest, RandomJitterWithoutDriftCausesAlmostNoCorrections) {
    std::mt19937 random(11);
    std::uniform_real_distribution<double> jitter(-0.005, 0.005);
    SoundTimeline timeline(kOrigin);
    ASSERT_EQ(timeline.piecesForSound(Numbered(480), kOrigin + 0.01).size(), 1u);
    int corrections = 0;
    for (int k = 2; k <= 6000; ++k) {
        const Sound sound = Numbered(480);
        const double end = 0.01 * k;
        if (timeline.piecesForSound(sound, kOrigin + end + jitter(random)) != Pieces{sound}) {
            ++corrections;
        }
        ASSERT_NEAR(timeline.writtenDuration(), end, 0.003) << "buffer " << k;
    }
    EXPECT_LE(corrections, 1);
    EXPECT_LE(timeline.silenceAdded() + timeline.soundLeftOut(), 0.003);
}

TEST_F(AnchoredSoundTimelineTest, JumpsBeyond100msAreNotSmoothed) {
    EXPECT_EQ(FrameCounts(timeline.piecesForSound(Numbered(480), kOrigin + 0.52)),
              (Counts{24000, 480}));
    // A burst from the past lying wholly inside the track is left out; the track stays anchored,
    // so a slightly late buffer afterwards is written straight on.
    EXPECT_TRUE(timeline.piecesForSound(Numbered(480), kOrigin + 0.3).empty());
    EXPECT_NEAR(timeline.soundLeftOut(), 0.01, kTolerance);
    EXPECT_EQ(FrameCounts(timeline.piecesForSound(Numbered(480), kOrigin + 0.54)), Counts{480});
}

TEST(SoundTimelineTest, LongGapsReuseOneCachedTenSecondSilence) {
    SoundTimeline timeline(kOrigin);
    const Pieces first = timeline.piecesForSound(Numbered(480), kOrigin + 25.01);
    ASSERT_EQ(FrameCounts(first), (Counts{480000, 480000, 240000, 480}));
    EXPECT_EQ(first[0], first[1]);
    EXPECT_NEAR(timeline.silenceAdded(), 25.0, kTolerance);
    const Pieces second = timeline.piecesForSound(Numbered(480), kOrigin + 35.02);
    ASSERT_EQ(FrameCounts(second), (Counts{480000, 480}));
    EXPECT_EQ(second[0], first[0]);
    // A run at another rate makes its own.
    const Pieces third = timeline.piecesForSound(Numbered(441, 44100.0), kOrigin + 45.03);
    ASSERT_EQ(FrameCounts(third), (Counts{441000, 441}));
    EXPECT_EQ(third[0]->sampleRate(), 44100.0);
}

TEST_F(AnchoredSoundTimelineTest, RateChangeStartsNewRunAndCarriesTotals) {
    ASSERT_TRUE(timeline.piecesForSound(Numbered(480), kOrigin - 1.0).empty());
    // Left out wholly, so the new run is not anchored by it either.
    ASSERT_TRUE(timeline.piecesForSound(Numbered(441, 44100.0), kOrigin + 0.005).empty());
    // 50 ms after the end of the track: anchoring the new run fills the gap exactly.
    const Pieces pieces = timeline.piecesForSound(Numbered(441, 44100.0), kOrigin + 0.07);
    ASSERT_EQ(FrameCounts(pieces), (Counts{2205, 441}));
    EXPECT_EQ(pieces[0]->sampleRate(), 44100.0);
    EXPECT_NEAR(timeline.writtenDuration(), 0.07, kTolerance);
    EXPECT_NEAR(timeline.silenceAdded(), 0.05, kTolerance);
    EXPECT_NEAR(timeline.soundLeftOut(), 0.02, kTolerance);
}

TEST_F(AnchoredSoundTimelineTest, RefusedBuffersChangeNothing) {
    const Sound foreign = Numbered(441, 44100.0);
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(timeline.piecesForSound(nullptr, kOrigin + 0.02).empty());
    for (double time : {std::numeric_limits<double>::quiet_NaN(), inf, -inf,
                        kOrigin + 0.01 + 86400.02, kOrigin - 86400.0}) {
        EXPECT_TRUE(timeline.piecesForSound(foreign, time).empty()) << time;
    }
    EXPECT_NEAR(timeline.writtenDuration(), 0.01, kTolerance);
    EXPECT_EQ(timeline.silenceAdded(), 0.0);
    EXPECT_EQ(timeline.soundLeftOut(), 0.0);
    // No new run was begun: a 48 kHz buffer 50 ms late still counts as noise.
    EXPECT_EQ(FrameCounts(timeline.piecesForSound(Numbered(480), kOrigin + 0.07)), Counts{480});
}

// Rates no source produces must not loop, divide by zero or overflow a frame count.
TEST(SoundTimelineTest, ExtremeRatesAreHandledSafely) {
    SoundTimeline timeline(kOrigin);
    // 1e300 Hz puts the buffer beyond 64 bits of frames; at the smallest rate it never ends.
    EXPECT_TRUE(timeline.piecesForSound(Numbered(1, 1e300), kOrigin + 1.0).empty());
    const double tiny = std::numeric_limits<double>::denorm_min();
    EXPECT_TRUE(timeline.piecesForSound(Numbered(1, tiny), kOrigin).empty());
    EXPECT_EQ(timeline.writtenDuration(), 0.0);
    // At 1e-5 Hz ten seconds round to no frames; a gap of one frame is one plain silence.
    const Sound empty = SourceSound::silenceOfFrameCount(0, 1e-5);
    EXPECT_EQ(FrameCounts(timeline.piecesForSound(empty, kOrigin + 50000.0)), (Counts{1, 0}));
}

}  // namespace
}  // namespace zarvo
