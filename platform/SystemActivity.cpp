#include "platform/SystemActivity.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "platform/Spawn.h"

namespace zarvo {

namespace {

// The inhibitor program on the search path, or empty.
std::string findInhibitor() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / "systemd-inhibit";
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return "";
}

}  // namespace

std::unique_ptr<SystemActivity> SystemActivity::begin(const std::string& who,
                                                      const std::string& why) {
    static const std::string inhibitor = findInhibitor();
    if (inhibitor.empty()) {
        return nullptr;
    }
    // The inhibitor holds its lock for as long as the program it runs: one that reads a pipe
    // until this process closes it, by ending the activity or by ending itself.
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return nullptr;
    }
    const std::vector<std::string> words = {inhibitor,      "--what=sleep:idle", "--who=" + who,
                                            "--why=" + why, "--mode=block",      "cat"};
    SpawnOptions options;
    options.input = SpawnStream::from(pipeEnds[0]);
    options.output = SpawnStream::nullDevice();
    options.error = SpawnStream::nullDevice();
    pid_t pid = 0;
    const int result = spawnProcess(inhibitor, words, options, &pid);
    ::close(pipeEnds[0]);
    if (result != 0) {
        ::close(pipeEnds[1]);
        return nullptr;
    }
    return std::unique_ptr<SystemActivity>(new SystemActivity(pid, pipeEnds[1]));
}

SystemActivity::~SystemActivity() {
    ::close(pipe_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

}  // namespace zarvo
