#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/FramePacer.h"
#include "engine/Layout.h"
#include "engine/MovieError.h"
#include "engine/MovieRecorderSettings.h"
#include "engine/SoundTimeline.h"
#include "platform/DispatchGroup.h"
#include "platform/Error.h"
#include "platform/MainQueue.h"
#include "platform/SerialQueue.h"
#include "platform/gpu/Device.h"
#include "sources/SourceSound.h"

struct AVFrame;

namespace zarvo {

class MovieWriter;
class FrameFitter;
class SoundConverter;

// Writes one QuickTime movie: a picture track fed with textures and, when asked, a 48 kHz
// stereo sound track fed with sound buffers. Frames arrive from source threads; the pacer keeps
// those the frame rate allows and at most three are in flight, so a source never waits for the
// encoder. Each kept frame is fitted into the movie's picture and encoded on the recorder's
// serial queue; sound is queued, placed on the sound timeline, converted to 48 kHz and written
// between the frames. A failure ends the movie and is reported once, on the main queue. A
// recorder is reused for many movies.
class MovieRecorder : public std::enable_shared_from_this<MovieRecorder> {
  public:
    using FailureHandler = std::function<void(const Error& error)>;
    using Completion = std::function<void(const std::optional<Error>& error)>;

    // A recorder whose callbacks run on the given main queue, or nullptr without a device.
    static std::shared_ptr<MovieRecorder> make(gpu::DeviceRef device, MainQueue& mainQueue);
    ~MovieRecorder();
    MovieRecorder(const MovieRecorder&) = delete;
    MovieRecorder& operator=(const MovieRecorder&) = delete;

    // Starts a movie at the file, which must not exist. Movie time 0 is startTime on the
    // recording clock (not a number: the first kept frame's arrival). false with the reason
    // when the movie cannot start.
    bool startWriting(const std::filesystem::path& file, const MovieRecorderSettings& settings,
                      double startTime, Error* error);
    bool startWriting(const std::filesystem::path& file, const MovieRecorderSettings& settings,
                      Error* error);

    // Any thread; never blocks on the writer. A source reuses its textures after a few further
    // frames, so a frame that has to wait behind several others is copied first; a caller that
    // leaves its textures untouched for as long as the recorder may hold them says so with
    // `keptWhilePending` (the assembled pictures, whose ring is as deep as the start queue).
    void appendTexture(const gpu::TextureRef& texture, bool flipped, double time,
                       bool keptWhilePending = false);
    // Whether a frame at that time would be taken; a refusal for lack of room counts as dropped.
    bool wantsFrameAtTime(double time);
    // Any thread.
    void appendSound(const std::shared_ptr<const SourceSound>& sound, double time);
    // Ends the movie at the given time; the completion runs on the main queue.
    void finishAtTime(double endTime, Completion completion);

    FailureHandler failureHandler() const;
    void setFailureHandler(FailureHandler handler);

    bool isRecording() const;
    uint64_t framesWritten() const;
    uint64_t framesDropped() const;
    uint64_t framesPending() const;
    double soundWritten() const;  // seconds
    double soundLeftOut() const;  // seconds
    Size outputSize() const;      // 0 × 0 until the movie's picture size is known
    // Seconds from the movie's start (the take's start time, or its first frame's arrival) to
    // the moment its first frame was written; not a number until then.
    double startLatency() const;

    // The longest a frame waits in the queue for the encoder is bounded by this many frames.
    static constexpr uint64_t kMaxFramesInFlight = 3;
    // In a movie's first second the bound is deeper. Every movie of a take starts at once, each
    // encoder with a key frame and memory it has not touched yet, so for a moment they all take
    // longer than a frame's time; the frames wait for them instead of being dropped, and the
    // encoders catch up within the second.
    static constexpr uint64_t kMaxFramesInFlightAtStart = 8;
    static constexpr double kStartSeconds = 1.0;

  private:
    MovieRecorder(gpu::DeviceRef device, MainQueue& mainQueue);

    // Queue operations.
    std::optional<Error> createWriterForFrame(int64_t width, int64_t height);
    void drawTexture(const gpu::TextureRef& texture, bool flipped, int64_t time);
    void appendFrameAtTime(AVFrame* frame, int64_t time);
    void frameDone(bool written);
    // The bound on frames in flight for a frame at this movie time; with lock_ held.
    uint64_t maxFramesInFlightAt(double movieTime) const;
    void failWithError(const Error& error);
    void scheduleSoundWrite();
    void writeWaitingSound();
    void placeSound(const std::shared_ptr<const SourceSound>& sound, double arrivedAtTime);
    std::shared_ptr<const SourceSound> convertSound(
        const std::shared_ptr<const SourceSound>& sound);
    void endConversion();
    bool appendSamples(const float* samples, int64_t frameCount);
    void writeLastSound();
    void forgetSound();
    void dropWriter();
    void callOnMain(std::function<void()> task);

    const gpu::DeviceRef device_;
    MainQueue& mainQueue_;
    SerialQueue queue_;
    DispatchGroup framesInFlight_;

    // Queue only.
    std::filesystem::path file_;
    MovieRecorderSettings settings_;
    std::unique_ptr<MovieWriter> writer_;
    std::unique_ptr<FrameFitter> fitter_;
    std::optional<int64_t> lastTime_;  // time of the last frame appended, in 1/60000 s
    std::optional<SoundTimeline> soundTimeline_;
    double soundRate_ = 0;
    std::unique_ptr<SoundConverter> converter_;
    // Sound placed and waiting for the sound track: sounds, and counts of silent frames.
    std::deque<std::variant<std::shared_ptr<const SourceSound>, int64_t>> placedSound_;
    int64_t soundPosition_ = 0;  // frames written to the sound track, at 48 kHz

    mutable std::mutex lock_;
    bool recording_ = false;                 // guarded by lock_
    bool finishing_ = false;                 // guarded by lock_
    FramePacer pacer_{0};                    // guarded by lock_
    bool hasFirstFrame_ = false;             // guarded by lock_
    double firstFrameTime_ = 0;              // guarded by lock_
    uint64_t framesWritten_ = 0;             // guarded by lock_
    uint64_t framesDropped_ = 0;             // guarded by lock_
    uint64_t framesPending_ = 0;             // guarded by lock_
    std::optional<double> startSecondEnd_;   // movie time; guarded by lock_
    double firstWrittenTime_ = 0;            // recording clock; guarded by lock_
    Size outputSize_;                        // guarded by lock_
    bool recordsSound_ = false;              // guarded by lock_
    std::deque<WaitingSound> waitingSound_;  // guarded by lock_
    double soundWaiting_ = 0;                // guarded by lock_
    bool soundWriteScheduled_ = false;       // guarded by lock_
    bool soundBehindGap_ = false;            // guarded by lock_
    double soundWritten_ = 0;                // guarded by lock_
    double soundLeftOut_ = 0;                // guarded by lock_
    FailureHandler failureHandler_;          // guarded by lock_
};

}  // namespace zarvo
