// A process that records a movie for the crash tests, which watch it from outside:
//
//   zarvo_movie_child record <file>
//       Records 12.5 s of H.264 movie time with sound (times made up, so it takes far less
//       wall time), prints "written <frames>" and waits to be killed.
//   zarvo_movie_child fill <file>
//       Records until the first fragment is on disk, then limits the size of files this process
//       may write to a little more than that, and goes on until the movie fails. Reports what the
//       failure handler got, then checks that the recorder finishes and writes another movie.
//   zarvo_movie_child finish <file> <step>
//       Writes 12.5 s of H.264 movie with sound straight through the movie writer and finishes
//       it; at the finishing's step number <step> (0 to 4) prints "step <step>" and waits to be
//       killed.
//   zarvo_movie_child finishfull <file>
//       The same movie; once its fragments are read for the finishing, limits the size of files
//       this process may write to a little more than the movie, so that its new header does not
//       fit, and reports the writer's error.
//
// Lines of "key value" on standard output; the exit status is 0 when the child saw what it
// expected.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/MovieRecorder.h"
#include "platform/RunLoop.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/MovieBoxes.h"

namespace {

using namespace zarvo;

constexpr double kFps = 30;
constexpr double kStart = 1000.0;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

MovieRecorderSettings movieSettings() {
    MovieRecorderSettings settings;
    settings.codec = 0;
    settings.width = 160;
    settings.height = 90;
    settings.framesPerSecond = kFps;
    settings.recordsSound = true;
    return settings;
}

// Feeds frame i (and the sound up to its time) and waits until it is written.
bool feedFrame(RunLoop& loop, MovieRecorder& recorder, const gpu::TextureRef& texture, int i) {
    const double time = kStart + i / kFps;
    // 1600 frames of sound per picture: 48 kHz at 30 pictures a second.
    recorder.appendSound(test::toneSound(1600, 48000, 440, 0.3, 1600 * static_cast<uint64_t>(i)),
                         time);
    recorder.appendTexture(texture, false, time);
    return loop.runUntil([&] { return recorder.framesPending() == 0; }, 60);
}

int record(const std::filesystem::path& file) {
    RunLoop loop;
    auto recorder = MovieRecorder::make(gpu::Device::systemDefault(), loop);
    Error error;
    if (!recorder || !recorder->startWriting(file, movieSettings(), kStart, &error)) {
        say("error " + error.message);
        return 1;
    }
    const auto texture = test::noiseTexture(160, 90, 7);
    for (int i = 0; i < 375; ++i) {
        if (!feedFrame(loop, *recorder, texture, i)) {
            say("error frames stuck");
            return 1;
        }
    }
    say("written " + std::to_string(recorder->framesWritten()));
    for (;;) {
        pause();
    }
}

int fill(const std::filesystem::path& file) {
    RunLoop loop;
    auto recorder = MovieRecorder::make(gpu::Device::systemDefault(), loop);
    int failures = 0;
    bool onMain = true;
    Error failure;
    recorder->setFailureHandler([&](const Error& e) {
        ++failures;
        onMain = onMain && loop.isMainThread();
        failure = e;
    });
    Error error;
    if (!recorder->startWriting(file, movieSettings(), kStart, &error)) {
        say("error " + error.message);
        return 1;
    }
    const auto texture = test::noiseTexture(160, 90, 9);
    bool limited = false;
    int i = 0;
    for (; i < 3000 && failures == 0; ++i) {
        if (!feedFrame(loop, *recorder, texture, i)) {
            say("error frames stuck");
            return 1;
        }
        loop.drain();  // a failure is reported through the main queue
        std::error_code ignored;
        const auto size = std::filesystem::file_size(file, ignored);
        if (!limited && size > 0 && size != static_cast<std::uintmax_t>(-1)) {
            // The first fragment is on disk: the next one will not fit.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{size + 4096, size + 4096};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                say("error setrlimit");
                return 1;
            }
            limited = true;
            say("limited " + std::to_string(size) + " " + std::to_string(i));
        }
    }
    loop.runFor(0.1);
    say("frames " + std::to_string(i));
    say("written " + std::to_string(recorder->framesWritten()));
    say("failures " + std::to_string(failures));
    say("onmain " + std::to_string(onMain ? 1 : 0));
    say("domain " + failure.domain);
    say("code " + std::to_string(failure.code));
    say("message " + failure.message);
    say("recording " + std::to_string(recorder->isRecording() ? 1 : 0));

    // Finishing the failed movie reports that nothing is recording, and the recorder goes on
    // to write another movie (small enough for the limit).
    bool done = false;
    std::optional<Error> outcome;
    recorder->finishAtTime(kStart + i / kFps, [&](const std::optional<Error>& e) {
        outcome = e;
        done = true;
    });
    loop.runUntil([&] { return done; }, 60);
    say("finish " + (outcome ? outcome->message : std::string("ok")));
    const auto next = file.parent_path() / "next.mov";
    if (!loop.runUntil(
            [&] { return recorder->startWriting(next, movieSettings(), kStart, &error); }, 30)) {
        say("restart " + error.message);
        return 1;
    }
    for (int k = 0; k < 3; ++k) {
        feedFrame(loop, *recorder, texture, k);
    }
    done = false;
    recorder->finishAtTime(kStart + 0.1, [&](const std::optional<Error>& e) {
        outcome = e;
        done = true;
    });
    loop.runUntil([&] { return done; }, 60);
    say("next " + (outcome ? outcome->message : std::string("ok")));
    say("failures " + std::to_string(failures));
    return 0;
}

MovieWriter::Options finishedMovie(const std::filesystem::path& file) {
    MovieWriter::Options options;
    options.file = file;
    options.codec = 0;
    options.width = 160;
    options.height = 90;
    options.framesPerSecond = kFps;
    options.recordsSound = true;
    return options;
}

int finishUntil(const std::filesystem::path& file, int stop) {
    auto options = finishedMovie(file);
    options.finishingStep = [stop](MovieFinisher::Step step) {
        if (static_cast<int>(step) == stop) {
            say("step " + std::to_string(stop));
            for (;;) {
                pause();
            }
        }
    };
    const auto error = test::writeTestMovie(options, 375, 0, true);
    say(error ? "error " + error->message : "finished");
    return 1;
}

int finishOnFullDisk(const std::filesystem::path& file) {
    auto options = finishedMovie(file);
    options.finishingStep = [&](MovieFinisher::Step step) {
        if (step == MovieFinisher::Step::Read) {
            const auto size = std::filesystem::file_size(file);
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{size + 64, size + 64};
            if (setrlimit(RLIMIT_FSIZE, &limit) == 0) {
                say("size " + std::to_string(size));
            }
        }
    };
    const auto error = test::writeTestMovie(options, 375, 0, true);
    if (!error) {
        say("finished");
        return 1;
    }
    say("domain " + error->domain);
    say("code " + std::to_string(error->code));
    say("message " + error->message);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s record|fill|finishfull <file> | finish <file> <step>\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "finish" && argc == 4) {
        return finishUntil(argv[2], std::atoi(argv[3]));
    }
    if (mode == "finishfull") {
        return finishOnFullDisk(argv[2]);
    }
    if (mode == "record") {
        return record(argv[2]);
    }
    if (mode == "fill") {
        return fill(argv[2]);
    }
    return 2;
}
