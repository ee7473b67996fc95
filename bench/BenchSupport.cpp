#include "bench/BenchSupport.h"

#include "platform/Spawn.h"

namespace zarvo::bench {

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

pid_t Spawn(const std::vector<std::string>& arguments, bool quiet) {
    SpawnOptions options;
    if (quiet) {
        options.output = SpawnStream::nullDevice();
        options.error = SpawnStream::nullDevice();
    }
    pid_t pid = -1;
    return spawnProcess(arguments[0], arguments, options, &pid) == 0 ? pid : -1;
}

}  // namespace zarvo::bench
