// What one assembled picture costs: milliseconds per composition of 1920×1080 sources in a grid,
// from compose() to the completion; the same placement by FFmpeg's filter graph (a scale per
// source, then xstack); and the bytes our composition moves per second against memcpy.
//
// scene 0: 8 sources into 3840×2160 (cells of 1280×720, one cell empty);
// scene 1: 4 sources into 1920×1080 (cells of 960×540).
#include <benchmark/benchmark.h>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <cstring>
#include <semaphore>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Compositor.h"
#include "engine/Layout.h"
#include "platform/gpu/CommandQueue.h"
#include "platform/gpu/Device.h"

namespace zarvo {
namespace {

constexpr int64_t kSourceWidth = 1920;
constexpr int64_t kSourceHeight = 1080;

struct Scene {
    size_t sources;
    double width;
    double height;
};
constexpr Scene kScenes[] = {{8, 3840, 2160}, {4, 1920, 1080}};

Layout sceneLayout(int64_t which) {
    const Scene& s = kScenes[which];
    return Layout(2, std::vector<Size>(s.sources, Size{kSourceWidth, kSourceHeight}), 0,
                  Size{s.width, s.height});
}

// A busy picture, different for each source, so that nothing is shortcut by uniform colour.
void fill(uint8_t* bytes, int64_t bytesPerRow, size_t seed) {
    for (int64_t y = 0; y < kSourceHeight; ++y) {
        uint8_t* row = bytes + y * bytesPerRow;
        for (int64_t x = 0; x < kSourceWidth * 4; ++x) {
            row[x] = static_cast<uint8_t>((x * 7 + y * 3 + static_cast<int64_t>(seed) * 41) & 0xFF);
        }
    }
}

// Bytes a composition reads and writes: every source read once, the target written once.
int64_t bytesMoved(const Layout& layout, size_t sources) {
    const auto target = static_cast<int64_t>(layout.size().width * layout.size().height) * 4;
    return target + static_cast<int64_t>(sources) * kSourceWidth * kSourceHeight * 4;
}

void sceneArguments(benchmark::internal::Benchmark* b) {
    b->ArgName("scene")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

// Ours, as the recorder uses it: compose, then wait for the completion on the queue's thread.
void BM_Compositor(benchmark::State& state) {
    const Layout layout = sceneLayout(state.range(0));
    const size_t count = layout.frames().size();
    std::vector<gpu::TextureRef> textures;
    for (size_t i = 0; i < count; ++i) {
        textures.push_back(gpu::Texture::make(kSourceWidth, kSourceHeight));
        fill(textures.back()->bytes(), textures.back()->bytesPerRow(), i);
    }
    const std::vector<bool> flipped(count, false);
    const gpu::CommandQueueRef queue = gpu::CommandQueue::make(gpu::Device::systemDefault());
    const std::unique_ptr<Compositor> compositor = Compositor::make(queue);
    std::binary_semaphore done(0);
    for (auto _ : state) {
        if (!compositor->compose(layout, textures, flipped, false,
                                 [&done](const gpu::TextureRef&) { done.release(); })) {
            state.SkipWithError("composition refused");
            return;
        }
        done.acquire();
    }
    state.SetBytesProcessed(state.iterations() * bytesMoved(layout, count));
}
BENCHMARK(BM_Compositor)->Apply(sceneArguments);

// FFmpeg's filter graph: one buffer source per picture, scaled (bilinear) to its cell, placed
// by xstack (unused cells black), BGRA throughout. Built once; frames are pushed per iteration.
class StackGraph {
  public:
    StackGraph(const Layout& layout, int threads) {
        graph_ = avfilter_graph_alloc();
        if (graph_ == nullptr) {
            return;
        }
        graph_->nb_threads = threads;
        const std::vector<Rect>& frames = layout.frames();
        const std::string sourceArguments =
            "video_size=1920x1080:pix_fmt=" + std::to_string(AV_PIX_FMT_BGRA) +
            ":time_base=1/30:pixel_aspect=1/1";
        std::ostringstream description;  // "[in0]scale=…[s0];…[s0][s1]…xstack=…[out]"
        std::ostringstream stackInputs;
        std::ostringstream positions;
        AVFilterInOut* outputs = nullptr;
        for (size_t i = 0; i < frames.size(); ++i) {
            const std::string name = "in" + std::to_string(i);
            AVFilterContext* source = nullptr;
            if (avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), name.c_str(),
                                             sourceArguments.c_str(), nullptr, graph_) < 0) {
                avfilter_inout_free(&outputs);
                return;
            }
            sources_.push_back(source);
            AVFilterInOut* out = avfilter_inout_alloc();
            out->name = av_strdup(name.c_str());
            out->filter_ctx = source;
            out->pad_idx = 0;
            out->next = outputs;
            outputs = out;

            const Rect& f = frames[i];
            const auto whole = [](double v) { return static_cast<int64_t>(v); };
            description << '[' << name << "]scale=" << whole(f.width) << ':' << whole(f.height)
                        << ":flags=bilinear[s" << i << "];";
            stackInputs << "[s" << i << ']';
            positions << (i == 0 ? "" : "|") << whole(f.x) << '_' << whole(f.y);
        }
        description << stackInputs.str() << "xstack=inputs=" << frames.size()
                    << ":layout=" << positions.str() << ":fill=black[out]";

        if (avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr,
                                         nullptr, graph_) < 0) {
            avfilter_inout_free(&outputs);
            return;
        }
        const AVPixelFormat format = AV_PIX_FMT_BGRA;
        if (av_opt_set_bin(sink_, "pix_fmts", reinterpret_cast<const uint8_t*>(&format),
                           static_cast<int>(sizeof format), AV_OPT_SEARCH_CHILDREN) < 0) {
            avfilter_inout_free(&outputs);
            return;
        }
        AVFilterInOut* inputs = avfilter_inout_alloc();
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink_;
        inputs->pad_idx = 0;
        inputs->next = nullptr;
        const int parsed =
            avfilter_graph_parse_ptr(graph_, description.str().c_str(), &inputs, &outputs, nullptr);
        avfilter_inout_free(&inputs);
        avfilter_inout_free(&outputs);
        if (parsed < 0 || avfilter_graph_config(graph_, nullptr) < 0) {
            return;
        }

        for (size_t i = 0; i < frames.size(); ++i) {
            AVFrame* frame = av_frame_alloc();
            frame->format = AV_PIX_FMT_BGRA;
            frame->width = kSourceWidth;
            frame->height = kSourceHeight;
            if (av_frame_get_buffer(frame, 0) < 0) {
                av_frame_free(&frame);
                return;
            }
            fill(frame->data[0], frame->linesize[0], i);
            frames_.push_back(frame);
        }
        result_ = av_frame_alloc();
        ready_ = result_ != nullptr;
    }

    ~StackGraph() {
        for (AVFrame*& frame : frames_) {
            av_frame_free(&frame);
        }
        av_frame_free(&result_);
        avfilter_graph_free(&graph_);
    }
    StackGraph(const StackGraph&) = delete;
    StackGraph& operator=(const StackGraph&) = delete;

    bool ready() const { return ready_; }
    // The size of the last picture made.
    int resultWidth() const { return resultWidth_; }
    int resultHeight() const { return resultHeight_; }

    // Pushes one frame per source and takes whatever pictures the graph yields; their count.
    int compose(int64_t pts) {
        for (size_t i = 0; i < sources_.size(); ++i) {
            frames_[i]->pts = pts;
            if (av_buffersrc_add_frame_flags(sources_[i], frames_[i], AV_BUFFERSRC_FLAG_KEEP_REF) <
                0) {
                return -1;
            }
        }
        int pictures = 0;
        while (av_buffersink_get_frame(sink_, result_) >= 0) {
            benchmark::DoNotOptimize(result_->data[0]);
            resultWidth_ = result_->width;
            resultHeight_ = result_->height;
            av_frame_unref(result_);
            ++pictures;
        }
        return pictures;
    }

  private:
    AVFilterGraph* graph_ = nullptr;
    std::vector<AVFilterContext*> sources_;
    AVFilterContext* sink_ = nullptr;
    std::vector<AVFrame*> frames_;
    AVFrame* result_ = nullptr;
    int resultWidth_ = 0;
    int resultHeight_ = 0;
    bool ready_ = false;
};

void BM_CompositorFFmpegStack(benchmark::State& state) {
    const Layout layout = sceneLayout(state.range(0));
    StackGraph graph(layout, static_cast<int>(state.range(1)));
    if (!graph.ready()) {
        state.SkipWithError("the filter graph could not be built");
        return;
    }
    int64_t pts = 0;
    for (int i = 0; i < 3; ++i) {  // the stack may hold a picture back until the next arrives
        graph.compose(pts++);
    }
    if (graph.resultWidth() != static_cast<int>(layout.size().width) ||
        graph.resultHeight() != static_cast<int>(layout.size().height)) {
        state.SkipWithError("the filter graph made a picture of another size");
        return;
    }
    int64_t pictures = 0;
    for (auto _ : state) {
        const int made = graph.compose(pts++);
        if (made < 0) {
            state.SkipWithError("a frame was refused");
            return;
        }
        pictures += made;
    }
    state.counters["pictures_per_iteration"] =
        static_cast<double>(pictures) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * bytesMoved(layout, layout.frames().size()));
}
BENCHMARK(BM_CompositorFFmpegStack)
    ->ArgNames({"scene", "threads"})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// memcpy, counted as bytes read plus written, as the composition's are. size 0: a buffer the
// size of the scene's target; 1: half the bytes the composition moves, so that both move the
// same amount (the sources do not fit in the processor's caches, the smaller targets do).
void BM_CompositorMemcpy(benchmark::State& state) {
    const Layout layout = sceneLayout(state.range(0));
    const auto targetBytes = static_cast<int64_t>(layout.size().width * layout.size().height * 4);
    const int64_t bytes =
        state.range(1) == 0 ? targetBytes : bytesMoved(layout, layout.frames().size()) / 2;
    const auto size = static_cast<size_t>(bytes);
    std::vector<uint8_t> from(size, 1);
    std::vector<uint8_t> to(size, 0);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), size);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * bytes * 2);
}
BENCHMARK(BM_CompositorMemcpy)
    ->ArgNames({"scene", "size"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace zarvo
