#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sources/PipeWireFrames.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

// One PipeWire video node, received through a connection of its own: a capture stream linked
// straight to the node, asking for pictures in shared memory. Each buffer is copied out on
// PipeWire's data thread within its cycle and given back to the node at once; the picture
// reaches the frame handler on a thread of the source's own ("PipeWireSource") as a BGRA
// texture, upright; pictures without transparency come as opaque views. A slow handler thus
// never holds the node's buffers; when it falls several pictures behind, the oldest waiting
// picture is skipped and counted. Carries no sound. Buffers that do not hold a whole picture of
// the negotiated format are dropped, counted and logged once.
//
// Runs from creation until stop; when the node goes away (or PipeWire does), the source stays
// but isAlive answers false, and a new connection by title finds the node when it is back.
class PipeWireSource final : public FrameSource {
  public:
    // A running source connected to the node with this id and serial (serial 0: any), or
    // nullptr when PipeWire cannot be reached or no such node is there. Waits for PipeWire's
    // answer, a few seconds at most. Textures are made on the device.
    static std::shared_ptr<PipeWireSource> create(std::string title, uint32_t nodeId,
                                                  uint64_t nodeSerial, gpu::DeviceRef device);
    // Stops the source.
    ~PipeWireSource() override;
    PipeWireSource(const PipeWireSource&) = delete;
    PipeWireSource& operator=(const PipeWireSource&) = delete;

    // Ends reception: no handler starts afterwards, and one running has finished. Waits for the
    // thread to let its connection go, except when called from a handler on that thread.
    // Idempotent.
    void stop() override;
    std::string title() const override { return title_; }
    bool flipped() const override { return false; }
    FrameSourceKind kind() const override { return FrameSourceKind::Syphon; }
    FrameHandler frameHandler() const override;
    // Ignored once stopped; likewise for the sound handler.
    void setFrameHandler(FrameHandler handler) override;
    // While pictures are not wanted, a frame is told by its size and not converted.
    void setPicturesWanted(bool wanted) override;
    void setFrameNoticeHandler(FrameNoticeHandler handler) override;
    SoundHandler soundHandler() const override;
    void setSoundHandler(SoundHandler handler) override;
    bool hasSound() const override { return false; }
    // Not stopped, the node still there, and the connection to PipeWire standing.
    bool isAlive() const override;

    // The format negotiated last, or nothing before the first.
    std::optional<PipeWireVideoFormat> format() const;
    // Pictures handed to the frame handler, and buffers dropped because they did not fit.
    uint64_t deliveredFrameCount() const;
    uint64_t droppedBufferCount() const;
    // Since connection: the pictures the node published, by the numbers on its buffers (one per
    // buffer that carries none); the buffers received from PipeWire; and the pictures skipped:
    // published but never received, or received but passed over while the handler was behind.
    uint64_t publishedFrameCount() const;
    uint64_t receivedFrameCount() const;
    uint64_t skippedFrameCount() const;

  private:
    struct State;
    struct Receiving;
    PipeWireSource(std::string title, std::shared_ptr<State> state)
        : title_(std::move(title)), state_(std::move(state)) {}

    static void receive(std::shared_ptr<Receiving> receiving);

    const std::string title_;
    const std::shared_ptr<State> state_;
};

}  // namespace zarvo
