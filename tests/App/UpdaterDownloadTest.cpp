// The updater against an HTTP server of the tests on loopback: checks of manifests and release
// records, failures of the server, and downloads that install (through an installer handler
// standing in for the replacement) or fail without touching anything.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "App/language/AppLanguage.h"
#include "App/updater/ZarvoUpdater.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/SigningKey.h"
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
        ASSERT_TRUE(test::writeZip(folder / "current.zip", app("ZarvoRecorder.app", "1.0")));
        fs::create_directories(folder / "installed");
        ASSERT_FALSE(ZarvoUpdater::extractZip(folder / "current.zip", folder / "installed"));
    }
    void TearDown() override {
        language::setSystemPreferredLanguagesForTesting(std::nullopt);
        language::resetForTesting(AppLanguage::system);
    }

    // An application folder of ours signed by the publisher's key.
    std::vector<ZipEntry> app(const std::string& name, const std::string& version,
                              const std::string& build = "7") const {
        return test::FakeApplication(name, kIdentifier, version, 0, publisher.publicKeyBase64(),
                                     build);
    }

    std::unique_ptr<ZarvoUpdater> makeUpdater(const std::string& manifestPath) {
        ZarvoUpdater::Options options;
        options.mainQueue = &loop;
        options.defaults = defaults;
        options.environment = {{"ZARVO_UPDATE_URL", server.url(manifestPath)}};
        options.infoDictionary = {{"CFBundleShortVersionString", "1.0"},
                                  {"CFBundleVersion", "7"},
                                  {"CFBundleIdentifier", kIdentifier}};
        if (runningKey) {
            options.infoDictionary[ZarvoUpdater::kPublicKeyKey] = *runningKey;
        }
        options.currentAppPath = installed();
        options.checkTimeoutSeconds = 1;
        options.downloadTimeoutSeconds = 1;
        options.extractionLimits.maxEntries = 50;
        options.installerHandler = [this](
                                       const fs::path& newApp,
                                       const fs::path& destination) -> std::optional<std::string> {
            installedVersion = test::readFile(newApp / "Info.json");
            installedAt = destination;
            for (const auto& entry : fs::recursive_directory_iterator(newApp)) {
                installedModes[entry.path().lexically_relative(newApp).string()] =
                    entry.symlink_status().permissions();
            }
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

    // Serves the entries as an archive, with a manifest of version 2.0 naming its digest and
    // the publisher's signature of it (or the ones given).
    void serveRelease(const std::vector<ZipEntry>& entries, std::optional<std::string> digest = {},
                      HttpTestServer::Response archiveResponse = {},
                      std::optional<std::string> signature = {}) {
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
              {"ed25519", signature.value_or(publisher.sign(archiveResponse.body))},
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

    test::SigningKey publisher;
    std::optional<std::string> runningKey = publisher.publicKeyBase64();
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
    std::map<std::string, fs::perms> installedModes;
    std::optional<std::string> installerFailure;
    int terminations = 0;
};

TEST_F(UpdaterServer, ACheckAsksTheManifestAndFindsTheNewerRelease) {
    serveRelease(app("ZarvoRecorder.app", "2.0"));
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
    ASSERT_TRUE(test::writeZip(archive, app("ZarvoRecorder.app", "2.1")));
    const std::string bytes = test::readFile(archive);
    server.route("/download/ZarvoRecorder-2.1.ZIP", {200, bytes, "application/zip"});
    // The digest's hexadecimal in upper case still matches.
    std::string digest = ZarvoUpdater::sha256Hex(bytes);
    std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
    const json record = {
        {"tag_name", "v2.1"},
        {"body", "Release notes"},
        {"html_url", "https://example.org/releases/2.1"},
        {"assets",
         {{{"name", "ZarvoRecorder-2.1.ZIP"},
           {"browser_download_url", server.url("/download/ZarvoRecorder-2.1.ZIP")},
           {"digest", "sha256:" + digest}},
          {{"name", "ZarvoRecorder-2.1.ZIP.sig"},
           {"browser_download_url", server.url("/download/ZarvoRecorder-2.1.ZIP.sig")}}}}};
    server.route("/download/ZarvoRecorder-2.1.ZIP.sig",
                 {200, publisher.sign(bytes) + "\n", "application/octet-stream"});
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
    auto entries = app("ZarvoRecorder-2.0/ZarvoRecorder.app", "2.0");
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
    const auto good = app("ZarvoRecorder.app", "2.0");
    auto escaping = good;
    escaping.push_back({"../../outside.txt", "escaped"});
    HttpTestServer::Response cut;
    cut.missingBytes = 100;
    HttpTestServer::Response missing;
    missing.status = 404;
    const std::vector<Case> cases = {
        {"wrong checksum", good, std::string(64, 'a'), {}, "SHA-256 checksum verification failed."},
        {"no checksum",
         good,
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
        {"signed, but without the publisher key inside",
         test::FakeApplication("ZarvoRecorder.app", kIdentifier, "2.0", 1),
         std::nullopt,
         {},
         "The downloaded application carries no valid publisher key, so it could never be updated "
         "again."},
        {"archive gone", good, std::nullopt, missing, "Update server returned HTTP 404."},
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
    serveRelease(good, std::nullopt, cut);
    auto updater = makeUpdater("/manifest.json");
    checkAndInstall(*updater);
    EXPECT_EQ(failure(*updater).rfind("Could not reach the update server: ", 0), 0u)
        << failure(*updater);
    expectNothingChanged();

    const fs::path whole = folder / "whole.zip";
    ASSERT_TRUE(test::writeZip(whole, good));
    const std::string bytes = test::readFile(whole);
    const std::string half = bytes.substr(0, bytes.size() / 2);
    server.route("/half.zip", {200, half, "application/zip"});
    server.route("/manifest.json", {200, json{{"version", "2.0"},
                                              {"url", server.url("/half.zip")},
                                              {"sha256", ZarvoUpdater::sha256Hex(half)},
                                              {"ed25519", publisher.sign(half)}}
                                             .dump()});
    updater = makeUpdater("/manifest.json");
    checkAndInstall(*updater);
    EXPECT_EQ(failure(*updater).rfind("Archive extraction failed: ", 0), 0u) << failure(*updater);
    expectNothingChanged();

    // The installer handler's own failure.
    serveRelease(good);
    installerFailure = "the disk is read-only";
    updater = makeUpdater("/manifest.json");
    checkAndInstall(*updater);
    EXPECT_EQ(failure(*updater), "Failed to launch installer: the disk is read-only");
    EXPECT_EQ(terminations, 0);
    EXPECT_TRUE(fs::is_empty(temporary));
}

// Every way a release can be forged, stale or unsafe: each is refused with its own message, the
// installed copy stays as it was, and no work folder is left behind.
TEST_F(UpdaterServer, ForgedStaleAndUnsafeReleasesAreRefusedWithNothingChanged) {
    test::SigningKey stranger;
    const auto signedApp = app("ZarvoRecorder.app", "2.0");
    const fs::path otherArchive = folder / "other.zip";
    ASSERT_TRUE(test::writeZip(otherArchive, app("ZarvoRecorder.app", "2.0", "8")));
    const std::string otherBytes = test::readFile(otherArchive);
    auto bytesOf = [&](const std::vector<ZipEntry>& entries) {
        const fs::path archive = folder / "sign.zip";
        EXPECT_TRUE(test::writeZip(archive, entries));
        return test::readFile(archive);
    };
    // Each link alone, read as text, stays in the folder; followed, "out" climbs above it.
    auto chain = signedApp;
    chain.push_back({"ZarvoRecorder.app/share/out", "up/../..", ZipEntry::Kind::symlink});
    chain.push_back({"ZarvoRecorder.app/share/up", "../..", ZipEntry::Kind::symlink});
    auto crowded = signedApp;
    for (int i = 0; i < 60; ++i) {
        crowded.push_back({"ZarvoRecorder.app/share/" + std::to_string(i), "x"});
    }
    HttpTestServer::Response awayRedirect;
    awayRedirect.status = 302;
    awayRedirect.location = "http://192.0.2.7/ZarvoRecorder-2.0.zip";
    const std::string forged = encodeBase64(std::string(64, '\x5a'));

    struct Refusal {
        const char* what;
        std::function<void()> serve;
        std::string message;
        bool downloads = true;  // whether the archive is asked for at all
    };
    const std::vector<Refusal> refusals = {
        {"forged signature", [&] { serveRelease(signedApp, {}, {}, forged); },
         "The update's signature is not the publisher's (Ed25519); nothing was installed."},
        {"signed with another key",
         [&] { serveRelease(signedApp, {}, {}, stranger.sign(bytesOf(signedApp))); },
         "The update's signature is not the publisher's (Ed25519); nothing was installed."},
        {"good signature over another archive",
         [&] { serveRelease(signedApp, {}, {}, publisher.sign(otherBytes)); },
         "The update's signature is not the publisher's (Ed25519); nothing was installed."},
        {"older signed release under a newer name",
         [&] { serveRelease(app("ZarvoRecorder.app", "0.9")); },
         "The downloaded application is version 0.9 (7), not the announced 2.0."},
        {"release record without its .sig",
         [&] {
             const std::string bytes = bytesOf(signedApp);
             server.route("/ZarvoRecorder-2.0.zip", {200, bytes, "application/zip"});
             const json record = {{"tag_name", "v2.0"},
                                  {"assets",
                                   {{{"name", "ZarvoRecorder-2.0.zip"},
                                     {"browser_download_url", server.url("/ZarvoRecorder-2.0.zip")},
                                     {"digest", "sha256:" + ZarvoUpdater::sha256Hex(bytes)}}}}};
             server.route("/manifest.json", {200, record.dump()});
         },
         "The release carries no Ed25519 signature of its archive (ZarvoRecorder-2.0.zip.sig), "
         "so the update cannot be verified.",
         false},
        {"release record with an oversized .sig",
         [&] {
             const std::string bytes = bytesOf(signedApp);
             server.route("/ZarvoRecorder-2.0.zip", {200, bytes, "application/zip"});
             server.route("/ZarvoRecorder-2.0.zip.sig",
                          {200, publisher.sign(bytes) + std::string(1100, '\n')});
             const json record = {
                 {"tag_name", "v2.0"},
                 {"assets",
                  {{{"name", "ZarvoRecorder-2.0.zip"},
                    {"browser_download_url", server.url("/ZarvoRecorder-2.0.zip")},
                    {"digest", "sha256:" + ZarvoUpdater::sha256Hex(bytes)}},
                   {{"name", "ZarvoRecorder-2.0.zip.sig"},
                    {"browser_download_url", server.url("/ZarvoRecorder-2.0.zip.sig")}}}}};
             server.route("/manifest.json", {200, record.dump()});
         },
         "The update's signature is not the publisher's (larger than 1 KiB); nothing was "
         "installed.",
         false},
        {"plain http off this computer",
         [&] {
             const std::string bytes = bytesOf(signedApp);
             server.route("/manifest.json",
                          {200, json{{"version", "2.0"},
                                     {"url", "http://192.0.2.7/ZarvoRecorder-2.0.zip"},
                                     {"sha256", ZarvoUpdater::sha256Hex(bytes)},
                                     {"ed25519", publisher.sign(bytes)}}
                                    .dump()});
         },
         "Address refused: updates travel over https only "
         "(http://192.0.2.7/ZarvoRecorder-2.0.zip).",
         false},
        {"redirect off this computer",
         [&] {
             serveRelease(signedApp);
             server.route("/ZarvoRecorder-2.0.zip", awayRedirect);
         },
         "Address refused: updates travel over https only "
         "(http://192.0.2.7/ZarvoRecorder-2.0.zip)."},
        {"chain of links leaving the folder", [&] { serveRelease(chain); },
         "Archive extraction failed: link leading outside the archive's folder: "
         "ZarvoRecorder.app/share/out"},
        {"too many entries", [&] { serveRelease(crowded); },
         "Archive extraction failed: the archive holds more than 50 entries"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        refusal.serve();
        const size_t before = server.requests().size();
        auto updater = makeUpdater("/manifest.json");
        checkAndInstall(*updater);
        EXPECT_EQ(failure(*updater), refusal.message);
        expectNothingChanged();
        bool asked = false;
        const auto requests = server.requests();
        for (size_t i = before; i < requests.size(); ++i) {
            asked = asked || requests[i].target == "/ZarvoRecorder-2.0.zip";
        }
        EXPECT_EQ(asked, refusal.downloads);
    }

    // An older release offered as it is: refused before anything is fetched.
    serveRelease(signedApp);
    auto updater = makeUpdater("/manifest.json");
    ReleaseInfo older;
    older.version = "0.9";
    older.downloadURL = server.url("/ZarvoRecorder-2.0.zip");
    older.sha256 = std::string(64, '0');
    older.ed25519 = forged;
    const size_t before = server.requests().size();
    updater->downloadAndInstall(older);
    ASSERT_TRUE(settles(*updater));
    EXPECT_EQ(failure(*updater),
              "The release 0.9 is not newer than the installed copy (1.0); an update never goes "
              "back.");

    // A copy without the publisher's key, and one the package manager installed: they check,
    // and neither downloads.
    runningKey.reset();
    updater = makeUpdater("/manifest.json");
    checkAndInstall(*updater);
    EXPECT_FALSE(updater->canInstallUpdates());
    EXPECT_EQ(failure(*updater),
              "This copy of ZarvoRecorder does not carry the publisher's key, so it cannot install "
              "updates. Download the new version from the release page.");
    runningKey = publisher.publicKeyBase64();
    test::writeFile(installed() / "installed-by-package", "");
    updater = makeUpdater("/manifest.json");
    language::resetForTesting(AppLanguage::fr);
    checkAndInstall(*updater);
    EXPECT_TRUE(updater->isPackageInstalled());
    EXPECT_EQ(failure(*updater),
              "Cette copie a été installée par le gestionnaire de paquets du système\u00a0: mettez "
              "ZarvoRecorder à jour avec lui (par exemple «\u00a0sudo apt update && sudo apt "
              "upgrade\u00a0»).");
    language::resetForTesting(AppLanguage::en);
    fs::remove(installed() / "installed-by-package");
    for (size_t i = before; i < server.requests().size(); ++i) {
        EXPECT_NE(server.requests()[i].target, "/ZarvoRecorder-2.0.zip");
    }
    expectNothingChanged();
}

// What a signed archive may bring: no set-id, sticky or world-writable bits survive, and a new
// publisher key is taken when the old key signed the archive that carries it.
TEST_F(UpdaterServer, ASignedArchiveInstallsWithSafeModesAndMayBringANewKey) {
    test::SigningKey successor;
    auto entries = test::FakeApplication("ZarvoRecorder.app", kIdentifier, "2.0", 0,
                                         successor.publicKeyBase64());
    entries.back().mode = 04777;  // bin/zarvo-recorder
    entries.push_back({"ZarvoRecorder.app/share/", "", ZipEntry::Kind::folder, 01777});
    entries.push_back({"ZarvoRecorder.app/share/shared.txt", "x", ZipEntry::Kind::file, 02666});
    entries.push_back({"ZarvoRecorder.app/share/link", "shared.txt", ZipEntry::Kind::symlink});
    serveRelease(entries);
    auto updater = makeUpdater("/manifest.json");
    checkAndInstall(*updater);
    ASSERT_EQ(failure(*updater), "(not failed)");
    EXPECT_EQ(terminations, 1);
    EXPECT_NE(installedVersion.find(successor.publicKeyBase64()), std::string::npos);
    using P = fs::perms;
    EXPECT_EQ(installedModes["bin/zarvo-recorder"], P(0775));
    EXPECT_EQ(installedModes["share"], P(0775));
    EXPECT_EQ(installedModes["share/shared.txt"], P(0664));
    EXPECT_TRUE(fs::is_empty(temporary));
}

// The road of every request: https, or http to this computer; redirects checked the same way;
// an error's body cut short; a time limit for the whole request however steadily it flows.
TEST_F(UpdaterServer, RequestsStayOnHttpsOrThisComputerWithinTheirTime) {
    for (const char* good :
         {"https://example.org/m.json", "HTTPS://example.org/m.json",
          "http://127.0.0.1:8080/m.json", "http://localhost/m.json", "http://[::1]:9/m.json"}) {
        EXPECT_TRUE(isPermittedURL(good)) << good;
    }
    for (const char* bad : {"http://example.org/m.json", "http://127.0.0.2/m.json",
                            "http://localhost.example.org/m.json", "ftp://127.0.0.1/m.json",
                            "file:///etc/passwd", "not a url", ""}) {
        EXPECT_FALSE(isPermittedURL(bad)) << bad;
    }
    auto get = [&](const std::string& path, double totalSeconds = 10) {
        HttpRequest request;
        request.url = server.url(path);
        request.timeoutSeconds = 2;
        request.totalSeconds = totalSeconds;
        request.maxBodyBytes = 1 << 20;
        return curlDataLoader(request, {});
    };
    HttpTestServer::Response hop;
    hop.status = 302;
    hop.location = server.url("/landing");
    server.route("/hop", hop);
    server.route("/landing", {200, "arrived"});
    const auto landed = get("/hop");
    ASSERT_TRUE(std::holds_alternative<HttpResponse>(landed));
    EXPECT_EQ(std::get<HttpResponse>(landed).status, 200);
    EXPECT_EQ(std::get<HttpResponse>(landed).body, "arrived");

    hop.location = "http://example.org/landing";
    server.route("/away", hop);
    EXPECT_EQ(describeUpdateFailure(std::get<UpdateFailure>(get("/away"))),
              "Address refused: updates travel over https only (http://example.org/landing).");

    server.route("/big-error", {500, std::string(8 << 20, 'e'), "text/html"});
    const auto error = get("/big-error");
    ASSERT_TRUE(std::holds_alternative<HttpResponse>(error));
    EXPECT_EQ(std::get<HttpResponse>(error).status, 500);
    EXPECT_TRUE(std::get<HttpResponse>(error).body.empty());

    HttpTestServer::Response trickle;
    trickle.body = std::string(200000, 't');
    trickle.chunkBytes = 1000;  // 200 pieces 20 ms apart: four seconds, never silent for long
    server.route("/trickle", trickle);
    const auto started = std::chrono::steady_clock::now();
    const auto slow = get("/trickle", 0.6);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    ASSERT_TRUE(std::holds_alternative<UpdateFailure>(slow));
    EXPECT_EQ(describeUpdateFailure(std::get<UpdateFailure>(slow)),
              "The update server did not answer in time.");
}

}  // namespace
}  // namespace zarvo
