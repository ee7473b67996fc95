#pragma once

// The updater: finds whether a newer release exists, downloads its archive, verifies it and
// replaces the installed application folder with it, then quits so that the new copy starts.
// This class holds the states and the order of the steps; each step's work is in a file of its
// own (ReleaseInfo, HttpLoader, UpdateSignature, ArchiveExtraction, ApplicationReplacer).
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

#include "App/updater/ApplicationReplacer.h"
#include "App/updater/ArchiveExtraction.h"
#include "App/updater/HttpLoader.h"
#include "App/updater/ReleaseInfo.h"
#include "App/updater/UpdateErrors.h"
#include "App/updater/UpdateSignature.h"
#include "platform/SerialQueue.h"

namespace zarvo {

class MainQueue;
class UserDefaults;

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
        // How long a server may stay silent, and how long one whole request may take.
        double checkTimeoutSeconds = 15;
        double checkTotalSeconds = 60;
        double downloadTimeoutSeconds = 120;
        double downloadTotalSeconds = 3600;
        ExtractionLimits extractionLimits;
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
    static constexpr const char* kReplaceArgument = zarvo::kReplaceArgument;
    // Largest release record or manifest read, and largest archive downloaded or extracted.
    static constexpr uint64_t kMaxManifestBytes = 4u << 20;
    static constexpr uint64_t kMaxArchiveBytes = 2ull << 30;
    // Largest signature file of a release record.
    static constexpr uint64_t kMaxSignatureBytes = 1024;
    // The key of the publisher's Ed25519 public key in Info.json.
    static constexpr const char* kPublicKeyKey = "ZarvoUpdatePublicKey";
    static constexpr uint64_t kMaxExtractedBytes = zarvo::kMaxExtractedBytes;

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
    // A copy carrying the publisher's key installs updates; one without (a build tree, a
    // developer's install) checks only, and points to the release page.
    bool canInstallUpdates() const { return !publicKey_.empty(); }
    // A copy installed by the system's package manager checks only: the package manager updates
    // it.
    bool isPackageInstalled() const { return packageInstalled_; }
    // Where a person downloads a release by hand: its page, or the repository's releases.
    std::string releasePageURL(const ReleaseInfo& release) const;

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

    // The steps' functions, under the names the rest of the application knows them by.
    static std::string normalizeVersion(const std::string& version) {
        return zarvo::normalizeVersion(version);
    }
    static std::vector<int64_t> numericVersionComponents(const std::string& version) {
        return zarvo::numericVersionComponents(version);
    }
    static bool isNewerVersion(const std::string& candidate, std::optional<int64_t> candidateBuild,
                               const std::string& current, std::optional<int64_t> currentBuild) {
        return zarvo::isNewerVersion(candidate, candidateBuild, current, currentBuild);
    }
    static UpdateOutcome<ReleaseInfo> parseRelease(const std::string& data,
                                                   const std::string& bundleIdentifier) {
        return zarvo::parseRelease(data, bundleIdentifier);
    }
    static std::string sha256Hex(const std::string& data) { return zarvo::sha256Hex(data); }
    static std::optional<UpdateFailure> extractZip(const std::filesystem::path& archive,
                                                   const std::filesystem::path& folder) {
        return zarvo::extractZip(archive, folder);
    }
    static std::optional<std::filesystem::path> findAppBundle(const std::filesystem::path& folder) {
        return zarvo::findAppBundle(folder);
    }
    static std::string describeError(const UpdateFailure& error) {
        return describeUpdateFailure(error);
    }
    static std::optional<UpdaterError> spawnDetachedReplacement(
        const std::filesystem::path& program, pid_t waitFor, const std::filesystem::path& newApp,
        const std::filesystem::path& destination, const std::filesystem::path& workFolder) {
        return zarvo::spawnDetachedReplacement(program, waitFor, newApp, destination, workFolder);
    }
    static UpdateOutcome<HttpResponse> curlDataLoader(const HttpRequest& request,
                                                      const ProgressHandler& progress) {
        return zarvo::curlDataLoader(request, progress);
    }

    // The "CFBundleIdentifier" of a folder's Info.json; none when absent or empty.
    static std::optional<std::string> bundleIdentifier(const std::filesystem::path& app);
    // What the extracted folder must carry once the archive's signature held: an Info.json
    // with our bundle identifier, the version and build the release announced (newer than
    // ours), and a publisher key (ours, or a new one vouched for by our signature). Nothing in
    // the folder is run.
    std::optional<UpdaterError> verifyApplication(const std::filesystem::path& newApp,
                                                  const ReleaseInfo& release) const;
    // Why this copy does not install the release, before anything is downloaded; none when it
    // may.
    std::optional<UpdaterError> installRefusal(const ReleaseInfo& release) const;

  private:
    struct Life;

    void publish(State state);
    void notifyChanged();
    void fail(const UpdateFailure& error);
    void finishCheck(bool silent, UpdateOutcome<ReleaseInfo> outcome);
    void finishVerification(std::filesystem::path workFolder, std::filesystem::path newApp);
    void post(std::function<void()> task);
    // The signature file of a release record (worker thread).
    UpdateOutcome<std::string> fetchSignature(const std::string& url, Life& life) const;
    bool isBusy() const;

    Options options_;
    std::string bundleIdentifier_;
    std::string currentVersion_;
    std::optional<int64_t> currentBuild_;
    std::string publicKey_;  // base64; empty when the copy carries no usable key
    bool packageInstalled_ = false;
    State state_ = Idle{};
    bool sheetPresented_ = false;
    bool autoCheck_ = true;
    std::shared_ptr<Life> life_;
    // Last: destroyed first, so that its tasks end before the fields they read.
    SerialQueue worker_{"ZarvoUpdater"};
};

}  // namespace zarvo
