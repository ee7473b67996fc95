#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/AssembledPicture.h"
#include "engine/Layout.h"
#include "engine/RecorderParameter.h"
#include "engine/RecorderPlace.h"
#include "engine/RecorderSettings.h"
#include "engine/RecorderState.h"
#include "engine/Take.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemActivity.h"
#include "platform/UserDefaults.h"
#include "platform/gpu/Device.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

class OSCQueryServer;
class OSCReceiver;
enum class RecorderSetting;

// Posted, with the controller as its object, after every change the controller makes.
inline constexpr const char* kRecorderControllerDidChangeNotification =
    "RecorderControllerDidChangeNotification";

// The centre of the recorder: its settings (kept in the user defaults), the places (the chosen
// sources, at most eight), the sources that can be chosen, the recording state and the last
// error. The window, the model and the remote parameters read and change the recorder only
// through it, on the main thread.
class RecorderController : public std::enable_shared_from_this<RecorderController> {
  public:
    static constexpr size_t kMaxPlaces = 8;
    static constexpr int64_t kMaxDimension = RecorderSettings::kMaxDimension;
    static constexpr double kMaxFps = RecorderSettings::kMaxFps;
    static constexpr double kMaxBitrate = RecorderSettings::kMaxBitrate;
    static constexpr int64_t kMaxGap = RecorderSettings::kMaxGap;

    struct Options {
        MainQueue* mainQueue = nullptr;  // required: where timers and callbacks run
        gpu::DeviceRef device;
        std::shared_ptr<SourceDirectory> directory;
        std::shared_ptr<SoundSource> computerSound;  // may be null where sound cannot be captured
        std::shared_ptr<UserDefaults> defaults;
        NotificationCenter* notificationCenter = &NotificationCenter::defaultCenter();
        // Where the parameters are published; none means the process's shared server.
        OSCQueryServer* queryServer = nullptr;
    };

    // Builds the controller: reads the settings, lists the sources, makes the places from the
    // stored titles and connects them, and starts the refresh. Must run on the main thread.
    // nullptr without a main queue or a device.
    static std::shared_ptr<RecorderController> create(Options options);
    ~RecorderController();
    RecorderController(const RecorderController&) = delete;
    RecorderController& operator=(const RecorderController&) = delete;

    const gpu::DeviceRef& device() const { return device_; }
    const std::shared_ptr<SourceDirectory>& directory() const { return directory_; }
    const std::shared_ptr<SoundSource>& computerSound() const { return computerSound_; }
    const std::shared_ptr<UserDefaults>& defaults() const { return defaults_; }

    // --- Settings -----------------------------------------------------------------------------
    // Every setter stores the value within its limits, writes it to the user defaults, and posts
    // the change notification.

    const std::string& codec() const { return settings_.codec; }
    void setCodec(const std::string& codec);
    int64_t width() const { return settings_.width; }
    void setWidth(int64_t width);  // 0…16384; 0 lets the sources decide
    int64_t height() const { return settings_.height; }
    void setHeight(int64_t height);  // 0…16384; 0 lets the sources decide
    double fps() const { return settings_.fps; }
    void setFps(double fps);  // 0…240, not finite → 0; 0 keeps every frame
    double bitrate() const { return settings_.bitrate; }
    void setBitrate(double bitrate);  // megabits per second, 0…1000, not finite → 0
    const std::string& folder() const { return settings_.folder; }
    void setFolder(const std::string& folder);  // a leading "~" is expanded
    const std::string& name() const { return settings_.name; }
    void setName(const std::string& name);
    const std::string& output() const { return settings_.output; }
    void setOutput(const std::string& output);  // an unknown output is ignored
    const std::string& layout() const { return settings_.layout; }
    void setLayout(const std::string& layout);  // an unknown layout is ignored
    int64_t gap() const { return settings_.gap; }
    void setGap(int64_t gap);  // 0…1000
    const std::string& sound() const { return settings_.sound; }
    void setSound(const std::string& sound);  // "", "computer" or a place title; else ignored
    bool performance() const { return settings_.performance; }
    void setPerformance(bool performance);
    bool ndiAvailable() const { return ndiAvailable_; }
    void setNdiAvailable(bool available);  // not persisted

    // The index of the layout setting among the layout kinds (0 when unknown).
    int64_t layoutKind() const { return settings_.layoutKind(); }
    // Every setting at once, as a take is planned from them.
    const RecorderSettings& settings() const { return settings_; }

    // --- State and errors ---------------------------------------------------------------------

    // The state's remote word: "idle", "recording" or "finishing".
    std::string state() const { return recorderStateName(state_); }
    RecorderState recorderState() const { return state_; }
    void setState(RecorderState state) { state_ = state; }
    // A state by its remote word; any other text leaves the state as it is.
    void setState(const std::string& state) { state_ = recorderStateNamed(state).value_or(state_); }
    // Any state but idle, so also while a take is being finished.
    bool isRecording() const { return state_ != RecorderState::idle; }

    const std::string& error() const { return error_; }
    uint64_t errorCount() const { return errorCount_; }
    const std::string& recordingError() const { return recordingError_; }
    void setRecordingError(const std::string& text) { recordingError_ = text; }

    // Keeps the text as the last error (a non-empty one is counted) and posts the change.
    void setError(const std::string& text);
    // setError, then false: how every failing operation reports.
    bool failWithError(const std::string& text);

    // Posts the change notification, synchronously.
    void changed();

    // The running application's short version, or "dev" outside an installed copy.
    static std::string version();
    // The short version from a bundle's information, when the bundle folder ends in ".app" and
    // the version is a non-empty text not beginning with "@"; otherwise "dev".
    static std::string versionOfBundle(const std::string& bundlePath, const nlohmann::json& info);

    // --- Places and sources -------------------------------------------------------------------

    const std::vector<PlaceRef>& places() const { return places_; }
    const std::vector<SourceDescription>& availableSources() const { return availableSources_; }

    // The directory's sources, in its order, keeping the first of each title.
    static std::vector<SourceDescription> sourcesOf(SourceDirectory& directory);

    // The title a text chooses: an exact title, else the first title containing the text without
    // regard to case; available sources first, then places whose source has gone. Reports an
    // error and gives none when nothing matches.
    std::optional<std::string> titleMatching(const std::string& text);
    // The same rule among the places' titles only; no error.
    std::optional<std::string> placeTitleMatching(const std::string& text) const;
    // "" for an empty text, "computer" for "computer" in any case, else a place's title, or none.
    std::optional<std::string> soundChoiceMatching(const std::string& text) const;
    // The index of the place with exactly that title, or kNotFound.
    uint64_t indexOfPlaceWithTitle(const std::string& title) const;

    // Places change only while idle; otherwise reports why and gives false.
    bool placesCanChange();
    // Place numbers count from 1.
    bool addSourceMatching(const std::string& text);
    bool setSourceMatching(const std::string& text, uint64_t place);
    void removeSourceAtPlace(uint64_t place);
    bool moveSourceFromPlace(uint64_t from, uint64_t to);
    // Replaces the places: the only way they change. Places left out let go of their sources.
    void usePlaces(std::vector<PlaceRef> places);

    // Connects every place whose source is listed and lets go of those that are not.
    void connectPlaces();
    // Connects one place to its source through the directory, when it can be reached.
    void connectPlace(const PlaceRef& place);
    // The directory's list changed.
    void sourcesDidChange();

    // --- Recording ----------------------------------------------------------------------------

    // Starts a take of the places with the settings; true also when already recording.
    bool start();
    // Stops the take; the handler runs on the main queue once its movies are finished (at once
    // when idle).
    void stopWithCompletionHandler(std::function<void()> handler);
    // Starts when idle, else stops.
    void toggle();
    // Marks the current time of the take, named (or "Marker N" when the name is empty); the
    // error "There is no recording to mark" outside a take.
    bool addMarker(const std::string& name);
    // Measures the places, reconnects sources that went away and keeps the monitor alive; runs
    // every 0.25 s, after a start and after the end of a recording.
    void refresh();
    void recordingEndedWithError(const std::optional<Error>& error);
    void movieAtIndexFailed(uint64_t index, const Error& error);
    // The source movies, then the assembled movie, of the current or last take.
    std::vector<TakeMovieRef> moviesOfTheTake() const;
    const std::shared_ptr<Take>& take() const { return take_; }

    // Status of the current or last take.
    double elapsed() const;
    uint64_t frames() const;
    uint64_t dropped() const;
    std::string file() const;
    std::string assembledFile() const;
    uint64_t assembledFrames() const;
    uint64_t assembledDropped() const;
    double assembledSoundWritten() const;
    // The markers of the current or last take.
    uint64_t markers() const;
    double soundLeftOut() const;

    // The status values above are announced together once per refresh: observers are told
    // before they change (in this order) and after (in the reverse order).
    static const std::vector<std::string>& statusKeys();
    using StatusObserver = std::function<void(const std::string& key, bool changed)>;
    void setStatusObserver(StatusObserver observer) { statusObserver_ = std::move(observer); }

    // --- Assembled picture --------------------------------------------------------------------

    // The settings or places that shape the assembled picture changed: the monitor picture is
    // composed anew at once.
    void compositionChanged();
    // The running take's layout, or the one a take would have now.
    Layout assembledLayout() const;
    // The latest composed picture. Any thread.
    gpu::TextureRef assembledFrame() const { return picture_->assembledFrame(); }
    const std::shared_ptr<AssembledPicture>& picture() const { return picture_; }
    // The monitor is refreshed less often while recording with the performance setting.
    bool displayIsLimited() const { return settings_.performance && isRecording(); }
    // A window tells whether it shows the monitor picture now; none is composed otherwise.
    void setMonitorShown(bool shown);

    // --- Remote parameters ----------------------------------------------------------------------

    // The parameters in the order they are published, and the same by address.
    const std::vector<RecorderParameter>& parameters() const { return parameters_; }
    const RecorderParameter* parameterForAddress(const std::string& address) const;
    // Applies one received OSC message; a refusal becomes the controller's error.
    void handleMessage(const OSCMessage& message);
    // Publishes one parameter on the OSCQuery server, with its range as it is now.
    void registerParameter(const RecorderParameter& parameter);
    // Listens for OSC on UDP port `oscPort` (or one of the ports after it) and serves the
    // parameters over OSCQuery on TCP port `queryPort` (likewise) under `name`. A port that
    // cannot be had becomes the controller's error and false.
    bool startNetwork(long oscPort, long queryPort, const std::string& name);
    void stopNetwork();
    // The ports in use; 0 when not listening.
    int64_t oscPort() const { return oscPort_; }
    int64_t oscQueryPort() const { return oscQueryPort_; }
    bool queryServerStarted() const { return queryServerStarted_; }

  private:
    static constexpr double kRefreshInterval = 0.25;  // seconds between refreshes

    explicit RecorderController(Options options);
    void construct();
    // The computer's sound goes to the take; the take's failures reach the controller, which
    // the take holds weakly.
    void listenToTheTake();
    void makePlacesFromStoredTitles();
    // Follows the directory's changes and starts the refresh, both holding the controller
    // weakly.
    void followTheSources();

    void makeParameters();
    void registerParametersWithPrefix(const std::string& prefix);
    // Stops listening; true when a port was given up.
    bool stopNetworkServices();

    // The refresh's look at one place: a place without a source tries to connect; a silent
    // source that is still alive is left be, one that has died is reconnected. How long a
    // place may be silent first is the ReconnectPolicy's.
    void checkConnection(const PlaceRef& place, double now);
    // Status observers are told before the status values change (in order) and after (in
    // reverse order).
    void tellStatusObservers(bool changed);
    // A take's movies were made: each place learns its own movie and its index in the take.
    void givePlacesTheirMovies();
    // The first failure among the take's movies, named after its source when there are
    // several; empty when none failed.
    std::string failureOfTheMovies() const;

    void displayLimitChanged();
    // Whether anything uses the place's pictures now: its own movie, the assembled movie or
    // the monitor. Sources of places whose pictures nobody uses fetch none.
    bool picturesWanted(const RecorderPlace& place) const;
    void picturesWantedChanged();
    // Writes the setting's value to the user defaults.
    void saveSetting(RecorderSetting setting);

    MainQueue* const mainQueue_;
    const gpu::DeviceRef device_;
    const std::shared_ptr<SourceDirectory> directory_;
    const std::shared_ptr<SoundSource> computerSound_;
    const std::shared_ptr<UserDefaults> defaults_;
    NotificationCenter* const notificationCenter_;

    RecorderSettings settings_;
    bool ndiAvailable_ = false;

    std::vector<PlaceRef> places_;
    std::vector<SourceDescription> availableSources_;
    RecorderState state_ = RecorderState::idle;
    std::string error_;
    uint64_t errorCount_ = 0;
    std::string recordingError_;

    std::shared_ptr<Take> take_;
    std::shared_ptr<AssembledPicture> picture_;
    std::unique_ptr<Timer> refreshTimer_;
    std::unique_ptr<SystemActivity> activity_;
    double startTime_ = 0;
    double lastElapsed_ = 0;
    std::vector<std::function<void()>> stopHandlers_;
    StatusObserver statusObserver_;

    OSCQueryServer* const queryServer_;
    std::vector<RecorderParameter> parameters_;
    std::map<std::string, size_t> parametersByAddress_;  // index into parameters_
    std::unique_ptr<OSCReceiver> receiver_;
    // Sends the OSCQuery server's WebSocket listeners the values each change touched.
    ScopedObserver listenedValuesObserver_;
    bool queryServerStarted_ = false;
    int64_t oscPort_ = 0;
    int64_t oscQueryPort_ = 0;
};

}  // namespace zarvo
