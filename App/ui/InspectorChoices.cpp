#include "App/ui/InspectorChoices.h"

#include <algorithm>
#include <cmath>

#include "App/RecorderModel.h"

namespace zarvo::inspector {
namespace {

const SizePreset* presetOfSize(int64_t width, int64_t height) {
    const auto found = std::find_if(
        kSizePresets.begin(), kSizePresets.end(),
        [&](const SizePreset& preset) { return preset.width == width && preset.height == height; });
    return found == kSizePresets.end() ? nullptr : &*found;
}

const SizePreset* presetNamed(const std::string& name) {
    const auto found = std::find_if(kSizePresets.begin(), kSizePresets.end(),
                                    [&](const SizePreset& preset) { return name == preset.name; });
    return found == kSizePresets.end() ? nullptr : &*found;
}

// A side of the assembled picture as a movie side: whole, and no larger than a movie can be.
int64_t movieSide(double pictureSide) {
    return static_cast<int64_t>(std::min(std::round(pictureSide), RecorderModel::kLargestSide));
}

}  // namespace

std::string sizeChoice(bool customSize, int64_t width, int64_t height) {
    if (customSize) {
        return kCustomSize;
    }
    if (width == 0 || height == 0) {
        return kAutomaticSize;
    }
    const SizePreset* preset = presetOfSize(width, height);
    return preset ? preset->name : kCustomSize;
}

SizeSetting sizeForChoice(const std::string& choice, int64_t width, int64_t height,
                          double pictureWidth, double pictureHeight) {
    if (choice == kAutomaticSize) {
        return {0, 0};
    }
    if (const SizePreset* preset = presetNamed(choice)) {
        return {preset->width, preset->height};
    }
    // A custom size starts from the size set, else the assembled picture's, else full HD.
    if (width > 0 && height > 0) {
        return {width, height};
    }
    if (pictureWidth > 0 && pictureHeight > 0) {
        return {movieSide(pictureWidth), movieSide(pictureHeight)};
    }
    return {1920, 1080};
}

std::vector<double> frameRates(double current) {
    std::vector<double> rates = {0, 24, 25, 30, 50, 60};
    if (std::find(rates.begin(), rates.end(), current) == rates.end()) {
        rates.push_back(current);
    }
    return rates;
}

}  // namespace zarvo::inspector
