// A whole take of local sources on the real clock: SOURCES zarvo-test-source publishers of
// 1920×1080 at 30 fps, each in its own process, recorded by this process as the recorder does
// (a recorder controller, Syphon clients, the source movies and the assembled grid of
// 1920×1080: output "both") as H.264 for SECONDS. Reports for every source the frames its
// publisher published during the take, those the recorder's client received and skipped (never
// saw, having fallen behind), and those written to and dropped from its movie as read back from
// the file; the same for the assembled movie; and the CPU this process used. For each movie it
// also gives the frames dropped in the take's first second and the start latency: the time from
// the start (as the record button or "/record 1" asks for it) to the movie's first written frame.
//
//   zarvo_live_take [sources] [seconds] [takes] [assembled size: WxH, or auto]
//
// The assembled picture is 1920×1080 unless asked otherwise; "auto" lets the sources' sizes
// decide, as a new recorder does (3840×2160 for a grid of four 1080p places or fewer).
//
// With several takes, they are recorded one after the other by the same recorder, as a person
// records a rehearsal and then the performance, and each is reported: the first take of a
// process is the one that makes its encoders' memory, later ones reuse it.
//
// Exits 0 when, in every take, every source movie holds at least 99 % of what its source
// published, at most 1 % of every movie's frames were dropped and none in the first second,
// else 2.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/RecorderController.h"
#include "engine/Take.h"
#include "platform/RunLoop.h"
#include "platform/framesharing/ServerRegistry.h"
#include "platform/framesharing/SharedFrames.h"
#include "sources/SyphonDirectory.h"
#include "sources/SyphonSource.h"
#include "tests/support/ControllerSetup.h"

extern "C" {
#include <libavformat/avformat.h>
}

using namespace zarvo;
using bench::CpuSeconds;
using bench::Spawn;

namespace {

// The picture packets in a movie file; -1 when it cannot be read.
int64_t PicturesIn(const std::filesystem::path& file) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) {
        return -1;
    }
    int64_t count = -1;
    if (avformat_find_stream_info(format, nullptr) >= 0) {
        const int video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        AVPacket* packet = av_packet_alloc();
        count = 0;
        while (video >= 0 && av_read_frame(format, packet) >= 0) {
            count += packet->stream_index == video;
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&format);
    return count;
}

// The newest frame number of a source's shared frames: frames are numbered from 1 on.
uint64_t LatestFrame(const SyphonSource& source) {
    const std::string id =
        syphonDescriptionString(source.serverDescription(), kSyphonServerDescriptionUUIDKey);
    const auto segment = framesharing::FrameSegment::open(framesharing::segmentName(id));
    return segment ? segment->latestFrame() : 0;
}

// One take of SECONDS, reported. 0 when every source movie holds at least 99 % of what its
// source published, at most 1 % of every movie's frames were dropped and none in the first
// second, 2 when not, 1 when the take could not start.
int RecordTake(RunLoop& loop, RecorderController& controller,
               const std::function<std::vector<std::shared_ptr<SyphonSource>>()>& sourcesNow,
               int count, double seconds, int take, int takes) {
    const auto sources = sourcesNow();
    std::vector<int64_t> published(sources.size());
    std::vector<int64_t> received(sources.size());
    std::vector<int64_t> skipped(sources.size());
    const auto mark = [&](int64_t sign) {
        const auto now = sourcesNow();
        for (size_t i = 0; i < now.size() && i < sources.size(); ++i) {
            if (now[i]) {
                published[i] += sign * static_cast<int64_t>(LatestFrame(*now[i]));
                received[i] += sign * static_cast<int64_t>(now[i]->framesReceived());
                skipped[i] += sign * static_cast<int64_t>(now[i]->framesSkipped());
            }
        }
    };
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    mark(-1);
    if (!controller.start()) {
        std::fprintf(stderr, "%s\n", controller.error().c_str());
        return 1;
    }
    const double firstSecond = std::min(1.0, seconds);
    loop.runUntil([] { return false; }, firstSecond);
    std::vector<uint64_t> droppedEarly;
    for (const auto& movie : controller.moviesOfTheTake()) {
        droppedEarly.push_back(movie->framesDropped());
    }
    loop.runUntil([] { return false; }, seconds - firstSecond);
    mark(1);
    test::stopTake(loop, controller, 120);
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const auto movies = controller.moviesOfTheTake();
    bool good = movies.size() == sources.size() + 1;
    const Size assembled = controller.assembledLayout().size();
    std::printf(
        "take %d of %d: %d sources of 1920x1080 at 30 fps, H.264, output \"both\" (grid "
        "%.0fx%.0f), %.0f s:\n",
        take, takes, count, assembled.width, assembled.height, seconds);
    for (size_t i = 0; i < movies.size(); ++i) {
        const int64_t inFile = PicturesIn(movies[i]->url());
        const uint64_t dropped = movies[i]->framesDropped();
        const uint64_t early = i < droppedEarly.size() ? droppedEarly[i] : 0;
        const double latency = movies[i]->recorder()->startLatency();
        if (i < sources.size()) {
            std::printf(
                "  source %zu: published %lld, received %lld, skipped %lld, "
                "written %llu (%lld in the file), dropped %llu (%llu in the first "
                "second), first frame written %.0f ms after the start\n",
                i + 1, static_cast<long long>(published[i]), static_cast<long long>(received[i]),
                static_cast<long long>(skipped[i]),
                static_cast<unsigned long long>(movies[i]->framesWritten()),
                static_cast<long long>(inFile), static_cast<unsigned long long>(dropped),
                static_cast<unsigned long long>(early), 1000 * latency);
            const auto all = static_cast<double>(published[i]);
            good = good && inFile >= 0 && static_cast<double>(inFile) >= 0.99 * all;
        } else {
            std::printf(
                "  assembled: written %llu (%lld in the file), dropped %llu (%llu in the "
                "first second), first frame written %.0f ms after the start\n",
                static_cast<unsigned long long>(movies[i]->framesWritten()),
                static_cast<long long>(inFile), static_cast<unsigned long long>(dropped),
                static_cast<unsigned long long>(early), 1000 * latency);
        }
        const auto kept = static_cast<double>(movies[i]->framesWritten() + dropped);
        good = good && early == 0 && static_cast<double>(dropped) <= 0.01 * kept;
    }
    std::printf("  recorder CPU: %.2f s in %.2f s, %.2f cores (%.0f %% of %u)\n", cpu, wall,
                cpu / wall, 100 * cpu / wall / std::thread::hardware_concurrency(),
                std::thread::hardware_concurrency());
    std::printf("  %s\n", good ? "every source movie holds at least 99 % of its frames, none "
                                 "was dropped in the first second"
                               : "frames were lost");
    return good ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 3;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 20;
    const int takes = argc > 3 ? std::atoi(argv[3]) : 1;
    const std::string size = argc > 4 ? argv[4] : "1920x1080";
    int width = 0;
    int height = 0;
    if (size != "auto" && std::sscanf(size.c_str(), "%dx%d", &width, &height) != 2) {
        width = -1;
    }
    if (count < 1 || count > 8 || !(seconds > 0) || takes < 1 || width < 0 || height < 0) {
        std::fprintf(stderr,
                     "usage: zarvo_live_take [sources 1-8] [seconds] [takes] "
                     "[assembled WxH or auto]\n");
        return 1;
    }
    // A registry and settings of this run's own, so that no other publisher joins in.
    const auto scratch =
        std::filesystem::temp_directory_path() / ("zarvo-live-take-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch / "runtime");
    std::filesystem::create_directories(scratch / "movies");
    std::filesystem::permissions(scratch / "runtime", std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (scratch / "runtime").c_str(), 1);

    std::vector<pid_t> publishers;
    for (int i = 0; i < count; ++i) {
        publishers.push_back(
            Spawn({ZARVO_TEST_SOURCE, "--name", "Live " + std::to_string(i + 1), "--app",
                   "zarvo_live_take", "--size", "1920x1080", "--fps", "30", "--duration",
                   std::to_string(takes * (seconds + 5) + 60)}));
    }
    int status = 1;
    {
        RunLoop loop;
        auto controller = RecorderController::create(test::controllerOptions(
            loop, SyphonDirectory::create(loop), scratch / "settings.json"));
        controller->setFolder((scratch / "movies").string());
        controller->setName("Live");
        controller->setCodec("h264");
        controller->setOutput("both");
        controller->setLayout("grid");
        controller->setWidth(width);
        controller->setHeight(height);
        // The movie rate left at 0, as a new recorder has it: every frame is kept.
        controller->setFps(0);
        bool added = true;
        for (int i = 0; i < count && added; ++i) {
            const std::string title = "Live " + std::to_string(i + 1);
            added = loop.runUntil([&] { return controller->addSourceMatching(title); }, 20);
        }
        // The places' sources as they are now (a source that went away and came back is a
        // new one).
        const auto sourcesNow = [&] {
            std::vector<std::shared_ptr<SyphonSource>> now;
            for (const auto& place : controller->places()) {
                now.push_back(std::dynamic_pointer_cast<SyphonSource>(place->source));
            }
            return now;
        };
        const bool connected =
            added && loop.runUntil([&] { return test::everyPlaceHasASize(*controller); }, 20);
        const auto sources = sourcesNow();
        if (!connected || std::find(sources.begin(), sources.end(), nullptr) != sources.end()) {
            std::fprintf(stderr, "the test sources could not be connected\n");
        } else {
            // Settled: a second of frames before the first take.
            loop.runUntil([] { return false; }, 1);
            status = 0;
            for (int take = 1; take <= takes && status != 1; ++take) {
                const int result =
                    RecordTake(loop, *controller, sourcesNow, count, seconds, take, takes);
                status = std::max(status, result);
                // A pause between takes, as a person would leave.
                loop.runUntil([] { return false; }, 1);
            }
        }
        controller.reset();
    }
    for (const pid_t pid : publishers) {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
    std::filesystem::remove_all(scratch);
    return status;
}
