#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "sources/SourceDirectory.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace zarvo {

// One buffer of captured samples: interleaved frames of channelCount channels, or a single
// channel of a planar capture. channelCount 0 means "as the format says".
struct CaptureBuffer {
    uint32_t channelCount = 0;
    uint32_t byteSize = 0;
    const void* data = nullptr;
};

// How the samples of a capture are laid out.
struct CaptureFormat {
    static constexpr uint32_t kLinearPCM = 0x6c70636d;  // 'lpcm'
    static constexpr uint32_t kFlagFloat = 1u << 0;
    static constexpr uint32_t kFlagBigEndian = 1u << 1;
    static constexpr uint32_t kFlagNonInterleaved = 1u << 5;

    uint32_t formatID = kLinearPCM;
    uint32_t flags = kFlagFloat;
    uint32_t bitsPerChannel = 32;
    uint32_t channelsPerFrame = 2;
    double sampleRate = 48000.0;
};

// What every application on this computer plays: the monitor of the sound server's default
// output, captured as stereo 32-bit float at the output's rate on the sound server's own thread
// ("ComputerSound"), and handed to the sound handler as SourceSound there.
//
// Buffers of pure digital silence are dropped from start until the first buffer with any sound;
// from then on every buffer is delivered, so the sound stays continuous.
//
// start and stop are called from one thread at a time (the main thread), never from the sound
// handler.
class ComputerSound final : public SoundSource {
  public:
    // How long start waits for the sound server before giving up.
    static constexpr int64_t kStartTimeoutMicroseconds = 800'000;

    ComputerSound();
    // Stops capture.
    ~ComputerSound() override;
    ComputerSound(const ComputerSound&) = delete;
    ComputerSound& operator=(const ComputerSound&) = delete;

    // true when capture runs (at once when it already ran). false when no sound server answers
    // within kStartTimeoutMicroseconds or capture cannot be set up; nothing is left behind then.
    bool start() override;
    // Ends capture; when it returns, no handler runs or will run. Does nothing when stopped.
    void stop() override;
    SoundHandler soundHandler() const override;
    void setSoundHandler(SoundHandler handler) override;

    // The stereo sound in a capture, or nullptr when the format is not native-endian 32-bit
    // float PCM at a usable rate, the buffers are missing or too short, or (ignoreIfSilent)
    // every sample delivered would be exactly 0. A mono capture plays on both sides; of more
    // than two channels the first two are kept.
    static std::shared_ptr<const SourceSound> soundFromBufferList(
        std::span<const CaptureBuffer> buffers, const CaptureFormat& format, bool ignoreIfSilent);

  private:
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, size_t bytes, void* self);
    // Steps of start, on the sound server's thread's lock; false on failure or time-out.
    bool waitForContext(const bool& timedOut);
    bool readMonitorRate(const bool& timedOut);
    bool connectStream(const bool& timedOut);
    void deliver(const void* data, size_t bytes);
    void capture(const void* data, size_t bytes);
    void release();

    mutable std::mutex lock_;
    std::shared_ptr<const SoundHandler> soundHandler_;  // guarded by lock_
    bool active_ = false;                               // guarded by lock_
    bool heardSound_ = false;                           // guarded by lock_

    // Touched by start and stop, and by the sound server's thread while capture runs.
    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    double sampleRate_ = 0;
    std::vector<uint8_t> partialFrame_;  // bytes of a frame split across two reads
    bool running_ = false;
};

}  // namespace zarvo
