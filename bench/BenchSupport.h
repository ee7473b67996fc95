#pragma once

// What the benchmarks share: the CPU time a process used, and starting a program beside them.

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace zarvo::bench {

// User and system CPU seconds of this process (RUSAGE_SELF) or of its waited-for children
// (RUSAGE_CHILDREN).
double CpuSeconds(int who = RUSAGE_SELF);

// Starts the program (arguments[0], a path) with this process's environment; its output goes
// to /dev/null when quiet. -1 when it cannot be started.
pid_t Spawn(const std::vector<std::string>& arguments, bool quiet = false);

}  // namespace zarvo::bench
