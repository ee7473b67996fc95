// How long a frame takes from a publisher in another process to a client's frame callback, at
// 1920×1080 and 30 fps, what each delivered frame costs in CPU time on either side, and how
// soon a publisher killed with SIGKILL is retired.
//
//   zarvo_syphon_latency [seconds] [kills]
//
// The program starts a copy of itself as the publisher. Each frame carries the monotonic time at
// which it was handed to the server; the client reads it back after copying the frame, as a
// source does before calling its frame handler.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/Spawn.h"
#include "platform/framesharing/SyphonClient.h"
#include "platform/framesharing/SyphonServer.h"
#include "platform/framesharing/SyphonServerDirectory.h"
#include "platform/gpu/Device.h"

using namespace zarvo;
using bench::CpuSeconds;

namespace {

constexpr int64_t kWidth = 1920;
constexpr int64_t kHeight = 1080;
constexpr double kFps = 30;

int64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The publisher process: frames with a picture that changes a little each time, stamped in the
// first pixels of the bottom row (which is stored first).
int Publish(const std::string& name, double seconds) {
    auto server = SyphonServer::create({name, "zarvo_syphon_latency"});
    auto texture = gpu::Texture::make(kWidth, kHeight);
    if (!server || !texture) {
        return 1;
    }
    for (int64_t y = 0; y < kHeight; ++y) {
        for (int64_t x = 0; x < kWidth; ++x) {
            uint8_t* pixel = texture->row(y) + x * 4;
            pixel[0] = static_cast<uint8_t>(x);
            pixel[1] = static_cast<uint8_t>(y);
            pixel[2] = static_cast<uint8_t>(x ^ y);
            pixel[3] = 255;
        }
    }
    const double cpuStart = CpuSeconds(RUSAGE_SELF);
    const int64_t interval = static_cast<int64_t>(1e9 / kFps);
    const int64_t start = MonotonicNanoseconds();
    const auto frames = static_cast<int64_t>(seconds * kFps);
    for (int64_t frame = 0; frame < frames; ++frame) {
        const int64_t due = start + frame * interval;
        const timespec until{static_cast<time_t>(due / 1000000000),
                             static_cast<long>(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        std::memset(texture->row(kHeight / 2), static_cast<int>(frame), 64);
        const int64_t stamp = MonotonicNanoseconds();
        std::memcpy(texture->row(kHeight - 1), &stamp, sizeof stamp);
        server->publishFrameTexture(*texture);
    }
    if (frames == 0) {
        pause();  // held until killed
    }
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpuStart;
    std::printf("publisher process: %.3f ms CPU per published frame\n",
                cpu * 1000 / static_cast<double>(frames));
    std::fflush(stdout);
    server->stop();
    return 0;
}

// Starts a copy of this program with the arguments; -1 when it cannot be started.
pid_t SpawnSelf(const std::vector<std::string>& arguments) {
    pid_t pid = -1;
    return spawnProcess("/proc/self/exe", arguments, {}, &pid) == 0 ? pid : -1;
}

std::optional<SyphonServerDescription> WaitForServer(const std::string& name, double timeout) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& server : SyphonServerDirectory::sharedDirectory().servers()) {
            if (syphonDescriptionString(server, kSyphonServerDescriptionNameKey) == name) {
                return server;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

int MeasureLatency(double seconds) {
    const std::string name = "latency-" + std::to_string(getpid());
    const pid_t publisher =
        SpawnSelf({"zarvo_syphon_latency", "--publish", name, std::to_string(seconds)});
    const auto description = WaitForServer(name, 10);
    if (publisher < 0 || !description) {
        std::fprintf(stderr, "the publisher did not start\n");
        return 1;
    }
    std::mutex mutex;
    std::vector<double> latencies;
    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    SyphonClient client(*description, gpu::Device::systemDefault(), {}, [&](SyphonClient& c) {
        const auto texture = c.newFrameImage();
        if (!texture) {
            return;
        }
        int64_t stamp = 0;
        std::memcpy(&stamp, texture->row(0), sizeof stamp);
        const double latency = static_cast<double>(MonotonicNanoseconds() - stamp) * 1e-6;
        std::lock_guard lock(mutex);
        latencies.push_back(latency);
    });
    int status = 0;
    waitpid(publisher, &status, 0);
    client.stop();
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpuBefore;
    // The first frame was published before the client connected.
    if (!latencies.empty()) {
        latencies.erase(latencies.begin());
    }
    std::printf("%lld×%lld at %g fps for %g s: %zu frames delivered\n",
                static_cast<long long>(kWidth), static_cast<long long>(kHeight), kFps, seconds,
                latencies.size());
    std::printf(
        "latency publisher → client callback: median %.3f ms, 99th percentile %.3f ms, "
        "max %.3f ms\n",
        Percentile(latencies, 0.5), Percentile(latencies, 0.99), Percentile(latencies, 1.0));
    std::printf("client process: %.3f ms CPU per delivered frame\n",
                cpu * 1000 / static_cast<double>(std::max<size_t>(1, latencies.size())));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

int MeasureRetire(int kills) {
    std::vector<double> delays;
    for (int i = 0; i < kills; ++i) {
        const std::string name = "retire-" + std::to_string(getpid()) + "-" + std::to_string(i);
        const pid_t publisher = SpawnSelf({"zarvo_syphon_latency", "--publish", name, "0"});
        if (publisher < 0 || !WaitForServer(name, 10)) {
            return 1;
        }
        // Some time in the watch cycle, as a crash would be.
        std::this_thread::sleep_for(std::chrono::milliseconds(37 * i % 250));
        const auto killed = std::chrono::steady_clock::now();
        kill(publisher, SIGKILL);
        waitpid(publisher, nullptr, 0);
        while (WaitForServer(name, 0.0005)) {
        }
        delays.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - killed)
                .count());
    }
    std::printf("SIGKILL to retired, %d publishers: median %.0f ms, max %.0f ms\n", kills,
                Percentile(delays, 0.5), Percentile(delays, 1.0));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--publish") == 0) {
        return Publish(argv[2], std::atof(argv[3]));
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    const int kills = argc > 2 ? std::atoi(argv[2]) : 10;
    const int result = MeasureLatency(seconds);
    return result != 0 ? result : MeasureRetire(kills);
}
