#include "engine/RecorderSettingsStore.h"

#include "engine/NameTable.h"
#include "platform/UserFolders.h"

namespace zarvo {
namespace {

constexpr const char* kCodecKey = "RecorderCodec";
constexpr const char* kWidthKey = "RecorderWidth";
constexpr const char* kHeightKey = "RecorderHeight";
constexpr const char* kFpsKey = "RecorderFPS";
constexpr const char* kBitrateKey = "RecorderBitrate";
constexpr const char* kFolderKey = "RecorderFolder";
constexpr const char* kNameKey = "RecorderName";
constexpr const char* kOutputKey = "RecorderOutput";
constexpr const char* kLayoutKey = "RecorderLayout";
constexpr const char* kGapKey = "RecorderGap";
constexpr const char* kSoundKey = "RecorderSound";
constexpr const char* kPerformanceKey = "RecorderPerformance";
constexpr const char* kSourcesKey = "RecorderSources";

bool isCodecName(const std::string& name) {
    return codecNamed(name).has_value();
}
bool isOutputName(const std::string& name) {
    return outputNameTable().indexOf(name).has_value();
}
bool isLayoutName(const std::string& name) {
    return knownLayoutName(name).has_value();
}

// Names are taken as stored when their list knows them, else the list's first name.
std::string storedName(const UserDefaults& defaults, const char* key,
                       bool (*known)(const std::string&), const std::string& fallback) {
    const auto text = defaults.stringForKey(key);
    return text && known(*text) ? *text : fallback;
}

std::string storedText(const UserDefaults& defaults, const char* key) {
    return defaults.stringForKey(key).value_or("");
}

struct StoredValue {
    const char* key;
    nlohmann::json value;
};

StoredValue storedValueOf(RecorderSetting setting, const RecorderSettings& settings) {
    switch (setting) {
        case RecorderSetting::codec:
            return {kCodecKey, settings.codec};
        case RecorderSetting::width:
            return {kWidthKey, settings.width};
        case RecorderSetting::height:
            return {kHeightKey, settings.height};
        case RecorderSetting::fps:
            return {kFpsKey, settings.fps};
        case RecorderSetting::bitrate:
            return {kBitrateKey, settings.bitrate};
        case RecorderSetting::folder:
            return {kFolderKey, settings.folder};
        case RecorderSetting::name:
            return {kNameKey, settings.name};
        case RecorderSetting::output:
            return {kOutputKey, settings.output};
        case RecorderSetting::layout:
            return {kLayoutKey, settings.layout};
        case RecorderSetting::gap:
            return {kGapKey, settings.gap};
        case RecorderSetting::sound:
            return {kSoundKey, settings.sound};
        case RecorderSetting::performance:
            break;
    }
    return {kPerformanceKey, settings.performance};
}

}  // namespace

void registerRecorderDefaults(UserDefaults& defaults) {
    defaults.registerDefaults({
        {kCodecKey, "h264"},
        {kFolderKey, moviesFolder()},
        {kNameKey, ""},
        {kOutputKey, "separate"},
        {kLayoutKey, "row"},
        {kSoundKey, ""},
    });
}

RecorderSettings loadRecorderSettings(const UserDefaults& defaults) {
    RecorderSettings settings;
    settings.codec = storedName(defaults, kCodecKey, isCodecName, kCodecs.front().name);
    settings.output = storedName(defaults, kOutputKey, isOutputName, outputNameTable().nameAt(0));
    settings.layout = storedName(defaults, kLayoutKey, isLayoutName, Layout::nameForKind(0));
    settings.width = dimensionWithinLimits(defaults.integerForKey(kWidthKey));
    settings.height = dimensionWithinLimits(defaults.integerForKey(kHeightKey));
    settings.fps = rateWithinLimits(defaults.doubleForKey(kFpsKey), RecorderSettings::kMaxFps);
    settings.bitrate =
        rateWithinLimits(defaults.doubleForKey(kBitrateKey), RecorderSettings::kMaxBitrate);
    settings.gap = gapWithinLimits(defaults.integerForKey(kGapKey));
    settings.folder = storedText(defaults, kFolderKey);
    settings.name = storedText(defaults, kNameKey);
    settings.sound = storedText(defaults, kSoundKey);
    settings.performance = defaults.boolForKey(kPerformanceKey);
    return settings;
}

void saveRecorderSetting(UserDefaults& defaults, RecorderSetting setting,
                         const RecorderSettings& settings) {
    const StoredValue stored = storedValueOf(setting, settings);
    defaults.setObject(stored.key, stored.value);
}

std::vector<std::string> loadSourceTitles(const UserDefaults& defaults, size_t most) {
    std::vector<std::string> titles;
    const auto stored = defaults.arrayForKey(kSourcesKey);
    if (!stored) {
        return titles;
    }
    for (const auto& entry : *stored) {
        if (titles.size() >= most) {
            break;
        }
        if (entry.is_string() && !entry.get<std::string>().empty()) {
            titles.push_back(entry.get<std::string>());
        }
    }
    return titles;
}

void saveSourceTitles(UserDefaults& defaults, const std::vector<std::string>& titles) {
    defaults.setStringArray(kSourcesKey, titles);
}

}  // namespace zarvo
