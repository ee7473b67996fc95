// A whole take of real sources, as the application makes one: a test-source process publishing
// through the local frame-sharing layer, and an NDI source with sound received through a
// dynamically loaded runtime (the test suite's stand-in), merged by the composite directory and
// recorded by the controller into separate and assembled movies that are read back.
#include <gtest/gtest.h>

#include "engine/RecorderController.h"
#include "platform/RunLoop.h"
#include "sources/CompositeDirectory.h"
#include "sources/NDIDirectory.h"
#include "sources/NDILibrary.h"
#include "sources/SyphonDirectory.h"
#include "tests/sources/fake_ndi/FakeNDIRuntime.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ControllerSetup.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/SyphonTestRegistry.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

TEST(SourcesTakeTest, RecordsATestSourceAndAnNDISourceWithSound) {
    test::usePrivateSyphonRegistry();
    test::ChildProcess publisher(
        {ZARVO_TEST_SOURCE, "--name", "Test Pattern", "--size", "160x90", "--fps", "30"});
    ASSERT_TRUE(publisher.started());

    test::FakeNDIRuntime fake;
    for (const char* command :
         {"reset", "sources STAGE (Cam)\thttp://127.0.0.1:5961", "video BGRA 64 36 256 255",
          "audio FLTp 2 800 48000", "interval-ms 16"}) {
        ASSERT_NO_FATAL_FAILURE(fake.control(command));
    }

    RunLoop loop;
    test::TestFolder folder;
    NotificationCenter center;
    auto directory = CompositeDirectory::create(
        {SyphonDirectory::create(loop),
         NDIDirectory::create(NDILibrary::load(ZARVO_FAKE_NDI_PATH), loop)});
    auto controller = RecorderController::create(
        test::controllerOptions(loop, directory, folder / "settings.json", &center));
    ASSERT_NE(controller, nullptr);
    ASSERT_TRUE(loop.runUntil([&] { return controller->availableSources().size() >= 2; }, 20));

    test::applyTakeSettings(*controller,
                            {.folder = folder.path(), .name = "Show", .output = "both"});
    ASSERT_TRUE(controller->addSourceMatching("Test Pattern")) << controller->error();
    ASSERT_TRUE(controller->addSourceMatching("Cam")) << controller->error();
    const auto places = controller->places();
    ASSERT_TRUE(loop.runUntil(
        [&] { return places[0]->frameCount() > 0 && places[1]->frameCount() > 0; }, 20));
    EXPECT_EQ(places[0]->kindName(), "syphon");
    EXPECT_EQ(places[1]->kindName(), "ndi");

    ASSERT_TRUE(controller->start()) << controller->error();
    loop.runFor(1.5);
    ASSERT_TRUE(test::stopTake(loop, *controller));
    EXPECT_EQ(controller->recordingError(), "");

    const auto movies = controller->moviesOfTheTake();
    ASSERT_EQ(movies.size(), 3u);
    // The test source's own movie: pictures at its size, no sound of its own.
    const auto pattern = test::MovieProbe::read(movies[0]->url());
    ASSERT_TRUE(pattern.opened) << pattern.error;
    ASSERT_TRUE(pattern.picture);
    EXPECT_EQ(pattern.picture->width, 160);
    EXPECT_EQ(pattern.picture->height, 90);
    EXPECT_GT(pattern.picture->times.size(), 10u);
    EXPECT_FALSE(pattern.sound);
    // The NDI source's movie: its pictures and its sound.
    const auto camera = test::MovieProbe::read(movies[1]->url());
    ASSERT_TRUE(camera.opened) << camera.error;
    ASSERT_TRUE(camera.picture);
    EXPECT_EQ(camera.picture->width, 64);
    EXPECT_GT(camera.picture->times.size(), 10u);
    ASSERT_TRUE(camera.sound);
    EXPECT_EQ(camera.sound->sampleRate, 48000);
    EXPECT_GT(camera.sound->sampleCount, 48000 / 2);
    // The assembled movie: both side by side.
    const auto assembled = test::MovieProbe::read(movies[2]->url());
    ASSERT_TRUE(assembled.opened) << assembled.error;
    ASSERT_TRUE(assembled.picture);
    EXPECT_GT(assembled.picture->times.size(), 10u);

    controller.reset();
}

}  // namespace
}  // namespace zarvo
