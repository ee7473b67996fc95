// zarvo-test-source, run as the user would, and seen through the Syphon directory.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/RunLoop.h"
#include "platform/framesharing/ServerRegistry.h"
#include "platform/framesharing/SyphonServerDirectory.h"
#include "sources/SyphonDirectory.h"
#include "sources/SyphonSource.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SyphonTestRegistry.h"

namespace zarvo {
namespace {

using test::ChildProcess;

std::vector<std::string> Arguments(std::vector<std::string> options) {
    options.insert(options.begin(), ZARVO_TEST_SOURCE);
    return options;
}

// Whether the registry holds nothing but what belongs to no server.
bool RegistryEmpty() {
    std::error_code error;
    return std::filesystem::is_empty(framesharing::registryFolder(), error);
}

class SyphonTestSourceProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::usePrivateSyphonRegistry();
        ASSERT_TRUE(test::waitFor(
            [] { return SyphonServerDirectory::sharedDirectory().servers().empty(); }, 10));
        directory = SyphonDirectory::create(loop);
    }

    bool listed(const SourceDescription& description) {
        return loop.runUntil(
            [&] {
                const auto sources = directory->availableSources();
                return std::find(sources.begin(), sources.end(), description) != sources.end();
            },
            10);
    }

    // The next `count` frames of the source, copied.
    std::vector<std::vector<uint8_t>> framesOf(const std::string& title, size_t count,
                                               int64_t width, int64_t height) {
        auto source = directory->connectToSourceWithTitle(title, gpu::Device::systemDefault());
        EXPECT_NE(source, nullptr);
        if (!source) {
            return {};
        }
        EXPECT_TRUE(source->flipped());
        std::mutex mutex;
        std::vector<std::vector<uint8_t>> frames;
        source->setFrameHandler([&](const gpu::TextureRef& texture) {
            EXPECT_EQ(texture->width(), width);
            EXPECT_EQ(texture->height(), height);
            std::vector<uint8_t> pixels;
            for (int64_t y = 0; y < texture->height(); ++y) {
                pixels.insert(pixels.end(), texture->row(y), texture->row(y) + width * 4);
            }
            std::lock_guard lock(mutex);
            frames.push_back(std::move(pixels));
        });
        EXPECT_TRUE(test::waitFor(
            [&] {
                std::lock_guard lock(mutex);
                return frames.size() >= count;
            },
            10));
        source->stop();
        return frames;
    }

    RunLoop loop;
    std::shared_ptr<SyphonDirectory> directory;
};

std::map<uint8_t, size_t> AlphaCounts(const std::vector<uint8_t>& pixels) {
    std::map<uint8_t, size_t> counts;
    for (size_t i = 3; i < pixels.size(); i += 4) {
        ++counts[pixels[i]];
    }
    return counts;
}

TEST_F(SyphonTestSourceProgramTest,
       PublishesAMovingPictureWithHalfTransparentAreasUntilTerminated) {
    ChildProcess program(Arguments(
        {"--name", "Cam", "--app", "Studio", "--size", "96x64", "--fps", "60", "--alpha"}));
    EXPECT_EQ(program.readLine(10),
              "zarvo-test-source: publishing “Cam - Studio”, 96×64 at 60 fps.");
    ASSERT_TRUE(listed({"Cam - Studio", "Studio", FrameSourceKind::Syphon}));

    const auto frames = framesOf("Cam - Studio", 2, 96, 64);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_NE(frames[0], frames[1]);
    const auto alphas = AlphaCounts(frames[0]);
    EXPECT_GT(alphas.count(128), 0u);
    EXPECT_GT(alphas.count(255), 0u);
    EXPECT_EQ(alphas.size(), 2u);

    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(10), 0);
    EXPECT_TRUE(RegistryEmpty());
    EXPECT_TRUE(loop.runUntil([&] { return directory->availableSources().empty(); }, 10));
}

TEST_F(SyphonTestSourceProgramTest, IsOpaqueByDefaultAndEndsOnInterrupt) {
    ChildProcess program(Arguments({"--name", "Bars", "--size", "32x24"}));
    EXPECT_EQ(program.readLine(10),
              "zarvo-test-source: publishing “Bars - zarvo-test-source”, 32×24 at 30 fps.");
    ASSERT_TRUE(listed({"Bars - zarvo-test-source", "zarvo-test-source", FrameSourceKind::Syphon}));
    const auto frames = framesOf("Bars - zarvo-test-source", 1, 32, 24);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(AlphaCounts(frames[0]), (std::map<uint8_t, size_t>{{255, 32 * 24}}));

    program.signal(SIGINT);
    EXPECT_EQ(program.wait(10), 0);
    EXPECT_TRUE(RegistryEmpty());
}

TEST_F(SyphonTestSourceProgramTest, EndsAfterItsDurationAndRefusesBadArguments) {
    ChildProcess timed(Arguments({"--size", "16x16", "--duration", "0.2"}));
    EXPECT_EQ(timed.readLine(10),
              "zarvo-test-source: publishing “zarvo-test-source”, 16×16 at 30 fps.");
    EXPECT_EQ(timed.wait(10), 0);
    EXPECT_TRUE(RegistryEmpty());

    const std::map<std::vector<std::string>, std::string> refusals = {
        {{"--size", "0x10"}, "zarvo-test-source: --size “0x10” is not valid."},
        {{"--size", "16"}, "zarvo-test-source: --size “16” is not valid."},
        {{"--fps", "fast"}, "zarvo-test-source: --fps “fast” is not valid."},
        {{"--fps", "0"}, "zarvo-test-source: --fps “0” is not valid."},
        {{"--duration", "-1"}, "zarvo-test-source: --duration “-1” is not valid."},
        {{"--name"}, "zarvo-test-source: --name needs a value."},
        {{"--colour", "red"}, "zarvo-test-source: unknown option “--colour”."},
    };
    for (const auto& [arguments, message] : refusals) {
        ChildProcess program(Arguments(arguments), true);
        EXPECT_EQ(program.readLine(10), message);
        EXPECT_EQ(program.wait(10), 2) << message;
    }
}

}  // namespace
}  // namespace zarvo
