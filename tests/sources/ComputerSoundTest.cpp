#include "sources/ComputerSound.h"

#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "sources/SourceSound.h"

namespace zarvo {
namespace {

using namespace std::chrono_literals;

std::vector<float> samplesOf(const std::shared_ptr<const SourceSound>& sound) {
    return {sound->samples(), sound->samples() + sound->frameCount() * 2};
}

CaptureBuffer bufferOf(const std::vector<float>& samples, uint32_t channels) {
    return {channels, static_cast<uint32_t>(samples.size() * sizeof(float)), samples.data()};
}

CaptureFormat formatAt(double rate, uint32_t extraFlags = 0) {
    CaptureFormat format;
    format.sampleRate = rate;
    format.flags |= extraFlags;
    return format;
}

// --- Conversion of captured buffers ---

TEST(ComputerSoundBufferList, InterleavedCapturesBecomeStereoAtTheFormatsRate) {
    const std::vector<float> stereo{0.1f, 0.2f, 0.3f, 0.4f};
    auto sound = ComputerSound::soundFromBufferList({{bufferOf(stereo, 2)}}, formatAt(44100), true);
    ASSERT_TRUE(sound);
    EXPECT_EQ(sound->sampleRate(), 44100);
    EXPECT_EQ(samplesOf(sound), stereo);

    // A buffer that does not give its channel count takes the format's; a mono capture is heard
    // on both sides.
    const std::vector<float> mono{0.5f, -0.5f, 0.25f};
    CaptureFormat monoFormat = formatAt(48000);
    monoFormat.channelsPerFrame = 1;
    sound = ComputerSound::soundFromBufferList({{bufferOf(mono, 0)}}, monoFormat, true);
    ASSERT_TRUE(sound);
    EXPECT_EQ(samplesOf(sound), (std::vector<float>{0.5f, 0.5f, -0.5f, -0.5f, 0.25f, 0.25f}));

    // Of six channels the first two are kept; bytes short of a whole frame are left out.
    std::vector<float> six;
    for (int i = 0; i < 12; ++i)
        six.push_back(float(i + 1));
    CaptureBuffer sixBuffer = bufferOf(six, 6);
    sixBuffer.byteSize += 3 * sizeof(float);
    six.resize(15);
    sixBuffer.data = six.data();
    sound = ComputerSound::soundFromBufferList({{sixBuffer}}, formatAt(48000), true);
    ASSERT_TRUE(sound);
    EXPECT_EQ(samplesOf(sound), (std::vector<float>{1, 2, 7, 8}));
}

TEST(ComputerSoundBufferList, PlanarCapturesAreInterleaved) {
    const std::vector<float> left{1, 2, 3};
    const std::vector<float> right{-1, -2, -3, -4};
    const std::vector<float> third{9, 9, 9};
    const CaptureBuffer buffers[] = {bufferOf(left, 1), bufferOf(right, 1), bufferOf(third, 1)};
    auto sound = ComputerSound::soundFromBufferList(buffers, formatAt(48000), true);
    ASSERT_TRUE(sound);
    EXPECT_EQ(samplesOf(sound), (std::vector<float>{1, -1, 2, -2, 3, -3}));

    // One buffer flagged non-interleaved is a mono channel, played on both sides.
    sound = ComputerSound::soundFromBufferList(
        {{bufferOf(left, 2)}}, formatAt(48000, CaptureFormat::kFlagNonInterleaved), true);
    ASSERT_TRUE(sound);
    EXPECT_EQ(samplesOf(sound), (std::vector<float>{1, 1, 2, 2, 3, 3}));
}

TEST(ComputerSoundBufferList, AnswersNothingForFormatsAndBuffersItCannotRead) {
    const std::vector<float> four{0.1f, 0.2f, 0.3f, 0.4f};
    const CaptureBuffer good = bufferOf(four, 2);
    ASSERT_TRUE(ComputerSound::soundFromBufferList({{good}}, formatAt(48000), false));

    std::vector<CaptureFormat> formats(9, formatAt(48000));
    formats[0].formatID = 0x61616320;  // not linear PCM
    formats[1].flags = 0;              // integer samples
    formats[2].flags |= CaptureFormat::kFlagBigEndian;
    formats[3].bitsPerChannel = 16;
    formats[4].sampleRate = 0;
    formats[5].sampleRate = -48000;
    formats[6].sampleRate = std::nan("");
    formats[7].sampleRate = double(INFINITY);
    formats[8].channelsPerFrame = 0;  // and the buffer does not say either
    for (size_t i = 0; i < formats.size(); ++i) {
        const CaptureBuffer buffer{i == 8 ? 0u : 2u, good.byteSize, good.data};
        EXPECT_FALSE(ComputerSound::soundFromBufferList({{buffer}}, formats[i], false)) << i;
    }

    const CaptureFormat planar = formatAt(48000, CaptureFormat::kFlagNonInterleaved);
    const std::vector<std::pair<std::vector<CaptureBuffer>, CaptureFormat>> unreadable{
        {{}, formatAt(48000)},
        {{{2, 16, nullptr}}, formatAt(48000)},
        {{{2, 4, four.data()}}, formatAt(48000)},  // less than one frame
        // A frame size that overflows 32 bits.
        {{{0x40000001, 16, four.data()}}, formatAt(48000)},
        {{{1, 3, four.data()}}, planar},
        // A right channel shorter than the left, or missing.
        {{{1, 16, four.data()}, {1, 12, four.data()}}, formatAt(48000)},
        {{{1, 16, four.data()}, {1, 16, nullptr}}, formatAt(48000)},
    };
    for (size_t i = 0; i < unreadable.size(); ++i) {
        EXPECT_FALSE(
            ComputerSound::soundFromBufferList(unreadable[i].first, unreadable[i].second, false))
            << i;
    }
}

TEST(ComputerSoundBufferList, SilenceIsDroppedOnlyWhenAskedAndOnlyInTheKeptChannels) {
    const auto convert = [](const std::vector<float>& samples, uint32_t channels, bool ignore) {
        return ComputerSound::soundFromBufferList({{bufferOf(samples, channels)}}, formatAt(48000),
                                                  ignore);
    };
    const std::vector<float> zeros(8, 0.0f);
    EXPECT_FALSE(convert(zeros, 2, true));
    auto kept = convert(zeros, 2, false);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->frameCount(), 4u);

    // Sound in the right channel of the last frame is sound.
    std::vector<float> rightOnly = zeros;
    rightOnly[7] = 1e-30f;
    EXPECT_TRUE(convert(rightOnly, 2, true));
    // Sound only in a channel that is left out is not.
    std::vector<float> thirdOnly(6, 0.0f);
    thirdOnly[2] = 0.5f;
    EXPECT_FALSE(convert(thirdOnly, 3, true));

    // Planar: silent only when both channels are.
    const std::vector<float> silentLeft(4, 0.0f);
    std::vector<float> right(4, 0.0f);
    const CaptureBuffer both[] = {bufferOf(silentLeft, 1), bufferOf(right, 1)};
    EXPECT_FALSE(ComputerSound::soundFromBufferList(both, formatAt(48000), true));
    right[3] = -0.25f;
    EXPECT_TRUE(ComputerSound::soundFromBufferList(both, formatAt(48000), true));
}

// --- Capture from a sound server ---

size_t threadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

TEST(ComputerSoundServer, WithoutAServerStartAnswersFalseSoonAndLeavesNothingBehind) {
    const std::string socket =
        (std::filesystem::temp_directory_path() / "zarvo-no-such-server" / "native").string();
    const char* previous = std::getenv("PULSE_SERVER");
    const std::string restore = previous != nullptr ? previous : "";
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    const size_t threadsBefore = threadCount();
    ComputerSound sound;
    bool called = false;
    sound.setSoundHandler([&](const auto&) { called = true; });

    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto began = std::chrono::steady_clock::now();
        EXPECT_FALSE(sound.start());
        EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
        EXPECT_EQ(threadCount(), threadsBefore);
    }
    sound.stop();
    EXPECT_FALSE(called);
    previous != nullptr ? setenv("PULSE_SERVER", restore.c_str(), 1) : unsetenv("PULSE_SERVER");
}

// Collects what a ComputerSound delivers, and whether a delivery is under way.
struct Collector {
    std::mutex mutex;
    std::vector<std::shared_ptr<const SourceSound>> sounds;
    std::atomic<bool> inside{false};

    SoundHandler handler() {
        return [this](const std::shared_ptr<const SourceSound>& sound) {
            inside = true;
            {
                std::lock_guard guard(mutex);
                sounds.push_back(sound);
            }
            std::this_thread::sleep_for(1ms);
            inside = false;
        };
    }
    size_t count() {
        std::lock_guard guard(mutex);
        return sounds.size();
    }
    template <class Predicate>
    bool waitFor(Predicate predicate, std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            {
                std::lock_guard guard(mutex);
                if (predicate(sounds))
                    return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
};

bool hasSound(const std::shared_ptr<const SourceSound>& sound) {
    for (uint64_t i = 0; i < sound->frameCount() * 2; ++i) {
        if (sound->samples()[i] != 0.0f)
            return true;
    }
    return false;
}

// The server tests run against the private server of scripts/sound-server.sh, never the
// user's: it says it started one with ZARVO_SOUND_SERVER=1, and then it must answer.
class ComputerSoundCapture : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* started = std::getenv("ZARVO_SOUND_SERVER");
        if (started == nullptr || std::string(started) != "1") {
            GTEST_SKIP() << "no private sound server; run under: "
                            "source <(scripts/sound-server.sh start)";
        }
        const char* server = std::getenv("PULSE_SERVER");
        ASSERT_TRUE(sound_.start())
            << "the private sound server at " << (server != nullptr ? server : "(unset)")
            << " does not answer";
        sound_.stop();
    }

    // Plays a sine tone into the server's default output, at real-time pace.
    static void playTone(double frequency, double seconds) {
        constexpr uint32_t rate = 48000;
        const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, rate, 2};
        int error = 0;
        pa_simple* player = pa_simple_new(nullptr, "ComputerSoundTest", PA_STREAM_PLAYBACK, nullptr,
                                          "tone", &sampleFormat, nullptr, nullptr, &error);
        ASSERT_NE(player, nullptr) << "cannot play: error " << error;
        std::vector<float> samples;
        const auto frames = static_cast<size_t>(seconds * rate);
        for (size_t i = 0; i < frames; ++i) {
            const auto value = static_cast<float>(
                0.5 * std::sin(2 * std::numbers::pi * frequency * double(i) / rate));
            samples.push_back(value);
            samples.push_back(value);
        }
        EXPECT_EQ(pa_simple_write(player, samples.data(), samples.size() * sizeof(float), &error),
                  0);
        EXPECT_EQ(pa_simple_drain(player, &error), 0);
        pa_simple_free(player);
    }

    ComputerSound sound_;
};

TEST_F(ComputerSoundCapture, StartAndStopTwiceAreHarmless) {
    Collector collector;
    sound_.setSoundHandler(collector.handler());
    const size_t threadsBefore = threadCount();
    EXPECT_TRUE(sound_.start());
    EXPECT_TRUE(sound_.start());
    sound_.stop();
    // A second capture set up by the second start would still be running here.
    EXPECT_EQ(threadCount(), threadsBefore);
    sound_.stop();
    EXPECT_TRUE(sound_.start());
    sound_.stop();
}

TEST_F(ComputerSoundCapture, DeliversThePlayedToneAfterSilenceAndNothingAfterStop) {
    constexpr double kTone = 1000.0;
    Collector collector;
    sound_.setSoundHandler(collector.handler());
    ASSERT_TRUE(sound_.start());

    // The idle output is pure silence, which is not delivered before the first sound.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(collector.count(), 0u);

    playTone(kTone, 0.6);
    // After the tone the output is silent again, and silence is now delivered.
    ASSERT_TRUE(collector.waitFor([](const auto& sounds) {
        return !sounds.empty() && !hasSound(sounds.back());
    })) << "no silence delivered after the tone";

    // Stop while deliveries go on: none is under way or starts afterwards.
    sound_.stop();
    EXPECT_FALSE(collector.inside);
    const size_t delivered = collector.count();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(collector.count(), delivered);

    // The first delivery has sound; the tone's pitch is found by counting zero crossings over
    // the left channel of everything that has sound, which also equals the right.
    std::vector<float> left;
    double rate = 0;
    {
        std::lock_guard guard(collector.mutex);
        ASSERT_FALSE(collector.sounds.empty());
        EXPECT_TRUE(hasSound(collector.sounds.front()));
        rate = collector.sounds.front()->sampleRate();
        for (const auto& sound : collector.sounds) {
            EXPECT_EQ(sound->sampleRate(), rate);
            for (uint64_t i = 0; i < sound->frameCount(); ++i) {
                const float l = sound->samples()[2 * i];
                ASSERT_EQ(l, sound->samples()[2 * i + 1]) << "frame " << i;
                left.push_back(l);
            }
        }
    }
    size_t first = 0;
    while (first < left.size() && std::fabs(left[first]) < 0.05f)
        ++first;
    size_t last = left.size();
    while (last > first && std::fabs(left[last - 1]) < 0.05f)
        --last;
    ASSERT_GT(last - first, static_cast<size_t>(rate / 2)) << "less than half the tone heard";
    size_t crossings = 0;
    for (size_t i = first + 1; i < last; ++i) {
        if ((left[i - 1] < 0) != (left[i] < 0))
            ++crossings;
    }
    const double heard = double(crossings) / 2.0 / (double(last - first) / rate);
    EXPECT_NEAR(heard, kTone, kTone * 0.02);

    // A new start forgets that sound was heard: silence is dropped again.
    Collector again;
    sound_.setSoundHandler(again.handler());
    ASSERT_TRUE(sound_.start());
    std::this_thread::sleep_for(300ms);
    sound_.stop();
    EXPECT_EQ(again.count(), 0u);
}

}  // namespace
}  // namespace zarvo
