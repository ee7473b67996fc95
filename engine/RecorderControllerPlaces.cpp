// The controller's places: choosing sources by title, changing the places while idle, and
// connecting each place to its source.

#include <algorithm>
#include <set>

#include "engine/RecorderController.h"
#include "engine/RecorderSettingsStore.h"
#include "engine/TitleMatching.h"
#include "platform/HostClock.h"

namespace zarvo {

namespace {

// "%lu"-style message with a number in place.
std::string withNumber(const char* before, uint64_t number) {
    return std::string(before) + std::to_string(number);
}

// Moves the place at `from` to `to` (indices from 0); a `to` past the end moves it to the end.
void movePlace(std::vector<PlaceRef>& places, size_t from, size_t to) {
    PlaceRef moving = places[from];
    places.erase(places.begin() + static_cast<ptrdiff_t>(from));
    const size_t at = std::min(to, places.size());
    places.insert(places.begin() + static_cast<ptrdiff_t>(at), std::move(moving));
}

}  // namespace

std::vector<SourceDescription> RecorderController::sourcesOf(SourceDirectory& directory) {
    return firstOfEachTitle(directory.availableSources());
}

std::optional<std::string> RecorderController::titleMatching(const std::string& text) {
    if (text.empty()) {
        failWithError("/source expects the title of a source");
        return std::nullopt;
    }
    auto title = sourceTitleMatching(text, availableSources_, places_);
    if (!title) {
        failWithError("There is no source called “" + text + "”");
    }
    return title;
}

std::optional<std::string> RecorderController::placeTitleMatching(const std::string& text) const {
    return zarvo::placeTitleMatching(text, places_);
}

std::optional<std::string> RecorderController::soundChoiceMatching(const std::string& text) const {
    return zarvo::soundChoiceMatching(text, places_);
}

uint64_t RecorderController::indexOfPlaceWithTitle(const std::string& title) const {
    return zarvo::indexOfPlaceWithTitle(title, places_);
}

bool RecorderController::placesCanChange() {
    if (state_ == RecorderState::idle) {
        return true;
    }
    return failWithError("The sources cannot be changed while recording");
}

bool RecorderController::addSourceMatching(const std::string& text) {
    if (!placesCanChange()) {
        return false;
    }
    const auto title = titleMatching(text);
    if (!title) {
        return false;
    }
    if (indexOfPlaceWithTitle(*title) != kNotFound) {
        return true;
    }
    if (places_.size() >= kMaxPlaces) {
        return failWithError(withNumber("No more than ", kMaxPlaces) +
                             " sources can be recorded at once");
    }
    auto places = places_;
    places.push_back(std::make_shared<RecorderPlace>(*title));
    usePlaces(std::move(places));
    return true;
}

bool RecorderController::setSourceMatching(const std::string& text, uint64_t place) {
    if (!placesCanChange()) {
        return false;
    }
    if (place < 1 || place > kMaxPlaces) {
        return failWithError(withNumber("There are places 1 to ", kMaxPlaces));
    }
    if (text.empty()) {
        removeSourceAtPlace(place);
        return true;
    }
    const auto title = titleMatching(text);
    if (!title) {
        return false;
    }
    auto places = places_;
    const uint64_t existing = indexOfPlaceWithTitle(*title);
    if (existing != kNotFound) {
        // The chosen source moves, keeping its connection.
        movePlace(places, existing, place - 1);
    } else if (place - 1 < places.size()) {
        places[place - 1] = std::make_shared<RecorderPlace>(*title);
    } else {
        places.push_back(std::make_shared<RecorderPlace>(*title));
    }
    usePlaces(std::move(places));
    return true;
}

void RecorderController::removeSourceAtPlace(uint64_t place) {
    if (!placesCanChange() || place == 0 || place > places_.size()) {
        return;
    }
    auto places = places_;
    places.erase(places.begin() + static_cast<ptrdiff_t>(place - 1));
    usePlaces(std::move(places));
}

bool RecorderController::moveSourceFromPlace(uint64_t from, uint64_t to) {
    if (!placesCanChange()) {
        return false;
    }
    if (from == 0 || to == 0 || from > places_.size()) {
        return failWithError("There is no source in that place");
    }
    auto places = places_;
    movePlace(places, from - 1, to - 1);
    usePlaces(std::move(places));
    return true;
}

void RecorderController::usePlaces(std::vector<PlaceRef> places) {
    for (const auto& current : places_) {
        if (std::find(places.begin(), places.end(), current) == places.end()) {
            current->letGoOfSource();
        }
    }
    places_ = std::move(places);
    saveSourceTitles(*defaults_, placeTitles(places_));
    connectPlaces();
    compositionChanged();
    // The sound parameter's range lists the place titles.
    if (queryServerStarted_) {
        registerParameter(*parameterForAddress("/sound"));
    }
    changed();
}

void RecorderController::connectPlaces() {
    const auto titles = distinctTitles(availableSources_);
    const std::set<std::string> listed(titles.begin(), titles.end());
    for (const auto& place : places_) {
        const bool isListed = listed.contains(place->title());
        if (place->source && !isListed) {
            place->letGoOfSource();
        } else if (!place->source && isListed) {
            connectPlace(place);
        }
    }
}

void RecorderController::connectPlace(const PlaceRef& place) {
    place->checkTime = hostTime();
    auto source = directory_->connectToSourceWithTitle(place->title(), device_);
    if (!source) {
        return;
    }
    place->kind = source->kind();
    place->kindKnown = true;
    const bool flipped = source->flipped();
    // The callbacks run on the source's thread. They hold the take and the composition
    // strongly, the place weakly: a place that is gone receives nothing.
    std::weak_ptr<RecorderPlace> weakPlace = place;
    source->setFrameHandler(
        [weakPlace, flipped, take = take_, picture = picture_](const gpu::TextureRef& texture) {
            auto strongPlace = weakPlace.lock();
            if (!strongPlace) {
                return;
            }
            const double now = hostTime();
            const uint64_t index = strongPlace->receivedFrame(texture, flipped, now);
            if (index != kNotFound) {
                take->appendTexture(texture, flipped, index, now);
            }
            picture->placeReceivedFrameAtTime(strongPlace, now);
        });
    source->setFrameNoticeHandler([weakPlace, picture = picture_](int64_t width, int64_t height) {
        auto strongPlace = weakPlace.lock();
        if (!strongPlace) {
            return;
        }
        const double now = hostTime();
        strongPlace->receivedFrameNotice(width, height, now);
        picture->placeReceivedFrameAtTime(strongPlace, now);
    });
    source->setPicturesWanted(picturesWanted(*place));
    source->setSoundHandler(
        [weakPlace, take = take_](const std::shared_ptr<const SourceSound>& sound) {
            auto strongPlace = weakPlace.lock();
            if (!strongPlace) {
                return;
            }
            const double now = hostTime();
            const uint64_t index = strongPlace->receivedSoundAtTime(now);
            if (index != kNotFound) {
                take->appendSound(sound, index, now);
            }
        });
    place->source = std::move(source);
}

void RecorderController::sourcesDidChange() {
    availableSources_ = sourcesOf(*directory_);
    connectPlaces();
    // The source parameters' ranges list the available titles.
    if (queryServerStarted_) {
        registerParametersWithPrefix("/source");
    }
    changed();
}

}  // namespace zarvo
