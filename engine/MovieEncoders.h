#pragma once

// The encoders of a movie's tracks, set up for its codec: the picture encoder (low latency,
// without B-frames, key frames at most 2 s apart, BT.709 colours) and the stereo 48 kHz sound
// encoder (AAC beside compressed pictures, 24-bit PCM beside ProRes).

#include <cstdint>

#include "engine/Codec.h"

struct AVCodecContext;

namespace zarvo {

struct PictureEncoding {
    Codec codec = Codec::h264;
    int width = 0;
    int height = 0;
    double framesPerSecond = 0;    // 0: free (60 is assumed)
    double megabitsPerSecond = 0;  // H.264 and HEVC; 0 or less: chosen from size and rate
};

// The average bit rate for H.264 and HEVC pictures, in bits per second.
int64_t averageBitRate(Codec codec, int width, int height, double framesPerSecond,
                       double megabitsPerSecond);

// The opened picture encoder, in the time base 1/60000 s; nullptr when the codec is missing or
// refuses the size.
AVCodecContext* openPictureEncoder(const PictureEncoding& encoding);

// The opened sound encoder, in the time base 1/48000 s; nullptr when it cannot be set up.
AVCodecContext* openSoundEncoder(Codec codec);

}  // namespace zarvo
