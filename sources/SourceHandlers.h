#pragma once

// The frame and sound handlers of a source that receives on a thread of its own, and the stop
// that ends the calls to them.

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "sources/SourceDirectory.h"

namespace zarvo {

// A call to a handler is made under the lock, so that stop() returns only once no call is
// under way on the receiving thread. The lock is recursive: a handler may replace itself, ask
// for its source's handlers or stop its source from within the call.
class SourceHandlers {
  public:
    FrameHandler frameHandler() const {
        std::lock_guard lock(lock_);
        return frame_;
    }
    // The replaced handler is let go of after the lock; a stopped source keeps none.
    void setFrameHandler(FrameHandler handler) {
        std::lock_guard lock(lock_);
        if (!stopped_) {
            std::swap(frame_, handler);
        }
    }
    SoundHandler soundHandler() const {
        std::lock_guard lock(lock_);
        return sound_;
    }
    void setSoundHandler(SoundHandler handler) {
        std::lock_guard lock(lock_);
        if (!stopped_) {
            std::swap(sound_, handler);
        }
    }

    // The frame notice handler, and whether pictures are wanted (see FrameSource).
    void setFrameNoticeHandler(FrameNoticeHandler handler) {
        std::lock_guard lock(lock_);
        if (!stopped_) {
            std::swap(notice_, handler);
        }
    }
    void setPicturesWanted(bool wanted) { picturesWanted_.store(wanted); }
    bool picturesWanted() const { return picturesWanted_.load(); }

    // Whether a picture would be handed to anyone now.
    bool wantsFrames() const {
        std::lock_guard lock(lock_);
        return !stopped_ && frame_;
    }

    // Hands the picture to the frame handler unless the source stopped or has none;
    // `beforeCall` runs first, under the same lock, only when the handler is called.
    template <typename BeforeCall>
    void callFrameHandler(const gpu::TextureRef& texture, BeforeCall beforeCall) {
        std::lock_guard lock(lock_);
        if (!stopped_ && frame_) {
            beforeCall();
            // A copy, so that the handler may replace itself or stop its source.
            const FrameHandler handler = frame_;
            handler(texture);
        }
    }
    void callFrameHandler(const gpu::TextureRef& texture) {
        callFrameHandler(texture, [] {});
    }
    // Tells the notice handler of a frame whose picture was not fetched, unless the source
    // stopped or has none.
    void callFrameNotice(int64_t width, int64_t height) {
        std::lock_guard lock(lock_);
        if (!stopped_ && notice_) {
            const FrameNoticeHandler handler = notice_;
            handler(width, height);
        }
    }
    void callSoundHandler(const std::shared_ptr<const SourceSound>& sound) {
        std::lock_guard lock(lock_);
        if (!stopped_ && sound_) {
            const SoundHandler handler = sound_;
            handler(sound);
        }
    }

    // No handler is called once this returns; it waits for a call under way on another thread.
    // The handlers are let go of after the lock.
    void stop() {
        FrameHandler frame;
        FrameNoticeHandler notice;
        SoundHandler sound;
        std::lock_guard lock(lock_);
        stopped_ = true;
        frame = std::exchange(frame_, nullptr);
        notice = std::exchange(notice_, nullptr);
        sound = std::exchange(sound_, nullptr);
    }

  private:
    mutable std::recursive_mutex lock_;
    bool stopped_ = false;       // guarded by lock_
    FrameHandler frame_;         // guarded by lock_
    FrameNoticeHandler notice_;  // guarded by lock_
    std::atomic<bool> picturesWanted_{true};
    SoundHandler sound_;  // guarded by lock_
};

}  // namespace zarvo
