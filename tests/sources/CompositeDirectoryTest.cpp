#include "sources/CompositeDirectory.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/FakeSources.h"

namespace zarvo {
namespace {

using test::FakeDirectory;

struct Members {
    std::shared_ptr<FakeDirectory> syphon =
        std::make_shared<FakeDirectory>(FrameSourceKind::Syphon);
    std::shared_ptr<FakeDirectory> ndi = std::make_shared<FakeDirectory>(FrameSourceKind::NDI);

    std::shared_ptr<CompositeDirectory> composite() const {
        return CompositeDirectory::create({syphon, ndi});
    }
};

std::vector<std::string> TitlesOf(const std::vector<SourceDescription>& sources) {
    std::vector<std::string> titles;
    for (const auto& source : sources) {
        titles.push_back(source.title);
    }
    return titles;
}

TEST(CompositeDirectoryTest, ListsMembersInOrderKeepingDuplicatesAndCachingNothing) {
    Members members;
    members.syphon->setTitles({"Stage", "Screen"}, false);
    members.ndi->setTitles({"Camera", "Stage"}, false);
    auto composite = members.composite();

    const auto sources = composite->availableSources();
    ASSERT_EQ(sources.size(), 4u);
    EXPECT_EQ(TitlesOf(sources), (std::vector<std::string>{"Stage", "Screen", "Camera", "Stage"}));
    EXPECT_EQ(sources[0].kind, FrameSourceKind::Syphon);
    EXPECT_EQ(sources[1].kind, FrameSourceKind::Syphon);
    EXPECT_EQ(sources[2].kind, FrameSourceKind::NDI);
    EXPECT_EQ(sources[3].kind, FrameSourceKind::NDI);
    EXPECT_EQ(sources[2], members.ndi->availableSources()[0]);

    // Changes are seen at once, even without the members announcing them.
    members.syphon->setTitles({}, false);
    members.ndi->setTitles({"Camera 2"}, false);
    EXPECT_EQ(TitlesOf(composite->availableSources()), std::vector<std::string>{"Camera 2"});
    members.syphon->setTitles({"Projector"}, false);
    EXPECT_EQ(TitlesOf(composite->availableSources()),
              (std::vector<std::string>{"Projector", "Camera 2"}));
}

TEST(CompositeDirectoryTest, WithoutMembersListsAndConnectsNothing) {
    auto composite = CompositeDirectory::create({});
    EXPECT_TRUE(composite->availableSources().empty());
    EXPECT_EQ(composite->connectToSourceWithTitle("Stage", nullptr), nullptr);
}

TEST(CompositeDirectoryTest, ConnectsThroughTheFirstMemberThatListsAndReachesTheTitle) {
    Members members;
    members.syphon->setTitles({"Stage", "Screen"}, false);
    members.ndi->setTitles({"Stage", "Camera"}, false);
    auto composite = members.composite();

    auto stage = composite->connectToSourceWithTitle("Stage", nullptr);
    ASSERT_NE(stage, nullptr);
    EXPECT_EQ(stage, members.syphon->lastSource("Stage"));
    EXPECT_EQ(stage->kind(), FrameSourceKind::Syphon);
    EXPECT_TRUE(members.ndi->connectRequests().empty());

    // Only the second member lists it: the first is never asked.
    auto camera = composite->connectToSourceWithTitle("Camera", nullptr);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera, members.ndi->lastSource("Camera"));
    EXPECT_EQ(members.syphon->connectRequests(), std::vector<std::string>{"Stage"});
    EXPECT_EQ(members.ndi->connectRequests(), std::vector<std::string>{"Camera"});
}

TEST(CompositeDirectoryTest, FallsBackToTheNextMemberWhenTheFirstCannotConnect) {
    Members members;
    members.syphon->setTitles({"Stage"}, false);
    members.ndi->setTitles({"Stage"}, false);
    members.syphon->setUnreachable({"Stage"});
    auto composite = members.composite();

    auto stage = composite->connectToSourceWithTitle("Stage", nullptr);
    ASSERT_NE(stage, nullptr);
    EXPECT_EQ(stage, members.ndi->lastSource("Stage"));
    EXPECT_EQ(members.syphon->connectRequests(), std::vector<std::string>{"Stage"});
    EXPECT_EQ(members.ndi->connectRequests(), std::vector<std::string>{"Stage"});

    // Nobody reaches it: none, after both were tried.
    members.ndi->setUnreachable({"Stage"});
    EXPECT_EQ(composite->connectToSourceWithTitle("Stage", nullptr), nullptr);
    EXPECT_EQ(members.syphon->connectRequests().size(), 2u);
    EXPECT_EQ(members.ndi->connectRequests().size(), 2u);
}

TEST(CompositeDirectoryTest, OnlyAnExactlyListedTitleIsConnected) {
    Members members;
    members.syphon->setTitles({"Camera 1"}, false);
    members.ndi->setTitles({"Stage Left"}, false);
    auto composite = members.composite();

    for (const char* title : {"Nobody", "Camera", "camera 1", "Camera 1 ", "Stage", "Left", ""}) {
        EXPECT_EQ(composite->connectToSourceWithTitle(title, nullptr), nullptr) << title;
    }
    EXPECT_TRUE(members.syphon->connectRequests().empty());
    EXPECT_TRUE(members.ndi->connectRequests().empty());
}

TEST(CompositeDirectoryTest, ForwardsMemberChangesToTheCurrentHandler) {
    Members members;
    auto composite = members.composite();
    int first = 0;
    int second = 0;
    composite->setChangeHandler([&] { ++first; });
    ASSERT_TRUE(members.syphon->changeHandler());
    ASSERT_TRUE(members.ndi->changeHandler());

    members.syphon->setTitles({"Stage"});
    members.ndi->setTitles({"Camera"});
    EXPECT_EQ(first, 2);

    // A forwarding handler installed earlier calls the composite's handler of the moment.
    const ChangeHandler installedEarlier = members.ndi->changeHandler();
    composite->setChangeHandler([&] { ++second; });
    installedEarlier();
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);
    composite->changeHandler()();
    EXPECT_EQ(second, 2);
}

TEST(CompositeDirectoryTest, ClearingTheHandlerClearsTheMembersAndSettingReinstalls) {
    Members members;
    auto composite = members.composite();
    int changes = 0;
    composite->setChangeHandler([&] { ++changes; });
    composite->setChangeHandler(nullptr);

    EXPECT_FALSE(composite->changeHandler());
    EXPECT_FALSE(members.syphon->changeHandler());
    EXPECT_FALSE(members.ndi->changeHandler());
    members.syphon->setTitles({"Stage"});
    EXPECT_EQ(changes, 0);

    composite->setChangeHandler([&] { ++changes; });
    ASSERT_TRUE(members.syphon->changeHandler());
    ASSERT_TRUE(members.ndi->changeHandler());
    members.syphon->setTitles({"Stage", "Screen"});
    members.ndi->setTitles({"Camera"});
    EXPECT_EQ(changes, 2);
}

TEST(CompositeDirectoryTest, MemberOutlivingTheCompositeCallsNothing) {
    Members members;
    int changes = 0;
    ChangeHandler saved;
    {
        auto composite = members.composite();
        composite->setChangeHandler([&] { ++changes; });
        saved = members.syphon->changeHandler();
        ASSERT_TRUE(saved);
        saved();
        EXPECT_EQ(changes, 1);
    }
    saved();
    members.syphon->setTitles({"Stage"});
    members.ndi->setTitles({"Camera"});
    EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace zarvo
