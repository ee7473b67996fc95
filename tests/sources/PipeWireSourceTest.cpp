// PipeWire video nodes as sources, against the private PipeWire of scripts/pipewire.sh, with
// GStreamer pipelines (pipewiresink) as the publishing programs.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "platform/RunLoop.h"
#include "sources/CompositeDirectory.h"
#include "sources/NDITextureRing.h"
#include "sources/PipeWireDirectory.h"
#include "sources/PipeWireSource.h"
#include "sources/PipeWireSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PipeWireTestSupport.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using test::GstPublisherOptions;
using test::startGstPublisher;

std::optional<PipeWireNode> NodeTitled(const PipeWireDirectory& directory,
                                       const std::string& title) {
    for (const auto& node : directory.nodes()) {
        if (node.title == title) {
            return node;
        }
    }
    return std::nullopt;
}

std::string ThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// What a frame handler saw.
struct Received {
    std::mutex mutex;
    int frames = 0;
    std::set<std::string> threads;
    gpu::TextureRef last;

    FrameHandler handler() {
        return [this](const gpu::TextureRef& texture) {
            std::lock_guard lock(mutex);
            ++frames;
            threads.insert(ThreadName());
            last = texture;
        };
    }
    int count() {
        std::lock_guard lock(mutex);
        return frames;
    }
    gpu::TextureRef latest() {
        std::lock_guard lock(mutex);
        return last;
    }
};

class PipeWireSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ZARVO_REQUIRE_PIPEWIRE();
        directory = PipeWireDirectory::create(loop);
        ASSERT_TRUE(directory->isConnected());
    }

    // Runs the main loop until the directory lists the title.
    std::optional<PipeWireNode> waitForTitle(const std::string& title) {
        std::optional<PipeWireNode> node;
        loop.runUntil(
            [&] {
                node = NodeTitled(*directory, title);
                return node.has_value();
            },
            20);
        return node;
    }

    RunLoop loop;
    std::shared_ptr<PipeWireDirectory> directory;
};

// Programs' output streams and sources are listed by description and application, as local
// sources; they come and go with the programs, each change announced on the main thread.
TEST_F(PipeWireSourceTest, ListsVideoNodesAsTheyComeAndGo) {
    std::atomic<int> changes{0};
    std::atomic<bool> offMain{false};
    directory->setChangeHandler([&] {
        ++changes;
        offMain = offMain || !loop.isMainThread();
    });

    // The application's name given by the node itself, or else its program's.
    auto stage = startGstPublisher(GstPublisherOptions(test::Named("Stage"), "Mixer"));
    auto program = startGstPublisher(GstPublisherOptions(test::Named("Wide")));
    auto camera = startGstPublisher(
        GstPublisherOptions(test::Named("Capture Card"), "Grabber").withClass("Video/Source"));
    ASSERT_TRUE(stage->started() && program->started() && camera->started());
    const auto first = waitForTitle(test::Named("Stage") + " - Mixer");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->detail, "Mixer");
    ASSERT_TRUE(waitForTitle(test::Named("Wide") + " - gst-launch-1.0"));
    ASSERT_TRUE(waitForTitle(test::Named("Capture Card") + " - Grabber"));
    EXPECT_GE(changes, 1);

    const auto sources = directory->availableSources();
    int ours = 0;
    for (const auto& source : sources) {
        EXPECT_EQ(source.kind, FrameSourceKind::Syphon);
        if (source.title == test::Named("Stage") + " - Mixer" ||
            source.title == test::Named("Wide") + " - gst-launch-1.0" ||
            source.title == test::Named("Capture Card") + " - Grabber") {
            ++ours;
        }
    }
    EXPECT_EQ(ours, 3);
    // Composed after the local-sharing directory, and before whatever follows.
    auto composite = CompositeDirectory::create({directory});
    EXPECT_EQ(composite->availableSources(), sources);

    // Going away is announced; coming back lists the node anew.
    const int before = changes;
    stage.reset();
    ASSERT_TRUE(loop.runUntil(
        [&] { return !NodeTitled(*directory, test::Named("Stage") + " - Mixer"); }, 20));
    ASSERT_TRUE(loop.runUntil([&] { return changes > before; }, 5));
    EXPECT_TRUE(NodeTitled(*directory, test::Named("Wide") + " - gst-launch-1.0"));
    stage = startGstPublisher(GstPublisherOptions(test::Named("Stage"), "Mixer"));
    const auto again = waitForTitle(test::Named("Stage") + " - Mixer");
    ASSERT_TRUE(again);
    EXPECT_NE(again->serial, first->serial);
    EXPECT_FALSE(offMain);

    // With no handler, changes call nothing.
    directory->setChangeHandler(nullptr);
    program.reset();
    ASSERT_TRUE(loop.runUntil(
        [&] { return !NodeTitled(*directory, test::Named("Wide") + " - gst-launch-1.0"); }, 20));
}

// A connected node delivers upright textures on its own thread; without alpha they read as
// opaque, with it the transparency is kept. No sound, and nothing after stop.
TEST_F(PipeWireSourceTest, DeliversPicturesOnItsOwnThreadUntilStopped) {
    auto opaque =
        startGstPublisher(GstPublisherOptions(test::Named("Opaque"), "T").withColour(0xff3366cc));
    auto clear = startGstPublisher(GstPublisherOptions(test::Named("Clear"), "T")
                                       .withFormat("BGRA")
                                       .withSize(32, 16)
                                       .withColour(0x80ff0000));
    ASSERT_TRUE(waitForTitle(test::Named("Opaque") + " - T") &&
                waitForTitle(test::Named("Clear") + " - T"));
    EXPECT_EQ(directory->connectToSourceWithTitle(test::Named("Nobody") + " - T",
                                                  gpu::Device::systemDefault()),
              nullptr);

    auto source = directory->connectToSourceWithTitle(test::Named("Opaque") + " - T",
                                                      gpu::Device::systemDefault());
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->title(), test::Named("Opaque") + " - T");
    EXPECT_FALSE(source->flipped());
    EXPECT_EQ(source->kind(), FrameSourceKind::Syphon);
    EXPECT_FALSE(source->hasSound());
    EXPECT_TRUE(source->isAlive());
    std::atomic<int> sounds{0};
    source->setSoundHandler([&](const auto&) { ++sounds; });
    Received received;
    source->setFrameHandler(received.handler());
    ASSERT_TRUE(test::waitFor([&] { return received.count() >= 5; }, 20));
    auto texture = received.latest();
    ASSERT_EQ(texture->width(), 64);
    ASSERT_EQ(texture->height(), 48);
    EXPECT_TRUE(texture->isOpaque());
    const uint8_t* pixel = texture->row(47) + 63 * 4;
    EXPECT_NEAR(pixel[0], 0xcc, 2);
    EXPECT_NEAR(pixel[1], 0x66, 2);
    EXPECT_NEAR(pixel[2], 0x33, 2);

    auto transparent = directory->connectToSourceWithTitle(test::Named("Clear") + " - T",
                                                           gpu::Device::systemDefault());
    ASSERT_NE(transparent, nullptr);
    Received clearFrames;
    transparent->setFrameHandler(clearFrames.handler());
    ASSERT_TRUE(test::waitFor([&] { return clearFrames.count() >= 2; }, 20));
    texture = clearFrames.latest();
    EXPECT_EQ(texture->width(), 32);
    EXPECT_FALSE(texture->isOpaque());
    EXPECT_NEAR(texture->alphaAt(5, 5), 0x80, 2);
    EXPECT_NEAR(texture->row(5)[5 * 4 + 2], 0xff, 2);
    transparent->stop();

    // Nobody wants the pictures: each frame is told by its size and none is converted.
    std::atomic<int> notices{0};
    std::atomic<bool> sized{true};
    source->setFrameNoticeHandler([&](int64_t width, int64_t height) {
        sized = sized && width == 64 && height == 48;
        ++notices;
    });
    source->setPicturesWanted(false);
    ASSERT_TRUE(test::waitFor([&] { return notices >= 2; }, 20));
    const int unwantedFrom = received.count();
    ASSERT_TRUE(test::waitFor([&] { return notices >= 5; }, 20));
    EXPECT_EQ(received.count(), unwantedFrom);
    EXPECT_TRUE(sized);
    source->setPicturesWanted(true);
    ASSERT_TRUE(test::waitFor([&] { return received.count() >= unwantedFrom + 2; }, 20));

    source->stop();
    source->stop();
    EXPECT_FALSE(source->isAlive());
    const int stoppedAt = received.count();
    loop.runFor(0.2);
    EXPECT_EQ(received.count(), stoppedAt);
    EXPECT_EQ(sounds, 0);
    std::lock_guard lock(received.mutex);
    EXPECT_EQ(received.threads, std::set<std::string>{"PipeWireSource"});
}

// Raw camera layouts and MJPEG all come out as the colour the publisher shows.
TEST_F(PipeWireSourceTest, ConvertsCameraFormatsToBGRA) {
    // Red, green and blue in different amounts, so that swapped channels show.
    const uint32_t argb = 0xffc84020;
    for (const std::string format : {"RGBx", "RGBA", "YUY2", "UYVY", "NV12", "I420", "MJPEG"}) {
        SCOPED_TRACE(format);
        auto publisher = startGstPublisher(GstPublisherOptions(test::Named("Format " + format), "T")
                                               .withFormat(format)
                                               .withSize(64, 32)
                                               .withColour(argb));
        ASSERT_TRUE(waitForTitle(test::Named("Format " + format) + " - T"));
        auto frameSource = directory->connectToSourceWithTitle(
            test::Named("Format " + format) + " - T", gpu::Device::systemDefault());
        ASSERT_NE(frameSource, nullptr);
        auto* source = dynamic_cast<PipeWireSource*>(frameSource.get());
        ASSERT_NE(source, nullptr);
        Received received;
        source->setFrameHandler(received.handler());
        ASSERT_TRUE(test::waitFor([&] { return received.count() >= 3; }, 20));
        const auto texture = received.latest();
        ASSERT_EQ(texture->width(), 64);
        ASSERT_EQ(texture->height(), 32);
        EXPECT_EQ(texture->isOpaque(), format != "RGBA");
        // YUV carries the colour in 8 bits of luma and chroma; JPEG loses a little more.
        const int tolerance = format == "MJPEG" ? 12 : (format.starts_with("RGB") ? 1 : 6);
        for (const auto& [x, y] : {std::pair{0, 0}, std::pair{63, 31}, std::pair{20, 17}}) {
            const uint8_t* pixel = texture->row(y) + x * 4;
            EXPECT_NEAR(pixel[0], 0x20, tolerance) << x << "," << y;
            EXPECT_NEAR(pixel[1], 0x40, tolerance) << x << "," << y;
            EXPECT_NEAR(pixel[2], 0xc8, tolerance) << x << "," << y;
            EXPECT_EQ(texture->alphaAt(x, y), 255);
        }
        const auto negotiated = source->format();
        ASSERT_TRUE(negotiated);
        EXPECT_EQ(pipeWirePixelFormatName(negotiated->pixelFormat), format);
        EXPECT_EQ(source->droppedBufferCount(), 0u);
        source->stop();
    }
}

// A node that goes away leaves its source not alive; the source stays until stopped.
TEST_F(PipeWireSourceTest, ANodeThatGoesAwayIsNoLongerAlive) {
    auto publisher = startGstPublisher(GstPublisherOptions(test::Named("Brief"), "T"));
    ASSERT_TRUE(waitForTitle(test::Named("Brief") + " - T"));
    auto source = directory->connectToSourceWithTitle(test::Named("Brief") + " - T",
                                                      gpu::Device::systemDefault());
    ASSERT_NE(source, nullptr);
    Received received;
    source->setFrameHandler(received.handler());
    ASSERT_TRUE(test::waitFor([&] { return received.count() >= 2; }, 20));
    publisher.reset();
    ASSERT_TRUE(test::waitFor([&] { return !source->isAlive(); }, 20));
    const int framesThen = received.count();
    loop.runFor(0.2);
    EXPECT_EQ(received.count(), framesThen);
    source->stop();
    // A title no longer listed connects nothing.
    ASSERT_TRUE(
        loop.runUntil([&] { return !NodeTitled(*directory, test::Named("Brief") + " - T"); }, 20));
    EXPECT_EQ(directory->connectToSourceWithTitle(test::Named("Brief") + " - T",
                                                  gpu::Device::systemDefault()),
              nullptr);
}

// A source may be let go of from within its own frame handler: it ends on its own thread.
// A handler slower than the node never stops it: the source gives every buffer back within its
// cycle and passes over the pictures the handler cannot take, counting them, so every picture the
// node published is handed on or counted (but for the few waiting at either end).
TEST_F(PipeWireSourceTest, AHandlerSlowerThanTheNodeNeverStopsItAndWhatItMissesIsCounted) {
    auto publisher = startGstPublisher(GstPublisherOptions(test::Named("Busy"), "T"));
    ASSERT_TRUE(waitForTitle(test::Named("Busy") + " - T"));
    auto connected = directory->connectToSourceWithTitle(test::Named("Busy") + " - T",
                                                         gpu::Device::systemDefault());
    auto* source = dynamic_cast<PipeWireSource*>(connected.get());
    ASSERT_NE(source, nullptr);
    // The first twenty pictures take three frame intervals each, as a handler on a machine
    // that is busy with something else might.
    std::atomic<int> handled{0};
    source->setFrameHandler([&](const gpu::TextureRef&) {
        if (handled++ < 20) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    ASSERT_TRUE(test::waitFor([&] { return handled.load() >= 1; }, 20));
    const uint64_t publishedBefore = source->publishedFrameCount();
    const uint64_t accountedBefore = source->deliveredFrameCount() + source->skippedFrameCount();
    // Well past the slow pictures, the node still sends.
    ASSERT_TRUE(test::waitFor([&] { return handled.load() >= 60; }, 20))
        << "the node stopped after " << source->receivedFrameCount() << " buffers";
    source->stop();
    const uint64_t published = source->publishedFrameCount() - publishedBefore;
    const uint64_t accounted =
        source->deliveredFrameCount() + source->skippedFrameCount() - accountedBefore;
    EXPECT_GT(source->skippedFrameCount(), 0u);
    EXPECT_GE(source->receivedFrameCount(), source->deliveredFrameCount());
    EXPECT_LE(published, accounted + NDITextureRing::kSlotCount);
    EXPECT_LE(accounted, published + NDITextureRing::kSlotCount / 2);
}

TEST_F(PipeWireSourceTest, MayBeReleasedFromWithinItsOwnFrameHandler) {
    auto publisher = startGstPublisher(GstPublisherOptions(test::Named("Self"), "T"));
    ASSERT_TRUE(waitForTitle(test::Named("Self") + " - T"));
    auto source = directory->connectToSourceWithTitle(test::Named("Self") + " - T",
                                                      gpu::Device::systemDefault());
    ASSERT_NE(source, nullptr);
    std::atomic<bool> entered{false};
    std::atomic<bool> released{false};
    std::shared_ptr<FrameSource> held = source;
    source->setFrameHandler([&](const gpu::TextureRef&) {
        if (!entered.exchange(true)) {
            while (!released) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            held.reset();  // the last reference
        }
    });
    ASSERT_TRUE(test::waitFor([&] { return entered.load(); }, 20));
    std::weak_ptr<FrameSource> weak = source;
    source.reset();
    released = true;
    EXPECT_TRUE(test::waitFor([&] { return weak.expired(); }, 10));
}

// Without a PipeWire to talk to, the directory lists and connects nothing, and says why once.
TEST(PipeWireDirectoryTest, WithoutPipeWireListsNothingAndSaysWhyOnce) {
    test::TestFolder folder;
    const test::ScopedEnv noPipeWire("PIPEWIRE_RUNTIME_DIR", folder.path().c_str());
    test::LogCapture log;
    RunLoop loop;
    {
        auto directory = PipeWireDirectory::create(loop);
        EXPECT_FALSE(directory->isConnected());
        EXPECT_TRUE(directory->availableSources().empty());
        EXPECT_EQ(directory->connectToSourceWithTitle(test::Named("Stage") + " - Mixer",
                                                      gpu::Device::systemDefault()),
                  nullptr);
        // Attempts go on in the background without more lines.
        loop.runFor(PipeWireDirectory::kRetryInterval * 1.5);
    }
    int lines = 0;
    for (const auto& line : log.lines()) {
        if (line.starts_with("PipeWire: ")) {
            ++lines;
            EXPECT_EQ(line.rfind("PipeWire: no PipeWire sources, because PipeWire does not "
                                 "answer",
                                 0),
                      0u)
                << line;
        }
    }
    EXPECT_EQ(lines, 1);
}

// A stop asked from another thread ends the loop's run whenever it comes: before the run has
// begun (the library's own quit is lost then, and the run would never end), while it runs, and
// for every run after it. Without PipeWire, a directory made and released over and over never
// leaves its thread waiting on the library's.
TEST(PipeWireDirectoryTest, StopsWhenAskedBeforeOrDuringItsRun) {
    pipewire::initialize();
    for (int round = 0; round < 100; ++round) {
        pipewire::StoppableLoop loop;
        ASSERT_TRUE(loop.isValid());
        std::thread stopper([&] {
            if (round % 2 == 1) {
                std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
            }
            loop.stop();
        });
        if (round % 2 == 0) {
            stopper.join();
        }
        loop.run();
        loop.run();
        EXPECT_TRUE(loop.isStopped());
        if (stopper.joinable()) {
            stopper.join();
        }
    }

    test::TestFolder folder;
    const test::ScopedEnv noPipeWire("PIPEWIRE_RUNTIME_DIR", folder.path().c_str());
    test::LogCapture log;
    RunLoop main;
    for (int round = 0; round < 20; ++round) {
        auto directory = PipeWireDirectory::create(main);
        EXPECT_FALSE(directory->isConnected());
    }
}

}  // namespace
}  // namespace zarvo
