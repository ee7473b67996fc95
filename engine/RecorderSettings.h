#pragma once

// The recorder's settings as they are chosen and stored, and the limits every way of setting
// them keeps: the window, the remote parameters and a hand-edited settings file alike.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/Codec.h"
#include "engine/Layout.h"

namespace zarvo {

struct RecorderSettings {
    static constexpr int64_t kMaxDimension = 16384;
    static constexpr double kMaxFps = 240;
    static constexpr double kMaxBitrate = 1000;
    static constexpr int64_t kMaxGap = 1000;

    std::string codec = "h264";  // kept as written when it names a codec in any case
    int64_t width = 0;           // 0 lets the sources decide
    int64_t height = 0;          // 0 lets the sources decide
    double fps = 0;              // 0 keeps every frame
    double bitrate = 0;          // megabits per second; 0 chooses from size and rate
    std::string folder;
    std::string name;  // empty: the application's name and the date
    std::string output = "separate";
    std::string layout = "row";
    int64_t gap = 0;
    std::string sound;  // "", "computer" or a place title
    bool performance = false;

    // The codec the setting names; H.264 for a name no codec has.
    Codec chosenCodec() const { return codecNamed(codec).value_or(Codec::h264); }
    // The index of the layout setting among the layout kinds (0 when unknown).
    int64_t layoutKind() const {
        int64_t kind = 0;
        return Layout::getKind(kind, layout) ? kind : 0;
    }
    // The size the assembled picture is fitted into; 0 × 0 lets the sources decide.
    Size fittingSize() const {
        return Size{static_cast<double>(width), static_cast<double>(height)};
    }
};

// A picture dimension within 0…kMaxDimension.
inline int64_t dimensionWithinLimits(int64_t value) {
    return std::clamp<int64_t>(value, 0, RecorderSettings::kMaxDimension);
}

// A rate within 0…highest; a value that is not finite counts as 0.
inline double rateWithinLimits(double value, double highest) {
    return std::isfinite(value) ? std::clamp(value, 0.0, highest) : 0.0;
}

inline int64_t gapWithinLimits(int64_t gap) {
    return std::clamp<int64_t>(gap, 0, RecorderSettings::kMaxGap);
}

// The layout kind's own name for a name given in any case; none for an unknown layout.
inline std::optional<std::string> knownLayoutName(const std::string& name) {
    int64_t kind = 0;
    if (!Layout::getKind(kind, name)) {
        return std::nullopt;
    }
    return Layout::nameForKind(kind);
}

}  // namespace zarvo
