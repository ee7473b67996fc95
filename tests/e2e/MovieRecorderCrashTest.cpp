// What is left of a movie when its process dies or its disk fills up mid-take. The recording
// runs in a child process (zarvo_movie_child).

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "tests/support/ChildProcess.h"

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

}  // namespace
}  // namespace zarvo
