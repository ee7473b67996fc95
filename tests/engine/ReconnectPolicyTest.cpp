#include "engine/ReconnectPolicy.h"

#include <gtest/gtest.h>

namespace zarvo {
namespace {

TEST(ReconnectPolicyTest, QuietSourcesAreCheckedLessAndLessOftenPlacesWithoutOneRetrySoon) {
    // A connected source: 2, 4, 8, 16 seconds, then never more than 30.
    const double expected[] = {2, 4, 8, 16, 30, 30, 30, 30, 30, 30};
    for (uint64_t checks = 0; checks < std::size(expected); ++checks) {
        EXPECT_EQ(ReconnectPolicy::silenceAllowed(true, checks), expected[checks]) << checks;
    }
    EXPECT_EQ(ReconnectPolicy::silenceAllowed(true, UINT64_MAX), 30);
    // A place without a source retries every 2 seconds, however often it tried before.
    EXPECT_EQ(ReconnectPolicy::silenceAllowed(false, 0), 2);
    EXPECT_EQ(ReconnectPolicy::silenceAllowed(false, 5), 2);

    // A look is due only once the silence is longer than allowed.
    EXPECT_FALSE(ReconnectPolicy::isDue(4.0, true, 1));
    EXPECT_TRUE(ReconnectPolicy::isDue(4.01, true, 1));
    EXPECT_TRUE(ReconnectPolicy::isDue(2.5, false, 3));
}

}  // namespace
}  // namespace zarvo
