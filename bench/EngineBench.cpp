// The costs on the frame path that every source thread pays, and the layout work done at every
// change of the assembled picture.
#include <benchmark/benchmark.h>

#include "engine/Layout.h"
#include "engine/RecorderPlace.h"
#include "platform/HostClock.h"
#include "platform/UserDefaults.h"

#include <cstdlib>
#include <filesystem>

namespace zarvo {
namespace {

// One frame's bookkeeping in its place; with several threads, the cost under contention.
void BM_PlaceReceivedFrame(benchmark::State& state) {
    static RecorderPlace place("Camera");
    const auto frame = gpu::Texture::make(64, 64);
    for (auto _ : state) {
        benchmark::DoNotOptimize(place.receivedFrame(frame, false, hostTime()));
    }
}
BENCHMARK(BM_PlaceReceivedFrame)->Threads(1)->Threads(2)->Threads(8);

void BM_LayoutEightSourcesFitted(benchmark::State& state) {
    const std::vector<Size> sizes(8, Size{1920, 1080});
    const auto kind = state.range(0);
    for (auto _ : state) {
        Layout layout(kind, sizes, 8, Size{3840, 2160});
        benchmark::DoNotOptimize(layout.frames().data());
    }
}
BENCHMARK(BM_LayoutEightSourcesFitted)->DenseRange(0, 3);

// What one setting change costs the thread that makes it (a fader sending a value many times a
// second), in a store of a few dozen keys like the recorder's own.
void BM_SettingChange(benchmark::State& state) {
    char folder[] = "/tmp/zarvo-bench-defaults-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    {
        UserDefaults defaults(std::filesystem::path(folder) / "bench.json");
        for (int i = 0; i < 40; ++i) {
            defaults.setString("key" + std::to_string(i),
                               "a value of some length " + std::to_string(i));
        }
        double gap = 0;
        for (auto _ : state) {
            defaults.setDouble("gap", gap);
            gap += 0.5;
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}
BENCHMARK(BM_SettingChange);

}  // namespace
}  // namespace zarvo
