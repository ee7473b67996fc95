#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "App/language/AppLanguage.h"
#include "engine/Layout.h"
#include "engine/RecorderState.h"
#include "platform/NotificationCenter.h"

namespace zarvo {

class RecorderController;

// What the window shows of the recorder: the controller's state copied into plain values on
// every change the controller announces, the error being shown for a while, the free space of
// the recording folder's volume, and a few values worked out from them. The views read it and
// redraw on `changed`; they act through `controller()` (and `setLanguage`). Main thread only.
class RecorderModel : public QObject {
    Q_OBJECT

  public:
    // One chosen source as the views show it.
    struct Place {
        std::string title;
        bool isOnline = false;
        int64_t width = 0;
        int64_t height = 0;
        double fps = 0;  // rounded to tenths
        std::string file;
        int64_t frames = 0;
        int64_t dropped = 0;
        std::string kind;  // "ndi", "syphon", or empty before the source told
        bool hasSound = false;
        friend bool operator==(const Place&, const Place&) = default;
    };
    // A source that can still be chosen.
    struct Source {
        std::string title;
        std::string detail;
        std::string kind;  // "ndi" or "syphon"
        friend bool operator==(const Source&, const Source&) = default;
    };
    // An output or layout choice: its stored name, its title in both languages, its symbol.
    struct Choice {
        const char* name;
        const char* french;
        const char* english;
        const char* symbol;
        QString title() const;
    };

    static constexpr const char* kComputerSound = "computer";
    static constexpr double kLargestSide = 16384.0;
    static const std::vector<Choice>& outputs();
    static const std::vector<Choice>& layouts();

    RecorderModel(std::shared_ptr<RecorderController> controller, double errorDisplayTime,
                  std::string ndiOffReason, QObject* parent = nullptr);
    ~RecorderModel() override;

    const std::shared_ptr<RecorderController>& controller() const { return controller_; }
    RecorderController& recorder() const { return *controller_; }
    const std::string& ndiOffReason() const { return ndiOffReason_; }

    // --- Published values -----------------------------------------------------------------------
    const std::string& state() const { return state_; }
    double elapsed() const { return elapsed_; }
    int64_t frames() const { return frames_; }
    int64_t dropped() const { return dropped_; }
    const std::vector<Place>& places() const { return places_; }
    const std::vector<Source>& available() const { return available_; }
    const std::string& notice() const { return notice_; }
    const std::string& failure() const { return failure_; }
    const std::string& codec() const { return codec_; }
    const std::string& folder() const { return folder_; }
    const std::string& name() const { return name_; }
    const std::string& output() const { return output_; }
    const std::string& layout() const { return layout_; }
    const std::string& sound() const { return sound_; }
    double fps() const { return fps_; }
    double bitrate() const { return bitrate_; }
    int64_t gap() const { return gap_; }
    int64_t width() const { return width_; }
    int64_t height() const { return height_; }
    Size pictureSize() const { return pictureSize_; }
    // Where each place lies in the assembled picture, as fractions of its width and height.
    const std::vector<Rect>& titleRects() const { return titleRects_; }
    int64_t assembledFrames() const { return assembledFrames_; }
    int64_t assembledDropped() const { return assembledDropped_; }
    double soundLeftOut() const { return soundLeftOut_; }
    bool ndiAvailable() const { return ndiAvailable_; }
    int64_t oscPort() const { return oscPort_; }
    int64_t oscQueryPort() const { return oscQueryPort_; }
    bool performance() const { return performance_; }
    bool displayIsLimited() const { return displayIsLimited_; }
    const std::string& version() const { return version_; }
    std::optional<int64_t> freeSpace() const { return freeSpace_; }
    AppLanguage language() const { return language_; }
    double errorDisplayTime() const { return errorDisplayTime_; }

    // --- Derived values -------------------------------------------------------------------------
    // `state()` as one of the recorder's states; none for a text that names none.
    std::optional<RecorderState> recorderState() const { return recorderStateNamed(state_); }
    bool isIdle() const { return recorderState() == RecorderState::idle; }
    int64_t movieCount() const;
    bool soundIsMissing() const;
    bool pictureIsTooLarge() const;
    bool codecHasBitrate() const;
    std::vector<std::string> soundChoices() const;

    // The one action of the model itself: the interface language, stored.
    void setLanguage(AppLanguage language);

    // Copies the controller into the published values; each is written only when it differs,
    // and `changed` is emitted once when any did.
    void sync();
    // Shows a new error for errorDisplayTime seconds; an error is shown once.
    void showError(const std::string& text);
    // Reads the folder's free space, at most every 2 seconds.
    void checkSpace();

    // The free space, in bytes, of the volume a folder is on (or would be on: the nearest
    // existing folder above it is asked), or none when it cannot be read.
    static std::optional<int64_t> availableSpace(const std::string& folder);
    // For tests: the clock the free-space reading is paced by (seconds).
    void setClockForTesting(std::function<double()> clock) { clock_ = std::move(clock); }

  signals:
    // Any published value changed, or the language did.
    void changed();

  private:
    template <typename T>
    void assign(T& field, const T& value);

    const std::shared_ptr<RecorderController> controller_;
    const double errorDisplayTime_;
    const std::string ndiOffReason_;

    std::string state_ = "idle";
    double elapsed_ = 0;
    int64_t frames_ = 0;
    int64_t dropped_ = 0;
    std::vector<Place> places_;
    std::vector<Source> available_;
    std::string notice_;
    std::string failure_;
    std::string codec_;
    std::string folder_;
    std::string name_;
    std::string output_ = "separate";
    std::string layout_ = "row";
    std::string sound_;
    double fps_ = 0;
    double bitrate_ = 0;
    int64_t gap_ = 0;
    int64_t width_ = 0;
    int64_t height_ = 0;
    Size pictureSize_;
    std::vector<Rect> titleRects_;
    int64_t assembledFrames_ = 0;
    int64_t assembledDropped_ = 0;
    double soundLeftOut_ = 0;
    bool ndiAvailable_ = false;
    int64_t oscPort_ = 0;
    int64_t oscQueryPort_ = 0;
    bool performance_ = false;
    bool displayIsLimited_ = false;
    std::string version_;
    std::optional<int64_t> freeSpace_;
    AppLanguage language_ = AppLanguage::system;

    uint64_t lastErrorCount_ = 0;
    double lastSpaceCheck_ = -1e300;  // the distant past
    std::function<double()> clock_;
    bool dirty_ = false;
    ScopedObserver observer_;
    ScopedObserver languageObserver_;
};

}  // namespace zarvo
