#pragma once

// The updater: finds whether a newer release exists, downloads its archive, verifies it and
// replaces the installed application folder with it, then quits so that the new copy starts.
// No toolkit here: the update sheet (App/ui/UpdateSheetView) observes it through the
// notification centre.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/SerialQueue.h"

namespace zarvo {

class MainQueue;
class UserDefaults;

// What a release offers.
struct ReleaseInfo {
    std::string version;  // normalized
    std::optional<int64_t> build;
    std::string downloadURL;  // the .zip archive holding the application
    std::string sha256;       // expected digest in hexadecimal; empty when not given
    std::string notesFR;
    std::string notesEN;
    std::optional<std::string> htmlURL;

    // The notes in the interface language, trimmed; the other language's when they are empty
    // (French first).
    std::string localizedNotes() const;

    bool operator==(const ReleaseInfo&) const = default;
};
void to_json(nlohmann::json& json, const ReleaseInfo& release);
void from_json(const nlohmann::json& json, ReleaseInfo& release);

// The updater's own failures.
struct UpdaterError {
    enum class Case {
        httpStatus,
        checksumMismatch,
        extractionFailed,
        invalidCodeSignature,    // on Linux: the new folder does not pass the checks below
        teamIdentifierMismatch,  // on Linux: the new folder's bundle identifier differs
        installerLaunchFailed,
        invalidManifest,
        noZipAsset,
        appBundleNotFound,
    };
    Case kind = Case::invalidManifest;
    long code = 0;
    std::string expected;
    std::optional<std::string> actual;
    std::string detail;

    static UpdaterError httpStatus(long code);
    static UpdaterError checksumMismatch(std::string expected, std::string actual);
    static UpdaterError extractionFailed(std::string detail);
    static UpdaterError invalidCodeSignature(std::string detail);
    static UpdaterError teamIdentifierMismatch(std::string expected,
                                               std::optional<std::string> actual);
    static UpdaterError installerLaunchFailed(std::string detail);
    static UpdaterError invalidManifest() { return of(Case::invalidManifest); }
    static UpdaterError noZipAsset() { return of(Case::noZipAsset); }
    static UpdaterError appBundleNotFound() { return of(Case::appBundleNotFound); }
    static UpdaterError of(Case kind) {
        UpdaterError error;
        error.kind = kind;
        return error;
    }

    bool operator==(const UpdaterError&) const = default;
};

// Any other failure (the network, the disk), described in both languages.
struct SystemFailure {
    std::string french;
    std::string english;
    bool operator==(const SystemFailure&) const = default;
};

using UpdateFailure = std::variant<UpdaterError, SystemFailure>;
template <class T>
using UpdateOutcome = std::variant<T, UpdateFailure>;

// One HTTP GET.
struct HttpRequest {
    std::string url;
    // Time allowed to connect, and for the transfer to stand still, before it fails.
    double timeoutSeconds = 15;
    std::vector<std::pair<std::string, std::string>> headers;
    // A body longer than this is not read further and the answer is marked `tooLarge`.
    uint64_t maxBodyBytes = 0;
    // When set, a successful answer's body is written to this file instead of `body`.
    std::optional<std::filesystem::path> bodyFile;
};
struct HttpResponse {
    long status = 0;
    std::string body;
    bool tooLarge = false;
};
// Called with the fraction received so far (0 to 1) when the length is known; returning false
// cancels the transfer.
using ProgressHandler = std::function<bool(double fraction)>;
// Runs a request to its end on the calling thread (a worker, never the main thread).
using DataLoader =
    std::function<UpdateOutcome<HttpResponse>(const HttpRequest&, const ProgressHandler&)>;

// The result of running a program: its exit status (128 + the signal when it was killed, -1
// when it could not be started) and both outputs, trimmed.
struct ProcessResult {
    int status = -1;
    std::string output;
    std::string error;
    std::string startFailure;  // why it could not be started
};

class ZarvoUpdater {
  public:
    // What the updater is doing or what it found, in this order.
    struct UpToDate {
        std::string version;
        bool operator==(const UpToDate&) const = default;
    };
    struct UpdateAvailable {
        ReleaseInfo release;
        bool operator==(const UpdateAvailable&) const = default;
    };
    struct Downloading {
        double progress = 0;
        bool operator==(const Downloading&) const = default;
    };
    struct Failed {
        std::string message;
        bool operator==(const Failed&) const = default;
    };
    struct Idle {
        bool operator==(const Idle&) const = default;
    };
    struct Checking {
        bool operator==(const Checking&) const = default;
    };
    struct Installing {
        bool operator==(const Installing&) const = default;
    };
    using State =
        std::variant<UpToDate, UpdateAvailable, Downloading, Failed, Idle, Checking, Installing>;

    // Replaces the default installer: called on the main thread with the verified new
    // application folder and the destination; a failure is returned as its detail.
    using InstallerHandler = std::function<std::optional<std::string>(
        const std::filesystem::path& newApp, const std::filesystem::path& destination)>;

    struct Options {
        MainQueue* mainQueue = nullptr;  // where every state change happens
        std::shared_ptr<UserDefaults> defaults;
        std::map<std::string, std::string> environment;
        nlohmann::json infoDictionary = nlohmann::json::object();  // the running bundle's
        std::string currentVersion;            // "" or "dev": from the information dictionary
        std::filesystem::path currentAppPath;  // the running application folder
        std::string repo = "mervane/ZarvoRecorder";
        std::string bundleIdentifier;  // "": the information dictionary's, else our own
        DataLoader dataLoader;         // empty: HTTP through libcurl
        InstallerHandler installerHandler;
        std::function<void()> terminateApp;
        double checkTimeoutSeconds = 15;
        double downloadTimeoutSeconds = 120;
        // The program started to replace the application (with --replace-application); by
        // default the running program itself.
        std::filesystem::path replacerProgram;
    };

    // The options of the running program: its environment, bundle, folder and the
    // application's settings store.
    static Options processOptions(MainQueue* mainQueue, std::shared_ptr<UserDefaults> defaults,
                                  std::function<void()> terminateApp);

    explicit ZarvoUpdater(Options options);
    // Cancels a transfer under way and waits for the worker.
    ~ZarvoUpdater();
    ZarvoUpdater(const ZarvoUpdater&) = delete;
    ZarvoUpdater& operator=(const ZarvoUpdater&) = delete;

    // Posted on the main thread after every change of the state, the sheet's presence or the
    // automatic check; its object is the updater.
    static constexpr const char* kDidChangeNotification = "ZarvoUpdaterDidChange";

    static constexpr const char* kAutoCheckKey = "net.mervane.zarvorecorder.autoCheckUpdates";
    static constexpr const char* kLastCheckKey = "net.mervane.zarvorecorder.lastUpdateCheck";
    static constexpr const char* kUpdateURLKey = "net.mervane.zarvorecorder.updateURL";
    // The repository service's REST host.
    static constexpr const char* kReleaseHost = "https://api.github.com";
    static constexpr const char* kFallbackVersion = "0.9.1";
    static constexpr const char* kApplicationName = "ZarvoRecorder.app";
    // The hidden command line of the replacer: PROGRAM --replace-application PID NEW DEST WORK.
    static constexpr const char* kReplaceArgument = "--replace-application";
    // Largest release record or manifest read, and largest archive downloaded or extracted.
    static constexpr uint64_t kMaxManifestBytes = 4u << 20;
    static constexpr uint64_t kMaxArchiveBytes = 2ull << 30;
    static constexpr uint64_t kMaxExtractedBytes = 4ull << 30;

    const State& state() const { return state_; }
    // Puts the updater in a state at once, for pictures of the sheet in every state.
    void setStateForTesting(State state) { publish(std::move(state)); }
    bool isUpdateSheetPresented() const { return sheetPresented_; }
    void setUpdateSheetPresented(bool presented);
    bool autoCheckOnLaunch() const { return autoCheck_; }
    void setAutoCheckOnLaunch(bool on);

    const std::string& repo() const { return options_.repo; }
    const std::string& bundleIdentifier() const { return bundleIdentifier_; }
    const std::string& currentVersion() const { return currentVersion_; }
    std::optional<int64_t> currentBuild() const { return currentBuild_; }
    const std::filesystem::path& currentAppPath() const { return options_.currentAppPath; }

    bool shouldAutoCheck(double now, bool isTestEnvironment) const;
    // Starts a check unless one is running, or a download or installation is under way.
    void checkForUpdates(bool silent, double now);
    // Starts downloading and installing the release (refused in the same states).
    void downloadAndInstall(const ReleaseInfo& release);

    std::optional<std::string> customManifestURL() const;
    std::string githubLatestReleaseURL() const;
    // Where the installation goes: the running folder when it ends in ".app", else
    // ~/Applications/ZarvoRecorder.app.
    std::filesystem::path destinationPath() const;

    // True when no automatic check should run: ZARVO_DISABLE_UPDATE_CHECK is "1", the program
    // does not run from an installed ".app" folder (a build tree, a test program), or there is
    // no display (neither DISPLAY nor WAYLAND_DISPLAY: headless).
    static bool isRunningTestsOrHeadless();
    static bool isRunningTestsOrHeadless(const std::map<std::string, std::string>& environment,
                                         const std::string& runningBundlePath);

    static std::string normalizeVersion(const std::string& version);
    static std::vector<int64_t> numericVersionComponents(const std::string& version);
    static bool isNewerVersion(const std::string& candidate, std::optional<int64_t> candidateBuild,
                               const std::string& current, std::optional<int64_t> currentBuild);
    static UpdateOutcome<ReleaseInfo> parseRelease(const std::string& data,
                                                   const std::string& bundleIdentifier);
    static std::string sha256Hex(const std::string& data);
    // The digest of a file's contents; none when it cannot be read.
    static std::optional<std::string> sha256HexOfFile(const std::filesystem::path& file);
    // Extracts a zip archive into the folder; an entry that would land outside it fails.
    static std::optional<UpdateFailure> extractZip(const std::filesystem::path& archive,
                                                   const std::filesystem::path& folder);
    static std::optional<std::filesystem::path> findAppBundle(const std::filesystem::path& folder);
    // The "CFBundleIdentifier" of a folder's Info.json; none when absent or empty.
    static std::optional<std::string> bundleIdentifier(const std::filesystem::path& app);
    // Stands in for the code signature: the new folder's bundle identifier is the running
    // application's (when that has one), and its bin/zarvo-recorder --version runs and exits 0.
    static std::optional<UpdaterError> verifyApplication(const std::filesystem::path& newApp,
                                                         const std::filesystem::path& currentApp);
    // Starts the replacer detached from this process; it waits for `waitFor` to end, swaps the
    // folders, removes the work folder and starts the new copy.
    static std::optional<UpdaterError> spawnDetachedReplacement(
        const std::filesystem::path& program, pid_t waitFor, const std::filesystem::path& newApp,
        const std::filesystem::path& destination, const std::filesystem::path& workFolder);
    static std::string describeError(const UpdateFailure& error);

    // Runs a program with both outputs captured; killed once `timeoutSeconds` have passed.
    static ProcessResult runProcess(const std::filesystem::path& executable,
                                    const std::vector<std::string>& arguments,
                                    double timeoutSeconds = 30);

    // HTTP through libcurl: http and https only, redirects followed.
    static UpdateOutcome<HttpResponse> curlDataLoader(const HttpRequest& request,
                                                      const ProgressHandler& progress);

  private:
    struct Life;

    void publish(State state);
    void notifyChanged();
    void fail(const UpdateFailure& error);
    void finishCheck(bool silent, UpdateOutcome<ReleaseInfo> outcome);
    void finishVerification(std::filesystem::path workFolder, std::filesystem::path newApp);
    void post(std::function<void()> task);
    bool isBusy() const;

    Options options_;
    std::string bundleIdentifier_;
    std::string currentVersion_;
    std::optional<int64_t> currentBuild_;
    State state_ = Idle{};
    bool sheetPresented_ = false;
    bool autoCheck_ = true;
    std::shared_ptr<Life> life_;
    // Last: destroyed first, so that its tasks end before the fields they read.
    SerialQueue worker_{"ZarvoUpdater"};
};

// The replacer's work, run by the program started with --replace-application: waits at most
// `waitSeconds` for process `waitFor` to end; moves or copies `newApp` beside `destination`,
// swaps the two folders in one rename, removes the old copy and `workFolder`, then starts
// destination/bin/zarvo-recorder detached when `relaunch`. Any failure before the swap leaves
// the destination as it was. Returns whether the new copy is in place.
bool replaceApplication(pid_t waitFor, const std::filesystem::path& newApp,
                        const std::filesystem::path& destination,
                        const std::filesystem::path& workFolder, bool relaunch,
                        double waitSeconds = 600);

// The replacer's entry point: `arguments` after the program's name, beginning with
// --replace-application. Returns the exit status.
int replacementMain(const std::vector<std::string>& arguments);

}  // namespace zarvo
