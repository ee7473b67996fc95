#include "engine/RecorderPlace.h"

#include <gtest/gtest.h>

#include "platform/HostClock.h"
#include "tests/support/FakeSources.h"

namespace zarvo {
namespace {

TEST(RecorderPlaceTest, NewPlaceKnowsOnlyItsTitle) {
    RecorderPlace place("Camera 1");
    const auto state = place.frameState();
    EXPECT_EQ(place.title(), "Camera 1");
    EXPECT_EQ(state.latestFrame, nullptr);
    EXPECT_EQ(state.frameCount, 0u);
    EXPECT_EQ(state.lastFrameTime, 0);
    EXPECT_EQ(state.takeIndex, kNotFound);
    EXPECT_EQ(state.soundIndex, kNotFound);
    EXPECT_EQ(kNotFound, 9223372036854775807ull);
    EXPECT_FALSE(place.isOnline());
    EXPECT_EQ(place.fps(), 0);
    EXPECT_EQ(place.kindName(), "");
    EXPECT_FALSE(place.hasSound());
}

TEST(RecorderPlaceTest, FramesAndSoundReturnTheTakeIndexes) {
    RecorderPlace place("Camera 1");
    const auto frame = gpu::Texture::make(320, 180);
    EXPECT_EQ(place.receivedFrame(frame, false, 10.0), kNotFound);
    EXPECT_EQ(place.receivedSoundAtTime(10.0), kNotFound);

    place.setTakeIndex(2, true);
    EXPECT_EQ(place.receivedFrame(frame, true, 10.1), 2u);
    EXPECT_EQ(place.receivedSoundAtTime(10.1), 2u);
    // Without a movie of its own, the place still records sound under its index.
    place.setTakeIndex(3, false);
    EXPECT_EQ(place.receivedFrame(frame, true, 10.2), kNotFound);
    EXPECT_EQ(place.receivedSoundAtTime(10.2), 3u);
    place.setTakeIndex(kNotFound, false);
    EXPECT_EQ(place.receivedSoundAtTime(10.3), kNotFound);

    const auto state = place.frameState();
    EXPECT_EQ(state.frameCount, 3u);
    EXPECT_EQ(state.width, 320);
    EXPECT_EQ(state.height, 180);
    EXPECT_TRUE(state.flipped);
    EXPECT_EQ(state.lastFrameTime, 10.2);
    EXPECT_EQ(state.lastSoundTime, 10.3);
}

TEST(RecorderPlaceTest, MeasuringOnlineAndFrameRate) {
    RecorderPlace place("Camera 1");
    place.source = std::make_shared<test::FakeFrameSource>("Camera 1", FrameSourceKind::NDI, false);
    const auto frame = gpu::Texture::make(8, 8);
    place.measureAtTime(100.0);  // first measure: no rate yet
    EXPECT_EQ(place.fps(), 0);
    EXPECT_FALSE(place.isOnline());

    for (int i = 0; i < 30; ++i) {
        place.receivedFrame(frame, false, 100.0 + i / 30.0);
    }
    place.measureAtTime(101.0);
    EXPECT_DOUBLE_EQ(place.fps(), 30.0);
    EXPECT_TRUE(place.isOnline());

    // The rate is smoothed: half the old value, half the new.
    for (int i = 0; i < 10; ++i) {
        place.receivedFrame(frame, false, 101.0 + i / 10.0);
    }
    place.measureAtTime(102.0);
    EXPECT_DOUBLE_EQ(place.fps(), 20.0);

    // No new frame: the rate drops to 0 at once, and a second without frames is offline.
    place.measureAtTime(103.0);
    EXPECT_EQ(place.fps(), 0);
    EXPECT_FALSE(place.isOnline());

    // A measure at the same time as the previous one computes no rate.
    place.receivedFrame(frame, false, 103.0);
    place.measureAtTime(103.0);
    EXPECT_EQ(place.fps(), 0);
    EXPECT_TRUE(place.isOnline());

    // Without a source the place is never online.
    place.source.reset();
    place.measureAtTime(103.5);
    EXPECT_FALSE(place.isOnline());
}

TEST(RecorderPlaceTest, LettingGoStopsTheSourceAndForgetsFrameAndSound) {
    RecorderPlace place("Camera 1");
    auto source = std::make_shared<test::FakeFrameSource>("Camera 1", FrameSourceKind::NDI, false);
    place.source = source;
    place.kind = FrameSourceKind::NDI;
    place.kindKnown = true;
    place.receivedFrame(gpu::Texture::make(8, 8), false, hostTime());
    place.receivedSoundAtTime(hostTime());
    EXPECT_TRUE(place.hasSound());

    place.letGoOfSource();
    EXPECT_TRUE(source->stopped());
    EXPECT_EQ(place.source, nullptr);
    EXPECT_EQ(place.latestFrame(), nullptr);
    EXPECT_EQ(place.lastSoundTime(), 0);
    EXPECT_FALSE(place.hasSound());
    EXPECT_EQ(place.frameCount(), 1u);  // never reset
    EXPECT_EQ(place.kindName(), "ndi");
    place.letGoOfSource();  // twice is harmless
    EXPECT_EQ(source->stopCount(), 1);
}

TEST(RecorderPlaceTest, SoundIsCurrentForThreeSeconds) {
    RecorderPlace place("Camera 1");
    place.source = std::make_shared<test::FakeFrameSource>("Camera 1", FrameSourceKind::NDI, false);
    place.receivedSoundAtTime(hostTime() - 2.5);
    EXPECT_TRUE(place.hasSound());
    place.receivedSoundAtTime(hostTime() - 3.5);
    EXPECT_FALSE(place.hasSound());
}

}  // namespace
}  // namespace zarvo
