#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zarvo::test {

// Where a source's simultaneous marks ended up in a recorded movie: white pictures among dark
// ones, and tone bursts in silence, each mark made at one instant of the source. The offset of
// a mark is its sound's time minus its picture's time on the movie's time line: positive when
// the sound comes late.
struct ClockMarks {
    std::string error;                     // empty when the movie could be read
    std::vector<double> pictureTimes;      // seconds: presentation times of the white pictures
    std::vector<double> soundTimes;        // seconds: where each burst starts
    std::vector<double> offsets;           // seconds, one per mark found in both tracks
    std::vector<double> pairedSoundTimes;  // where the burst of each of those offsets starts
    double mean = 0;                       // the bias
    double worst = 0;                      // the offset furthest from zero, with its sign

    // Reads the movie's first picture and sound tracks. A picture and a burst belong to the same
    // mark when they lie within half the marks' spacing of each other.
    static ClockMarks read(const std::filesystem::path& file, double markEvery);
};

}  // namespace zarvo::test
