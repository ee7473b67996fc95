// The drawing that composition costs: milliseconds per render pass for the picture sizes the
// recorder assembles, drawn by one thread or shared with a helper, and the system scaler on the
// same work for comparison.
#include <benchmark/benchmark.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <memory>
#include <vector>

#include "platform/gpu/CommandQueue.h"
#include "platform/gpu/Device.h"
#include "platform/gpu/Draw.h"

namespace zarvo::gpu {
namespace {

TextureRef source(int64_t width, int64_t height) {
    TextureRef t = Texture::make(width, height);
    for (int64_t y = 0; y < height; ++y) {
        uint8_t* row = t->row(y);
        for (int64_t x = 0; x < width * 4; ++x) {
            row[x] = static_cast<uint8_t>((x * 7 + y * 3) & 0xFF);
        }
    }
    return t;
}

// `count` 1920 × 1080 sources in a grid of `columns` cells across a target.
RenderPass grid(int64_t width, int64_t height, int count, int columns) {
    RenderPass pass{Texture::make(width, height), ClearColor{0, 0, 0, 1}, {}};
    const double cellWidth = static_cast<double>(width) / columns;
    const double cellHeight = cellWidth * 9 / 16;
    for (int i = 0; i < count; ++i) {
        pass.draws.push_back({source(1920, 1080), (i % columns) * cellWidth,
                              (i / columns) * cellHeight, cellWidth, cellHeight, false, 1});
    }
    return pass;
}

enum Scene { kEightInto4K, kFourIntoHD, kCopyHD };

RenderPass scene(int64_t which) {
    switch (which) {
        case kEightInto4K:
            return grid(3840, 2160, 8, 3);
        case kFourIntoHD:
            return grid(1920, 1080, 4, 2);
        default:
            return grid(1920, 1080, 1, 1);
    }
}

void sceneArguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"scene", "threads"});
    for (int64_t s : {kEightInto4K, kFourIntoHD, kCopyHD}) {
        for (int64_t threads : {1, 2}) {
            b->Args({s, threads});
        }
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

// scene 0: 8 × 1920×1080 into 3840×2160 (cells of 1280×720); 1: 4 into 1920×1080 (960×540);
// 2: one 1920×1080 copied as it is.
void BM_GpuRenderPass(benchmark::State& state) {
    const RenderPass pass = scene(state.range(0));
    Renderer renderer(static_cast<int>(state.range(1)));
    for (auto _ : state) {
        renderer.render(pass);
        benchmark::DoNotOptimize(pass.target->bytes());
    }
}
BENCHMARK(BM_GpuRenderPass)->Apply(sceneArguments);

// The same through a command queue, as the compositor uses it: encode, commit, wait.
void BM_GpuQueueRenderPass(benchmark::State& state) {
    const RenderPass pass = scene(state.range(0));
    const CommandQueueRef queue = CommandQueue::make(Device::systemDefault());
    for (auto _ : state) {
        const CommandBufferRef buffer = queue->commandBuffer();
        buffer->renderPass(pass.target, pass.clear, pass.draws);
        buffer->commit();
        buffer->waitUntilCompleted();
    }
}
BENCHMARK(BM_GpuQueueRenderPass)
    ->Arg(kEightInto4K)
    ->Arg(kFourIntoHD)
    ->Arg(kCopyHD)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The system scaler, bilinear, BGRA to BGRA, one 1920×1080 source to the given size. It is
// not used for drawing: besides its speed, it changes alpha values by one when scaling.
void BM_GpuSwscaleOneSource(benchmark::State& state) {
    const auto width = static_cast<int>(state.range(0));
    const auto height = static_cast<int>(state.range(1));
    const TextureRef from = source(1920, 1080);
    const TextureRef to = Texture::make(width, height);
    SwsContext* context = sws_getContext(1920, 1080, AV_PIX_FMT_BGRA, width, height,
                                         AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (context == nullptr) {
        state.SkipWithError("no scaler");
        return;
    }
    const uint8_t* const sourcePlanes[] = {from->bytes()};
    const int sourceStrides[] = {static_cast<int>(from->bytesPerRow())};
    uint8_t* const targetPlanes[] = {to->bytes()};
    const int targetStrides[] = {static_cast<int>(to->bytesPerRow())};
    for (auto _ : state) {
        sws_scale(context, sourcePlanes, sourceStrides, 0, 1080, targetPlanes, targetStrides);
        benchmark::DoNotOptimize(to->bytes());
    }
    sws_freeContext(context);
}
BENCHMARK(BM_GpuSwscaleOneSource)
    ->Args({1280, 720})
    ->Args({960, 540})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Our own drawing of one source at the same sizes, on one thread, for comparison.
void BM_GpuOneSource(benchmark::State& state) {
    const double width = static_cast<double>(state.range(0));
    const double height = static_cast<double>(state.range(1));
    RenderPass pass{Texture::make(state.range(0), state.range(1)),
                    ClearColor{0, 0, 0, 1},
                    {{source(1920, 1080), 0, 0, width, height, false, 0}}};
    Renderer renderer(1);
    for (auto _ : state) {
        renderer.render(pass);
        benchmark::DoNotOptimize(pass.target->bytes());
    }
}
BENCHMARK(BM_GpuOneSource)
    ->Args({1280, 720})
    ->Args({960, 540})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace zarvo::gpu
