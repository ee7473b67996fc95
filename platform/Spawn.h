#pragma once

// Starting another program with posix_spawn: where its standard streams come from, whether it
// keeps our other descriptors, signal state and session. One place for the set-up that the
// recorder, the updater, the tests and the benchmarks all need.

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zarvo {

// Where one of the child's standard streams comes from.
struct SpawnStream {
    enum class Kind { inherit, nullDevice, descriptor };
    Kind kind = Kind::inherit;
    int fd = -1;

    static SpawnStream inherited() { return {}; }
    static SpawnStream nullDevice() { return {Kind::nullDevice, -1}; }
    static SpawnStream from(int fd) { return {Kind::descriptor, fd}; }
};

struct SpawnOptions {
    SpawnStream input;
    SpawnStream output;
    SpawnStream error;
    // Closes every descriptor above the three standard ones in the child, even those without
    // close-on-exec.
    bool closeOtherDescriptors = false;
    // An empty signal mask and default handling of every signal, instead of ours.
    bool resetSignals = false;
    // The child leads a session of its own, so it outlives our terminal and process group.
    bool newSession = false;
    // The child's environment as "NAME=value" entries; ours when absent.
    std::optional<std::vector<std::string>> environment;
};

// Starts `program` with `arguments` (argv[0] first). Returns 0 with *pid set, or the error
// number posix_spawn gave.
int spawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const SpawnOptions& options, pid_t* pid);

// The result of running a program: its exit status (128 + the signal when it was killed, -1
// when it could not be started) and both outputs, trimmed.
struct ProcessResult {
    int status = -1;
    std::string output;
    std::string error;
    std::string startFailure;  // why it could not be started
};

// Runs a program to its end with both outputs captured (the first MiB of each), its input
// empty, an empty signal mask and none of our descriptors; killed once `timeoutSeconds` have
// passed.
ProcessResult runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         double timeoutSeconds = 30);

}  // namespace zarvo
