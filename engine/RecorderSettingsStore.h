#pragma once

// Where the recorder's settings and chosen sources live between runs: the user defaults, one
// key for each setting. Reading keeps every value within the limits the setters keep, so a
// hand-edited file cannot ask for what the recorder's own controls would refuse.

#include <cstddef>
#include <string>
#include <vector>

#include "engine/RecorderSettings.h"
#include "platform/UserDefaults.h"

namespace zarvo {

// One of the stored settings, for writing it alone.
enum class RecorderSetting {
    codec,
    width,
    height,
    fps,
    bitrate,
    folder,
    name,
    output,
    layout,
    gap,
    sound,
    performance,
};

// Registers the values a setting has until one is stored.
void registerRecorderDefaults(UserDefaults& defaults);
// The stored settings; names a list does not know give the list's first name, numbers are
// kept within their limits.
RecorderSettings loadRecorderSettings(const UserDefaults& defaults);
// Writes that one setting's value.
void saveRecorderSetting(UserDefaults& defaults, RecorderSetting setting,
                         const RecorderSettings& settings);

// The stored titles of the chosen sources, in order: at most `most`, empty and non-text
// entries skipped.
std::vector<std::string> loadSourceTitles(const UserDefaults& defaults, size_t most);
void saveSourceTitles(UserDefaults& defaults, const std::vector<std::string>& titles);

}  // namespace zarvo
