#include "engine/RecorderController.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "engine/Layout.h"
#include "engine/NameTable.h"
#include "platform/AppBundle.h"
#include "platform/HostClock.h"
#include "platform/UserFolders.h"

namespace zarvo {

namespace {

constexpr const char* kCodecKey = "RecorderCodec";
constexpr const char* kWidthKey = "RecorderWidth";
constexpr const char* kHeightKey = "RecorderHeight";
constexpr const char* kFpsKey = "RecorderFPS";
constexpr const char* kBitrateKey = "RecorderBitrate";
constexpr const char* kFolderKey = "RecorderFolder";
constexpr const char* kNameKey = "RecorderName";
constexpr const char* kOutputKey = "RecorderOutput";
constexpr const char* kLayoutKey = "RecorderLayout";
constexpr const char* kGapKey = "RecorderGap";
constexpr const char* kSoundKey = "RecorderSound";
constexpr const char* kPerformanceKey = "RecorderPerformance";
constexpr const char* kSourcesKey = "RecorderSources";

int64_t clampDimension(int64_t value) {
    return std::clamp<int64_t>(value, 0, RecorderController::kMaxDimension);
}

double clampFinite(double value, double high) {
    return std::isfinite(value) ? std::clamp(value, 0.0, high) : 0.0;
}

std::optional<std::string> layoutName(const std::string& name) {
    int64_t kind = 0;
    if (!Layout::getKind(kind, name)) {
        return std::nullopt;
    }
    return Layout::nameForKind(kind);
}

// "%lu"-style message with a number in place.
std::string withNumber(const char* before, uint64_t number) {
    return std::string(before) + std::to_string(number);
}

}  // namespace

std::shared_ptr<RecorderController> RecorderController::create(Options options) {
    std::shared_ptr<RecorderController> controller(new RecorderController(std::move(options)));
    controller->construct();
    return controller;
}

RecorderController::RecorderController(Options options)
    : device_(std::move(options.device)),
      directory_(std::move(options.directory)),
      computerSound_(std::move(options.computerSound)),
      defaults_(options.defaults ? std::move(options.defaults)
                                 : std::make_shared<UserDefaults>(
                                       UserDefaults::configFolder() / "net.mervane.zarvorecorder.json")),
      notificationCenter_(options.notificationCenter ? options.notificationCenter
                                                     : &NotificationCenter::defaultCenter()) {}

void RecorderController::construct() {
    defaults_->registerDefaults({
        {kCodecKey, "h264"},
        {kFolderKey, MoviesFolder()},
        {kNameKey, ""},
        {kOutputKey, "separate"},
        {kLayoutKey, "row"},
        {kSoundKey, ""},
    });

    // Names are taken as stored when their list knows them, else the list's first name.
    const auto storedName = [&](const char* key, auto known, const std::string& fallback) {
        const auto text = defaults_->stringForKey(key);
        return text && known(*text) ? *text : fallback;
    };
    codec_ = storedName(kCodecKey, [](const std::string& s) { return CodecNames().indexOf(s).has_value(); },
                        CodecNames().nameAt(0));
    output_ = storedName(kOutputKey, [](const std::string& s) { return OutputNames().indexOf(s).has_value(); },
                         OutputNames().nameAt(0));
    layout_ = storedName(kLayoutKey, [](const std::string& s) { return layoutName(s).has_value(); },
                         Layout::nameForKind(0));
    // Numbers keep the setters' limits, so a hand-edited file cannot ask for a picture or a
    // rate the recorder would never accept from its own controls.
    width_ = clampDimension(defaults_->integerForKey(kWidthKey));
    height_ = clampDimension(defaults_->integerForKey(kHeightKey));
    fps_ = clampFinite(defaults_->doubleForKey(kFpsKey), kMaxFps);
    bitrate_ = clampFinite(defaults_->doubleForKey(kBitrateKey), kMaxBitrate);
    gap_ = std::clamp<int64_t>(defaults_->integerForKey(kGapKey), 0, kMaxGap);
    folder_ = defaults_->stringForKey(kFolderKey).value_or("");
    name_ = defaults_->stringForKey(kNameKey).value_or("");
    sound_ = defaults_->stringForKey(kSoundKey).value_or("");
    performance_ = defaults_->boolForKey(kPerformanceKey);

    availableSources_ = sourcesOf(*directory_);

    if (const auto stored = defaults_->arrayForKey(kSourcesKey)) {
        for (const auto& entry : *stored) {
            if (places_.size() >= kMaxPlaces) {
                break;
            }
            if (entry.is_string() && !entry.get<std::string>().empty()) {
                places_.push_back(std::make_shared<RecorderPlace>(entry.get<std::string>()));
            }
        }
    }
    connectPlaces();

    std::weak_ptr<RecorderController> weakSelf = weak_from_this();
    directory_->setChangeHandler([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->sourcesDidChange();
        }
    });
}

RecorderController::~RecorderController() {
    directory_->setChangeHandler(nullptr);
    if (computerSound_) {
        computerSound_->stop();
    }
    for (const auto& place : places_) {
        if (place->source) {
            place->source->stop();
        }
    }
}

// --- Settings ------------------------------------------------------------------------------

void RecorderController::store(const char* key, const nlohmann::json& value) {
    defaults_->setObject(key, value);
    changed();
}

void RecorderController::setCodec(const std::string& codec) {
    codec_ = codec;
    store(kCodecKey, codec_);
}

void RecorderController::setWidth(int64_t width) {
    width_ = clampDimension(width);
    store(kWidthKey, width_);
}

void RecorderController::setHeight(int64_t height) {
    height_ = clampDimension(height);
    store(kHeightKey, height_);
}

void RecorderController::setFps(double fps) {
    fps_ = clampFinite(fps, kMaxFps);
    store(kFpsKey, fps_);
}

void RecorderController::setBitrate(double bitrate) {
    bitrate_ = clampFinite(bitrate, kMaxBitrate);
    store(kBitrateKey, bitrate_);
}

void RecorderController::setFolder(const std::string& folder) {
    folder_ = ExpandTilde(folder);
    store(kFolderKey, folder_);
}

void RecorderController::setName(const std::string& name) {
    name_ = name;
    store(kNameKey, name_);
}

void RecorderController::setOutput(const std::string& output) {
    const auto known = OutputNames().canonical(output);
    if (!known) {
        return;
    }
    output_ = *known;
    store(kOutputKey, output_);
}

void RecorderController::setLayout(const std::string& layout) {
    const auto known = layoutName(layout);
    if (!known) {
        return;
    }
    layout_ = *known;
    store(kLayoutKey, layout_);
}

void RecorderController::setGap(int64_t gap) {
    gap_ = std::clamp<int64_t>(gap, 0, kMaxGap);
    store(kGapKey, gap_);
}

void RecorderController::setSound(const std::string& sound) {
    const auto choice = soundChoiceMatching(sound);
    if (!choice) {
        return;
    }
    sound_ = *choice;
    store(kSoundKey, sound_);
}

void RecorderController::setPerformance(bool performance) {
    performance_ = performance;
    store(kPerformanceKey, performance_);
}

void RecorderController::setNdiAvailable(bool available) {
    ndiAvailable_ = available;
    changed();
}

int64_t RecorderController::layoutKind() const {
    int64_t kind = 0;
    return Layout::getKind(kind, layout_) ? kind : 0;
}

// --- State and errors ----------------------------------------------------------------------

void RecorderController::changed() {
    notificationCenter_->post(kRecorderControllerDidChangeNotification, this);
}

void RecorderController::setError(const std::string& text) {
    error_ = text;
    if (!text.empty()) {
        ++errorCount_;
    }
    changed();
}

bool RecorderController::failWithError(const std::string& text) {
    setError(text);
    return false;
}

std::string RecorderController::version() {
    const std::string bundle = RunningBundlePath();
    return versionOfBundle(bundle, BundleInfo(bundle));
}

std::string RecorderController::versionOfBundle(const std::string& bundlePath,
                                                const nlohmann::json& info) {
    std::string path = bundlePath;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (std::filesystem::path(path).extension() != ".app" || !info.is_object()) {
        return "dev";
    }
    const auto found = info.find("CFBundleShortVersionString");
    if (found == info.end() || !found->is_string()) {
        return "dev";
    }
    const auto value = found->get<std::string>();
    return value.empty() || value[0] == '@' ? "dev" : value;
}

// --- Places and sources --------------------------------------------------------------------

std::vector<SourceDescription> RecorderController::sourcesOf(SourceDirectory& directory) {
    std::vector<SourceDescription> unique;
    std::set<std::string> seen;
    for (auto& source : directory.availableSources()) {
        if (seen.insert(source.title).second) {
            unique.push_back(std::move(source));
        }
    }
    return unique;
}

std::optional<std::string> RecorderController::titleMatching(const std::string& text) {
    if (text.empty()) {
        failWithError("/source expects the title of a source");
        return std::nullopt;
    }
    std::vector<std::string> candidates;
    std::set<std::string> available;
    for (const auto& source : availableSources_) {
        candidates.push_back(source.title);
        available.insert(source.title);
    }
    for (const auto& place : places_) {
        if (!available.contains(place->title())) {
            candidates.push_back(place->title());
        }
    }
    for (const auto& candidate : candidates) {
        if (candidate == text) {
            return candidate;
        }
    }
    for (const auto& candidate : candidates) {
        if (ContainsIgnoringCase(candidate, text)) {
            return candidate;
        }
    }
    failWithError("There is no source called “" + text + "”");
    return std::nullopt;
}

std::optional<std::string> RecorderController::placeTitleMatching(const std::string& text) const {
    for (const auto& place : places_) {
        if (place->title() == text) {
            return text;
        }
    }
    for (const auto& place : places_) {
        if (ContainsIgnoringCase(place->title(), text)) {
            return place->title();
        }
    }
    return std::nullopt;
}

std::optional<std::string> RecorderController::soundChoiceMatching(const std::string& text) const {
    if (text.empty()) {
        return std::string();
    }
    if (EqualsIgnoringCase(text, "computer")) {
        return std::string("computer");
    }
    return placeTitleMatching(text);
}

uint64_t RecorderController::indexOfPlaceWithTitle(const std::string& title) const {
    for (size_t i = 0; i < places_.size(); ++i) {
        if (places_[i]->title() == title) {
            return i;
        }
    }
    return kNotFound;
}

bool RecorderController::placesCanChange() {
    if (state_ == "idle") {
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
        PlaceRef moving = places[existing];
        places.erase(places.begin() + static_cast<ptrdiff_t>(existing));
        const size_t at = std::min<size_t>(place - 1, places.size());
        places.insert(places.begin() + static_cast<ptrdiff_t>(at), std::move(moving));
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
    PlaceRef moving = places[from - 1];
    places.erase(places.begin() + static_cast<ptrdiff_t>(from - 1));
    const size_t at = std::min<size_t>(to - 1, places.size());
    places.insert(places.begin() + static_cast<ptrdiff_t>(at), std::move(moving));
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
    std::vector<std::string> titles;
    titles.reserve(places_.size());
    for (const auto& place : places_) {
        titles.push_back(place->title());
    }
    defaults_->setStringArray(kSourcesKey, titles);
    connectPlaces();
    changed();
}

void RecorderController::connectPlaces() {
    std::set<std::string> listed;
    for (const auto& source : availableSources_) {
        listed.insert(source.title);
    }
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
    place->checkTime = HostTime();
    auto source = directory_->connectToSourceWithTitle(place->title(), device_);
    if (!source) {
        return;
    }
    place->kind = source->kind();
    place->kindKnown = true;
    const bool flipped = source->flipped();
    std::weak_ptr<RecorderPlace> weakPlace = place;
    source->setFrameHandler([weakPlace, flipped](const gpu::TextureRef& texture) {
        if (auto strongPlace = weakPlace.lock()) {
            strongPlace->receivedFrame(texture, flipped, HostTime());
        }
    });
    source->setSoundHandler([weakPlace](const std::shared_ptr<const SourceSound>&) {
        if (auto strongPlace = weakPlace.lock()) {
            strongPlace->receivedSoundAtTime(HostTime());
        }
    });
    place->source = std::move(source);
}

void RecorderController::sourcesDidChange() {
    availableSources_ = sourcesOf(*directory_);
    connectPlaces();
    changed();
}

}  // namespace zarvo
