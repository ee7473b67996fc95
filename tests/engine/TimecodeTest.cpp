// Every movie carries a timecode track that starts at the take's time of day: labels as editors
// count them (drop-frame at 29.97 and 59.94), read back by the media library and by mediainfo
// from a movie cut short and from a finished one, with the timecode track kept by finishing.

#include "engine/Timecode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/MovieWriter.h"
#include "tests/support/MovieBoxes.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/TestFolder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/timecode.h>
}

namespace zarvo {
namespace {

using test::MovieProbe;

// The label the media library gives the frame count at the rate.
std::string LibraryLabel(int64_t frame, const TimecodeRate& rate) {
    AVTimecode timecode{};
    const AVRational fps = rate.exact == rate.framesPerSecond
                               ? AVRational{rate.framesPerSecond, 1}
                               : AVRational{rate.framesPerSecond * 1000, 1001};
    av_timecode_init(&timecode, fps, rate.dropFrame ? AV_TIMECODE_FLAG_DROPFRAME : 0, 0, nullptr);
    char text[AV_TIMECODE_STR_SIZE];
    return av_timecode_make_string(&timecode, text, static_cast<int>(frame));
}

TEST(TimecodeTest, RatesAndLabelsAreThoseEditorsUse) {
    EXPECT_EQ(timecodeRateFor(25), (TimecodeRate{25, false, 25}));
    EXPECT_EQ(timecodeRateFor(30), (TimecodeRate{30, false, 30}));
    EXPECT_EQ(timecodeRateFor(29.97), (TimecodeRate{30, true, 30000.0 / 1001}));
    EXPECT_EQ(timecodeRateFor(59.94), (TimecodeRate{60, true, 60000.0 / 1001}));
    EXPECT_EQ(timecodeRateFor(23.976), (TimecodeRate{24, false, 24000.0 / 1001}));
    EXPECT_EQ(timecodeRateFor(50), (TimecodeRate{50, false, 50}));
    // Rates timecode cannot count, exactly or not at all; a measured rate finds its neighbour.
    for (const double odd : {0.0, -25.0, 12.0, 27.0, 29.5, 240.0}) {
        EXPECT_FALSE(timecodeRateFor(odd)) << odd;
    }
    EXPECT_EQ(timecodeRateFor(29.4, 0.03), timecodeRateFor(29.97));
    EXPECT_EQ(timecodeRateFor(24.6, 0.03), timecodeRateFor(25));

    // Every label of a day's first hour, and around midnight, agrees with the media library's.
    for (const double fps : {24.0, 25.0, 29.97, 30.0, 50.0, 59.94, 60.0}) {
        const TimecodeRate rate = *timecodeRateFor(fps);
        for (int64_t frame = 0; frame < 3600 * 60; frame += 7) {
            ASSERT_EQ(timecodeText(frame, rate), LibraryLabel(frame, rate)) << fps << " " << frame;
        }
        const int64_t lastOfDay = timecodeFrameAt(86399.9999, rate);
        EXPECT_EQ(timecodeText(lastOfDay, rate), LibraryLabel(lastOfDay, rate));
        EXPECT_EQ(timecodeText(lastOfDay, rate).substr(0, 8), "23:59:59");
        EXPECT_EQ(timecodeFrameAt(86400.0, rate), 0) << "the day wraps";
    }

    // A time of day lands on its frame: 10:00 at 25 fps, and 10 minutes at 29.97, where
    // drop-frame labels meet the clock again.
    EXPECT_EQ(timecodeText(timecodeFrameAt(36000.0, *timecodeRateFor(25)), *timecodeRateFor(25)),
              "10:00:00:00");
    EXPECT_EQ(
        timecodeText(timecodeFrameAt(600.001, *timecodeRateFor(29.97)), *timecodeRateFor(29.97)),
        "00:10:00;00");
    EXPECT_EQ(timecodeText(1800, *timecodeRateFor(29.97)), "00:01:00;02");

    // Both clocks are read together, the time of day within the day.
    const ClockPair clocks = readClockPair();
    EXPECT_GE(clocks.secondsOfDay, 0);
    EXPECT_LT(clocks.secondsOfDay, 86400);
    EXPECT_LT(clocks.spread, 0.001);
    std::printf("time of day read within %.3f µs of the host clock\n", clocks.spread * 1e6);
}

// Writes `pictures` frames of the rate; the writer is handed back unfinished.
std::unique_ptr<MovieWriter> WritePictures(const MovieWriter::Options& options, int pictures) {
    Error error;
    auto writer = MovieWriter::open(options, &error);
    EXPECT_TRUE(writer) << error.message;
    if (!writer) {
        return nullptr;
    }
    const double slot = 60000.0 / options.framesPerSecond;
    for (int i = 0; i < pictures; ++i) {
        AVFrame* frame = writer->pictureFrame();
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? frame->height : frame->height / 2;
            std::memset(frame->data[plane], 16 + 3 * i,
                        static_cast<size_t>(frame->linesize[plane]) * rows);
        }
        EXPECT_TRUE(writer->appendPicture(frame, std::llround(i * slot)));
    }
    return writer;
}

class TimecodeMovieTest : public ::testing::TestWithParam<double> {
  protected:
    test::TestFolder folder_;
};

TEST_P(TimecodeMovieTest, MoviesCutShortAndFinishedCarryTheStartTimecode) {
    const double fps = GetParam();
    const TimecodeRate rate = *timecodeRateFor(fps);
    // 14:32:05 and a bit: a start in the middle of a second, past the first minute.
    const MovieTimecode timecode{rate, timecodeFrameAt(52325.4, rate), "Cam A"};
    const std::string label = timecodeText(timecode.startFrame, rate);
    MovieWriter::Options options;
    options.codec = 0;
    options.width = 160;
    options.height = 90;
    options.framesPerSecond = fps;
    options.timecode = timecode;

    // Cut short: the writer goes away without finishing, the movie stays fragmented. 12 s
    // leave a whole fragment and the one in memory, written as the writer goes.
    options.file = folder_ / "cut.mov";
    WritePictures(options, static_cast<int>(12 * fps)).reset();
    ASSERT_EQ(test::countTopLevel(options.file, "moof"), 2u);

    // Finished: an ordinary movie.
    options.file = folder_ / "finished.mov";
    auto writer = WritePictures(options, static_cast<int>(12 * fps));
    ASSERT_TRUE(writer->finish(std::llround(12 * 60000.0)));
    ASSERT_EQ(test::countTopLevel(options.file, "moof"), 0u);

    for (const char* name : {"cut.mov", "finished.mov"}) {
        SCOPED_TRACE(name);
        const auto file = folder_ / name;
        const MovieProbe probe = MovieProbe::read(file);
        ASSERT_TRUE(probe.opened) << probe.error;
        EXPECT_EQ(probe.timecode, label);
        EXPECT_EQ(probe.reelName, "Cam A");
        EXPECT_EQ(MovieProbe::mediainfoTimecode(file), label);
        ASSERT_TRUE(probe.picture);
        EXPECT_NEAR(probe.picture->end, 12.0, 0.1);
    }
    // Finished, the timecode lasts as long as the pictures.
    EXPECT_NEAR(MovieProbe::read(folder_ / "finished.mov").timecodeDuration, 12.0, 0.1);

    // The finished header: the picture track refers to the timecode track, which keeps its
    // sample description and its one sample.
    const auto& finished = folder_ / "finished.mov";
    const auto tracks = test::boxesAt(finished, "moov/trak");
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(test::boxesAt(finished, "moov/trak/tref/tmcd").size(), 1u);
    EXPECT_EQ(test::boxesAt(finished, "moov/trak/mdia/minf/stbl/stsd").size(), 2u);
    EXPECT_EQ(test::boxesAt(finished, "moov/trak/mdia/minf/gmhd/tmcd").size(), 1u);
    EXPECT_EQ(test::boxesAt(finished, "moov/mvex").size(), 0u);
}

std::string RateName(const ::testing::TestParamInfo<double>& info) {
    return info.param == 25 ? "fps25" : info.param == 30 ? "fps30" : "fps29_97";
}

INSTANTIATE_TEST_SUITE_P(Rates, TimecodeMovieTest, ::testing::Values(25.0, 29.97, 30.0), RateName);

}  // namespace
}  // namespace zarvo
