#include "sources/SourceSound.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace zarvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::vector<double> kUnusableRates = {0.0, -0.0, -48000.0, kInf, -kInf, kNaN};

std::vector<float> Interleaved(const SourceSound& sound) {
    return {sound.samples(), sound.samples() + 2 * sound.frameCount()};
}

template <typename Exception, typename F>
std::string MessageOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "<no exception>";
}

// Attempting allocations of ~16 EiB is only safe when the allocator reports failure instead
// of aborting; under AddressSanitizer that needs allocator_may_return_null=1.
bool HugeAllocationsReturnNull() {
#if defined(__SANITIZE_ADDRESS__)
    const char* options = std::getenv("ASAN_OPTIONS");
    return options != nullptr && std::strstr(options, "allocator_may_return_null=1") != nullptr;
#else
    return true;
#endif
}

TEST(SourceSoundTest, UsableRates) {
    EXPECT_TRUE(IsUsableRate(48000.0));
    EXPECT_TRUE(IsUsableRate(std::numeric_limits<double>::denorm_min()));
    for (double rate : kUnusableRates) {
        EXPECT_FALSE(IsUsableRate(rate)) << rate;
    }
}

TEST(SourceSoundTest, PlanarTakesFirstTwoChannelsAcrossPaddedStride) {
    // Three channels of 3 frames, each padded to 5 floats.
    const float planar[] = {1, 2, 3, -1, -1, 10, 20, 30, -1, -1, 7, 7, 7};
    auto sound = SourceSound::soundWithPlanarSamples(planar, 3, 3, 5 * sizeof(float), 44100.0);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(Interleaved(*sound), (std::vector<float>{1, 10, 2, 20, 3, 30}));
    EXPECT_EQ(sound->sampleRate(), 44100.0);
    EXPECT_EQ(sound->frameCount(), 3u);
}

TEST(SourceSoundTest, PlanarMonoFillsBothSidesAndIgnoresStride) {
    const float mono[] = {0.5f, -0.25f};
    auto sound = SourceSound::soundWithPlanarSamples(mono, 1, 2, 0, 48000.0);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(Interleaved(*sound), (std::vector<float>{0.5f, 0.5f, -0.25f, -0.25f}));
}

TEST(SourceSoundTest, PlanarRejectsBadInput) {
    const float planar[8] = {};
    const uint64_t packed = 4 * sizeof(float);
    auto make = [&](const float* s, uint64_t channels, uint64_t frames, uint64_t stride,
                    double rate) {
        return SourceSound::soundWithPlanarSamples(s, channels, frames, stride, rate);
    };
    EXPECT_NE(make(planar, 2, 4, packed, 48000.0), nullptr);  // exactly packed is fine
    EXPECT_EQ(make(nullptr, 2, 4, packed, 48000.0), nullptr);
    EXPECT_EQ(make(planar, 0, 4, packed, 48000.0), nullptr);
    EXPECT_EQ(make(planar, 2, 0, packed, 48000.0), nullptr);
    EXPECT_EQ(make(planar, 1, SourceSound::kMaxFrameCount + 1, 0, 48000.0), nullptr);
    EXPECT_EQ(make(planar, 2, 4, packed - 4, 48000.0), nullptr);  // channels overlap
    EXPECT_EQ(make(planar, 2, 3, packed - 2, 48000.0), nullptr);  // not whole floats
    for (double rate : kUnusableRates) {
        EXPECT_EQ(make(planar, 2, 4, packed, rate), nullptr) << rate;
    }
}

TEST(SourceSoundTest, InterleavedCopiesSamples) {
    float stereo[] = {1, 2, 3, 4, 5, 6};
    auto sound = SourceSound::soundWithInterleavedStereoSamples(stereo, 3, 2.0);
    ASSERT_NE(sound, nullptr);
    stereo[0] = 99;
    EXPECT_EQ(Interleaved(*sound), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_DOUBLE_EQ(sound->duration(), 1.5);
}

TEST(SourceSoundTest, InterleavedRejectsBadInput) {
    const float stereo[2] = {};
    EXPECT_EQ(SourceSound::soundWithInterleavedStereoSamples(nullptr, 1, 48000.0), nullptr);
    EXPECT_EQ(SourceSound::soundWithInterleavedStereoSamples(stereo, 0, 48000.0), nullptr);
    EXPECT_EQ(SourceSound::soundWithInterleavedStereoSamples(
                  stereo, SourceSound::kMaxFrameCount + 1, 48000.0),
              nullptr);
    for (double rate : kUnusableRates) {
        EXPECT_EQ(SourceSound::soundWithInterleavedStereoSamples(stereo, 1, rate), nullptr);
    }
    auto subnormal = SourceSound::soundWithInterleavedStereoSamples(
        stereo, 1, std::numeric_limits<double>::denorm_min());
    EXPECT_NE(subnormal, nullptr);
}

TEST(SourceSoundTest, SoundFromFrame) {
    const float stereo[] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto sound = SourceSound::soundWithInterleavedStereoSamples(stereo, 4, 8000.0);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(sound->soundFromFrame(0), sound);
    EXPECT_EQ(sound->soundFromFrame(4), nullptr);
    EXPECT_EQ(sound->soundFromFrame(5), nullptr);
    auto tail = sound->soundFromFrame(1);
    ASSERT_NE(tail, nullptr);
    EXPECT_NE(tail->samples(), sound->samples() + 2);
    EXPECT_EQ(Interleaved(*tail), (std::vector<float>{3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(tail->sampleRate(), 8000.0);
}

TEST(SourceSoundTest, Silence) {
    auto sound = SourceSound::silenceOfFrameCount(3, 48000.0);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(Interleaved(*sound), std::vector<float>(6, 0.0f));

    auto empty = SourceSound::silenceOfFrameCount(0, 48000.0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->frameCount(), 0u);
    EXPECT_NE(empty->samples(), nullptr);
    EXPECT_EQ(empty->duration(), 0.0);
    EXPECT_EQ(empty->soundFromFrame(0), nullptr);
}

TEST(SourceSoundTest, SilencePreconditions) {
    for (double rate : kUnusableRates) {
        EXPECT_EQ(
            MessageOf<std::invalid_argument>([&] { SourceSound::silenceOfFrameCount(1, rate); }),
            "Invalid parameter not satisfying: IsUsableRate(sampleRate)");
    }
    EXPECT_EQ(
        MessageOf<std::invalid_argument>(
            [] { SourceSound::silenceOfFrameCount(SourceSound::kMaxFrameCount + 1, 48000.0); }),
        "Invalid parameter not satisfying: frameCount <= NSUIntegerMax / (2 * sizeof(float))");
}

TEST(SourceSoundTest, UnsatisfiableAllocationsFailGracefully) {
    if (!HugeAllocationsReturnNull()) {
        GTEST_SKIP() << "needs ASAN_OPTIONS=allocator_may_return_null=1";
    }
    const float one[2] = {};
    const uint64_t huge = SourceSound::kMaxFrameCount;
    EXPECT_EQ(SourceSound::soundWithInterleavedStereoSamples(one, huge, 48000.0), nullptr);
    EXPECT_EQ(SourceSound::soundWithPlanarSamples(one, 1, huge, 0, 48000.0), nullptr);
    EXPECT_EQ(MessageOf<std::bad_alloc>([&] { SourceSound::silenceOfFrameCount(huge, 48000.0); }),
              "No memory for 2305843009213693951 frames of silence");
}

}  // namespace
}  // namespace zarvo
