// A whole take of a PipeWire node (a GStreamer pipeline publishing through pipewiresink to the
// private PipeWire of scripts/pipewire.sh) and a local test source, merged by the composite
// directory as the application merges them, recorded into separate and assembled movies that are
// read back. The PipeWire node goes away part-way: its place goes offline and the take goes on.
// Then takes of several nodes at once, each movie read back against what its node published.
#include <gtest/gtest.h>

#include "engine/RecorderController.h"
#include "platform/RunLoop.h"
#include "sources/CompositeDirectory.h"
#include "sources/PipeWireDirectory.h"
#include "sources/PipeWireSource.h"
#include "sources/SyphonDirectory.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ControllerSetup.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/PipeWireTestSupport.h"
#include "tests/support/SyphonTestRegistry.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

TEST(PipeWireTakeTest, RecordsAPipeWireNodeBesideATestSourceUntilTheNodeGoesAway) {
    ZARVO_REQUIRE_PIPEWIRE();
    test::usePrivateSyphonRegistry();
    test::ChildProcess pattern(
        {ZARVO_TEST_SOURCE, "--name", "Test Pattern", "--size", "160x90", "--fps", "30"});
    ASSERT_TRUE(pattern.started());
    auto stage = test::startGstPublisher(test::GstPublisherOptions(test::Named("Stage"), "Mixer")
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
        test::controllerOptions(loop, directory, folder / "settings.json", &center));
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

    test::applyTakeSettings(*controller,
                            {.folder = folder.path(), .name = "Show", .output = "both"});
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
    ASSERT_TRUE(test::stopTake(loop, *controller));
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

// Several nodes recorded "separate" by a controller over the PipeWire directory alone.
class PipeWireNodesTake : public ::testing::Test {
  protected:
    static constexpr int kNodes = 3;

    void SetUp() override {
        if (!test::pipeWireStarted()) {
            return;
        }
        for (int i = 1; i <= kNodes; ++i) {
            publishers_.push_back(test::startGstPublisher(
                test::GstPublisherOptions(test::Named("Node " + std::to_string(i)), "Take")
                    .withSize(80, 48)));
            ASSERT_TRUE(publishers_.back()->started());
        }
        controller_ = RecorderController::create(test::controllerOptions(
            loop_, PipeWireDirectory::create(loop_), folder_ / "settings.json"));
        ASSERT_NE(controller_, nullptr);
        controller_->setFolder(folder_.path().string());
        controller_->setOutput("separate");
        controller_->setCodec("h264");
        controller_->setFps(0);  // every frame kept
        for (int i = 1; i <= kNodes; ++i) {
            const std::string title = test::Named("Node " + std::to_string(i)) + " - Take";
            ASSERT_TRUE(loop_.runUntil([&] { return controller_->addSourceMatching(title); }, 20))
                << controller_->error();
        }
        ASSERT_TRUE(loop_.runUntil(
            [&] {
                for (const auto& place : controller_->places()) {
                    if (!place->isOnline() || place->frameCount() == 0) {
                        return false;
                    }
                }
                return true;
            },
            20));
    }

    std::shared_ptr<PipeWireSource> sourceAt(size_t place) const {
        return std::dynamic_pointer_cast<PipeWireSource>(controller_->places()[place]->source);
    }

    // The pictures each node published from now on; call again with the result to end.
    std::vector<int64_t> published(std::vector<int64_t> since = {}) const {
        since.resize(kNodes);
        for (size_t i = 0; i < kNodes; ++i) {
            const auto source = sourceAt(i);
            since[i] =
                (source ? static_cast<int64_t>(source->publishedFrameCount()) : 0) - since[i];
        }
        return since;
    }

    void stop() {
        ASSERT_TRUE(test::stopTake(loop_, *controller_));
        EXPECT_EQ(controller_->recordingError(), "");
    }

    // Every source's movie holds at least 99 % of what its node published during the take,
    // which was something.
    void expectMoviesHold(const std::vector<int64_t>& published, const std::string& take) {
        const auto movies = controller_->moviesOfTheTake();
        ASSERT_EQ(movies.size(), static_cast<size_t>(kNodes)) << take;
        for (size_t i = 0; i < movies.size(); ++i) {
            const auto movie = test::MovieProbe::read(movies[i]->url());
            ASSERT_TRUE(movie.opened) << take << ", node " << i + 1 << ": " << movie.error;
            ASSERT_TRUE(movie.picture) << take << ", node " << i + 1;
            EXPECT_GT(published[i], 0) << take << ", node " << i + 1;
            EXPECT_GE(static_cast<double>(movie.picture->times.size()),
                      0.99 * static_cast<double>(published[i]))
                << take << ", node " << i + 1 << ": " << movies[i]->framesDropped() << " dropped, "
                << sourceAt(i)->skippedFrameCount() << " skipped";
        }
    }

    RunLoop loop_;
    test::TestFolder folder_;
    std::vector<std::unique_ptr<test::ChildProcess>> publishers_;
    std::shared_ptr<RecorderController> controller_;
};

TEST_F(PipeWireNodesTake, EveryMovieHoldsWhatItsNodePublishedWithAndWithoutThePerformanceSetting) {
    ZARVO_REQUIRE_PIPEWIRE();
    for (const bool performance : {false, true}) {
        const std::string take = performance ? "performance" : "plain";
        controller_->setName(take);
        controller_->setPerformance(performance);
        ASSERT_TRUE(controller_->start()) << controller_->error();
        // Counted from the start on: frames that come after the count's end are still written.
        const auto start = published();
        loop_.runFor(3);
        const auto during = published(start);
        stop();
        expectMoviesHold(during, take);
    }
}

TEST_F(PipeWireNodesTake, ANodeThatLeavesMidTakeLeavesTheOthersEveryFrame) {
    ZARVO_REQUIRE_PIPEWIRE();
    controller_->setName("leaving");
    ASSERT_TRUE(controller_->start()) << controller_->error();
    const auto start = published();
    loop_.runFor(1.5);
    // The first node's program quits; the other nodes go on.
    const auto beforeLeaving = published(start);
    publishers_[0].reset();
    const auto places = controller_->places();
    ASSERT_TRUE(loop_.runUntil([&] { return !places[0]->isOnline(); }, 10));
    loop_.runFor(1.5);
    auto during = published(start);
    // The node that left published until it went; its source may be gone by now.
    during[0] = beforeLeaving[0];
    stop();
    EXPECT_FALSE(places[0]->isOnline());
    EXPECT_TRUE(places[1]->isOnline());
    EXPECT_TRUE(places[2]->isOnline());
    expectMoviesHold(during, "leaving");
}

}  // namespace
}  // namespace zarvo
