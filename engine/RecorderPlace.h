#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "platform/gpu/Texture.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

class TakeMovie;

// The marker for "no index" throughout the recorder: the largest signed 64-bit value.
inline constexpr uint64_t kNotFound = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

// One chosen source: its title, its connection, and what has been learnt of its frames and
// sound. Frames and sound arrive on the source's thread; the fields they touch are kept under
// the place's own lock, held only for a few copies. Everything else belongs to the main thread.
class RecorderPlace {
  public:
    explicit RecorderPlace(std::string title);
    RecorderPlace(const RecorderPlace&) = delete;
    RecorderPlace& operator=(const RecorderPlace&) = delete;

    // --- Source threads ---------------------------------------------------------------------

    // Keeps the frame as the latest and counts it; returns the index of this place's own movie
    // in the running take, or kNotFound.
    uint64_t receivedFrame(const gpu::TextureRef& texture, bool flipped, double time);
    // Counts a frame whose picture was not fetched, because nothing would have used it, and
    // keeps its size; the latest picture, now out of date, is let go of.
    void receivedFrameNotice(int64_t width, int64_t height, double time);
    // Notes the sound's arrival; returns this place's index in the take for sound, or kNotFound.
    uint64_t receivedSoundAtTime(double time);

    // --- Main thread --------------------------------------------------------------------------

    // A take starts (index, whether the place has its own movie) or ends (kNotFound, false).
    void setTakeIndex(uint64_t index, bool hasMovie);
    // Works out whether the source is online and its frame rate, on the refresh tick.
    void measureAtTime(double now);
    // Stops and drops the source, and forgets its last frame and sound.
    void letGoOfSource();

    // The locked fields, read together.
    struct FrameState {
        gpu::TextureRef latestFrame;
        bool flipped = false;
        int64_t width = 0;
        int64_t height = 0;
        uint64_t frameCount = 0;
        double lastFrameTime = 0;
        double lastSoundTime = 0;
        uint64_t takeIndex = kNotFound;
        uint64_t soundIndex = kNotFound;
    };
    FrameState frameState() const;
    gpu::TextureRef latestFrame() const;
    double lastFrameTime() const;
    double lastSoundTime() const;
    int64_t width() const;
    int64_t height() const;
    uint64_t frameCount() const;
    uint64_t takeIndex() const;
    uint64_t soundIndex() const;

    const std::string& title() const { return title_; }
    double fps() const { return fps_; }
    bool isOnline() const { return online_; }
    // The source delivered sound less than three seconds ago.
    bool hasSound() const;
    // Empty until a connected source has told its kind, then "ndi" or "syphon".
    std::string kindName() const;

    // This place's movie: its file while it is being recorded or once it has a frame (else
    // empty), and its frames written and dropped and seconds of sound (0 without a movie).
    std::string file() const;
    uint64_t frames() const;
    uint64_t dropped() const;
    double soundWritten() const;

    // Main-thread fields, set by the controller.
    bool inTake = false;     // the place has its own movie in the take being recorded
    bool kindKnown = false;  // kind has been learnt from a connected source
    FrameSourceKind kind = FrameSourceKind::Syphon;  // kept after letting go of the source
    std::shared_ptr<FrameSource> source;
    std::shared_ptr<TakeMovie> movie;  // this place's movie in the current or last take
    double checkTime = 0;              // when the connection was last tested or (re)made
    uint64_t silentChecks = 0;         // checks in a row that found no new frame

  private:
    const std::string title_;

    mutable std::mutex lock_;
    FrameState locked_;  // guarded by lock_

    uint64_t measuredFrameCount_ = 0;
    double measuredTime_ = 0;
    double fps_ = 0;
    bool online_ = false;
};

using PlaceRef = std::shared_ptr<RecorderPlace>;

}  // namespace zarvo
