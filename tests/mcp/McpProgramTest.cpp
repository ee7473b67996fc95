// The zarvo-recorder-mcp program itself, run as a child process over pipes, as an assistant's host
// runs it.

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mcp/InstalledVersion.h"
#include "tests/mcp/FakeRecorderApp.h"
#include "tests/support/Loopback.h"

extern char** environ;

namespace zarvo::mcp {
namespace {

using json = nlohmann::json;

struct ProgramRun {
    std::string out;
    std::string err;
    int exitStatus = -1;
};

// Runs the program with ZARVO_OSCQUERY_PORT set, writes `input` to its standard input, closes
// it, and collects both outputs until the program ends.
ProgramRun runProgram(const std::string& input, const std::string& port,
                      std::string path = ZARVO_MCP_PROGRAM) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "ZARVO_OSCQUERY_PORT=", 20) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back("ZARVO_OSCQUERY_PORT=" + port);
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char* argv[] = {path.data(), nullptr};

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(path.c_str(), argv, envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    ProgramRun run;
    size_t written = 0;
    int toChild = in[1];
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {toChild, POLLOUT, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (::poll(fds, toChild >= 0 ? 3 : 2, 30000) <= 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buffer[4096];
                const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                } else {
                    sinks[i]->append(buffer, static_cast<size_t>(got));
                }
            }
        }
        if (toChild >= 0 && fds[2].revents != 0) {
            const ssize_t sent = ::write(toChild, input.data() + written, input.size() - written);
            written += sent > 0 ? static_cast<size_t>(sent) : 0;
            if (sent < 0 || written == input.size()) {
                ::close(toChild);
                toChild = -1;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<json> lines(const std::string& text) {
    std::vector<json> parsed;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        parsed.push_back(json::parse(line));
    }
    return parsed;
}

const std::string kRequests =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})"
    "\n"
    R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
    "\n"
    R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
    "\n"
    R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"recorder_status"}})"
    "\n";

TEST(McpProgram, AnswersOverPipesWhenTheApplicationIsNotRunning) {
    const int first = static_cast<int>(test::freePortRange(16));
    const ProgramRun run = runProgram(kRequests, std::to_string(first));

    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
    const auto answers = lines(run.out);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0]["result"]["serverInfo"],
              json({{"name", "zarvo-recorder"}, {"version", "dev"}}));
    EXPECT_EQ(answers[0]["result"]["protocolVersion"], "2025-03-26");
    EXPECT_EQ(answers[1]["result"]["tools"].size(), 4u);
    EXPECT_EQ(answers[2]["id"], 3);
    EXPECT_EQ(answers[2]["result"]["isError"], true);
    EXPECT_EQ(answers[2]["result"]["content"][0]["text"],
              "ZarvoRecorder is not running, or its OSCQuery server is not on ports " +
                  std::to_string(first) + "\u2013" + std::to_string(first + 15) +
                  ". Launch the app and retry (set ZARVO_OSCQUERY_PORT if it uses another "
                  "port).");
}

TEST(McpProgram, ReadsTheApplicationItFindsOnThePortsGiven) {
    testing::FakeRecorderState state;
    state.titles = {"Cam A"};
    state.places = {"Cam A"};
    testing::FakeRecorderApp app(state, static_cast<int>(test::freePortRange(1)));
    const ProgramRun run = runProgram(
        R"({"jsonrpc":"2.0","id":"s","method":"tools/call","params":{"name":"recorder_status"}})"
        "\n",
        std::to_string(app.httpPort()));

    EXPECT_EQ(run.err, "");
    const auto answers = lines(run.out);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]["result"]["isError"], false);
    const json status = json::parse(answers[0]["result"]["content"][0]["text"].get<std::string>());
    EXPECT_EQ(status["sources"][0]["title"], "Cam A");
    EXPECT_EQ(status["state"], "idle");
}

// ---- The version announced ----

TEST(McpProgram, AnnouncesTheVersionOfTheApplicationItIsInstalledIn) {
    namespace fs = std::filesystem;
    const fs::path bundle = fs::temp_directory_path() /
                            ("zarvo-mcp-installed-" + std::to_string(::getpid())) /
                            "ZarvoRecorder.app";
    fs::create_directories(bundle / "bin");
    fs::copy_file(ZARVO_MCP_PROGRAM, bundle / "bin" / "zarvo-recorder-mcp");
    std::ofstream(bundle / "Info.json") << R"({"CFBundleShortVersionString": "0.9"})";

    const ProgramRun run = runProgram(R"({"jsonrpc":"2.0","id":1,"method":"initialize"})"
                                      "\n",
                                      "9231", (bundle / "bin" / "zarvo-recorder-mcp").string());
    fs::remove_all(bundle.parent_path());

    const auto answers = lines(run.out);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]["result"]["serverInfo"]["version"], "0.9");
}

TEST(McpVersion, OnlyAnInstalledApplicationsVersionCounts) {
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("zarvo-mcp-version-" + std::to_string(::getpid()));
    fs::create_directories(root / "ZarvoRecorder.app" / "bin");
    fs::create_directories(root / "plain" / "bin");
    const auto writeInfo = [&](const std::string& text) {
        std::ofstream(root / "ZarvoRecorder.app" / "Info.json") << text;
    };
    const fs::path installed = root / "ZarvoRecorder.app" / "bin" / "zarvo-recorder-mcp";

    EXPECT_EQ(installedVersion(installed), "dev");  // no Info.json
    writeInfo(R"({"CFBundleShortVersionString": "0.9"})");
    EXPECT_EQ(installedVersion(installed), "0.9");
    EXPECT_EQ(installedVersion(root / "ZarvoRecorder.app" / "zarvo-recorder-mcp"), "dev");
    EXPECT_EQ(installedVersion(root / "plain" / "bin" / "zarvo-recorder-mcp"), "dev");
    writeInfo(R"({"CFBundleShortVersionString": "@VERSION@"})");
    EXPECT_EQ(installedVersion(installed), "dev");
    writeInfo(R"({"CFBundleShortVersionString": ""})");
    EXPECT_EQ(installedVersion(installed), "dev");
    writeInfo(R"({"CFBundleShortVersionString": 9})");
    EXPECT_EQ(installedVersion(installed), "dev");
    writeInfo("not json");
    EXPECT_EQ(installedVersion(installed), "dev");
    fs::remove_all(root);
}

}  // namespace
}  // namespace zarvo::mcp
