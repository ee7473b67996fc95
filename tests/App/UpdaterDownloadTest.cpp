// The updater against an HTTP server of the tests on loopback: checks of manifests and release
// records, failures of the server, and downloads that install (through an installer handler
// standing in for the replacement) or fail without touching anything.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "App/language/AppLanguage.h"
#include "App/updater/ZarvoUpdater.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestFolder.h"
#include "tests/support/ZipFixtures.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using test::HttpTestServer;
using test::ZipEntry;

constexpr const char* kIdentifier = "net.mervane.zarvorecorder";

class UpdaterServer : public ::testing::Test {
  protected:
    void SetUp() override {
        language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"en-US"});
        language::resetForTesting(AppLanguage::en);
        fs::create_directories(temporary);
        // The running application: a folder of ours with its identifier.
        ASSERT_TRUE(test::writeZip(folder / "current.zip",
                                   test::FakeApplication("ZarvoRecorder.app", kIdentifier, "1.0")));
        fs::create_directories(folder / "installed");
        ASSERT_FALSE(ZarvoUpdater::extractZip(folder / "current.zip", folder / "installed"));
    }
    void TearDown() override {
        language::setSystemPreferredLanguagesForTesting(std::nullopt);
        language::resetForTesting(AppLanguage::system);
    }

    std::unique_ptr<ZarvoUpdater> makeUpdater(const std::string& manifestPath) {
        ZarvoUpdater::Options options;
        options.mainQueue = &loop;
        options.defaults = defaults;
        options.environment = {{"ZARVO_UPDATE_URL", server.url(manifestPath)}};
        options.infoDictionary = {{"CFBundleShortVersionString", "1.0"},
                                  {"CFBundleVersion", "7"},
                                  {"CFBundleIdentifier", kIdentifier}};
        options.currentAppPath = installed();
        options.checkTimeoutSeconds = 1;
        options.downloadTimeoutSeconds = 1;
        options.installerHandler = [this](
                                       const fs::path& newApp,
                                       const fs::path& destination) -> std::optional<std::string> {
            installedVersion = test::readFile(newApp / "Info.json");
            installedAt = destination;
            return installerFailure;
        };
        options.terminateApp = [this] { ++terminations; };
        auto updater = std::make_unique<ZarvoUpdater>(options);
        observer = ScopedObserver(
            NotificationCenter::defaultCenter(), ZarvoUpdater::kDidChangeNotification,
            updater.get(),
            [this, raw = updater.get()](const auto&) { states.push_back(raw->state()); });
        return updater;
    }

    fs::path installed() const { return folder / "installed" / "ZarvoRecorder.app"; }

    bool settles(ZarvoUpdater& updater) {
        return loop.runUntil(
            [&] {
                const auto& state = updater.state();
                return !std::holds_alternative<ZarvoUpdater::Checking>(state) &&
                       !std::holds_alternative<ZarvoUpdater::Downloading>(state) &&
                       !std::holds_alternative<ZarvoUpdater::Installing>(state);
            },
            30);
    }

    std::string failure(ZarvoUpdater& updater) {
        const auto* failed = std::get_if<ZarvoUpdater::Failed>(&updater.state());
        return failed ? failed->message : "(not failed)";
    }

    // Serves the entries as an archive, with a manifest of version 2.0 naming its digest.
    void serveRelease(const std::vector<ZipEntry>& entries, std::optional<std::string> digest = {},
                      HttpTestServer::Response archiveResponse = {}) {
        const fs::path archive = folder / "release.zip";
        ASSERT_TRUE(test::writeZip(archive, entries));
        archiveResponse.body = test::readFile(archive);
        archiveResponse.contentType = "application/zip";
        server.route("/ZarvoRecorder-2.0.zip", archiveResponse);
        const json manifest = {
            {kIdentifier,
             {{"version", "2.0"},
              {"url", server.url("/ZarvoRecorder-2.0.zip")},
              {"sha256", digest.value_or(ZarvoUpdater::sha256Hex(archiveResponse.body))},
              {"notes_en", "Faster"},
              {"notes_fr", "Plus rapide"}}}};
        server.route("/manifest.json", {200, manifest.dump()});
    }

    // Checks and installs what the manifest offers; the release it offered.
    ReleaseInfo checkAndInstall(ZarvoUpdater& updater) {
        updater.checkForUpdates(false, 1e9);
        EXPECT_TRUE(settles(updater));
        const auto* available = std::get_if<ZarvoUpdater::UpdateAvailable>(&updater.state());
        EXPECT_TRUE(available) << failure(updater);
        if (!available) {
            return {};
        }
        const ReleaseInfo release = available->release;
        updater.downloadAndInstall(release);
        // Installed, the application quits in the installing state; or it fails.
        EXPECT_TRUE(loop.runUntil(
            [&] {
                return terminations > 0 ||
                       std::holds_alternative<ZarvoUpdater::Failed>(updater.state());
            },
            30));
        return release;
    }

    void expectNothingChanged() {
        EXPECT_EQ(installedVersion, "");
        EXPECT_EQ(terminations, 0);
        EXPECT_NE(test::readFile(installed() / "Info.json").find("\"1.0\""), std::string::npos);
        EXPECT_TRUE(fs::is_empty(temporary)) << "the work folder is removed";
    }

    test::TestFolder folder;
    const fs::path temporary = folder / "tmp";
    test::ScopedEnv tmpdir{"TMPDIR", temporary.c_str()};
    test::ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
    RunLoop loop;
    HttpTestServer server;
    std::shared_ptr<UserDefaults> defaults =
        std::make_shared<UserDefaults>(folder / "settings.json");
    ScopedObserver observer;
    std::vector<ZarvoUpdater::State> states;
    std::string installedVersion;
    fs::path installedAt;
    std::optional<std::string> installerFailure;
    int terminations = 0;
};

TEST_F(UpdaterServer, ACheckAsksTheManifestAndFindsTheNewerRelease) {
    serveRelease(test::FakeApplication("ZarvoRecorder.app", kIdentifier, "2.0"));
    auto updater = makeUpdater("/manifest.json");
    updater->checkForUpdates(false, 1234.5);
    EXPECT_EQ(updater->state(), ZarvoUpdater::State(ZarvoUpdater::Checking{}));
    // Refused while the first runs: one request only.
    updater->checkForUpdates(false, 1234.5);
    updater->checkForUpdates(true, 1234.5);
    ASSERT_TRUE(settles(*updater));
    const auto* available = std::get_if<ZarvoUpdater::UpdateAvailable>(&updater->state());
    ASSERT_TRUE(available) << failure(*updater);
    EXPECT_EQ(available->release.version, "2.0");
    EXPECT_EQ(available->release.localizedNotes(), "Faster");
    EXPECT_EQ(defaults->doubleForKey(ZarvoUpdater::kLastCheckKey), 1234.5);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/manifest.json");
    EXPECT_EQ(requests[0].headers.at("accept"), "application/vnd.github+json, application/json");
    EXPECT_EQ(requests[0].headers.at("user-agent"), "ZarvoRecorder/1.0");

    // The same version again: up to date; silently: back to idle.
    server.route("/manifest.json",
                 {200, R"({"version": "v1.0", "url": "http://127.0.0.1/x.zip", "build": 7})"});
    updater->checkForUpdates(false, 1);
    ASSERT_TRUE(settles(*updater));
    EXPECT_EQ(updater->state(), ZarvoUpdater::State(ZarvoUpdater::UpToDate{"1.0"}));
    updater->checkForUpdates(true, 1);
    ASSERT_TRUE(loop.runUntil([&] { return server.requests().size() == 3; }, 10));
    ASSERT_TRUE(loop.runUntil(
        [&] { return std::holds_alternative<ZarvoUpdater::Idle>(updater->state()); }, 10));
}

TEST_F(UpdaterServer, AGitHubRecordWithAnUpperCaseArchiveInstalls) {
    const fs::path archive = folder / "gh.zip";
    ASSERT_TRUE(
        test::writeZip(archive, test::FakeApplication("ZarvoRecorder.app", kIdentifier, "2.1")));
    const std::string bytes = test::readFile(archive);
    server.route("/download/ZarvoRecorder-2.1.ZIP", {200, bytes, "application/zip"});
    // The digest's hexadecimal in upper case still matches.
    std::string digest = ZarvoUpdater::sha256Hex(bytes);
    std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
    const json record = {{"tag_name", "v2.1"},
                         {"body", "Release notes"},
                         {"html_url", "https://example.org/releases/2.1"},
                         {"assets",
                          {{{"name", "ZarvoRecorder-2.1.ZIP"},
                            {"browser_download_url", server.url("/download/ZarvoRecorder-2.1.ZIP")},
                            {"digest", "sha256:" + digest}}}}};
    server.route("/repos/latest", {200, record.dump()});
    auto updater = makeUpdater("/repos/latest");
    const ReleaseInfo release = checkAndInstall(*updater);
    EXPECT_EQ(release.version, "2.1");
    EXPECT_EQ(failure(*updater), "(not failed)");
    EXPECT_NE(installedVersion.find("\"2.1\""), std::string::npos);
    EXPECT_EQ(installedAt, installed());
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(fs::is_empty(temporary));
}

TEST_F(UpdaterServer, TheDownloadShowsItsProgressThenInstallsFromOneFolderDown) {
    // A big file sent in pieces, the application one folder down in the archive.
    auto entries = test::FakeApplication("ZarvoRecorder-2.0/ZarvoRecorder.app", kIdentifier, "2.0");
    std::string noise(400000, '\0');
    uint32_t seed = 7;
    for (char& c : noise) {
        seed = seed * 1103515245 + 12345;
        c = static_cast<char>(seed >> 24);
    }
    entries.push_back({"ZarvoRecorder-2.0/ZarvoRecorder.app/share/data.bin", noise});
    HttpTestServer::Response pieces;
    pieces.chunkBytes = 40000;
    serveRelease(entries, std::nullopt, pieces);
    auto updater = makeUpdater("/manifest.json");
    checkAndInstall(*updater);
    EXPECT_EQ(failure(*updater), "(not failed)");
    EXPECT_NE(installedVersion.find("\"2.0\""), std::string::npos);

    std::vector<double> progress;
    bool installing = false;
    for (const auto& state : states) {
        if (const auto* downloading = std::get_if<ZarvoUpdater::Downloading>(&state)) {
            EXPECT_FALSE(installing) << "progress after installing began";
            progress.push_back(downloading->progress);
        }
        installing = installing || std::holds_alternative<ZarvoUpdater::Installing>(state);
    }
    EXPECT_TRUE(installing);
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress.front(), 0);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_GT(progress.back(), 0.5);
    EXPECT_LE(progress.back(), 1.0);
}

TEST_F(UpdaterServer, ServerFailuresEndTheCheckWithTheirMessage) {
    auto updater = makeUpdater("/missing.json");
    updater->checkForUpdates(false, 1);
    ASSERT_TRUE(settles(*updater));
    EXPECT_EQ(failure(*updater), "Update server returned HTTP 404.");

    // Silent: never shows a failure.
    updater->checkForUpdates(true, 2);
    ASSERT_TRUE(loop.runUntil(
        [&] { return std::holds_alternative<ZarvoUpdater::Idle>(updater->state()); }, 10));
    updater = makeUpdater("/missing.json");
    updater->checkForUpdates(true, 2);
    ASSERT_TRUE(loop.runUntil([&] { return server.requests().size() == 3; }, 10));
    loop.runFor(0.3);
    EXPECT_EQ(updater->state(), ZarvoUpdater::State(ZarvoUpdater::Idle{}));

    // A server that never answers: its time-out (shortened here), in French this time.
    language::resetForTesting(AppLanguage::fr);
    HttpTestServer::Response silent;
    silent.neverAnswer = true;
    server.route("/silent.json", silent);
    updater = makeUpdater("/silent.json");
    updater->checkForUpdates(false, 3);
    ASSERT_TRUE(settles(*updater));
    EXPECT_EQ(failure(*updater), "Le serveur de mise à jour n’a pas répondu à temps.");
    language::resetForTesting(AppLanguage::en);

    // Not a manifest; a body beyond the size limit.
    server.route("/text.json", {200, "<html>maintenance</html>", "text/html"});
    updater = makeUpdater("/text.json");
    updater->checkForUpdates(false, 4);
    ASSERT_TRUE(settles(*updater));
    EXPECT_EQ(failure(*updater), "Invalid update manifest format.");
    server.route("/huge.json",
                 {200, std::string(ZarvoUpdater::kMaxManifestBytes + 10, ' ') + "{}"});
    updater = makeUpdater("/huge.json");
    updater->checkForUpdates(false, 5);
    ASSERT_TRUE(settles(*updater));
    EXPECT_EQ(failure(*updater), "Invalid update manifest format.");

    // Nobody listening.
    auto made = ZarvoUpdater::Options{};
    made.mainQueue = &loop;
    made.environment = {{"ZARVO_UPDATE_URL", "http://127.0.0.1:1/manifest.json"}};
    made.checkTimeoutSeconds = 1;
    ZarvoUpdater unreachable(made);
    unreachable.checkForUpdates(false, 6);
    ASSERT_TRUE(settles(unreachable));
    EXPECT_EQ(failure(unreachable).rfind("Could not reach the update server: ", 0), 0u)
        << failure(unreachable);
}

TEST_F(UpdaterServer, BadArchivesFailAndLeaveTheApplicationAsItWas) {
    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
        std::optional<std::string> digest;
        HttpTestServer::Response response;
        std::string message;
    };
    const auto app = test::FakeApplication("ZarvoRecorder.app", kIdentifier, "2.0");
    auto escaping = app;
    escaping.push_back({"../../outside.txt", "escaped"});
    HttpTestServer::Response cut;
    cut.missingBytes = 100;
    HttpTestServer::Response missing;
    missing.status = 404;
    const std::vector<Case> cases = {
        {"wrong checksum", app, std::string(64, 'a'), {}, "SHA-256 checksum verification failed."},
        {"no checksum",
         app,
         std::string(" "),
         {},
         "The release gives no SHA-256 checksum, so the update cannot be verified."},
        {"no application",
         {{"readme.txt", "hello"}, {"ZarvoRecorder/", "", ZipEntry::Kind::folder}},
         std::nullopt,
         {},
         "No application (.app) found in the archive."},
        {"escaping entry",
         escaping,
         std::nullopt,
         {},
         "Archive extraction failed: entry outside the archive's folder: ../../outside.txt"},
        {"another application",
         test::FakeApplication("Other.app", "net.example.other", "2.0"),
         std::nullopt,
         {},
         "The update is for another application (expected net.mervane.zarvorecorder, got "
         "net.example.other)."},
        {"does not run",
         test::FakeApplication("ZarvoRecorder.app", kIdentifier, "2.0", 1),
         std::nullopt,
         {},
         "The downloaded update is not a valid application: bin/zarvo-recorder --version ended "
         "with status 1: checked\n2.0"},
        {"archive gone", app, std::nullopt, missing, "Update server returned HTTP 404."},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        serveRelease(item.entries, item.digest, item.response);
        auto updater = makeUpdater("/manifest.json");
        checkAndInstall(*updater);
        EXPECT_EQ(failure(*updater), item.message);
        expectNothingChanged();
        EXPECT_FALSE(fs::exists(folder / "outside.txt"));
    }

    // A transfer cut short; an archive whose second half is missing (its digest matching).
    serveRelease(app, std::nullopt, cut);
    auto updater = makeUpdater("/manifest.json");
    checkAndInstall(*updater);
    EXPECT_EQ(failure(*updater).rfind("Could not reach the update server: ", 0), 0u)
        << failure(*updater);
    expectNothingChanged();

    const fs::path whole = folder / "whole.zip";
    ASSERT_TRUE(test::writeZip(whole, app));
    const std::string bytes = test::readFile(whole);
    const std::string half = bytes.substr(0, bytes.size() / 2);
    server.route("/half.zip", {200, half, "application/zip"});
    server.route("/manifest.json", {200, json{{"version", "2.0"},
                                              {"url", server.url("/half.zip")},
                                              {"sha256", ZarvoUpdater::sha256Hex(half)}}
                                             .dump()});
    updater = makeUpdater("/manifest.json");
    checkAndInstall(*updater);
    EXPECT_EQ(failure(*updater).rfind("Archive extraction failed: ", 0), 0u) << failure(*updater);
    expectNothingChanged();

    // The installer handler's own failure.
    serveRelease(app);
    installerFailure = "the disk is read-only";
    updater = makeUpdater("/manifest.json");
    checkAndInstall(*updater);
    EXPECT_EQ(failure(*updater), "Failed to launch installer: the disk is read-only");
    EXPECT_EQ(terminations, 0);
    EXPECT_TRUE(fs::is_empty(temporary));
}

}  // namespace
}  // namespace zarvo
