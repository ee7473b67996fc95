#include "platform/Spawn.h"

#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "platform/Text.h"

extern char** environ;

namespace zarvo {

namespace {

void placeStream(posix_spawn_file_actions_t* actions, const SpawnStream& stream, int target) {
    switch (stream.kind) {
        case SpawnStream::Kind::inherit:
            break;
        case SpawnStream::Kind::nullDevice:
            posix_spawn_file_actions_addopen(actions, target, "/dev/null",
                                             target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
            break;
        case SpawnStream::Kind::descriptor:
            posix_spawn_file_actions_adddup2(actions, stream.fd, target);
            break;
    }
}

}  // namespace

int spawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const SpawnOptions& options, pid_t* pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    placeStream(&actions, options.input, STDIN_FILENO);
    placeStream(&actions, options.output, STDOUT_FILENO);
    placeStream(&actions, options.error, STDERR_FILENO);
    if (options.closeOtherDescriptors) {
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    short flags = 0;
    if (options.resetSignals) {
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    }
    if (options.newSession) {
        flags |= POSIX_SPAWN_SETSID;
    }
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (options.environment) {
        for (const auto& entry : *options.environment) {
            envp.push_back(const_cast<char*>(entry.c_str()));
        }
        envp.push_back(nullptr);
    }

    pid_t child = -1;
    const int result = ::posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(),
                                     options.environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result == 0 && pid) {
        *pid = child;
    }
    return result;
}

ProcessResult runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         double timeoutSeconds) {
    ProcessResult result;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.startFailure = std::strerror(errno);
        return result;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        result.startFailure = std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    // Started with an empty signal mask (ours blocks the quit signals) and default signal
    // handling, its input empty and its outputs into the pipes.
    std::vector<std::string> argv{executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    SpawnOptions options;
    options.input = SpawnStream::nullDevice();
    options.output = SpawnStream::from(out[1]);
    options.error = SpawnStream::from(err[1]);
    options.closeOtherDescriptors = true;
    options.resetSignals = true;
    pid_t pid = -1;
    const int spawned = spawnProcess(executable, argv, options, &pid);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        result.startFailure = std::strerror(spawned);
        ::close(out[0]);
        ::close(err[0]);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeoutSeconds));
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&result.output, &result.error};
    bool killed = false;
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 && !killed) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        const int ready =
            ::poll(fds, 2, killed ? 1000 : static_cast<int>(std::min<long>(left, 1000)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got > 0) {
                    if (texts[i]->size() < (1u << 20)) {
                        texts[i]->append(buffer, static_cast<size_t>(got));
                    }
                } else if (got == 0 || errno != EINTR) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        if (killed && ready == 0) {
            break;  // a grandchild holds the pipes open; the program itself is gone
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.output = trimmed(result.output);
    result.error = trimmed(result.error);
    return result;
}

}  // namespace zarvo
