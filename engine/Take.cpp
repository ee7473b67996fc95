#include "engine/Take.h"

#include <unistd.h>

#include <cmath>

#include "engine/MovieError.h"
#include "engine/NameTable.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace zarvo {

namespace {

// Makes a text safe as a file name: no folder separators, no colons, no hidden file.
std::string cleanFileName(const std::string& text) {
    std::string clean = text;
    for (char& c : clean) {
        if (c == '/' || c == ':') {
            c = '-';
        }
    }
    if (!clean.empty() && clean[0] == '.') {
        clean[0] = '-';
    }
    return clean;
}

// The name without a ".mov" extension in any case, when something remains without it.
std::string withoutMovieExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return name;
    }
    if (asciiLowercase(name.substr(dot + 1)) != "mov") {
        return name;
    }
    return name.substr(0, dot);
}

// Reads how long each movie really is, then writes the timeline; a timeline that cannot be
// written is logged and changes nothing else.
void writeTakeTimeline(const std::filesystem::path& file, TakeTimeline& timeline) {
    std::vector<TimelineMovie> readable;
    for (auto& movie : timeline.movies) {
        if (const auto duration = movieDuration(movie.file, &movie.hasSound)) {
            movie.duration = *duration;
            readable.push_back(std::move(movie));
        }
    }
    timeline.movies = std::move(readable);
    if (timeline.movies.empty()) {
        return;
    }
    if (const auto failure = writeTimelineFile(file, timeline)) {
        logLine("The timeline “" + file.string() + "” could not be written: " + failure->message);
    }
}

int64_t wholeNumber(double value) {
    if (!std::isfinite(value) || value <= -9.2e18 || value >= 9.2e18) {
        return 0;
    }
    return static_cast<int64_t>(value);
}

}  // namespace

Take::Take(gpu::DeviceRef device, MainQueue& mainQueue)
    : device_(std::move(device)), mainQueue_(mainQueue) {}

const std::vector<std::string>& Take::outputNames() {
    return outputNameTable().names();
}

const std::string& Take::nameForOutput(int64_t output) {
    return outputNameTable().nameAt(output);
}

bool Take::getOutput(int64_t& output, std::string_view name) {
    const auto index = outputNameTable().indexOf(name);
    if (!index) {
        return false;
    }
    output = *index;
    return true;
}

std::vector<std::filesystem::path> Take::urlsForName(
    const std::string& name, const std::vector<std::string>& sourceTitles, TakeOutput output,
    const std::filesystem::path& folder, std::optional<std::filesystem::path>* assembledURL,
    std::string* takenStem) {
    const std::string base = withoutMovieExtension(cleanFileName(name));
    const bool sourceMovies = output != TakeOutput::Assembled;
    const bool assembled = output != TakeOutput::Separate;
    const bool stemOnly = output == TakeOutput::Separate && sourceTitles.size() == 1;
    std::vector<std::string> titles;
    for (const auto& title : sourceTitles) {
        titles.push_back(cleanFileName(title));
    }
    for (int64_t n = 1;; ++n) {
        const std::string stem = n == 1 ? base : base + " " + std::to_string(n);
        std::vector<std::filesystem::path> urls;
        if (sourceMovies) {
            for (const auto& title : titles) {
                urls.push_back(folder / (stemOnly ? stem + ".mov" : stem + " — " + title + ".mov"));
            }
        }
        std::optional<std::filesystem::path> assembledFile;
        std::error_code error;
        if (assembled) {
            assembledFile = folder / (stem + ".mov");
        }
        // The take's timeline file shares the stem.
        bool taken = std::filesystem::exists(
            std::filesystem::symlink_status(folder / (stem + ".otio"), error));
        for (const auto& url : urls) {
            taken = taken || std::filesystem::exists(std::filesystem::symlink_status(url, error));
        }
        if (assembledFile) {
            taken = taken ||
                    std::filesystem::exists(std::filesystem::symlink_status(*assembledFile, error));
        }
        if (!taken) {
            if (assembledURL != nullptr) {
                *assembledURL = assembledFile;
            }
            if (takenStem != nullptr) {
                *takenStem = stem;
            }
            return urls;
        }
    }
}

bool Take::start(const StartOptions& options, Error* error) {
    const auto fail = [&](Error reason) {
        if (error != nullptr) {
            *error = std::move(reason);
        }
        return false;
    };
    {
        std::lock_guard lock(lock_);
        if (recording_) {
            return fail(movieError("A recording is already in progress"));
        }
        if (finishing_) {
            return fail(movieError("The previous movies are still being finished"));
        }
    }
    const size_t count = options.sourceTitles.size();
    if (count == 0) {
        return fail(movieError("No source is selected"));
    }
    std::error_code failure;
    if (!std::filesystem::is_directory(options.folder, failure)) {
        return fail(movieError("The folder “" + options.folder.string() + "” does not exist"));
    }
    const TakeOutput output = options.output;
    const bool assembled = output != TakeOutput::Separate;
    const bool sourceMovies = output != TakeOutput::Assembled;
    const int64_t assembledWidth = wholeNumber(options.assembledSize.width);
    const int64_t assembledHeight = wholeNumber(options.assembledSize.height);
    if (assembled) {
        if (!(options.assembledSize.width >= 2) || !(options.assembledSize.height >= 2)) {
            return fail(movieError("The assembled picture has no size"));
        }
        if (options.assembledSize.width > 16384 || options.assembledSize.height > 16384) {
            return fail(movieError(
                "An assembled picture of " + std::to_string(assembledWidth) + " × " +
                std::to_string(assembledHeight) +
                " is too large to be written. Choose a smaller size for the assembled movie"));
        }
    }

    const size_t needed = sourceMovies ? count : 0;
    while (recorders_.size() < needed) {
        auto recorder = MovieRecorder::make(device_, mainQueue_);
        if (!recorder) {
            return fail(movieError(
                "Movies cannot be written on this computer: no picture device is available"));
        }
        recorders_.push_back(std::move(recorder));
    }
    if (assembled && !assembledRecorder_) {
        assembledRecorder_ = MovieRecorder::make(device_, mainQueue_);
        if (!assembledRecorder_) {
            return fail(movieError(
                "Movies cannot be written on this computer: no picture device is available"));
        }
    }

    std::optional<std::filesystem::path> assembledURL;
    std::string stem;
    const auto urls = urlsForName(options.name, options.sourceTitles, output, options.folder,
                                  &assembledURL, &stem);
    timecodeRefusalLogged_ = false;

    // Sound routing.
    uint64_t assembledSoundIndex = kNotFound;
    if (assembled && !options.computerSound && options.assembledSoundIndex < count) {
        assembledSoundIndex = options.assembledSoundIndex;
    }
    std::vector<TakeMovieRef> computerSoundMovies;
    TakeMovieRef assembledMovie;
    if (assembled) {
        MovieRecorderSettings settings = options.settings;
        settings.width = assembledWidth;
        settings.height = assembledHeight;
        settings.recordsSound = assembledSoundIndex != kNotFound || options.computerSound;
        settings.timecode = timecodeFor(options, options.assembledRate, stem);
        assembledMovie = std::make_shared<TakeMovie>("", *assembledURL, settings.recordsSound,
                                                     assembledRecorder_, settings.timecode);
        if (options.computerSound) {
            computerSoundMovies.push_back(assembledMovie);
        }
        installFailureHandler(assembledMovie, kNotFound);
        Error reason;
        if (!assembledRecorder_->startWriting(*assembledURL, settings, options.startTime,
                                              &reason)) {
            if (::access(options.folder.c_str(), W_OK) == 0) {
                reason = movieError(reason.message +
                                    ". Choose a smaller size for the assembled movie, "
                                    "or HEVC or ProRes");
            }
            return fail(reason);
        }
    }
    std::vector<TakeMovieRef> movies;
    for (size_t i = 0; i < urls.size(); ++i) {
        const bool ownSound = options.soundSources.contains(i);
        const bool computer = options.computerSound && output == TakeOutput::Separate && !ownSound;
        MovieRecorderSettings settings = options.settings;
        const auto& size = i < options.sizes.size() ? options.sizes[i] : std::nullopt;
        settings.width = size ? wholeNumber(size->width) : 0;
        settings.height = size ? wholeNumber(size->height) : 0;
        settings.recordsSound = ownSound || computer;
        settings.timecode =
            timecodeFor(options, i < options.sourceRates.size() ? options.sourceRates[i] : 0,
                        options.sourceTitles[i]);
        auto movie =
            std::make_shared<TakeMovie>(options.sourceTitles[i], urls[i], settings.recordsSound,
                                        recorders_[i], settings.timecode);
        if (computer) {
            computerSoundMovies.push_back(movie);
        }
        installFailureHandler(movie, i);
        Error reason;
        if (!recorders_[i]->startWriting(urls[i], settings, options.startTime, &reason)) {
            // Movies already started end at once; without frames they leave no file.
            for (const auto& started : movies) {
                started->recorder()->finishAtTime(options.startTime, nullptr);
            }
            if (assembledMovie) {
                assembledMovie->recorder()->finishAtTime(options.startTime, nullptr);
            }
            return fail(reason);
        }
        movies.push_back(std::move(movie));
    }

    std::lock_guard lock(lock_);
    movies_ = std::move(movies);
    assembledMovie_ = std::move(assembledMovie);
    soundSources_ = options.soundSources;
    assembledSoundIndex_ = assembledSoundIndex;
    computerSoundMovies_ = std::move(computerSoundMovies);
    startTime_ = options.startTime;
    stem_ = stem;
    timelineURL_ = options.folder / (stem + ".otio");
    markers_.clear();
    recording_ = true;
    return true;
}

std::optional<MovieTimecode> Take::timecodeFor(const StartOptions& options, double sourceRate,
                                               const std::string& reelName) {
    if (!options.startOfDay) {
        return std::nullopt;
    }
    // A set frame rate is exact; a source's own rate is measured (over a quarter of a second,
    // so a frame more or less moves it by several percent), and taken as the standard rate
    // nearest to it.
    // A source not measured yet (its pictures are not drawn while nothing shows them) counts
    // as 30 frames a second, the most common rate of live sources.
    const double fps = options.settings.framesPerSecond;
    const double measured = sourceRate > 0 ? sourceRate : 30;
    const auto rate = fps > 0 ? timecodeRateFor(fps) : timecodeRateFor(measured, 0.1);
    if (!rate) {
        if (!timecodeRefusalLogged_.exchange(true)) {
            char text[200];
            if (fps > 0) {
                std::snprintf(text, sizeof text,
                              "Movies at %.3g frames per second carry no timecode: timecode "
                              "counts the frames of a standard rate",
                              fps);
            } else {
                std::snprintf(text, sizeof text,
                              "A movie at its source's own frame rate (%.3g frames per second) "
                              "carries no timecode: timecode counts the frames of a standard "
                              "rate",
                              measured);
            }
            logLine(text);
        }
        return std::nullopt;
    }
    return MovieTimecode{*rate, timecodeFrameAt(*options.startOfDay, *rate), reelName};
}

bool Take::addMarker(const std::string& name, double time) {
    std::lock_guard lock(lock_);
    if (!recording_) {
        return false;
    }
    TakeMarker marker;
    marker.name = name.empty() ? "Marker " + std::to_string(markers_.size() + 1)
                               : cutToCharacters(name, kLongestMarkerName);
    marker.time = std::max(0.0, time - startTime_);
    markers_.push_back(std::move(marker));
    return true;
}

std::vector<TakeMarker> Take::markers() const {
    std::lock_guard lock(lock_);
    return markers_;
}

std::filesystem::path Take::timelineURL() const {
    std::lock_guard lock(lock_);
    return timelineURL_;
}

TakeTimeline Take::timelineOf(const std::vector<TakeMovieRef>& movies) const {
    TakeTimeline timeline;
    {
        std::lock_guard lock(lock_);
        timeline.name = stem_;
        timeline.markers = markers_;
    }
    // The assembled movie first, then the sources in their order.
    std::vector<TakeMovieRef> ordered;
    for (const auto& movie : movies) {
        if (movie->sourceTitle().empty()) {
            ordered.push_back(movie);
        }
    }
    for (const auto& movie : movies) {
        if (!movie->sourceTitle().empty()) {
            ordered.push_back(movie);
        }
    }
    for (const auto& movie : ordered) {
        if (movie->error() || movie->framesWritten() == 0) {
            continue;
        }
        TimelineMovie entry;
        entry.trackName = movie->sourceTitle().empty() ? "Assembled" : movie->sourceTitle();
        std::error_code error;
        entry.file = std::filesystem::absolute(movie->url(), error);
        entry.timecode = movie->timecode();
        timeline.movies.push_back(std::move(entry));
    }
    return timeline;
}

void Take::installFailureHandler(const TakeMovieRef& movie, uint64_t index) {
    // The recorder outlives the movie's take; it holds the movie weakly.
    // Reports may still be queued on the main queue when the take goes away: they then do
    // nothing.
    std::weak_ptr<TakeMovie> weakMovie = movie;
    std::weak_ptr<const bool> alive = alive_;
    movie->recorder()->setFailureHandler([this, weakMovie, alive, index](const Error& error) {
        auto failed = weakMovie.lock();
        if (!failed || alive.expired()) {
            return;
        }
        failed->setError(error);
        const auto report = movieFailureHandler();
        if (report) {
            report(index, error);
        }
    });
}

void Take::appendTexture(const gpu::TextureRef& texture, bool flipped, uint64_t sourceIndex,
                         double time) {
    std::shared_ptr<MovieRecorder> recorder;
    {
        std::lock_guard lock(lock_);
        if (!recording_ || sourceIndex >= movies_.size()) {
            return;
        }
        recorder = movies_[sourceIndex]->recorder();
    }
    recorder->appendTexture(texture, flipped, time);
}

bool Take::wantsAssembledFrameAtTime(double time) {
    std::shared_ptr<MovieRecorder> recorder;
    {
        std::lock_guard lock(lock_);
        if (!recording_ || !assembledMovie_) {
            return false;
        }
        recorder = assembledMovie_->recorder();
    }
    return recorder->wantsFrameAtTime(time);
}

void Take::appendAssembledTexture(const gpu::TextureRef& texture, double time) {
    std::shared_ptr<MovieRecorder> recorder;
    {
        std::lock_guard lock(lock_);
        if (!recording_ || !assembledMovie_) {
            return;
        }
        recorder = assembledMovie_->recorder();
    }
    recorder->appendTexture(texture, false, time, true);
}

void Take::appendSound(const std::shared_ptr<const SourceSound>& sound, uint64_t sourceIndex,
                       double time) {
    std::shared_ptr<MovieRecorder> own;
    std::shared_ptr<MovieRecorder> assembled;
    {
        std::lock_guard lock(lock_);
        if (!recording_) {
            return;
        }
        if (sourceIndex < movies_.size() && soundSources_.contains(sourceIndex)) {
            own = movies_[sourceIndex]->recorder();
        }
        if (assembledMovie_ && sourceIndex == assembledSoundIndex_) {
            assembled = assembledMovie_->recorder();
        }
    }
    if (own) {
        own->appendSound(sound, time);
    }
    if (assembled) {
        assembled->appendSound(sound, time);
    }
}

void Take::appendComputerSound(const std::shared_ptr<const SourceSound>& sound, double time) {
    std::vector<TakeMovieRef> targets;
    {
        std::lock_guard lock(lock_);
        if (!recording_) {
            return;
        }
        targets = computerSoundMovies_;
    }
    for (const auto& movie : targets) {
        movie->recorder()->appendSound(sound, time);
    }
}

void Take::finishAtTime(double endTime, Completion completion) {
    std::vector<TakeMovieRef> all;
    {
        std::lock_guard lock(lock_);
        if (!recording_) {
            mainQueue_.post([completion] {
                if (completion) {
                    completion(movieError("There is no recording in progress"));
                }
            });
            return;
        }
        recording_ = false;
        finishing_ = true;
        all = movies_;
        if (assembledMovie_) {
            all.push_back(assembledMovie_);
        }
    }
    // Reported on the main queue; the last report completes the take.
    struct Progress {
        size_t waiting = 0;
    };
    auto progress = std::make_shared<Progress>();
    // The movies' reports arrive on the main queue, possibly after the take is gone: then only
    // the caller is told.
    std::weak_ptr<const bool> alive = alive_;
    const auto done = [this, alive, all, completion] {
        uint64_t total = 0;
        for (const auto& movie : all) {
            total += movie->framesWritten();
        }
        if (!alive.expired()) {
            std::lock_guard lock(lock_);
            finishing_ = false;
        }
        if (completion) {
            completion(total > 0 ? std::nullopt
                                 : std::optional<Error>(movieError(
                                       "No frame was received, so no movie was written")));
        }
    };
    // Once every movie is finished, the timeline file is written away from the main thread
    // (it reads the movies back), and then the take is done.
    const auto complete = [this, alive, all, done] {
        if (alive.expired()) {
            done();
            return;
        }
        TakeTimeline timeline = timelineOf(all);
        const std::filesystem::path file = timelineURL();
        if (timeline.movies.empty()) {
            done();
            return;
        }
        timelineQueue_.async(
            [timeline = std::move(timeline), file, done, &mainQueue = mainQueue_]() mutable {
                writeTakeTimeline(file, timeline);
                mainQueue.post(done);
            });
    };
    std::vector<TakeMovieRef> finishing;
    for (const auto& movie : all) {
        if (!movie->error()) {
            finishing.push_back(movie);
        }
    }
    progress->waiting = finishing.size();
    if (finishing.empty()) {
        mainQueue_.post(complete);
        return;
    }
    for (const auto& movie : finishing) {
        movie->recorder()->finishAtTime(
            endTime, [movie, progress, complete](const std::optional<Error>& error) {
                // A movie that already failed keeps the reason it failed for.
                if (error && movie->framesWritten() >= 1 && !movie->error()) {
                    movie->setError(*error);
                }
                if (--progress->waiting == 0) {
                    complete();
                }
            });
    }
}

bool Take::isRecording() const {
    std::lock_guard lock(lock_);
    return recording_;
}

std::vector<TakeMovieRef> Take::movies() const {
    std::lock_guard lock(lock_);
    return movies_;
}

TakeMovieRef Take::assembledMovie() const {
    std::lock_guard lock(lock_);
    return assembledMovie_;
}

uint64_t Take::framesPending() const {
    std::vector<TakeMovieRef> all;
    {
        std::lock_guard lock(lock_);
        all = movies_;
        if (assembledMovie_) {
            all.push_back(assembledMovie_);
        }
    }
    uint64_t pending = 0;
    for (const auto& movie : all) {
        pending += movie->recorder()->framesPending();
    }
    return pending;
}

Take::FailureHandler Take::movieFailureHandler() const {
    std::lock_guard lock(lock_);
    return failureHandler_ ? *failureHandler_ : FailureHandler();
}

void Take::setMovieFailureHandler(FailureHandler handler) {
    std::lock_guard lock(lock_);
    failureHandler_ = std::make_shared<FailureHandler>(std::move(handler));
}

}  // namespace zarvo
