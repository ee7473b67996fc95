#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Timecode.h"

namespace zarvo {

// The choices for one movie.
struct MovieRecorderSettings {
    bool recordsSound = false;
    int64_t codec = 0;             // an index of kCodecs (Codec.h): 0 "h264" … 3 "prores4444"
    int64_t width = 0;             // below 1: the first frame's width
    int64_t height = 0;            // below 1: the first frame's height
    double framesPerSecond = 0;    // 0 keeps every frame that moves forward in time
    double megabitsPerSecond = 0;  // H.264 and HEVC; 0 or less: chosen from size and rate
    std::optional<MovieTimecode> timecode;  // the movie's timecode track; none: no such track

    static const std::vector<std::string>& codecNames();
    // The codec's name; an index outside the list names "h264".
    static const std::string& nameForCodec(int64_t codec);
    // Looks the name up without regard to case; false leaves codec untouched.
    static bool getCodec(int64_t& codec, std::string_view name);

    friend bool operator==(const MovieRecorderSettings&, const MovieRecorderSettings&) = default;
};

}  // namespace zarvo
