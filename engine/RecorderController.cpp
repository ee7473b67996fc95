#include "engine/RecorderController.h"

#include <filesystem>

#include "engine/NameTable.h"
#include "engine/RecorderSettingsStore.h"
#include "platform/AppBundle.h"
#include "platform/HostClock.h"
#include "platform/UserFolders.h"
#include "remote/OSCQueryServer.h"
#include "remote/OSCReceiver.h"

namespace zarvo {

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
      defaults_(options.defaults
                    ? std::move(options.defaults)
                    : std::make_shared<UserDefaults>(UserDefaults::configFolder() /
                                                     "net.mervane.zarvorecorder.json")),
      notificationCenter_(options.notificationCenter ? options.notificationCenter
                                                     : &NotificationCenter::defaultCenter()),
      queryServer_(options.queryServer ? options.queryServer
                                       : &OSCQueryServer::shared(*options.mainQueue)) {}

void RecorderController::construct() {
    registerRecorderDefaults(*defaults_);
    settings_ = loadRecorderSettings(*defaults_);

    // One GPU queue serves both compositors, so their work runs in submission order.
    take_ = std::make_shared<Take>(device_, *mainQueue_);
    picture_ = AssembledPicture::make(take_, gpu::CommandQueue::make(device_));
    if (!picture_) {
        return;
    }
    listenToTheTake();
    makeParameters();
    availableSources_ = sourcesOf(*directory_);
    makePlacesFromStoredTitles();
    connectPlaces();
    compositionChanged();
    followTheSources();
}

void RecorderController::listenToTheTake() {
    std::weak_ptr<RecorderController> weakSelf = weak_from_this();
    if (computerSound_) {
        computerSound_->setSoundHandler(
            [take = take_](const std::shared_ptr<const SourceSound>& sound) {
                take->appendComputerSound(sound, hostTime());
            });
    }
    take_->setMovieFailureHandler([weakSelf](uint64_t index, const Error& error) {
        if (auto self = weakSelf.lock()) {
            self->movieAtIndexFailed(index, error);
        }
    });
}

void RecorderController::makePlacesFromStoredTitles() {
    for (auto& title : loadSourceTitles(*defaults_, kMaxPlaces)) {
        places_.push_back(std::make_shared<RecorderPlace>(std::move(title)));
    }
}

void RecorderController::followTheSources() {
    std::weak_ptr<RecorderController> weakSelf = weak_from_this();
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
        take_->finishAtTime(hostTime(), [take = take_](const std::optional<Error>&) {});
    }
}

// --- Settings ------------------------------------------------------------------------------

void RecorderController::saveSetting(RecorderSetting setting) {
    saveRecorderSetting(*defaults_, setting, settings_);
}

void RecorderController::setCodec(const std::string& codec) {
    settings_.codec = codec;
    saveSetting(RecorderSetting::codec);
    compositionChanged();
    changed();
}

void RecorderController::setWidth(int64_t width) {
    settings_.width = dimensionWithinLimits(width);
    saveSetting(RecorderSetting::width);
    compositionChanged();
    changed();
}

void RecorderController::setHeight(int64_t height) {
    settings_.height = dimensionWithinLimits(height);
    saveSetting(RecorderSetting::height);
    compositionChanged();
    changed();
}

void RecorderController::setFps(double fps) {
    settings_.fps = rateWithinLimits(fps, kMaxFps);
    saveSetting(RecorderSetting::fps);
    changed();
}

void RecorderController::setBitrate(double bitrate) {
    settings_.bitrate = rateWithinLimits(bitrate, kMaxBitrate);
    saveSetting(RecorderSetting::bitrate);
    changed();
}

void RecorderController::setFolder(const std::string& folder) {
    settings_.folder = expandTilde(folder);
    saveSetting(RecorderSetting::folder);
    changed();
}

void RecorderController::setName(const std::string& name) {
    settings_.name = name;
    saveSetting(RecorderSetting::name);
    changed();
}

void RecorderController::setOutput(const std::string& output) {
    const auto known = outputNameTable().canonical(output);
    if (!known) {
        return;
    }
    settings_.output = *known;
    saveSetting(RecorderSetting::output);
    changed();
}

void RecorderController::setLayout(const std::string& layout) {
    const auto known = knownLayoutName(layout);
    if (!known) {
        return;
    }
    settings_.layout = *known;
    saveSetting(RecorderSetting::layout);
    compositionChanged();
    changed();
}

void RecorderController::setGap(int64_t gap) {
    settings_.gap = gapWithinLimits(gap);
    saveSetting(RecorderSetting::gap);
    compositionChanged();
    changed();
}

void RecorderController::setSound(const std::string& sound) {
    const auto choice = soundChoiceMatching(sound);
    if (!choice) {
        return;
    }
    settings_.sound = *choice;
    saveSetting(RecorderSetting::sound);
    changed();
}

void RecorderController::setPerformance(bool performance) {
    settings_.performance = performance;
    saveSetting(RecorderSetting::performance);
    displayLimitChanged();
    changed();
}

void RecorderController::setNdiAvailable(bool available) {
    ndiAvailable_ = available;
    changed();
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
    const std::string bundle = runningBundlePath();
    return versionOfBundle(bundle, bundleInfo(bundle));
}

std::string RecorderController::versionOfBundle(const std::string& bundlePath,
                                                const nlohmann::json& info) {
    std::string path = bundlePath;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    // An installed copy is a ".app" folder, or the package manager's folder with its marker.
    if (std::filesystem::path(path).extension() != ".app" && !isPackageInstalled(path)) {
        return "dev";
    }
    // A copy made without the release's version keeps the placeholder, which begins with "@".
    const std::string value = bundleText(info, "CFBundleShortVersionString");
    return value.empty() || value[0] == '@' ? "dev" : value;
}

// --- Assembled picture ---------------------------------------------------------------------

void RecorderController::compositionChanged() {
    if (!picture_) {
        return;
    }
    picture_->compositionChanged(places_, layoutKind(), settings_.gap, settings_.fittingSize(),
                                 keepsAlpha(settings_.chosenCodec()));
}

Layout RecorderController::assembledLayout() const {
    if (auto layout = picture_->takeLayout()) {
        return *layout;
    }
    return Layout(layoutKind(), AssembledPicture::sizesOf(places_), settings_.gap,
                  settings_.fittingSize());
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

void RecorderController::displayLimitChanged() {
    picture_->setDisplayLimited(displayIsLimited());
}

}  // namespace zarvo
