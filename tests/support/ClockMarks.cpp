#include "tests/support/ClockMarks.h"

#include <cmath>
#include <cstdlib>

#include "tests/support/MovieProbe.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace zarvo::test {

namespace {

// A sound sample louder than this starts a burst; the bursts are full scale, the rest silence.
constexpr float kBurstLevel = 0.5f;
// A picture whose mean luma is above this is a mark; the others are black.
constexpr int kWhiteLuma = 128;

// Whether a decoded picture is a mark: its middle row is white (every picture is one level).
bool IsWhite(const AVFrame& picture) {
    const uint8_t* row = picture.data[0] + (picture.height / 2) * picture.linesize[0];
    int64_t sum = 0;
    for (int x = 0; x < picture.width; ++x) {
        sum += row[x];
    }
    return picture.width > 0 && sum / picture.width > kWhiteLuma;
}

}  // namespace

ClockMarks ClockMarks::read(const std::filesystem::path& file, double markEvery) {
    ClockMarks marks;
    // The demuxer applies the track's edits, so the times are on the movie's time line.
    const int pictures =
        MovieProbe::decodeAllPictures(file, [&](const AVFrame& picture, double seconds) {
            if (IsWhite(picture)) {
                marks.pictureTimes.push_back(seconds);
            }
        });
    if (pictures == 0) {
        marks.error = "no picture could be decoded from " + file.string();
        return marks;
    }
    // The sound as presented from time 0 on, the encoder's priming left out.
    const MovieProbe probe = MovieProbe::read(file, true);
    if (!probe.sound || probe.sound->sampleRate <= 0) {
        marks.error = "no sound track to decode";
        return marks;
    }
    const auto& left = probe.sound->left;
    const double rate = probe.sound->sampleRate;
    // A burst is 20 ms; the next one is a whole spacing later.
    const auto quiet = static_cast<size_t>(markEvery * rate / 2);
    for (size_t i = 0; i < left.size(); ++i) {
        if (std::fabs(left[i]) > kBurstLevel) {
            marks.soundTimes.push_back(static_cast<double>(i) / rate);
            i += quiet;
        }
    }
    for (const double sound : marks.soundTimes) {
        for (const double picture : marks.pictureTimes) {
            if (std::fabs(sound - picture) < markEvery / 2) {
                marks.offsets.push_back(sound - picture);
                marks.pairedSoundTimes.push_back(sound);
                break;
            }
        }
    }
    for (const double offset : marks.offsets) {
        marks.mean += offset / static_cast<double>(marks.offsets.size());
        if (std::fabs(offset) > std::fabs(marks.worst)) {
            marks.worst = offset;
        }
    }
    return marks;
}

}  // namespace zarvo::test
