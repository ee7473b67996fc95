// Frames and sound arrive on source threads while the main thread measures places, starts and
// ends takes and lets go of sources. These tests drive those paths at once; they are meant to
// run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/RecorderController.h"
#include "engine/RecorderPlace.h"
#include "platform/HostClock.h"
#include "platform/RunLoop.h"
#include "tests/support/ControllerSetup.h"
#include "tests/support/FakeSources.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

TEST(PlaceConcurrencyTest, FramesFromSeveralThreadsWhileTheMainThreadWorks) {
    RecorderPlace place("Camera 1");
    place.source = std::make_shared<test::FakeFrameSource>("Camera 1", FrameSourceKind::NDI, false);
    constexpr int kThreads = 4;
    constexpr int kFrames = 2000;
    std::atomic<int> running{kThreads};
    std::atomic<uint64_t> seenInTake{0};
    std::vector<std::thread> sources;
    for (int t = 0; t < kThreads; ++t) {
        sources.emplace_back([&, t] {
            const auto frame = gpu::Texture::make(16 + t, 9 + t);
            for (int i = 0; i < kFrames; ++i) {
                // Now and then a frame whose picture nobody wanted, told by its size alone.
                if (i % 3 == 0) {
                    place.receivedFrameNotice(16 + t, 9 + t, hostTime());
                    continue;
                }
                const uint64_t index = place.receivedFrame(frame, t % 2 == 0, hostTime());
                place.receivedSoundAtTime(hostTime());
                if (index != kNotFound) {
                    EXPECT_EQ(index, 5u);
                    ++seenInTake;
                }
            }
            --running;
        });
    }
    // The main thread's side: takes starting and ending, measuring, reading the frame.
    while (running > 0) {
        place.setTakeIndex(5, true);
        place.measureAtTime(hostTime());
        const auto state = place.frameState();
        if (state.latestFrame) {
            // Width and height always describe the frame kept with them.
            EXPECT_EQ(state.width, state.latestFrame->width());
            EXPECT_EQ(state.height, state.latestFrame->height());
        }
        place.setTakeIndex(kNotFound, false);
    }
    for (auto& thread : sources) {
        thread.join();
    }
    EXPECT_EQ(place.frameCount(), uint64_t{kThreads} * kFrames);
}

TEST(PlaceConcurrencyTest, SourcesKeepDeliveringWhilePlacesAreEdited) {
    test::TestFolder folder;
    auto directory = std::make_shared<test::FakeDirectory>();
    directory->setTitles({"A", "B", "C"}, false);
    NotificationCenter center;
    RunLoop loop;
    auto controller = RecorderController::create(
        test::controllerOptions(loop, directory, folder / "settings.json", &center));
    ASSERT_TRUE(controller->addSourceMatching("A"));
    ASSERT_TRUE(controller->addSourceMatching("B"));

    std::atomic<bool> stop{false};
    std::vector<std::thread> feeders;
    for (const char* title : {"A", "B", "C"}) {
        feeders.emplace_back([&, title] {
            const auto frame = gpu::Texture::make(8, 8);
            const auto sound = SourceSound::silenceOfFrameCount(16, 48000);
            while (!stop) {
                if (auto source = directory->lastSource(title)) {
                    source->deliverFrame(frame);
                    source->deliverSound(sound);
                }
            }
        });
    }
    for (int round = 0; round < 50; ++round) {
        // A window showing the monitor, then hiding it, while frames are composed for it.
        controller->setMonitorShown(round % 2 == 0);
        ASSERT_TRUE(controller->setSourceMatching("C", 1));
        ASSERT_TRUE(controller->moveSourceFromPlace(1, 3));
        controller->removeSourceAtPlace(3);
        for (const auto& place : controller->places()) {
            place->measureAtTime(hostTime());
        }
    }
    stop = true;
    for (auto& thread : feeders) {
        thread.join();
    }
    EXPECT_EQ(controller->places().size(), 2u);
}

}  // namespace
}  // namespace zarvo
