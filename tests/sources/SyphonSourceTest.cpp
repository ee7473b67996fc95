#include "sources/SyphonSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/framesharing/SyphonServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SyphonTestRegistry.h"

namespace zarvo {
namespace {

using test::waitFor;

// A server in this process that publishes a small frame every few milliseconds; the top row of
// each frame is white, the rest black.
class Publisher {
  public:
    Publisher() : server_(SyphonServer::create({"Stage", "Mixer"})) {
        if (!server_) {
            return;
        }
        thread_ = std::jthread([this](std::stop_token stop) {
            auto frame = gpu::Texture::make(8, 6);
            std::fill_n(frame->row(0), 8 * 4, uint8_t{255});
            while (!stop.stop_requested()) {
                server_->publishFrameTexture(*frame);
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
        });
    }
    ~Publisher() { thread_ = {}; }

    bool started() const { return server_ != nullptr; }
    SyphonServerDescription description() const { return server_->serverDescription(); }
    void stop() {
        thread_ = {};
        server_->stop();
    }

  private:
    std::unique_ptr<SyphonServer> server_;
    std::jthread thread_;
};

class SyphonSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::usePrivateSyphonRegistry();
        publisher.emplace();
        ASSERT_TRUE(publisher->started());
        source = SyphonSource::create("Stage - Mixer", publisher->description(),
                                      gpu::Device::systemDefault());
    }

    std::optional<Publisher> publisher;
    std::shared_ptr<SyphonSource> source;
};

TEST_F(SyphonSourceTest, DeliversFlippedFramesOnItsOwnThreadWithoutSound) {
    EXPECT_EQ(source->title(), "Stage - Mixer");
    EXPECT_TRUE(source->flipped());
    EXPECT_EQ(source->kind(), FrameSourceKind::Syphon);
    EXPECT_FALSE(source->hasSound());
    std::atomic<int> sounds{0};
    source->setSoundHandler([&](const auto&) { ++sounds; });

    std::mutex mutex;
    std::set<std::thread::id> threads;
    int frames = 0;
    bool bottomRowFirst = true;
    source->setFrameHandler([&](const gpu::TextureRef& texture) {
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
        ++frames;
        bottomRowFirst = bottomRowFirst && texture->width() == 8 && texture->height() == 6 &&
                         texture->row(0)[0] == 0 && texture->row(5)[0] == 255;
    });
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard lock(mutex);
            return frames >= 5;
        },
        10));
    source->stop();
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_TRUE(bottomRowFirst);
    EXPECT_EQ(sounds, 0);
    EXPECT_FALSE(source->hasSound());
}

TEST_F(SyphonSourceTest, WhilePicturesAreNotWantedFramesAreToldByTheirSizeAndNoneIsCopied) {
    std::atomic<int> pictures{0};
    std::atomic<int> notices{0};
    std::atomic<bool> sized{true};
    source->setFrameHandler([&](const gpu::TextureRef&) { ++pictures; });
    source->setFrameNoticeHandler([&](int64_t width, int64_t height) {
        sized = sized && width == 8 && height == 6;
        ++notices;
    });
    ASSERT_TRUE(waitFor([&] { return pictures >= 3; }, 10));
    EXPECT_EQ(notices, 0);

    source->setPicturesWanted(false);
    const int picturesBefore = pictures;
    const uint64_t copiedBefore = source->framesReceived();
    ASSERT_TRUE(waitFor([&] { return notices >= 10; }, 10));
    // One picture may have been under way when the change came.
    EXPECT_LE(pictures, picturesBefore + 1);
    EXPECT_LE(source->framesReceived(), copiedBefore + 1);
    EXPECT_TRUE(sized);

    source->setPicturesWanted(true);
    const int picturesAgain = pictures;
    EXPECT_TRUE(waitFor([&] { return pictures >= picturesAgain + 3; }, 10));
    EXPECT_GT(source->framesReceived(), copiedBefore + 1);
    source->stop();
}

TEST_F(SyphonSourceTest, IsAliveWhileThePublisherRunsAndNeverAfterStop) {
    std::atomic<int> frames{0};
    source->setFrameHandler([&](const gpu::TextureRef&) { ++frames; });
    EXPECT_TRUE(source->isAlive());
    ASSERT_TRUE(waitFor([&] { return frames >= 1; }, 10));

    source->stop();
    source->stop();
    EXPECT_FALSE(source->isAlive());
    // stop waits for a call under way: nothing arrives afterwards.
    const int stoppedAt = frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(frames, stoppedAt);

    // A source whose publisher quits stays, but is no longer alive.
    auto other = SyphonSource::create("Stage - Mixer", publisher->description(),
                                      gpu::Device::systemDefault());
    EXPECT_TRUE(other->isAlive());
    publisher->stop();
    EXPECT_FALSE(other->isAlive());
    other->stop();
}

TEST_F(SyphonSourceTest, MayBeReleasedFromWithinItsOwnFrameHandler) {
    std::atomic<bool> entered{false};
    std::atomic<bool> released{false};
    source->setFrameHandler([&](const gpu::TextureRef&) {
        if (!entered.exchange(true)) {
            while (!released) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    ASSERT_TRUE(waitFor([&] { return entered.load(); }, 10));
    // The handler call now holds the last reference: the source ends on its own thread.
    std::weak_ptr<SyphonSource> weak = source;
    source.reset();
    EXPECT_FALSE(weak.expired());
    released = true;
    EXPECT_TRUE(waitFor([&] { return weak.expired(); }, 10));
}

}  // namespace
}  // namespace zarvo
