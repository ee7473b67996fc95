// A whole take of a PipeWire node (a GStreamer pipeline publishing through pipewiresink to the
// private PipeWire of scripts/pipewire.sh) and a local test source, merged by the composite
// directory as the application merges them, recorded into separate and assembled movies that are
// read back. The PipeWire node goes away part-way: its place goes offline and the take goes on.
#include <gtest/gtest.h>

#include "engine/RecorderController.h"
#include "platform/RunLoop.h"
#include "sources/CompositeDirectory.h"
#include "sources/PipeWireDirectory.h"
#include "sources/SyphonDirectory.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/PipeWireTestSupport.h"
#include "tests/support/SyphonTestRegistry.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

TEST(PipeWireTakeTest, RecordsAPipeWireNodeBesideATestSourceUntilTheNodeGoesAway) {
    ZARVO_REQUIRE_PIPEWIRE();
    test::UsePrivateSyphonRegistry();
    test::ChildProcess pattern(
        {ZARVO_TEST_SOURCE, "--name", "Test Pattern", "--size", "160x90", "--fps", "30"});
    ASSERT_TRUE(pattern.started());
    auto stage = test::StartGstPublisher(test::GstPublisherOptions(test::Named("Stage"), "Mixer")
                                             .withFormat("I420")
                                             .withSize(96, 64)
                                             .withColour(0xff3366cc));
    ASSERT_TRUE(stage->started());

    RunLoop loop;
    test::TestFolder folder;
    NotificationCenter center;
    auto directory = CompositeDirectory::create(
        {SyphonDirectory::create(loop), PipeWireDirectory::create(loop)});
    auto controller = RecorderController::create(
        {.mainQueue = &loop,
         .device = gpu::Device::systemDefault(),
         .directory = directory,
         .computerSound = nullptr,
         .defaults = std::make_shared<UserDefaults>(folder / "settings.json"),
         .notificationCenter = &center});
    ASSERT_NE(controller, nullptr);
    const auto listed = [&](const std::string& title) {
        for (const auto& source : controller->availableSources()) {
            if (source.title == title) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(loop.runUntil(
        [&] {
            return listed("Test Pattern - zarvo-test-source") &&
                   listed(test::Named("Stage") + " - Mixer");
        },
        20));

    controller->setFolder(folder.path().string());
    controller->setName("Show");
    controller->setOutput("both");
    controller->setCodec("h264");
    controller->setFps(30);
    ASSERT_TRUE(controller->addSourceMatching("Test Pattern")) << controller->error();
    ASSERT_TRUE(controller->addSourceMatching(test::Named("Stage") + " - Mixer"))
        << controller->error();
    const auto places = controller->places();
    ASSERT_TRUE(loop.runUntil(
        [&] {
            return places[0]->isOnline() && places[1]->isOnline() && places[1]->frameCount() > 0;
        },
        20));
    EXPECT_EQ(places[1]->kindName(), "syphon");
    EXPECT_EQ(places[1]->width(), 96);
    EXPECT_EQ(places[1]->height(), 64);

    ASSERT_TRUE(controller->start()) << controller->error();
    loop.runFor(1.5);
    // The publishing program quits mid-take.
    stage.reset();
    ASSERT_TRUE(loop.runUntil([&] { return !places[1]->isOnline(); }, 10));
    const uint64_t patternFrames = places[0]->frameCount();
    loop.runFor(1.0);
    EXPECT_TRUE(places[0]->isOnline());
    EXPECT_GT(places[0]->frameCount(), patternFrames);
    EXPECT_TRUE(controller->isRecording());
    bool stopped = false;
    controller->stopWithCompletionHandler([&] { stopped = true; });
    ASSERT_TRUE(loop.runUntil([&] { return stopped; }, 30));
    EXPECT_EQ(controller->recordingError(), "");

    const auto movies = controller->moviesOfTheTake();
    ASSERT_EQ(movies.size(), 3u);
    const auto patternMovie = test::MovieProbe::read(movies[0]->url());
    ASSERT_TRUE(patternMovie.opened) << patternMovie.error;
    ASSERT_TRUE(patternMovie.picture);
    EXPECT_EQ(patternMovie.picture->width, 160);
    // The node's movie: its size, its pictures until it went, and its colour.
    const auto stageMovie = test::MovieProbe::read(movies[1]->url());
    ASSERT_TRUE(stageMovie.opened) << stageMovie.error;
    ASSERT_TRUE(stageMovie.picture);
    EXPECT_EQ(stageMovie.picture->width, 96);
    EXPECT_EQ(stageMovie.picture->height, 64);
    EXPECT_GT(stageMovie.picture->times.size(), 20u);
    EXPECT_GT(patternMovie.picture->times.size(), stageMovie.picture->times.size());
    int width = 0;
    int height = 0;
    const auto rgba = test::MovieProbe::decodePicture(movies[1]->url(), 5, &width, &height);
    ASSERT_EQ(rgba.size(), 96u * 64u * 4u);
    for (const auto& [x, y] : {std::pair{2, 2}, std::pair{48, 32}, std::pair{93, 61}}) {
        const uint8_t* pixel = &rgba[static_cast<size_t>((y * width + x) * 4)];
        EXPECT_NEAR(pixel[0], 0x33, 10) << x << "," << y;
        EXPECT_NEAR(pixel[1], 0x66, 10) << x << "," << y;
        EXPECT_NEAR(pixel[2], 0xcc, 10) << x << "," << y;
    }
    const auto assembled = test::MovieProbe::read(movies[2]->url());
    ASSERT_TRUE(assembled.opened) << assembled.error;
    ASSERT_TRUE(assembled.picture);
    EXPECT_GT(assembled.picture->times.size(), stageMovie.picture->times.size());
    EXPECT_EQ(test::MovieProbe::decodeAllPictures(movies[1]->url()),
              static_cast<int>(stageMovie.picture->times.size()));
}

}  // namespace
}  // namespace zarvo
