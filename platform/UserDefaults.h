#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace zarvo {

// A persistent key-value store with registered defaults: strings, numbers, booleans and arrays,
// one JSON file per domain. A change is seen by readers at once; the file is written behind it
// by the store's own writer thread, so a setter never waits for the disk (a fader sending a value
// many times a second costs one or two writes, not one per value). Each write is atomic (a
// temporary file, flushed to disk, then a rename), so a crash never leaves a half-written file;
// writes never overlap and the newest values are always written last. synchronize() waits for
// the file, and destruction writes whatever is pending. A file that cannot be read is kept aside
// under another name and the store starts from its registered defaults.
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
    // Writes the pending changes, then stops the writer thread.
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

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

    // Returns once every change made before the call is in the file, or its write failed (and
    // was logged). For code that reads the file itself or hands it to another store or process.
    void synchronize();

    // Called on the writer thread just before each write of the file; for tests that count
    // writes or hold one back.
    void setBeforeWriteForTesting(std::function<void()> hook);

  private:
    void load();
    // Notes a change of values_ and wakes the writer; called with mutex_ held.
    void changedLocked();
    void writeLoop();
    // Writes the text to the file atomically; logs a failure.
    void writeFile(const std::string& text) const;
    std::optional<nlohmann::json> lookup(const std::string& key) const;

    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    nlohmann::json values_ = nlohmann::json::object();    // guarded by mutex_
    nlohmann::json defaults_ = nlohmann::json::object();  // guarded by mutex_
    // Changes made so far, and how many of them the last finished write covered.
    uint64_t changes_ = 0;               // guarded by mutex_
    uint64_t writtenChanges_ = 0;        // guarded by mutex_
    bool stopping_ = false;              // guarded by mutex_
    std::function<void()> beforeWrite_;  // guarded by mutex_
    std::condition_variable changed_;    // the writer waits for changes or stopping_
    std::condition_variable written_;    // synchronize() waits for writtenChanges_
    std::thread writer_;                 // started with the first change; guarded by mutex_
};

}  // namespace zarvo
