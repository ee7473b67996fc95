// The updater's rules: versions, release records and manifests, messages, when to check, where
// to look and where to install, and its disk work: extraction, finding and verifying the
// application, replacing a folder, running a program.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "App/language/AppLanguage.h"
#include "App/updater/ZarvoUpdater.h"
#include "platform/RunLoop.h"
#include "platform/Spawn.h"
#include "platform/UserDefaults.h"
#include "tests/support/SigningKey.h"
#include "tests/support/TestFolder.h"
#include "tests/support/ZipFixtures.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using test::ZipEntry;
using json = nlohmann::json;

class UpdaterRules : public ::testing::Test {
  protected:
    void SetUp() override {
        language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"en-US"});
        language::resetForTesting(AppLanguage::en);
    }
    void TearDown() override {
        language::setSystemPreferredLanguagesForTesting(std::nullopt);
        language::resetForTesting(AppLanguage::system);
    }

    ZarvoUpdater::Options options() {
        ZarvoUpdater::Options result;
        result.mainQueue = &loop;
        result.defaults = defaults;
        result.currentAppPath = folder / "ZarvoRecorder.app";
        return result;
    }

    test::TestFolder folder;
    RunLoop loop;
    std::shared_ptr<UserDefaults> defaults =
        std::make_shared<UserDefaults>(folder / "settings.json");
};

ReleaseInfo parsed(const std::string& text,
                   const std::string& identifier = "net.mervane.zarvorecorder") {
    auto outcome = ZarvoUpdater::parseRelease(text, identifier);
    EXPECT_TRUE(std::holds_alternative<ReleaseInfo>(outcome)) << text;
    return std::holds_alternative<ReleaseInfo>(outcome) ? std::get<ReleaseInfo>(outcome)
                                                        : ReleaseInfo{};
}

std::optional<UpdaterError> parseError(const std::string& text) {
    auto outcome = ZarvoUpdater::parseRelease(text, "net.mervane.zarvorecorder");
    if (auto* failure = std::get_if<UpdateFailure>(&outcome)) {
        return std::get<UpdaterError>(*failure);
    }
    return std::nullopt;
}

TEST_F(UpdaterRules, VersionsCompareByTheirNumbersThenByBuild) {
    using U = ZarvoUpdater;
    EXPECT_EQ(U::normalizeVersion("  v1.2 \n"), "1.2");
    EXPECT_EQ(U::normalizeVersion("V2"), "2");
    EXPECT_EQ(U::numericVersionComponents("1..2.x3.4b"), (std::vector<int64_t>{1, 2, 0, 4}));
    EXPECT_EQ(U::numericVersionComponents("1.2-beta.7"), (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(U::numericVersionComponents("1.99999999999999999999"),
              (std::vector<int64_t>{1, 0}));  // does not fit: 0
    EXPECT_FALSE(U::isNewerVersion("v1.2", std::nullopt, "1.2.0", std::nullopt));
    EXPECT_FALSE(U::isNewerVersion("1.2.0", std::nullopt, "v1.2", std::nullopt));
    EXPECT_TRUE(U::isNewerVersion("1.10", std::nullopt, "1.9", std::nullopt));
    EXPECT_FALSE(U::isNewerVersion("1.9", std::nullopt, "1.10", std::nullopt));
    EXPECT_FALSE(U::isNewerVersion("1.2-beta", std::nullopt, "1.2", std::nullopt));
    EXPECT_TRUE(U::isNewerVersion("1.2.1", std::nullopt, "1.2-beta", std::nullopt));
    EXPECT_TRUE(U::isNewerVersion("1.2", 12, "1.2", 11));
    EXPECT_FALSE(U::isNewerVersion("1.2", 11, "1.2", 12));
    EXPECT_FALSE(U::isNewerVersion("1.2", 12, "1.2", std::nullopt));
    EXPECT_FALSE(U::isNewerVersion("1.2", std::nullopt, "1.2", 11));
    EXPECT_FALSE(U::isNewerVersion("1.1", 99, "1.2", 1));  // the numbers decide first
}

TEST_F(UpdaterRules, GitHubRecordsGiveTheirZipAssetDigestAndNotes) {
    // The only archive's extension in upper case; the digest fills the checksum.
    const auto release = parsed(R"({
        "tag_name": " v2.4.0 ", "body": "Fixes", "html_url": "https://example.org/r/2.4.0",
        "assets": [
            {"name": "checksums.txt", "browser_download_url": "https://example.org/sums.txt"},
            {"name": "ZarvoRecorder-2.4.0.ZIP",
             "browser_download_url": "https://example.org/ZarvoRecorder-2.4.0.ZIP",
             "digest": "sha256:ABCDEF0123"}]})");
    EXPECT_EQ(release.version, "2.4.0");
    EXPECT_EQ(release.downloadURL, "https://example.org/ZarvoRecorder-2.4.0.ZIP");
    EXPECT_EQ(release.sha256, "ABCDEF0123");
    EXPECT_EQ(release.notesFR, "Fixes");
    EXPECT_EQ(release.notesEN, "Fixes");
    EXPECT_EQ(release.htmlURL, "https://example.org/r/2.4.0");
    EXPECT_EQ(release.build, std::nullopt);

    // No name ends in .zip: the address does. A null body and digest are no notes, no digest.
    const auto byAddress = parsed(R"({"tag_name": "3", "body": null, "assets": [
        "not an asset", {"name": "build", "browser_download_url": "https://e.org/a.zip",
                         "digest": null}]})");
    EXPECT_EQ(byAddress.downloadURL, "https://e.org/a.zip");
    EXPECT_EQ(byAddress.sha256, "");
    EXPECT_EQ(byAddress.notesEN, "");

    EXPECT_EQ(parseError(R"({"tag_name": "3", "assets": [{"name": "a.tar.gz",
        "browser_download_url": "https://e.org/a.tar.gz"}]})")
                  ->kind,
              UpdaterError::Case::noZipAsset);
    EXPECT_EQ(parseError(R"({"tag_name": "3"})")->kind, UpdaterError::Case::noZipAsset);
    EXPECT_EQ(parseError(R"({"tag_name": "3", "assets": [{"name": "a.zip",
        "browser_download_url": "not a url"}]})")
                  ->kind,
              UpdaterError::Case::noZipAsset);
    EXPECT_EQ(parseError(R"({"tag_name": " v ", "assets": []})")->kind,
              UpdaterError::Case::invalidManifest);
    EXPECT_EQ(parseError(R"({"tag_name": 3, "assets": []})")->kind,
              UpdaterError::Case::invalidManifest);
    EXPECT_EQ(parseError(R"({"tag_name": "3", "assets": {"name": "a.zip"}})")->kind,
              UpdaterError::Case::invalidManifest);
}

TEST_F(UpdaterRules, ManifestsUseTheApplicationsOwnEntry) {
    const auto mine = parsed(R"({
        "net.example.other": {"version": "9.0", "url": "https://e.org/other.zip"},
        "net.mervane.zarvorecorder": {"version": "v1.5", "download_url": "https://e.org/z.zip",
            "build": 31, "sha256": " ABC ", "notes": "Both", "notes_en": "English",
            "html_url": "https://e.org/1.5"},
        "net.orvak.zarvo-recorder": {"version": "1.0", "url": "https://e.org/old.zip"}})");
    EXPECT_EQ(mine.version, "1.5");
    EXPECT_EQ(mine.downloadURL, "https://e.org/z.zip");
    EXPECT_EQ(mine.build, 31);
    EXPECT_EQ(mine.sha256, "ABC");
    EXPECT_EQ(mine.notesEN, "English");
    EXPECT_EQ(mine.notesFR, "Both");  // "notes" stands for the missing language
    EXPECT_EQ(mine.htmlURL, "https://e.org/1.5");

    // The older identifier's entry, then the whole document.
    EXPECT_EQ(parsed(R"({"net.orvak.zarvo-recorder": {"version": "1.0",
        "url": "https://e.org/old.zip"}})")
                  .downloadURL,
              "https://e.org/old.zip");
    EXPECT_EQ(parsed(R"({"version": "2", "url": "https://e.org/flat.zip"})").version, "2");

    // Not what a manifest is: the manifest's error, never a crash.
    for (const char* bad : {"", "[]", "\"text\"", "{", "null", "{\"version\": \"2\"}",
                            R"({"version": 2, "url": "https://e.org/a.zip"})",
                            R"({"version": "", "url": "https://e.org/a.zip"})",
                            R"({"version": "2", "url": "no scheme"})",
                            R"({"version": "2", "url": "https://e.org/a.zip", "build": "x"})",
                            R"({"version": "2", "url": "https://e.org/a.zip", "sha256": 5})",
                            R"({"version": "2", "url": ["https://e.org/a.zip"]})"}) {
        const auto error = parseError(bad);
        ASSERT_TRUE(error) << bad;
        EXPECT_EQ(error->kind, UpdaterError::Case::invalidManifest) << bad;
    }
    // Nesting far deeper than any manifest, and bytes that are not UTF-8.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(parseError(deep)->kind, UpdaterError::Case::invalidManifest);
    const std::string deepObject =
        "{\"version\": \"2\", \"url\": \"https://e.org/a.zip\", \"x\": " +
        std::string(200000, '[') + std::string(200000, ']') + "}";
    EXPECT_EQ(parsed(deepObject).version, "2");
    EXPECT_EQ(parseError("{\"version\": \"\xff\xfe\", \"url\": \"https://e.org/a.zip\"}")->kind,
              UpdaterError::Case::invalidManifest);

    // A record survives its encoding.
    const json encoded = mine;
    EXPECT_EQ(encoded.at("downloadURL"), "https://e.org/z.zip");
    EXPECT_EQ(encoded.get<ReleaseInfo>(), mine);
}

TEST_F(UpdaterRules, NotesAndMessagesFollowTheInterfaceLanguage) {
    ReleaseInfo release;
    release.notesFR = "  Corrections \n";
    release.notesEN = "Fixes";
    EXPECT_EQ(release.localizedNotes(), "Fixes");
    release.notesEN = " \n";
    EXPECT_EQ(release.localizedNotes(), "Corrections");
    language::resetForTesting(AppLanguage::fr);
    EXPECT_EQ(release.localizedNotes(), "Corrections");
    release.notesFR = "";
    release.notesEN = " Fixes ";
    EXPECT_EQ(release.localizedNotes(), "Fixes");

    using E = UpdaterError;
    const std::vector<std::tuple<UpdateFailure, std::string, std::string>> table = {
        {E::httpStatus(404), "Update server returned HTTP 404.",
         "Serveur de mise à jour indisponible (HTTP 404)."},
        {E::invalidManifest(), "Invalid update manifest format.",
         "Format de manifeste de mise à jour invalide."},
        {E::noZipAsset(), "No .zip archive found in release.",
         "aucune archive .zip trouvée dans la publication."},
        {E::checksumMismatch("ab", "cd"), "SHA-256 checksum verification failed.",
         "La somme de contrôle SHA-256 ne correspond pas."},
        {E::checksumMismatch("", ""),
         "The release gives no SHA-256 checksum, so the update cannot be verified.",
         "La publication ne donne aucune somme de contrôle SHA-256 : la mise à jour ne peut pas "
         "être vérifiée."},
        {E::extractionFailed("bad entry"), "Archive extraction failed: bad entry",
         "Échec de la décompression : bad entry"},
        {E::appBundleNotFound(), "No application (.app) found in the archive.",
         "Aucune application (.app) trouvée dans l’archive."},
        {E::invalidCodeSignature("no Info.json"),
         "The downloaded update is not a valid application: no Info.json",
         "La mise à jour téléchargée n’est pas une application valide : no Info.json"},
        {E::teamIdentifierMismatch("net.a", std::nullopt),
         "The update is for another application (expected net.a, got none).",
         "La mise à jour est destinée à une autre application (attendu : net.a, reçu : aucun)."},
        {E::teamIdentifierMismatch("net.a", "net.b"),
         "The update is for another application (expected net.a, got net.b).",
         "La mise à jour est destinée à une autre application (attendu : net.a, reçu : net.b)."},
        {E::installerLaunchFailed("denied"), "Failed to launch installer: denied",
         "Impossible de lancer l’installateur : denied"},
        {E::noPublicKey(),
         "This copy of ZarvoRecorder does not carry the publisher's key, so it cannot install "
         "updates. Download the new version from the release page.",
         "Cette copie de ZarvoRecorder ne porte pas la clé de l’éditeur\u00a0: elle ne peut pas "
         "installer de mise à jour. Téléchargez la nouvelle version depuis la page de "
         "publication."},
        {E::missingSignature("Z.zip.sig"),
         "The release carries no Ed25519 signature of its archive (Z.zip.sig), so the update "
         "cannot be verified.",
         "La publication ne porte pas de signature Ed25519 de son archive (Z.zip.sig)\u00a0: la "
         "mise à jour ne peut pas être vérifiée."},
        {E::invalidSignature("Ed25519"),
         "The update's signature is not the publisher's (Ed25519); nothing was installed.",
         "La signature de la mise à jour n’est pas celle de l’éditeur (Ed25519)\u00a0: rien n’a "
         "été installé."},
        {E::versionMismatch("2.0 (9)", "1.9 (9)"),
         "The downloaded application is version 1.9 (9), not the announced 2.0 (9).",
         "L’application téléchargée porte la version 1.9 (9) au lieu de la version 2.0 (9) "
         "annoncée."},
        {E::notNewer("0.9", "1.0"),
         "The release 0.9 is not newer than the installed copy (1.0); an update never goes back.",
         "La publication 0.9 n’est pas plus récente que la copie installée (1.0)\u00a0: pas de "
         "retour en arrière."},
        {E::releaseWithoutKey(),
         "The downloaded application carries no valid publisher key, so it could never be "
         "updated again.",
         "L’application téléchargée ne porte pas de clé d’éditeur valable\u00a0: elle ne pourrait "
         "plus jamais être mise à jour."},
        {E::insecureAddress("http://example.org/a.zip"),
         "Address refused: updates travel over https only (http://example.org/a.zip).",
         "Adresse refusée\u00a0: les mises à jour ne passent que par https "
         "(http://example.org/a.zip)."},
        {E::packageInstalled(),
         "This copy was installed by the system's package manager: update ZarvoRecorder with it "
         "(for example “sudo apt update && sudo apt upgrade”).",
         "Cette copie a été installée par le gestionnaire de paquets du système\u00a0: mettez "
         "ZarvoRecorder à jour avec lui (par exemple «\u00a0sudo apt update && sudo apt "
         "upgrade\u00a0»)."},
        {SystemFailure{"Hors ligne", "Offline"}, "Offline", "Hors ligne"},
    };
    // Each failure of the updater is told apart by its code, in one domain.
    std::set<int> codes;
    for (const auto& row : table) {
        if (const auto* error = std::get_if<UpdaterError>(&std::get<0>(row))) {
            codes.insert(error->errorCode());
        }
    }
    EXPECT_EQ(codes.size(), 17u);
    EXPECT_STREQ(UpdaterError::kDomain, "net.mervane.zarvorecorder.ZarvoUpdater");
    for (const auto& [error, english, french] : table) {
        language::resetForTesting(AppLanguage::en);
        EXPECT_EQ(ZarvoUpdater::describeError(error), english);
        language::resetForTesting(AppLanguage::fr);
        EXPECT_EQ(ZarvoUpdater::describeError(error), french);
        // Following the desktop, which prefers neither language: French.
        language::resetForTesting(AppLanguage::system);
        language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"de-DE"});
        EXPECT_EQ(ZarvoUpdater::describeError(error), french);
        language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"en-US"});
    }
}

TEST_F(UpdaterRules, TheLaunchCheckRunsOncePerDayWhenAllowed) {
    const double now = 1'800'000'000;
    ZarvoUpdater updater(options());
    EXPECT_TRUE(updater.autoCheckOnLaunch());  // absent means on
    EXPECT_TRUE(updater.shouldAutoCheck(now, false));
    EXPECT_FALSE(updater.shouldAutoCheck(now, true));
    defaults->setDouble(ZarvoUpdater::kLastCheckKey, now - 3 * 3600);
    EXPECT_FALSE(updater.shouldAutoCheck(now, false));
    defaults->setDouble(ZarvoUpdater::kLastCheckKey, now - 25 * 3600);
    EXPECT_TRUE(updater.shouldAutoCheck(now, false));
    defaults->setDouble(ZarvoUpdater::kLastCheckKey, now + 60);  // a clock set back
    EXPECT_TRUE(updater.shouldAutoCheck(now, false));
    defaults->setString(ZarvoUpdater::kLastCheckKey, "yesterday");
    EXPECT_TRUE(updater.shouldAutoCheck(now, false));

    updater.setAutoCheckOnLaunch(false);
    EXPECT_FALSE(updater.shouldAutoCheck(now, false));
    EXPECT_EQ(defaults->objectForKey(ZarvoUpdater::kAutoCheckKey), json(false));
    // The next start reads the stored choice.
    EXPECT_FALSE(ZarvoUpdater(options()).autoCheckOnLaunch());
}

TEST_F(UpdaterRules, TheManifestAddressComesFromTheEnvironmentSettingsOrBundle) {
    auto withSources = [&](std::optional<std::string> variable, std::optional<std::string> stored,
                           std::optional<std::string> info) {
        defaults->removeObject(ZarvoUpdater::kUpdateURLKey);
        auto made = options();
        if (variable) {
            made.environment["ZARVO_UPDATE_URL"] = *variable;
        }
        if (stored) {
            defaults->setString(ZarvoUpdater::kUpdateURLKey, *stored);
        }
        if (info) {
            made.infoDictionary["ZarvoUpdateURL"] = *info;
        }
        return ZarvoUpdater(made).customManifestURL();
    };
    EXPECT_EQ(withSources(" https://a.org/m.json\n", "https://b.org/m.json", "https://c.org/m"),
              "https://a.org/m.json");
    EXPECT_EQ(withSources("  ", "https://b.org/m.json", "https://c.org/m"), "https://b.org/m.json");
    EXPECT_EQ(withSources("no scheme here", "", " https://c.org/m "), "https://c.org/m");
    EXPECT_EQ(withSources(std::nullopt, std::nullopt, "@UPDATE_URL@"), std::nullopt);
    EXPECT_EQ(withSources(std::nullopt, std::nullopt, std::nullopt), std::nullopt);

    auto made = options();
    made.repo = "someone/Fork";
    EXPECT_EQ(ZarvoUpdater(made).githubLatestReleaseURL(),
              "https://api.github.com/repos/someone/Fork/releases/latest");
    EXPECT_EQ(ZarvoUpdater(options()).githubLatestReleaseURL(),
              "https://api.github.com/repos/mervane/ZarvoRecorder/releases/latest");
}

TEST_F(UpdaterRules, TheRunningVersionAndDestinationComeFromTheBundle) {
    auto made = options();
    made.currentVersion = "dev";
    made.infoDictionary = {{"CFBundleShortVersionString", "v1.4"},
                           {"CFBundleVersion", "27"},
                           {"CFBundleIdentifier", "net.example.recorder"}};
    ZarvoUpdater fromBundle(made);
    EXPECT_EQ(fromBundle.currentVersion(), "1.4");
    EXPECT_EQ(fromBundle.currentBuild(), 27);
    EXPECT_EQ(fromBundle.bundleIdentifier(), "net.example.recorder");

    made.currentVersion = " V2.0 ";
    EXPECT_EQ(ZarvoUpdater(made).currentVersion(), "2.0");
    made.currentVersion = "";
    made.infoDictionary = {{"CFBundleShortVersionString", "@PROJECT_VERSION@"}};
    ZarvoUpdater unset(made);
    EXPECT_EQ(unset.currentVersion(), "0.9.1");
    EXPECT_EQ(unset.currentBuild(), std::nullopt);
    EXPECT_EQ(unset.bundleIdentifier(), "net.mervane.zarvorecorder");

    // Installed in place when running from an application folder, else in ~/Applications.
    made.currentAppPath = "/opt/Apps/ZarvoRecorder.APP/";
    EXPECT_EQ(ZarvoUpdater(made).destinationPath(), fs::path("/opt/Apps/ZarvoRecorder.APP"));
    made.currentAppPath = "/home/me/src/build/App";
    made.environment["HOME"] = "/home/me";
    EXPECT_EQ(ZarvoUpdater(made).destinationPath(),
              fs::path("/home/me/Applications/ZarvoRecorder.app"));
}

TEST_F(UpdaterRules, AutomaticChecksStayOffInTestsBuildTreesAndWithoutADisplay) {
    const std::string installed = "/home/me/Applications/ZarvoRecorder.app";
    const std::map<std::string, std::string> desktop = {{"DISPLAY", ":0"}};
    EXPECT_FALSE(ZarvoUpdater::isRunningTestsOrHeadless(desktop, installed));
    EXPECT_FALSE(ZarvoUpdater::isRunningTestsOrHeadless({{"WAYLAND_DISPLAY", "wayland-0"}},
                                                        installed + "/"));
    EXPECT_TRUE(ZarvoUpdater::isRunningTestsOrHeadless({}, installed));  // headless
    EXPECT_TRUE(ZarvoUpdater::isRunningTestsOrHeadless({{"DISPLAY", ""}}, installed));
    EXPECT_TRUE(ZarvoUpdater::isRunningTestsOrHeadless(
        {{"DISPLAY", ":0"}, {"ZARVO_DISABLE_UPDATE_CHECK", "1"}}, installed));
    EXPECT_FALSE(ZarvoUpdater::isRunningTestsOrHeadless(
        {{"DISPLAY", ":0"}, {"ZARVO_DISABLE_UPDATE_CHECK", "yes"}}, installed));
    EXPECT_TRUE(ZarvoUpdater::isRunningTestsOrHeadless(desktop, "/home/me/src/build/tests"));
    // The package manager's folder is an installed copy too: it checks at launch.
    const fs::path packaged = folder / "zarvo-recorder";
    fs::create_directories(packaged);
    EXPECT_TRUE(ZarvoUpdater::isRunningTestsOrHeadless(desktop, packaged.string()));
    test::writeFile(packaged / "installed-by-package", "");
    EXPECT_FALSE(ZarvoUpdater::isRunningTestsOrHeadless(desktop, packaged.string()));
    // This test program runs from the build tree.
    EXPECT_TRUE(ZarvoUpdater::isRunningTestsOrHeadless());
}

// --- Disk work --------------------------------------------------------------------------------

class UpdaterDisk : public ::testing::Test {
  protected:
    fs::path zip(const std::vector<ZipEntry>& entries) {
        const fs::path path = folder / ("archive" + std::to_string(++count) + ".zip");
        EXPECT_TRUE(test::writeZip(path, entries));
        return path;
    }
    std::optional<UpdateFailure> extract(const std::vector<ZipEntry>& entries,
                                         const fs::path& into) {
        fs::create_directories(into);
        return ZarvoUpdater::extractZip(zip(entries), into);
    }
    static std::vector<std::string> tree(const fs::path& root) {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            names.push_back(fs::relative(entry.path(), root).string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TestFolder folder;
    int count = 0;
};

TEST_F(UpdaterDisk, ExtractionKeepsModesAndLinksInsideTheFolder) {
    const fs::path into = folder / "ok";
    auto entries = test::FakeApplication("Z.app", "net.mervane.zarvorecorder", "1.0");
    entries.push_back({"Z.app/lib/libz.so.1", "library"});
    entries.push_back({"Z.app/lib/libz.so", "libz.so.1", ZipEntry::Kind::symlink});
    ASSERT_FALSE(extract(entries, into)) << "a sound archive extracts";
    EXPECT_TRUE(fs::is_symlink(into / "Z.app/lib/libz.so"));
    EXPECT_EQ(test::readFile(into / "Z.app/lib/libz.so"), "library");
    EXPECT_NE(fs::status(into / "Z.app/bin/zarvo-recorder").permissions() & fs::perms::owner_exec,
              fs::perms::none);
}

TEST_F(UpdaterDisk, EntriesEscapingTheFolderFailAndWriteNothingOutside) {
    const std::vector<std::vector<ZipEntry>> escapes = {
        {{"../escaped.txt", "out"}},
        {{"app/../../escaped.txt", "out"}},
        {{(folder / "escaped.txt").string(), "out"}},
        {{"app/link", "../../", ZipEntry::Kind::symlink}, {"app/link/escaped.txt", "out"}},
        {{"app/link", (folder.path()).string(), ZipEntry::Kind::symlink}},
        // Chains: each link read alone stays inside; followed, "out" climbs above the folder,
        // whichever of the two comes first. A loop leads nowhere and is refused too.
        {{"a/up", "..", ZipEntry::Kind::symlink}, {"a/out", "up/../..", ZipEntry::Kind::symlink}},
        {{"a/out", "up/../..", ZipEntry::Kind::symlink}, {"a/up", "..", ZipEntry::Kind::symlink}},
        {{"a/x", "y/z", ZipEntry::Kind::symlink}, {"a/y", "x/..", ZipEntry::Kind::symlink}},
    };
    int index = 0;
    for (const auto& entries : escapes) {
        const fs::path into = folder / "work" / std::to_string(index++) / "extracted";
        const auto failure = extract(entries, into);
        ASSERT_TRUE(failure) << entries[0].name;
        EXPECT_EQ(std::get<UpdaterError>(*failure).kind, UpdaterError::Case::extractionFailed)
            << entries[0].name;
        EXPECT_FALSE(fs::exists(folder / "escaped.txt")) << entries[0].name;
        EXPECT_FALSE(fs::exists(into.parent_path() / "escaped.txt")) << entries[0].name;
        EXPECT_FALSE(fs::exists(folder / "work" / "escaped.txt")) << entries[0].name;
    }

    // A cut archive, and something that is no archive.
    const fs::path whole = zip(test::FakeApplication("Z.app", "net.x", "1.0"));
    std::string bytes = test::readFile(whole);
    test::writeFile(folder / "cut.zip", bytes.substr(0, bytes.size() / 2));
    fs::create_directories(folder / "cut");
    EXPECT_TRUE(ZarvoUpdater::extractZip(folder / "cut.zip", folder / "cut"));
    test::writeFile(folder / "text.zip", "not a zip at all");
    EXPECT_TRUE(ZarvoUpdater::extractZip(folder / "text.zip", folder / "cut"));
    EXPECT_TRUE(ZarvoUpdater::extractZip(folder / "missing.zip", folder / "cut"));
}

TEST_F(UpdaterDisk, TheApplicationIsFoundAtTheTopOrOneFolderDown) {
    const fs::path top = folder / "top";
    ASSERT_FALSE(extract({{".Hidden.app/", "", ZipEntry::Kind::folder},
                          {"readme.txt", "x"},
                          {"file.app", "a file, not a folder"},
                          {"B.app/", "", ZipEntry::Kind::folder},
                          {"A.APP/", "", ZipEntry::Kind::folder}},
                         top));
    EXPECT_EQ(ZarvoUpdater::findAppBundle(top), top / "A.APP");

    const fs::path down = folder / "down";
    ASSERT_FALSE(
        extract(test::FakeApplication("ZarvoRecorder-2.0/ZarvoRecorder.app", "x", "2"), down));
    EXPECT_EQ(ZarvoUpdater::findAppBundle(down), down / "ZarvoRecorder-2.0/ZarvoRecorder.app");

    const fs::path tooDeep = folder / "deep";
    ASSERT_FALSE(extract(test::FakeApplication("a/b/ZarvoRecorder.app", "x", "2"), tooDeep));
    EXPECT_EQ(ZarvoUpdater::findAppBundle(tooDeep), std::nullopt);
    EXPECT_EQ(ZarvoUpdater::findAppBundle(folder / "nothing"), std::nullopt);
}

TEST_F(UpdaterDisk, TheNewApplicationMustBeOursAsAnnouncedAndKeyed) {
    test::SigningKey publisher;
    const std::string key = publisher.publicKeyBase64();
    const std::string ours = "net.mervane.zarvorecorder";
    RunLoop loop;
    ZarvoUpdater::Options options;
    options.mainQueue = &loop;
    options.infoDictionary = {{"CFBundleIdentifier", ours},
                              {"CFBundleShortVersionString", "1.0"},
                              {"CFBundleVersion", "7"},
                              {ZarvoUpdater::kPublicKeyKey, key}};
    const ZarvoUpdater updater(options);
    EXPECT_TRUE(updater.canInstallUpdates());
    ReleaseInfo release;
    release.version = "2.0";
    release.build = 9;
    auto verify = [&](const std::vector<ZipEntry>& entries) {
        const fs::path into = folder / ("new" + std::to_string(++count));
        EXPECT_FALSE(extract(entries, into));
        return updater.verifyApplication(into / "Z.app", release);
    };
    // The program inside is never run to verify it: one that fails is not noticed here.
    EXPECT_FALSE(verify(test::FakeApplication("Z.app", ours, "2.0", 3, key, "9")));

    EXPECT_EQ(verify(test::FakeApplication("Z.app", "net.example.other", "2.0", 0, key, "9")),
              UpdaterError::teamIdentifierMismatch(ours, "net.example.other"));
    EXPECT_EQ(verify(test::FakeApplication("Z.app", "", "2.0", 0, key, "9")),
              UpdaterError::teamIdentifierMismatch(ours, std::nullopt));
    EXPECT_EQ(verify(test::FakeApplication("Z.app", ours, "2.0", 0, key, "8")),
              UpdaterError::versionMismatch("2.0 (9)", "2.0 (8)"));
    EXPECT_EQ(verify(test::FakeApplication("Z.app", ours, "1.9", 0, key, "9")),
              UpdaterError::versionMismatch("2.0 (9)", "1.9 (9)"));
    EXPECT_EQ(verify(test::FakeApplication("Z.app", ours, "2.0", 0, "", "9")),
              UpdaterError::releaseWithoutKey());
    EXPECT_EQ(verify(test::FakeApplication("Z.app", ours, "2.0", 0, "bm90IGEga2V5", "9")),
              UpdaterError::releaseWithoutKey());
    auto noInfo = test::FakeApplication("Z.app", ours, "2.0", 0, key, "9");
    noInfo.erase(noInfo.begin() + 1);
    EXPECT_EQ(verify(noInfo)->kind, UpdaterError::Case::invalidCodeSignature);

    // The same version as ours, announced without a build: not newer, whatever it carries.
    release.version = "1.0";
    release.build.reset();
    EXPECT_EQ(verify(test::FakeApplication("Z.app", ours, "1.0", 0, key, "7")),
              UpdaterError::notNewer("1.0 (7)", "1.0 (7)"));
    EXPECT_EQ(updater.installRefusal(release), UpdaterError::notNewer("1.0", "1.0"));

    // A copy without a usable key refuses before anything else.
    options.infoDictionary[ZarvoUpdater::kPublicKeyKey] = "@ZARVO_UPDATE_PUBLIC_KEY@";
    const ZarvoUpdater unkeyed(options);
    EXPECT_FALSE(unkeyed.canInstallUpdates());
    release.version = "2.0";
    EXPECT_EQ(unkeyed.installRefusal(release), UpdaterError::noPublicKey());
}

TEST(UpdateSignatures, OnlyThePublishersSignatureOfTheseBytesHolds) {
    test::TestFolder folder;
    test::SigningKey publisher;
    test::SigningKey stranger;
    const std::string bytes = "an archive's bytes\n";
    test::writeFile(folder / "a.zip", bytes);
    const std::string key = publisher.publicKeyBase64();
    EXPECT_EQ(decodeBase64(key)->size(), 32u);
    EXPECT_EQ(encodeBase64(*decodeBase64(key)), key);
    EXPECT_EQ(verifyFileSignature(folder / "a.zip", publisher.sign(bytes) + "\n", key),
              SignatureCheck::valid);
    EXPECT_EQ(verifyFileSignature(folder / "a.zip", stranger.sign(bytes), key),
              SignatureCheck::mismatch);
    EXPECT_EQ(verifyFileSignature(folder / "a.zip", publisher.sign(bytes + " "), key),
              SignatureCheck::mismatch);
    EXPECT_EQ(verifyFileSignature(folder / "a.zip", "c2hvcnQ=", key), SignatureCheck::malformed);
    EXPECT_EQ(verifyFileSignature(folder / "a.zip", "not base64!", key), SignatureCheck::malformed);
    EXPECT_EQ(verifyFileSignature(folder / "a.zip", publisher.sign(bytes), "c2hvcnQ="),
              SignatureCheck::badKey);
    EXPECT_EQ(verifyFileSignature(folder / "none.zip", publisher.sign(bytes), key),
              SignatureCheck::unreadable);
    test::writeFile(folder / "empty.zip", "");
    EXPECT_EQ(verifyFileSignature(folder / "empty.zip", publisher.sign(""), key),
              SignatureCheck::valid);
    EXPECT_EQ(decodeBase64("YWJj"), "abc");
    EXPECT_EQ(decodeBase64("YWI="), "ab");
    EXPECT_EQ(decodeBase64("YQ=="), "a");
    EXPECT_EQ(decodeBase64("YQ="), std::nullopt);
    EXPECT_EQ(decodeBase64("Y=Q="), std::nullopt);
}

TEST_F(UpdaterDisk, RunningAProgramCapturesBothOutputsAndItsStatus) {
    const auto result =
        runProcess("/bin/sh", {"-c", "printf '  out \\n\\n'; printf ' err\\n' >&2; exit 4"});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.output, "out");
    EXPECT_EQ(result.error, "err");

    EXPECT_EQ(runProcess("/bin/sh", {"-c", "kill -9 $$"}).status, 128 + 9);
    const auto missing = runProcess(folder / "no-such-program", {});
    EXPECT_EQ(missing.status, -1);
    EXPECT_FALSE(missing.startFailure.empty());
    // A program that hangs is ended at its time limit.
    EXPECT_EQ(runProcess("/bin/sleep", {"60"}, 0.3).status, 128 + 9);
}

TEST_F(UpdaterDisk, ReplacementSwapsWholeFoldersAndRemovesTheOldOneLast) {
    const fs::path apps = folder / "Applications";
    const fs::path destination = apps / "ZarvoRecorder.app";
    const fs::path work = folder / "ZarvoUpdater-1";
    ASSERT_FALSE(extract(test::FakeApplication("ZarvoRecorder.app", "x", "1.0"), apps));
    test::writeFile(destination / "only-in-old.txt", "old");
    ASSERT_FALSE(extract(test::FakeApplication("ZarvoRecorder.app", "x", "2.0"), work / "ex"));
    // What a replacement cut short by a power loss left beside it.
    fs::create_directories(apps / ".ZarvoRecorder.app.new-99/bin");
    fs::create_directories(apps / ".ZarvoRecorder.app.old-98");

    // A process that has already ended is not waited for.
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(replaceApplication(child, work / "ex/ZarvoRecorder.app", destination, work, false));
    EXPECT_NE(test::readFile(destination / "Info.json").find("\"2.0\""), std::string::npos);
    EXPECT_FALSE(fs::exists(destination / "only-in-old.txt"));
    EXPECT_FALSE(fs::exists(work));
    EXPECT_EQ(tree(apps), (std::vector<std::string>{
                              "ZarvoRecorder.app", "ZarvoRecorder.app/Info.json",
                              "ZarvoRecorder.app/bin", "ZarvoRecorder.app/bin/zarvo-recorder"}));

    // Into a folder that does not exist yet.
    const fs::path fresh = folder / "home/Applications/ZarvoRecorder.app";
    ASSERT_FALSE(extract(test::FakeApplication("ZarvoRecorder.app", "x", "3.0"), work / "ex"));
    ASSERT_TRUE(replaceApplication(0, work / "ex/ZarvoRecorder.app", fresh, work, false));
    EXPECT_NE(test::readFile(fresh / "Info.json").find("\"3.0\""), std::string::npos);

    // A new copy that is not there leaves the installed one whole.
    EXPECT_FALSE(replaceApplication(0, work / "gone.app", destination, work, false));
    EXPECT_NE(test::readFile(destination / "Info.json").find("\"2.0\""), std::string::npos);
    EXPECT_EQ(tree(apps).size(), 4u);

    // A process that does not quit in time: nothing is replaced.
    ASSERT_FALSE(extract(test::FakeApplication("ZarvoRecorder.app", "x", "4.0"), work / "ex"));
    EXPECT_FALSE(replaceApplication(::getpid(), work / "ex/ZarvoRecorder.app", destination, work,
                                    false, 0.2));
    EXPECT_NE(test::readFile(destination / "Info.json").find("\"2.0\""), std::string::npos);
    EXPECT_FALSE(fs::exists(work));

    // A cut between the two renames of a file system without exchange left the installed copy
    // aside and no destination: the next replacement puts it back before going on.
    fs::rename(destination, apps / ".ZarvoRecorder.app.old-97");
    EXPECT_FALSE(replaceApplication(0, work / "gone.app", destination, work, false));
    EXPECT_NE(test::readFile(destination / "Info.json").find("\"2.0\""), std::string::npos);
    EXPECT_EQ(tree(apps).size(), 4u);
}

}  // namespace
}  // namespace zarvo
