// What is left of a movie when its process dies or its disk fills up mid-take. The recording
// runs in a child process (zarvo_movie_child).

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "tests/support/ChildProcess.h"

#include "tests/support/MovieBoxes.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using test::MovieProbe;

// Reads the child's "key value" lines until it closes its output.
std::map<std::string, std::string> ReadReport(test::ChildProcess& child, double timeoutSeconds) {
    std::map<std::string, std::string> report;
    for (std::string line; !(line = child.readLine(timeoutSeconds)).empty();) {
        const size_t space = line.find(' ');
        report[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return report;
}

TEST(MovieRecorderCrashTest, AMovieKilledMidTakePlaysUpToItsLastFragment) {
    test::TestFolder folder;
    const auto file = folder / "killed.mov";
    test::ChildProcess child({ZARVO_MOVIE_CHILD, "record", file.string()});
    ASSERT_TRUE(child.started());
    const std::string line = child.readLine(300);
    ASSERT_EQ(line, "written 375");
    child.signal(SIGKILL);
    EXPECT_EQ(child.wait(60), 128 + SIGKILL);

    // Fragments are cut every 10 s of movie time: the first one, pictures 0 to 299, is whole
    // on disk; what came after it was still in memory.
    const auto probe = MovieProbe::read(file, true);
    ASSERT_TRUE(probe.opened) << probe.error;
    ASSERT_TRUE(probe.picture);
    EXPECT_EQ(probe.picture->codec, "h264");
    ASSERT_GE(probe.picture->times.size(), 300u);
    EXPECT_LT(probe.picture->times.size(), 375u);
    for (size_t i = 0; i < probe.picture->times.size(); ++i) {
        ASSERT_EQ(probe.picture->times[i], static_cast<int64_t>(i) * 2000) << i;
    }
    EXPECT_EQ(MovieProbe::decodeAllPictures(file), static_cast<int>(probe.picture->times.size()));
    ASSERT_TRUE(probe.sound);
    EXPECT_GE(probe.sound->sampleCount, 10 * 48000 - 2048);
    EXPECT_LE(probe.sound->sampleCount, 13 * 48000);
}

TEST(MovieRecorderCrashTest, AFullDiskStopsTheMovieAndKeepsWhatWasWritten) {
    test::TestFolder folder;
    const auto file = folder / "full.mov";
    test::ChildProcess child({ZARVO_MOVIE_CHILD, "fill", file.string()});
    ASSERT_TRUE(child.started());
    auto report = ReadReport(child, 300);
    EXPECT_EQ(child.wait(60), 0);
    ASSERT_TRUE(report.contains("limited")) << report["error"];

    // The failure reached the handler once, on the main thread, with the system's reason.
    EXPECT_EQ(report["failures"], "1");
    EXPECT_EQ(report["onmain"], "1");
    EXPECT_EQ(report["domain"], "POSIX");
    EXPECT_EQ(report["code"], std::to_string(EFBIG));
    EXPECT_EQ(report["message"], std::strerror(EFBIG));
    EXPECT_EQ(report["recording"], "0");
    EXPECT_EQ(report["finish"], "There is no recording in progress");
    EXPECT_EQ(report["next"], "ok");
    EXPECT_LT(std::stoi(report["frames"]), 3000);

    // What was written before the disk filled up still plays.
    const auto probe = MovieProbe::read(file);
    ASSERT_TRUE(probe.opened) << probe.error;
    ASSERT_TRUE(probe.picture);
    EXPECT_GE(probe.picture->times.size(), 300u);
    EXPECT_GE(MovieProbe::decodeAllPictures(file), 300);
    EXPECT_EQ(MovieProbe::decodeAllPictures(folder / "next.mov"), 3);
}

// The whole 12.5 s movie of the finishing children, with either reader.
void ExpectWholeMovie(const std::filesystem::path& file) {
    const auto probe = MovieProbe::read(file, true);
    ASSERT_TRUE(probe.opened) << probe.error;
    ASSERT_TRUE(probe.picture);
    ASSERT_EQ(probe.picture->times.size(), 375u);
    for (size_t i = 0; i < probe.picture->times.size(); ++i) {
        ASSERT_EQ(probe.picture->times[i], static_cast<int64_t>(i) * 2000) << i;
    }
    EXPECT_NEAR(probe.picture->end, 12.5, 1e-9);
    ASSERT_TRUE(probe.sound);
    EXPECT_GE(probe.sound->sampleCount, 375 * 1600);
    EXPECT_LE(probe.sound->sampleCount, 375 * 1600 + 1024);
    EXPECT_EQ(MovieProbe::decodeAllPictures(file), 375);
    EXPECT_EQ(MovieProbe::gstreamerPictureCount(file), 375);
}

TEST(MovieRecorderCrashTest, AMovieKilledWhileBeingFinishedPlaysInFullAtEveryStep) {
    test::TestFolder folder;
    for (int step = 0; step <= 4; ++step) {
        SCOPED_TRACE(step);
        const auto file = folder / ("finishing" + std::to_string(step) + ".mov");
        test::ChildProcess child(
            {ZARVO_MOVIE_CHILD, "finish", file.string(), std::to_string(step)});
        ASSERT_TRUE(child.started());
        ASSERT_EQ(child.readLine(300), "step " + std::to_string(step));
        child.signal(SIGKILL);
        EXPECT_EQ(child.wait(60), 128 + SIGKILL);

        // Until the last step, the fragmented header is the first one and readers take it; from
        // the last step on, the finished header is the only one.
        const auto top = test::topLevelBoxes(file);
        ASSERT_GE(top.size(), 3u);
        if (step < 4) {
            EXPECT_EQ(top[1].type, "moov");
            EXPECT_FALSE(test::boxesAt(file, "moov/mvex").empty());
            EXPECT_EQ(test::countTopLevel(file, "moof"), 2u);
        } else {
            EXPECT_EQ(test::countTopLevel(file, "moov"), 1u);
            EXPECT_EQ(test::countTopLevel(file, "moof"), 0u);
            EXPECT_TRUE(test::boxesAt(file, "moov/mvex").empty());
        }
        ExpectWholeMovie(file);
    }
}

TEST(MovieRecorderCrashTest, AFullDiskWhileFinishingKeepsTheFragmentedMovie) {
    test::TestFolder folder;
    const auto file = folder / "unfinished.mov";
    test::ChildProcess child({ZARVO_MOVIE_CHILD, "finishfull", file.string()});
    ASSERT_TRUE(child.started());
    auto report = ReadReport(child, 300);
    EXPECT_EQ(child.wait(60), 0);
    ASSERT_TRUE(report.contains("size")) << report["error"];

    // The writer's failure is the system's reason, as for any failed write of the movie.
    EXPECT_EQ(report["domain"], "POSIX");
    EXPECT_EQ(report["code"], std::to_string(EFBIG));
    EXPECT_EQ(report["message"], std::strerror(EFBIG));

    // The part of the new header that fitted was cut off again: the fragmented movie, whole.
    EXPECT_EQ(std::to_string(std::filesystem::file_size(file)), report["size"]);
    EXPECT_EQ(test::countTopLevel(file, "moov"), 1u);
    EXPECT_EQ(test::countTopLevel(file, "moof"), 2u);
    EXPECT_EQ(test::countTopLevel(file, "mfra"), 1u);
    ExpectWholeMovie(file);
}

}  // namespace
}  // namespace zarvo
