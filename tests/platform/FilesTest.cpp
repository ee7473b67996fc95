#include "platform/Files.h"
#include "platform/Text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>
#include <thread>

#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TestFolder;
using test::writeFile;

std::set<std::string> FileNames(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

TEST(FilesTest, WriteAllGoesThroughAPipeInPiecesAndReportsAFailedDescriptor) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const int capacity = ::fcntl(pipeEnds[1], F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    // Four pipe buffers: the writer blocks and resumes until the reader has taken everything.
    std::string data(static_cast<size_t>(capacity) * 4 + 123, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 % 251);
    }
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
            received.append(buffer, static_cast<size_t>(n));
        }
    });
    int error = -1;
    EXPECT_TRUE(writeAll(pipeEnds[1], data, &error));
    ::close(pipeEnds[1]);
    reader.join();
    ::close(pipeEnds[0]);
    EXPECT_EQ(received, data);

    TestFolder folder;
    writeFile(folder / "read-only", "x");
    const int readOnly = ::open((folder / "read-only").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    EXPECT_FALSE(writeAll(readOnly, "text", &error));
    EXPECT_EQ(error, EBADF);
    ::close(readOnly);
}

TEST(FilesTest, PositionedReadsAndWritesStopAtTheEndOfTheFile) {
    TestFolder folder;
    const int fd = ::open((folder / "data").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(writeAll(fd, "hello world"));
    ASSERT_TRUE(writeAt(fd, "W", 1, 6));
    char buffer[8] = {};
    ASSERT_TRUE(readAt(fd, buffer, 5, 6));
    EXPECT_EQ(std::string(buffer, 5), "World");

    // A read that runs past the end, or starts there, fails without an error number.
    int error = -1;
    EXPECT_FALSE(readAt(fd, buffer, 6, 6, &error));
    EXPECT_EQ(error, 0);
    error = -1;
    EXPECT_FALSE(readAt(fd, buffer, 1, 100, &error));
    EXPECT_EQ(error, 0);
    ::close(fd);

    error = 0;
    EXPECT_FALSE(readAt(fd, buffer, 1, 0, &error));
    EXPECT_EQ(error, EBADF);
}

TEST(FilesTest, ReplacingAFileLeavesTheOldOrTheNewContentsAndNoTemporary) {
    TestFolder folder;
    const fs::path settings = folder / "settings.json";
    writeFile(settings, "old");
    int error = 0;
    ASSERT_TRUE(replaceFileAtomically(settings, "new contents", true, &error));
    EXPECT_EQ(readFile(settings), "new contents");
    struct stat info {};
    ASSERT_EQ(::stat(settings.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(FileNames(folder.path()), std::set<std::string>{"settings.json"});

    // In a folder that does not exist nothing is created.
    EXPECT_FALSE(replaceFileAtomically(folder / "gone" / "settings.json", "x", false, &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(FileNames(folder.path()), std::set<std::string>{"settings.json"});

    // A rename that fails (a folder is in the way) removes the temporary file.
    fs::create_directory(folder / "taken");
    writeFile(folder / "taken" / "inside", "kept");
    error = 0;
    EXPECT_FALSE(replaceFileAtomically(folder / "taken", "x", false, &error));
    EXPECT_NE(error, 0);
    EXPECT_EQ(readFile(folder / "taken" / "inside"), "kept");
    EXPECT_EQ(FileNames(folder.path()), (std::set<std::string>{"settings.json", "taken"}));

    // Through a temporary file of the caller's naming; one that cannot be created leaves the
    // old file untouched.
    ASSERT_TRUE(replaceFileAtomicallyVia(folder / ".settings.tmp", settings, "via", false));
    EXPECT_EQ(readFile(settings), "via");
    EXPECT_FALSE(replaceFileAtomicallyVia(folder / "gone" / ".settings.tmp", settings, "lost",
                                          false, &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(readFile(settings), "via");
    EXPECT_EQ(FileNames(folder.path()), (std::set<std::string>{"settings.json", "taken"}));
}

TEST(TextTest, TrimsWhiteSpaceAndLowersOnlyAsciiCapitals) {
    EXPECT_EQ(trimmed(" \t\r\n a b \f\v\n"), "a b");
    EXPECT_EQ(trimmed(" \n\t "), "");
    EXPECT_EQ(trimmed("×"), "×");
    EXPECT_EQ(asciiLowercase("ÉCOLE Mixte-42"), "École mixte-42");
    EXPECT_EQ(asciiLowercase("\xC3\x89\xFF"
                             "AZ"),
              "\xC3\x89\xFF"
              "az");
}

TEST(TextTest, StrictUtf8AcceptsWholeCharactersOnly) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("1920 × 1080"));
    EXPECT_TRUE(isValidUtf8("\xF0\x9F\x8E\xA5 take"));  // a 4-byte emoji
    EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));       // U+10FFFF, the last character
    EXPECT_TRUE(isValidUtf8("\xED\x9F\xBF"));           // U+D7FF, just below the surrogates

    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(isValidUtf8("\xE0\x80\xAF"));      // overlong in three bytes
    EXPECT_FALSE(isValidUtf8("\xF0\x8F\xBF\xBF"));  // overlong in four bytes
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // a surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xF5\x80\x80\x80"));
    EXPECT_FALSE(isValidUtf8("ok \xE2\x82"));  // cut at the end
    EXPECT_FALSE(isValidUtf8("\xF0\x9F\x8E"));
    EXPECT_FALSE(isValidUtf8("\x80 lone"));  // a continuation without a lead
    EXPECT_FALSE(isValidUtf8("\xC3\x28"));   // a lead without its continuation
}

}  // namespace
}  // namespace zarvo
