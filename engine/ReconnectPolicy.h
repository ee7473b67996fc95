#pragma once

// How long a place may go without a frame before its connection is looked at again. A quiet
// source is tested after 2, 4, 8, 16 and then every 30 seconds, so a source that is merely
// still is not pestered; a place without a source retries every 2 seconds, so a source that
// comes back is picked up soon.

#include <algorithm>
#include <cstdint>

namespace zarvo {

struct ReconnectPolicy {
    static constexpr double kReconnectInterval = 2;
    static constexpr double kFirstSilentCheck = 2;
    static constexpr double kLongestSilentCheck = 30;
    // Past this many checks in a row the doubling has long reached the longest wait.
    static constexpr uint64_t kMostDoublings = 8;

    // The silence allowed before the next look: `silentChecks` is how many checks in a row
    // found a connected source without a new frame.
    static constexpr double silenceAllowed(bool connected, uint64_t silentChecks) {
        if (!connected) {
            return kReconnectInterval;
        }
        const uint64_t doublings = std::min(silentChecks, kMostDoublings);
        return std::min(kFirstSilentCheck * static_cast<double>(uint64_t{1} << doublings),
                        kLongestSilentCheck);
    }

    // Whether a place that has been silent that long is due for a look.
    static constexpr bool isDue(double silence, bool connected, uint64_t silentChecks) {
        return silence > silenceAllowed(connected, silentChecks);
    }
};

}  // namespace zarvo
