#pragma once

#include <QString>

#include <cmath>
#include <cstdint>

namespace zarvo::TimeFormat {

// A duration as a clock: "M:SS" below an hour, "H:MM:SS" from an hour on; negative durations
// read 0:00 and fractions of a second are dropped.
inline QString clock(double seconds) {
    const double clamped = std::isfinite(seconds) ? std::max(0.0, seconds) : 0.0;
    const auto s = static_cast<int64_t>(std::floor(clamped));
    if (s < 3600) {
        return QString::asprintf("%d:%02d", static_cast<int>(s / 60), static_cast<int>(s % 60));
    }
    return QString::asprintf("%d:%02d:%02d", static_cast<int>(s / 3600),
                             static_cast<int>((s / 60) % 60), static_cast<int>(s % 60));
}

}  // namespace zarvo::TimeFormat
