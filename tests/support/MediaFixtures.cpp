#include "tests/support/MediaFixtures.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <numbers>

namespace zarvo::test {

gpu::TextureRef paintedTexture(int64_t width, int64_t height,
                               const std::function<Bgra(int64_t x, int64_t y)>& colour) {
    auto texture = gpu::Texture::make(width, height);
    if (!texture) {
        return nullptr;
    }
    for (int64_t y = 0; y < height; ++y) {
        uint8_t* row = texture->row(y);
        for (int64_t x = 0; x < width; ++x) {
            const Bgra c = colour(x, y);
            row[4 * x] = c.b;
            row[4 * x + 1] = c.g;
            row[4 * x + 2] = c.r;
            row[4 * x + 3] = c.a;
        }
    }
    return texture;
}

gpu::TextureRef solidTexture(int64_t width, int64_t height, Bgra colour) {
    return paintedTexture(width, height, [colour](int64_t, int64_t) { return colour; });
}

gpu::TextureRef noiseTexture(int64_t width, int64_t height, uint32_t seed) {
    uint32_t state = seed * 2654435761u + 1u;
    return paintedTexture(width, height, [&state](int64_t, int64_t) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return Bgra{static_cast<uint8_t>(state), static_cast<uint8_t>(state >> 8),
                    static_cast<uint8_t>(state >> 16), 255};
    });
}

std::shared_ptr<const SourceSound> toneSound(uint64_t frameCount, double rate, double frequency,
                                             double amplitude, uint64_t firstFrame) {
    std::vector<float> samples(2 * frameCount);
    for (uint64_t i = 0; i < frameCount; ++i) {
        const double phase =
            2 * std::numbers::pi * frequency * static_cast<double>(firstFrame + i) / rate;
        const auto value =
            static_cast<float>(frequency > 0 ? amplitude * std::sin(phase) : amplitude);
        samples[2 * i] = value;
        samples[2 * i + 1] = value;
    }
    return SourceSound::soundWithInterleavedStereoSamples(samples.data(), frameCount, rate);
}

std::vector<TimedSound> toneBuffers(double startTime, double seconds, uint64_t framesPerBuffer,
                                    double rate, double frequency, double amplitude) {
    std::vector<TimedSound> buffers;
    const auto total = static_cast<uint64_t>(std::llround(seconds * rate));
    for (uint64_t first = 0; first < total; first += framesPerBuffer) {
        const uint64_t count = std::min(framesPerBuffer, total - first);
        buffers.push_back({toneSound(count, rate, frequency, amplitude, first),
                           startTime + static_cast<double>(first + count) / rate});
    }
    return buffers;
}

bool fileContains(const std::filesystem::path& file, const std::string& text) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes.find(text) != std::string::npos;
}

double risingCrossingsPerSecond(const std::vector<float>& samples, size_t begin, size_t end,
                                double rate) {
    end = std::min(end, samples.size());
    if (end <= begin + 1) {
        return 0;
    }
    int crossings = 0;
    for (size_t i = begin + 1; i < end; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            ++crossings;
        }
    }
    return crossings * rate / static_cast<double>(end - begin);
}

float peak(const std::vector<float>& samples, size_t begin, size_t end) {
    float peak = 0;
    for (size_t i = begin; i < std::min(end, samples.size()); ++i) {
        peak = std::max(peak, std::fabs(samples[i]));
    }
    return peak;
}

}  // namespace zarvo::test
