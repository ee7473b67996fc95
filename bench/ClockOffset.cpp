// How far apart a source's picture and sound land in its movie. The test suite's stand-in NDI
// runtime plays a live sender whose clock runs FACTOR times as fast as this machine's, sending
// 30 pictures per second and 48 kHz stereo sound in chunks of CHUNK samples, and marking both at
// the same instant every 2 s of its own time (a white picture, a tone burst). The recorder's
// controller records it as an H.264 movie at 30 fps with sound for SECONDS; the movie is then
// decoded and every mark's offset (sound minus picture, positive when the sound is late) is
// reported, with their mean (the bias) and the worst.
//
//   zarvo_clock_offset [seconds] [factor] [chunk]
//
// Exits 0 when every mark made it into both tracks and the worst offset is within 20 ms, else 2.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/RecorderController.h"
#include "engine/Take.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "sources/NDIDirectory.h"
#include "sources/NDILibrary.h"
#include "tests/support/ClockMarks.h"

using namespace zarvo;

namespace {

constexpr double kMarkEvery = 2.0;
constexpr double kBound = 0.020;

bool Control(void* runtime, const std::string& command) {
    using Function = int (*)(const char*);
    auto control = reinterpret_cast<Function>(dlsym(runtime, "fake_ndi_control"));
    if (control == nullptr || control(command.c_str()) != 0) {
        std::fprintf(stderr, "the stand-in runtime refused: %s\n", command.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    const double factor = argc > 2 ? std::atof(argv[2]) : 1.001;
    const int chunk = argc > 3 ? std::atoi(argv[3]) : 480;

    // The recorder finds the runtime as it finds the real one.
    setenv("ZARVO_NDI_LIBRARY", ZARVO_FAKE_NDI_PATH, 1);
    void* runtime = dlopen(ZARVO_FAKE_NDI_PATH, RTLD_NOW | RTLD_LOCAL);
    if (runtime == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    char live[96];
    std::snprintf(live, sizeof live, "live %.6f %.1f 30", factor, kMarkEvery);
    if (!Control(runtime, "reset") || !Control(runtime, "sources CLOCK (Marks)") ||
        !Control(runtime, "video BGRX 320 180 1280 255") ||
        !Control(runtime, "audio FLTp 2 " + std::to_string(chunk) + " 48000") ||
        !Control(runtime, live)) {
        return 1;
    }

    const auto folder = std::filesystem::temp_directory_path() /
                        ("zarvo-clock-offset-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    RunLoop loop;
    NotificationCenter center;
    auto controller = RecorderController::create(
        {.mainQueue = &loop,
         .device = gpu::Device::systemDefault(),
         .directory = NDIDirectory::create(NDILibrary::sharedLibrary(), loop),
         .computerSound = nullptr,
         .defaults = std::make_shared<UserDefaults>(folder / "settings.json"),
         .notificationCenter = &center});
    if (controller == nullptr ||
        !loop.runUntil([&] { return !controller->availableSources().empty(); }, 20)) {
        std::fprintf(stderr, "the stand-in source was not found\n");
        return 1;
    }
    controller->setFolder(folder.string());
    controller->setName("Clock");
    controller->setOutput("separate");
    controller->setCodec("h264");
    controller->setFps(30);
    if (!controller->addSourceMatching("Marks")) {
        std::fprintf(stderr, "%s\n", controller->error().c_str());
        return 1;
    }
    const auto place = controller->places().front();
    if (!loop.runUntil([&] { return place->frameCount() > 0; }, 20) || !controller->start()) {
        std::fprintf(stderr, "could not record: %s\n", controller->error().c_str());
        return 1;
    }
    loop.runFor(seconds);
    bool stopped = false;
    controller->stopWithCompletionHandler([&] { stopped = true; });
    loop.runUntil([&] { return stopped; }, 60);
    const auto movies = controller->moviesOfTheTake();
    if (!stopped || movies.empty() || !controller->recordingError().empty()) {
        std::fprintf(stderr, "the take failed: %s\n", controller->recordingError().c_str());
        return 1;
    }
    const auto file = movies.front()->url();
    const auto recorder = movies.front()->recorder();
    std::printf("%.0f s at 30 fps, the source's clock %.4f times as fast, sound in chunks of %d\n",
                seconds, factor, chunk);
    std::printf("frames written %llu, dropped %llu; sound written %.3f s, left out %.3f s\n",
                static_cast<unsigned long long>(recorder->framesWritten()),
                static_cast<unsigned long long>(recorder->framesDropped()),
                recorder->soundWritten(), recorder->soundLeftOut());
    controller.reset();

    const auto marks = test::ClockMarks::read(file, kMarkEvery);
    std::filesystem::remove_all(folder);
    if (!marks.error.empty()) {
        std::fprintf(stderr, "%s\n", marks.error.c_str());
        return 1;
    }
    std::printf("marks: %zu pictures, %zu bursts, %zu paired\n", marks.pictureTimes.size(),
                marks.soundTimes.size(), marks.offsets.size());
    for (size_t i = 0; i < marks.offsets.size(); ++i) {
        std::printf("  sound at %9.4f s  offset %+7.2f ms\n", marks.pairedSoundTimes[i],
                    marks.offsets[i] * 1000);
    }
    std::printf("bias (mean) %+.2f ms, worst %+.2f ms\n", marks.mean * 1000, marks.worst * 1000);
    // A mark at the very end may have reached one track only.
    const bool whole =
        !marks.offsets.empty() &&
        marks.offsets.size() == std::min(marks.soundTimes.size(), marks.pictureTimes.size());
    return whole && std::fabs(marks.worst) <= kBound ? 0 : 2;
}
