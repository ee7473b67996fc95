#include "App/updater/ZarvoUpdater.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "App/language/AppLanguage.h"
#include "platform/AppBundle.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Spawn.h"
#include "platform/Text.h"
#include "platform/UserDefaults.h"

namespace zarvo {
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kOurBundleIdentifier = "net.mervane.zarvorecorder";

std::string errnoText(int number) {
    return std::strerror(number);
}

std::string uuidString() {
    std::random_device device;
    uint8_t bytes[16];
    for (auto& byte : bytes) {
        byte = static_cast<uint8_t>(device());
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::optional<std::string> lookup(const std::map<std::string, std::string>& environment,
                                  const std::string& name) {
    auto found = environment.find(name);
    if (found == environment.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace

// --- The updater's life -------------------------------------------------------------------------

// Shared with the worker's tasks: a task that outlives the updater finds it gone.
struct ZarvoUpdater::Life {
    bool alive = true;  // main thread only
    std::atomic<bool> cancelled{false};
    std::atomic<double> progress{0};
    std::atomic<bool> progressPosted{false};
};

ZarvoUpdater::Options ZarvoUpdater::processOptions(MainQueue* mainQueue,
                                                   std::shared_ptr<UserDefaults> defaults,
                                                   std::function<void()> terminateApp) {
    Options options;
    options.mainQueue = mainQueue;
    options.defaults = std::move(defaults);
    options.environment = processEnvironment();
    const std::string bundle = runningBundlePath();
    options.infoDictionary = bundleInfo(bundle);
    options.currentAppPath = bundle;
    options.terminateApp = std::move(terminateApp);
    return options;
}

ZarvoUpdater::ZarvoUpdater(Options options)
    : options_(std::move(options)), life_(std::make_shared<Life>()) {
    if (!options_.dataLoader) {
        options_.dataLoader = &ZarvoUpdater::curlDataLoader;
    }
    if (options_.replacerProgram.empty()) {
        std::error_code error;
        options_.replacerProgram = fs::read_symlink("/proc/self/exe", error);
    }
    const json& info = options_.infoDictionary;
    bundleIdentifier_ = options_.bundleIdentifier;
    if (bundleIdentifier_.empty()) {
        bundleIdentifier_ = bundleText(info, "CFBundleIdentifier");
    }
    if (bundleIdentifier_.empty()) {
        bundleIdentifier_ = kOurBundleIdentifier;
    }

    std::string version = options_.currentVersion;
    if (version.empty() || version == "dev") {
        version = kFallbackVersion;
        const std::string fromInfo = bundleText(info, "CFBundleShortVersionString");
        if (!fromInfo.empty() && fromInfo[0] != '@') {
            version = fromInfo;
        }
    }
    currentVersion_ = normalizeVersion(version);
    if (info.is_object() && info.contains("CFBundleVersion")) {
        currentBuild_ = integerValue(info["CFBundleVersion"]);
    }
    if (const std::string key = trimmed(bundleText(info, kPublicKeyKey)); isEd25519PublicKey(key)) {
        publicKey_ = key;
    }
    packageInstalled_ = zarvo::isPackageInstalled(options_.currentAppPath.string());
    if (options_.defaults) {
        const auto stored = options_.defaults->objectForKey(kAutoCheckKey);
        autoCheck_ = !stored || options_.defaults->boolForKey(kAutoCheckKey);
    }
}

ZarvoUpdater::~ZarvoUpdater() {
    life_->alive = false;
    life_->cancelled = true;
}

void ZarvoUpdater::post(std::function<void()> task) {
    options_.mainQueue->post([life = life_, task = std::move(task)] {
        if (life->alive) {
            task();
        }
    });
}

void ZarvoUpdater::notifyChanged() {
    NotificationCenter::defaultCenter().post(kDidChangeNotification, this);
}

void ZarvoUpdater::publish(State state) {
    state_ = std::move(state);
    notifyChanged();
}

void ZarvoUpdater::setUpdateSheetPresented(bool presented) {
    sheetPresented_ = presented;
    notifyChanged();
}

void ZarvoUpdater::setAutoCheckOnLaunch(bool on) {
    autoCheck_ = on;
    if (options_.defaults) {
        options_.defaults->setBool(kAutoCheckKey, on);
    }
    notifyChanged();
}

bool ZarvoUpdater::isBusy() const {
    return std::holds_alternative<Checking>(state_) ||
           std::holds_alternative<Downloading>(state_) ||
           std::holds_alternative<Installing>(state_);
}

void ZarvoUpdater::fail(const UpdateFailure& error) {
    publish(Failed{describeError(error)});
}

// --- Decisions --------------------------------------------------------------------------------

bool ZarvoUpdater::isRunningTestsOrHeadless() {
    return isRunningTestsOrHeadless(processEnvironment(), runningBundlePath());
}

bool ZarvoUpdater::isRunningTestsOrHeadless(const std::map<std::string, std::string>& environment,
                                            const std::string& runningBundlePath) {
    if (lookup(environment, "ZARVO_DISABLE_UPDATE_CHECK") == "1") {
        return true;
    }
    std::string path = runningBundlePath;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    std::error_code error;
    if (asciiLowercase(fs::path(path).extension().string()) != ".app" &&
        !fs::exists(fs::path(path) / kPackageMarker, error)) {
        return true;
    }
    const auto display = lookup(environment, "DISPLAY");
    const auto wayland = lookup(environment, "WAYLAND_DISPLAY");
    return (!display || display->empty()) && (!wayland || wayland->empty());
}

bool ZarvoUpdater::shouldAutoCheck(double now, bool isTestEnvironment) const {
    if (isTestEnvironment || !autoCheck_) {
        return false;
    }
    if (options_.defaults) {
        const auto last = options_.defaults->objectForKey(kLastCheckKey);
        if (last && last->is_number()) {
            const double elapsed = now - last->get<double>();
            if (elapsed >= 0 && elapsed < 86400) {
                return false;
            }
        }
    }
    return true;
}

std::optional<std::string> ZarvoUpdater::customManifestURL() const {
    std::vector<std::string> candidates;
    if (auto variable = lookup(options_.environment, "ZARVO_UPDATE_URL")) {
        candidates.push_back(trimmed(*variable));
    }
    if (options_.defaults) {
        if (auto stored = options_.defaults->stringForKey(kUpdateURLKey)) {
            candidates.push_back(trimmed(*stored));
        }
    }
    const json& info = options_.infoDictionary;
    if (info.is_object() && info.contains("ZarvoUpdateURL") && info["ZarvoUpdateURL"].is_string()) {
        const std::string value = trimmed(info["ZarvoUpdateURL"].get<std::string>());
        if (!value.empty() && value[0] != '@') {
            candidates.push_back(value);
        }
    }
    for (const std::string& candidate : candidates) {
        if (parsesAsURL(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::string ZarvoUpdater::releasePageURL(const ReleaseInfo& release) const {
    return release.htmlURL.value_or("https://github.com/" + options_.repo + "/releases/latest");
}

std::string ZarvoUpdater::githubLatestReleaseURL() const {
    return std::string(kReleaseHost) + "/repos/" + options_.repo + "/releases/latest";
}

fs::path ZarvoUpdater::destinationPath() const {
    std::string current = options_.currentAppPath.string();
    while (current.size() > 1 && current.back() == '/') {
        current.pop_back();
    }
    if (asciiLowercase(fs::path(current).extension().string()) == ".app") {
        return current;
    }
    std::string home = lookup(options_.environment, "HOME").value_or("");
    if (home.empty()) {
        if (const passwd* user = ::getpwuid(::getuid())) {
            home = user->pw_dir;
        }
    }
    return fs::path(home) / "Applications" / kApplicationName;
}

std::optional<std::string> ZarvoUpdater::bundleIdentifier(const fs::path& app) {
    const std::string value = trimmed(bundleText(bundleInfo(app.string()), "CFBundleIdentifier"));
    if (value.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<UpdaterError> ZarvoUpdater::verifyApplication(const fs::path& newApp,
                                                            const ReleaseInfo& release) const {
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(newApp / "Info.json", error))) {
        return UpdaterError::invalidCodeSignature("the application has no Info.json");
    }
    const json info = bundleInfo(newApp.string());
    const std::string identifier = trimmed(bundleText(info, "CFBundleIdentifier"));
    if (identifier != bundleIdentifier_) {
        return UpdaterError::teamIdentifierMismatch(
            bundleIdentifier_, identifier.empty() ? std::nullopt : std::optional(identifier));
    }
    // The version and build the release announced, and so newer than ours: a signed but old
    // archive served under a new version's name does not take the place of a newer copy.
    const std::string version = normalizeVersion(bundleText(info, "CFBundleShortVersionString"));
    const std::optional<int64_t> build =
        info.contains("CFBundleVersion") ? integerValue(info["CFBundleVersion"]) : std::nullopt;
    auto described = [](const std::string& text, std::optional<int64_t> number) {
        return number ? text + " (" + std::to_string(*number) + ")" : text;
    };
    if (version != normalizeVersion(release.version) || (release.build && build != release.build)) {
        return UpdaterError::versionMismatch(described(release.version, release.build),
                                             described(version.empty() ? "?" : version, build));
    }
    if (!isNewerVersion(version, build, currentVersion_, currentBuild_)) {
        return UpdaterError::notNewer(described(version, build),
                                      described(currentVersion_, currentBuild_));
    }
    // A release that changes the key carries the new one inside an archive signed with ours,
    // which is what was just checked; one without a key would leave its copy unable to update.
    const std::string theirs = trimmed(bundleText(info, kPublicKeyKey));
    if (!isEd25519PublicKey(theirs)) {
        return UpdaterError::releaseWithoutKey();
    }
    if (decodeBase64(theirs) != decodeBase64(publicKey_)) {
        logLine("ZarvoUpdater: the new release carries a new publisher key, signed with ours");
    }
    return std::nullopt;
}

// --- Checking ---------------------------------------------------------------------------------

void ZarvoUpdater::checkForUpdates(bool silent, double now) {
    if (isBusy()) {
        return;
    }
    if (!silent) {
        publish(Checking{});
    }
    if (options_.defaults) {
        options_.defaults->setDouble(kLastCheckKey, now);
    }
    HttpRequest request;
    request.url = customManifestURL().value_or(githubLatestReleaseURL());
    request.timeoutSeconds = options_.checkTimeoutSeconds;
    request.totalSeconds = options_.checkTotalSeconds;
    request.headers = {{"Accept", "application/vnd.github+json, application/json"},
                       {"User-Agent", "ZarvoRecorder/" + currentVersion_}};
    request.maxBodyBytes = kMaxManifestBytes;
    worker_.async([this, life = life_, request, loader = options_.dataLoader, silent,
                   identifier = bundleIdentifier_] {
        UpdateOutcome<ReleaseInfo> outcome = UpdateFailure(UpdaterError::invalidManifest());
        const auto answer = loader(request, [&life](double) { return !life->cancelled.load(); });
        if (const auto* failure = std::get_if<UpdateFailure>(&answer)) {
            outcome = *failure;
        } else {
            const auto& response = std::get<HttpResponse>(answer);
            if (response.status < 200 || response.status > 299) {
                outcome = UpdateFailure(UpdaterError::httpStatus(response.status));
            } else if (response.tooLarge) {
                outcome = UpdateFailure(UpdaterError::invalidManifest());
            } else {
                outcome = parseRelease(response.body, identifier);
            }
        }
        post([this, silent, outcome = std::move(outcome)]() mutable {
            finishCheck(silent, std::move(outcome));
        });
    });
}

void ZarvoUpdater::finishCheck(bool silent, UpdateOutcome<ReleaseInfo> outcome) {
    // A silent check does not speak over a check, download or installation begun since.
    if (silent && isBusy()) {
        return;
    }
    if (const auto* release = std::get_if<ReleaseInfo>(&outcome)) {
        if (isNewerVersion(release->version, release->build, currentVersion_, currentBuild_)) {
            publish(UpdateAvailable{*release});
        } else {
            publish(silent ? State(Idle{}) : State(UpToDate{currentVersion_}));
        }
        return;
    }
    if (silent) {
        publish(Idle{});
    } else {
        fail(std::get<UpdateFailure>(outcome));
    }
}

// --- Download and installation ------------------------------------------------------------------

std::optional<UpdaterError> ZarvoUpdater::installRefusal(const ReleaseInfo& release) const {
    if (packageInstalled_) {
        return UpdaterError::packageInstalled();
    }
    if (publicKey_.empty()) {
        return UpdaterError::noPublicKey();
    }
    if (!isNewerVersion(release.version, release.build, currentVersion_, currentBuild_)) {
        return UpdaterError::notNewer(release.version, currentVersion_);
    }
    if (trimmed(release.ed25519).empty() && !release.signatureURL) {
        const std::string url = release.downloadURL.substr(0, release.downloadURL.find('?'));
        return UpdaterError::missingSignature(url.substr(url.rfind('/') + 1) + ".sig");
    }
    if (trimmed(release.sha256).empty()) {
        return UpdaterError::checksumMismatch("", "");
    }
    return std::nullopt;
}

void ZarvoUpdater::downloadAndInstall(const ReleaseInfo& release) {
    if (isBusy()) {
        return;
    }
    publish(Downloading{0});
    if (const auto refusal = installRefusal(release)) {
        fail(*refusal);
        return;
    }
    life_->progress = 0;
    worker_.async([this, life = life_, release] {
        std::error_code error;
        const fs::path work = fs::temp_directory_path(error) / ("ZarvoUpdater-" + uuidString());
        auto failed = [&](UpdateFailure failure) {
            fs::remove_all(work, error);
            post([this, failure = std::move(failure)] { fail(failure); });
        };
        if (::mkdir(work.c_str(), 0700) != 0) {
            failed(diskFailure(work.string(), errnoText(errno)));
            return;
        }
        // The signature first: small, and without it the archive is not worth fetching.
        std::string signature = trimmed(release.ed25519);
        if (signature.empty()) {
            auto fetched = fetchSignature(*release.signatureURL, *life);
            if (const auto* failure = std::get_if<UpdateFailure>(&fetched)) {
                failed(*failure);
                return;
            }
            signature = std::get<std::string>(fetched);
        }

        const fs::path partial = work / "update.zip.part";
        HttpRequest request;
        request.url = release.downloadURL;
        request.timeoutSeconds = options_.downloadTimeoutSeconds;
        request.totalSeconds = options_.downloadTotalSeconds;
        request.headers = {{"Accept", "application/octet-stream, application/zip, */*"},
                           {"User-Agent", "ZarvoRecorder/" + currentVersion_}};
        request.maxBodyBytes = kMaxArchiveBytes;
        request.bodyFile = partial;
        const auto answer = options_.dataLoader(request, [this, &life](double fraction) {
            if (life->cancelled) {
                return false;
            }
            // Progress is published on the main thread, one task at a time: a fast transfer
            // does not flood the queue, and the last value posted wins.
            life->progress = fraction;
            if (!life->progressPosted.exchange(true)) {
                post([this] {
                    life_->progressPosted = false;
                    if (std::holds_alternative<Downloading>(state_)) {
                        publish(Downloading{life_->progress.load()});
                    }
                });
            }
            return true;
        });
        if (const auto* failure = std::get_if<UpdateFailure>(&answer)) {
            failed(*failure);
            return;
        }
        const auto& response = std::get<HttpResponse>(answer);
        if (response.status < 200 || response.status > 299) {
            failed(UpdaterError::httpStatus(response.status));
            return;
        }
        if (response.tooLarge) {
            failed(SystemFailure{"L’archive de la mise à jour est trop grande.",
                                 "The update archive is too large."});
            return;
        }
        // Nothing of the archive is opened before its digest and signature hold.
        const std::string expected = asciiLowercase(trimmed(release.sha256));
        const auto actual = sha256HexOfFile(partial);
        if (!actual) {
            failed(diskFailure(partial.string(), "unreadable"));
            return;
        }
        if (*actual != expected) {
            failed(UpdaterError::checksumMismatch(expected, *actual));
            return;
        }
        switch (verifyFileSignature(partial, signature, publicKey_)) {
            case SignatureCheck::valid:
                break;
            case SignatureCheck::unreadable:
                failed(diskFailure(partial.string(), "unreadable"));
                return;
            case SignatureCheck::badKey:
                failed(UpdaterError::noPublicKey());
                return;
            case SignatureCheck::malformed:
                failed(UpdaterError::invalidSignature("not an Ed25519 signature"));
                return;
            case SignatureCheck::mismatch:
                failed(UpdaterError::invalidSignature("Ed25519"));
                return;
        }
        const fs::path archive = work / "update.zip";
        fs::rename(partial, archive, error);
        if (error) {
            failed(diskFailure(archive.string(), error.message()));
            return;
        }
        post([this] { publish(Installing{}); });
        const fs::path extracted = work / "extracted";
        if (!fs::create_directory(extracted, error)) {
            failed(diskFailure(extracted.string(), error.message()));
            return;
        }
        if (auto failure = zarvo::extractZip(archive, extracted, options_.extractionLimits)) {
            failed(*failure);
            return;
        }
        fs::remove(archive, error);
        const auto newApp = findAppBundle(extracted);
        if (!newApp) {
            failed(UpdaterError::appBundleNotFound());
            return;
        }
        if (auto failure = verifyApplication(*newApp, release)) {
            failed(*failure);
            return;
        }
        post([this, work, app = *newApp] { finishVerification(work, app); });
    });
}

UpdateOutcome<std::string> ZarvoUpdater::fetchSignature(const std::string& url, Life& life) const {
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = options_.checkTimeoutSeconds;
    request.totalSeconds = options_.checkTotalSeconds;
    request.headers = {{"Accept", "application/octet-stream, text/plain, */*"},
                       {"User-Agent", "ZarvoRecorder/" + currentVersion_}};
    request.maxBodyBytes = kMaxSignatureBytes;
    const auto answer = options_.dataLoader(request, [&life](double) { return !life.cancelled; });
    if (const auto* failure = std::get_if<UpdateFailure>(&answer)) {
        return *failure;
    }
    const auto& response = std::get<HttpResponse>(answer);
    if (response.status == 404 || response.status == 410) {
        return UpdateFailure(UpdaterError::missingSignature(url));
    }
    if (response.status < 200 || response.status > 299) {
        return UpdateFailure(UpdaterError::httpStatus(response.status));
    }
    if (response.tooLarge) {
        return UpdateFailure(UpdaterError::invalidSignature("larger than 1 KiB"));
    }
    const std::string signature = trimmed(response.body);
    if (signature.empty()) {
        return UpdateFailure(UpdaterError::missingSignature(url));
    }
    return signature;
}

void ZarvoUpdater::finishVerification(fs::path workFolder, fs::path newApp) {
    std::error_code error;
    if (life_->cancelled) {
        fs::remove_all(workFolder, error);
        return;
    }
    const fs::path destination = destinationPath();
    if (options_.installerHandler) {
        const auto failure = options_.installerHandler(newApp, destination);
        fs::remove_all(workFolder, error);
        if (failure) {
            fail(UpdaterError::installerLaunchFailed(*failure));
            return;
        }
    } else if (auto failure = spawnDetachedReplacement(options_.replacerProgram, ::getpid(), newApp,
                                                       destination, workFolder)) {
        fs::remove_all(workFolder, error);
        fail(*failure);
        return;
    }
    logLine("ZarvoUpdater: quitting to install " + newApp.string() + " as " + destination.string());
    if (options_.terminateApp) {
        options_.terminateApp();
    }
}

}  // namespace zarvo
