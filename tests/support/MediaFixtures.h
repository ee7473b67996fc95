#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpu/Texture.h"
#include "sources/SourceSound.h"

namespace zarvo::test {

// A BGRA pixel as the textures store it.
struct Bgra {
    uint8_t b = 0;
    uint8_t g = 0;
    uint8_t r = 0;
    uint8_t a = 255;
};

// A texture of one colour.
gpu::TextureRef solidTexture(int64_t width, int64_t height, Bgra colour);

// A texture whose pixel (x, y) in memory order (row 0 first) is colour(x, y).
gpu::TextureRef paintedTexture(int64_t width, int64_t height,
                               const std::function<Bgra(int64_t x, int64_t y)>& colour);

// A texture of noise from the seed: pictures that do not compress.
gpu::TextureRef noiseTexture(int64_t width, int64_t height, uint32_t seed);

// Stereo sound at the rate: a sine of frequency Hz and the amplitude on both sides, starting at
// sample firstFrame of an endless tone, so that consecutive buffers join. Frequency 0 gives the
// constant amplitude.
std::shared_ptr<const SourceSound> toneSound(uint64_t frameCount, double rate, double frequency,
                                             double amplitude, uint64_t firstFrame = 0);

// A sound buffer and the recording-clock time at which it arrives (its end).
struct TimedSound {
    std::shared_ptr<const SourceSound> sound;
    double time = 0;
};

// Consecutive buffers of frames each from startTime for seconds, a tone as toneSound makes it,
// each arriving as it ends.
std::vector<TimedSound> toneBuffers(double startTime, double seconds, uint64_t framesPerBuffer,
                                    double rate, double frequency, double amplitude);

// Whether the file's bytes contain the text.
bool fileContains(const std::filesystem::path& file, const std::string& text);

// Crossings of zero from below to above in the samples [begin, end), per second at the rate.
double risingCrossingsPerSecond(const std::vector<float>& samples, size_t begin, size_t end,
                                double rate);

// The largest magnitude in samples [begin, end).
float peak(const std::vector<float>& samples, size_t begin, size_t end);

}  // namespace zarvo::test
