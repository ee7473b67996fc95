// How many 1920×1080 sources at 30 fps this machine records in real time: each source thread
// delivers a frame every 1/30 s on the real clock to its own H.264 movie, as a take does, and
// the program reports frames written and dropped per source.
//
//   zarvo_realtime_sources [sources] [seconds] [codec]
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/BusyPicture.h"
#include "engine/MovieRecorder.h"
#include "platform/HostClock.h"
#include "platform/RunLoop.h"

using namespace zarvo;

namespace {

gpu::TextureRef Picture(int seed) {
    return bench::busyPicture(1920, 1080, seed);
}

}  // namespace

int main(int argc, char** argv) {
    const int sources = argc > 1 ? std::atoi(argv[1]) : 2;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 10;
    const int64_t codec = argc > 3 ? std::atoi(argv[3]) : 0;
    RunLoop loop;
    const auto folder = std::filesystem::temp_directory_path() / "zarvo-realtime";
    std::filesystem::create_directories(folder);
    std::vector<std::shared_ptr<MovieRecorder>> recorders;
    const double start = hostTime() + 0.5;
    for (int i = 0; i < sources; ++i) {
        auto recorder = MovieRecorder::make(gpu::Device::systemDefault(), loop);
        const auto file = folder / ("source-" + std::to_string(i) + ".mov");
        std::filesystem::remove(file);
        MovieRecorderSettings settings;
        settings.codec = codec;
        settings.framesPerSecond = 30;
        // As in a take whose sources have delivered: the movie is set up at the start.
        settings.width = 1920;
        settings.height = 1080;
        Error error;
        if (!recorder->startWriting(file, settings, start, &error)) {
            std::fprintf(stderr, "%s\n", error.message.c_str());
            return 1;
        }
        recorders.push_back(recorder);
    }
    const gpu::TextureRef pictures[4] = {Picture(0), Picture(1), Picture(2), Picture(3)};
    std::vector<std::thread> threads;
    for (int i = 0; i < sources; ++i) {
        threads.emplace_back([&, i] {
            // Each source runs on its own clock, slightly apart from the others.
            const double offset = 0.007 * i;
            for (int frame = 0; frame < static_cast<int>(seconds * 30); ++frame) {
                const double due = start + offset + frame / 30.0;
                while (hostTime() < due) {
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                }
                recorders[i]->appendTexture(pictures[(frame + i) % 4], false, hostTime());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int finished = 0;
    for (auto& recorder : recorders) {
        recorder->finishAtTime(hostTime(), [&](const std::optional<Error>&) { ++finished; });
    }
    loop.runUntil([&] { return finished == sources; }, 120);
    uint64_t dropped = 0;
    for (int i = 0; i < sources; ++i) {
        std::printf("source %d: %llu frames written, %llu dropped\n", i,
                    static_cast<unsigned long long>(recorders[i]->framesWritten()),
                    static_cast<unsigned long long>(recorders[i]->framesDropped()));
        dropped += recorders[i]->framesDropped();
    }
    std::printf("%d sources of 1920x1080 at 30 fps for %.0f s: %s\n", sources, seconds,
                dropped == 0 ? "real time, no frame dropped" : "frames dropped");
    std::filesystem::remove_all(folder);
    return dropped == 0 ? 0 : 2;
}
