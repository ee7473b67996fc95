#include "platform/UserDefaults.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Thread.h"

namespace zarvo {
namespace fs = std::filesystem;

namespace {

std::optional<double> numberFromText(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || errno == ERANGE) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> numberOf(const nlohmann::json& value) {
    if (value.is_boolean()) {
        return value.get<bool>() ? 1.0 : 0.0;
    }
    if (value.is_number()) {
        return value.get<double>();
    }
    if (value.is_string()) {
        return numberFromText(value.get<std::string>());
    }
    return std::nullopt;
}

std::string timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace

fs::path UserDefaults::configFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return fs::path(xdg) / "zarvo-recorder";
    }
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr && home[0] != '\0' ? home : "/tmp") / ".config" /
           "zarvo-recorder";
}

std::shared_ptr<UserDefaults> UserDefaults::forDomain(const std::string& domain) {
    return std::make_shared<UserDefaults>(configFolder() / (domain + ".json"));
}

UserDefaults::UserDefaults(fs::path file) : path_(std::move(file)) {
    load();
}

UserDefaults::~UserDefaults() {
    std::thread writer;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        writer = std::move(writer_);
    }
    changed_.notify_all();
    if (writer.joinable()) {
        writer.join();
    }
}

void UserDefaults::changedLocked() {
    ++changes_;
    if (!writer_.joinable() && !stopping_) {
        try {
            writer_ = std::thread([this] { writeLoop(); });
        } catch (const std::system_error& error) {
            // Without a thread the change is written here and now, as a last resort.
            logLine(std::string("Settings are written without their writer thread: ") +
                    error.what());
            writeFile(values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
            writtenChanges_ = changes_;
            written_.notify_all();
            return;
        }
    }
    changed_.notify_one();
}

void UserDefaults::writeLoop() {
    setCurrentThreadName("UserDefaults");
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || changes_ != writtenChanges_; });
        if (changes_ == writtenChanges_) {
            return;  // stopping, and everything is written
        }
        // Everything changed up to here goes into this write; later changes make another.
        const uint64_t covered = changes_;
        const nlohmann::json snapshot = values_;
        const std::function<void()> beforeWrite = beforeWrite_;
        lock.unlock();
        // Text that is not UTF-8 (a folder name is any bytes) is written with replacement
        // characters; the strict default would throw and leave every later change unsaved.
        const std::string text =
            snapshot.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        if (beforeWrite) {
            beforeWrite();
        }
        writeFile(text);
        lock.lock();
        writtenChanges_ = covered;
        written_.notify_all();
    }
}

void UserDefaults::synchronize() {
    std::unique_lock lock(mutex_);
    const uint64_t wanted = changes_;
    written_.wait(lock, [this, wanted] { return writtenChanges_ >= wanted; });
}

void UserDefaults::setBeforeWriteForTesting(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    beforeWrite_ = std::move(hook);
}

void UserDefaults::load() {
    std::error_code error;
    if (!fs::exists(path_, error)) {
        return;
    }
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    nlohmann::json parsed = in ? nlohmann::json::parse(text.str(), nullptr, false)
                               : nlohmann::json(nlohmann::json::value_t::discarded);
    if (!parsed.is_discarded() && parsed.is_object()) {
        values_ = std::move(parsed);
        return;
    }
    // Keep the unreadable file for the user to inspect; never overwrite an earlier one.
    fs::path aside = path_;
    aside += ".unreadable-" + timestamp();
    for (int n = 2; fs::exists(aside, error); ++n) {
        aside = path_;
        aside += ".unreadable-" + timestamp() + "-" + std::to_string(n);
    }
    fs::rename(path_, aside, error);
    if (error) {
        logLine("Settings file “" + path_.string() + "” could not be read, nor moved aside (" +
                error.message() + "); the defaults are used");
    } else {
        logLine("Settings file “" + path_.string() + "” could not be read; it was kept as “" +
                aside.string() + "” and the defaults are used");
    }
}

void UserDefaults::writeFile(const std::string& text) const {
    std::error_code error;
    fs::create_directories(path_.parent_path(), error);
    int reason = 0;
    if (!replaceFileAtomically(path_, text, true, &reason)) {
        logLine("Settings file “" + path_.string() +
                "” could not be written: " + std::strerror(reason));
    }
}

void UserDefaults::registerDefaults(const nlohmann::json& defaults) {
    if (!defaults.is_object()) {
        return;
    }
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults.items()) {
        defaults_[key] = value;
    }
}

std::optional<nlohmann::json> UserDefaults::lookup(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto found = values_.find(key); found != values_.end()) {
        return *found;
    }
    if (auto found = defaults_.find(key); found != defaults_.end()) {
        return *found;
    }
    return std::nullopt;
}

std::optional<nlohmann::json> UserDefaults::objectForKey(const std::string& key) const {
    return lookup(key);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    const auto value = lookup(key);
    if (!value) {
        return std::nullopt;
    }
    if (value->is_string()) {
        return value->get<std::string>();
    }
    if (value->is_number_integer()) {
        return value->dump();
    }
    if (value->is_number()) {
        std::ostringstream text;
        text << value->get<double>();
        return text.str();
    }
    return std::nullopt;
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    const auto value = lookup(key);
    if (!value) {
        return 0;
    }
    if (value->is_number_integer()) {
        return value->get<int64_t>();
    }
    const auto number = numberOf(*value);
    // Out-of-range or non-finite numbers have no integer meaning.
    if (!number || !std::isfinite(*number) || std::fabs(*number) >= 9.2e18) {
        return 0;
    }
    return static_cast<int64_t>(*number);
}

double UserDefaults::doubleForKey(const std::string& key) const {
    const auto value = lookup(key);
    if (!value) {
        return 0;
    }
    return numberOf(*value).value_or(0.0);
}

bool UserDefaults::boolForKey(const std::string& key) const {
    const auto value = lookup(key);
    if (!value) {
        return false;
    }
    if (value->is_boolean()) {
        return value->get<bool>();
    }
    if (value->is_number()) {
        return value->get<double>() != 0;
    }
    if (value->is_string()) {
        std::string text = value->get<std::string>();
        for (char& c : text) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return text == "yes" || text == "true" || text == "1";
    }
    return false;
}

std::optional<nlohmann::json> UserDefaults::arrayForKey(const std::string& key) const {
    auto value = lookup(key);
    if (!value || !value->is_array()) {
        return std::nullopt;
    }
    return value;
}

void UserDefaults::setObject(const std::string& key, const nlohmann::json& value) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
    changedLocked();
}

void UserDefaults::setDouble(const std::string& key, double value) {
    // JSON has no infinities or NaN; such a value is stored as nothing rather than as garbage.
    setObject(key, std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr));
}

void UserDefaults::removeObject(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (values_.erase(key) > 0) {
        changedLocked();
    }
}

nlohmann::json UserDefaults::storedValues() const {
    std::lock_guard lock(mutex_);
    return values_;
}

}  // namespace zarvo
