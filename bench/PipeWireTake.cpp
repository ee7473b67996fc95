// A whole take of PipeWire nodes on the real clock, beside GStreamer recording the same nodes:
//
//   zarvo_pipewire_take [nodes] [seconds] [plain|performance|both]
//
// NODES GStreamer pipelines (videotestsrc into pipewiresink mode=provide) publish 1280×720 BGRx
// at 30 fps into the running PipeWire (PIPEWIRE_RUNTIME_DIR, e.g. from scripts/pipewire.sh).
// This process records them as the recorder does (a recorder controller over the PipeWire
// directory, output "separate", H.264, every frame kept) for SECONDS, without and/or with the
// performance setting, and reports for every source the frames its node published during the
// take, those its source received and skipped, and those written to and dropped from its movie
// as read back from the file; then the recorder's CPU per frame written.
//
// What a node published is PipeWire's own count: the publisher numbers its buffers (the
// sequence number of each buffer's header meta, GStreamer's frame offset), and the source reads
// the number on receipt, so a buffer it never dequeued shows as a gap and counts as skipped.
// The frame rate times the elapsed time would hide a publisher that itself falls behind.
//
// The reference: a gst-launch-1.0 pipeline of NODES branches (pipewiresrc ! videoconvert !
// x264enc with the recorder's settings: superfast, zerolatency, no B-frames, its bit rate and
// key interval ! matroskamux) records fresh publishers (a pipewiresink serves only its first
// consumer) for the same SECONDS. The session manager links no stream to another stream, so the
// branches wait unlinked and are linked with pw-link, port to port, as the recorder links its
// own; Matroska rather than MP4 leaves a readable file even when a branch does not end cleanly.
// gst-launch cannot report what a node published, so for it the published frames are read from
// its movie: the span of its timestamps times the rate, plus one (a branch that stops early
// thus looks better than it is); its CPU is the whole process's.
//
// Exits 0 when every source movie holds at least 99 % of what its node published and at most
// 1 % was dropped, else 2.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/RecorderController.h"
#include "engine/Take.h"
#include "platform/RunLoop.h"
#include "sources/PipeWireDirectory.h"
#include "sources/PipeWireSource.h"
#include "tests/support/ControllerSetup.h"

extern "C" {
#include <libavformat/avformat.h>
}

using namespace zarvo;
using bench::CpuSeconds;
using bench::Spawn;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kRate = 30;

// The picture packets in a movie and the span of their presentation times; frames -1 when it
// cannot be read.
struct MovieCount {
    int64_t frames = -1;
    double span = 0;
};

MovieCount CountMovie(const std::filesystem::path& file) {
    MovieCount count;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) {
        return count;
    }
    if (avformat_find_stream_info(format, nullptr) >= 0) {
        const int video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        AVPacket* packet = av_packet_alloc();
        int64_t first = AV_NOPTS_VALUE;
        int64_t last = AV_NOPTS_VALUE;
        count.frames = 0;
        while (video >= 0 && av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == video) {
                ++count.frames;
                if (packet->pts != AV_NOPTS_VALUE) {
                    first = first == AV_NOPTS_VALUE ? packet->pts : std::min(first, packet->pts);
                    last = last == AV_NOPTS_VALUE ? packet->pts : std::max(last, packet->pts);
                }
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        if (video >= 0 && first != AV_NOPTS_VALUE) {
            count.span =
                static_cast<double>(last - first) * av_q2d(format->streams[video]->time_base);
        }
    }
    avformat_close_input(&format);
    return count;
}

// Signals the process and waits for it, killing it after ten seconds.
void End(pid_t pid, int signal, rusage* usage = nullptr) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, signal);
    rusage ignored{};
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::wait4(pid, &status, WNOHANG, usage != nullptr ? usage : &ignored) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid, SIGKILL);
    ::wait4(pid, &status, 0, usage != nullptr ? usage : &ignored);
}

// A node name of this run's own, for pw-link.
std::string NodeName(const std::string& stem, int i) {
    std::string name = "zarvo-" + std::to_string(::getpid()) + "-";
    for (const char c : stem) {
        name += c == ' ' ? '-' : c;
    }
    return name + "-" + std::to_string(i);
}

// NODES publishers of 720p30 BGRx, their nodes described "<stem> <i>"; answers the titles the
// directory lists them by once they are all listed, or nothing.
struct Publishers {
    std::vector<pid_t> pids;
    std::vector<std::string> titles;
    std::vector<PipeWireNode> nodes;

    ~Publishers() {
        for (const pid_t pid : pids) {
            End(pid, SIGTERM);
        }
    }
};

std::unique_ptr<Publishers> Publish(RunLoop& loop, PipeWireDirectory& directory,
                                    const std::string& stem, int count) {
    auto publishers = std::make_unique<Publishers>();
    for (int i = 1; i <= count; ++i) {
        const std::string description = stem + " " + std::to_string(i);
        publishers->pids.push_back(
            Spawn({"/usr/bin/gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "!",
                   "video/x-raw,format=BGRx,width=" + std::to_string(kWidth) + ",height=" +
                       std::to_string(kHeight) + ",framerate=" + std::to_string(kRate) + "/1",
                   "!", "pipewiresink", "mode=provide",
                   "stream-properties=\"props,node.name=" + NodeName(stem, i) +
                       ",node.description=(string)\\\"" + description +
                       "\\\",application.name=(string)bench\""}));
        publishers->titles.push_back(description + " - bench");
    }
    const bool listed = loop.runUntil(
        [&] {
            publishers->nodes.clear();
            for (const auto& title : publishers->titles) {
                for (const auto& node : directory.nodes()) {
                    if (node.title == title) {
                        publishers->nodes.push_back(node);
                    }
                }
            }
            return publishers->nodes.size() == publishers->titles.size();
        },
        20);
    if (!listed) {
        std::fprintf(stderr, "the publishers did not appear\n");
        return nullptr;
    }
    return publishers;
}

// One take by the recorder; true when every movie holds at least 99 % of what its node
// published and at most 1 % was dropped.
bool RecordTake(const std::filesystem::path& scratch, int count, double seconds, bool performance) {
    RunLoop loop;
    auto directory = PipeWireDirectory::create(loop);
    const auto publishers =
        Publish(loop, *directory, "Recorder " + std::to_string(performance), count);
    if (!publishers) {
        return false;
    }
    auto controller = RecorderController::create(test::controllerOptions(
        loop, directory, scratch / (performance ? "performance.json" : "plain.json")));
    controller->setFolder((scratch / "movies").string());
    controller->setName(performance ? "Performance" : "Plain");
    controller->setCodec("h264");
    controller->setOutput("separate");
    controller->setFps(0);
    controller->setPerformance(performance);
    bool added = loop.runUntil([&] { return controller->availableSources().size() >= 1; }, 20);
    for (const auto& title : publishers->titles) {
        added = added && loop.runUntil([&] { return controller->addSourceMatching(title); }, 20);
    }
    const auto sourceAt = [&](size_t i) {
        return std::dynamic_pointer_cast<PipeWireSource>(controller->places()[i]->source);
    };
    const bool connected =
        added && loop.runUntil([&] { return test::everyPlaceHasASize(*controller); }, 20);
    if (!connected) {
        std::fprintf(stderr, "the nodes could not be connected\n");
        return false;
    }
    // Settled: a second of frames before the take.
    loop.runFor(1);
    const size_t n = static_cast<size_t>(count);
    std::vector<std::shared_ptr<PipeWireSource>> sources(n);
    std::vector<int64_t> published(n);
    std::vector<int64_t> received(n);
    std::vector<int64_t> skipped(n);
    const auto mark = [&](int64_t sign) {
        for (size_t i = 0; i < n; ++i) {
            sources[i] = sourceAt(i);
            if (sources[i]) {
                published[i] += sign * static_cast<int64_t>(sources[i]->publishedFrameCount());
                received[i] += sign * static_cast<int64_t>(sources[i]->receivedFrameCount());
                skipped[i] += sign * static_cast<int64_t>(sources[i]->skippedFrameCount());
            }
        }
    };
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    mark(-1);
    if (!controller->start()) {
        std::fprintf(stderr, "%s\n", controller->error().c_str());
        return false;
    }
    loop.runFor(seconds);
    mark(1);
    test::stopTake(loop, *controller, 120);
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const auto movies = controller->moviesOfTheTake();
    bool good = movies.size() == n;
    uint64_t written = 0;
    std::printf(
        "recorder, %s: %d nodes of %dx%d BGRx at %d fps, H.264, output \"separate\", "
        "%.0f s:\n",
        performance ? "performance setting on" : "performance setting off", count, kWidth, kHeight,
        kRate, seconds);
    for (size_t i = 0; i < movies.size() && i < n; ++i) {
        const MovieCount inFile = CountMovie(movies[i]->url());
        const uint64_t dropped = movies[i]->framesDropped();
        written += movies[i]->framesWritten();
        std::printf(
            "  source %zu: published %lld, received %lld, skipped %lld, written %llu (%lld "
            "in the file, %.1f per second), dropped %llu\n",
            i + 1, static_cast<long long>(published[i]), static_cast<long long>(received[i]),
            static_cast<long long>(skipped[i]),
            static_cast<unsigned long long>(movies[i]->framesWritten()),
            static_cast<long long>(inFile.frames), static_cast<double>(inFile.frames) / seconds,
            static_cast<unsigned long long>(dropped));
        const auto all = static_cast<double>(published[i]);
        good = good && all > 0 && static_cast<double>(inFile.frames) >= 0.99 * all &&
               static_cast<double>(dropped) <= 0.01 * all;
    }
    std::printf("  recorder CPU: %.2f s in %.2f s (%.2f cores), %.2f ms per frame written\n", cpu,
                wall, cpu / wall, 1000 * cpu / static_cast<double>(std::max<uint64_t>(1, written)));
    std::printf("  %s\n", good ? "every source movie holds at least 99 % of what its node published"
                               : "frames were lost");
    controller.reset();
    return good;
}

// The same nodes recorded by one gst-launch-1.0 pipeline with the recorder's encoder settings.
void GStreamerTake(const std::filesystem::path& scratch, int count, double seconds) {
    RunLoop loop;
    auto directory = PipeWireDirectory::create(loop);
    const auto publishers = Publish(loop, *directory, "GStreamer", count);
    if (!publishers) {
        return;
    }
    // The recorder's H.264 settings with the movie rate 0: its bit rate (0.1 × 60 × width ×
    // height bits per second) and a key frame every 120 pictures.
    const int bitrate = static_cast<int>(std::lround(0.1 * 60 * kWidth * kHeight / 1000));
    std::vector<std::string> arguments = {"/usr/bin/gst-launch-1.0", "-q", "-e"};
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < count; ++i) {
        files.push_back(scratch / ("gstreamer-" + std::to_string(i + 1) + ".mkv"));
        arguments.insert(
            arguments.end(),
            {"pipewiresrc", "do-timestamp=true",
             "stream-properties=\"props,node.name=" + NodeName("Recording", i + 1) +
                 ",node.autoconnect=false\"",
             "!", "videoconvert", "!", "x264enc", "speed-preset=superfast", "tune=zerolatency",
             "bframes=0", "key-int-max=120", "bitrate=" + std::to_string(bitrate), "!",
             "matroskamux", "!", "filesink", "location=" + files.back().string()});
    }
    const pid_t pipeline = Spawn(arguments);
    // The session manager links no stream to another stream: each branch waits unlinked and is
    // linked here, port to port, as the recorder links its own. A branch's port appears only
    // once the branch before it in the pipeline's start is linked, so every round tries all.
    std::vector<bool> linked(static_cast<size_t>(count));
    const bool allLinked = loop.runUntil(
        [&] {
            for (int i = 1; i <= count; ++i) {
                if (!linked[static_cast<size_t>(i - 1)]) {
                    const pid_t link =
                        Spawn({"/usr/bin/pw-link", NodeName("GStreamer", i) + ":out_0",
                               NodeName("Recording", i) + ":in_0"},
                              true);
                    int status = 1;
                    ::waitpid(link, &status, 0);
                    linked[static_cast<size_t>(i - 1)] =
                        link > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
                }
            }
            return std::find(linked.begin(), linked.end(), false) == linked.end();
        },
        20);
    if (!allLinked) {
        std::fprintf(stderr, "the pipeline's branches could not be linked\n");
    }
    loop.runFor(seconds);
    rusage usage{};
    End(pipeline, SIGINT, &usage);
    const auto time = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    const double cpu = time(usage.ru_utime) + time(usage.ru_stime);
    std::printf(
        "gst-launch-1.0 (pipewiresrc ! videoconvert ! x264enc speed-preset=superfast "
        "tune=zerolatency bframes=0 key-int-max=120 bitrate=%d ! matroskamux), %.0f s:\n",
        bitrate, seconds);
    int64_t written = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const MovieCount inFile = CountMovie(files[i]);
        written += std::max<int64_t>(0, inFile.frames);
        std::printf(
            "  source %zu: published about %lld (its movie's span × %d + 1), written %lld "
            "(%.1f per second of its span)\n",
            i + 1, static_cast<long long>(std::llround(inFile.span * kRate) + 1), kRate,
            static_cast<long long>(inFile.frames),
            inFile.span > 0 ? static_cast<double>(inFile.frames) / inFile.span : 0.0);
    }
    std::printf("  gst-launch-1.0 CPU: %.2f s for its whole life, %.2f ms per frame written\n", cpu,
                1000 * cpu / static_cast<double>(std::max<int64_t>(1, written)));
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 3;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 20;
    const std::string modes = argc > 3 ? argv[3] : "both";
    if (count < 1 || count > 8 || !(seconds > 0) ||
        (modes != "plain" && modes != "performance" && modes != "both")) {
        std::fprintf(stderr,
                     "usage: zarvo_pipewire_take [nodes 1-8] [seconds] [plain|performance|both]\n");
        return 1;
    }
    const auto scratch = std::filesystem::temp_directory_path() /
                         ("zarvo-pipewire-take-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch / "movies");
    bool good = true;
    if (modes != "performance") {
        good = RecordTake(scratch, count, seconds, false) && good;
    }
    if (modes != "plain") {
        good = RecordTake(scratch, count, seconds, true) && good;
    }
    GStreamerTake(scratch, count, seconds);
    std::filesystem::remove_all(scratch);
    return good ? 0 : 2;
}
