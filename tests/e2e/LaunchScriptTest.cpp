// The launching part of run.sh (scripts/launch.sh) with the built recorder and test source, and
// no display: it passes the recorder's log through and explains how to drive it, and when the
// recorder ends by itself, the script ends the test source and exits with the recorder's status.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramEnvironment.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// A field of /proc/PID/stat after the command name (which may hold spaces and parentheses):
// 0 is the state, 1 the parent. Empty when the process is gone.
std::string StatField(pid_t pid, int field) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(file, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return "";
    }
    std::istringstream rest(line.substr(close + 1));
    std::string value;
    for (int i = 0; i <= field; ++i) {
        rest >> value;
    }
    return value;
}

// Whether the process runs (a zombie left for its parent does not count).
bool Running(pid_t pid) {
    const std::string state = StatField(pid, 0);
    return !state.empty() && state != "Z";
}

// The children of the process that run the program.
std::vector<pid_t> ChildrenRunning(pid_t parent, const fs::path& program) {
    std::vector<pid_t> found;
    const fs::path wanted = fs::canonical(program);
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t pid = std::stoi(name);
        std::error_code error;
        if (StatField(pid, 1) == std::to_string(parent) &&
            fs::read_symlink(entry.path() / "exe", error) == wanted) {
            found.push_back(pid);
        }
    }
    return found;
}

// The script started with the built programs, its output and errors read together. A test
// source it leaves behind is killed with it.
class LaunchedScript {
  public:
    explicit LaunchedScript(const std::vector<std::string>& recorderArguments = {})
        : script_(commandLine(recorderArguments), true) {}
    ~LaunchedScript() {
        for (const pid_t source : ChildrenRunning(script_.pid(), ZARVO_TEST_SOURCE)) {
            ::kill(source, SIGKILL);
        }
    }
    LaunchedScript(const LaunchedScript&) = delete;
    LaunchedScript& operator=(const LaunchedScript&) = delete;

    test::ChildProcess& process() { return script_; }

    // Reads lines into the output until one is the line; whether it came within a minute.
    bool readThrough(const std::string& line) {
        return test::waitFor([&] { return readLine() == line; }, 60);
    }

    // Reads what is left of the output, until its end or for ten seconds at the most.
    void readToEnd() {
        test::waitFor(
            [&] {
                readLine();
                return script_.outputEnded();
            },
            10);
    }

    std::string output;

  private:
    // The next line (kept in the output), or "" for a blank line or none yet.
    std::string readLine() {
        std::string line = script_.readLine(1);
        if (!line.empty()) {
            output += line + "\n";
        }
        return line;
    }

    static std::vector<std::string> commandLine(const std::vector<std::string>& arguments) {
        std::vector<std::string> line{ZARVO_LAUNCH_SCRIPT, ZARVO_RECORDER, ZARVO_TEST_SOURCE};
        line.insert(line.end(), arguments.begin(), arguments.end());
        return line;
    }

    test::ChildProcess script_;
};

class LaunchScriptTest : public ::testing::Test {
  protected:
    // The script chooses the recorder without a window when there is no display.
    test::ProgramEnvironment environment_;
    test::ScopedEnv display_{"DISPLAY", nullptr};
    test::ScopedEnv wayland_{"WAYLAND_DISPLAY", nullptr};
};

TEST_F(LaunchScriptTest, RecorderEndedBySigtermEndsTheScriptAndTheTestSource) {
    ASSERT_NE(environment_.firstPort(), 0);
    LaunchedScript script;
    ASSERT_TRUE(script.process().started());
    ASSERT_TRUE(script.readThrough("Ctrl-C here quits; a recording in progress is finished first."))
        << script.output;
    const std::string osc = std::to_string(environment_.firstPort());
    const std::string query =
        std::to_string(environment_.firstPort() + test::ProgramEnvironment::kQueryPortOffset);
    EXPECT_NE(script.output.find("Starting ZarvoRecorder with the test source \"Test Pattern\"."),
              std::string::npos)
        << script.output;
    EXPECT_NE(script.output.find("ZarvoRecorder takes OSC messages on UDP port " + osc +
                                 " and answers OSCQuery on TCP port " + query + "."),
              std::string::npos)
        << script.output;
    const auto recorders = ChildrenRunning(script.process().pid(), ZARVO_RECORDER);
    const auto sources = ChildrenRunning(script.process().pid(), ZARVO_TEST_SOURCE);
    ASSERT_EQ(recorders.size(), 1u);
    ASSERT_EQ(sources.size(), 1u);

    // As when its window is closed: the recorder ends, not the script.
    ::kill(recorders[0], SIGTERM);
    EXPECT_EQ(script.process().wait(20), 0) << "the script did not end with the recorder";
    EXPECT_FALSE(Running(sources[0])) << "the test source was left running";
    // The recorder's last lines came through before the script ended.
    script.readToEnd();
    EXPECT_NE(script.output.find("Quitting on SIGTERM"), std::string::npos) << script.output;
}

TEST_F(LaunchScriptTest, ExitsWithTheStatusOfARecorderThatRefusesToStart) {
    LaunchedScript script({"--no-such-option"});
    ASSERT_TRUE(script.process().started());
    EXPECT_EQ(script.process().wait(20), 2) << "the script did not end with the recorder";
    script.readToEnd();
    EXPECT_NE(script.output.find("zarvo-recorder: unknown argument: --no-such-option"),
              std::string::npos)
        << script.output;
}

}  // namespace
}  // namespace zarvo
