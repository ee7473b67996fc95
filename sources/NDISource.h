#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sources/NDILibrary.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

// One connected NDI stream, received on a thread of its own ("NDISource"). Pictures in BGRA or
// BGRX come out as textures (BGRX ones read as opaque), planar float sound as SourceSound; other
// formats are left out and logged once per source.
class NDISource final : public FrameSource {
  public:
    // Seconds on a monotonic clock.
    using Clock = std::function<double()>;

    // Seconds after connecting during which the source counts as alive without any connection,
    // and after the last sound during which it still counts as having sound.
    static constexpr double kGracePeriod = 3.0;
    static constexpr double kSoundTimeout = 3.0;

    // A running source connected to the NDI name (and URL, when not empty), or nullptr when the
    // library has no function table or the runtime cannot make a receiver. Textures are made on
    // the device; without one, no pictures are delivered. The clock defaults to the host clock.
    static std::shared_ptr<NDISource> create(std::string title, const std::string& name,
                                             const std::optional<std::string>& url,
                                             std::shared_ptr<const NDILibrary> library,
                                             gpu::DeviceRef device, Clock clock = nullptr);
    // Stops the source.
    ~NDISource() override;
    NDISource(const NDISource&) = delete;
    NDISource& operator=(const NDISource&) = delete;

    // Ends reception: no handler starts afterwards, and one running has finished. Waits for the
    // receive thread to let the receiver go (within one capture time-out), except when called
    // from a handler on that thread. Idempotent.
    void stop() override;
    std::string title() const override { return title_; }
    bool flipped() const override { return false; }
    FrameSourceKind kind() const override { return FrameSourceKind::NDI; }
    FrameHandler frameHandler() const override;
    // Ignored once stopped; likewise for the sound and notice handlers.
    void setFrameHandler(FrameHandler handler) override;
    // While pictures are not wanted, a received picture is told by its size and not converted.
    void setPicturesWanted(bool wanted) override;
    void setFrameNoticeHandler(FrameNoticeHandler handler) override;
    SoundHandler soundHandler() const override;
    void setSoundHandler(SoundHandler handler) override;
    // Sound arrived within the last kSoundTimeout seconds.
    bool hasSound() const override;
    // Not stopped, and either within the grace period or connected to at least one sender.
    bool isAlive() const override;

  private:
    struct State;
    struct Receiving;
    NDISource(std::string title, std::shared_ptr<const NDILibrary> library,
              std::shared_ptr<State> state, Clock clock, double madeTime)
        : title_(std::move(title)),
          library_(std::move(library)),
          state_(std::move(state)),
          clock_(std::move(clock)),
          madeTime_(madeTime) {}

    static void receive(std::shared_ptr<Receiving> receiving);

    const std::string title_;
    const std::shared_ptr<const NDILibrary> library_;
    const std::shared_ptr<State> state_;
    const Clock clock_;
    const double madeTime_;
};

}  // namespace zarvo
