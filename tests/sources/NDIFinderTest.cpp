#include "sources/NDIFinder.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"
#include "sources/NDIDirectory.h"
#include "tests/sources/fake_ndi/FakeNDIRuntime.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using test::FakeNDIRuntime;
using test::waitFor;
using Names = std::vector<std::string>;

// How many threads of this process carry the name.
int ThreadsNamed(const std::string& name) {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* task = tasks != nullptr ? readdir(tasks) : nullptr) {
        if (task->d_name[0] != '.') {
            const std::string comm = "/proc/self/task/" + std::string(task->d_name) + "/comm";
            count += test::readFile(comm) == name + "\n" ? 1 : 0;
        }
    }
    if (tasks != nullptr) {
        closedir(tasks);
    }
    return count;
}

Names TitlesOf(const std::vector<SourceDescription>& sources) {
    Names titles;
    for (const auto& source : sources) {
        titles.push_back(source.title);
    }
    return titles;
}

TEST(NDIFinderNamesTest, AcceptsOnlyValidUTF8NamesAndDropsInvalidURLs) {
    EXPECT_EQ(NDIFinder::copyName("STUDIO (Camera 1)", "http://10.0.0.2:5961"),
              (NDISourceAddress{"STUDIO (Camera 1)", "http://10.0.0.2:5961"}));
    EXPECT_EQ(NDIFinder::copyName("Bühne \xF0\x9F\x8E\xA5", nullptr),
              (NDISourceAddress{"Bühne \xF0\x9F\x8E\xA5", std::nullopt}));
    EXPECT_EQ(NDIFinder::copyName("Cam", "\xFF"), (NDISourceAddress{"Cam", std::nullopt}));
    EXPECT_EQ(NDIFinder::copyName(nullptr, "http://x"), std::nullopt);
    for (const char* invalid : {"\xFF", "ab\xC3", "\xC0\x80", "\xE0\x80\xAF", "\xED\xA0\x80",
                                "\xF4\x90\x80\x80", "\xE2\x28\xA1", "\x80"}) {
        EXPECT_EQ(NDIFinder::copyName(invalid, nullptr), std::nullopt) << invalid;
    }
    EXPECT_TRUE(NDIFinder::isValidUTF8("\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xC2\x80"));
}

class NDIDirectoryTest : public testing::Test {
  protected:
    void SetUp() override { fake.control("reset"); }

    std::shared_ptr<NDIDirectory> makeDirectory() {
        auto directory = NDIDirectory::create(NDILibrary::load(fake.path()), loop);
        directory->setChangeHandler([this] {
            EXPECT_TRUE(loop.isMainThread());
            ++changes;
        });
        return directory;
    }

    // Lets the finder list the network a few more times, then runs what it posted.
    void letFinderPass() {
        const long long listed = fake.count("find-list");
        ASSERT_TRUE(loop.runUntil([&] { return fake.count("find-list") >= listed + 3; }, 10));
        loop.drain();
    }

    FakeNDIRuntime fake;
    RunLoop loop;
    int changes = 0;
};

TEST_F(NDIDirectoryTest, WithoutTheRuntimeListsAndConnectsNothingAndRunsNoThread) {
    ASSERT_TRUE(loop.runUntil([] { return ThreadsNamed("NDIFinder") == 0; }, 10));
    auto directory = NDIDirectory::create(NDILibrary::unavailable("no NDI here"), loop);
    EXPECT_TRUE(directory->availableSources().empty());
    EXPECT_EQ(directory->connectToSourceWithTitle("Cam", nullptr), nullptr);
    EXPECT_EQ(ThreadsNamed("NDIFinder"), 0);

    // A runtime that cannot make a finder likewise.
    fake.control("find-create-fails 1");
    fake.control("sources Cam");
    directory = NDIDirectory::create(NDILibrary::load(fake.path()), loop);
    EXPECT_EQ(fake.count("find-create"), 1);
    EXPECT_TRUE(directory->availableSources().empty());
    EXPECT_EQ(directory->connectToSourceWithTitle("Cam", nullptr), nullptr);
    EXPECT_EQ(ThreadsNamed("NDIFinder"), 0);
}

TEST_F(NDIDirectoryTest, ListsSourcesAsTheyComeAndGoCallingTheHandlerOncePerChange) {
    auto directory = makeDirectory();
    letFinderPass();
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(fake.text("find-settings"), "local=1 groups=(none) extra=(none)");
    EXPECT_EQ(fake.count("find-wait-timeout"), 250);
    EXPECT_EQ(fake.text("find-thread"), "NDIFinder");

    // A name that is not UTF-8 is left out.
    fake.control("sources B (Cam)\thttp://b\nBad \xFF\nA (Screen)");
    ASSERT_TRUE(loop.runUntil([&] { return changes == 1; }, 10));
    const auto sources = directory->availableSources();
    EXPECT_EQ(sources, (std::vector<SourceDescription>{
                           {"B (Cam)", "NDI", FrameSourceKind::NDI},
                           {"A (Screen)", "NDI", FrameSourceKind::NDI},
                       }));
    letFinderPass();
    EXPECT_EQ(changes, 1);

    // Another address under the same names is no change.
    fake.control("sources B (Cam)\thttp://b2\nBad \xFF\nA (Screen)");
    letFinderPass();
    EXPECT_EQ(changes, 1);

    fake.control("sources A (Screen)\nB (Cam)\thttp://b2");
    ASSERT_TRUE(loop.runUntil([&] { return changes == 2; }, 10));
    EXPECT_EQ(TitlesOf(directory->availableSources()), (Names{"A (Screen)", "B (Cam)"}));

    fake.control("sources");
    ASSERT_TRUE(loop.runUntil([&] { return changes == 3; }, 10));
    EXPECT_TRUE(directory->availableSources().empty());
    letFinderPass();
    EXPECT_EQ(changes, 3);
}

TEST_F(NDIDirectoryTest, ConnectsListedTitlesWithTheirLatestAddress) {
    auto directory = makeDirectory();
    fake.control("sources Cam\thttp://old\nCam\thttp://second\nScreen\nEmpty\t");
    ASSERT_TRUE(loop.runUntil([&] { return changes == 1; }, 10));
    fake.control("sources Cam\thttp://new\nCam\thttp://second\nScreen\nEmpty\t");
    letFinderPass();

    const auto device = std::make_shared<gpu::Device>();
    auto cam = directory->connectToSourceWithTitle("Cam", device);
    ASSERT_NE(cam, nullptr);
    EXPECT_EQ(cam->title(), "Cam");
    EXPECT_EQ(cam->kind(), FrameSourceKind::NDI);
    EXPECT_FALSE(cam->flipped());
    EXPECT_EQ(fake.text("recv-settings"),
              "name=Cam url=http://new color=0 bandwidth=100 fields=0 recv=ZarvoRecorder");

    // Without an address, or with an empty one, by name alone.
    auto screen = directory->connectToSourceWithTitle("Screen", device);
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(fake.text("recv-settings"),
              "name=Screen url=(none) color=0 bandwidth=100 fields=0 recv=ZarvoRecorder");
    ASSERT_NE(directory->connectToSourceWithTitle("Empty", device), nullptr);
    EXPECT_EQ(fake.text("recv-settings"),
              "name=Empty url=(none) color=0 bandwidth=100 fields=0 recv=ZarvoRecorder");

    EXPECT_EQ(directory->connectToSourceWithTitle("Ca", device), nullptr);
    EXPECT_EQ(fake.count("recv-create"), 3);
    fake.control("recv-create-fails 1");
    EXPECT_EQ(directory->connectToSourceWithTitle("Cam", device), nullptr);
}

TEST_F(NDIDirectoryTest, StoppingEndsDiscoveryAndSilencesChangesAlreadyPosted) {
    auto finder = NDIFinder::create(NDILibrary::load(fake.path()), loop);
    ASSERT_NE(finder, nullptr);
    int finderChanges = 0;
    finder->setChangeHandler([&] { ++finderChanges; });
    fake.control("sources Cam");
    // The pass that saw the change has posted it once a further listing has begun.
    const long long listed = fake.count("find-list");
    ASSERT_TRUE(waitFor([&] { return fake.count("find-list") >= listed + 2; }));
    EXPECT_EQ(finder->sourceNames(), Names{"Cam"});
    finder->stop();
    EXPECT_EQ(finder->changeHandler(), nullptr);
    EXPECT_TRUE(finder->sourceNames().empty());
    EXPECT_EQ(finder->getName("Cam"), std::nullopt);
    // Not even a handler set after stopping is called.
    finder->setChangeHandler([&] { ++finderChanges; });
    EXPECT_EQ(loop.drain(), 1u);
    EXPECT_EQ(finderChanges, 0);
    finder->stop();
    finder.reset();
    EXPECT_EQ(fake.count("find-destroy"), 1);

    // A directory stops its finder when it goes.
    auto directory = makeDirectory();
    ASSERT_TRUE(loop.runUntil([&] { return changes == 1; }, 10));
    directory.reset();
    EXPECT_EQ(fake.count("find-destroy"), 2);
    EXPECT_EQ(fake.count("finders-live"), 0);
    EXPECT_EQ(ThreadsNamed("NDIFinder"), 0);
}

}  // namespace
}  // namespace zarvo
