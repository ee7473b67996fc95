#pragma once

// The timeline file of a take: an OpenTimelineIO timeline (JSON) that editors import to find
// every movie of the take on its own track, lined up on the take's clock, with the take's
// markers.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/Timecode.h"
#include "platform/Error.h"

namespace zarvo {

// A moment the operator marked during a take.
struct TakeMarker {
    std::string name;
    double time = 0;  // seconds since the take's start
};

// A finished movie of the take, as the timeline describes it.
struct TimelineMovie {
    std::string trackName;
    std::filesystem::path file;  // absolute
    std::optional<MovieTimecode> timecode;
    double duration = 0;  // seconds, as long as the movie really is
    bool hasSound = false;
};

struct TakeTimeline {
    std::string name;                   // the take's stem
    std::vector<TimelineMovie> movies;  // the assembled movie first, then the sources in order
    std::vector<TakeMarker> markers;
};

// The longest marker name kept, in characters.
constexpr size_t kLongestMarkerName = 200;

// The name cut to at most `characters` characters of UTF-8, never inside a character.
std::string cutToCharacters(const std::string& text, size_t characters);

// The file URL of an absolute path, every byte outside the unreserved characters and "/"
// percent-encoded.
std::string fileURL(const std::filesystem::path& path);

// How long the movie file lasts, in seconds, read from its header, and whether it has sound;
// none when it cannot be read.
std::optional<double> movieDuration(const std::filesystem::path& file, bool* hasSound);

// The timeline as OpenTimelineIO JSON.
nlohmann::json timelineJson(const TakeTimeline& timeline);

// Writes the timeline to the file through a temporary file in the same folder, never over an
// existing file; the reason on failure, and nothing left behind.
std::optional<Error> writeTimelineFile(const std::filesystem::path& file,
                                       const TakeTimeline& timeline);

}  // namespace zarvo
