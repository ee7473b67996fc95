#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::LogCapture;
using test::readFile;
using test::ScopedEnv;
using test::TestFolder;
using test::writeFile;

// The file parsed as JSON; a discarded value when it is not valid JSON.
json ParseFile(const fs::path& path) {
    return json::parse(readFile(path), nullptr, false);
}

std::vector<std::string> FileNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Files in the folder whose name starts with the prefix.
std::vector<fs::path> FilesStartingWith(const fs::path& folder, const std::string& prefix) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

TEST(UserDefaultsTest, StoredValuesOverrideRegisteredDefaults) {
    TestFolder folder;
    UserDefaults defaults(folder / "settings.json");
    defaults.registerDefaults({{"codec", "h264"}, {"gap", 4}});

    EXPECT_EQ(defaults.objectForKey("codec"), json("h264"));
    EXPECT_EQ(defaults.integerForKey("gap"), 4);
    EXPECT_EQ(defaults.objectForKey("missing"), std::nullopt);
    EXPECT_FALSE(fs::exists(folder / "settings.json"));  // defaults are never written

    defaults.setString("codec", "hevc");
    EXPECT_EQ(defaults.stringForKey("codec"), "hevc");
    EXPECT_EQ(defaults.storedValues(), json({{"codec", "hevc"}}));
    defaults.synchronize();
    EXPECT_EQ(ParseFile(folder / "settings.json"), json({{"codec", "hevc"}}));

    // Registering again replaces a default but not a stored value.
    defaults.registerDefaults({{"codec", "prores"}, {"gap", 8}});
    EXPECT_EQ(defaults.stringForKey("codec"), "hevc");
    EXPECT_EQ(defaults.integerForKey("gap"), 8);

    defaults.removeObject("codec");
    EXPECT_EQ(defaults.stringForKey("codec"), "prores");
    defaults.synchronize();
    EXPECT_EQ(ParseFile(folder / "settings.json"), json::object());
}

TEST(UserDefaultsTest, TypedReadersConvert) {
    TestFolder folder;
    UserDefaults defaults(folder / "settings.json");
    defaults.setObject("int", 42);
    defaults.setObject("negative", -7);
    defaults.setObject("double", 2.5);
    defaults.setObject("fraction", 3.9);
    defaults.setObject("negativeFraction", -3.9);
    defaults.setObject("text42", "42");
    defaults.setObject("textDouble", "2.5");
    defaults.setObject("word", "hello");
    defaults.setObject("true", true);
    defaults.setObject("false", false);
    defaults.setObject("array", json::array({1, "two"}));
    defaults.setObject("object", json({{"a", 1}}));

    EXPECT_EQ(defaults.stringForKey("int"), "42");
    EXPECT_EQ(defaults.stringForKey("negative"), "-7");
    EXPECT_EQ(defaults.stringForKey("double"), "2.5");
    EXPECT_EQ(defaults.stringForKey("word"), "hello");
    EXPECT_EQ(defaults.stringForKey("true"), std::nullopt);
    EXPECT_EQ(defaults.stringForKey("array"), std::nullopt);
    EXPECT_EQ(defaults.stringForKey("missing"), std::nullopt);

    EXPECT_EQ(defaults.integerForKey("int"), 42);
    EXPECT_EQ(defaults.integerForKey("text42"), 42);
    EXPECT_EQ(defaults.integerForKey("true"), 1);
    EXPECT_EQ(defaults.integerForKey("false"), 0);
    EXPECT_EQ(defaults.integerForKey("fraction"), 3);
    EXPECT_EQ(defaults.integerForKey("negativeFraction"), -3);
    EXPECT_EQ(defaults.integerForKey("word"), 0);
    EXPECT_EQ(defaults.integerForKey("array"), 0);
    EXPECT_EQ(defaults.integerForKey("missing"), 0);

    EXPECT_EQ(defaults.doubleForKey("double"), 2.5);
    EXPECT_EQ(defaults.doubleForKey("textDouble"), 2.5);
    EXPECT_EQ(defaults.doubleForKey("int"), 42.0);
    EXPECT_EQ(defaults.doubleForKey("true"), 1.0);
    EXPECT_EQ(defaults.doubleForKey("word"), 0.0);
    EXPECT_EQ(defaults.doubleForKey("object"), 0.0);

    EXPECT_TRUE(defaults.boolForKey("true"));
    EXPECT_FALSE(defaults.boolForKey("false"));
    EXPECT_TRUE(defaults.boolForKey("int"));
    EXPECT_TRUE(defaults.boolForKey("fraction"));
    EXPECT_FALSE(defaults.boolForKey("word"));
    EXPECT_FALSE(defaults.boolForKey("missing"));
    for (const char* yes : {"YES", "yes", "True", "1"}) {
        defaults.setString("flag", yes);
        EXPECT_TRUE(defaults.boolForKey("flag")) << yes;
    }
    for (const char* no : {"NO", "false", "0", "", "y"}) {
        defaults.setString("flag", no);
        EXPECT_FALSE(defaults.boolForKey("flag")) << no;
    }
    defaults.setInteger("zero", 0);
    EXPECT_FALSE(defaults.boolForKey("zero"));

    EXPECT_EQ(defaults.arrayForKey("array"), json::array({1, "two"}));
    EXPECT_EQ(defaults.arrayForKey("word"), std::nullopt);
    EXPECT_EQ(defaults.arrayForKey("missing"), std::nullopt);
    defaults.setStringArray("titles", {"Camera 1", "Camera 2"});
    EXPECT_EQ(defaults.arrayForKey("titles"), json::array({"Camera 1", "Camera 2"}));
}

TEST(UserDefaultsTest, ValuesSurviveInAValidFileWithoutLeftovers) {
    TestFolder folder;
    const fs::path file = folder.path() / "nested" / "folder" / "settings.json";
    {
        UserDefaults defaults(file);
        defaults.setString("name", "Concert");
        defaults.synchronize();
        EXPECT_EQ(ParseFile(file), json({{"name", "Concert"}}));
        defaults.setInteger("width", 1920);
        defaults.synchronize();
        EXPECT_EQ(ParseFile(file), json({{"name", "Concert"}, {"width", 1920}}));
        defaults.setBool("performance", true);
        defaults.setDouble("fps", 29.97);
        defaults.setStringArray("titles", {"A", "B"});
        defaults.setString("unicode", "Caméra — 1");
        defaults.removeObject("width");
        defaults.removeObject("never set");
        defaults.synchronize();
        EXPECT_FALSE(ParseFile(file).is_discarded());
        EXPECT_EQ(FileNames(file.parent_path()), std::vector<std::string>{"settings.json"});
    }
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.stringForKey("name"), "Concert");
    EXPECT_EQ(reopened.objectForKey("width"), std::nullopt);
    EXPECT_TRUE(reopened.boolForKey("performance"));
    EXPECT_EQ(reopened.doubleForKey("fps"), 29.97);
    EXPECT_EQ(reopened.arrayForKey("titles"), json::array({"A", "B"}));
    EXPECT_EQ(reopened.stringForKey("unicode"), "Caméra — 1");
}

TEST(UserDefaultsTest, UnreadableFileIsKeptAsideAndDefaultsAreUsed) {
    for (const std::string garbage : {"{not json", "[1, 2, 3]"}) {
        SCOPED_TRACE(garbage);
        TestFolder folder;
        const fs::path file = folder / "settings.json";
        writeFile(file, garbage);

        LogCapture log;
        UserDefaults defaults(file);
        defaults.registerDefaults({{"codec", "h264"}});

        EXPECT_EQ(defaults.stringForKey("codec"), "h264");
        EXPECT_EQ(defaults.storedValues(), json::object());
        EXPECT_FALSE(fs::exists(file));
        const auto aside = FilesStartingWith(folder.path(), "settings.json.unreadable-");
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readFile(aside[0]), garbage);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(file.string()), std::string::npos) << lines[0];

        defaults.setString("codec", "hevc");
        defaults.synchronize();
        EXPECT_EQ(ParseFile(file), json({{"codec", "hevc"}}));
        EXPECT_EQ(readFile(aside[0]), garbage);
    }
}

TEST(UserDefaultsTest, AnEarlierUnreadableFileIsNeverOverwritten) {
    TestFolder folder;
    const fs::path file = folder / "settings.json";
    LogCapture log;
    writeFile(file, "first garbage");
    UserDefaults first(file);
    writeFile(file, "second garbage");
    UserDefaults second(file);

    const auto aside = FilesStartingWith(folder.path(), "settings.json.unreadable-");
    ASSERT_EQ(aside.size(), 2u);
    std::vector<std::string> contents{readFile(aside[0]), readFile(aside[1])};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"first garbage", "second garbage"}));
}

TEST(UserDefaultsTest, UnwritableFolderLogsAndKeepsTheValue) {
    TestFolder folder;
    writeFile(folder / "plain-file", "not a folder");
    const fs::path file = folder.path() / "plain-file" / "settings.json";

    LogCapture log;
    UserDefaults defaults(file);
    defaults.setInteger("width", 1280);
    EXPECT_EQ(defaults.integerForKey("width"), 1280);

    // The failed write is logged, and waiting for it does not wait forever.
    defaults.synchronize();
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(file.string()), std::string::npos) << lines[0];
    EXPECT_EQ(readFile(folder / "plain-file"), "not a folder");
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::string>{"plain-file"});

    // The writer goes on after a failure: the next change is tried (and fails) again.
    defaults.setInteger("width", 1920);
    defaults.synchronize();
    lines = log.lines();
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_EQ(defaults.integerForKey("width"), 1920);
}

TEST(UserDefaultsTest, NonFiniteDoublesLeaveAValidFile) {
    TestFolder folder;
    const fs::path file = folder / "settings.json";
    LogCapture log;
    {
        UserDefaults defaults(file);
        defaults.setDouble("nan", std::numeric_limits<double>::quiet_NaN());
        defaults.setDouble("infinity", std::numeric_limits<double>::infinity());
        defaults.setDouble("fps", 25);
        defaults.synchronize();
        EXPECT_FALSE(ParseFile(file).is_discarded()) << readFile(file);
        EXPECT_FALSE(std::isnan(defaults.doubleForKey("nan")));
        EXPECT_FALSE(std::isinf(defaults.doubleForKey("infinity")));
    }
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.doubleForKey("fps"), 25.0);
    EXPECT_TRUE(log.lines().empty());  // the file was read back, not moved aside
}

TEST(UserDefaultsTest, TextThatIsNotUtf8DoesNotBreakTheStore) {
    // Folder names on Linux are bytes, not necessarily UTF-8.
    TestFolder folder;
    const fs::path file = folder / "settings.json";
    UserDefaults defaults(file);
    EXPECT_NO_THROW(defaults.setString("folder", "/home/user/Vid\xe9os"));
    defaults.synchronize();
    EXPECT_FALSE(ParseFile(file).is_discarded());
    EXPECT_NO_THROW(defaults.setString("name", "Concert"));
    defaults.synchronize();
    EXPECT_EQ(ParseFile(file).value("name", ""), "Concert");
}

// Holds a store's writes back until released, and counts them. Outlives the store.
class HeldWrites {
  public:
    void holdWritesOf(UserDefaults& defaults) {
        defaults.setBeforeWriteForTesting([this] {
            std::unique_lock lock(mutex_);
            ++writes_;
            written_.notify_all();
            released_.wait(lock, [this] { return open_; });
        });
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        released_.notify_all();
    }
    // Waits until a write is held back (or was let through).
    void waitForAWrite() {
        std::unique_lock lock(mutex_);
        written_.wait_for(lock, std::chrono::seconds(30), [this] { return writes_ > 0; });
    }
    int writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::condition_variable written_;
    int writes_ = 0;
    bool open_ = false;
};

TEST(UserDefaultsTest, ABurstOfChangesIsSeenAtOnceAndWrittenOnceOrTwice) {
    TestFolder folder;
    const fs::path file = folder / "settings.json";
    HeldWrites held;
    UserDefaults defaults(file);
    held.holdWritesOf(defaults);

    // While the first write is held back on the writer thread, the changes go on: a setter
    // never waits for the disk, and readers see every value at once.
    constexpr int kChanges = 1000;
    for (int i = 0; i < kChanges; ++i) {
        defaults.setInteger("gap", i);
        defaults.setString("name", "Take " + std::to_string(i));
        if (i == kChanges / 2) {
            defaults.setBool("temporary", true);
        } else if (i == kChanges / 2 + 1) {
            defaults.removeObject("temporary");
        }
        ASSERT_EQ(defaults.integerForKey("gap"), i);
        ASSERT_EQ(defaults.stringForKey("name"), "Take " + std::to_string(i));
    }
    held.waitForAWrite();
    EXPECT_FALSE(fs::exists(file));

    held.release();
    defaults.synchronize();
    EXPECT_EQ(ParseFile(file), json({{"gap", kChanges - 1}, {"name", "Take 999"}}));
    // The held write, then one more with everything that changed meanwhile.
    EXPECT_LE(held.writes(), 2);
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::string>{"settings.json"});

    // A later change is written again.
    defaults.setInteger("gap", 7);
    defaults.synchronize();
    EXPECT_EQ(ParseFile(file).value("gap", 0), 7);
    EXPECT_LE(held.writes(), 3);
}

TEST(UserDefaultsTest, DestructionWritesThePendingChanges) {
    TestFolder folder;
    const fs::path file = folder / "settings.json";
    HeldWrites held;
    std::thread releaser;
    {
        UserDefaults defaults(file);
        held.holdWritesOf(defaults);
        defaults.setString("name", "First");
        held.waitForAWrite();
        // Changed while the first write is held: only a write at destruction saves this.
        defaults.setString("name", "Last");
        defaults.setInteger("gap", 3);
        // Let the write through once the store is (most likely) already being destroyed.
        releaser = std::thread([&held] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            held.release();
        });
    }
    releaser.join();
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.storedValues(), json({{"name", "Last"}, {"gap", 3}}));
}

TEST(UserDefaultsTest, SynchronizeWithoutChangesReturnsAndWritesNothing) {
    TestFolder folder;
    UserDefaults defaults(folder / "settings.json");
    defaults.registerDefaults({{"gap", 4}});
    defaults.removeObject("missing");
    defaults.synchronize();
    EXPECT_FALSE(fs::exists(folder / "settings.json"));
}

TEST(UserDefaultsTest, DomainsLiveInTheConfigFolder) {
    TestFolder folder;
    {
        ScopedEnv config("XDG_CONFIG_HOME", folder.path().c_str());
        EXPECT_EQ(UserDefaults::configFolder(), folder.path() / "zarvo-recorder");
        auto defaults = UserDefaults::forDomain("org.zarvo.test");
        EXPECT_EQ(defaults->path(), folder.path() / "zarvo-recorder" / "org.zarvo.test.json");
        defaults->setInteger("value", 5);
        defaults->synchronize();
        EXPECT_EQ(ParseFile(folder.path() / "zarvo-recorder" / "org.zarvo.test.json"),
                  json({{"value", 5}}));
        EXPECT_EQ(UserDefaults::forDomain("org.zarvo.test")->integerForKey("value"), 5);
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", folder.path().c_str());
        EXPECT_EQ(UserDefaults::configFolder(), folder.path() / ".config" / "zarvo-recorder");
    }
}

}  // namespace
}  // namespace zarvo
