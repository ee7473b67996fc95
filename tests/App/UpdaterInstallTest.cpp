// One whole installation: the application installed by `cmake --install` at its version, with a
// publisher key of the test's making, is replaced by a served and signed archive of a newer copy.
// The running application (a small program that links the updater and runs from that folder's
// place) checks, downloads, verifies, starts the replacer and quits; the replacer swaps the folders
// and starts the new zarvo-recorder, which answers over OSCQuery with the new version.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "App/updater/ZarvoUpdater.h"
#include "platform/Spawn.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/SigningKey.h"
#include "tests/support/TestFolder.h"
#include "tests/support/ZipFixtures.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// The processes running the program at `path`.
std::vector<pid_t> processesOf(const fs::path& program) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code error;
        const fs::path exe = fs::read_symlink(entry.path() / "exe", error);
        if (!error && exe == program) {
            found.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return found;
}

std::string bundleVersion(const fs::path& app) {
    const json info = json::parse(test::readFile(app / "Info.json"), nullptr, false);
    return info.is_object() ? info.value("CFBundleShortVersionString", "") : "";
}

TEST(UpdaterInstall, TheProgramTellsItsVersion) {
    const auto result = runProcess(ZARVO_RECORDER, {"--version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "dev");  // from the build tree
}

TEST(UpdaterInstall, AnInstalledApplicationIsReplacedByTheNewerReleaseAndStarts) {
    test::TestFolder folder;
    const fs::path app = folder / "Applications" / "ZarvoRecorder.app";
    const auto install =
        runProcess(ZARVO_CMAKE, {"--install", ZARVO_BUILD_DIR, "--prefix", app.string()}, 120);
    ASSERT_EQ(install.status, 0) << install.output << install.error;
    const std::string versionA = bundleVersion(app);
    ASSERT_FALSE(versionA.empty());
    // The publisher's key, as a release carries it in both copies.
    test::SigningKey publisher;
    json infoA = json::parse(test::readFile(app / "Info.json"));
    infoA[ZarvoUpdater::kPublicKeyKey] = publisher.publicKeyBase64();
    test::writeFile(app / "Info.json", infoA.dump(4));
    EXPECT_EQ(runProcess(app / "bin/zarvo-recorder", {"--version"}).output, versionA);

    // Version B: the same application with a newer version in its information.
    const std::string versionB = versionA + ".1";
    const fs::path copy = folder / "release" / "ZarvoRecorder.app";
    fs::create_directories(copy.parent_path());
    fs::copy(app, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    json info = json::parse(test::readFile(copy / "Info.json"));
    info["CFBundleShortVersionString"] = versionB;
    test::writeFile(copy / "Info.json", info.dump(4));
    const fs::path archive = folder / "ZarvoRecorder-B.zip";
    ASSERT_TRUE(test::writeZip(archive, test::folderEntries(copy, "ZarvoRecorder.app/")));
    fs::remove_all(copy.parent_path());

    test::HttpTestServer server;
    const std::string bytes = test::readFile(archive);
    server.route("/ZarvoRecorder-B.zip", {200, bytes, "application/zip"});
    server.route("/manifest.json", {200, json{{"version", versionB},
                                              {"url", server.url("/ZarvoRecorder-B.zip")},
                                              {"sha256", ZarvoUpdater::sha256Hex(bytes)},
                                              {"ed25519", publisher.sign(bytes)}}
                                             .dump()});

    const long ports = test::freePortRange(2);
    const fs::path temporary = folder / "tmp";
    fs::create_directories(temporary);
    test::ScopedEnv manifest("ZARVO_UPDATE_URL", server.url("/manifest.json").c_str());
    test::ScopedEnv osc("ZARVO_OSC_PORT", std::to_string(ports).c_str());
    test::ScopedEnv query("ZARVO_OSCQUERY_PORT", std::to_string(ports + 1).c_str());
    test::ScopedEnv tmpdir("TMPDIR", temporary.c_str());
    test::ScopedEnv noProxy("no_proxy", "127.0.0.1");
    test::ScopedEnv config("XDG_CONFIG_HOME", (folder / "config").c_str());

    test::ChildProcess running({ZARVO_UPDATER_CHILD, app.string(), (folder / "s.json").string()});
    ASSERT_TRUE(running.started());
    std::vector<std::string> lines;
    for (std::string line = running.readLine(120); !line.empty(); line = running.readLine(120)) {
        lines.push_back(line);
    }
    const auto status = running.wait(60);
    std::string seen;
    for (const auto& line : lines) {
        seen += line + "\n";
    }
    ASSERT_EQ(status, 0) << seen;
    EXPECT_NE(seen.find("state installing"), std::string::npos) << seen;

    // The replacer waited for the running program to end, swapped the folders and started the
    // new copy, which serves its version.
    const fs::path program = app / "bin" / "zarvo-recorder";
    ASSERT_TRUE(test::waitFor([&] { return bundleVersion(app) == versionB; }, 60));
    std::string served;
    const bool answered = test::waitFor(
        [&] {
            const auto value = test::httpGetJson(ports + 1, "/status/version");
            if (value && value->contains("VALUE") && (*value)["VALUE"].is_array() &&
                !(*value)["VALUE"].empty() && (*value)["VALUE"][0].is_string()) {
                served = (*value)["VALUE"][0].get<std::string>();
            }
            return served == versionB;
        },
        60);
    const auto started = processesOf(program);
    for (pid_t pid : started) {
        ::kill(pid, SIGTERM);
    }
    EXPECT_TRUE(answered) << "served " << served;
    EXPECT_EQ(started.size(), 1u);
    EXPECT_TRUE(test::waitFor([&] { return processesOf(program).empty(); }, 30));

    // One application beside nothing else; the work folder is gone.
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(app.parent_path())) {
        beside.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(beside, std::vector<std::string>{"ZarvoRecorder.app"});
    EXPECT_TRUE(fs::is_empty(temporary));
    EXPECT_TRUE(fs::exists(app / "bin" / "zarvo-recorder-mcp"));
}

}  // namespace
}  // namespace zarvo
