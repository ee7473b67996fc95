// The recorder program with its window, on a virtual X server of the test's own: a source is
// chosen over OSC, the take is started from the keyboard (Ctrl+R, sent through the X server's
// test extension), and SIGTERM while recording finishes the movie before the program exits 0.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "remote/OSCMessage.h"
#include "tests/e2e/RecorderProgram.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/ProgramEnvironment.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The first element of an address's value, read over OSCQuery; null when there is none.
json ValueAt(long queryPort, const std::string& address) {
    const auto answer = test::httpGetJson(queryPort, address + "?VALUE");
    if (!answer || !answer->contains("VALUE") || (*answer)["VALUE"].empty()) {
        return nullptr;
    }
    return (*answer)["VALUE"][0];
}

// The program of that name found along PATH (children are started without a search), or the
// bare name, which then fails to start.
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "/usr/bin:/bin";
    for (size_t begin = 0; begin <= rest.size();) {
        const size_t end = std::min(rest.find(':', begin), rest.size());
        const fs::path candidate = fs::path(rest.substr(begin, end - begin)) / name;
        if (end > begin && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        begin = end + 1;
    }
    return name;
}

// A virtual X server on the first free display number, reachable only through its local
// socket. The server writes the number it took once it accepts clients.
class VirtualDisplay {
  public:
    VirtualDisplay()
        : server_({FindProgram("Xvfb"), "-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                   "1280x800x24"}) {
        const std::string number = server_.readLine(30);
        if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos) {
            name_ = ":" + number;
        }
    }
    ~VirtualDisplay() {
        server_.signal(SIGTERM);
        server_.wait(10);
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // ":N", or empty when the server did not start.
    const std::string& name() const { return name_; }

  private:
    test::ChildProcess server_;
    std::string name_;
};

class WindowProgramTest : public ::testing::Test {
  protected:
    WindowProgramTest()
        : display_("DISPLAY", screen_.name().c_str()),
          // Only the X server: the program must choose it by itself.
          wayland_("WAYLAND_DISPLAY", nullptr),
          platform_("QT_QPA_PLATFORM", nullptr) {}

    // Under AddressSanitizer with strict string checks, the X keyboard library's strndup of a
    // keymap name that is not NUL-terminated within its length (which strndup allows) is taken
    // for an overflow; the program's own code stays fully checked.
    std::string sanitizerOptions() const {
        const fs::path suppressions = folder_ / "asan-suppressions.txt";
        std::ofstream(suppressions) << "interceptor_via_lib:libxkbcommon-x11.so\n";
        const char* options = std::getenv("ASAN_OPTIONS");
        return std::string(options ? options : "") + ":suppressions=" + suppressions.string();
    }

    // The desktop's message bus library keeps a buffer of its connection past the end of the
    // program; added to the project's own leak suppressions, which a later option overrides.
    std::string leakOptions() const {
        const char* options = std::getenv("LSAN_OPTIONS");
        const std::string given = options ? options : "";
        const fs::path suppressions = folder_ / "lsan-suppressions.txt";
        std::ofstream file(suppressions);
        if (const auto at = given.find("suppressions="); at != std::string::npos) {
            const size_t begin = at + std::string("suppressions=").size();
            file << test::readFile(given.substr(begin, given.find(':', begin) - begin)) << "\n";
        }
        file << "leak:libdbus-1.so\n";
        return given + ":suppressions=" + suppressions.string();
    }

    test::ProgramEnvironment environment_;
    const test::TestFolder& folder_ = environment_.folder();
    const long firstPort_ = environment_.firstPort();
    VirtualDisplay screen_;
    test::ScopedEnv display_;
    test::ScopedEnv wayland_;
    test::ScopedEnv platform_;
};

TEST_F(WindowProgramTest, CtrlRRecordsAndSigtermFinishesTheMovieBeforeExiting) {
    ASSERT_NE(firstPort_, 0);
    ASSERT_FALSE(screen_.name().empty()) << "Xvfb did not start (scripts/setup.sh installs xvfb)";
    test::ChildProcess pattern(
        {ZARVO_TEST_SOURCE, "--name", "Test Pattern", "--size", "320x180", "--fps", "30"});
    ASSERT_TRUE(pattern.started());

    const test::ScopedEnv sanitizer("ASAN_OPTIONS", sanitizerOptions().c_str());
    const test::ScopedEnv leaks("LSAN_OPTIONS", leakOptions().c_str());
    test::RecorderProgram recorder(ZARVO_RECORDER, {"--lang", "en"});
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    ASSERT_TRUE(recorder.waitForLine("ZarvoRecorder is running with its window", 10))
        << recorder.output();

    const fs::path movies = folder_ / "movies";
    test::sendDatagram(recorder.oscPort,
                       test::OSCBundle({OSCMessage("/folder", {movies.string()}),
                                        OSCMessage("/name", {std::string("Keyboard")}),
                                        OSCMessage("/source/1", {std::string("pattern")})}));
    ASSERT_TRUE(test::waitFor(
        [&] { return ValueAt(recorder.queryPort, "/status/source/1/online") == 1; }, 30))
        << recorder.output();

    // Ctrl+R in the window, as a user presses it.
    test::ChildProcess search(
        {FindProgram("xdotool"), "search", "--sync", "--name", "^ZarvoRecorder$"});
    const std::string window = search.readLine(30);
    ASSERT_FALSE(window.empty()) << "no window named ZarvoRecorder on " << screen_.name()
                                 << " (scripts/setup.sh installs xdotool)";
    search.wait(10);
    test::ChildProcess keys({FindProgram("xdotool"), "windowfocus", "--sync", window, "key",
                             "--clearmodifiers", "ctrl+r"});
    ASSERT_EQ(keys.wait(30), 0);
    ASSERT_TRUE(test::waitFor(
        [&] { return ValueAt(recorder.queryPort, "/status/state") == "recording"; }, 20))
        << recorder.output();
    ASSERT_TRUE(test::waitFor(
        [&] {
            const json frames = ValueAt(recorder.queryPort, "/status/source/1/frames");
            return frames.is_number() && frames.get<int64_t>() >= 30;
        },
        30));
    const std::string file = ValueAt(recorder.queryPort, "/status/source/1/file");
    EXPECT_EQ(fs::path(file).parent_path(), movies);

    // SIGTERM while recording: the movie is finished, then the program ends well.
    EXPECT_EQ(recorder.terminate(60), 0) << recorder.output();
    const std::string output = recorder.output();
    EXPECT_NE(output.find("Quitting on SIGTERM"), std::string::npos) << output;
    EXPECT_NE(output.find("Finishing the recording before quitting"), std::string::npos) << output;

    const test::MovieProbe movie = test::MovieProbe::read(file);
    ASSERT_TRUE(movie.opened) << movie.error;
    ASSERT_TRUE(movie.picture);
    EXPECT_EQ(movie.picture->width, 320);
    EXPECT_EQ(movie.picture->height, 180);
    EXPECT_GE(movie.picture->times.size(), 30u);
    EXPECT_EQ(test::MovieProbe::decodeAllPictures(file),
              static_cast<int>(movie.picture->times.size()));
}

}  // namespace
}  // namespace zarvo
