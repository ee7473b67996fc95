#include "sources/NDISource.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/HostClock.h"
#include "platform/Log.h"
#include "platform/Thread.h"
#include "sources/NDITextureRing.h"
#include "sources/SourceHandlers.h"
#include "sources/SourceSound.h"

namespace zarvo {

namespace {

// How long one capture waits for a frame; bounds how late a stop is noticed.
constexpr uint32_t kCaptureTimeoutMs = 100;

// The four characters of a code, up to the first zero byte.
std::string fourCCText(int code) {
    std::string text;
    const auto bits = static_cast<uint32_t>(code);
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<char>((bits >> (8 * i)) & 0xFFu);
        if (byte == '\0') {
            break;
        }
        text.push_back(byte);
    }
    return text;
}

}  // namespace

// Shared between the source object and its receive thread.
struct NDISource::State {
    std::mutex mutex;  // the condition's mutex
    std::condition_variable condition;
    bool stopping = false;     // guarded by mutex
    bool running = true;       // guarded by mutex
    void* receiver = nullptr;  // guarded by mutex; nullptr once the thread let it go
    std::thread::id thread;    // guarded by mutex; the receive thread, once it runs
    double lastSoundTime = 0;  // guarded by mutex; 0 until the first sound

    SourceHandlers handlers;

    // What the receiver was made with, kept for its whole life.
    std::string name;
    std::optional<std::string> url;
};

// What the receive thread holds: never the source object itself.
struct NDISource::Receiving {
    std::shared_ptr<State> state;
    std::shared_ptr<const NDILibrary> library;
    const ndi::NDIlib_v5* table = nullptr;
    void* receiver = nullptr;
    std::string title;
    NDITextureRing ring;
    Clock clock;
};

std::shared_ptr<NDISource> NDISource::create(std::string title, const std::string& name,
                                             const std::optional<std::string>& url,
                                             std::shared_ptr<const NDILibrary> library,
                                             gpu::DeviceRef device, Clock clock) {
    const ndi::NDIlib_v5* table = library ? library->functions() : nullptr;
    if (table == nullptr) {
        return nullptr;
    }
    if (!clock) {
        clock = hostTime;
    }
    auto state = std::make_shared<State>();
    state->name = name;
    if (url && !url->empty()) {
        state->url = *url;
    }

    ndi::NDIlib_recv_create_v3_t settings{};
    settings.source_to_connect_to.p_ndi_name = state->name.c_str();
    settings.source_to_connect_to.p_url_address = state->url ? state->url->c_str() : nullptr;
    settings.color_format = ndi::kColorFormatBGRXBGRA;
    settings.bandwidth = ndi::kBandwidthHighest;
    settings.allow_video_fields = false;
    settings.p_ndi_recv_name = "ZarvoRecorder";
    void* receiver = table->recv_create_v3(&settings);
    if (receiver == nullptr) {
        return nullptr;
    }

    const double madeTime = clock();
    state->receiver = receiver;
    auto receiving = std::shared_ptr<Receiving>(new Receiving{
        state, library, table, receiver, title, NDITextureRing(std::move(device)), clock});
    try {
        std::thread(receive, std::move(receiving)).detach();
    } catch (const std::system_error&) {
        table->recv_destroy(receiver);
        return nullptr;
    }
    return std::shared_ptr<NDISource>(new NDISource(std::move(title), std::move(library),
                                                    std::move(state), std::move(clock), madeTime));
}

NDISource::~NDISource() {
    stop();
}

void NDISource::receive(std::shared_ptr<Receiving> receiving) {
    setCurrentThreadName("NDISource");
    State& state = *receiving->state;
    const ndi::NDIlib_v5& table = *receiving->table;
    void* const receiver = receiving->receiver;
    {
        std::lock_guard lock(state.mutex);
        state.thread = std::this_thread::get_id();
    }
    // Each unsupported format is reported once per source.
    bool picturesLogged = false;
    bool soundLogged = false;

    while (true) {
        {
            std::lock_guard lock(state.mutex);
            if (state.stopping) {
                break;
            }
        }
        ndi::NDIlib_video_frame_v2_t video{};
        ndi::NDIlib_audio_frame_v3_t audio{};
        const int type =
            table.recv_capture_v3(receiver, &video, &audio, nullptr, kCaptureTimeoutMs);
        if (type == ndi::kFrameTypeAudio) {
            if (audio.FourCC != ndi::kFourCCFLTp) {
                if (!soundLogged) {
                    logLine("NDISource: " + receiving->title + " sends sound as " +
                            fourCCText(audio.FourCC) + ", which is left out");
                    soundLogged = true;
                }
            } else if (audio.no_channels >= 1 && audio.no_samples >= 1 &&
                       audio.channel_stride_in_bytes >= 1 && audio.sample_rate >= 1 &&
                       audio.p_data != nullptr &&
                       reinterpret_cast<uintptr_t>(audio.p_data) % alignof(float) == 0) {
                auto sound = SourceSound::soundWithPlanarSamples(
                    reinterpret_cast<const float*>(audio.p_data),
                    static_cast<uint64_t>(audio.no_channels),
                    static_cast<uint64_t>(audio.no_samples),
                    static_cast<uint64_t>(audio.channel_stride_in_bytes),
                    static_cast<double>(audio.sample_rate));
                if (sound) {
                    {
                        std::lock_guard lock(state.mutex);
                        state.lastSoundTime = receiving->clock();
                    }
                    state.handlers.callSoundHandler(sound);
                }
            }
            table.recv_free_audio_v3(receiver, &audio);
        } else if (type == ndi::kFrameTypeVideo) {
            const bool hasAlpha = video.FourCC == ndi::kFourCCBGRA;
            if (!hasAlpha && video.FourCC != ndi::kFourCCBGRX) {
                if (!picturesLogged) {
                    logLine("NDISource: " + receiving->title + " sends pictures as " +
                            fourCCText(video.FourCC) + ", which are dropped");
                    picturesLogged = true;
                }
            } else if (!state.handlers.picturesWanted()) {
                state.handlers.callFrameNotice(video.xres, video.yres);
            } else if (video.xres >= 1 && video.yres >= 1 && video.line_stride_in_bytes >= 1 &&
                       video.p_data != nullptr) {
                auto texture = receiving->ring.textureWithBytes(
                    video.p_data, video.xres, video.yres, video.line_stride_in_bytes, hasAlpha);
                if (texture) {
                    state.handlers.callFrameHandler(texture);
                }
            }
            table.recv_free_video_v2(receiver, &video);
        }
    }

    {
        std::lock_guard lock(state.mutex);
        state.receiver = nullptr;
    }
    table.recv_destroy(receiver);
    std::lock_guard lock(state.mutex);
    state.running = false;
    state.condition.notify_all();
}

FrameHandler NDISource::frameHandler() const {
    return state_->handlers.frameHandler();
}

void NDISource::setFrameHandler(FrameHandler handler) {
    state_->handlers.setFrameHandler(std::move(handler));
}

void NDISource::setPicturesWanted(bool wanted) {
    state_->handlers.setPicturesWanted(wanted);
}

void NDISource::setFrameNoticeHandler(FrameNoticeHandler handler) {
    state_->handlers.setFrameNoticeHandler(std::move(handler));
}

SoundHandler NDISource::soundHandler() const {
    return state_->handlers.soundHandler();
}

void NDISource::setSoundHandler(SoundHandler handler) {
    state_->handlers.setSoundHandler(std::move(handler));
}

bool NDISource::hasSound() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastSoundTime > 0 && clock_() - state_->lastSoundTime < kSoundTimeout;
}

bool NDISource::isAlive() const {
    std::lock_guard lock(state_->mutex);
    if (state_->receiver == nullptr || state_->stopping) {
        return false;
    }
    if (clock_() - madeTime_ < kGracePeriod) {
        return true;
    }
    // Under the lock, so that the receive thread cannot destroy the receiver meanwhile.
    return library_->functions()->recv_get_no_connections(state_->receiver) > 0;
}

void NDISource::stop() {
    state_->handlers.stop();
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    if (state_->thread != std::this_thread::get_id()) {
        state_->condition.wait(lock, [&] { return !state_->running; });
    }
}

}  // namespace zarvo
