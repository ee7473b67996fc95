#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "platform/framesharing/SharedFrames.h"
#include "platform/framesharing/SyphonServerDescription.h"
#include "platform/gpu/Device.h"

namespace zarvo {

// A connection to one published server.
//
// With a new-frame handler, the client runs a thread of its own ("SyphonClient") that calls the
// handler once for every new frame; the handler fetches the frame with newFrameImage. Frames
// come in order: a client that keeps up is handed every frame, one that falls behind skips to
// the newest. The first call is for the newest frame published before the connection, if any,
// else for the first frame.
//
// Without a handler the client only answers isValid and newFrameImage: a cheap probe.
class SyphonClient {
  public:
    struct Options {};
    using NewFrameHandler = std::function<void(SyphonClient& client)>;

    SyphonClient(const SyphonServerDescription& description, gpu::DeviceRef device,
                 const Options& options, NewFrameHandler handler);
    // Stops the client.
    ~SyphonClient();
    SyphonClient(const SyphonClient&) = delete;
    SyphonClient& operator=(const SyphonClient&) = delete;

    // Whether the client is connected and its server's publisher still runs.
    bool isValid() const;

    // A copy of the frame being announced to the handler (within a handler call) or else of the
    // newest frame; bottom row first, as stored. nullptr before the first frame or after stop.
    // The texture is not reused while anyone else holds it.
    gpu::TextureRef newFrameImage();
    // The size of the frame being announced (within a handler call) or else of the newest,
    // without copying it: for a handler that wants to know of the frame but not its pixels.
    // Nothing before the first frame, after stop, or when the frame was already overwritten.
    std::optional<framesharing::FrameSegment::Size> newFrameSize();

    // Counts since the connection, any thread. Received: frames newFrameImage copied within
    // handler calls. Skipped: frames published after the connection that were never received,
    // because the client fell behind and went on to the newest, or because the frame was
    // overwritten before it could be copied; a frame announced to a handler that did not ask
    // for it is neither.
    uint64_t framesReceived() const;
    uint64_t framesSkipped() const;

    // Ends the connection. A handler call under way on another thread is waited for; no handler
    // call starts afterwards. Idempotent; may be called from within the handler.
    void stop();

    const SyphonServerDescription& serverDescription() const { return description_; }

  private:
    struct State;
    // Calls the handler for every frame after `delivered`, or for the newest when too far
    // behind, until stopped.
    static void run(const std::shared_ptr<State>& state, SyphonClient* client, uint64_t delivered);

    const SyphonServerDescription description_;
    // Shared with the client's thread, which may outlive this object when the client is
    // destroyed from within its own handler.
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace zarvo
