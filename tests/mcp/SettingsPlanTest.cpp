#include "mcp/SettingsPlan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mcp/RecorderClient.h"

namespace zarvo::mcp {
namespace {

using json = nlohmann::json;

TEST(SettingsPlan, TitlesCompareIgnoringTheCaseOfAsciiAndLatin1Letters) {
    // "Caméra Ä" holds "CAMÉRA ä".
    EXPECT_TRUE(containsIgnoringCase("Studio Cam\xC3\xA9ra \xC3\x84", "CAM\xC3\x89RA \xC3\xA4"));
    // The multiplication sign sits among the Latin-1 capitals but is no letter.
    EXPECT_FALSE(containsIgnoringCase("\xC3\x97", "\xC3\xB7"));
    // Letters beyond Latin-1 (Cyrillic Zhe) compare as they are.
    EXPECT_FALSE(containsIgnoringCase("\xD0\x96", "\xD0\xB6"));
    EXPECT_TRUE(containsIgnoringCase("anything", ""));
}

TEST(SettingsPlan, WhatDidNotTakeIsNamedWithTheValueReadBack) {
    std::vector<PlannedChange> changes = plannedPlaces({"cam"});
    const std::vector<PlannedChange> settings = plannedSettings({{"codec", "HEVC"}, {"gap", 2.6}});
    changes.insert(changes.end(), settings.begin(), settings.end());

    std::vector<std::string> addresses;
    for (const PlannedChange& change : changes)
        addresses.push_back(change.address);
    EXPECT_EQ(addresses, (std::vector<std::string>{"/source/1", "/source/2", "/codec", "/gap"}));
    EXPECT_EQ(changes[3].argument, OscArgument(int32_t{2})) << "integers are sent truncated";

    // The application shows the title it chose, lower-case codec names and the rounded gap.
    RecorderTree tree;
    tree.values = {{"/source/1", "Cam A"}, {"/source/2", ""}, {"/codec", "hevc"}, {"/gap", 3}};
    EXPECT_TRUE(allApplied(changes, tree));
    EXPECT_EQ(notApplied(changes, tree), json::object());

    tree.values["/gap"] = 2;
    tree.values.erase("/source/2");
    EXPECT_FALSE(allApplied(changes, tree));
    EXPECT_EQ(notApplied(changes, tree), (json{{"gap", 2}, {"source/2", nullptr}}));
}

}  // namespace
}  // namespace zarvo::mcp
