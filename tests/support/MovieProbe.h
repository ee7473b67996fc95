#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct AVFrame;

namespace zarvo::test {

// What a movie file holds, read back with the media library: the tests' independent view of
// what the recorder wrote.
struct MovieProbe {
    struct Picture {
        std::string codec;        // "h264", "hevc", "prores"
        std::string codecTag;     // "avc1", "hvc1", "apcn", "ap4h"
        std::string pixelFormat;  // as decoded: "yuv420p", "yuv422p10le", "yuva444p10le"
        int width = 0;
        int height = 0;
        int timescale = 0;           // the track's time base denominator
        std::vector<int64_t> times;  // presentation times of the packets, in the timescale
        std::vector<bool> keyFrames;
        double duration = 0;         // seconds, as the demuxer reports the track
        double end = 0;              // seconds: when the last picture stops showing
        std::string colorPrimaries;  // "bt709"
        std::string colorTransfer;
        std::string colorSpace;
        int64_t bitRate = 0;  // as the encoder parameters carry it
    };
    struct Sound {
        std::string codec;  // "aac", "pcm_s24le"
        int sampleRate = 0;
        int channels = 0;
        int timescale = 0;
        // Decoded samples per channel from time 0 on; an encoder's priming before time 0 is
        // not part of the movie.
        int64_t sampleCount = 0;
        std::vector<float> left;  // decoded from time 0, when asked
        std::vector<float> right;
        double duration = 0;
    };

    bool opened = false;
    std::string error;
    int streamCount = 0;
    std::optional<Picture> picture;
    std::optional<Sound> sound;
    // The start timecode the demuxer reports (its "timecode" tag), and the reel named by the
    // timecode track; empty without a timecode track.
    std::string timecode;
    std::string reelName;
    double timecodeDuration = 0;  // seconds the timecode track lasts

    // Reads the file's streams and packets; decodes the sound when decodeSound is true.
    static MovieProbe read(const std::filesystem::path& file, bool decodeSound = false);

    // Decodes picture number index (0-based) and returns it as 8-bit RGBA (row 0 at the top),
    // or nothing when it cannot be decoded.
    static std::vector<uint8_t> decodePicture(const std::filesystem::path& file, int index,
                                              int* width, int* height);
    // Decodes every picture; returns how many could be decoded. Each decoded picture is handed
    // to `each`, when given, with its presentation time in seconds on the movie's time line.
    using DecodedPicture = std::function<void(const AVFrame& picture, double seconds)>;
    static int decodeAllPictures(const std::filesystem::path& file,
                                 const DecodedPicture& each = nullptr);

    // The packets of the picture and sound streams in file order, as the demuxer reads them.
    struct Packet {
        bool picture = false;
        int64_t position = 0;  // in the file
        int64_t size = 0;
        int64_t pts = 0;
        int64_t dts = 0;
        int64_t duration = 0;
        bool key = false;
    };
    static std::vector<Packet> packets(const std::filesystem::path& file);

    // Pictures decoded through GStreamer's own QuickTime demuxer (no FFmpeg demuxing), or -1
    // when the pipeline reports an error.
    static int gstreamerPictureCount(const std::filesystem::path& file);
    // The pictures that mediainfo counts in the picture track's samples (a leading empty edit
    // makes the track, and its plain frame count, longer).
    static int64_t mediainfoFrameCount(const std::filesystem::path& file);
    // mediainfo's "Time code of first frame" of the movie's timecode track, empty when it
    // finds none.
    static std::string mediainfoTimecode(const std::filesystem::path& file);
};

}  // namespace zarvo::test
