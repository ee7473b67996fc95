// One clock for a source's picture and sound: an NDI source whose own clock runs fast, sending
// pictures and sound in real time with simultaneous marks, recorded by the controller; the marks
// are found in the movie's decoded tracks and must lie within what pacing and the sound
// timeline allow.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/RecorderController.h"
#include "engine/Take.h"
#include "platform/RunLoop.h"
#include "sources/NDIDirectory.h"
#include "sources/NDILibrary.h"
#include "tests/sources/fake_ndi/FakeNDIRuntime.h"
#include "tests/support/ClockMarks.h"
#include "tests/support/ControllerSetup.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

// A source 0.3 % fast drifts 3 ms a second: over 10 s the pacer slips one frame, sweeping its
// sawtooth once, and the sound timeline corrects its drift about once a second.
constexpr double kFactor = 1.003;
constexpr double kMarkEvery = 1.0;
constexpr double kSeconds = 10.0;

TEST(NDIClockTest, DriftingSourceKeepsPictureAndSoundMarksTogether) {
    test::FakeNDIRuntime fake;
    for (const char* command : {"reset", "sources CLOCK (Marks)", "video BGRX 160 90 640 255",
                                "audio FLTp 2 480 48000", "live 1.003 1 30"}) {
        ASSERT_NO_FATAL_FAILURE(fake.control(command));
    }

    RunLoop loop;
    test::TestFolder folder;
    NotificationCenter center;
    auto controller = RecorderController::create(test::controllerOptions(
        loop, NDIDirectory::create(NDILibrary::load(ZARVO_FAKE_NDI_PATH), loop),
        folder / "settings.json", &center));
    ASSERT_NE(controller, nullptr);
    ASSERT_TRUE(loop.runUntil([&] { return !controller->availableSources().empty(); }, 20));
    test::applyTakeSettings(*controller,
                            {.folder = folder.path(), .name = "Clock", .output = "separate"});
    ASSERT_TRUE(controller->addSourceMatching("Marks")) << controller->error();
    const auto place = controller->places().front();
    ASSERT_TRUE(loop.runUntil([&] { return place->frameCount() > 0; }, 20));

    ASSERT_TRUE(controller->start()) << controller->error();
    loop.runFor(kSeconds);
    ASSERT_TRUE(test::stopTake(loop, *controller));
    EXPECT_EQ(controller->recordingError(), "");
    const auto movies = controller->moviesOfTheTake();
    ASSERT_EQ(movies.size(), 1u);

    const auto marks = test::ClockMarks::read(movies[0]->url(), kMarkEvery);
    ASSERT_EQ(marks.error, "");
    // About one mark a second; a burst cut by a drift correction or a mark at either end may be
    // missing, never many.
    EXPECT_GE(marks.pictureTimes.size(), 8u);
    EXPECT_GE(marks.offsets.size(), 7u);
    // The picture's slot is within half a frame of its arrival. The sound is placed where it
    // arrived and then runs on the source's clock until the timeline's estimate of its error
    // passes 2.5 ms and is cut away: a fast source's sound is late by up to 2.5 ms, and by up to
    // 5 ms in the first seconds while the timeline measures the drift. A few milliseconds more
    // for delivery on a busy machine.
    const double halfFrame = 0.5 / 30;
    const double delivery = 0.008;
    for (size_t i = 0; i < marks.offsets.size(); ++i) {
        EXPECT_GE(marks.offsets[i], -halfFrame - delivery) << "mark " << i;
        EXPECT_LE(marks.offsets[i], halfFrame + 0.005 + delivery) << "mark " << i;
    }
    // The marks sweep most of the pacer's sawtooth, which is centred on zero, so their mean is
    // about the sound's own error: a millisecond or two, not the ten or more of sound left to
    // drift to one side.
    EXPECT_GE(marks.mean, -0.005);
    EXPECT_LE(marks.mean, 0.008);

    controller.reset();
}

}  // namespace
}  // namespace zarvo
