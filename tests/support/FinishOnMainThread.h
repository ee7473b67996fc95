#pragma once

// Waiting for a movie or a take to finish, as the recorder's main thread hears of it.

#include <gtest/gtest.h>

#include <optional>

#include "platform/Error.h"
#include "platform/RunLoop.h"

namespace zarvo::test {

// Asks the movie or take to finish at the end time and runs the loop until its outcome arrives,
// which must arrive on the loop's thread within a minute; the outcome.
template <typename Finishing>
std::optional<Error> finishOnMainThread(RunLoop& loop, Finishing& finishing, double endTime) {
    bool done = false;
    std::optional<Error> outcome;
    finishing.finishAtTime(endTime, [&](const std::optional<Error>& error) {
        EXPECT_TRUE(loop.isMainThread());
        outcome = error;
        done = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return done; }, 60));
    return outcome;
}

}  // namespace zarvo::test
