// What a PipeWire picture costs the recorder at 1920×1080 and 30 fps:
//
//   zarvo_pipewire_latency [seconds]
//
// 1. From a buffer in hand to the frame handler: the time and CPU that checking and converting
//    one 1080p buffer into a BGRA texture takes, per format (what a source does between
//    dequeuing a buffer and calling its handler), over synthetic pictures.
// 2. Against a running PipeWire (PIPEWIRE_RUNTIME_DIR, e.g. from scripts/pipewire.sh): a
//    GStreamer pipeline publishes 1080p30 through pipewiresink for the given seconds per format;
//    the program receives it through the directory and a source and reports frames delivered,
//    buffers dropped, and its own CPU time per delivered frame.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/RunLoop.h"
#include "platform/gpu/Device.h"
#include "sources/NDITextureRing.h"
#include "sources/PipeWireDirectory.h"
#include "sources/PipeWireFrames.h"
#include "sources/PipeWireSource.h"

using namespace zarvo;
using bench::CpuSeconds;

namespace {

constexpr int64_t kWidth = 1920;
constexpr int64_t kHeight = 1080;

double secondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

void MeasureConversion() {
    struct Case {
        PipeWirePixelFormat format;
        size_t bytesPerPixelTimes2;  // bytes of one picture = width × height × this / 2
        int64_t stride;
    };
    const Case cases[] = {
        {PipeWirePixelFormat::BGRx, 8, kWidth * 4}, {PipeWirePixelFormat::RGBA, 8, kWidth * 4},
        {PipeWirePixelFormat::YUY2, 4, kWidth * 2}, {PipeWirePixelFormat::NV12, 3, kWidth},
        {PipeWirePixelFormat::I420, 3, kWidth},
    };
    NDITextureRing ring(gpu::Device::systemDefault());
    std::printf("buffer in hand → frame handler, %lld×%lld, 300 pictures each:\n",
                static_cast<long long>(kWidth), static_cast<long long>(kHeight));
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(static_cast<size_t>(kWidth * kHeight) * c.bytesPerPixelTimes2 /
                                   2);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
        }
        PipeWireVideoFormat format;
        format.pixelFormat = c.format;
        format.width = kWidth;
        format.height = kHeight;
        const PipeWirePlane plane{bytes.data(), bytes.size(), c.stride};
        std::vector<double> times;
        const double cpuBefore = CpuSeconds();
        for (int i = 0; i < 300; ++i) {
            const double start = secondsNow();
            if (!pipeWireFrameFits(format, {&plane, 1})) {
                std::printf("  %s: does not fit\n", pipeWirePixelFormatName(c.format).c_str());
                break;
            }
            auto texture = ring.nextTexture(kWidth, kHeight, pipeWirePixelFormatHasAlpha(c.format));
            convertPipeWireFrame(format, {&plane, 1}, *texture);
            times.push_back((secondsNow() - start) * 1000);
        }
        const double cpu = (CpuSeconds() - cpuBefore) * 1000 / 300;
        std::printf("  %-5s median %.2f ms, 99th percentile %.2f ms, CPU %.2f ms per picture\n",
                    pipeWirePixelFormatName(c.format).c_str(), Percentile(times, 0.5),
                    Percentile(times, 0.99), cpu);
    }
}

pid_t Publish(const std::string& description, const std::string& format) {
    const std::string size = ",width=1920,height=1080,framerate=30/1";
    std::vector<std::string> arguments = {
        "/usr/bin/gst-launch-1.0", "-q", "videotestsrc", "is-live=true",
        "pattern=solid-color",     "!"};
    if (format == "MJPEG") {
        arguments.insert(arguments.end(), {"video/x-raw,format=I420" + size, "!", "jpegenc", "!",
                                           "image/jpeg", "!"});
    } else {
        arguments.insert(arguments.end(), {"video/x-raw,format=" + format + size, "!"});
    }
    arguments.insert(arguments.end(), {"pipewiresink", "mode=provide",
                                       "stream-properties=\"props,node.description=(string)" +
                                           description + ",application.name=(string)bench\""});
    return bench::Spawn(arguments);
}

void MeasureLive(double seconds) {
    RunLoop loop;
    auto directory = PipeWireDirectory::create(loop);
    if (!directory->isConnected()) {
        std::printf("no PipeWire answers: the live measurement is left out\n");
        return;
    }
    std::printf("live from a GStreamer pipewiresink, 1920×1080 at 30 fps, %g s each:\n", seconds);
    for (const std::string format : {"BGRx", "YUY2", "NV12", "I420", "MJPEG"}) {
        const std::string description = "bench" + format + std::to_string(getpid());
        const pid_t publisher = Publish(description, format);
        const std::string title = description + " - bench";
        if (publisher < 0 || !loop.runUntil(
                                 [&] {
                                     for (const auto& node : directory->nodes()) {
                                         if (node.title == title) {
                                             return true;
                                         }
                                     }
                                     return false;
                                 },
                                 10)) {
            std::printf("  %s: the publisher did not appear\n", format.c_str());
            continue;
        }
        auto connected = directory->connectToSourceWithTitle(title, gpu::Device::systemDefault());
        auto* source = dynamic_cast<PipeWireSource*>(connected.get());
        if (source == nullptr) {
            std::printf("  %s: cannot connect\n", format.c_str());
            kill(publisher, SIGKILL);
            waitpid(publisher, nullptr, 0);
            continue;
        }
        std::atomic<int> frames{0};
        source->setFrameHandler([&](const gpu::TextureRef&) { ++frames; });
        // The first pictures set up buffers and textures; measured from the first on.
        loop.runUntil([&] { return frames > 0; }, 10);
        const int startFrames = frames;
        const double cpuBefore = CpuSeconds();
        loop.runFor(seconds);
        const double cpu = CpuSeconds() - cpuBefore;
        const int delivered = frames - startFrames;
        source->stop();
        std::printf("  %-5s %d frames (%.1f per second), %llu dropped, CPU %.2f ms per frame\n",
                    format.c_str(), delivered, delivered / seconds,
                    static_cast<unsigned long long>(source->droppedBufferCount()),
                    cpu * 1000 / std::max(1, delivered));
        kill(publisher, SIGTERM);
        waitpid(publisher, nullptr, 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5;
    MeasureConversion();
    MeasureLive(seconds);
    return 0;
}
