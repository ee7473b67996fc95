#include "sources/SyphonDirectory.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/framesharing/SyphonServer.h"
#include "platform/framesharing/SyphonServerDirectory.h"
#include "sources/SyphonSource.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SyphonTestRegistry.h"

namespace zarvo {
namespace {

using test::SyphonHeldRecord;

SyphonServerDescription Named(SyphonServerDescription name, SyphonServerDescription app,
                              int64_t start) {
    SyphonServerDescription description = {{kSyphonServerDescriptionStartKey, start}};
    if (!name.is_null()) {
        description[kSyphonServerDescriptionNameKey] = std::move(name);
    }
    if (!app.is_null()) {
        description[kSyphonServerDescriptionAppNameKey] = std::move(app);
    }
    return description;
}

class SyphonDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::usePrivateSyphonRegistry();
        // Servers of earlier tests in this process are retired first.
        ASSERT_TRUE(test::waitFor(
            [] { return SyphonServerDirectory::sharedDirectory().servers().empty(); }, 10));
        directory = SyphonDirectory::create(loop);
    }

    bool listsCount(size_t count) {
        return loop.runUntil([&] { return directory->availableSources().size() == count; }, 10);
    }

    RunLoop loop;
    std::shared_ptr<SyphonDirectory> directory;
};

TEST(SyphonTitleTest, TitleAndDetailFollowWhichNamesArePresent) {
    const SyphonServerDescription none = nullptr;
    struct Case {
        SyphonServerDescription name, app;
        std::string title, detail;
    } cases[] = {
        {none, none, "Untitled Server", "Syphon"},
        {"", "", "Untitled Server", "Syphon"},
        {"Stage", none, "Stage", "Syphon"},
        {none, "Mixer", "Mixer", "Mixer"},
        {"", "Mixer", "Mixer", "Mixer"},
        {"Stage", "Mixer", "Stage - Mixer", "Mixer"},
        // Values that are not strings count as empty.
        {7, "Mixer", "Mixer", "Mixer"},
        {"Stage", SyphonServerDescription::array({"Mixer"}), "Stage", "Syphon"},
        {true, SyphonServerDescription::object(), "Untitled Server", "Syphon"},
    };
    for (const auto& c : cases) {
        const auto description = Named(c.name, c.app, 0);
        EXPECT_EQ(syphonSourceTitle(description), c.title) << description;
        EXPECT_EQ(syphonSourceDetail(description), c.detail) << description;
    }
    EXPECT_EQ(syphonSourceTitle(SyphonServerDescription("not a dictionary")), "Untitled Server");
}

TEST_F(SyphonDirectoryTest, ListsEveryServerInTheSharedDirectorysOrder) {
    SyphonHeldRecord appOnly(Named("", "Mixer", 1));
    SyphonHeldRecord both(Named("Stage", "Mixer", 2));
    SyphonHeldRecord neither(Named(nullptr, nullptr, 3));
    SyphonHeldRecord twice(Named("Stage", "Mixer", 4));
    ASSERT_TRUE(listsCount(4));
    EXPECT_EQ(directory->availableSources(),
              (std::vector<SourceDescription>{
                  {"Mixer", "Mixer", FrameSourceKind::Syphon},
                  {"Stage - Mixer", "Mixer", FrameSourceKind::Syphon},
                  {"Untitled Server", "Syphon", FrameSourceKind::Syphon},
                  {"Stage - Mixer", "Mixer", FrameSourceKind::Syphon},
              }));
}

TEST_F(SyphonDirectoryTest, ConnectsTheFirstReachableServerOfExactlyThatTitle) {
    const auto device = gpu::Device::systemDefault();
    SyphonHeldRecord unreachable(Named("Stage", "Mixer", 1));
    auto server = SyphonServer::create({"Stage", "Mixer"});
    ASSERT_NE(server, nullptr);
    SyphonHeldRecord onlyUnreachable(Named("Screen", "Mixer", 2));
    ASSERT_TRUE(listsCount(3));
    ASSERT_EQ(directory->availableSources()[0].title, "Stage - Mixer");

    auto source = directory->connectToSourceWithTitle("Stage - Mixer", device);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->title(), "Stage - Mixer");
    EXPECT_EQ(std::dynamic_pointer_cast<SyphonSource>(source)->serverDescription(),
              server->serverDescription());

    EXPECT_EQ(directory->connectToSourceWithTitle("Screen - Mixer", device), nullptr);
    EXPECT_EQ(directory->connectToSourceWithTitle("Stage", device), nullptr);
    EXPECT_EQ(directory->connectToSourceWithTitle("Nothing", device), nullptr);

    server->stop();
    EXPECT_EQ(directory->connectToSourceWithTitle("Stage - Mixer", device), nullptr);
}

TEST_F(SyphonDirectoryTest, EachNotificationCallsTheChangeHandlerOnceOnTheMainThread) {
    auto& center = NotificationCenter::defaultCenter();
    const int sender = 0;
    const auto postAll = [&] {
        std::thread([&] {
            center.post(kSyphonServerAnnounceNotification, &sender);
            center.post(kSyphonServerUpdateNotification, &sender);
            center.post(kSyphonServerRetireNotification, &sender);
        }).join();
    };

    // Without a handler nothing happens.
    postAll();
    loop.drain();

    auto calls = std::make_shared<int>(0);
    auto offMain = std::make_shared<int>(0);
    directory->setChangeHandler([&, calls, offMain] {
        ++*calls;
        *offMain += loop.isMainThread() ? 0 : 1;
    });
    postAll();
    EXPECT_EQ(*calls, 0);  // not on the posting thread
    ASSERT_TRUE(loop.runUntil([&] { return *calls >= 3; }, 10));
    loop.runFor(0.05);
    EXPECT_EQ(*calls, 3);
    EXPECT_EQ(*offMain, 0);

    // A directory that is gone has nothing observing.
    directory.reset();
    postAll();
    loop.runFor(0.05);
    EXPECT_EQ(*calls, 3);
}

TEST_F(SyphonDirectoryTest, PublishersComingAndGoingReachTheChangeHandler) {
    int calls = 0;
    directory->setChangeHandler([&] { ++calls; });
    auto server = SyphonServer::create({"Stage", "Mixer"});
    ASSERT_NE(server, nullptr);
    ASSERT_TRUE(loop.runUntil([&] { return calls >= 1; }, 10));
    EXPECT_EQ(
        directory->availableSources(),
        (std::vector<SourceDescription>{{"Stage - Mixer", "Mixer", FrameSourceKind::Syphon}}));
    server->stop();
    ASSERT_TRUE(loop.runUntil([&] { return calls >= 2; }, 10));
    EXPECT_TRUE(directory->availableSources().empty());
}

}  // namespace
}  // namespace zarvo
