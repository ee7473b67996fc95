#include "sources/PipeWireSource.h"

#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/Thread.h"
#include "sources/NDITextureRing.h"
#include "sources/PipeWireSupport.h"
#include "sources/SourceHandlers.h"

namespace zarvo {

namespace {

// How long creation waits for PipeWire to say whether the node is there.
constexpr auto kConnectTimeout = std::chrono::seconds(5);

struct FormatEntry {
    spa_video_format spa;
    PipeWirePixelFormat format;
};

// The raw formats asked for, the ones copied straight first.
constexpr std::array<FormatEntry, 8> kRawFormats = {{
    {SPA_VIDEO_FORMAT_BGRA, PipeWirePixelFormat::BGRA},
    {SPA_VIDEO_FORMAT_BGRx, PipeWirePixelFormat::BGRx},
    {SPA_VIDEO_FORMAT_RGBA, PipeWirePixelFormat::RGBA},
    {SPA_VIDEO_FORMAT_RGBx, PipeWirePixelFormat::RGBx},
    {SPA_VIDEO_FORMAT_YUY2, PipeWirePixelFormat::YUY2},
    {SPA_VIDEO_FORMAT_UYVY, PipeWirePixelFormat::UYVY},
    {SPA_VIDEO_FORMAT_NV12, PipeWirePixelFormat::NV12},
    {SPA_VIDEO_FORMAT_I420, PipeWirePixelFormat::I420},
}};

const spa_pod* popPod(spa_pod_builder* builder, spa_pod_frame* frame) {
    return static_cast<const spa_pod*>(spa_pod_builder_pop(builder, frame));
}

// Any size and rate, for one media subtype; for raw video, the formats above.
const spa_pod* buildEnumFormat(spa_pod_builder* builder, uint32_t subtype) {
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(builder, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(builder, subtype);
    if (subtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_format, 0);
        spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Enum, 0);
        spa_pod_builder_id(builder, kRawFormats[0].spa);  // the preferred one
        for (const auto& entry : kRawFormats) {
            spa_pod_builder_id(builder, entry.spa);
        }
        spa_pod_builder_pop(builder, &choice);
    }
    const auto maxSide = static_cast<uint32_t>(gpu::Texture::kMaxDimension);
    spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_rectangle(builder, 1920, 1080);
    spa_pod_builder_rectangle(builder, 1, 1);
    spa_pod_builder_rectangle(builder, maxSide, maxSide);
    spa_pod_builder_pop(builder, &choice);
    spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(builder, 30, 1);
    spa_pod_builder_fraction(builder, 0, 1);
    spa_pod_builder_fraction(builder, 1000, 1);
    spa_pod_builder_pop(builder, &choice);
    return popPod(builder, &object);
}

// Buffers in memory the process can read: shared memory files or plain memory. A compressed
// picture's size is not known from its format: room for a generous JPEG is asked for.
const spa_pod* buildBuffers(spa_pod_builder* builder, const PipeWireVideoFormat& format) {
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(builder, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    if (format.pixelFormat == PipeWirePixelFormat::MJPEG) {
        const auto size = static_cast<int32_t>(std::min<int64_t>(
            format.width * format.height * 4 + 65536, std::numeric_limits<int32_t>::max()));
        spa_pod_builder_prop(builder, SPA_PARAM_BUFFERS_blocks, 0);
        spa_pod_builder_int(builder, 1);
        spa_pod_builder_prop(builder, SPA_PARAM_BUFFERS_size, 0);
        spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Range, 0);
        spa_pod_builder_int(builder, size);
        spa_pod_builder_int(builder, 4096);
        spa_pod_builder_int(builder, std::numeric_limits<int32_t>::max());
        spa_pod_builder_pop(builder, &choice);
    }
    spa_pod_builder_prop(builder, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Flags, 0);
    spa_pod_builder_int(builder, (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr));
    spa_pod_builder_pop(builder, &choice);
    return popPod(builder, &object);
}

// A header on every buffer: its sequence number tells which pictures the node published that
// never reached the stream.
const spa_pod* buildHeaderMeta(spa_pod_builder* builder) {
    spa_pod_frame object{};
    spa_pod_builder_push_object(builder, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_add(builder, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header)), 0);
    return popPod(builder, &object);
}

// The recorder's format for a negotiated one, or nothing for a format it does not take.
std::optional<PipeWireVideoFormat> parseFormat(const spa_pod* param, std::string* unsupported) {
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video) {
        *unsupported = "something other than video";
        return std::nullopt;
    }
    PipeWireVideoFormat format;
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
        spa_video_info_mjpg info{};
        if (spa_format_video_mjpg_parse(param, &info) < 0) {
            *unsupported = "MJPEG without a size";
            return std::nullopt;
        }
        format.pixelFormat = PipeWirePixelFormat::MJPEG;
        format.width = info.size.width;
        format.height = info.size.height;
        format.fullRange = true;
        return format;
    }
    if (mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
        *unsupported = "compressed video other than MJPEG";
        return std::nullopt;
    }
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) {
        *unsupported = "raw video without a size";
        return std::nullopt;
    }
    bool known = false;
    for (const auto& entry : kRawFormats) {
        if (entry.spa == info.format) {
            format.pixelFormat = entry.format;
            known = true;
        }
    }
    if (!known) {
        *unsupported = "raw video in format " + std::to_string(info.format);
        return std::nullopt;
    }
    format.width = info.size.width;
    format.height = info.size.height;
    format.matrix = info.color_matrix == SPA_VIDEO_COLOR_MATRIX_BT709 ? PipeWireColorMatrix::BT709
                                                                      : PipeWireColorMatrix::BT601;
    format.fullRange = info.color_range == SPA_VIDEO_COLOR_RANGE_0_255;
    return format;
}

}  // namespace

// Shared between the source object and its receive thread.
struct PipeWireSource::State {
    std::mutex mutex;  // the condition's mutex
    std::condition_variable condition;
    bool answered = false;   // guarded by mutex: creation may go on
    bool reachable = false;  // guarded by mutex
    bool alive = true;       // guarded by mutex: node and connection still there
    bool stopping = false;   // guarded by mutex
    bool running = true;     // guarded by mutex: the thread still holds its connection
    pipewire::StoppableLoop* loop = nullptr;  // guarded by mutex; nullptr once the thread let it go
    std::thread::id thread;                   // guarded by mutex
    std::optional<PipeWireVideoFormat> format;  // guarded by mutex
    uint64_t delivered = 0;                     // guarded by mutex
    uint64_t dropped = 0;                       // guarded by mutex
    uint64_t published = 0;                     // guarded by mutex
    uint64_t received = 0;                      // guarded by mutex
    uint64_t skipped = 0;                       // guarded by mutex

    SourceHandlers handlers;
    // Whether a frame handler is set and the source runs: read on PipeWire's data thread, which
    // must never wait for the handlers' lock (a handler call holds it).
    std::atomic<bool> wantsFrames{false};

    // Only the first answer counts.
    void answer(bool canReach) {
        std::lock_guard lock(mutex);
        if (answered) {
            return;
        }
        answered = true;
        reachable = canReach;
        condition.notify_all();
    }
    void lose() {
        std::lock_guard lock(mutex);
        alive = false;
    }
};

// How many converted pictures may wait for the receive thread. The ring reuses a texture twelve
// pictures later: with at most six waiting, a picture being handled or just handed on keeps six
// pictures' room. When the handler falls this far behind, the oldest waiting picture is skipped.
constexpr size_t kMaxWaitingPictures = NDITextureRing::kSlotCount / 2;

// What the receive thread holds: never the source object itself. The stream's process callback
// runs on PipeWire's data thread (the context's own); it uses ring, lastSequence and
// droppedLogged alone, and shares pictureFormat and waiting under pictureMutex. Every other field
// but state is used on the receive thread only.
struct PipeWireSource::Receiving {
    explicit Receiving(gpu::DeviceRef device) : ring(std::move(device)) {}

    std::shared_ptr<State> state;
    std::string title;
    uint32_t targetId = SPA_ID_INVALID;
    uint64_t targetSerial = 0;
    NDITextureRing ring;

    std::unique_ptr<pipewire::StoppableLoop> loop;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_stream* stream = nullptr;
    pw_proxy* link = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook streamListener{};
    spa_hook linkListener{};
    int syncSeq = 0;
    bool targetSeen = false;
    uint32_t streamNode = SPA_ID_INVALID;
    struct Port {
        uint32_t id;
        uint32_t node;
        bool output;
    };
    std::vector<Port> ports;

    std::mutex pictureMutex;
    std::optional<PipeWireVideoFormat> pictureFormat;  // guarded by pictureMutex
    // A converted picture for the frame handler, or, without one, a frame told by its size
    // alone because nobody wanted its picture.
    struct Waiting {
        gpu::TextureRef picture;
        int64_t width = 0;
        int64_t height = 0;
    };
    std::deque<Waiting> waiting;           // guarded by pictureMutex: for the handlers
    spa_source* handOver = nullptr;        // wakes the receive thread for waiting pictures
    std::optional<uint64_t> lastSequence;  // of the buffer received last, when it had one
    bool formatLogged = false;
    bool droppedLogged = false;
    bool linkLogged = false;

    void quit() { loop->quitRun(); }
    void tryLink();
    void connectStream();
    void count(const spa_buffer& buffer);
    bool convert(const spa_buffer& buffer);
    void deliver();
    void drop(const std::string& why);
};

void PipeWireSource::Receiving::drop(const std::string& why) {
    {
        std::lock_guard lock(state->mutex);
        ++state->dropped;
    }
    if (!droppedLogged) {
        logLine("PipeWire: " + title + " sends " + why + ", which are dropped");
        droppedLogged = true;
    }
}

// The stream is linked to the node directly, port to port, once both ports exist; the session
// manager is not asked, so it never moves the stream to another node when this one goes.
void PipeWireSource::Receiving::tryLink() {
    if (link != nullptr || streamNode == SPA_ID_INVALID) {
        return;
    }
    const Port* output = nullptr;
    const Port* input = nullptr;
    for (const Port& port : ports) {
        if (port.output && port.node == targetId && output == nullptr) {
            output = &port;
        } else if (!port.output && port.node == streamNode && input == nullptr) {
            input = &port;
        }
    }
    if (output == nullptr || input == nullptr) {
        return;
    }
    pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", targetId);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", output->id);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", streamNode);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", input->id);
    link = pipewire::createLink(core, &props->dict);
    pw_properties_free(props);
    if (link == nullptr) {
        logLine("PipeWire: " + title + " cannot be linked: " + std::strerror(errno));
        state->lose();
        return;
    }
    static const pw_proxy_events linkEvents = [] {
        pw_proxy_events events{};
        events.version = PW_VERSION_PROXY_EVENTS;
        events.error = [](void* data, int, int res, const char* message) {
            auto* self = static_cast<Receiving*>(data);
            if (!self->linkLogged) {
                logLine("PipeWire: " + self->title + " cannot be linked: " +
                        (message != nullptr ? message : std::strerror(-res)));
                self->linkLogged = true;
            }
            self->state->lose();
        };
        return events;
    }();
    pw_proxy_add_listener(link, &linkListener, &linkEvents, this);
}

void PipeWireSource::Receiving::connectStream() {
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
        "Production", PW_KEY_NODE_NAME, "ZarvoRecorder", PW_KEY_NODE_DESCRIPTION, title.c_str(),
        PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    stream = pw_stream_new(core, "ZarvoRecorder", props);
    if (stream == nullptr) {
        logLine("PipeWire: " + title + " cannot be received: " + std::strerror(errno));
        state->lose();
        return;
    }
    static const pw_stream_events streamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = [](void* data, pw_stream_state, pw_stream_state now,
                                  const char* error) {
            auto* self = static_cast<Receiving*>(data);
            if (now == PW_STREAM_STATE_ERROR) {
                logLine("PipeWire: " + self->title +
                        " stopped: " + (error != nullptr ? error : "an error"));
                self->state->lose();
                return;
            }
            if (now == PW_STREAM_STATE_UNCONNECTED) {
                self->state->lose();
                return;
            }
            self->streamNode = pw_stream_get_node_id(self->stream);
            self->tryLink();
        };
        events.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
            auto* self = static_cast<Receiving*>(data);
            if (id != SPA_PARAM_Format) {
                return;
            }
            std::string unsupported;
            const auto format = param != nullptr ? parseFormat(param, &unsupported) : std::nullopt;
            if (param != nullptr && !format && !self->formatLogged) {
                logLine("PipeWire: " + self->title + " sends " + unsupported +
                        ", which is left out");
                self->formatLogged = true;
            }
            {
                std::lock_guard lock(self->pictureMutex);
                self->pictureFormat = format;
            }
            {
                std::lock_guard lock(self->state->mutex);
                self->state->format = format;
            }
            if (format) {
                std::array<uint8_t, 256> bytes{};
                spa_pod_builder builder{};
                spa_pod_builder_init(&builder, bytes.data(), static_cast<uint32_t>(bytes.size()));
                const spa_pod* params[] = {buildBuffers(&builder, *format),
                                           buildHeaderMeta(&builder)};
                pw_stream_update_params(self->stream, params, 2);
            }
        };
        // On PipeWire's data thread, within the graph's cycle. Every buffer waiting is copied
        // out and given back at once: a buffer goes back to the node only in a later cycle, and
        // the node starts a cycle only once it has a buffer to fill, so buffers given back after
        // their cycle (by a thread that was busy or not yet scheduled) pile up until the node has
        // none left and stops for good. The frame handler runs on the receive thread, so however
        // long it takes, it never holds a buffer.
        events.process = [](void* data) {
            auto* self = static_cast<Receiving*>(data);
            bool converted = false;
            while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream)) {
                if (buffer->buffer != nullptr) {
                    self->count(*buffer->buffer);
                    converted = self->convert(*buffer->buffer) || converted;
                }
                pw_stream_queue_buffer(self->stream, buffer);
            }
            if (converted) {
                pw_loop_signal_event(pw_context_get_main_loop(self->loop->context()),
                                     self->handOver);
            }
        };
        return events;
    }();
    pw_stream_add_listener(stream, &streamListener, &streamEvents, this);

    std::array<uint8_t, 1024> bytes{};
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, bytes.data(), static_cast<uint32_t>(bytes.size()));
    const spa_pod* params[] = {buildEnumFormat(&builder, SPA_MEDIA_SUBTYPE_raw),
                               buildEnumFormat(&builder, SPA_MEDIA_SUBTYPE_mjpg)};
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 2) < 0) {
        logLine("PipeWire: " + title + " cannot be received: the stream does not connect");
        state->lose();
    }
}

// A node that numbers its buffers (GStreamer's pipewiresink numbers them by frame) tells how
// many it published since the last one received: those between were never dequeued and count
// as skipped. A buffer without a number, or with one that does not move forward (a publisher
// that restarted), counts as one published.
void PipeWireSource::Receiving::count(const spa_buffer& buffer) {
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
    uint64_t published = 1;
    if (header != nullptr) {
        if (lastSequence && header->seq > *lastSequence) {
            published = header->seq - *lastSequence;
        }
        lastSequence = header->seq;
    }
    std::lock_guard lock(state->mutex);
    ++state->received;
    state->published += published;
    state->skipped += published - 1;
}

// On the data thread: the buffer's picture into the next texture of the ring, waiting for the
// receive thread; while nobody wants pictures, its size alone. True when something was added.
bool PipeWireSource::Receiving::convert(const spa_buffer& buffer) {
    if (!state->wantsFrames) {
        return false;  // nothing is converted while nobody wants pictures
    }
    std::optional<PipeWireVideoFormat> format;
    {
        std::lock_guard lock(pictureMutex);
        format = pictureFormat;
    }
    if (!format) {
        return false;
    }
    std::array<PipeWirePlane, 4> planes{};
    size_t count = 0;
    for (uint32_t i = 0; i < buffer.n_datas && count < planes.size(); ++i) {
        const spa_data& block = buffer.datas[i];
        if ((block.type != SPA_DATA_MemFd && block.type != SPA_DATA_MemPtr) ||
            block.data == nullptr || block.chunk == nullptr) {
            drop("buffers outside shared memory");
            return false;
        }
        const spa_chunk& chunk = *block.chunk;
        if ((chunk.flags & SPA_CHUNK_FLAG_CORRUPTED) != 0) {
            drop("corrupted buffers");
            return false;
        }
        // What the chunk claims must lie inside the memory that was mapped.
        if (chunk.offset > block.maxsize || chunk.size > block.maxsize - chunk.offset ||
            chunk.stride < 0) {
            drop("buffers that do not fit their memory");
            return false;
        }
        planes[count++] = {static_cast<const uint8_t*>(block.data) + chunk.offset, chunk.size,
                           chunk.stride};
    }
    const std::span<const PipeWirePlane> blocks(planes.data(), count);
    if (!pipeWireFrameFits(*format, blocks)) {
        drop("buffers that do not hold a whole " + pipeWirePixelFormatName(format->pixelFormat) +
             " picture of " + std::to_string(format->width) + "×" + std::to_string(format->height));
        return false;
    }
    Waiting next{nullptr, format->width, format->height};
    if (state->handlers.picturesWanted()) {
        next.picture = ring.nextTexture(format->width, format->height,
                                        pipeWirePixelFormatHasAlpha(format->pixelFormat));
        if (!next.picture) {
            return false;
        }
        if (!convertPipeWireFrame(*format, blocks, *next.picture)) {
            drop("pictures that cannot be decoded");
            return false;
        }
    }
    bool skipped = false;
    {
        std::lock_guard lock(pictureMutex);
        if (waiting.size() >= kMaxWaitingPictures) {
            waiting.pop_front();
            skipped = true;
        }
        waiting.push_back(std::move(next));
    }
    if (skipped) {
        std::lock_guard lock(state->mutex);
        ++state->skipped;
    }
    return true;
}

// On the receive thread: the waiting pictures to the frame handler, oldest first.
void PipeWireSource::Receiving::deliver() {
    for (;;) {
        Waiting next;
        {
            std::lock_guard lock(pictureMutex);
            if (waiting.empty()) {
                return;
            }
            next = std::move(waiting.front());
            waiting.pop_front();
        }
        if (!next.picture) {
            state->handlers.callFrameNotice(next.width, next.height);
            continue;
        }
        state->handlers.callFrameHandler(next.picture, [this] {
            std::lock_guard countLock(state->mutex);
            ++state->delivered;
        });
    }
}

std::shared_ptr<PipeWireSource> PipeWireSource::create(std::string title, uint32_t nodeId,
                                                       uint64_t nodeSerial, gpu::DeviceRef device) {
    pipewire::initialize();
    auto state = std::make_shared<State>();
    auto receiving = std::make_shared<Receiving>(std::move(device));
    receiving->state = state;
    receiving->title = title;
    receiving->targetId = nodeId;
    receiving->targetSerial = nodeSerial;
    try {
        std::thread(receive, std::move(receiving)).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }
    std::shared_ptr<PipeWireSource> source(new PipeWireSource(std::move(title), state));
    std::unique_lock lock(state->mutex);
    if (!state->condition.wait_for(lock, kConnectTimeout, [&] { return state->answered; }) ||
        !state->reachable) {
        lock.unlock();
        source->stop();
        return nullptr;
    }
    return source;
}

void PipeWireSource::receive(std::shared_ptr<Receiving> receiving) {
    setCurrentThreadName("PipeWireSource");
    Receiving& r = *receiving;
    State& state = *r.state;
    r.loop = std::make_unique<pipewire::StoppableLoop>();
    if (!r.loop->isValid()) {
        state.answer(false);
        std::lock_guard lock(state.mutex);
        state.running = false;
        state.condition.notify_all();
        return;
    }
    bool run = false;
    {
        std::lock_guard lock(state.mutex);
        state.thread = std::this_thread::get_id();
        if (!state.stopping) {
            state.loop = r.loop.get();
            run = true;
        }
    }
    r.core = pw_context_connect(r.loop->context(), nullptr, 0);
    if (r.core == nullptr) {
        logLine("PipeWire: " + r.title + " cannot be received: PipeWire does not answer (" +
                std::strerror(errno) + ")");
        run = false;
    }

    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.done = [](void* data, uint32_t id, int seq) {
            auto* self = static_cast<Receiving*>(data);
            if (id != PW_ID_CORE || seq != self->syncSeq) {
                return;
            }
            // Every object that was there is known now: the node is or is not.
            if (!self->targetSeen) {
                self->state->answer(false);
                self->quit();
                return;
            }
            self->connectStream();
            self->state->answer(true);
        };
        events.error = [](void* data, uint32_t id, int, int res, const char* message) {
            auto* self = static_cast<Receiving*>(data);
            if (id == PW_ID_CORE) {
                if (res != -EPIPE) {
                    logLine("PipeWire: " + self->title + " lost its connection: " +
                            (message != nullptr ? message : std::strerror(-res)));
                }
                self->state->lose();
                self->state->answer(false);
                self->quit();
            }
        };
        return events;
    }();
    static const pw_registry_events registryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                           const spa_dict* props) {
            auto* self = static_cast<Receiving*>(data);
            if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && id == self->targetId) {
                const auto serial = pipewire::DictNumber(props, PW_KEY_OBJECT_SERIAL);
                self->targetSeen = self->targetSerial == 0 || serial == self->targetSerial;
            } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
                const auto node = pipewire::DictNumber(props, PW_KEY_NODE_ID);
                if (!node) {
                    return;
                }
                self->ports.push_back(
                    {id, static_cast<uint32_t>(*node),
                     pipewire::dictString(props, PW_KEY_PORT_DIRECTION) == "out"});
                self->tryLink();
            }
        };
        events.global_remove = [](void* data, uint32_t id) {
            auto* self = static_cast<Receiving*>(data);
            if (id == self->targetId && self->targetSeen) {
                self->targetSeen = false;
                self->state->lose();
            }
            std::erase_if(self->ports, [id](const Receiving::Port& port) { return port.id == id; });
        };
        return events;
    }();

    if (run) {
        r.handOver = pw_loop_add_event(
            pw_context_get_main_loop(r.loop->context()),
            [](void* data, uint64_t) { static_cast<Receiving*>(data)->deliver(); }, &r);
        run = r.handOver != nullptr;
    }
    if (run) {
        pipewire::addCoreListener(r.core, &r.coreListener, &coreEvents, &r);
        r.registry = pipewire::getRegistry(r.core);
        if (r.registry != nullptr) {
            pipewire::addRegistryListener(r.registry, &r.registryListener, &registryEvents, &r);
            r.syncSeq = pipewire::sync(r.core);
            r.loop->run();
        }
    }

    // The connection goes; nothing of it is used afterwards.
    state.answer(false);
    state.lose();
    if (r.stream != nullptr) {
        spa_hook_remove(&r.streamListener);
        pw_stream_destroy(r.stream);
    }
    // The data thread no longer calls the stream's callback: nothing signals the event now.
    if (r.handOver != nullptr) {
        pw_loop_destroy_source(pw_context_get_main_loop(r.loop->context()), r.handOver);
    }
    if (r.link != nullptr) {
        spa_hook_remove(&r.linkListener);
        pw_proxy_destroy(r.link);
    }
    if (r.registry != nullptr) {
        spa_hook_remove(&r.registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(r.registry));
    }
    if (r.core != nullptr) {
        spa_hook_remove(&r.coreListener);
        pw_core_disconnect(r.core);
    }
    {
        std::lock_guard lock(state.mutex);
        state.loop = nullptr;
    }
    r.loop.reset();
    std::lock_guard lock(state.mutex);
    state.running = false;
    state.condition.notify_all();
}

PipeWireSource::~PipeWireSource() {
    stop();
}

FrameHandler PipeWireSource::frameHandler() const {
    return state_->handlers.frameHandler();
}

void PipeWireSource::setPicturesWanted(bool wanted) {
    state_->handlers.setPicturesWanted(wanted);
}

void PipeWireSource::setFrameNoticeHandler(FrameNoticeHandler handler) {
    state_->handlers.setFrameNoticeHandler(std::move(handler));
}

void PipeWireSource::setFrameHandler(FrameHandler handler) {
    state_->handlers.setFrameHandler(std::move(handler));
    state_->wantsFrames = state_->handlers.wantsFrames();
}

SoundHandler PipeWireSource::soundHandler() const {
    return state_->handlers.soundHandler();
}

void PipeWireSource::setSoundHandler(SoundHandler handler) {
    state_->handlers.setSoundHandler(std::move(handler));
}

bool PipeWireSource::isAlive() const {
    std::lock_guard lock(state_->mutex);
    return state_->alive && !state_->stopping;
}

std::optional<PipeWireVideoFormat> PipeWireSource::format() const {
    std::lock_guard lock(state_->mutex);
    return state_->format;
}

uint64_t PipeWireSource::deliveredFrameCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->delivered;
}

uint64_t PipeWireSource::droppedBufferCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->dropped;
}

uint64_t PipeWireSource::publishedFrameCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->published;
}

uint64_t PipeWireSource::receivedFrameCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->received;
}

uint64_t PipeWireSource::skippedFrameCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->skipped;
}

void PipeWireSource::stop() {
    // Waits for a handler call under way on the receive thread.
    state_->handlers.stop();
    state_->wantsFrames = false;
    std::unique_lock lock(state_->mutex);
    if (!state_->stopping) {
        state_->stopping = true;
        if (state_->loop != nullptr) {
            state_->loop->stop();
        }
    }
    if (state_->thread != std::this_thread::get_id()) {
        state_->condition.wait(lock, [&] { return !state_->running; });
    }
}

}  // namespace zarvo
