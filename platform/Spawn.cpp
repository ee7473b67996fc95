#include "platform/Spawn.h"

#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

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

}  // namespace zarvo
