#include "engine/TakeTimeline.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "engine/MovieError.h"
#include "platform/Files.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace zarvo {

namespace {

using nlohmann::json;

// Times of movies without a timecode are counted in the movies' picture time scale.
constexpr double kPictureRate = 60000;

json rationalTime(double value, double rate) {
    return json{{"OTIO_SCHEMA", "RationalTime.1"}, {"rate", rate}, {"value", value}};
}

json timeRange(const json& start, const json& duration) {
    return json{{"OTIO_SCHEMA", "TimeRange.1"}, {"duration", duration}, {"start_time", start}};
}

double rateOf(const TimelineMovie& movie) {
    return movie.timecode ? movie.timecode->rate.exact : kPictureRate;
}

// The whole movie, from its first timecode value, as long as it lasts.
json availableRange(const TimelineMovie& movie) {
    const double rate = rateOf(movie);
    const double start = movie.timecode ? static_cast<double>(movie.timecode->startFrame) : 0;
    return timeRange(rationalTime(start, rate),
                     rationalTime(std::round(movie.duration * rate * 1000) / 1000, rate));
}

json clip(const TimelineMovie& movie) {
    json reference = {
        {"OTIO_SCHEMA", "ExternalReference.1"},     {"name", movie.file.filename().string()},
        {"available_range", availableRange(movie)}, {"available_image_bounds", nullptr},
        {"target_url", fileURL(movie.file)},        {"metadata", json::object()}};
    return json{{"OTIO_SCHEMA", "Clip.2"},
                {"name", movie.file.filename().string()},
                {"source_range", availableRange(movie)},
                {"effects", json::array()},
                {"markers", json::array()},
                {"enabled", true},
                {"media_references", {{"DEFAULT_MEDIA", reference}}},
                {"active_media_reference_key", "DEFAULT_MEDIA"},
                {"metadata", json::object()}};
}

json track(const TimelineMovie& movie, const char* kind) {
    return json{{"OTIO_SCHEMA", "Track.1"},
                {"name", movie.trackName},
                {"kind", kind},
                {"source_range", nullptr},
                {"effects", json::array()},
                {"markers", json::array()},
                {"enabled", true},
                {"children", json::array({clip(movie)})},
                {"metadata", json::object()}};
}

// The timeline's rate: that of the first movie with a timecode.
const MovieTimecode* startTimecode(const TakeTimeline& timeline) {
    for (const auto& movie : timeline.movies) {
        if (movie.timecode) {
            return &*movie.timecode;
        }
    }
    return nullptr;
}

}  // namespace

std::string cutToCharacters(const std::string& text, size_t characters) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        // A character starts at every byte that is not a continuation byte.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == characters) {
                return text.substr(0, i);
            }
            ++count;
        }
    }
    return text;
}

std::string fileURL(const std::filesystem::path& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (const char c : path.string()) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 && byte < 0x80) {
            url += c;
        } else if (c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            url += c;
        } else {
            url += '%';
            url += kHex[byte >> 4];
            url += kHex[byte & 0xF];
        }
    }
    return url;
}

std::optional<double> movieDuration(const std::filesystem::path& file, bool* hasSound) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) {
        return std::nullopt;
    }
    double end = 0;
    bool sound = false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) {
            continue;
        }
        // A sound track that never got any sound is no sound.
        if (stream->duration == AV_NOPTS_VALUE || stream->duration <= 0) {
            continue;
        }
        sound = sound || type == AVMEDIA_TYPE_AUDIO;
        // A track that starts after time 0 (a source whose first frame came late) ends later.
        const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
        end = std::max(end,
                       static_cast<double>(start + stream->duration) * av_q2d(stream->time_base));
    }
    if (end <= 0 && format->duration != AV_NOPTS_VALUE) {
        end = static_cast<double>(format->duration) / AV_TIME_BASE;
    }
    avformat_close_input(&format);
    if (hasSound != nullptr) {
        *hasSound = sound;
    }
    return end > 0 ? std::optional<double>(end) : std::nullopt;
}

json timelineJson(const TakeTimeline& timeline) {
    const MovieTimecode* start = startTimecode(timeline);
    const double rate = start != nullptr ? start->rate.exact : kPictureRate;
    json tracks = json::array();
    for (const auto& movie : timeline.movies) {
        tracks.push_back(track(movie, "Video"));
    }
    for (const auto& movie : timeline.movies) {
        if (movie.hasSound) {
            tracks.push_back(track(movie, "Audio"));
        }
    }
    json markers = json::array();
    for (const auto& marker : timeline.markers) {
        markers.push_back(json{
            {"OTIO_SCHEMA", "Marker.2"},
            {"name", cutToCharacters(marker.name, kLongestMarkerName)},
            {"marked_range",
             timeRange(rationalTime(std::round(marker.time * rate), rate), rationalTime(0, rate))},
            {"color", "RED"},
            {"comment", ""},
            {"metadata", json::object()}});
    }
    json stack = {{"OTIO_SCHEMA", "Stack.1"}, {"name", timeline.name},
                  {"source_range", nullptr},  {"effects", json::array()},
                  {"markers", markers},       {"enabled", true},
                  {"children", tracks},       {"metadata", json::object()}};
    return json{{"OTIO_SCHEMA", "Timeline.1"},
                {"name", timeline.name},
                {"global_start_time",
                 start != nullptr ? rationalTime(static_cast<double>(start->startFrame), rate)
                                  : json(nullptr)},
                {"tracks", stack},
                {"metadata", json::object()}};
}

std::optional<Error> writeTimelineFile(const std::filesystem::path& file,
                                       const TakeTimeline& timeline) {
    // Names are kept as given; bytes that are not UTF-8 are replaced rather than refused.
    const std::string text =
        timelineJson(timeline).dump(4, ' ', false, json::error_handler_t::replace) + "\n";
    std::string temporary =
        (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return systemCallError(errno);
    }
    int failure = 0;
    bool written = writeAll(fd, text, &failure);
    if (written && ::fsync(fd) != 0 && errno != EINVAL) {
        failure = errno;
        written = false;
    }
    ::close(fd);
    // A link never replaces an existing file: the name is taken only when it is free. Folders
    // without links (some removable disks) get a rename that refuses to replace.
    if (written && ::link(temporary.c_str(), file.c_str()) != 0) {
        failure = errno;
        written =
            (failure == EPERM || failure == EOPNOTSUPP) &&
            ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0;
        if (!written) {
            failure = errno;
        }
    }
    ::unlink(temporary.c_str());
    if (!written) {
        return systemCallError(failure != 0 ? failure : EIO);
    }
    return std::nullopt;
}

}  // namespace zarvo
