#include "tests/e2e/RecorderProgram.h"

#include <chrono>
#include <csignal>
#include <regex>

namespace zarvo::test {

namespace {

std::vector<std::string> CommandLine(const std::string& path,
                                     const std::vector<std::string>& arguments) {
    std::vector<std::string> line{path};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return line;
}

}  // namespace

RecorderProgram::RecorderProgram(const std::string& path, const std::vector<std::string>& arguments)
    : process_(CommandLine(path, arguments), true) {
    // The output is read on a thread of its own so that the program never waits on a full pipe.
    reader_ = std::thread([this] {
        for (;;) {
            std::string line = process_.readLine(120);
            std::lock_guard lock(mutex_);
            if (line.empty()) {
                ended_ = true;
                changed_.notify_all();
                return;
            }
            lines_.push_back(std::move(line));
            changed_.notify_all();
        }
    });
}

RecorderProgram::~RecorderProgram() {
    if (!exitStatus_) {
        process_.signal(SIGKILL);
        process_.wait(10);
    }
    reader_.join();
}

std::optional<std::vector<std::string>> RecorderProgram::waitForLine(const std::string& pattern,
                                                                     double timeout) {
    const std::regex expression(pattern);
    std::unique_lock lock(mutex_);
    std::optional<std::vector<std::string>> found;
    changed_.wait_for(lock, std::chrono::duration<double>(timeout), [&] {
        for (const auto& line : lines_) {
            std::smatch match;
            if (std::regex_search(line, match, expression)) {
                found.emplace(match.begin(), match.end());
                return true;
            }
        }
        return ended_;
    });
    return found;
}

bool RecorderProgram::waitForNetwork() {
    const auto line =
        waitForLine(R"(OSCQuery server started on TCP port (\d+) \(namespace of OSC port (\d+)\))");
    if (!line) {
        return false;
    }
    queryPort = std::stol((*line)[1]);
    oscPort = std::stol((*line)[2]);
    return true;
}

std::string RecorderProgram::output() {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& line : lines_) {
        text += line + "\n";
    }
    return text;
}

std::optional<int> RecorderProgram::terminate(double timeout) {
    process_.signal(SIGTERM);
    exitStatus_ = process_.wait(timeout);
    return exitStatus_;
}

}  // namespace zarvo::test
