#include "platform/framesharing/SyphonClient.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "platform/framesharing/ServerRegistry.h"
#include "platform/framesharing/SharedFrames.h"

namespace zarvo {

namespace {

// Textures handed out are kept for reuse once nobody else holds them; beyond this many, new
// ones are simply let go.
constexpr size_t kTexturePoolLimit = 16;
// A waiting client thread also looks for a stop request this often, should a wake be lost.
constexpr double kWaitSeconds = 0.25;
// Copies of frames overwritten while being copied are tried again with the newest frame.
constexpr int kCopyAttempts = 4;

}  // namespace

struct SyphonClient::State {
    std::filesystem::path folder;
    std::string id;
    gpu::DeviceRef device;
    NewFrameHandler handler;
    std::unique_ptr<framesharing::FrameSegment> segment;  // set once at creation
    std::atomic<bool> stopped{false};
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> skipped{0};

    std::mutex mutex;
    uint64_t announced = 0;             // guarded by mutex: the frame of the handler call now
    uint64_t copied = 0;                // guarded by mutex: what newFrameImage gave in it
    bool asked = false;                 // guarded by mutex: newFrameImage was called in it
    std::vector<gpu::TextureRef> pool;  // guarded by mutex

    gpu::TextureRef makeTexture(int64_t width, int64_t height) {
        for (const auto& texture : pool) {
            if (texture.use_count() == 1 && texture->width() == width &&
                texture->height() == height) {
                return texture;
            }
        }
        std::erase_if(pool, [&](const gpu::TextureRef& texture) {
            return texture.use_count() == 1 &&
                   (texture->width() != width || texture->height() != height);
        });
        auto texture =
            device ? device->makeTexture(width, height) : gpu::Texture::make(width, height);
        if (texture && pool.size() < kTexturePoolLimit) {
            pool.push_back(texture);
        }
        return texture;
    }
};

SyphonClient::SyphonClient(const SyphonServerDescription& description, gpu::DeviceRef device,
                           const Options& /*options*/, NewFrameHandler handler)
    : description_(description), state_(std::make_shared<State>()) {
    state_->id = syphonDescriptionString(description, kSyphonServerDescriptionUUIDKey);
    state_->device = std::move(device);
    state_->handler = std::move(handler);
    if (!framesharing::isServerId(state_->id)) {
        return;
    }
    state_->folder = framesharing::registryFolder();
    state_->segment = framesharing::FrameSegment::open(framesharing::segmentName(state_->id));
    if (state_->segment && state_->handler) {
        const uint64_t newest = state_->segment->latestFrame();
        // The thread waits for this lock before its first handler call, so that a handler that
        // stops the client finds thread_ set.
        std::lock_guard lock(state_->mutex);
        thread_ = std::thread(&SyphonClient::run, state_, this, newest > 0 ? newest - 1 : 0);
    }
}

SyphonClient::~SyphonClient() {
    stop();
}

bool SyphonClient::isValid() const {
    return !state_->stopped.load() && state_->segment != nullptr && !state_->folder.empty() &&
           framesharing::publisherAlive(state_->folder, state_->id);
}

gpu::TextureRef SyphonClient::newFrameImage() {
    std::lock_guard lock(state_->mutex);
    auto& segment = state_->segment;
    if (state_->stopped.load() || !segment) {
        return nullptr;
    }
    const bool inHandler = state_->announced != 0;
    state_->asked = state_->asked || inHandler;
    uint64_t frame = inHandler ? state_->announced : segment->latestFrame();
    const auto maker = [this](int64_t width, int64_t height) {
        return state_->makeTexture(width, height);
    };
    for (int attempt = 0; attempt < kCopyAttempts && frame != 0; ++attempt) {
        if (auto texture = segment->copyFrame(frame, maker)) {
            if (inHandler && state_->copied == 0) {
                state_->received.fetch_add(1, std::memory_order_relaxed);
            }
            state_->copied = frame;
            return texture;
        }
        // Overwritten before it could be copied: the newest frame is the next best.
        frame = segment->latestFrame();
    }
    return nullptr;
}

std::optional<framesharing::FrameSegment::Size> SyphonClient::newFrameSize() {
    std::lock_guard lock(state_->mutex);
    if (state_->stopped.load() || !state_->segment) {
        return std::nullopt;
    }
    const uint64_t frame =
        state_->announced != 0 ? state_->announced : state_->segment->latestFrame();
    return state_->segment->frameSize(frame);
}

uint64_t SyphonClient::framesReceived() const {
    return state_->received.load(std::memory_order_relaxed);
}

uint64_t SyphonClient::framesSkipped() const {
    return state_->skipped.load(std::memory_order_relaxed);
}

void SyphonClient::stop() {
    if (state_->stopped.exchange(true)) {
        return;
    }
    if (state_->segment) {
        // Wakes the client's thread; other readers of the server just look and wait again.
        state_->segment->wakeAll();
    }
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            // Called from the handler: the thread ends by itself once the handler returns, and
            // keeps what it uses alive until then.
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void SyphonClient::run(const std::shared_ptr<State>& state, SyphonClient* client,
                       uint64_t delivered) {
    setCurrentThreadName("SyphonClient");
    framesharing::FrameSegment& segment = *state->segment;
    { std::lock_guard started(state->mutex); }
    while (!state->stopped.load(std::memory_order_acquire)) {
        const uint32_t seen = segment.wakeCount();
        const uint64_t latest = segment.latestFrame();
        if (latest <= delivered) {
            segment.waitForWake(seen, kWaitSeconds);
            continue;
        }
        uint64_t next = delivered + 1;
        // The publisher's next frame goes where frame latest + 1 - count is kept: a frame that
        // old is about to go, and a client this far behind skips to the newest.
        const uint32_t count = segment.slotCount();
        if (next + count < latest + 2) {
            next = latest;
        }
        {
            std::lock_guard lock(state->mutex);
            state->announced = next;
            state->copied = 0;
            state->asked = false;
        }
        state->handler(*client);
        // After a stop the client may be gone (destroyed from within the handler).
        if (state->stopped.load(std::memory_order_acquire)) {
            break;
        }
        std::lock_guard lock(state->mutex);
        const uint64_t passed = std::max(next, state->copied) - delivered;
        // Every frame passed over is skipped but the one received, or the one announced to a
        // handler that did not want it.
        const bool accounted = state->copied != 0 || !state->asked;
        state->skipped.fetch_add(passed - (accounted ? 1 : 0), std::memory_order_relaxed);
        delivered += passed;
        state->announced = 0;
    }
}

}  // namespace zarvo
