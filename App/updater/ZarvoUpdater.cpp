#include "App/updater/ZarvoUpdater.h"

#include <archive.h>
#include <archive_entry.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

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

// The manifest entry used when none is under the application's own identifier.
constexpr const char* kLegacyManifestEntry = "net.orvak.zarvo-recorder";
constexpr const char* kOurBundleIdentifier = "net.mervane.zarvorecorder";

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Whether the text is an absolute URL with a scheme.
bool parsesAsURL(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    CURLU* url = curl_url();
    if (!url) {
        return false;
    }
    const bool ok =
        curl_url_set(url, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
    curl_url_cleanup(url);
    return ok;
}

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

// A string field: none when absent or null, the text when a string; `bad` when any other type.
std::optional<std::string> stringField(const json& object, const char* key, bool& bad) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return std::nullopt;
    }
    if (!found->is_string()) {
        bad = true;
        return std::nullopt;
    }
    return found->get<std::string>();
}

// An integer from a number or a decimal text; none otherwise.
std::optional<int64_t> integerValue(const json& value) {
    if (value.is_number_integer()) {
        return value.get<int64_t>();
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 9e18) {
            return static_cast<int64_t>(number);
        }
        return std::nullopt;
    }
    if (value.is_string()) {
        const std::string text = trimmed(value.get<std::string>());
        int64_t result = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
        if (error == std::errc() && end == text.data() + text.size() && !text.empty()) {
            return result;
        }
    }
    return std::nullopt;
}

SystemFailure diskFailure(const std::string& what, const std::string& detail) {
    return {"Erreur disque (" + what + ") : " + detail, "Disk error (" + what + "): " + detail};
}

// Closes the descriptor when it goes away.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value = -1) : fd(value) {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

// Starts a program detached from us: its own session, default signal handling and an empty
// signal mask, and none of our descriptors beyond the three standard ones. Our output may be a
// pipe that a reader waits to see closed: only the log (standard error) is kept. 0 when
// started, else the error number.
int spawnDetached(const fs::path& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    SpawnOptions options;
    options.input = SpawnStream::nullDevice();
    options.output = SpawnStream::nullDevice();
    options.closeOtherDescriptors = true;
    options.resetSignals = true;
    options.newSession = true;
    pid_t pid = -1;
    return spawnProcess(program.string(), argv, options, &pid);
}

}  // namespace

// --- Release information ----------------------------------------------------------------------

std::string ReleaseInfo::localizedNotes() const {
    const std::string preferred = trimmed(language::isEnglish() ? notesEN : notesFR);
    if (!preferred.empty()) {
        return preferred;
    }
    const std::string french = trimmed(notesFR);
    return french.empty() ? trimmed(notesEN) : french;
}

void to_json(json& out, const ReleaseInfo& release) {
    out = json{{"version", release.version},
               {"downloadURL", release.downloadURL},
               {"sha256", release.sha256},
               {"notesFR", release.notesFR},
               {"notesEN", release.notesEN}};
    if (release.build) {
        out["build"] = *release.build;
    }
    if (release.htmlURL) {
        out["htmlURL"] = *release.htmlURL;
    }
}

void from_json(const json& in, ReleaseInfo& release) {
    release.version = in.at("version").get<std::string>();
    release.downloadURL = in.at("downloadURL").get<std::string>();
    release.sha256 = in.value("sha256", "");
    release.notesFR = in.value("notesFR", "");
    release.notesEN = in.value("notesEN", "");
    release.build = in.contains("build") && in["build"].is_number_integer()
                        ? std::optional<int64_t>(in["build"].get<int64_t>())
                        : std::nullopt;
    release.htmlURL = in.contains("htmlURL") && in["htmlURL"].is_string()
                          ? std::optional<std::string>(in["htmlURL"].get<std::string>())
                          : std::nullopt;
}

UpdaterError UpdaterError::httpStatus(long code) {
    UpdaterError error = of(Case::httpStatus);
    error.code = code;
    return error;
}
UpdaterError UpdaterError::checksumMismatch(std::string expected, std::string actual) {
    UpdaterError error = of(Case::checksumMismatch);
    error.expected = std::move(expected);
    error.actual = std::move(actual);
    return error;
}
UpdaterError UpdaterError::extractionFailed(std::string detail) {
    UpdaterError error = of(Case::extractionFailed);
    error.detail = std::move(detail);
    return error;
}
UpdaterError UpdaterError::invalidCodeSignature(std::string detail) {
    UpdaterError error = of(Case::invalidCodeSignature);
    error.detail = std::move(detail);
    return error;
}
UpdaterError UpdaterError::teamIdentifierMismatch(std::string expected,
                                                  std::optional<std::string> actual) {
    UpdaterError error = of(Case::teamIdentifierMismatch);
    error.expected = std::move(expected);
    error.actual = std::move(actual);
    return error;
}
UpdaterError UpdaterError::installerLaunchFailed(std::string detail) {
    UpdaterError error = of(Case::installerLaunchFailed);
    error.detail = std::move(detail);
    return error;
}

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
    if (asciiLowercase(fs::path(path).extension().string()) != ".app") {
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

// --- Versions ---------------------------------------------------------------------------------

std::string ZarvoUpdater::normalizeVersion(const std::string& version) {
    std::string result = trimmed(version);
    if (!result.empty() && (result[0] == 'v' || result[0] == 'V')) {
        result.erase(0, 1);
    }
    return result;
}

std::vector<int64_t> ZarvoUpdater::numericVersionComponents(const std::string& version) {
    std::string text = normalizeVersion(version);
    text = text.substr(0, text.find('-'));
    std::vector<int64_t> components;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const std::string piece = text.substr(start, dot - start);
        start = dot + 1;
        if (piece.empty()) {
            continue;
        }
        size_t digits = 0;
        while (digits < piece.size() && std::isdigit(static_cast<unsigned char>(piece[digits]))) {
            ++digits;
        }
        int64_t value = 0;
        if (digits == 0 ||
            std::from_chars(piece.data(), piece.data() + digits, value).ec != std::errc()) {
            value = 0;
        }
        components.push_back(value);
    }
    return components;
}

bool ZarvoUpdater::isNewerVersion(const std::string& candidate,
                                  std::optional<int64_t> candidateBuild, const std::string& current,
                                  std::optional<int64_t> currentBuild) {
    const auto a = numericVersionComponents(candidate);
    const auto b = numericVersionComponents(current);
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const int64_t x = i < a.size() ? a[i] : 0;
        const int64_t y = i < b.size() ? b[i] : 0;
        if (x != y) {
            return x > y;
        }
    }
    return candidateBuild && currentBuild && *candidateBuild > *currentBuild;
}

// --- Release records and manifests --------------------------------------------------------------

UpdateOutcome<ReleaseInfo> ZarvoUpdater::parseRelease(const std::string& data,
                                                      const std::string& bundleIdentifier) {
    const json document = json::parse(data, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        return UpdaterError::invalidManifest();
    }
    bool bad = false;
    ReleaseInfo release;

    if (document.contains("tag_name") || document.contains("assets")) {
        const auto tag = stringField(document, "tag_name", bad);
        release.version = normalizeVersion(tag.value_or(""));
        if (bad || release.version.empty()) {
            return UpdaterError::invalidManifest();
        }
        const json empty = json::array();
        const json& assets = document.contains("assets") && !document["assets"].is_null()
                                 ? document["assets"]
                                 : empty;
        if (!assets.is_array()) {
            return UpdaterError::invalidManifest();
        }
        const json* chosen = nullptr;
        for (const char* key : {"name", "browser_download_url"}) {
            for (const json& asset : assets) {
                if (asset.is_object() && asset.contains(key) && asset[key].is_string() &&
                    endsWith(asciiLowercase(asset[key].get<std::string>()), ".zip")) {
                    chosen = &asset;
                    break;
                }
            }
            if (chosen) {
                break;
            }
        }
        bool assetBad = false;
        const auto url =
            chosen ? stringField(*chosen, "browser_download_url", assetBad) : std::nullopt;
        if (!url || !parsesAsURL(*url)) {
            return UpdaterError::noZipAsset();
        }
        release.downloadURL = *url;
        // The release service states each asset's digest as "sha256:<hex>".
        if (const auto digest = stringField(*chosen, "digest", assetBad)) {
            const std::string value = trimmed(*digest);
            if (asciiLowercase(value.substr(0, 7)) == "sha256:") {
                release.sha256 = trimmed(value.substr(7));
            }
        }
        const std::string notes = stringField(document, "body", bad).value_or("");
        release.notesFR = notes;
        release.notesEN = notes;
        if (auto page = stringField(document, "html_url", bad); page && parsesAsURL(*page)) {
            release.htmlURL = page;
        }
        if (bad) {
            return UpdaterError::invalidManifest();
        }
        return release;
    }

    const json* entry = &document;
    if (document.contains(bundleIdentifier) && document[bundleIdentifier].is_object()) {
        entry = &document[bundleIdentifier];
    } else if (document.contains(kLegacyManifestEntry) &&
               document[kLegacyManifestEntry].is_object()) {
        entry = &document[kLegacyManifestEntry];
    }
    release.version = normalizeVersion(stringField(*entry, "version", bad).value_or(""));
    auto url = stringField(*entry, "url", bad);
    if (!url) {
        url = stringField(*entry, "download_url", bad);
    }
    if (bad || release.version.empty() || !url || !parsesAsURL(*url)) {
        return UpdaterError::invalidManifest();
    }
    release.downloadURL = *url;
    if (entry->contains("build") && !(*entry)["build"].is_null()) {
        if (!(*entry)["build"].is_number_integer()) {
            return UpdaterError::invalidManifest();
        }
        release.build = (*entry)["build"].get<int64_t>();
    }
    release.sha256 = trimmed(stringField(*entry, "sha256", bad).value_or(""));
    const auto notes = stringField(*entry, "notes", bad);
    release.notesFR = stringField(*entry, "notes_fr", bad).value_or(notes.value_or(""));
    release.notesEN = stringField(*entry, "notes_en", bad).value_or(notes.value_or(""));
    if (auto page = stringField(*entry, "html_url", bad); page && parsesAsURL(*page)) {
        release.htmlURL = page;
    }
    if (bad) {
        return UpdaterError::invalidManifest();
    }
    return release;
}

// --- Digests ----------------------------------------------------------------------------------

namespace {

std::string hexOf(const unsigned char* digest, unsigned int length) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0F];
    }
    return text;
}

struct DigestContext {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    DigestContext() { EVP_DigestInit_ex(context, EVP_sha256(), nullptr); }
    ~DigestContext() { EVP_MD_CTX_free(context); }
    DigestContext(const DigestContext&) = delete;
    DigestContext& operator=(const DigestContext&) = delete;
    void update(const void* data, size_t size) { EVP_DigestUpdate(context, data, size); }
    std::string finish() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context, digest, &length);
        return hexOf(digest, length);
    }
};

}  // namespace

std::string ZarvoUpdater::sha256Hex(const std::string& data) {
    DigestContext digest;
    digest.update(data.data(), data.size());
    return digest.finish();
}

std::optional<std::string> ZarvoUpdater::sha256HexOfFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    DigestContext digest;
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        digest.update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return digest.finish();
}

// --- Extraction -------------------------------------------------------------------------------

namespace {

// Whether a relative path stays inside its root when taken from `base` (a folder inside the
// root, as a relative path): no component climbs above the root.
bool staysInside(const fs::path& base, const fs::path& relative) {
    if (relative.is_absolute() || relative.has_root_name() || relative.has_root_directory()) {
        return false;
    }
    int depth = 0;
    for (const fs::path& part : base) {
        if (part == "..") {
            return false;
        }
        if (part != "." && !part.empty()) {
            ++depth;
        }
    }
    for (const fs::path& part : relative) {
        if (part == "..") {
            if (--depth < 0) {
                return false;
            }
        } else if (part != "." && !part.empty()) {
            ++depth;
        }
    }
    return true;
}

// An entry name as a safe relative path: not empty, not absolute, no "..".
std::optional<fs::path> safeEntryPath(const char* name) {
    if (!name || !*name) {
        return std::nullopt;
    }
    const fs::path path(name);
    if (path.is_absolute() || path.has_root_directory()) {
        return std::nullopt;
    }
    for (const fs::path& part : path) {
        if (part == "..") {
            return std::nullopt;
        }
    }
    return path.lexically_normal();
}

}  // namespace

std::optional<UpdateFailure> ZarvoUpdater::extractZip(const fs::path& archivePath,
                                                      const fs::path& folder) {
    struct archive* reader = archive_read_new();
    struct archive* writer = archive_write_disk_new();
    auto cleanup = [&] {
        archive_read_free(reader);
        archive_write_free(writer);
    };
    archive_read_support_format_zip(reader);
    // Entries are given full paths inside the folder (see below); these refuse what would
    // still climb out of it, and writing through a link on the disk.
    archive_write_disk_set_options(writer, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                                               ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                               ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    archive_write_disk_set_standard_lookup(writer);

    auto failure = [&](const std::string& detail) -> std::optional<UpdateFailure> {
        cleanup();
        return UpdaterError::extractionFailed(detail);
    };
    if (archive_read_open_filename(reader, archivePath.c_str(), 1 << 16) != ARCHIVE_OK) {
        return failure(archive_error_string(reader) ? archive_error_string(reader)
                                                    : "cannot open the archive");
    }
    const fs::path root = fs::absolute(folder).lexically_normal();
    uint64_t written = 0;
    for (;;) {
        struct archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status < ARCHIVE_WARN) {
            return failure(archive_error_string(reader) ? archive_error_string(reader)
                                                        : "unreadable entry");
        }
        const char* rawName = archive_entry_pathname(entry);
        const std::string name = rawName ? rawName : "";
        const auto relative = safeEntryPath(rawName);
        if (!relative) {
            return failure("entry outside the archive's folder: " + name);
        }
        const mode_t type = archive_entry_filetype(entry);
        if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
            return failure("unsupported entry: " + name);
        }
        if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (!target || !staysInside(relative->parent_path(), fs::path(target))) {
                return failure("link pointing outside the archive's folder: " + name);
            }
        }
        if (const char* link = archive_entry_hardlink(entry)) {
            const auto linkPath = safeEntryPath(link);
            if (!linkPath) {
                return failure("link pointing outside the archive's folder: " + name);
            }
            archive_entry_set_hardlink(entry, (root / *linkPath).c_str());
        }
        archive_entry_set_pathname(entry, (root / *relative).c_str());
        if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
            return failure(std::string(archive_error_string(writer) ? archive_error_string(writer)
                                                                    : "cannot write") +
                           ": " + name);
        }
        if (archive_entry_size_is_set(entry) == 0 || archive_entry_size(entry) > 0) {
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            for (;;) {
                const int read = archive_read_data_block(reader, &block, &size, &offset);
                if (read == ARCHIVE_EOF) {
                    break;
                }
                if (read < ARCHIVE_WARN) {
                    return failure(archive_error_string(reader) ? archive_error_string(reader)
                                                                : "truncated entry");
                }
                written += size;
                if (written > kMaxExtractedBytes) {
                    return failure("the archive holds more than its size limit");
                }
                if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) {
                    return failure(archive_error_string(writer) ? archive_error_string(writer)
                                                                : "cannot write");
                }
            }
        }
        if (archive_write_finish_entry(writer) < ARCHIVE_WARN) {
            return failure(archive_error_string(writer) ? archive_error_string(writer)
                                                        : "cannot finish an entry");
        }
    }
    if (archive_write_close(writer) != ARCHIVE_OK) {
        return failure(archive_error_string(writer) ? archive_error_string(writer)
                                                    : "cannot finish the extraction");
    }
    cleanup();
    return std::nullopt;
}

std::optional<fs::path> ZarvoUpdater::findAppBundle(const fs::path& folder) {
    auto sortedEntries = [](const fs::path& at) {
        std::vector<fs::path> entries;
        std::error_code error;
        for (fs::directory_iterator it(at, error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (!name.empty() && name[0] != '.') {
                entries.push_back(it->path());
            }
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    };
    auto isApp = [](const fs::path& path) {
        std::error_code error;
        return asciiLowercase(path.extension().string()) == ".app" &&
               fs::is_directory(fs::symlink_status(path, error));
    };
    const auto top = sortedEntries(folder);
    for (const fs::path& entry : top) {
        if (isApp(entry)) {
            return entry;
        }
    }
    for (const fs::path& entry : top) {
        std::error_code error;
        if (!fs::is_directory(fs::symlink_status(entry, error))) {
            continue;
        }
        for (const fs::path& inner : sortedEntries(entry)) {
            if (isApp(inner)) {
                return inner;
            }
        }
    }
    return std::nullopt;
}

// --- Verification -----------------------------------------------------------------------------

std::optional<std::string> ZarvoUpdater::bundleIdentifier(const fs::path& app) {
    const std::string value = trimmed(bundleText(bundleInfo(app.string()), "CFBundleIdentifier"));
    if (value.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<UpdaterError> ZarvoUpdater::verifyApplication(const fs::path& newApp,
                                                            const fs::path& currentApp) {
    std::error_code error;
    if (!fs::is_regular_file(newApp / "Info.json", error)) {
        return UpdaterError::invalidCodeSignature("the application has no Info.json");
    }
    const auto expected = bundleIdentifier(currentApp);
    const auto actual = bundleIdentifier(newApp);
    if (expected && actual != expected) {
        return UpdaterError::teamIdentifierMismatch(*expected, actual);
    }
    const fs::path program = newApp / "bin" / "zarvo-recorder";
    if (!fs::is_regular_file(program, error) || ::access(program.c_str(), X_OK) != 0) {
        return UpdaterError::invalidCodeSignature("bin/zarvo-recorder is missing or not runnable");
    }
    const ProcessResult result = runProcess(program, {"--version"}, 30);
    if (result.status != 0) {
        std::string detail = "bin/zarvo-recorder --version ";
        detail += result.status < 0 ? "could not start: " + result.startFailure
                                    : "ended with status " + std::to_string(result.status);
        const std::string output = trimmed(result.error + "\n" + result.output);
        if (!output.empty()) {
            detail += ": " + output;
        }
        return UpdaterError::invalidCodeSignature(detail);
    }
    return std::nullopt;
}

// --- Running programs -------------------------------------------------------------------------

ProcessResult ZarvoUpdater::runProcess(const fs::path& executable,
                                       const std::vector<std::string>& arguments,
                                       double timeoutSeconds) {
    ProcessResult result;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.startFailure = errnoText(errno);
        return result;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        result.startFailure = errnoText(errno);
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    // Started with an empty signal mask (ours blocks the quit signals) and default signal
    // handling, its input empty and its outputs into the pipes.
    std::vector<std::string> argv{executable.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    SpawnOptions options;
    options.input = SpawnStream::nullDevice();
    options.output = SpawnStream::from(out[1]);
    options.error = SpawnStream::from(err[1]);
    options.closeOtherDescriptors = true;
    options.resetSignals = true;
    pid_t pid = -1;
    const int spawned = spawnProcess(executable.string(), argv, options, &pid);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        result.startFailure = errnoText(spawned);
        ::close(out[0]);
        ::close(err[0]);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeoutSeconds));
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&result.output, &result.error};
    bool killed = false;
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 && !killed) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        const int ready =
            ::poll(fds, 2, killed ? 1000 : static_cast<int>(std::min<long>(left, 1000)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got > 0) {
                    if (texts[i]->size() < (1u << 20)) {
                        texts[i]->append(buffer, static_cast<size_t>(got));
                    }
                } else if (got == 0 || errno != EINTR) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        if (killed && ready == 0) {
            break;  // a grandchild holds the pipes open; the program itself is gone
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.output = trimmed(result.output);
    result.error = trimmed(result.error);
    return result;
}

// --- HTTP -------------------------------------------------------------------------------------

namespace {

struct Transfer {
    CURL* handle = nullptr;
    const HttpRequest* request = nullptr;
    const ProgressHandler* progress = nullptr;
    HttpResponse response;
    FILE* file = nullptr;
    uint64_t received = 0;
    bool fileFailed = false;
};

size_t receive(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        return bytes;  // an error page: only its status matters
    }
    transfer->received += bytes;
    if (transfer->received > transfer->request->maxBodyBytes) {
        transfer->response.tooLarge = true;
        return 0;
    }
    if (transfer->file) {
        if (std::fwrite(data, 1, bytes, transfer->file) != bytes) {
            transfer->fileFailed = true;
            return 0;
        }
    } else {
        transfer->response.body.append(data, bytes);
    }
    return bytes;
}

int transferProgress(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(context);
    if (!*transfer->progress) {
        return 0;
    }
    const double fraction =
        total > 0 ? std::clamp(static_cast<double>(now) / static_cast<double>(total), 0.0, 1.0)
                  : 0.0;
    return (*transfer->progress)(fraction) ? 0 : 1;
}

}  // namespace

UpdateOutcome<HttpResponse> ZarvoUpdater::curlDataLoader(const HttpRequest& request,
                                                         const ProgressHandler& progress) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    Transfer transfer;
    transfer.request = &request;
    transfer.progress = &progress;
    transfer.handle = curl_easy_init();
    if (!transfer.handle) {
        return UpdateFailure(SystemFailure{"Impossible de préparer la requête HTTP.",
                                           "Could not prepare the HTTP request."});
    }
    if (request.bodyFile) {
        transfer.file = std::fopen(request.bodyFile->c_str(), "wbe");
        if (!transfer.file) {
            curl_easy_cleanup(transfer.handle);
            return UpdateFailure(diskFailure(request.bodyFile->string(), errnoText(errno)));
        }
    }
    CURL* curl = transfer.handle;
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers) {
        headers = curl_slist_append(headers, (name + ": " + value).c_str());
    }
    char errorText[CURL_ERROR_SIZE] = {0};
    // The time-out is how long the server may stay silent: to connect, and between bytes.
    const long timeoutMs = std::max(1L, std::lround(request.timeoutSeconds * 1000));
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, std::lround(std::ceil(request.timeoutSeconds))));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, transferProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    bool closeFailed = false;
    if (transfer.file) {
        closeFailed = std::fclose(transfer.file) != 0;
    }
    transfer.response.status = status;
    if (transfer.response.tooLarge) {
        return transfer.response;
    }
    if (transfer.fileFailed || closeFailed) {
        return UpdateFailure(diskFailure(request.bodyFile->string(), errnoText(errno)));
    }
    if (code == CURLE_OPERATION_TIMEDOUT) {
        return UpdateFailure(SystemFailure{"Le serveur de mise à jour n’a pas répondu à temps.",
                                           "The update server did not answer in time."});
    }
    if (code == CURLE_ABORTED_BY_CALLBACK) {
        return UpdateFailure(
            SystemFailure{"Le téléchargement a été annulé.", "The download was cancelled."});
    }
    if (code != CURLE_OK) {
        const std::string detail = errorText[0] ? errorText : curl_easy_strerror(code);
        return UpdateFailure(
            SystemFailure{"Impossible de joindre le serveur de mise à jour : " + detail,
                          "Could not reach the update server: " + detail});
    }
    return transfer.response;
}

// --- Messages ---------------------------------------------------------------------------------

std::string ZarvoUpdater::describeError(const UpdateFailure& failure) {
    if (const auto* other = std::get_if<SystemFailure>(&failure)) {
        return language::text(other->french, other->english);
    }
    const auto& error = std::get<UpdaterError>(failure);
    using Case = UpdaterError::Case;
    switch (error.kind) {
        case Case::httpStatus: {
            const std::string code = std::to_string(error.code);
            return language::text("Serveur de mise à jour indisponible (HTTP " + code + ").",
                                  "Update server returned HTTP " + code + ".");
        }
        case Case::invalidManifest:
            return language::text("Format de manifeste de mise à jour invalide.",
                                  "Invalid update manifest format.");
        case Case::noZipAsset:
            return language::text("aucune archive .zip trouvée dans la publication.",
                                  "No .zip archive found in release.");
        case Case::checksumMismatch:
            if (error.expected.empty()) {
                // Without a code signature the digest is the only proof of origin.
                return language::text(
                    "La publication ne donne aucune somme de contrôle SHA-256 : la mise à jour "
                    "ne peut pas être vérifiée.",
                    "The release gives no SHA-256 checksum, so the update cannot be verified.");
            }
            return language::text("La somme de contrôle SHA-256 ne correspond pas.",
                                  "SHA-256 checksum verification failed.");
        case Case::extractionFailed:
            return language::text("Échec de la décompression : " + error.detail,
                                  "Archive extraction failed: " + error.detail);
        case Case::appBundleNotFound:
            return language::text("Aucune application (.app) trouvée dans l’archive.",
                                  "No application (.app) found in the archive.");
        case Case::invalidCodeSignature:
            return language::text(
                "La mise à jour téléchargée n’est pas une application valide : " + error.detail,
                "The downloaded update is not a valid application: " + error.detail);
        case Case::teamIdentifierMismatch:
            return language::text(
                "La mise à jour est destinée à une autre application "
                "(attendu : " +
                    error.expected + ", reçu : " + error.actual.value_or("aucun") + ").",
                "The update is for another application (expected " + error.expected + ", got " +
                    error.actual.value_or("none") + ").");
        case Case::installerLaunchFailed:
            return language::text("Impossible de lancer l’installateur : " + error.detail,
                                  "Failed to launch installer: " + error.detail);
    }
    return {};
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

void ZarvoUpdater::downloadAndInstall(const ReleaseInfo& release) {
    if (isBusy()) {
        return;
    }
    publish(Downloading{0});
    const std::string expected = asciiLowercase(trimmed(release.sha256));
    if (expected.empty()) {
        fail(UpdaterError::checksumMismatch("", ""));
        return;
    }
    life_->progress = 0;
    HttpRequest request;
    request.url = release.downloadURL;
    request.timeoutSeconds = options_.downloadTimeoutSeconds;
    request.headers = {{"Accept", "application/octet-stream, application/zip, */*"},
                       {"User-Agent", "ZarvoRecorder/" + currentVersion_}};
    request.maxBodyBytes = kMaxArchiveBytes;
    worker_.async([this, life = life_, request, expected, loader = options_.dataLoader,
                   currentApp = options_.currentAppPath]() mutable {
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
        const fs::path partial = work / "update.zip.part";
        request.bodyFile = partial;
        const auto answer = loader(request, [this, &life](double fraction) {
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
        const auto actual = sha256HexOfFile(partial);
        if (!actual) {
            failed(diskFailure(partial.string(), "unreadable"));
            return;
        }
        if (*actual != expected) {
            failed(UpdaterError::checksumMismatch(expected, *actual));
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
        if (auto failure = extractZip(archive, extracted)) {
            failed(*failure);
            return;
        }
        fs::remove(archive, error);
        const auto newApp = findAppBundle(extracted);
        if (!newApp) {
            failed(UpdaterError::appBundleNotFound());
            return;
        }
        if (auto failure = verifyApplication(*newApp, currentApp)) {
            failed(*failure);
            return;
        }
        post([this, work, app = *newApp] { finishVerification(work, app); });
    });
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

std::optional<UpdaterError> ZarvoUpdater::spawnDetachedReplacement(const fs::path& program,
                                                                   pid_t waitFor,
                                                                   const fs::path& newApp,
                                                                   const fs::path& destination,
                                                                   const fs::path& workFolder) {
    if (program.empty()) {
        return UpdaterError::installerLaunchFailed("the running program cannot be found");
    }
    const int error =
        spawnDetached(program, {kReplaceArgument, std::to_string(waitFor), newApp.string(),
                                destination.string(), workFolder.string()});
    if (error != 0) {
        return UpdaterError::installerLaunchFailed(program.string() + ": " + errnoText(error));
    }
    return std::nullopt;
}

// --- The replacer -----------------------------------------------------------------------------

namespace {

void logReplacer(const std::string& line) {
    logLine("ZarvoUpdater: " + line);
}

// Waits until the process has ended; false when it still runs after the time.
bool waitForExit(pid_t pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    const Descriptor handle(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (handle.fd < 0 && errno == ESRCH) {
        return true;
    }
    while (std::chrono::steady_clock::now() < deadline) {
        if (handle.fd >= 0) {
            pollfd entry{handle.fd, POLLIN, 0};
            if (::poll(&entry, 1, 200) > 0) {
                return true;
            }
        } else {
            // Without process descriptors: gone, or a zombie waiting for its parent.
            if (::kill(pid, 0) != 0 && errno == ESRCH) {
                return true;
            }
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            std::getline(stat, line);
            const size_t close = line.rfind(')');
            if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return false;
}

// Flushes a file or folder to the disk.
void syncPath(const fs::path& path, bool directory) {
    const Descriptor fd(
        ::open(path.c_str(), (directory ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.fd >= 0) {
        ::fsync(fd.fd);
    }
}

void syncTree(const fs::path& root) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        const auto status = it->symlink_status(error);
        if (fs::is_regular_file(status)) {
            syncPath(it->path(), false);
        } else if (fs::is_directory(status)) {
            syncPath(it->path(), true);
        }
    }
    syncPath(root, true);
}

// Leftovers of a replacement cut short (by a power cut): "." + NAME + ".new-…" or ".old-…".
// Where the file system has no exchange, a cut between the two renames leaves the old copy
// under its ".old-" name and no destination: that copy is put back, not removed.
void removeLeftovers(const fs::path& destination) {
    const std::string prefix = "." + destination.filename().string() + ".";
    std::error_code error;
    std::vector<fs::path> leftovers;
    for (fs::directory_iterator it(destination.parent_path(), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix + "new-", 0) == 0 || name.rfind(prefix + "old-", 0) == 0) {
            leftovers.push_back(it->path());
        }
    }
    for (const fs::path& leftover : leftovers) {
        std::error_code ignored;
        const bool old = leftover.filename().string().rfind(prefix + "old-", 0) == 0;
        if (old && !fs::exists(fs::symlink_status(destination, ignored)) &&
            ::rename(leftover.c_str(), destination.c_str()) == 0) {
            logReplacer("put back " + destination.string() + " left aside by an earlier update");
            continue;
        }
        fs::remove_all(leftover, ignored);
    }
}

}  // namespace

bool replaceApplication(pid_t waitFor, const fs::path& newApp, const fs::path& destination,
                        const fs::path& workFolder, bool relaunch, double waitSeconds) {
    std::error_code error;
    auto giveUp = [&](const std::string& why) {
        logReplacer("the update was not installed: " + why);
        fs::remove_all(workFolder, error);
        return false;
    };
    if (waitFor > 0 && !waitForExit(waitFor, waitSeconds)) {
        return giveUp("the application did not quit");
    }
    const fs::path parent = destination.parent_path();
    fs::create_directories(parent, error);
    if (error) {
        return giveUp(parent.string() + ": " + error.message());
    }
    removeLeftovers(destination);
    const std::string suffix = std::to_string(::getpid());
    const fs::path staged = parent / ("." + destination.filename().string() + ".new-" + suffix);
    // Beside the destination, on its file system: moved when the work folder is there too,
    // copied otherwise. The destination is not touched until the copy is whole and on disk.
    fs::rename(newApp, staged, error);
    if (error) {
        error.clear();
        fs::copy(newApp, staged, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
                 error);
        if (error) {
            fs::remove_all(staged, error);
            return giveUp("cannot copy the new application beside " + destination.string());
        }
    }
    syncTree(staged);

    const bool exists = fs::exists(fs::symlink_status(destination, error));
    fs::path old;
    if (exists) {
        if (::syscall(SYS_renameat2, AT_FDCWD, staged.c_str(), AT_FDCWD, destination.c_str(),
                      RENAME_EXCHANGE) == 0) {
            old = staged;  // the exchange left the old copy under the staged name
        } else {
            // A file system without exchange: the old copy steps aside under a name of its
            // own, then the new one takes its place; undone when that fails.
            old = parent / ("." + destination.filename().string() + ".old-" + suffix);
            if (::rename(destination.c_str(), old.c_str()) != 0) {
                const std::string why = errnoText(errno);
                fs::remove_all(staged, error);
                return giveUp(destination.string() + ": " + why);
            }
            if (::rename(staged.c_str(), destination.c_str()) != 0) {
                const std::string why = errnoText(errno);
                ::rename(old.c_str(), destination.c_str());
                fs::remove_all(staged, error);
                return giveUp(destination.string() + ": " + why);
            }
        }
    } else if (::rename(staged.c_str(), destination.c_str()) != 0) {
        const std::string why = errnoText(errno);
        fs::remove_all(staged, error);
        return giveUp(destination.string() + ": " + why);
    }
    syncPath(parent, true);
    if (!old.empty()) {
        fs::remove_all(old, error);
    }
    fs::remove_all(workFolder, error);
    logReplacer("installed " + destination.string());

    if (relaunch) {
        const fs::path program = destination / "bin" / "zarvo-recorder";
        if (const int failed = spawnDetached(program, {}); failed != 0) {
            logReplacer("cannot start " + program.string() + ": " + errnoText(failed));
        }
    }
    return true;
}

int replacementMain(const std::vector<std::string>& arguments) {
    // Runs on alone: a closed log or a closing terminal must not stop it halfway.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    if (arguments.size() != 5 || arguments[0] != ZarvoUpdater::kReplaceArgument) {
        logReplacer("usage: --replace-application PID NEW_APP DESTINATION WORK_FOLDER");
        return 2;
    }
    long pid = 0;
    const std::string& text = arguments[1];
    if (std::from_chars(text.data(), text.data() + text.size(), pid).ec != std::errc()) {
        logReplacer("not a process number: " + text);
        return 2;
    }
    return replaceApplication(static_cast<pid_t>(pid), arguments[2], arguments[3], arguments[4],
                              true)
               ? 0
               : 1;
}

}  // namespace zarvo
