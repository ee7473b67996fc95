// What recording costs per frame at 1920×1080: the whole recorder path (pacing, fitting and
// converting the texture, encoding, writing) against the writer alone (the encoder and the
// file) fed frames already in the encoder's pixel format, and the fitting and conversion alone.
//
// Both the recorder and the writer are fed the same sequence of different pictures, frame for
// frame, and the sequence is larger than the processor's cache: a live source never hands the
// encoder a picture it has just seen, so a writer encoding two cached pictures over and over
// would be measured against a recorder under conditions no recording has.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BusyPicture.h"
#include "engine/FrameFitter.h"
#include "engine/MovieRecorder.h"
#include "engine/MovieWriter.h"
#include "platform/RunLoop.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace zarvo {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
// 16 pictures: 133 MB of textures, 50 to 265 MB once converted, well beyond a 32 MB cache.
constexpr int kSequence = 16;

gpu::TextureRef TestPicture(int frame) {
    return bench::busyPicture(kWidth, kHeight, frame);
}

// The sequence both benchmarks feed, made once.
const std::vector<gpu::TextureRef>& TestSequence() {
    static const std::vector<gpu::TextureRef> pictures = [] {
        std::vector<gpu::TextureRef> made;
        for (int i = 0; i < kSequence; ++i) {
            made.push_back(TestPicture(i));
        }
        return made;
    }();
    return pictures;
}

std::filesystem::path FreshFile(const std::string& name) {
    auto file = std::filesystem::temp_directory_path() / ("zarvo-bench-" + name + ".mov");
    std::filesystem::remove(file);
    return file;
}

// The recorder as a take uses it: frames appended at 30 fps movie times, at most three in
// flight, so the figure is the recorder's throughput per frame.
void BM_Recorder(benchmark::State& state) {
    const int64_t codec = state.range(0);
    RunLoop loop;
    auto recorder = MovieRecorder::make(gpu::Device::systemDefault(), loop);
    const auto file = FreshFile("recorder");
    MovieRecorderSettings settings;
    settings.codec = codec;
    settings.width = kWidth;
    settings.height = kHeight;
    settings.framesPerSecond = 30;
    Error error;
    if (!recorder->startWriting(file, settings, 0.0, &error)) {
        state.SkipWithError(error.message.c_str());
        return;
    }
    const auto& pictures = TestSequence();
    int64_t frame = 0;
    for (auto _ : state) {
        // Sleeping, not spinning: the encoders' threads need both cores. A millisecond is short
        // beside a frame's encoding, and the two frames still queued keep the encoder busy.
        while (recorder->framesPending() >= MovieRecorder::kMaxFramesInFlight) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        recorder->appendTexture(pictures[frame % kSequence], false,
                                static_cast<double>(frame) / 30.0);
        ++frame;
    }
    while (recorder->framesPending() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bool done = false;
    recorder->finishAtTime(static_cast<double>(frame) / 30.0,
                           [&](const std::optional<Error>&) { done = true; });
    loop.runUntil([&] { return done; }, 60);
    state.counters["dropped"] = static_cast<double>(recorder->framesDropped());
    state.SetItemsProcessed(state.iterations());
    std::filesystem::remove(file);
}

// A 1920×1080, 30 fps movie of the benchmark's codec; none (and the benchmark skipped) when it
// cannot be opened.
std::unique_ptr<MovieWriter> OpenWriter(benchmark::State& state,
                                        const std::filesystem::path& file) {
    MovieWriter::Options options;
    options.file = file;
    options.codec = state.range(0);
    options.width = kWidth;
    options.height = kHeight;
    options.framesPerSecond = 30;
    Error error;
    auto writer = MovieWriter::open(options, &error);
    if (!writer) {
        state.SkipWithError(error.message.c_str());
    }
    return writer;
}

// The writer alone, fed the recorder benchmark's sequence of pictures (at the same movie times)
// already converted to the encoder's pixel format, so that the encoder does the same work in
// both and the difference is the recorder's own cost.
void BM_Writer(benchmark::State& state) {
    const auto file = FreshFile("writer");
    auto writer = OpenWriter(state, file);
    if (!writer) {
        return;
    }
    FrameFitter fitter;
    const auto& pictures = TestSequence();
    struct FrameFree {
        void operator()(AVFrame* frame) const { av_frame_free(&frame); }
    };
    std::vector<std::unique_ptr<AVFrame, FrameFree>> frames;
    for (int i = 0; i < kSequence; ++i) {
        const AVFrame* model = writer->pictureFrame();
        AVFrame* converted = av_frame_alloc();
        frames.emplace_back(converted);
        if (converted == nullptr || av_frame_copy_props(converted, model) < 0) {
            state.SkipWithError("no memory for the frames");
            return;
        }
        converted->format = model->format;
        converted->width = model->width;
        converted->height = model->height;
        if (av_frame_get_buffer(converted, 0) < 0) {
            state.SkipWithError("no memory for the frames");
            return;
        }
        fitter.draw(*pictures[i], false, converted, writer->hasAlpha());
    }
    int64_t frame = 0;
    for (auto _ : state) {
        writer->appendPicture(frames[frame % kSequence].get(), frame * 2000);
        ++frame;
    }
    writer->finish(frame * 2000);
    state.SetItemsProcessed(state.iterations());
    std::filesystem::remove(file);
}

// Fitting and converting one 1920×1080 texture into the encoder's frame, by the recorder's
// path (a picture of the movie's size is converted directly) or always through the scaler.
void FitAndConvert(benchmark::State& state, FrameFitter::Path path) {
    const auto file = FreshFile("fit");
    auto writer = OpenWriter(state, file);
    if (!writer) {
        return;
    }
    FrameFitter fitter(path);
    const auto picture = TestPicture(0);
    for (auto _ : state) {
        fitter.draw(*picture, false, writer->pictureFrame(), writer->hasAlpha());
    }
    writer->cancel();
    state.SetItemsProcessed(state.iterations());
}

void BM_FitAndConvert(benchmark::State& state) {
    FitAndConvert(state, FrameFitter::Path::Best);
}
void BM_FitAndConvertScaler(benchmark::State& state) {
    FitAndConvert(state, FrameFitter::Path::Scaler);
}

#define ZARVO_CODECS ->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime()
BENCHMARK(BM_Recorder) ZARVO_CODECS->MinTime(5);
BENCHMARK(BM_Writer) ZARVO_CODECS->MinTime(5);
BENCHMARK(BM_FitAndConvert) ZARVO_CODECS;
BENCHMARK(BM_FitAndConvertScaler) ZARVO_CODECS;

}  // namespace
}  // namespace zarvo
