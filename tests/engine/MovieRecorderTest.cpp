#include "engine/MovieRecorder.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>

#include "engine/MovieWriter.h"
#include "platform/RunLoop.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FinishOnMainThread.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/MovieBoxes.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using test::Bgra;
using test::MovieProbe;
using test::risingCrossingsPerSecond;
using test::TimedSound;

constexpr Bgra kRed{0, 0, 255, 255};
constexpr Bgra kGreen{0, 255, 0, 255};
constexpr Bgra kBlue{255, 0, 0, 255};

// One pixel of a decoded RGBA picture.
struct Rgba {
    int r = 0;
    int g = 0;
    int b = 0;
    int a = 0;
};

Rgba PixelAt(const std::vector<uint8_t>& rgba, int width, int x, int y) {
    const size_t at =
        (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 4;
    return {rgba[at], rgba[at + 1], rgba[at + 2], rgba[at + 3]};
}

MovieRecorderSettings Settings(int64_t codec, int64_t width, int64_t height, double fps,
                               bool sound = false) {
    MovieRecorderSettings settings;
    settings.codec = codec;
    settings.width = width;
    settings.height = height;
    settings.framesPerSecond = fps;
    settings.recordsSound = sound;
    return settings;
}

// Frame times start + i / fps for i in [0, count).
std::vector<double> FrameTimes(double start, double fps, int count) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        times.push_back(start + i / fps);
    }
    return times;
}

class MovieRecorderTest : public ::testing::Test {
  protected:
    std::shared_ptr<MovieRecorder> make() {
        auto recorder = MovieRecorder::make(gpu::Device::systemDefault(), loop_);
        EXPECT_TRUE(recorder);
        return recorder;
    }

    std::shared_ptr<MovieRecorder> started(const std::filesystem::path& file,
                                           const MovieRecorderSettings& settings,
                                           double startTime) {
        auto recorder = make();
        Error error;
        EXPECT_TRUE(recorder->startWriting(file, settings, startTime, &error)) << error.message;
        return recorder;
    }

    // Finishes and waits on the main loop for the outcome, which must arrive on the main thread.
    std::optional<Error> finish(MovieRecorder& recorder, double endTime) {
        return test::finishOnMainThread(loop_, recorder, endTime);
    }

    void waitForFrames(MovieRecorder& recorder) {
        ASSERT_TRUE(loop_.runUntil([&] { return recorder.framesPending() == 0; }, 60));
    }

    // Appends a frame at each time, waiting for it to be written so none is refused; the sounds
    // that have arrived by a frame's time go in before it, the rest after the last frame.
    void record(MovieRecorder& recorder, const gpu::TextureRef& texture,
                const std::vector<double>& frameTimes, const std::vector<TimedSound>& sounds = {},
                bool flipped = false) {
        size_t next = 0;
        for (double time : frameTimes) {
            while (next < sounds.size() && sounds[next].time <= time) {
                recorder.appendSound(sounds[next].sound, sounds[next].time);
                ++next;
            }
            recorder.appendTexture(texture, flipped, time);
            waitForFrames(recorder);
        }
        for (; next < sounds.size(); ++next) {
            recorder.appendSound(sounds[next].sound, sounds[next].time);
        }
    }

    RunLoop loop_;
    test::TestFolder folder_;
};

// --- Codecs ----------------------------------------------------------------------------------

struct CodecCase {
    int64_t codec;
    const char* codecName;
    const char* tag;
    const char* pixelFormat;
    const char* soundCodec;
};

void PrintTo(const CodecCase& c, std::ostream* out) {
    *out << MovieRecorderSettings::nameForCodec(c.codec);
}

class MovieRecorderCodecTest : public MovieRecorderTest,
                               public ::testing::WithParamInterface<CodecCase> {};

TEST_P(MovieRecorderCodecTest, WritesPicturesAtSlotTimesAndSoundInTheCodecsFormat) {
    const CodecCase& c = GetParam();
    const auto file = folder_ / "movie.mov";
    auto recorder = started(file, Settings(c.codec, 320, 180, 30, true), 50.0);
    EXPECT_EQ(recorder->outputSize(), (Size{320, 180}));
    // A writer keeps the process off transparent huge pages, whose faults stall the encoders.
    EXPECT_EQ(::prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0), 1);

    // Arrivals jitter around the 30 fps grid; slots 0, 7 and 8 get no frame, so the movie's
    // pictures start after its time 0.
    std::vector<double> times;
    std::vector<int64_t> expected;
    for (int i = 0; i < 30; ++i) {
        if (i == 0 || i == 7 || i == 8) {
            continue;
        }
        times.push_back(50.0 + i / 30.0 + (i % 3 == 1 ? 0.004 : i % 3 == 2 ? -0.004 : 0));
        expected.push_back(i * 2000);
    }
    const auto sounds = test::toneBuffers(50.0, 1.0, 960, 48000, 440, 0.5);
    record(*recorder, test::solidTexture(320, 180, kGreen), times, sounds);
    const auto outcome = finish(*recorder, 51.0);
    ASSERT_FALSE(outcome) << outcome->message;
    EXPECT_EQ(recorder->framesWritten(), 27u);
    EXPECT_EQ(recorder->framesDropped(), 0u);
    EXPECT_NEAR(recorder->soundWritten(), 1.0, 1e-9);
    EXPECT_EQ(recorder->soundLeftOut(), 0.0);

    const auto probe = MovieProbe::read(file, true);
    ASSERT_TRUE(probe.opened) << probe.error;
    EXPECT_EQ(probe.streamCount, 2);
    ASSERT_TRUE(probe.picture);
    EXPECT_EQ(probe.picture->codec, c.codecName);
    EXPECT_EQ(probe.picture->codecTag, c.tag);
    EXPECT_EQ(probe.picture->pixelFormat, c.pixelFormat);
    EXPECT_EQ(probe.picture->width, 320);
    EXPECT_EQ(probe.picture->height, 180);
    EXPECT_EQ(probe.picture->timescale, 60000);
    EXPECT_EQ(probe.picture->times, expected);
    ASSERT_FALSE(probe.picture->keyFrames.empty());
    EXPECT_TRUE(probe.picture->keyFrames[0]);
    EXPECT_NEAR(probe.picture->end, 1.0, 1e-9);
    EXPECT_EQ(probe.picture->colorPrimaries, "bt709");
    EXPECT_EQ(probe.picture->colorTransfer, "bt709");
    EXPECT_EQ(probe.picture->colorSpace, "bt709");
    EXPECT_EQ(MovieProbe::decodeAllPictures(file), 27);
    // An ordinary movie, which programs without FFmpeg read too.
    EXPECT_EQ(test::countTopLevel(file, "moov"), 1u);
    EXPECT_EQ(test::countTopLevel(file, "moof"), 0u);
    EXPECT_EQ(test::countTopLevel(file, "mfra"), 0u);
    EXPECT_EQ(MovieProbe::gstreamerPictureCount(file), 27);
    EXPECT_EQ(MovieProbe::mediainfoFrameCount(file), 27);

    ASSERT_TRUE(probe.sound);
    EXPECT_EQ(probe.sound->codec, c.soundCodec);
    EXPECT_EQ(probe.sound->sampleRate, 48000);
    EXPECT_EQ(probe.sound->channels, 2);
    EXPECT_EQ(probe.sound->timescale, 48000);
    // The track holds the second written; an encoder may pad its last block.
    EXPECT_GE(probe.sound->sampleCount, 48000);
    EXPECT_LE(probe.sound->sampleCount, 48000 + 1024);
    EXPECT_NEAR(risingCrossingsPerSecond(probe.sound->left, 4800, 43200, 48000), 440, 5);
    EXPECT_NEAR(test::peak(probe.sound->right, 4800, 43200), 0.5, 0.05);
    // The tone starts at the movie's time 0, so after the start it next rises through zero one
    // period in: nothing of the encoder's own delay is left before it.
    const auto& left = probe.sound->left;
    size_t crossing = 50;
    while (crossing < 300 && !(left[crossing - 1] < 0 && left[crossing] >= 0)) {
        ++crossing;
    }
    EXPECT_NEAR(static_cast<double>(crossing), 48000 / 440.0, 2);
}

INSTANTIATE_TEST_SUITE_P(
    MovieRecorderCodecs, MovieRecorderCodecTest,
    ::testing::Values(CodecCase{0, "h264", "avc1", "yuv420p", "aac"},
                      CodecCase{1, "hevc", "hvc1", "yuv420p", "aac"},
                      CodecCase{2, "prores", "apcn", "yuv422p10le", "pcm_s24le"},
                      // Decoders read ProRes 4444 at 12 bits; what matters is the alpha plane.
                      CodecCase{3, "prores", "ap4h", "yuva444p12le", "pcm_s24le"}),
    [](const auto& param) {
        return std::string(MovieRecorderSettings::nameForCodec(param.param.codec));
    });

TEST_F(MovieRecorderTest, LastFrameLastsUntilTheFinishButAtLeastA240thOfASecond) {
    // Finished well after the last frame: the movie ends at the finish time.
    const auto later = folder_ / "later.mov";
    auto recorder = started(later, Settings(0, 64, 36, 30), 10.0);
    record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(10.0, 30, 5));
    ASSERT_FALSE(finish(*recorder, 12.5));
    auto probe = MovieProbe::read(later);
    ASSERT_TRUE(probe.picture);
    EXPECT_NEAR(probe.picture->end, 2.5, 1e-9);

    // Finished before the last frame's time has passed: it lasts 1/240 s. The recorder is reused.
    const auto early = folder_ / "early.mov";
    Error error;
    ASSERT_TRUE(recorder->startWriting(early, Settings(2, 64, 36, 30), 20.0, &error))
        << error.message;
    EXPECT_EQ(recorder->framesWritten(), 0u);
    record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(20.0, 30, 5));
    ASSERT_FALSE(finish(*recorder, 20.0));
    probe = MovieProbe::read(early);
    ASSERT_TRUE(probe.picture);
    EXPECT_EQ(probe.picture->codec, "prores");
    ASSERT_EQ(probe.picture->times.size(), 5u);
    EXPECT_EQ(probe.picture->times.back(), 8000);
    EXPECT_NEAR(probe.picture->end, (8000 + 250) / 60000.0, 1e-9);
}

TEST_F(MovieRecorderTest, KeyFramesAreAtMostTwoSecondsApart) {
    // Free rate and slow frames: 4 a second for 7 s, so counting frames alone would space the
    // key frames far more than 2 s apart.
    for (int64_t codec : {0, 1}) {
        SCOPED_TRACE(codec);
        const auto file = folder_ / ("keys" + std::to_string(codec) + ".mov");
        auto recorder = started(file, Settings(codec, 64, 64, 0), 0.0);
        std::vector<double> times;
        for (int i = 0; i < 28; ++i) {
            times.push_back(i * 0.25);
        }
        record(*recorder, test::noiseTexture(64, 64, 1), times);
        ASSERT_FALSE(finish(*recorder, 7.0));
        const auto probe = MovieProbe::read(file);
        ASSERT_TRUE(probe.picture);
        ASSERT_EQ(probe.picture->times.size(), 28u);
        int64_t lastKey = -1;
        int keys = 0;
        for (size_t i = 0; i < probe.picture->times.size(); ++i) {
            const int64_t time = probe.picture->times[i];
            if (probe.picture->keyFrames[i]) {
                lastKey = time;
                ++keys;
            }
            ASSERT_GE(lastKey, 0) << "the movie does not start with a key frame";
            EXPECT_LT(time - lastKey, 120000) << "frame " << i;
        }
        EXPECT_GE(keys, 4);
    }
}

// --- Bit rate --------------------------------------------------------------------------------

TEST_F(MovieRecorderTest, ChoosesTheAverageBitRateFromSizeAndRate) {
    EXPECT_EQ(MovieWriter::averageBitRate(0, 640, 480, 0, 0), 1843200);
    EXPECT_EQ(MovieWriter::averageBitRate(0, 160, 120, 30, 0), 1000000);
    EXPECT_EQ(MovieWriter::averageBitRate(0, 1920, 1080, 30, 0), 6220800);
    EXPECT_EQ(MovieWriter::averageBitRate(1, 1920, 1080, 30, 0), 3732480);
    EXPECT_EQ(MovieWriter::averageBitRate(0, 1920, 1080, 30, 2.5), 2500000);
    EXPECT_EQ(MovieWriter::averageBitRate(0, 1920, 1080, 30, 4.1), 4100000);
    EXPECT_EQ(MovieWriter::averageBitRate(1, 640, 480, 0, -4), 1105920);

    // The encoder is told the rate: the H.264 stream states its options, rate in kbit/s.
    struct Case {
        int64_t width;
        int64_t height;
        double fps;
        double megabits;
        const char* text;
    };
    for (const Case& c :
         {Case{640, 480, 0, 0, "bitrate=1843 "}, Case{160, 120, 30, 0, "bitrate=1000 "},
          Case{160, 120, 30, 2.5, "bitrate=2500 "}}) {
        SCOPED_TRACE(c.text);
        const auto file =
            folder_ / (std::to_string(c.width) + "-" + std::to_string(c.megabits) + ".mov");
        auto settings = Settings(0, c.width, c.height, c.fps);
        settings.megabitsPerSecond = c.megabits;
        auto recorder = started(file, settings, 0.0);
        record(*recorder, test::solidTexture(c.width, c.height, kBlue), FrameTimes(0, 30, 2));
        ASSERT_FALSE(finish(*recorder, 0.1));
        EXPECT_TRUE(test::fileContains(file, c.text));
    }
}

// --- Size ------------------------------------------------------------------------------------

TEST_F(MovieRecorderTest, TakesTheFirstFramesSizeMadeEven) {
    const auto file = folder_ / "first.mov";
    auto recorder = started(file, Settings(0, 0, 0, 30), 5.0);
    EXPECT_EQ(recorder->outputSize(), (Size{0, 0}));
    // Nothing is written before the first frame.
    EXPECT_FALSE(std::filesystem::exists(file));
    record(*recorder, test::solidTexture(1921, 1081, kRed), FrameTimes(5.0, 30, 2));
    EXPECT_EQ(recorder->outputSize(), (Size{1920, 1080}));
    // Later frames of another size are fitted into the first one's.
    record(*recorder, test::solidTexture(64, 36, kRed), {5.1});
    ASSERT_FALSE(finish(*recorder, 5.2));
    EXPECT_EQ(recorder->framesWritten(), 3u);
    const auto probe = MovieProbe::read(file);
    ASSERT_TRUE(probe.picture);
    EXPECT_EQ(probe.picture->width, 1920);
    EXPECT_EQ(probe.picture->height, 1080);
    EXPECT_EQ(MovieProbe::decodeAllPictures(file), 3);
}

TEST_F(MovieRecorderTest, WritesFramesOfExtremeSizesWithoutFailing) {
    struct Case {
        int64_t width;
        int64_t height;
        Size movie;
    };
    for (const Case& c : {Case{1, 1, {2, 2}}, Case{4097, 3, {4096, 2}}, Case{3, 2049, {2, 2048}},
                          Case{16384, 1, {16384, 2}}, Case{3841, 2161, {3840, 2160}}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const auto file =
            folder_ / (std::to_string(c.width) + "x" + std::to_string(c.height) + ".mov");
        auto recorder = started(file, Settings(0, 0, 0, 0), 0.0);
        int failures = 0;
        recorder->setFailureHandler([&](const Error&) { ++failures; });
        record(*recorder, test::solidTexture(c.width, c.height, kRed), {0.0, 0.5});
        EXPECT_EQ(recorder->outputSize(), c.movie);
        ASSERT_FALSE(finish(*recorder, 1.0));
        EXPECT_EQ(recorder->framesWritten(), 2u);
        loop_.drain();
        EXPECT_EQ(failures, 0);
        const auto probe = MovieProbe::read(file);
        ASSERT_TRUE(probe.picture) << probe.error;
        EXPECT_EQ(probe.picture->width, c.movie.width);
        EXPECT_EQ(probe.picture->height, c.movie.height);
        EXPECT_EQ(MovieProbe::decodeAllPictures(file), 2);
    }

    // Tiny and huge sources fitted into a movie of a set size.
    const auto file = folder_ / "fitted.mov";
    auto recorder = started(file, Settings(2, 64, 36, 0), 0.0);
    record(*recorder, test::solidTexture(1, 1, kRed), {0.0});
    record(*recorder, test::solidTexture(16384, 1, kRed), {0.1});
    record(*recorder, test::solidTexture(1, 16384, kRed), {0.2});
    ASSERT_FALSE(finish(*recorder, 0.3));
    EXPECT_EQ(recorder->framesWritten(), 3u);
    EXPECT_EQ(MovieProbe::decodeAllPictures(file), 3);
}

// --- Start and finish ------------------------------------------------------------------------

TEST_F(MovieRecorderTest, RefusesToStartWithExactReasons) {
    const auto settings = Settings(0, 64, 36, 30);
    const auto expectRefusal = [](const Error& error, const std::string& message) {
        EXPECT_EQ(error.domain, "net.orvak.zarvo.MovieRecorder");
        EXPECT_EQ(error.code, -1);
        EXPECT_EQ(error.message, message);
    };
    auto recorder = make();
    Error error;

    const auto missing = folder_ / "missing";
    EXPECT_FALSE(recorder->startWriting(missing / "a.mov", settings, 0.0, &error));
    expectRefusal(error, "The folder “" + missing.string() + "” does not exist");

    const auto notFolder = folder_ / "plain";
    test::writeFile(notFolder, "x");
    EXPECT_FALSE(recorder->startWriting(notFolder / "a.mov", settings, 0.0, &error));
    expectRefusal(error, "The folder “" + notFolder.string() + "” does not exist");

    // An existing file is refused and left as it is.
    const auto existing = folder_ / "existing.mov";
    test::writeFile(existing, "keep me");
    EXPECT_FALSE(recorder->startWriting(existing, settings, 0.0, &error));
    expectRefusal(error, "“existing.mov” already exists");
    EXPECT_EQ(test::readFile(existing), "keep me");
    EXPECT_FALSE(recorder->isRecording());

    // A second start while recording.
    const auto file = folder_ / "one.mov";
    ASSERT_TRUE(recorder->startWriting(file, settings, 0.0, &error)) << error.message;
    EXPECT_TRUE(recorder->isRecording());
    EXPECT_FALSE(recorder->startWriting(folder_ / "two.mov", settings, 0.0, &error));
    expectRefusal(error, "A recording is already in progress");
    EXPECT_FALSE(std::filesystem::exists(folder_ / "two.mov"));

    // A start while the movie is still being finished: large frames keep the queue busy.
    const auto big = test::noiseTexture(1280, 720, 3);
    for (int i = 0; i < 3; ++i) {
        recorder->appendTexture(big, false, i / 30.0);
    }
    bool finished = false;
    recorder->finishAtTime(0.2, [&](const std::optional<Error>&) { finished = true; });
    EXPECT_FALSE(recorder->startWriting(folder_ / "three.mov", settings, 0.0, &error));
    expectRefusal(error, "The previous movie is still being finished");
    ASSERT_TRUE(loop_.runUntil([&] { return finished; }, 60));
    ASSERT_TRUE(recorder->startWriting(folder_ / "three.mov", settings, 0.0, &error))
        << error.message;
    const auto outcome = finish(*recorder, 0.0);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->message, "No frame was received, so no movie was written");
}

TEST_F(MovieRecorderTest, RefusesAFolderThatCannotBeWrittenTo) {
    const auto locked = folder_ / "locked";
    std::filesystem::create_directory(locked);
    std::filesystem::permissions(
        locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    if (::access(locked.c_str(), W_OK) == 0) {
        GTEST_SKIP() << "this user may write into any folder";
    }
    auto recorder = make();
    Error error;
    EXPECT_FALSE(recorder->startWriting(locked / "a.mov", Settings(0, 64, 36, 30), 0.0, &error));
    EXPECT_EQ(error.message, "The folder “" + locked.string() + "” cannot be written to");
    EXPECT_EQ(error.code, -1);
}

TEST_F(MovieRecorderTest, FinishingWithoutFramesLeavesNoMovie) {
    const auto expectNoFrame = [](const std::optional<Error>& outcome) {
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->message, "No frame was received, so no movie was written");
        EXPECT_EQ(outcome->domain, "net.orvak.zarvo.MovieRecorder");
        EXPECT_EQ(outcome->code, -1);
    };
    // With a set size the file exists from the start; it is removed.
    const auto sized = folder_ / "sized.mov";
    auto recorder = started(sized, Settings(0, 64, 36, 30, true), 0.0);
    EXPECT_TRUE(std::filesystem::exists(sized));
    recorder->appendSound(test::toneSound(4800, 48000, 440, 0.5), 0.1);
    expectNoFrame(finish(*recorder, 1.0));
    EXPECT_FALSE(std::filesystem::exists(sized));
    EXPECT_FALSE(recorder->isRecording());

    // Frames the pacer refuses (before the start time) do not count.
    const auto unsized = folder_ / "unsized.mov";
    Error error;
    ASSERT_TRUE(recorder->startWriting(unsized, Settings(3, 0, 0, 30), 10.0, &error));
    recorder->appendTexture(test::solidTexture(64, 36, kRed), false, 9.0);
    waitForFrames(*recorder);
    expectNoFrame(finish(*recorder, 11.0));
    EXPECT_EQ(recorder->framesDropped(), 0u);
    EXPECT_FALSE(std::filesystem::exists(unsized));

    // Finishing again: nothing is recording.
    const auto outcome = finish(*recorder, 12.0);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->message, "There is no recording in progress");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.path()),
                            std::filesystem::directory_iterator()),
              0);
}

// --- Frame counting --------------------------------------------------------------------------

TEST_F(MovieRecorderTest, CountsOnlyFramesThePacerKeeps) {
    const auto file = folder_ / "paced.mov";
    auto recorder = started(file, Settings(0, 64, 36, 10), 0.0);
    // 60 frames a second for 59/60 s into a 10 fps movie: each slot keeps the first frame
    // nearest to it, up to slot 10 (reached by the frame at 0.95 s).
    record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(0.0, 60, 60));
    ASSERT_FALSE(finish(*recorder, 1.1));
    EXPECT_EQ(recorder->framesWritten(), 11u);
    EXPECT_EQ(recorder->framesDropped(), 0u);
    const auto probe = MovieProbe::read(file);
    ASSERT_TRUE(probe.picture);
    std::vector<int64_t> expected;
    for (int i = 0; i <= 10; ++i) {
        expected.push_back(i * 6000);
    }
    EXPECT_EQ(probe.picture->times, expected);
}

TEST_F(MovieRecorderTest, DropsFramesWhoseTimeIsNotAfterTheLastOne) {
    const auto file = folder_ / "stale.mov";
    auto recorder = started(file, Settings(0, 64, 36, 0), 100.0);
    const auto texture = test::solidTexture(64, 36, kRed);
    // The same time twice: the second is not kept at all. A time a microsecond later is kept
    // but lands on the same movie tick: written as dropped.
    record(*recorder, texture, {100.0, 100.0, 100.000001, 100.5, 99.0});
    ASSERT_FALSE(finish(*recorder, 101.0));
    EXPECT_EQ(recorder->framesWritten(), 2u);
    EXPECT_EQ(recorder->framesDropped(), 1u);
    const auto probe = MovieProbe::read(file);
    ASSERT_TRUE(probe.picture);
    EXPECT_EQ(probe.picture->times, (std::vector<int64_t>{0, 30000}));
}

TEST_F(MovieRecorderTest, FramesWaitDeeperInTheFirstSecondThenBeyondThreeAreRefused) {
    const auto file = folder_ / "busy.mov";
    auto recorder = started(file, Settings(0, 1280, 720, 0), 0.0);
    std::vector<gpu::TextureRef> textures;
    for (uint32_t i = 0; i < 4; ++i) {
        textures.push_back(test::noiseTexture(1280, 720, i));
    }
    uint64_t appended = 0;
    double time = 0;
    const auto append = [&] {
        recorder->appendTexture(textures[appended % 4], false, time);
        ++appended;
        time += 1 / 60.0;
    };
    // In the movie's first second, frames appended at once, faster than they can be encoded,
    // wait for the encoder up to the deeper bound.
    uint64_t deepest = 0;
    for (int i = 0; i < 12; ++i) {
        append();
        deepest = std::max(deepest, recorder->framesPending());
        EXPECT_LE(recorder->framesPending(), MovieRecorder::kMaxFramesInFlightAtStart);
    }
    EXPECT_GT(deepest, MovieRecorder::kMaxFramesInFlight);
    waitForFrames(*recorder);

    // After it, at most three.
    time = MovieRecorder::kStartSeconds + 0.5;
    for (int i = 0; i < 12; ++i) {
        append();
        EXPECT_LE(recorder->framesPending(), MovieRecorder::kMaxFramesInFlight);
    }
    EXPECT_GE(recorder->framesDropped(), 1u);

    // While three are pending a frame is not wanted, and the refusal counts as dropped. The
    // queue may empty between the calls, so this is tried until three are seen pending.
    uint64_t refusals = 0;
    for (int attempt = 0; attempt < 10 && refusals == 0; ++attempt) {
        waitForFrames(*recorder);
        append();
        append();
        append();
        const uint64_t dropped = recorder->framesDropped();
        if (!recorder->wantsFrameAtTime(time)) {
            ++refusals;
            EXPECT_EQ(recorder->framesDropped(), dropped + 1);
        }
    }
    EXPECT_EQ(refusals, 1u);
    waitForFrames(*recorder);
    // Room again: wanted, and asking does not count anything; a time gone by is not wanted.
    const uint64_t dropped = recorder->framesDropped();
    EXPECT_TRUE(recorder->wantsFrameAtTime(time));
    EXPECT_FALSE(recorder->wantsFrameAtTime(time - 1));
    EXPECT_EQ(recorder->framesDropped(), dropped);

    ASSERT_FALSE(finish(*recorder, time));
    // Every frame appended ends up written or dropped, as does every refusal.
    EXPECT_EQ(recorder->framesWritten() + recorder->framesDropped(), appended + refusals);
    EXPECT_GE(recorder->framesWritten(), 4u);
    const auto probe = MovieProbe::read(file);
    ASSERT_TRUE(probe.picture);
    EXPECT_EQ(probe.picture->times.size(), recorder->framesWritten());
    EXPECT_EQ(MovieProbe::decodeAllPictures(file), static_cast<int>(recorder->framesWritten()));
    EXPECT_FALSE(recorder->wantsFrameAtTime(time + 1));
}

// --- Sound -----------------------------------------------------------------------------------

TEST_F(MovieRecorderTest, FillsGapsInTheSoundWithSilence) {
    const auto file = folder_ / "gap.mov";
    auto recorder = started(file, Settings(2, 64, 36, 10, true), 0.0);
    // A tone from 0 to 0.5 s and from 3.0 to 3.5 s; nothing arrives in between, so 2.5 s of
    // silence go in, more than one pass writes.
    auto sounds = test::toneBuffers(0.0, 0.5, 480, 48000, 1000, 0.5);
    for (const auto& later : test::toneBuffers(3.0, 0.5, 480, 48000, 1000, 0.5)) {
        sounds.push_back(later);
    }
    record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(0.0, 10, 35), sounds);
    ASSERT_FALSE(finish(*recorder, 3.5));
    EXPECT_NEAR(recorder->soundWritten(), 3.5, 1e-9);
    EXPECT_EQ(recorder->soundLeftOut(), 0.0);

    const auto probe = MovieProbe::read(file, true);
    ASSERT_TRUE(probe.sound);
    EXPECT_EQ(probe.sound->sampleCount, 168000);
    const auto& left = probe.sound->left;
    EXPECT_NEAR(test::peak(left, 0, 24000), 0.5, 0.01);
    EXPECT_NEAR(risingCrossingsPerSecond(left, 0, 24000, 48000), 1000, 5);
    EXPECT_EQ(test::peak(left, 24000, 144000), 0.0f);
    EXPECT_EQ(test::peak(probe.sound->right, 24000, 144000), 0.0f);
    EXPECT_NEAR(test::peak(left, 144000, 168000), 0.5, 0.01);
    EXPECT_NEAR(risingCrossingsPerSecond(left, 144000, 168000, 48000), 1000, 5);
}

TEST_F(MovieRecorderTest, KeepsSoundThatArrivesBeforeTheFirstFrame) {
    // The picture size comes with the first frame, half a second in; the sound from the start
    // waits for it and still begins at time 0.
    const auto file = folder_ / "early-sound.mov";
    auto recorder = started(file, Settings(2, 0, 0, 10, true), 20.0);
    const auto sounds = test::toneBuffers(20.0, 1.0, 480, 48000, 1000, 0.5);
    for (size_t i = 0; i < 50; ++i) {
        recorder->appendSound(sounds[i].sound, sounds[i].time);
    }
    loop_.runFor(0.05);
    EXPECT_EQ(recorder->soundWritten(), 0.0);
    record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(20.5, 10, 5),
           std::vector<TimedSound>(sounds.begin() + 50, sounds.end()));
    ASSERT_FALSE(finish(*recorder, 21.0));
    EXPECT_NEAR(recorder->soundWritten(), 1.0, 1e-9);
    EXPECT_EQ(recorder->soundLeftOut(), 0.0);
    const auto probe = MovieProbe::read(file, true);
    ASSERT_TRUE(probe.picture && probe.sound);
    EXPECT_EQ(probe.picture->times, (std::vector<int64_t>{30000, 36000, 42000, 48000, 54000}));
    EXPECT_EQ(probe.sound->sampleCount, 48000);
    EXPECT_NEAR(test::peak(probe.sound->left, 0, 24000), 0.5, 0.01);
    EXPECT_NEAR(risingCrossingsPerSecond(probe.sound->left, 0, 48000, 48000), 1000, 5);
}

TEST_F(MovieRecorderTest, ResamplesSoundTo48kHz) {
    const auto file = folder_ / "resampled.mov";
    auto recorder = started(file, Settings(2, 64, 36, 10, true), 0.0);
    // One second at 44.1 kHz, then one at 48 kHz, then half a second at 32 kHz.
    auto sounds = test::toneBuffers(0.0, 1.0, 441, 44100, 1000, 0.5);
    for (const auto& next : test::toneBuffers(1.0, 1.0, 480, 48000, 2000, 0.5)) {
        sounds.push_back(next);
    }
    for (const auto& next : test::toneBuffers(2.0, 0.5, 320, 32000, 500, 0.5)) {
        sounds.push_back(next);
    }
    record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(0.0, 10, 25), sounds);
    ASSERT_FALSE(finish(*recorder, 2.5));
    EXPECT_NEAR(recorder->soundWritten(), 2.5, 0.01);

    const auto probe = MovieProbe::read(file, true);
    ASSERT_TRUE(probe.sound);
    EXPECT_EQ(probe.sound->sampleRate, 48000);
    EXPECT_NEAR(static_cast<double>(probe.sound->sampleCount), 120000, 480);
    const auto& left = probe.sound->left;
    EXPECT_NEAR(risingCrossingsPerSecond(left, 2400, 45600, 48000), 1000, 10);
    EXPECT_NEAR(risingCrossingsPerSecond(left, 50400, 93600, 48000), 2000, 20);
    EXPECT_NEAR(risingCrossingsPerSecond(left, 98400, 117600, 48000), 500, 10);
    // Each rate's sound follows the one before without a gap.
    EXPECT_GT(test::peak(left, 47000, 49000), 0.4f);
    EXPECT_GT(test::peak(left, 95000, 97000), 0.4f);
}

TEST_F(MovieRecorderTest, KeepsTheLastTwoSecondsOfALongSoundBuffer) {
    const auto file = folder_ / "long.mov";
    auto recorder = started(file, Settings(2, 64, 36, 2, true), 0.0);
    // Five seconds in one buffer, the first 3 s at 0.25 and the last 2 s at 0.75.
    std::vector<float> samples(2 * 240000);
    for (size_t i = 0; i < 240000; ++i) {
        samples[2 * i] = samples[2 * i + 1] = i < 144000 ? 0.25f : 0.75f;
    }
    const auto sound =
        SourceSound::soundWithInterleavedStereoSamples(samples.data(), 240000, 48000);
    record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(0.0, 2, 10), {{sound, 5.0}});
    EXPECT_NEAR(recorder->soundLeftOut(), 3.0, 1e-9);
    ASSERT_FALSE(finish(*recorder, 5.0));
    EXPECT_NEAR(recorder->soundLeftOut(), 3.0, 1e-9);
    EXPECT_NEAR(recorder->soundWritten(), 5.0, 1e-9);

    // The kept 2 s sit where they arrived, after 3 s of silence.
    const auto probe = MovieProbe::read(file, true);
    ASSERT_TRUE(probe.sound);
    EXPECT_EQ(probe.sound->sampleCount, 240000);
    EXPECT_EQ(test::peak(probe.sound->left, 0, 144000), 0.0f);
    EXPECT_NEAR(test::peak(probe.sound->left, 144000, 240000), 0.75, 0.001);
    EXPECT_NEAR(probe.sound->left[144000], 0.75, 0.001);
}

TEST_F(MovieRecorderTest, AMovieThatGotNoSoundHasNoSoundTrack) {
    // Short movies, and one of 12 s whose header went out with its first fragment at 10 s.
    for (int64_t codec : {0, 3, 1}) {
        SCOPED_TRACE(codec);
        const auto file = folder_ / ("silent" + std::to_string(codec) + ".mov");
        const double fps = codec == 1 ? 2 : 30;
        auto recorder = started(file, Settings(codec, 64, 36, fps, true), 0.0);
        record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(0.0, fps, 24));
        ASSERT_FALSE(finish(*recorder, 24 / fps));
        EXPECT_EQ(recorder->soundWritten(), 0.0);
        const auto probe = MovieProbe::read(file);
        ASSERT_TRUE(probe.opened) << probe.error;
        EXPECT_EQ(probe.streamCount, 1);
        EXPECT_FALSE(probe.sound);
        ASSERT_TRUE(probe.picture);
        EXPECT_EQ(probe.picture->times.size(), 24u);
        EXPECT_NEAR(probe.picture->end, 24 / fps, 1e-9);
        EXPECT_EQ(MovieProbe::decodeAllPictures(file), 24);
    }
}

TEST_F(MovieRecorderTest, SurvivesSoundItCannotUse) {
    const auto file = folder_ / "odd.mov";
    auto recorder = started(file, Settings(0, 64, 36, 10, true), 0.0);
    recorder->appendSound(nullptr, 0.1);
    // Rates the converter cannot take, or barely can.
    for (double rate : {0.5, 1.0, 3.0, 7.0, 1e-300, 2e6, 1e12, 1e300, 44100.5}) {
        SCOPED_TRACE(rate);
        recorder->appendSound(test::toneSound(10, rate, 0, 0.5), 0.05);
    }
    recorder->appendSound(test::toneSound(24000, 48000, 440, 0.5), 0.5);
    record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(0.0, 10, 10));
    ASSERT_FALSE(finish(*recorder, 1.0));
    EXPECT_GE(recorder->soundWritten(), 0.5);
    EXPECT_TRUE(std::isfinite(recorder->soundLeftOut()));
    // After the movie has ended, sound and frames change nothing.
    const double written = recorder->soundWritten();
    recorder->appendSound(test::toneSound(4800, 48000, 440, 0.5), 1.1);
    recorder->appendTexture(test::solidTexture(64, 36, kRed), false, 1.1);
    EXPECT_FALSE(recorder->wantsFrameAtTime(1.2));
    EXPECT_EQ(recorder->soundWritten(), written);
    EXPECT_EQ(recorder->framesWritten(), 10u);
    EXPECT_EQ(recorder->framesPending(), 0u);
    const auto probe = MovieProbe::read(file, true);
    ASSERT_TRUE(probe.sound);
    EXPECT_EQ(MovieProbe::decodeAllPictures(file), 10);
}

// --- Pictures --------------------------------------------------------------------------------

TEST_F(MovieRecorderTest, KeepsTransparencyInProRes4444Only) {
    // Left half opaque red, right half a quarter opaque green.
    const auto texture = test::paintedTexture(64, 36, [](int64_t x, int64_t) {
        return x < 32 ? kRed : Bgra{0, 255, 0, 64};
    });
    for (int64_t codec : {3, 0}) {
        SCOPED_TRACE(codec);
        const auto file = folder_ / ("alpha" + std::to_string(codec) + ".mov");
        auto recorder = started(file, Settings(codec, 64, 36, 30), 0.0);
        record(*recorder, texture, {0.0});
        ASSERT_FALSE(finish(*recorder, 0.1));
        int width = 0;
        int height = 0;
        const auto rgba = MovieProbe::decodePicture(file, 0, &width, &height);
        ASSERT_EQ(rgba.size(), 64u * 36u * 4u);
        const Rgba left = PixelAt(rgba, width, 10, 18);
        const Rgba right = PixelAt(rgba, width, 54, 18);
        EXPECT_GT(left.r, 230);
        EXPECT_LT(left.g, 25);
        EXPECT_EQ(left.a, 255);
        EXPECT_GT(right.g, 200);
        EXPECT_LT(right.r, 25);
        if (codec == 3) {
            EXPECT_NEAR(right.a, 64, 2);
        } else {
            EXPECT_EQ(right.a, 255);
        }
    }
}

TEST_F(MovieRecorderTest, FitsPicturesWithBlackOrTransparentBars) {
    // A square source in a 16:9 movie: bars left and right.
    const auto square = test::solidTexture(36, 36, kGreen);
    // A wide source in a 4:3 movie: bars above and below.
    const auto wide = test::solidTexture(64, 16, kGreen);
    for (int64_t codec : {0, 1, 2, 3}) {
        SCOPED_TRACE(codec);
        const auto file = folder_ / ("bars" + std::to_string(codec) + ".mov");
        auto recorder = started(file, Settings(codec, 64, 36, 0), 0.0);
        record(*recorder, square, {0.0});
        const auto second = folder_ / ("bars-wide" + std::to_string(codec) + ".mov");
        ASSERT_FALSE(finish(*recorder, 0.1));
        Error error;
        ASSERT_TRUE(recorder->startWriting(second, Settings(codec, 64, 48, 0), 0.0, &error));
        record(*recorder, wide, {0.0});
        ASSERT_FALSE(finish(*recorder, 0.1));

        const bool transparent = codec == 3;
        const auto expectBar = [&](const Rgba& p, int line = __builtin_LINE()) {
            SCOPED_TRACE(line);
            EXPECT_LT(p.r + p.g + p.b, 30) << p.r << " " << p.g << " " << p.b << " " << p.a;
            EXPECT_EQ(p.a, transparent ? 0 : 255);
        };
        const auto expectPicture = [](const Rgba& p) {
            EXPECT_GT(p.g, 200);
            EXPECT_EQ(p.a, 255);
        };
        int width = 0;
        int height = 0;
        auto rgba = MovieProbe::decodePicture(file, 0, &width, &height);
        ASSERT_EQ(rgba.size(), 64u * 36u * 4u);
        expectBar(PixelAt(rgba, width, 2, 18));
        expectBar(PixelAt(rgba, width, 61, 18));
        expectPicture(PixelAt(rgba, width, 32, 18));
        expectPicture(PixelAt(rgba, width, 20, 2));
        expectPicture(PixelAt(rgba, width, 43, 33));

        rgba = MovieProbe::decodePicture(second, 0, &width, &height);
        ASSERT_EQ(rgba.size(), 64u * 48u * 4u);
        expectBar(PixelAt(rgba, width, 32, 4));
        expectBar(PixelAt(rgba, width, 32, 44));
        expectPicture(PixelAt(rgba, width, 32, 24));
        expectPicture(PixelAt(rgba, width, 2, 20));
    }
}

TEST_F(MovieRecorderTest, TurnsFlippedTexturesUpright) {
    // In memory: blue rows first, then red. Stored bottom row first, the picture shows red at
    // the top.
    const auto texture =
        test::paintedTexture(64, 36, [](int64_t, int64_t y) { return y < 18 ? kBlue : kRed; });
    for (bool flipped : {true, false}) {
        SCOPED_TRACE(flipped);
        const auto file = folder_ / (flipped ? "flipped.mov" : "upright.mov");
        // A different size, so the fitting scales as it turns.
        auto recorder = started(file, Settings(0, 128, 72, 30), 0.0);
        record(*recorder, texture, {0.0}, {}, flipped);
        ASSERT_FALSE(finish(*recorder, 0.1));
        int width = 0;
        int height = 0;
        const auto rgba = MovieProbe::decodePicture(file, 0, &width, &height);
        ASSERT_EQ(rgba.size(), 128u * 72u * 4u);
        const Rgba top = PixelAt(rgba, width, 64, 8);
        const Rgba bottom = PixelAt(rgba, width, 64, 64);
        EXPECT_GT(flipped ? top.r : top.b, 200);
        EXPECT_LT(flipped ? top.b : top.r, 30);
        EXPECT_GT(flipped ? bottom.b : bottom.r, 200);
        EXPECT_LT(flipped ? bottom.r : bottom.b, 30);
    }
}

TEST_F(MovieRecorderTest, SoundWithInvalidSamplesDoesNotEndTheMovie) {
    for (int64_t codec : {0, 2}) {
        SCOPED_TRACE(codec);
        const auto file = folder_ / ("invalid" + std::to_string(codec) + ".mov");
        auto recorder = started(file, Settings(codec, 64, 36, 10, true), 0.0);
        int failures = 0;
        recorder->setFailureHandler([&](const Error&) { ++failures; });
        // A buffer holding a sample that is not a number, infinities and a huge value.
        std::vector<float> samples(2 * 4800, 0.25f);
        samples[10] = std::numeric_limits<float>::quiet_NaN();
        samples[2001] = std::numeric_limits<float>::infinity();
        samples[4000] = -std::numeric_limits<float>::infinity();
        samples[6000] = 1e30f;
        auto sounds = test::toneBuffers(0.0, 0.2, 480, 48000, 440, 0.5);
        sounds.push_back(
            {SourceSound::soundWithInterleavedStereoSamples(samples.data(), 4800, 48000), 0.3});
        for (const auto& later : test::toneBuffers(0.3, 0.7, 480, 48000, 440, 0.5)) {
            sounds.push_back(later);
        }
        record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(0.0, 10, 10), sounds);
        ASSERT_FALSE(finish(*recorder, 1.0));
        loop_.drain();
        EXPECT_EQ(failures, 0);
        EXPECT_EQ(recorder->framesWritten(), 10u);
        EXPECT_NEAR(recorder->soundWritten(), 1.0, 1e-9);
        const auto probe = MovieProbe::read(file, true);
        ASSERT_TRUE(probe.sound);
        EXPECT_GE(probe.sound->sampleCount, 48000);
        for (float sample : probe.sound->left) {
            ASSERT_TRUE(std::isfinite(sample));
            ASSERT_LE(std::fabs(sample), 1.5f);
        }
    }
}

TEST_F(MovieRecorderTest, ARecorderLetGoMidMovieLeavesAPlayableMovie) {
    const auto file = folder_ / "abandoned.mov";
    std::weak_ptr<MovieRecorder> weak;
    {
        auto recorder = started(file, Settings(0, 64, 36, 30, true), 0.0);
        weak = recorder;
        record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(0.0, 30, 15),
               test::toneBuffers(0.0, 0.5, 480, 48000, 440, 0.5));
    }
    ASSERT_TRUE(loop_.runUntil([&] { return weak.expired(); }, 30));
    // The last hold may be a queue task's: the weak pointer then expires as the recorder's
    // destructor starts on that queue's thread, and the file is whole once it has returned.
    test::waitFor(
        [&] {
            const auto written = MovieProbe::read(file);
            return written.picture && written.picture->times.size() >= 15;
        },
        30);
    const auto probe = MovieProbe::read(file);
    ASSERT_TRUE(probe.picture) << probe.error;
    EXPECT_EQ(probe.picture->times.size(), 15u);
    EXPECT_EQ(MovieProbe::decodeAllPictures(file), 15);
}

// --- Failure ---------------------------------------------------------------------------------

TEST_F(MovieRecorderTest, ReportsAWriteFailureOnceOnTheMainThread) {
    const auto file = folder_ / "blocked.mov";
    auto recorder = started(file, Settings(0, 0, 0, 30, true), 0.0);
    std::vector<Error> failures;
    recorder->setFailureHandler([&](const Error& error) {
        EXPECT_TRUE(loop_.isMainThread());
        failures.push_back(error);
    });
    // Something takes the file's name before the first frame makes it.
    std::filesystem::create_directory(file);
    recorder->appendSound(test::toneSound(4800, 48000, 440, 0.5), 0.1);
    for (int i = 0; i < 6; ++i) {
        recorder->appendTexture(test::solidTexture(64, 36, kRed), false, i / 30.0);
        waitForFrames(*recorder);
    }
    ASSERT_TRUE(loop_.runUntil([&] { return !failures.empty(); }, 30));
    loop_.runFor(0.05);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].domain, "POSIX");
    EXPECT_EQ(failures[0].code, EEXIST);
    EXPECT_EQ(failures[0].message, std::strerror(EEXIST));
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_EQ(recorder->framesWritten(), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(file));

    const auto outcome = finish(*recorder, 1.0);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->message, "There is no recording in progress");

    // The recorder can write the next movie.
    const auto next = folder_ / "next.mov";
    Error error;
    ASSERT_TRUE(loop_.runUntil(
        [&] { return recorder->startWriting(next, Settings(0, 0, 0, 30), 0.0, &error); }, 10))
        << error.message;
    record(*recorder, test::solidTexture(64, 36, kRed), FrameTimes(0.0, 30, 3));
    ASSERT_FALSE(finish(*recorder, 0.1));
    EXPECT_EQ(MovieProbe::decodeAllPictures(next), 3);
    EXPECT_EQ(failures.size(), 1u);
}

}  // namespace
}  // namespace zarvo
