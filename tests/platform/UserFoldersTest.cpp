#include "platform/UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TestFolder;
using test::writeFile;

std::string HomeOf(const char* user) {
    const passwd* entry = getpwnam(user);
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

TEST(UserFoldersTest, ExpandTildeExpandsOnlyALeadingTilde) {
    ScopedEnv home("HOME", "/home/performer");
    EXPECT_EQ(expandTilde("~"), "/home/performer");
    EXPECT_EQ(expandTilde("~/"), "/home/performer/");
    EXPECT_EQ(expandTilde("~/Movies/Takes"), "/home/performer/Movies/Takes");
    EXPECT_EQ(expandTilde("a~b"), "a~b");
    EXPECT_EQ(expandTilde("/tmp/~/x"), "/tmp/~/x");
    EXPECT_EQ(expandTilde(""), "");
    EXPECT_EQ(expandTilde("~nosuchuser_zz/x"), "~nosuchuser_zz/x");
    EXPECT_EQ(expandTilde("~nosuchuser_zz"), "~nosuchuser_zz");

    const std::string rootHome = HomeOf("root");
    ASSERT_FALSE(rootHome.empty()) << "no root entry in the password database";
    EXPECT_EQ(expandTilde("~root/x"), rootHome == "/" ? "/x" : rootHome + "/x");
    EXPECT_EQ(expandTilde("~root"), rootHome);
}

TEST(UserFoldersTest, HomeFolderIsHomeElseThePasswordDatabase) {
    {
        ScopedEnv home("HOME", "/home/performer");
        EXPECT_EQ(homeFolder(), "/home/performer");
    }
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    {
        ScopedEnv home("HOME", "");
        EXPECT_EQ(homeFolder(), entry->pw_dir);
    }
    {
        ScopedEnv home("HOME", nullptr);
        EXPECT_EQ(homeFolder(), entry->pw_dir);
    }
    {
        // A home of "/" does not double the slash.
        ScopedEnv home("HOME", "/");
        EXPECT_EQ(expandTilde("~/x"), "/x");
        EXPECT_EQ(expandTilde("~"), "/");
    }
}

TEST(UserFoldersTest, MoviesFolderPrefersTheDesktopVideosFolder) {
    TestFolder home;
    TestFolder config;
    ScopedEnv homeVariable("HOME", home.path().c_str());
    ScopedEnv configVariable("XDG_CONFIG_HOME", config.path().c_str());

    // Nothing exists: the home folder.
    EXPECT_EQ(moviesFolder(), home.path().string());

    // ~/Videos once it exists.
    fs::create_directory(home / "Videos");
    EXPECT_EQ(moviesFolder(), (home / "Videos").string());

    // The desktop's videos folder wins, but only while it exists.
    writeFile(config / "user-dirs.dirs",
              "# written by the desktop\n"
              "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
              "\n"
              "XDG_VIDEOS_DIR=\"$HOME/Clips\"\n"
              "XDG_MUSIC_DIR=\"$HOME/Music\"\n");
    EXPECT_EQ(moviesFolder(), (home / "Videos").string());
    fs::create_directory(home / "Clips");
    EXPECT_EQ(moviesFolder(), (home / "Clips").string());

    // An absolute path is taken as written.
    TestFolder elsewhere;
    writeFile(config / "user-dirs.dirs", "XDG_VIDEOS_DIR=\"" + elsewhere.path().string() + "\"\n");
    EXPECT_EQ(moviesFolder(), elsewhere.path().string());

    // A relative path means nothing: back to ~/Videos, then home.
    writeFile(config / "user-dirs.dirs", "XDG_VIDEOS_DIR=\"Clips\"\n");
    EXPECT_EQ(moviesFolder(), (home / "Videos").string());
    fs::remove(home / "Videos");
    EXPECT_EQ(moviesFolder(), home.path().string());
}

TEST(UserFoldersTest, MoviesFolderReadsUserDirsFromHomeConfigWithoutXdgConfigHome) {
    TestFolder home;
    ScopedEnv homeVariable("HOME", home.path().c_str());
    ScopedEnv configVariable("XDG_CONFIG_HOME", nullptr);
    fs::create_directories(home / ".config");
    fs::create_directory(home / "Clips");
    writeFile(home / ".config" / "user-dirs.dirs", "XDG_VIDEOS_DIR=\"$HOME/Clips\"\n");
    EXPECT_EQ(moviesFolder(), (home / "Clips").string());
}

}  // namespace
}  // namespace zarvo
