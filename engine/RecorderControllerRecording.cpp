// The controller's takes: the refresh that watches the places, starting and stopping a take,
// and the status of the current or last take.

#include <algorithm>
#include <ctime>

#include "engine/ReconnectPolicy.h"
#include "engine/RecorderController.h"
#include "engine/TakePlan.h"
#include "engine/Timecode.h"
#include "platform/HostClock.h"

namespace zarvo {

const std::vector<std::string>& RecorderController::statusKeys() {
    static const std::vector<std::string> keys = {
        "elapsed",       "frames",          "dropped",          "file",
        "assembledFile", "assembledFrames", "assembledDropped", "assembledSoundWritten",
        "soundLeftOut"};
    return keys;
}

void RecorderController::tellStatusObservers(bool changed) {
    if (!statusObserver_) {
        return;
    }
    const auto& keys = statusKeys();
    if (!changed) {
        for (const auto& key : keys) {
            statusObserver_(key, false);
        }
        return;
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        statusObserver_(*key, true);
    }
}

void RecorderController::checkConnection(const PlaceRef& place, double now) {
    const double lastFrame = place->lastFrameTime();
    if (lastFrame > place->checkTime) {
        place->silentChecks = 0;
    }
    const double silence = now - std::max(place->checkTime, lastFrame);
    if (!ReconnectPolicy::isDue(silence, place->source != nullptr, place->silentChecks)) {
        return;
    }
    if (!place->source) {
        connectPlace(place);
    } else if (place->source->isAlive()) {
        place->checkTime = now;
        place->silentChecks += 1;
    } else {
        place->letGoOfSource();
        connectPlace(place);
        if (place->source) {
            place->silentChecks += 1;
        }
    }
}

void RecorderController::refresh() {
    tellStatusObservers(false);
    const double now = hostTime();
    for (const auto& place : places_) {
        place->measureAtTime(now);
        checkConnection(place, now);
    }
    for (const auto& place : places_) {
        if (place->isOnline()) {
            picture_->setClockPlace(place);
            break;
        }
    }
    if (now - picture_->lastComposeTime() > kRefreshInterval) {
        picture_->composeMonitorAtTime(now, false);
    }
    tellStatusObservers(true);
    changed();
}

bool RecorderController::start() {
    if (state_ == RecorderState::recording) {
        return true;
    }
    if (state_ == RecorderState::finishing) {
        return failWithError("The previous recording is still being finished");
    }
    setError("");
    recordingError_.clear();
    if (places_.empty()) {
        return failWithError("No source is selected");
    }

    TakePlan plan = planTake(settings_, places_, std::time(nullptr));
    // The take's first frames come with their pictures.
    for (const auto& place : places_) {
        if (place->source) {
            place->source->setPicturesWanted(true);
        }
    }
    // The take starts on the host clock; its movies' timecode is the time of day read at the
    // same instant.
    const ClockPair clocks = readClockPair();
    const double now = clocks.hostTime;
    plan.options.startTime = now;
    plan.options.startOfDay = clocks.secondsOfDay;
    for (const auto& place : places_) {
        plan.options.sourceRates.push_back(place->fps());
        if (plan.options.assembledRate <= 0 && place->isOnline()) {
            plan.options.assembledRate = place->fps();
        }
    }

    Error error;
    if (!take_->start(plan.options, &error)) {
        picturesWantedChanged();
        return failWithError(error.message.empty() ? "The recording could not start"
                                                   : error.message);
    }
    if (plan.options.computerSound && computerSound_) {
        computerSound_->start();
    }
    givePlacesTheirMovies();
    picture_->setTakeLayout(plan.layout, plan.monitorLayout, plan.transparent);
    picturesWantedChanged();
    startTime_ = now;
    activity_ = SystemActivity::begin("ZarvoRecorder", "Recording");
    state_ = RecorderState::recording;
    displayLimitChanged();
    refresh();
    return true;
}

void RecorderController::givePlacesTheirMovies() {
    const auto movies = take_->movies();
    for (size_t i = 0; i < places_.size(); ++i) {
        const bool hasMovie = i < movies.size();
        places_[i]->movie = hasMovie ? movies[i] : nullptr;
        places_[i]->inTake = hasMovie;
        places_[i]->setTakeIndex(i, hasMovie);
    }
}

void RecorderController::stopWithCompletionHandler(std::function<void()> handler) {
    if (state_ == RecorderState::idle) {
        if (handler) {
            handler();
        }
        return;
    }
    if (handler) {
        stopHandlers_.push_back(std::move(handler));
    }
    if (state_ == RecorderState::finishing) {
        return;
    }
    const double now = hostTime();
    lastElapsed_ = now - startTime_;
    if (computerSound_) {
        computerSound_->stop();
    }
    // From here on no frame or sound reaches the take.
    for (const auto& place : places_) {
        place->setTakeIndex(kNotFound, false);
    }
    picture_->setTakeLayout(std::nullopt, std::nullopt, false);
    picturesWantedChanged();
    state_ = RecorderState::finishing;
    displayLimitChanged();
    changed();
    // The take reports its end on the main queue, and must still be there to do so even when
    // the controller has gone by then: the handler keeps it.
    std::weak_ptr<RecorderController> weakSelf = weak_from_this();
    take_->finishAtTime(now, [weakSelf, take = take_](const std::optional<Error>& error) {
        if (auto self = weakSelf.lock()) {
            self->recordingEndedWithError(error);
        }
    });
}

bool RecorderController::addMarker(const std::string& name) {
    if (state_ != RecorderState::recording || !take_->addMarker(name, hostTime())) {
        return failWithError("There is no recording to mark");
    }
    changed();
    return true;
}

uint64_t RecorderController::markers() const {
    return take_->markers().size();
}

void RecorderController::toggle() {
    if (state_ == RecorderState::idle) {
        start();
    } else {
        stopWithCompletionHandler(nullptr);
    }
}

std::string RecorderController::failureOfTheMovies() const {
    const auto movies = moviesOfTheTake();
    for (const auto& movie : movies) {
        if (movie->error()) {
            const std::string name =
                movie->sourceTitle().empty() ? "Assembled movie" : movie->sourceTitle();
            return movies.size() > 1 ? name + ": " + movie->error()->message
                                     : movie->error()->message;
        }
    }
    return "";
}

void RecorderController::recordingEndedWithError(const std::optional<Error>& error) {
    if (state_ == RecorderState::idle) {
        return;
    }
    for (const auto& place : places_) {
        place->inTake = false;
    }
    if (recordingError_.empty()) {
        const std::string message = error ? error->message : failureOfTheMovies();
        if (!message.empty()) {
            recordingError_ = message;
            setError(message);
        }
    }
    activity_.reset();
    state_ = RecorderState::idle;
    displayLimitChanged();
    refresh();
    auto handlers = std::move(stopHandlers_);
    stopHandlers_.clear();
    for (auto& handler : handlers) {
        handler();
    }
}

void RecorderController::movieAtIndexFailed(uint64_t index, const Error& error) {
    const auto movies = take_->movies();
    const std::string name =
        index < movies.size() ? movies[index]->sourceTitle() : std::string("Assembled movie");
    const auto all = moviesOfTheTake();
    const std::string message = all.size() > 1 ? name + ": " + error.message : error.message;
    recordingError_ = message;
    setError(message);
    const bool anyAlive = std::any_of(all.begin(), all.end(),
                                      [](const TakeMovieRef& movie) { return !movie->error(); });
    if (!anyAlive) {
        stopWithCompletionHandler(nullptr);
    }
}

std::vector<TakeMovieRef> RecorderController::moviesOfTheTake() const {
    auto movies = take_->movies();
    if (auto assembled = take_->assembledMovie()) {
        movies.push_back(std::move(assembled));
    }
    return movies;
}

// --- Status of the current or last take ----------------------------------------------------

double RecorderController::elapsed() const {
    return state_ == RecorderState::recording ? hostTime() - startTime_ : lastElapsed_;
}

uint64_t RecorderController::frames() const {
    if (take_->assembledMovie()) {
        return assembledFrames();
    }
    return places_.empty() ? 0 : places_.front()->frames();
}

uint64_t RecorderController::dropped() const {
    uint64_t total = assembledDropped();
    for (const auto& place : places_) {
        total += place->dropped();
    }
    return total;
}

std::string RecorderController::file() const {
    if (take_->assembledMovie()) {
        return assembledFile();
    }
    return places_.empty() ? "" : places_.front()->file();
}

std::string RecorderController::assembledFile() const {
    const auto movie = take_->assembledMovie();
    if (!movie || (state_ == RecorderState::idle && movie->framesWritten() == 0)) {
        return "";
    }
    return movie->url().string();
}

uint64_t RecorderController::assembledFrames() const {
    const auto movie = take_->assembledMovie();
    return movie ? movie->framesWritten() : 0;
}

uint64_t RecorderController::assembledDropped() const {
    const auto movie = take_->assembledMovie();
    return movie ? movie->framesDropped() : 0;
}

double RecorderController::assembledSoundWritten() const {
    const auto movie = take_->assembledMovie();
    return movie ? movie->soundWritten() : 0;
}

double RecorderController::soundLeftOut() const {
    double total = 0;
    for (const auto& movie : moviesOfTheTake()) {
        total += movie->soundLeftOut();
    }
    return total;
}

}  // namespace zarvo
