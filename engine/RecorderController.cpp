#include "engine/RecorderController.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <set>

#include "engine/Layout.h"
#include "engine/NameTable.h"
#include "platform/AppBundle.h"
#include "platform/HostClock.h"
#include "platform/UserFolders.h"
#include "remote/OSCQueryServer.h"
#include "remote/OSCReceiver.h"

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

constexpr double kRefreshInterval = 0.25;
constexpr double kLongestSilentCheck = 30;
constexpr double kReconnectInterval = 2;

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
    if (options.mainQueue == nullptr || !options.device || !options.directory) {
        return nullptr;
    }
    std::shared_ptr<RecorderController> controller(new RecorderController(std::move(options)));
    controller->construct();
    if (!controller->picture_) {
        return nullptr;
    }
    return controller;
}

RecorderController::RecorderController(Options options)
    : mainQueue_(options.mainQueue),
      device_(std::move(options.device)),
      directory_(std::move(options.directory)),
      computerSound_(std::move(options.computerSound)),
      defaults_(options.defaults ? std::move(options.defaults)
                                 : std::make_shared<UserDefaults>(
                                       UserDefaults::configFolder() / "net.mervane.zarvorecorder.json")),
      notificationCenter_(options.notificationCenter ? options.notificationCenter
                                                     : &NotificationCenter::defaultCenter()),
      queryServer_(options.queryServer ? options.queryServer
                                       : &OSCQueryServer::shared(*options.mainQueue)) {}

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

    // One GPU queue serves both compositors, so their work runs in submission order.
    take_ = std::make_shared<Take>(device_, *mainQueue_);
    picture_ = AssembledPicture::make(take_, gpu::CommandQueue::make(device_));
    if (!picture_) {
        return;
    }
    std::weak_ptr<RecorderController> weakSelf = weak_from_this();
    if (computerSound_) {
        computerSound_->setSoundHandler(
            [take = take_](const std::shared_ptr<const SourceSound>& sound) {
                take->appendComputerSound(sound, HostTime());
            });
    }
    take_->setMovieFailureHandler([weakSelf](uint64_t index, const Error& error) {
        if (auto self = weakSelf.lock()) {
            self->movieAtIndexFailed(index, error);
        }
    });

    makeParameters();
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
    compositionChanged();

    directory_->setChangeHandler([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->sourcesDidChange();
        }
    });
    refreshTimer_ = mainQueue_->scheduleRepeating(kRefreshInterval, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->refresh();
        }
    });
}

RecorderController::~RecorderController() {
    stopNetworkServices();
    refreshTimer_.reset();
    directory_->setChangeHandler(nullptr);
    if (computerSound_) {
        computerSound_->stop();
        computerSound_->setSoundHandler(nullptr);
    }
    for (const auto& place : places_) {
        place->setTakeIndex(kNotFound, false);
        if (place->source) {
            place->source->stop();
            place->source->setFrameHandler(nullptr);
            place->source->setSoundHandler(nullptr);
        }
    }
    if (picture_) {
        picture_->clear();
    }
    // A take still running is finished, so its movies are complete on disk; nobody waits for
    // the outcome. The take reports its end on the main queue, so it is kept until then.
    if (take_ && take_->isRecording()) {
        take_->finishAtTime(HostTime(), [take = take_](const std::optional<Error>&) {});
    }
}

// --- Settings ------------------------------------------------------------------------------

void RecorderController::store(const char* key, const nlohmann::json& value) {
    defaults_->setObject(key, value);
    changed();
}

void RecorderController::setCodec(const std::string& codec) {
    codec_ = codec;
    defaults_->setObject(kCodecKey, codec_);
    compositionChanged();
    changed();
}

void RecorderController::setWidth(int64_t width) {
    width_ = clampDimension(width);
    defaults_->setObject(kWidthKey, width_);
    compositionChanged();
    changed();
}

void RecorderController::setHeight(int64_t height) {
    height_ = clampDimension(height);
    defaults_->setObject(kHeightKey, height_);
    compositionChanged();
    changed();
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
    defaults_->setObject(kLayoutKey, layout_);
    compositionChanged();
    changed();
}

void RecorderController::setGap(int64_t gap) {
    gap_ = std::clamp<int64_t>(gap, 0, kMaxGap);
    defaults_->setObject(kGapKey, gap_);
    compositionChanged();
    changed();
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
    defaults_->setObject(kPerformanceKey, performance_);
    displayLimitChanged();
    changed();
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
    compositionChanged();
    // The sound parameter's range lists the place titles.
    if (queryServerStarted_) {
        registerParameter(*parameterForAddress("/sound"));
    }
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
    // The callbacks run on the source's thread. They hold the take and the composition
    // strongly, the place weakly: a place that is gone receives nothing.
    std::weak_ptr<RecorderPlace> weakPlace = place;
    source->setFrameHandler([weakPlace, flipped, take = take_,
                             picture = picture_](const gpu::TextureRef& texture) {
        auto strongPlace = weakPlace.lock();
        if (!strongPlace) {
            return;
        }
        const double now = HostTime();
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
        const double now = HostTime();
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
            const double now = HostTime();
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

// --- Recording -----------------------------------------------------------------------------

int64_t RecorderController::codecIndex() const { return CodecNames().indexOrFirst(codec_); }

const std::vector<std::string>& RecorderController::statusKeys() {
    static const std::vector<std::string> keys = {
        "elapsed",         "frames",           "dropped",
        "file",            "assembledFile",    "assembledFrames",
        "assembledDropped", "assembledSoundWritten", "soundLeftOut"};
    return keys;
}

void RecorderController::refresh() {
    const auto& keys = statusKeys();
    if (statusObserver_) {
        for (const auto& key : keys) {
            statusObserver_(key, false);
        }
    }
    const double now = HostTime();
    for (const auto& place : places_) {
        place->measureAtTime(now);
        const double lastFrame = place->lastFrameTime();
        if (lastFrame > place->checkTime) {
            place->silentChecks = 0;
        }
        const double silence = now - std::max(place->checkTime, lastFrame);
        // A quiet source is tested after 2, 4, 8, 16 and then every 30 seconds; a place
        // without a source retries every 2 seconds.
        const double allowed =
            place->source
                ? std::min(2.0 * std::ldexp(1.0, static_cast<int>(
                                                     std::min<uint64_t>(place->silentChecks, 8))),
                           kLongestSilentCheck)
                : kReconnectInterval;
        if (silence <= allowed) {
            continue;
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
    for (const auto& place : places_) {
        if (place->isOnline()) {
            picture_->setClockPlace(place);
            break;
        }
    }
    if (now - picture_->lastComposeTime() > kRefreshInterval) {
        picture_->composeMonitorAtTime(now, false);
    }
    if (statusObserver_) {
        for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
            statusObserver_(*key, true);
        }
    }
    changed();
}

bool RecorderController::start() {
    if (state_ == "recording") {
        return true;
    }
    if (state_ == "finishing") {
        return failWithError("The previous recording is still being finished");
    }
    setError("");
    recordingError_.clear();
    if (places_.empty()) {
        return failWithError("No source is selected");
    }

    Take::StartOptions options;
    options.settings.codec = codecIndex();
    options.settings.framesPerSecond = fps_;
    options.settings.megabitsPerSecond = bitrate_;
    const auto sizes = AssembledPicture::sizesOf(places_);
    for (const auto& size : sizes) {
        options.sizes.push_back(size.width >= 1 ? std::optional<Size>(size) : std::nullopt);
    }
    const int64_t output = OutputNames().indexOrFirst(output_);
    options.output = static_cast<TakeOutput>(output);
    std::optional<Layout> layout;
    if (output != 0) {
        layout.emplace(layoutKind(), sizes, gap_,
                       Size{static_cast<double>(width_), static_cast<double>(height_)});
        options.assembledSize = layout->size();
    }
    if (name_.empty()) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char date[32];
        std::strftime(date, sizeof date, "%Y-%m-%d %H.%M.%S", &local);
        options.name = std::string("ZarvoRecorder ") + date;
    } else {
        options.name = name_;
    }
    options.computerSound = sound_ == "computer";
    for (size_t i = 0; i < places_.size(); ++i) {
        const auto& place = *places_[i];
        const bool ndi = place.kindKnown && place.kind == FrameSourceKind::NDI;
        const bool syphon = place.kindKnown && place.kind == FrameSourceKind::Syphon;
        if ((options.computerSound && output == 0) ? ndi : !syphon) {
            options.soundSources.insert(i);
        }
    }
    if (!options.computerSound && !sound_.empty()) {
        const uint64_t index = indexOfPlaceWithTitle(sound_);
        if (options.soundSources.contains(index)) {
            options.assembledSoundIndex = index;
        }
    }
    for (const auto& place : places_) {
        options.sourceTitles.push_back(place->title());
    }
    options.folder = folder_;
    // The take's first frames come with their pictures.
    for (const auto& place : places_) {
        if (place->source) {
            place->source->setPicturesWanted(true);
        }
    }
    const double now = HostTime();
    options.startTime = now;

    Error error;
    if (!take_->start(options, &error)) {
        picturesWantedChanged();
        return failWithError(error.message.empty() ? "The recording could not start"
                                                   : error.message);
    }
    if (options.computerSound && computerSound_) {
        computerSound_->start();
    }
    const auto movies = take_->movies();
    for (size_t i = 0; i < places_.size(); ++i) {
        const bool hasMovie = i < movies.size();
        places_[i]->movie = hasMovie ? movies[i] : nullptr;
        places_[i]->inTake = hasMovie;
        places_[i]->setTakeIndex(i, hasMovie);
    }
    std::optional<Layout> monitor;
    if (layout) {
        monitor = AssembledPicture::monitorLayout(*layout, layoutKind(), sizes, gap_);
    }
    picture_->setTakeLayout(layout, monitor, codecIndex() == 3);
    picturesWantedChanged();
    startTime_ = now;
    activity_ = SystemActivity::begin("ZarvoRecorder", "Recording");
    state_ = "recording";
    displayLimitChanged();
    refresh();
    return true;
}

void RecorderController::stopWithCompletionHandler(std::function<void()> handler) {
    if (state_ == "idle") {
        if (handler) {
            handler();
        }
        return;
    }
    if (handler) {
        stopHandlers_.push_back(std::move(handler));
    }
    if (state_ == "finishing") {
        return;
    }
    const double now = HostTime();
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
    state_ = "finishing";
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

void RecorderController::toggle() {
    if (state_ == "idle") {
        start();
    } else {
        stopWithCompletionHandler(nullptr);
    }
}

void RecorderController::recordingEndedWithError(const std::optional<Error>& error) {
    if (state_ == "idle") {
        return;
    }
    for (const auto& place : places_) {
        place->inTake = false;
    }
    if (recordingError_.empty()) {
        std::string message;
        if (error) {
            message = error->message;
        } else {
            const auto movies = moviesOfTheTake();
            for (const auto& movie : movies) {
                if (movie->error()) {
                    const std::string name =
                        movie->sourceTitle().empty() ? "Assembled movie" : movie->sourceTitle();
                    message = movies.size() > 1 ? name + ": " + movie->error()->message
                                                : movie->error()->message;
                    break;
                }
            }
        }
        if (!message.empty()) {
            recordingError_ = message;
            setError(message);
        }
    }
    activity_.reset();
    state_ = "idle";
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
    const std::string name = index < movies.size() ? movies[index]->sourceTitle()
                                                   : std::string("Assembled movie");
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

double RecorderController::elapsed() const {
    return state_ == "recording" ? HostTime() - startTime_ : lastElapsed_;
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
    if (!movie || (state_ == "idle" && movie->framesWritten() == 0)) {
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

// --- Assembled picture ---------------------------------------------------------------------

void RecorderController::compositionChanged() {
    if (!picture_) {
        return;
    }
    picture_->compositionChanged(places_, layoutKind(), gap_,
                                 Size{static_cast<double>(width_), static_cast<double>(height_)},
                                 codecIndex() == 3);
}

Layout RecorderController::assembledLayout() const {
    if (auto layout = picture_->takeLayout()) {
        return *layout;
    }
    return Layout(layoutKind(), AssembledPicture::sizesOf(places_), gap_,
                  Size{static_cast<double>(width_), static_cast<double>(height_)});
}

void RecorderController::setMonitorShown(bool shown) {
    picture_->setMonitorShown(shown);
    picturesWantedChanged();
}

bool RecorderController::picturesWanted(const RecorderPlace& place) const {
    return picture_->monitorShown() || picture_->takeLayout().has_value() ||
           place.takeIndex() != kNotFound;
}

void RecorderController::picturesWantedChanged() {
    for (const auto& place : places_) {
        if (place->source) {
            place->source->setPicturesWanted(picturesWanted(*place));
        }
    }
}

void RecorderController::displayLimitChanged() { picture_->setDisplayLimited(displayIsLimited()); }

}  // namespace zarvo
