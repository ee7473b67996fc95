#include "sources/NDISource.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "sources/SourceSound.h"
#include "tests/sources/fake_ndi/FakeNDIRuntime.h"
#include "tests/support/LogCapture.h"

namespace zarvo {
namespace {

using test::FakeNDIRuntime;
using test::waitFor;

std::string CurrentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// What a source handed to its handlers, noted on its thread.
struct Received {
    struct Frame {
        gpu::TextureRef texture;
        uint8_t tag;    // the sender's frame number, from the first pixel
        uint8_t alpha;  // as read through the texture
    };
    mutable std::mutex mutex;
    std::vector<Frame> frames;
    std::vector<std::shared_ptr<const SourceSound>> sounds;
    std::vector<std::string> threads;

    FrameHandler frameHandler() {
        return [this](const gpu::TextureRef& texture) {
            std::lock_guard lock(mutex);
            frames.push_back({texture, texture->row(0)[0], texture->alphaAt(0, 0)});
            threads.push_back(CurrentThreadName());
        };
    }
    SoundHandler soundHandler() {
        return [this](const std::shared_ptr<const SourceSound>& sound) {
            std::lock_guard lock(mutex);
            sounds.push_back(sound);
            threads.push_back(CurrentThreadName());
        };
    }
    size_t frameCount() const {
        std::lock_guard lock(mutex);
        return frames.size();
    }
    size_t soundCount() const {
        std::lock_guard lock(mutex);
        return sounds.size();
    }
};

class NDISourceTest : public testing::Test {
  protected:
    void SetUp() override {
        fake.control("reset");
        library = NDILibrary::load(fake.path());
        ASSERT_TRUE(library->isAvailable());
    }

    void TearDown() override {
        // Every frame the runtime handed out was given back exactly once.
        EXPECT_TRUE(waitFor([&] { return fake.count("receivers-live") == 0; }));
        EXPECT_EQ(fake.count("outstanding"), 0);
        EXPECT_EQ(fake.count("bad-free"), 0);
    }

    std::shared_ptr<NDISource> connect(const std::string& title = "Cam") {
        auto source = NDISource::create(title, title, std::nullopt, library, device,
                                        [now = now] { return now->load(); });
        EXPECT_NE(source, nullptr);
        return source;
    }

    // Waits until every frame captured so far has been handled: captures follow one another.
    void settle() {
        const long long captures = fake.count("captures");
        ASSERT_TRUE(waitFor([&] { return fake.count("captures") >= captures + 2; }));
    }

    FakeNDIRuntime fake;
    std::shared_ptr<const NDILibrary> library;
    gpu::DeviceRef device = std::make_shared<gpu::Device>();
    std::shared_ptr<std::atomic<double>> now = std::make_shared<std::atomic<double>>(100.0);
    Received received;
    test::LogCapture log;
};

TEST_F(NDISourceTest, DeliversPicturesOnItsOwnThreadOpaqueUnlessSentWithAlpha) {
    fake.control("video BGRA 16 8 64 64");
    auto source = connect();
    source->setFrameHandler(received.frameHandler());
    ASSERT_TRUE(waitFor([&] { return received.frameCount() >= 3; }));
    fake.control("video BGRX 16 8 80 64");
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(received.mutex);
        return received.frames.back().alpha == 255;
    }));
    source->stop();

    std::lock_guard lock(received.mutex);
    EXPECT_EQ(received.frames[0].alpha, 64);
    EXPECT_EQ(received.frames[1].tag, static_cast<uint8_t>(received.frames[0].tag + 1));
    for (const auto& frame : received.frames) {
        EXPECT_EQ(frame.texture->width(), 16);
        EXPECT_EQ(frame.texture->height(), 8);
        EXPECT_EQ(frame.texture->isOpaque(), frame.alpha == 255);
    }
    EXPECT_EQ(received.threads[0], "NDISource");
    EXPECT_EQ(fake.count("capture-timeout"), 100);
    EXPECT_EQ(fake.text("metadata-asked"), "0");
    EXPECT_EQ(fake.text("recv-settings"),
              "name=Cam url=(none) color=0 bandwidth=100 fields=0 recv=ZarvoRecorder");
}

TEST_F(NDISourceTest, WhilePicturesAreNotWantedPicturesAreToldByTheirSizeAlone) {
    fake.control("video BGRX 16 8 64 255");
    auto source = connect();
    std::atomic<int> notices{0};
    std::atomic<bool> sized{true};
    source->setFrameHandler(received.frameHandler());
    source->setFrameNoticeHandler([&](int64_t width, int64_t height) {
        sized = sized && width == 16 && height == 8;
        ++notices;
    });
    source->setPicturesWanted(false);
    settle();
    const size_t pictures = received.frameCount();
    ASSERT_TRUE(waitFor([&] { return notices >= 5; }));
    EXPECT_EQ(received.frameCount(), pictures);
    EXPECT_TRUE(sized);

    source->setPicturesWanted(true);
    EXPECT_TRUE(waitFor([&] { return received.frameCount() >= pictures + 3; }));
    source->stop();
    // Every picture was given back to the runtime, converted or not (checked at tear-down).
}

TEST_F(NDISourceTest, ReusesATextureOnlyAfterTwelveFurtherPictures) {
    fake.control("video BGRA 4 4 16 255");
    auto source = connect();
    source->setFrameHandler(received.frameHandler());
    ASSERT_TRUE(waitFor([&] { return received.frameCount() >= 13; }));
    source->stop();

    std::lock_guard lock(received.mutex);
    const auto& frames = received.frames;
    for (size_t i = 1; i < 12; ++i) {
        EXPECT_FALSE(frames[i].texture->sharesPixelsWith(*frames[0].texture)) << i;
        EXPECT_EQ(frames[i].tag, static_cast<uint8_t>(frames[0].tag + i));
    }
    EXPECT_EQ(frames[12].texture, frames[0].texture);
}

TEST_F(NDISourceTest, LeavesOutUnsupportedFormatsLoggingEachOnce) {
    fake.control("video UYVY 16 8 32 255");
    fake.control("audio FLTP 2 64 48000");
    auto source = connect("Stage");
    source->setFrameHandler(received.frameHandler());
    source->setSoundHandler(received.soundHandler());
    ASSERT_TRUE(waitFor(
        [&] { return fake.count("video-freed") >= 10 && fake.count("audio-freed") >= 10; }));
    EXPECT_EQ(received.frameCount(), 0u);

    // Pictures in a supported format still come while the sound is left out.
    fake.control("video BGRX 16 8 64 0");
    ASSERT_TRUE(waitFor([&] { return received.frameCount() >= 3; }));
    source->stop();
    EXPECT_EQ(received.soundCount(), 0u);
    EXPECT_FALSE(source->hasSound());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "NDISource: Stage sends pictures as UYVY, which are dropped",
                               "NDISource: Stage sends sound as FLTP, which is left out",
                           }));
}

TEST_F(NDISourceTest, DropsUnusablePicturesSilently) {
    auto source = connect();
    source->setFrameHandler(received.frameHandler());
    // Too wide, a row shorter than its pixels, a row length not a multiple of four.
    for (const char* video :
         {"video BGRA 16385 1 65540 255", "video BGRA 16 2 60 255", "video BGRX 16 2 66 255"}) {
        fake.control(video);
        const long long sent = fake.count("video-sent");
        ASSERT_TRUE(waitFor([&] { return fake.count("video-freed") >= sent + 5; }));
    }
    source->stop();
    EXPECT_EQ(received.frameCount(), 0u);
    EXPECT_TRUE(log.lines().empty());

    // Without a device no texture can be made.
    fake.control("video BGRA 16 2 64 255");
    auto withoutDevice = NDISource::create("Cam", "Cam", std::nullopt, library, nullptr);
    ASSERT_NE(withoutDevice, nullptr);
    withoutDevice->setFrameHandler(received.frameHandler());
    const long long sent = fake.count("video-sent");
    ASSERT_TRUE(waitFor([&] { return fake.count("video-freed") >= sent + 5; }));
    EXPECT_EQ(received.frameCount(), 0u);
}

TEST_F(NDISourceTest, DeliversPlanarSoundAndTellsForThreeSecondsAfterward) {
    fake.control("audio FLTp 2 64 48000");
    auto source = connect();
    EXPECT_FALSE(source->hasSound());
    source->setSoundHandler(received.soundHandler());
    ASSERT_TRUE(waitFor([&] { return received.soundCount() >= 2; }));
    fake.control("audio-off");
    settle();
    {
        std::lock_guard lock(received.mutex);
        const auto& sound = *received.sounds[0];
        EXPECT_EQ(sound.frameCount(), 64u);
        EXPECT_EQ(sound.sampleRate(), 48000.0);
        EXPECT_EQ(sound.samples()[2 * 5], 5.0f);         // channel 0, sample 5
        EXPECT_EQ(sound.samples()[2 * 5 + 1], 1005.0f);  // channel 1, sample 5
        EXPECT_EQ(received.threads[0], "NDISource");
    }
    EXPECT_TRUE(source->hasSound());
    now->store(now->load() + 2.9);
    EXPECT_TRUE(source->hasSound());
    now->store(now->load() + 0.2);
    EXPECT_FALSE(source->hasSound());

    // One channel plays on both sides; samples that are not float-aligned are left out.
    fake.control("audio FLTp 1 32 44100");
    const size_t before = received.soundCount();
    ASSERT_TRUE(waitFor([&] { return received.soundCount() > before; }));
    {
        std::lock_guard lock(received.mutex);
        const auto& mono = *received.sounds.back();
        EXPECT_EQ(mono.sampleRate(), 44100.0);
        EXPECT_EQ(mono.samples()[2 * 7], 7.0f);
        EXPECT_EQ(mono.samples()[2 * 7 + 1], 7.0f);
    }
    fake.control("audio-off");
    settle();
    const size_t aligned = received.soundCount();
    fake.control("audio FLTp 2 64 48000 misaligned");
    const long long sent = fake.count("audio-sent");
    ASSERT_TRUE(waitFor([&] { return fake.count("audio-freed") >= sent + 5; }));
    source->stop();
    EXPECT_EQ(received.soundCount(), aligned);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(NDISourceTest, IsAliveDuringTheGracePeriodThenWhileConnected) {
    auto source = connect();
    EXPECT_TRUE(source->isAlive());
    now->store(now->load() + 2.9);
    EXPECT_TRUE(source->isAlive());
    EXPECT_EQ(fake.count("connection-queries"), 0);
    now->store(now->load() + 0.2);
    EXPECT_FALSE(source->isAlive());
    fake.control("connections 2");
    EXPECT_TRUE(source->isAlive());
    source->stop();
    EXPECT_FALSE(source->isAlive());
}

TEST_F(NDISourceTest, StopWaitsForARunningHandlerAndEndsEverything) {
    fake.control("video BGRA 4 4 16 255");
    auto source = connect();
    std::atomic<int> calls{0};
    std::atomic<bool> finished{false};
    source->setFrameHandler([&](const gpu::TextureRef&) {
        if (++calls == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished = true;
        }
    });
    ASSERT_TRUE(waitFor([&] { return calls >= 1; }));
    source->stop();
    EXPECT_TRUE(finished);
    EXPECT_EQ(fake.count("recv-destroy"), 1);
    EXPECT_EQ(fake.text("destroy-thread"), "NDISource");
    const int callsAtStop = calls;

    // Handlers are gone and stay gone; a second stop is harmless.
    EXPECT_EQ(source->frameHandler(), nullptr);
    source->setFrameHandler(received.frameHandler());
    source->setSoundHandler(received.soundHandler());
    EXPECT_EQ(source->frameHandler(), nullptr);
    EXPECT_EQ(source->soundHandler(), nullptr);
    source->stop();
    EXPECT_EQ(fake.count("recv-destroy"), 1);
    EXPECT_EQ(calls, callsAtStop);
    EXPECT_FALSE(source->isAlive());

    // Letting go of a source stops it.
    auto other = connect();
    other.reset();
    EXPECT_EQ(fake.count("recv-destroy"), 2);
}

TEST_F(NDISourceTest, AHandlerMayStopItsOwnSourceEvenWhenHoldingTheLastReference) {
    fake.control("video BGRA 4 4 16 255");
    auto source = connect();
    auto calls = std::make_shared<std::atomic<int>>(0);
    // The handler holds its source: stopping drops the last reference on the receive thread,
    // and the handler still runs to its end afterwards.
    source->setFrameHandler([calls, source](const gpu::TextureRef&) {
        source->stop();
        ++*calls;
    });
    source.reset();
    ASSERT_TRUE(waitFor([&] { return fake.count("recv-destroy") == 1; }));
    EXPECT_EQ(*calls, 1);
}

TEST_F(NDISourceTest, CannotConnectWithoutARuntimeOrAReceiver) {
    EXPECT_EQ(NDISource::create("Cam", "Cam", std::nullopt, NDILibrary::unavailable("off"), device),
              nullptr);
    fake.control("recv-create-fails 1");
    EXPECT_EQ(NDISource::create("Cam", "Cam", std::nullopt, library, device), nullptr);
    EXPECT_EQ(fake.count("recv-create"), 1);
}

}  // namespace
}  // namespace zarvo
