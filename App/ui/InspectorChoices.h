#pragma once

// What the inspector's menus offer and what choosing an entry sets, as plain values: no
// widgets, so the rules can be checked on their own.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zarvo::inspector {

// The size menu's entries besides the presets.
inline constexpr const char* kAutomaticSize = "auto";
inline constexpr const char* kCustomSize = "custom";

// A preset picture size: its entry's stored name ("1920x1080") and its sides.
struct SizePreset {
    const char* name;
    int64_t width;
    int64_t height;
};
inline constexpr std::array<SizePreset, 2> kSizePresets = {{
    {"1920x1080", 1920, 1080},
    {"3840x2160", 3840, 2160},
}};

// The size menu's entry for a size: "custom" when the user picked it, else "auto" when a
// side is 0, else the preset of that size, else "custom".
std::string sizeChoice(bool customSize, int64_t width, int64_t height);

// What choosing a size entry sets: the width and height, from the current ones and the
// assembled picture's size.
struct SizeSetting {
    int64_t width = 0;
    int64_t height = 0;
};
SizeSetting sizeForChoice(const std::string& choice, int64_t width, int64_t height,
                          double pictureWidth, double pictureHeight);

// The frame-rate menu's values: 0 (same as the source), the usual rates, and the current
// one at the end when it is none of them.
std::vector<double> frameRates(double current);

}  // namespace zarvo::inspector
