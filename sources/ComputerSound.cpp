#include "sources/ComputerSound.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

#include "sources/SourceSound.h"

namespace zarvo {

namespace {

static_assert(std::endian::native == std::endian::little,
              "captured samples are requested as little-endian float");

constexpr char kClientName[] = "ZarvoRecorder";
constexpr char kThreadName[] = "ComputerSound";
constexpr char kStreamName[] = "Computer sound";
// The monitor of whatever output the sound server plays to by default.
constexpr char kMonitor[] = "@DEFAULT_MONITOR@";
constexpr uint32_t kFallbackRate = 48000;
constexpr pa_usec_t kFragmentMicroseconds = 20'000;
constexpr size_t kFrameBytes = 2 * sizeof(float);

struct Deadline {
    pa_threaded_mainloop* mainloop;
    bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* deadline = static_cast<Deadline*>(userdata);
    deadline->passed = true;
    pa_threaded_mainloop_signal(deadline->mainloop, 0);
}

struct RateQuery {
    pa_threaded_mainloop* mainloop;
    uint32_t rate = 0;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int, void* userdata) {
    auto* query = static_cast<RateQuery*>(userdata);
    if (info != nullptr && pa_sample_spec_valid(&info->sample_spec) != 0) {
        query->rate = info->sample_spec.rate;
    }
    pa_threaded_mainloop_signal(query->mainloop, 0);
}

bool isSilent(const float* samples, uint64_t frames, uint64_t stride, bool twoChannels) {
    for (uint64_t i = 0; i < frames; ++i) {
        const float* frame = samples + i * stride;
        if (frame[0] != 0.0f || (twoChannels && frame[1] != 0.0f)) {
            return false;
        }
    }
    return true;
}

std::unique_ptr<float[]> stereoBuffer(uint64_t frames) {
    if (frames > SourceSound::kMaxFrameCount) {
        return nullptr;
    }
    return std::unique_ptr<float[]>(new (std::nothrow) float[frames * 2]);
}

}  // namespace

ComputerSound::ComputerSound() = default;

ComputerSound::~ComputerSound() {
    stop();
}

SoundHandler ComputerSound::soundHandler() const {
    std::lock_guard guard(lock_);
    return soundHandler_ ? *soundHandler_ : SoundHandler();
}

void ComputerSound::setSoundHandler(SoundHandler handler) {
    auto shared = handler ? std::make_shared<const SoundHandler>(std::move(handler)) : nullptr;
    std::lock_guard guard(lock_);
    soundHandler_ = std::move(shared);
}

bool ComputerSound::start() {
    if (running_) {
        return true;
    }
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr) {
        return false;
    }
    pa_threaded_mainloop_set_name(mainloop_, kThreadName);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), kClientName);
    if (context_ == nullptr) {
        release();
        return false;
    }
    pa_context_set_state_callback(context_, onContextState, this);
    // Never start a server of our own: without one there is simply no computer sound.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(mainloop_) < 0) {
        release();
        return false;
    }

    pa_threaded_mainloop_lock(mainloop_);
    Deadline deadline{mainloop_};
    pa_time_event* timer = pa_context_rttime_new(
        context_, pa_rtclock_now() + kStartTimeoutMicroseconds, onDeadline, &deadline);
    const bool started = timer != nullptr && waitForContext(deadline.passed) &&
                         readMonitorRate(deadline.passed) && connectStream(deadline.passed);
    if (timer != nullptr) {
        pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
    }
    pa_threaded_mainloop_unlock(mainloop_);

    if (!started) {
        {
            std::lock_guard guard(lock_);
            active_ = false;
        }
        release();
        return false;
    }
    running_ = true;
    return true;
}

void ComputerSound::stop() {
    if (!running_) {
        return;
    }
    running_ = false;
    {
        std::lock_guard guard(lock_);
        active_ = false;
    }
    release();
}

// Stops the server thread first (joining it, so no capture runs past this point), then lets go
// of the stream, the connection and the loop, whichever exist.
void ComputerSound::release() {
    if (mainloop_ != nullptr) {
        pa_threaded_mainloop_stop(mainloop_);
    }
    if (stream_ != nullptr) {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    if (mainloop_ != nullptr) {
        pa_threaded_mainloop_free(mainloop_);
        mainloop_ = nullptr;
    }
    partialFrame_.clear();
}

void ComputerSound::onContextState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<ComputerSound*>(self)->mainloop_, 0);
}

void ComputerSound::onStreamState(pa_stream*, void* self) {
    pa_threaded_mainloop_signal(static_cast<ComputerSound*>(self)->mainloop_, 0);
}

bool ComputerSound::waitForContext(const bool& timedOut) {
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) {
            return true;
        }
        if (!PA_CONTEXT_IS_GOOD(state) || timedOut) {
            return false;
        }
        pa_threaded_mainloop_wait(mainloop_);
    }
}

// Captures at the monitor's own rate, so the server need not resample; 48 kHz when the server
// does not say.
bool ComputerSound::readMonitorRate(const bool& timedOut) {
    RateQuery query{mainloop_};
    pa_operation* operation =
        pa_context_get_source_info_by_name(context_, kMonitor, onSourceInfo, &query);
    if (operation == nullptr) {
        return false;
    }
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && !timedOut &&
           PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        pa_threaded_mainloop_wait(mainloop_);
    }
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    // The query lives on this stack: no answer may reach it later.
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
    if (!done) {
        return false;
    }
    sampleRate_ = query.rate > 0 ? query.rate : kFallbackRate;
    return true;
}

bool ComputerSound::connectStream(const bool& timedOut) {
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(sampleRate_), 2};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    stream_ = pa_stream_new(context_, kStreamName, &sampleFormat, &map);
    if (stream_ == nullptr) {
        return false;
    }
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_read_callback(stream_, onRead, this);
    {
        std::lock_guard guard(lock_);
        active_ = true;
        heardSound_ = false;
    }
    const uint32_t unset = std::numeric_limits<uint32_t>::max();
    const pa_buffer_attr attributes{
        unset, unset, unset, unset,
        static_cast<uint32_t>(pa_usec_to_bytes(kFragmentMicroseconds, &sampleFormat))};
    if (pa_stream_connect_record(stream_, kMonitor, &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
        return false;
    }
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(stream_);
        if (state == PA_STREAM_READY) {
            return true;
        }
        if (!PA_STREAM_IS_GOOD(state) || timedOut) {
            return false;
        }
        pa_threaded_mainloop_wait(mainloop_);
    }
}

// On the server thread, with its lock held.
void ComputerSound::onRead(pa_stream* stream, size_t, void* self) {
    auto* sound = static_cast<ComputerSound*>(self);
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        // A hole (no data) is skipped: nothing was captured there.
        if (data != nullptr) {
            sound->deliver(data, bytes);
        }
        pa_stream_drop(stream);
    }
}

// Hands on whole frames only; a frame split across two reads is put together first.
void ComputerSound::deliver(const void* data, size_t bytes) {
    if (partialFrame_.empty() && bytes % kFrameBytes == 0) {
        capture(data, bytes);
        return;
    }
    const auto* first = static_cast<const uint8_t*>(data);
    partialFrame_.insert(partialFrame_.end(), first, first + bytes);
    const size_t whole = partialFrame_.size() - partialFrame_.size() % kFrameBytes;
    if (whole > 0) {
        capture(partialFrame_.data(), whole);
        partialFrame_.erase(partialFrame_.begin(), partialFrame_.begin() + std::ptrdiff_t(whole));
    }
}

void ComputerSound::capture(const void* data, size_t bytes) {
    bool heardSound = false;
    std::shared_ptr<const SoundHandler> handler;
    {
        std::lock_guard guard(lock_);
        if (!active_ || !soundHandler_) {
            return;
        }
        heardSound = heardSound_;
        handler = soundHandler_;
    }
    if (bytes > std::numeric_limits<uint32_t>::max()) {
        return;
    }
    const CaptureBuffer buffer{2, static_cast<uint32_t>(bytes), data};
    CaptureFormat format;
    format.sampleRate = sampleRate_;
    auto sound = soundFromBufferList({&buffer, 1}, format, !heardSound);
    if (!sound) {
        return;
    }
    if (!heardSound) {
        std::lock_guard guard(lock_);
        heardSound_ = true;
    }
    (*handler)(sound);
}

std::shared_ptr<const SourceSound> ComputerSound::soundFromBufferList(
    std::span<const CaptureBuffer> buffers, const CaptureFormat& format, bool ignoreIfSilent) {
    if (buffers.empty()) {
        return nullptr;
    }
    const uint32_t endianAndKind = CaptureFormat::kFlagFloat | CaptureFormat::kFlagBigEndian;
    if (format.formatID != CaptureFormat::kLinearPCM ||
        (format.flags & endianAndKind) != CaptureFormat::kFlagFloat ||
        format.bitsPerChannel != 32 || !IsUsableRate(format.sampleRate)) {
        return nullptr;
    }
    const double rate = format.sampleRate;

    if (buffers.size() > 1 || (format.flags & CaptureFormat::kFlagNonInterleaved) != 0) {
        // One channel per buffer: left from the first, right from the second (or the first
        // again, for a mono capture).
        const CaptureBuffer& first = buffers[0];
        if (first.data == nullptr || first.byteSize < sizeof(float)) {
            return nullptr;
        }
        const uint64_t frames = first.byteSize / sizeof(float);
        const auto* left = static_cast<const float*>(first.data);
        const float* right = left;
        if (buffers.size() >= 2) {
            const CaptureBuffer& second = buffers[1];
            if (second.data == nullptr || second.byteSize < frames * sizeof(float)) {
                return nullptr;
            }
            right = static_cast<const float*>(second.data);
        }
        if (ignoreIfSilent && isSilent(left, frames, 1, false) &&
            isSilent(right, frames, 1, false)) {
            return nullptr;
        }
        auto stereo = stereoBuffer(frames);
        if (!stereo) {
            return nullptr;
        }
        for (uint64_t i = 0; i < frames; ++i) {
            stereo[2 * i] = left[i];
            stereo[2 * i + 1] = right[i];
        }
        return SourceSound::soundWithInterleavedStereoSamples(stereo.get(), frames, rate);
    }

    const CaptureBuffer& buffer = buffers[0];
    const uint64_t channels =
        buffer.channelCount != 0 ? buffer.channelCount : format.channelsPerFrame;
    if (channels == 0 || buffer.data == nullptr) {
        return nullptr;
    }
    const uint64_t frameBytes = channels * sizeof(float);
    if (frameBytes > buffer.byteSize) {
        return nullptr;
    }
    const uint64_t frames = buffer.byteSize / frameBytes;
    const auto* samples = static_cast<const float*>(buffer.data);
    if (ignoreIfSilent && isSilent(samples, frames, channels, channels >= 2)) {
        return nullptr;
    }
    if (channels == 1) {
        return SourceSound::soundWithPlanarSamples(samples, 1, frames, 0, rate);
    }
    if (channels == 2) {
        return SourceSound::soundWithInterleavedStereoSamples(samples, frames, rate);
    }
    auto stereo = stereoBuffer(frames);
    if (!stereo) {
        return nullptr;
    }
    for (uint64_t i = 0; i < frames; ++i) {
        stereo[2 * i] = samples[i * channels];
        stereo[2 * i + 1] = samples[i * channels + 1];
    }
    return SourceSound::soundWithInterleavedStereoSamples(stereo.get(), frames, rate);
}

}  // namespace zarvo
