#pragma once

// Timecode of the movies of a take: the take's start as local time of day, counted in frames
// of the movie's rate, so that an editor lines the movies of one take (and of recorders on
// other machines whose clocks agree) up by their timecode alone.

#include <cstdint>
#include <optional>
#include <string>

namespace zarvo {

// The rate a timecode counts in.
struct TimecodeRate {
    int framesPerSecond = 0;  // whole frames in a timecode second: 24, 25, 30, 50, 60…
    bool dropFrame = false;   // 29.97 and 59.94: labels skip so that they keep to the clock
    double exact = 0;         // real frames per second: 30000/1001 for 29.97

    friend bool operator==(const TimecodeRate&, const TimecodeRate&) = default;
};

// The timecode rate for a movie of this frame rate, or none when timecode cannot express it
// sensibly. A rate within `tolerance` (a fraction) of a standard one is taken as it: a whole
// rate, or a whole rate slowed by 1000/1001 (drop-frame for 29.97 and 59.94).
std::optional<TimecodeRate> timecodeRateFor(double framesPerSecond, double tolerance = 0.001);

// A movie's timecode: the rate, and the frame count since midnight of its first value.
struct MovieTimecode {
    TimecodeRate rate;
    int64_t startFrame = 0;
    std::string reelName;  // shown by editors as the clip's source

    friend bool operator==(const MovieTimecode&, const MovieTimecode&) = default;
};

// The frame count since midnight of a time of day in seconds, within one day.
int64_t timecodeFrameAt(double secondsOfDay, const TimecodeRate& rate);

// The label of a frame count, as "10:00:00:00", or "10:00:00;00" for drop-frame.
std::string timecodeText(int64_t frame, const TimecodeRate& rate);

// One reading of the host clock and of the system's real-time clock at the same instant.
struct ClockPair {
    double hostTime = 0;      // the host media clock
    double secondsOfDay = 0;  // local time of day
    double spread = 0;        // how far apart the two readings can be, in seconds
};

// Reads both clocks together: the real-time clock on either side of the host clock, the
// closest of a few tries.
ClockPair readClockPair();

}  // namespace zarvo
