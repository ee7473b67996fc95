#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/Layout.h"
#include "engine/MovieRecorder.h"
#include "engine/RecorderPlace.h"
#include "engine/TakeTimeline.h"
#include "engine/Timecode.h"
#include "platform/SerialQueue.h"

namespace zarvo {

// One movie of a take: its file, the source it records (empty for the assembled picture), and
// the recorder that writes it. Stays readable after the take has finished.
class TakeMovie {
  public:
    TakeMovie(std::string sourceTitle, std::filesystem::path url, bool hasSound,
              std::shared_ptr<MovieRecorder> recorder,
              std::optional<MovieTimecode> timecode = std::nullopt)
        : hasSound_(hasSound),
          sourceTitle_(std::move(sourceTitle)),
          url_(std::move(url)),
          recorder_(std::move(recorder)),
          timecode_(std::move(timecode)) {}

    bool hasSound() const { return hasSound_; }
    const std::string& sourceTitle() const { return sourceTitle_; }
    const std::filesystem::path& url() const { return url_; }
    const std::shared_ptr<MovieRecorder>& recorder() const { return recorder_; }
    // The movie's timecode track; none when its frame rate has no timecode.
    const std::optional<MovieTimecode>& timecode() const { return timecode_; }

    // Why the movie failed, once it has. Set and read on the main thread.
    const std::optional<Error>& error() const { return error_; }
    void setError(const Error& error) { error_ = error; }

    uint64_t framesWritten() const { return recorder_->framesWritten(); }
    uint64_t framesDropped() const { return recorder_->framesDropped(); }
    double soundWritten() const { return recorder_->soundWritten(); }
    double soundLeftOut() const { return recorder_->soundLeftOut(); }

  private:
    const bool hasSound_;
    const std::string sourceTitle_;
    const std::filesystem::path url_;
    const std::shared_ptr<MovieRecorder> recorder_;
    const std::optional<MovieTimecode> timecode_;
    std::optional<Error> error_;
};

using TakeMovieRef = std::shared_ptr<TakeMovie>;

// Outputs of a take: one movie per source, one movie of the assembled picture, or both.
enum class TakeOutput : int64_t { Separate = 0, Assembled = 1, Both = 2 };

// One recording: the set of movies written together from the chosen sources, starting at one
// time and ending at one time. It names their files so that nothing is ever overwritten,
// routes each source's frames and sound and the computer's sound to the right movies, and
// finishes them together. One take serves every recording; its recorders are reused.
class Take {
  public:
    using FailureHandler = std::function<void(uint64_t movieIndex, const Error& error)>;
    using Completion = std::function<void(const std::optional<Error>& error)>;

    struct StartOptions {
        std::vector<std::string> sourceTitles;
        std::vector<std::optional<Size>> sizes;  // per source; none when not known yet
        TakeOutput output = TakeOutput::Separate;
        Size assembledSize;
        std::set<uint64_t> soundSources;           // sources whose own sound goes to their movie
        uint64_t assembledSoundIndex = kNotFound;  // the source heard in the assembled movie
        bool computerSound = false;
        std::string name;
        std::filesystem::path folder;
        MovieRecorderSettings settings;  // codec, frame rate and bit rate for every movie
        double startTime = 0;
        // The local time of day at startTime, in seconds: the movies' first timecode value.
        // None: the movies carry no timecode.
        std::optional<double> startOfDay;
        // The frame rates the sources deliver (per source) and that of the assembled picture,
        // which give the timecode rate of movies that keep every frame (a frame rate of 0).
        std::vector<double> sourceRates;
        double assembledRate = 0;
    };

    Take(gpu::DeviceRef device, MainQueue& mainQueue);
    Take(const Take&) = delete;
    Take& operator=(const Take&) = delete;

    static const std::vector<std::string>& outputNames();
    // The output's name; an output outside the list names "separate".
    static const std::string& nameForOutput(int64_t output);
    // Looks the name up without regard to case; false leaves output untouched.
    static bool getOutput(int64_t& output, std::string_view name);

    // The files of a take's movies in the folder: one per source movie in source order, and
    // the assembled movie's through assembledURL. All share the first number for which none
    // of them exists.
    static std::vector<std::filesystem::path> urlsForName(
        const std::string& name, const std::vector<std::string>& sourceTitles, TakeOutput output,
        const std::filesystem::path& folder, std::optional<std::filesystem::path>* assembledURL,
        std::string* stem = nullptr);

    bool start(const StartOptions& options, Error* error);

    // Source threads.
    void appendTexture(const gpu::TextureRef& texture, bool flipped, uint64_t sourceIndex,
                       double time);
    bool wantsAssembledFrameAtTime(double time);
    void appendAssembledTexture(const gpu::TextureRef& texture, double time);
    void appendSound(const std::shared_ptr<const SourceSound>& sound, uint64_t sourceIndex,
                     double time);
    void appendComputerSound(const std::shared_ptr<const SourceSound>& sound, double time);

    // Marks the current time of the take with the name ("Marker N" when empty); false when
    // not recording. Any thread.
    bool addMarker(const std::string& name, double time);
    // The markers of the current or last take.
    std::vector<TakeMarker> markers() const;

    // Finishes every movie, then writes the take's timeline file beside them; the completion
    // runs on the main queue once all have reported and the timeline is written.
    void finishAtTime(double endTime, Completion completion);
    // The timeline file of the current or last take (written or not).
    std::filesystem::path timelineURL() const;

    bool isRecording() const;
    std::vector<TakeMovieRef> movies() const;
    TakeMovieRef assembledMovie() const;
    uint64_t framesPending() const;

    FailureHandler movieFailureHandler() const;
    void setMovieFailureHandler(FailureHandler handler);

  private:
    void installFailureHandler(const TakeMovieRef& movie, uint64_t index);
    std::optional<MovieTimecode> timecodeFor(const StartOptions& options, double rate,
                                             const std::string& reelName);
    TakeTimeline timelineOf(const std::vector<TakeMovieRef>& movies) const;

    const gpu::DeviceRef device_;
    MainQueue& mainQueue_;
    const std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
    // Made by start only, on the main thread, and reused by later takes.
    std::vector<std::shared_ptr<MovieRecorder>> recorders_;
    std::shared_ptr<MovieRecorder> assembledRecorder_;

    mutable std::mutex lock_;
    std::vector<TakeMovieRef> movies_;                // guarded by lock_
    TakeMovieRef assembledMovie_;                     // guarded by lock_
    std::set<uint64_t> soundSources_;                 // guarded by lock_
    uint64_t assembledSoundIndex_ = kNotFound;        // guarded by lock_
    std::vector<TakeMovieRef> computerSoundMovies_;   // guarded by lock_
    bool recording_ = false;                          // guarded by lock_
    bool finishing_ = false;                          // guarded by lock_
    std::shared_ptr<FailureHandler> failureHandler_;  // guarded by lock_
    std::atomic<bool> timecodeRefusalLogged_ = false;
    double startTime_ = 0;               // guarded by lock_
    std::string stem_;                   // guarded by lock_
    std::filesystem::path timelineURL_;  // guarded by lock_
    std::vector<TakeMarker> markers_;    // guarded by lock_
    // Writes the timeline file, away from the main thread.
    SerialQueue timelineQueue_{"TakeTimeline"};
};

}  // namespace zarvo
