#include "App/RecorderModel.h"

#include <sys/statvfs.h>

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <utility>

#include "App/language/Text.h"
#include "engine/Codec.h"
#include "engine/RecorderController.h"
#include "platform/HostClock.h"

namespace zarvo {

QString RecorderModel::Choice::title() const {
    return tx(french, english);
}

const std::vector<RecorderModel::Choice>& RecorderModel::outputs() {
    static const std::vector<Choice> choices = {
        {"separate", "Séparés", "Separate", ""},
        {"assembled", "Assemblé", "Assembled", ""},
        {"both", "Les deux", "Both", ""},
    };
    return choices;
}

const std::vector<RecorderModel::Choice>& RecorderModel::layouts() {
    static const std::vector<Choice> choices = {
        {"row", "Côte à côte", "Side by side", "rectangle.split.3x1"},
        {"column", "Empilées", "Stacked", "rectangle.split.1x2"},
        {"grid", "Mosaïque", "Mosaic", "rectangle.split.2x2"},
        {"focus", "Une grande", "One large", "rectangle.trailingthird.inset.filled"},
    };
    return choices;
}

RecorderModel::RecorderModel(std::shared_ptr<RecorderController> controller,
                             double errorDisplayTime, std::string ndiOffReason, QObject* parent)
    : QObject(parent),
      controller_(std::move(controller)),
      errorDisplayTime_(errorDisplayTime),
      ndiOffReason_(std::move(ndiOffReason)),
      clock_(hostTime) {
    // Errors from before the window are not shown.
    lastErrorCount_ = controller_->errorCount();
    language_ = language::current();
    observer_ = ScopedObserver(NotificationCenter::defaultCenter(),
                               kRecorderControllerDidChangeNotification, controller_.get(),
                               [this](const NotificationCenter::Notification&) { sync(); });
    // The language notification arrives on the main thread; it is handled after the poster's
    // own work, as a queued task.
    languageObserver_ = ScopedObserver(
        NotificationCenter::defaultCenter(), language::kDidChangeNotification, nullptr,
        [self = QPointer<RecorderModel>(this)](const NotificationCenter::Notification&) {
            QTimer::singleShot(0, self.data(), [self] {
                if (self) {
                    self->language_ = language::current();
                    emit self->changed();
                }
            });
        });
    sync();
}

RecorderModel::~RecorderModel() {
    observer_.reset();
    languageObserver_.reset();
}

template <typename T>
void RecorderModel::assign(T& field, const T& value) {
    if (!(field == value)) {
        field = value;
        dirty_ = true;
    }
}

void RecorderModel::sync() {
    const RecorderController& c = *controller_;
    assign(state_, c.state());
    assign(elapsed_, std::floor(c.elapsed() * 10) / 10);
    assign(frames_, static_cast<int64_t>(c.frames()));
    assign(dropped_, static_cast<int64_t>(c.dropped()));
    assign(codec_, c.codec());
    assign(fps_, c.fps());
    assign(bitrate_, c.bitrate());
    assign(folder_, c.folder());
    assign(name_, c.name());
    assign(output_, c.output());
    assign(layout_, c.layout());
    assign(gap_, c.gap());
    assign(width_, c.width());
    assign(height_, c.height());
    assign(assembledFrames_, static_cast<int64_t>(c.assembledFrames()));
    assign(assembledDropped_, static_cast<int64_t>(c.assembledDropped()));
    assign(ndiAvailable_, c.ndiAvailable());
    assign(oscPort_, c.oscPort());
    assign(oscQueryPort_, c.oscQueryPort());
    assign(failure_, c.recordingError());
    assign(sound_, c.sound());
    assign(soundLeftOut_, std::round(c.soundLeftOut() * 10) / 10);
    assign(version_, RecorderController::version());
    assign(performance_, c.performance());
    assign(displayIsLimited_, c.displayIsLimited());

    std::vector<Place> places;
    places.reserve(c.places().size());
    for (const PlaceRef& place : c.places()) {
        places.push_back({
            .title = place->title(),
            .isOnline = place->isOnline(),
            .width = place->width(),
            .height = place->height(),
            .fps = std::round(place->fps() * 10) / 10,
            .file = place->file(),
            .frames = static_cast<int64_t>(place->frames()),
            .dropped = static_cast<int64_t>(place->dropped()),
            .kind = place->kindName(),
            .hasSound = place->hasSound(),
        });
    }
    assign(places_, places);

    Size pictureSize;
    std::vector<Rect> titleRects;
    if (!c.places().empty()) {
        const Layout layout = c.assembledLayout();
        pictureSize = layout.size();
        for (const Rect& frame : layout.frames()) {
            // As fractions of the picture, so the monitor places the tags at any shown size.
            const double w = pictureSize.width > 0 ? pictureSize.width : 1;
            const double h = pictureSize.height > 0 ? pictureSize.height : 1;
            titleRects.push_back({frame.x / w, frame.y / h, frame.width / w, frame.height / h});
        }
    }
    assign(pictureSize_, pictureSize);
    assign(titleRects_, titleRects);

    std::vector<Source> available;
    for (const SourceDescription& source : c.availableSources()) {
        const bool chosen = std::any_of(places.begin(), places.end(), [&](const Place& place) {
            return place.title == source.title;
        });
        if (!chosen) {
            available.push_back({source.title, source.detail,
                                 source.kind == FrameSourceKind::NDI ? "ndi" : "syphon"});
        }
    }
    assign(available_, available);

    showError(c.error());
    checkSpace();
}

void RecorderModel::showError(const std::string& text) {
    if (!text.empty()) {
        const uint64_t count = controller_->errorCount();
        if (count != lastErrorCount_) {
            lastErrorCount_ = count;
            assign(notice_, text);
            // A newer error keeps its own full time: only the error shown last clears itself.
            const auto delay = std::chrono::milliseconds(
                static_cast<int64_t>(std::max(0.0, errorDisplayTime_) * 1000));
            QTimer::singleShot(delay, this, [this, count] {
                if (lastErrorCount_ == count) {
                    assign(notice_, std::string());
                    if (std::exchange(dirty_, false)) {
                        emit changed();
                    }
                }
            });
        }
    } else {
        assign(notice_, std::string());
    }
    if (std::exchange(dirty_, false)) {
        emit changed();
    }
}

void RecorderModel::checkSpace() {
    const double now = clock_();
    if (now - lastSpaceCheck_ > 2.0) {
        lastSpaceCheck_ = now;
        assign(freeSpace_, availableSpace(folder_));
    }
    if (std::exchange(dirty_, false)) {
        emit changed();
    }
}

std::optional<int64_t> RecorderModel::availableSpace(const std::string& folder) {
    if (folder.empty()) {
        return std::nullopt;
    }
    // A folder that does not exist yet is made on the volume of the nearest folder above it.
    std::error_code error;
    std::filesystem::path path(folder);
    while (!path.empty() && !std::filesystem::exists(path, error)) {
        const auto parent = path.parent_path();
        if (parent == path) {
            break;
        }
        path = parent;
    }
    struct statvfs volume {};
    if (path.empty() || ::statvfs(path.c_str(), &volume) != 0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(volume.f_bavail) * static_cast<int64_t>(volume.f_frsize);
}

void RecorderModel::setLanguage(AppLanguage language) {
    language::set(language, *language::standardDefaults(), true);
    if (language_ != language) {
        language_ = language;
    }
    emit changed();
}

int64_t RecorderModel::movieCount() const {
    if (places_.empty()) {
        return 0;
    }
    if (output_ == "assembled") {
        return 1;
    }
    const auto count = static_cast<int64_t>(places_.size());
    return output_ == "both" ? count + 1 : count;
}

bool RecorderModel::soundIsMissing() const {
    if (sound_.empty() || sound_ == kComputerSound) {
        return false;
    }
    return std::none_of(places_.begin(), places_.end(),
                        [&](const Place& place) { return place.title == sound_; });
}

bool RecorderModel::pictureIsTooLarge() const {
    return output_ != "separate" &&
           (pictureSize_.width > kLargestSide || pictureSize_.height > kLargestSide);
}

bool RecorderModel::codecHasBitrate() const {
    const std::optional<Codec> codec = codecNamed(codec_);
    return codec && usesBitrate(*codec);
}

std::vector<std::string> RecorderModel::soundChoices() const {
    std::vector<std::string> choices;
    for (const Place& place : places_) {
        if (place.kind == "ndi" || place.kind.empty() || place.title == sound_) {
            choices.push_back(place.title);
        }
    }
    return choices;
}

}  // namespace zarvo
