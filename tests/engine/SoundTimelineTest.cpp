#include "engine/SoundTimeline.h"

#include <gtest/gtest.h>

#include <limits>
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

// Buffers 30 ms late (1440 frames) are written back to back while the smoothed error (weight
// 0.005 for 10 ms buffers) stays within 960 frames; the 220th takes it to 961.99, made up at once
// with 962 frames of silence, after which smoothing starts again.
TEST_F(AnchoredSoundTimelineTest, LateDriftIsCorrectedWithSilenceOncePast20ms) {
    for (int k = 1; k <= 219; ++k) {
        const Sound sound = Numbered(480);
        ASSERT_EQ(timeline.piecesForSound(sound, kOrigin + 0.01 * (k + 1) + 0.03), Pieces{sound})
            << "buffer " << k;
    }
    EXPECT_EQ(FrameCounts(timeline.piecesForSound(Numbered(480), kOrigin + 2.24)),
              (Counts{962, 480}));
    EXPECT_NEAR(timeline.silenceAdded(), 962 / 48000.0, kTolerance);
    EXPECT_EQ(timeline.piecesForSound(Numbered(480), kOrigin + 2.25).size(), 1u);
    EXPECT_NEAR(timeline.writtenDuration(), (222 * 480 + 962) / 48000.0, kTolerance);
}

// 100 ms buffers (weight 0.05) 30 ms early: the 22nd takes the smoothed error to -974.1, so its
// first 974 frames are cut.
TEST(SoundTimelineTest, EarlyDriftIsCorrectedByCuttingOncePast20ms) {
    SoundTimeline timeline(kOrigin);
    ASSERT_EQ(timeline.piecesForSound(Numbered(4800), kOrigin + 0.1).size(), 1u);
    for (int k = 1; k <= 21; ++k) {
        const Sound sound = Numbered(4800);
        ASSERT_EQ(timeline.piecesForSound(sound, kOrigin + 0.1 * (k + 1) - 0.03), Pieces{sound})
            << "buffer " << k;
    }
    const Pieces corrected = timeline.piecesForSound(Numbered(4800), kOrigin + 2.27);
    ASSERT_EQ(FrameCounts(corrected), Counts{4800 - 974});
    EXPECT_EQ(corrected[0]->samples()[0], 974.0f);
    EXPECT_NEAR(timeline.soundLeftOut(), 974 / 48000.0, kTolerance);
    EXPECT_NEAR(timeline.writtenDuration(), (23 * 4800 - 974) / 48000.0, kTolerance);
}

// 10 ms buffers 30 ms early: the 220th takes the smoothed error to -961.99, a cut of 962 frames,
// longer than the buffer. The cut is made in full across the buffers that follow (480, 480 and
// 2 frames), so the track ends up 478 frames late, not 960 as a cut of one buffer would leave it.
TEST_F(AnchoredSoundTimelineTest, EarlyDriftCutLongerThanABufferGoesOnToTheNextBuffers) {
    const auto arrival = [](int k) { return kOrigin + 0.01 * (k + 1) - 0.03; };
    for (int k = 1; k <= 219; ++k) {
        const Sound sound = Numbered(480);
        ASSERT_EQ(timeline.piecesForSound(sound, arrival(k)), Pieces{sound}) << "buffer " << k;
    }
    EXPECT_TRUE(timeline.piecesForSound(Numbered(480), arrival(220)).empty());
    EXPECT_TRUE(timeline.piecesForSound(Numbered(480), arrival(221)).empty());
    const Pieces tail = timeline.piecesForSound(Numbered(480), arrival(222));
    ASSERT_EQ(FrameCounts(tail), Counts{478});
    EXPECT_EQ(tail[0]->samples()[0], 2.0f);
    EXPECT_NEAR(timeline.soundLeftOut(), 962 / 48000.0, kTolerance);
    // The correction is complete: the following buffers go on whole.
    for (int k = 223; k <= 230; ++k) {
        EXPECT_EQ(FrameCounts(timeline.piecesForSound(Numbered(480), arrival(k))), Counts{480})
            << "buffer " << k;
    }
    EXPECT_NEAR(timeline.writtenDuration(), (231 * 480 - 962) / 48000.0, kTolerance);
    EXPECT_NEAR(timeline.soundLeftOut(), 962 / 48000.0, kTolerance);
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
