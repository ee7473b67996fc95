#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/framesharing/SyphonServerDescription.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

class SyphonClient;

// One connected server. Each new frame reaches the frame handler on the client's thread, as a
// texture stored bottom row first (hence flipped). Carries no sound. Runs from creation until
// stop; when the publisher quits, the source stays but isAlive answers false, and a new
// connection by title finds the server when it is back.
class SyphonSource final : public FrameSource, public std::enable_shared_from_this<SyphonSource> {
  public:
    static std::shared_ptr<SyphonSource> create(std::string title,
                                                SyphonServerDescription serverDescription,
                                                gpu::DeviceRef device);
    // Stops a client still held.
    ~SyphonSource() override;

    // Waits for a frame handler call under way on the client's thread.
    void stop() override;
    std::string title() const override { return title_; }
    bool flipped() const override { return true; }
    FrameSourceKind kind() const override { return FrameSourceKind::Syphon; }
    FrameHandler frameHandler() const override;
    void setFrameHandler(FrameHandler handler) override;
    // While pictures are not wanted, each frame's size is read from the shared memory and
    // nothing is copied.
    void setPicturesWanted(bool wanted) override;
    void setFrameNoticeHandler(FrameNoticeHandler handler) override;
    SoundHandler soundHandler() const override { return soundHandler_; }
    void setSoundHandler(SoundHandler handler) override { soundHandler_ = std::move(handler); }
    bool hasSound() const override { return false; }
    // Probes the server with a client of its own; the live client is not asked.
    bool isAlive() const override;

    const SyphonServerDescription& serverDescription() const { return serverDescription_; }

    // The client's counts of frames received and skipped (see SyphonClient); 0 after stop.
    // Main thread.
    uint64_t framesReceived() const;
    uint64_t framesSkipped() const;

  private:
    SyphonSource(std::string title, SyphonServerDescription serverDescription,
                 gpu::DeviceRef device);
    // The client's thread: hands the new frame's picture to the frame handler, or its size to
    // the notice handler while pictures are not wanted.
    void newFrame(SyphonClient& client);

    const std::string title_;
    const SyphonServerDescription serverDescription_;
    const gpu::DeviceRef device_;
    std::unique_ptr<SyphonClient> client_;  // none after stop; main thread only
    mutable std::mutex lock_;
    FrameHandler handler_;       // guarded by lock_
    FrameNoticeHandler notice_;  // guarded by lock_
    std::atomic<bool> picturesWanted_{true};
    SoundHandler soundHandler_;  // stored only: a server carries no sound
};

}  // namespace zarvo
