#include "App/updater/ApplicationReplacer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/Log.h"
#include "platform/Spawn.h"

namespace zarvo {
namespace fs = std::filesystem;

namespace {

std::string errnoText(int number) {
    return std::strerror(number);
}

// Closes the descriptor when it goes away.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value = -1) : fd(value) {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

// Starts a program detached from us: its own session, default signal handling and an empty
// signal mask, and none of our descriptors beyond the three standard ones. Our output may be a
// pipe that a reader waits to see closed: only the log (standard error) is kept. 0 when
// started, else the error number.
int spawnDetached(const fs::path& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    SpawnOptions options;
    options.input = SpawnStream::nullDevice();
    options.output = SpawnStream::nullDevice();
    options.closeOtherDescriptors = true;
    options.resetSignals = true;
    options.newSession = true;
    pid_t pid = -1;
    return spawnProcess(program.string(), argv, options, &pid);
}

void logReplacer(const std::string& line) {
    logLine("ZarvoUpdater: " + line);
}

// Waits until the process has ended; false when it still runs after the time.
bool waitForExit(pid_t pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    const Descriptor handle(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (handle.fd < 0 && errno == ESRCH) {
        return true;
    }
    while (std::chrono::steady_clock::now() < deadline) {
        if (handle.fd >= 0) {
            pollfd entry{handle.fd, POLLIN, 0};
            if (::poll(&entry, 1, 200) > 0) {
                return true;
            }
        } else {
            // Without process descriptors: gone, or a zombie waiting for its parent.
            if (::kill(pid, 0) != 0 && errno == ESRCH) {
                return true;
            }
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            std::getline(stat, line);
            const size_t close = line.rfind(')');
            if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return false;
}

// Flushes a file or folder to the disk.
void syncPath(const fs::path& path, bool directory) {
    const Descriptor fd(
        ::open(path.c_str(), (directory ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.fd >= 0) {
        ::fsync(fd.fd);
    }
}

void syncTree(const fs::path& root) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        const auto status = it->symlink_status(error);
        if (fs::is_regular_file(status)) {
            syncPath(it->path(), false);
        } else if (fs::is_directory(status)) {
            syncPath(it->path(), true);
        }
    }
    syncPath(root, true);
}

// Leftovers of a replacement cut short (by a power cut): "." + NAME + ".new-…" or ".old-…".
// Where the file system has no exchange, a cut between the two renames leaves the old copy
// under its ".old-" name and no destination: that copy is put back, not removed.
void removeLeftovers(const fs::path& destination) {
    const std::string prefix = "." + destination.filename().string() + ".";
    std::error_code error;
    std::vector<fs::path> leftovers;
    for (fs::directory_iterator it(destination.parent_path(), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix + "new-", 0) == 0 || name.rfind(prefix + "old-", 0) == 0) {
            leftovers.push_back(it->path());
        }
    }
    for (const fs::path& leftover : leftovers) {
        std::error_code ignored;
        const bool old = leftover.filename().string().rfind(prefix + "old-", 0) == 0;
        if (old && !fs::exists(fs::symlink_status(destination, ignored)) &&
            ::rename(leftover.c_str(), destination.c_str()) == 0) {
            logReplacer("put back " + destination.string() + " left aside by an earlier update");
            continue;
        }
        fs::remove_all(leftover, ignored);
    }
}

}  // namespace

std::optional<UpdaterError> spawnDetachedReplacement(const fs::path& program, pid_t waitFor,
                                                     const fs::path& newApp,
                                                     const fs::path& destination,
                                                     const fs::path& workFolder) {
    if (program.empty()) {
        return UpdaterError::installerLaunchFailed("the running program cannot be found");
    }
    const int error =
        spawnDetached(program, {kReplaceArgument, std::to_string(waitFor), newApp.string(),
                                destination.string(), workFolder.string()});
    if (error != 0) {
        return UpdaterError::installerLaunchFailed(program.string() + ": " + errnoText(error));
    }
    return std::nullopt;
}

bool replaceApplication(pid_t waitFor, const fs::path& newApp, const fs::path& destination,
                        const fs::path& workFolder, bool relaunch, double waitSeconds) {
    std::error_code error;
    auto giveUp = [&](const std::string& why) {
        logReplacer("the update was not installed: " + why);
        fs::remove_all(workFolder, error);
        return false;
    };
    if (waitFor > 0 && !waitForExit(waitFor, waitSeconds)) {
        return giveUp("the application did not quit");
    }
    const fs::path parent = destination.parent_path();
    fs::create_directories(parent, error);
    if (error) {
        return giveUp(parent.string() + ": " + error.message());
    }
    removeLeftovers(destination);
    const std::string suffix = std::to_string(::getpid());
    const fs::path staged = parent / ("." + destination.filename().string() + ".new-" + suffix);
    // Beside the destination, on its file system: moved when the work folder is there too,
    // copied otherwise. The destination is not touched until the copy is whole and on disk.
    fs::rename(newApp, staged, error);
    if (error) {
        error.clear();
        fs::copy(newApp, staged, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
                 error);
        if (error) {
            fs::remove_all(staged, error);
            return giveUp("cannot copy the new application beside " + destination.string());
        }
    }
    syncTree(staged);

    const bool exists = fs::exists(fs::symlink_status(destination, error));
    fs::path old;
    if (exists) {
        if (::syscall(SYS_renameat2, AT_FDCWD, staged.c_str(), AT_FDCWD, destination.c_str(),
                      RENAME_EXCHANGE) == 0) {
            old = staged;  // the exchange left the old copy under the staged name
        } else {
            // A file system without exchange: the old copy steps aside under a name of its
            // own, then the new one takes its place; undone when that fails.
            old = parent / ("." + destination.filename().string() + ".old-" + suffix);
            if (::rename(destination.c_str(), old.c_str()) != 0) {
                const std::string why = errnoText(errno);
                fs::remove_all(staged, error);
                return giveUp(destination.string() + ": " + why);
            }
            if (::rename(staged.c_str(), destination.c_str()) != 0) {
                const std::string why = errnoText(errno);
                ::rename(old.c_str(), destination.c_str());
                fs::remove_all(staged, error);
                return giveUp(destination.string() + ": " + why);
            }
        }
    } else if (::rename(staged.c_str(), destination.c_str()) != 0) {
        const std::string why = errnoText(errno);
        fs::remove_all(staged, error);
        return giveUp(destination.string() + ": " + why);
    }
    syncPath(parent, true);
    if (!old.empty()) {
        fs::remove_all(old, error);
    }
    fs::remove_all(workFolder, error);
    logReplacer("installed " + destination.string());

    if (relaunch) {
        const fs::path program = destination / "bin" / "zarvo-recorder";
        if (const int failed = spawnDetached(program, {}); failed != 0) {
            logReplacer("cannot start " + program.string() + ": " + errnoText(failed));
        }
    }
    return true;
}

int replacementMain(const std::vector<std::string>& arguments) {
    // Runs on alone: a closed log or a closing terminal must not stop it halfway.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    if (arguments.size() != 5 || arguments[0] != kReplaceArgument) {
        logReplacer("usage: --replace-application PID NEW_APP DESTINATION WORK_FOLDER");
        return 2;
    }
    long pid = 0;
    const std::string& text = arguments[1];
    if (std::from_chars(text.data(), text.data() + text.size(), pid).ec != std::errc()) {
        logReplacer("not a process number: " + text);
        return 2;
    }
    return replaceApplication(static_cast<pid_t>(pid), arguments[2], arguments[3], arguments[4],
                              true)
               ? 0
               : 1;
}
}  // namespace zarvo
