#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zarvo {

// A persistent key-value store with registered defaults: strings, numbers, booleans and arrays,
// one JSON file per domain. Every change is written at once, atomically (a temporary file, then
// a rename), so a crash never leaves a half-written file. A file that cannot be read is kept
// aside under another name and the store starts from its registered defaults.
// Safe from any thread.
class UserDefaults {
public:
    // The folder that holds every domain's file: $XDG_CONFIG_HOME/zarvo-recorder, or
    // ~/.config/zarvo-recorder without it.
    static std::filesystem::path configFolder();

    // The store of a domain, in configFolder()/DOMAIN.json.
    static std::shared_ptr<UserDefaults> forDomain(const std::string& domain);

    // A store kept in the given file.
    explicit UserDefaults(std::filesystem::path file);

    const std::filesystem::path& path() const { return path_; }

    // Values answered for keys that hold nothing; never written to the file.
    void registerDefaults(const nlohmann::json& defaults);

    // The stored value, else the registered default, else none.
    std::optional<nlohmann::json> objectForKey(const std::string& key) const;

    // A string, or a number written as text; none for anything else.
    std::optional<std::string> stringForKey(const std::string& key) const;
    // A number (truncated), a boolean or a numeric string; 0 otherwise.
    int64_t integerForKey(const std::string& key) const;
    // A number, a boolean or a numeric string; 0 otherwise.
    double doubleForKey(const std::string& key) const;
    // true, a non-zero number, or the strings "YES", "true", "1" (any case); false otherwise.
    bool boolForKey(const std::string& key) const;
    // An array value as it is stored (its entries may be of any type); none for anything else.
    std::optional<nlohmann::json> arrayForKey(const std::string& key) const;

    void setObject(const std::string& key, const nlohmann::json& value);
    void setString(const std::string& key, const std::string& value) { setObject(key, value); }
    void setInteger(const std::string& key, int64_t value) { setObject(key, value); }
    void setDouble(const std::string& key, double value);
    void setBool(const std::string& key, bool value) { setObject(key, value); }
    void setStringArray(const std::string& key, const std::vector<std::string>& value) {
        setObject(key, value);
    }
    void removeObject(const std::string& key);

    // Everything stored (without the registered defaults), for copying settings between domains.
    nlohmann::json storedValues() const;

private:
    void load();
    void save() const;  // called with mutex_ held
    std::optional<nlohmann::json> lookup(const std::string& key) const;

    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    nlohmann::json values_ = nlohmann::json::object();    // guarded by mutex_
    nlohmann::json defaults_ = nlohmann::json::object();  // guarded by mutex_
};

}  // namespace zarvo
