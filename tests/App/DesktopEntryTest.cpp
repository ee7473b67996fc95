#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// Runs a program to its end; its exit status and everything it wrote.
std::pair<int, std::string> run(std::vector<std::string> arguments) {
    test::ChildProcess child(std::move(arguments), true);
    if (!child.started()) {
        return {-1, "not started"};
    }
    std::string output;
    for (std::string line = child.readLine(30); !line.empty(); line = child.readLine(30)) {
        output += line + "\n";
    }
    return {child.wait(30).value_or(-1), output};
}

// A program found in PATH, as a shell would; "" when there is none.
std::string inPath(const std::string& name) {
    std::istringstream folders(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const fs::path candidate = fs::path(folder) / name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return "";
}

std::map<std::string, std::string> entryValues(const fs::path& file) {
    std::map<std::string, std::string> values;
    std::istringstream lines(test::readFile(file));
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

// The entry an install writes into an application folder (the same script cmake --install runs)
// names that copy's program, and the desktop's own checker accepts it.
TEST(DesktopEntryTest, AnInstalledCopyIsListedWithItsOwnProgramAndIcon) {
    test::TestFolder folder;
    struct Case {
        std::string prefix;
        std::string exec;  // as written in the file
    };
    const std::string plain = (folder / "ZarvoRecorder.app").string();
    const std::string odd = (folder / "My $Apps/100% \"x\".app").string();
    const std::string oddBase = folder.path().string();
    const Case cases[] = {
        {plain, plain + "/bin/zarvo-recorder"},
        // Quoted, with ", $ and \ escaped inside the quotes, the backslashes written twice as
        // in every value of the file, and the percent sign doubled.
        {odd, "\"" + oddBase + "/My \\\\$Apps/100%% \\\\\"x\\\\\".app/bin/zarvo-recorder\""},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.prefix);
        const auto [status, output] =
            run({ZARVO_CMAKE_COMMAND, "-DCMAKE_INSTALL_PREFIX=" + item.prefix, "-P",
                 std::string(ZARVO_RESOURCES_DIR) + "/DesktopEntry.cmake"});
        ASSERT_EQ(status, 0) << output;
        const fs::path entry = fs::path(item.prefix) / "share/applications/zarvo-recorder.desktop";
        ASSERT_TRUE(fs::exists(entry));

        const std::string validator = inPath("desktop-file-validate");
        ASSERT_FALSE(validator.empty()) << "desktop-file-validate (desktop-file-utils) is missing";
        const auto [valid, complaints] = run({validator, entry.string()});
        EXPECT_EQ(valid, 0) << complaints;
        EXPECT_EQ(complaints, "");

        const auto values = entryValues(entry);
        EXPECT_EQ(values.at("Type"), "Application");
        EXPECT_EQ(values.at("Name"), "ZarvoRecorder");
        EXPECT_EQ(values.at("Icon"), "zarvo-recorder");
        EXPECT_EQ(values.at("Exec"), item.exec);
        EXPECT_EQ(values.at("TryExec"), item.prefix + "/bin/zarvo-recorder");
        EXPECT_EQ(values.at("Terminal"), "false");
        EXPECT_TRUE(values.count("Comment[fr]"));
    }
}

}  // namespace
}  // namespace zarvo
