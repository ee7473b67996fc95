// A source whose clock runs fast, fed to a movie recorder at exact virtual times: its pictures
// when they are due and its sound chunks when their last sample is due, with a mark in both at
// the same source instant every second. Knowing when each mark truly happened, the test splits
// every mark's place in the movie into the picture's error and the sound's error and holds each
// to what the frame pacer and the sound timeline allow.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/MovieRecorder.h"
#include "platform/RunLoop.h"
#include "tests/support/ClockMarks.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

constexpr double kOrigin = 1000.0;
constexpr double kFramesPerSecond = 30;
constexpr double kRate = 48000;
constexpr double kMarkEvery = 1.0;

gpu::TextureRef Plain(uint8_t level) {
    auto texture = gpu::Texture::make(160, 90);
    for (int y = 0; y < 90; ++y) {
        uint8_t* row = texture->row(y);
        for (int x = 0; x < 160; ++x) {
            row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = level;
            row[4 * x + 3] = 255;
        }
    }
    return texture;
}

// 1 % fast, in 5 ms chunks: the drift passes the timeline's 2.5 ms tolerance every quarter of
// a second, and the timeline has to measure a drift ten times what real sources show.
TEST(SoundPictureClockTest, FastSourceMarksStayWithinPacingAndDriftTolerance) {
    const double factor = 1.01;
    const double seconds = 20;
    const int chunk = 240;
    const double start = kOrigin + 0.1;  // the source's time 0
    RunLoop loop;
    test::TestFolder folder;
    auto recorder = MovieRecorder::make(gpu::Device::systemDefault(), loop);
    MovieRecorderSettings settings;
    settings.recordsSound = true;
    settings.framesPerSecond = kFramesPerSecond;
    settings.width = 160;
    settings.height = 90;
    Error error;
    ASSERT_TRUE(recorder->startWriting(folder / "clock.mov", settings, kOrigin, &error))
        << error.message;

    const gpu::TextureRef black = Plain(0);
    const gpu::TextureRef white = Plain(255);
    const auto markFrames = static_cast<int64_t>(kMarkEvery * kFramesPerSecond);
    const auto markSamples = static_cast<int64_t>(kMarkEvery * kRate);
    std::vector<float> samples(2 * chunk);
    int64_t picture = 0;
    int64_t chunks = 0;
    for (;;) {
        const double pictureDue = start + static_cast<double>(picture) / kFramesPerSecond / factor;
        const double soundDue = start + static_cast<double>((chunks + 1) * chunk) / kRate / factor;
        if (std::min(pictureDue, soundDue) > start + seconds) {
            break;
        }
        if (pictureDue <= soundDue) {
            const bool mark = picture > 0 && picture % markFrames == 0;
            recorder->appendTexture(mark ? white : black, false, pictureDue);
            ++picture;
            // Each picture written before the next, as in real time.
            ASSERT_TRUE(loop.runUntil([&] { return recorder->framesPending() == 0; }, 10));
            continue;
        }
        for (int i = 0; i < chunk; ++i) {
            const int64_t n = chunks * chunk + i;
            const int64_t since = n >= markSamples ? n % markSamples : -1;
            const float value = since >= 0 && static_cast<double>(since) < kRate / 50
                                    ? static_cast<float>(std::sin(
                                          2 * M_PI * 3000 * static_cast<double>(since) / kRate))
                                    : 0.0f;
            samples[2 * i] = samples[2 * i + 1] = value;
        }
        recorder->appendSound(
            SourceSound::soundWithInterleavedStereoSamples(samples.data(), chunk, kRate), soundDue);
        ++chunks;
    }
    bool finished = false;
    recorder->finishAtTime(start + seconds, [&](const std::optional<Error>& e) {
        EXPECT_FALSE(e.has_value()) << e->message;
        finished = true;
    });
    ASSERT_TRUE(loop.runUntil([&] { return finished; }, 60));
    EXPECT_EQ(recorder->framesDropped(), 0u);

    const auto marks = test::ClockMarks::read(folder / "clock.mov", kMarkEvery);
    ASSERT_EQ(marks.error, "");
    // When each mark truly happened, in movie time.
    const auto truth = [&](double movieTime) {
        const double m = std::round((movieTime - (start - kOrigin)) * factor / kMarkEvery);
        return start - kOrigin + m * kMarkEvery / factor;
    };
    EXPECT_GE(marks.pictureTimes.size(), 19u);
    for (const double time : marks.pictureTimes) {
        // The pacer stamps a picture with the slot nearest its arrival.
        EXPECT_LE(std::fabs(time - truth(time)), 0.5 / kFramesPerSecond + 1e-4) << time;
    }
    // A burst that a cut falls on may be lost; most are kept.
    EXPECT_GE(marks.soundTimes.size(), 16u);
    // The sound runs on the source's clock from where it arrived until the timeline's estimate of
    // its error passes 2.5 ms, and is then corrected in full: a fast source's sound is never early
    // and at most 2.5 ms late once the drift is measured, which at 1 % takes about 12 s. Until
    // then the estimate trails the drift, by up to 10 ms in the first seconds.
    for (const double time : marks.soundTimes) {
        const double late = time - truth(time);
        EXPECT_GE(late, -0.001) << time;
        EXPECT_LE(late, time < 12 ? 0.010 + 0.001 : 0.0025 + 0.001) << time;
    }
}

}  // namespace
}  // namespace zarvo
