#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/MovieFinisher.h"
#include "engine/Timecode.h"
#include "platform/Error.h"

struct AVFrame;

namespace zarvo {

// The file side of a movie: a QuickTime movie with one picture track (1/60000 s time base) and,
// when asked, one stereo 48 kHz sound track, encoded with the codec of the movie's settings and
// written in fragments every 10 seconds, so that a process killed mid-take leaves a movie that
// plays up to its last fragment. At finish, the fragments become an ordinary movie with one
// complete header (MovieFinisher). Used from one thread at a time (the recorder's queue).
class MovieWriter {
  public:
    struct Options {
        std::filesystem::path file;
        int64_t codec = 0;  // 0 H.264, 1 HEVC, 2 ProRes 422, 3 ProRes 4444
        int width = 0;      // even, at least 2
        int height = 0;
        double framesPerSecond = 0;    // 0: the frame rate is free (60 is assumed for the encoder)
        double megabitsPerSecond = 0;  // H.264 and HEVC; 0 or less: chosen from size and rate
        bool recordsSound = false;
        // A timecode track (tmcd) referenced from the picture track, starting at this value.
        std::optional<MovieTimecode> timecode;
        // Called at each step of turning the fragments into an ordinary movie at finish (tests).
        std::function<void(MovieFinisher::Step)> finishingStep;
    };

    // The average bit rate for H.264 and HEVC movies, in bits per second.
    static int64_t averageBitRate(int64_t codec, int width, int height, double framesPerSecond,
                                  double megabitsPerSecond);

    // Creates the file (never over an existing one), sets up the encoders and writes the
    // movie's header. nullptr with the reason on failure; nothing is left behind then.
    static std::unique_ptr<MovieWriter> open(const Options& options, Error* error);

    // Without finish() or cancel(), the file is left as it stands: whole fragments play.
    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    int width() const;
    int height() const;
    // Whether the movie keeps transparency (ProRes 4444).
    bool hasAlpha() const;

    // A writable frame in the encoder's pixel format and the movie's size, to draw into before
    // appendPicture.
    AVFrame* pictureFrame();

    // Encodes the frame at the time (1/60000 s, after the previous one) and writes it. false
    // once the writer has failed.
    bool appendPicture(AVFrame* frame, int64_t time);

    // Appends frames of interleaved stereo float sound at 48 kHz (zeros when samples is null)
    // at the end of the sound track. false once the writer has failed.
    bool appendSound(const float* samples, int64_t frameCount);

    // Ends the movie: the last picture lasts until endTime (1/60000 s) but at least 1/240 s, the
    // encoders are drained, the last fragment is written and the movie is turned into an
    // ordinary one. false with error() set on failure; a movie whose last step failed is left
    // fragmented, and plays.
    bool finish(int64_t endTime);

    // Stops writing and removes the file.
    void cancel();

    // Still accepting pictures and sound: not failed, finished or cancelled.
    bool isWriting() const;
    bool hasFailed() const;
    // Why the writer failed.
    const std::optional<Error>& error() const;

    int64_t picturesWritten() const;
    int64_t soundFramesWritten() const;

  private:
    struct State;
    explicit MovieWriter(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace zarvo
