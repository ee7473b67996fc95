// The update sheet in every state of the updater, in both languages: its texts, its buttons and
// what they do, with pictures in build/screenshots/update-STATE-LANGUAGE.png.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "App/language/AppLanguage.h"
#include "App/ui/UpdateSheetView.h"
#include "App/updater/ZarvoUpdater.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/App/Screenshots.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using U = ZarvoUpdater;

class UpdateSheet : public ::testing::Test {
  protected:
    void SetUp() override {
        language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"en-US"});
        language::resetForTesting(AppLanguage::en);
    }
    void TearDown() override {
        language::setSystemPreferredLanguagesForTesting(std::nullopt);
        language::resetForTesting(AppLanguage::system);
    }

    // A copy carrying the publisher's key unless told otherwise, running from `app`.
    std::unique_ptr<ZarvoUpdater> makeUpdater(bool keyed = true, fs::path app = {}) {
        ZarvoUpdater::Options options;
        options.mainQueue = &loop;
        options.defaults = defaults;
        options.currentVersion = "1.4.2";
        options.currentAppPath = std::move(app);
        if (keyed) {
            options.infoDictionary = {
                {ZarvoUpdater::kPublicKeyKey, "O2onvM62pC1io6jQKm8Nc2UyFXcd4kOmOsBIoYtZ2ik="}};
        }
        options.environment = {{"ZARVO_UPDATE_URL", "http://127.0.0.1:9/manifest.json"}};
        options.dataLoader = [this](const HttpRequest&, const ProgressHandler&) {
            ++requests;
            return UpdateOutcome<HttpResponse>(HttpResponse{200, manifest});
        };
        return std::make_unique<ZarvoUpdater>(options);
    }

    static std::vector<QString> buttons(const QWidget& sheet) {
        std::vector<QString> texts;
        for (auto* button : sheet.findChildren<QPushButton*>()) {
            if (button->isVisible()) {
                texts.push_back(button->text() + (button->isEnabled() ? "" : " (off)") +
                                (button->isDefault() ? " (default)" : ""));
            }
        }
        return texts;
    }
    static QString texts(const QWidget& sheet) {
        QString all;
        for (auto* label : sheet.findChildren<QLabel*>()) {
            if (label->isVisible()) {
                all += label->text() + "\n";
            }
        }
        return all;
    }
    static QPushButton* button(const QWidget& sheet, const QString& text) {
        for (auto* found : sheet.findChildren<QPushButton*>()) {
            if (found->isVisible() && found->text() == text) {
                return found;
            }
        }
        return nullptr;
    }

    test::TestFolder folder;
    RunLoop loop;
    std::shared_ptr<UserDefaults> defaults =
        std::make_shared<UserDefaults>(folder / "settings.json");
    std::string manifest = R"({"version": "1.5", "url": "http://127.0.0.1:9/z.zip",
        "notes_fr": "Enregistrement plus rapide.", "notes_en": "Faster recording."})";
    int requests = 0;
};

ReleaseInfo release() {
    ReleaseInfo result;
    result.version = "1.5.0";
    result.downloadURL = "https://example.org/ZarvoRecorder-1.5.0.zip";
    result.notesFR =
        "Les sources NDI se reconnectent d’elles-mêmes après une coupure du réseau.\n"
        "Le son de l’ordinateur reste calé sur l’image pendant les longues prises.\n"
        "Nouvelles dispositions : colonne et focus.";
    result.notesEN =
        "NDI sources reconnect by themselves after a network drop.\n"
        "The computer's sound stays in step with the picture during long takes.\n"
        "New layouts: column and focus.";
    return result;
}

TEST_F(UpdateSheet, EveryStateShowsItsTextsAndButtonsInBothLanguages) {
    struct Expected {
        const char* name;
        U::State state;
        QString english;
        QString french;
        std::vector<QString> englishButtons;
        std::vector<QString> frenchButtons;
    };
    const std::string longMessage =
        "Impossible de joindre le serveur de mise à jour : Failed to connect to "
        "updates.example.org port 443 after 2 ms: Connection refused";
    const std::vector<Expected> table = {
        {"idle",
         U::Idle{},
         "Look for a newer version",
         "Rechercher une version plus récente",
         {"Check Again", "OK (default)"},
         {"Rechercher à nouveau", "OK (default)"}},
        {"checking",
         U::Checking{},
         "Checking for updates…",
         "Recherche de mises à jour…",
         {"Check Again (off)", "OK (default)"},
         {"Rechercher à nouveau (off)", "OK (default)"}},
        {"upToDate",
         U::UpToDate{"1.4.2"},
         "You are running the latest version (v1.4.2).",
         "Vous utilisez la dernière version (v1.4.2).",
         {"Check Again", "OK (default)"},
         {"Rechercher à nouveau", "OK (default)"}},
        {"updateAvailable",
         U::UpdateAvailable{release()},
         "New version available: v1.5.0",
         "Nouvelle version disponible : v1.5.0",
         {"Later", "Install and Relaunch (default)"},
         {"Plus tard", "Installer et relancer (default)"}},
        {"downloading",
         U::Downloading{0.42},
         "Downloading update…",
         "Téléchargement de la mise à jour…",
         {"Close (off)"},
         {"Fermer (off)"}},
        {"installing",
         U::Installing{},
         "Verifying and installing…",
         "Vérification et installation…",
         {"Close (off)"},
         {"Fermer (off)"}},
        {"failed",
         U::Failed{longMessage},
         "Update check failed",
         "La vérification a échoué",
         {"Retry", "Close"},
         {"Réessayer", "Fermer"}},
    };
    auto updater = makeUpdater();
    UpdateSheetView sheet(*updater);
    for (const Expected& expected : table) {
        for (AppLanguage chosen : {AppLanguage::en, AppLanguage::fr}) {
            const bool english = chosen == AppLanguage::en;
            SCOPED_TRACE(std::string(expected.name) + (english ? " en" : " fr"));
            language::set(chosen, *defaults, false);
            updater->setStateForTesting(expected.state);
            const QImage picture = test::saveScreenshot(
                sheet, QString("update-%1-%2").arg(expected.name, english ? "en" : "fr"));
            const QString shown = texts(sheet);
            EXPECT_TRUE(shown.contains(english ? expected.english : expected.french))
                << shown.toStdString();
            EXPECT_TRUE(
                shown.contains(english ? "ZarvoRecorder Update" : "Mise à jour de ZarvoRecorder"));
            EXPECT_TRUE(
                shown.contains(english ? "Current version: v1.4.2" : "Version actuelle : v1.4.2"));
            EXPECT_EQ(buttons(sheet), english ? expected.englishButtons : expected.frenchButtons);
            EXPECT_EQ(sheet.findChild<QCheckBox*>()->text(),
                      english ? "Check automatically on launch"
                              : "Rechercher automatiquement au lancement");
            // No text is cut: every label has the height its wrapped text needs.
            for (auto* label : sheet.findChildren<QLabel*>()) {
                if (label->isVisible() && !label->text().isEmpty()) {
                    EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                        << label->text().toStdString();
                    EXPECT_LE(label->geometry().right(), label->parentWidget()->width());
                }
            }
            EXPECT_EQ(picture.width(), sheet.width());
            if (expected.name == std::string("downloading")) {
                EXPECT_EQ(sheet.findChild<QProgressBar*>()->value(), 420);
            }
            if (expected.name == std::string("updateAvailable")) {
                const QString notes = sheet.findChild<QTextBrowser*>()->toPlainText();
                EXPECT_TRUE(notes.startsWith(english ? "NDI sources" : "Les sources NDI"));
            }
        }
    }
    language::set(AppLanguage::en, *defaults, false);
}

TEST_F(UpdateSheet, TheButtonsDriveTheUpdater) {
    auto updater = makeUpdater();
    UpdateSheetView sheet(*updater);
    sheet.followPresentation();
    EXPECT_FALSE(sheet.isVisible());
    updater->setUpdateSheetPresented(true);
    EXPECT_TRUE(sheet.isVisible()) << "shown while the updater asks for it";

    // Check Again: checking (the button off), then the release found.
    button(sheet, "Check Again")->click();
    EXPECT_EQ(buttons(sheet), (std::vector<QString>{"Check Again (off)", "OK (default)"}));
    ASSERT_TRUE(loop.runUntil(
        [&] { return std::holds_alternative<U::UpdateAvailable>(updater->state()); }, 10));
    QApplication::processEvents();
    EXPECT_EQ(requests, 1);
    EXPECT_TRUE(texts(sheet).contains("New version available: v1.5"));
    EXPECT_EQ(sheet.findChild<QTextBrowser*>()->toPlainText(), "Faster recording.");

    // In French at once.
    language::set(AppLanguage::fr, *defaults, false);
    EXPECT_TRUE(texts(sheet).contains("Nouvelle version disponible : v1.5"));
    EXPECT_EQ(sheet.findChild<QTextBrowser*>()->toPlainText(), "Enregistrement plus rapide.");
    language::set(AppLanguage::en, *defaults, false);

    // The toggle is the stored setting.
    sheet.findChild<QCheckBox*>()->click();
    EXPECT_FALSE(updater->autoCheckOnLaunch());
    EXPECT_EQ(defaults->objectForKey(U::kAutoCheckKey), nlohmann::json(false));

    // Install: the release has no signature, so it fails at once, with Retry and Close.
    button(sheet, "Install and Relaunch")->click();
    QApplication::processEvents();
    EXPECT_EQ(buttons(sheet), (std::vector<QString>{"Retry", "Close"}));
    button(sheet, "Retry")->click();
    ASSERT_TRUE(loop.runUntil(
        [&] { return std::holds_alternative<U::UpdateAvailable>(updater->state()); }, 10));
    QApplication::processEvents();
    EXPECT_EQ(requests, 2);

    // Later closes the sheet.
    button(sheet, "Later")->click();
    EXPECT_FALSE(updater->isUpdateSheetPresented());
    EXPECT_FALSE(sheet.isVisible());

    // While downloading it cannot be closed, not even with Escape.
    updater->setUpdateSheetPresented(true);
    updater->setStateForTesting(U::Downloading{0.5});
    sheet.reject();
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_TRUE(updater->isUpdateSheetPresented());
    updater->setStateForTesting(U::UpToDate{"1.4.2"});
    sheet.reject();
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_FALSE(updater->isUpdateSheetPresented());
}

// A copy that cannot install (no publisher key) or must not (installed by the package manager)
// shows what is new and says where to get it, in both languages.
TEST_F(UpdateSheet, CopiesThatDoNotInstallSayWhereToUpdate) {
    const fs::path packaged = folder / "opt" / "zarvo-recorder";
    fs::create_directories(packaged);
    test::writeFile(packaged / "installed-by-package", "");
    ReleaseInfo withPage = release();
    withPage.htmlURL = "https://github.com/mervane/ZarvoRecorder/releases/tag/v1.5.0";
    struct Expected {
        const char* name;
        std::unique_ptr<ZarvoUpdater> updater;
        QString english;
        QString french;
        std::vector<QString> englishButtons;
        std::vector<QString> frenchButtons;
    };
    Expected table[] = {
        {"noKey",
         makeUpdater(false),
         "does not carry the publisher's key, so it cannot install the update. Download the new "
         "version from the release page.",
         "ne porte pas la clé de l’éditeur\u00a0: elle ne peut pas installer la mise à jour. "
         "Téléchargez la nouvelle version depuis la page de publication.",
         {"Later", "Open Release Page (default)"},
         {"Plus tard", "Ouvrir la page de publication (default)"}},
        {"packageInstalled",
         makeUpdater(true, packaged),
         "installed by the system's package manager: update it there",
         "installée par le gestionnaire de paquets du système\u00a0: mettez-la à jour avec lui",
         {"OK (default)"},
         {"OK (default)"}},
    };
    std::vector<QUrl> opened;
    for (Expected& expected : table) {
        UpdateSheetView sheet(*expected.updater, nullptr,
                              [&](const QUrl& page) { opened.push_back(page); });
        for (AppLanguage chosen : {AppLanguage::en, AppLanguage::fr}) {
            const bool english = chosen == AppLanguage::en;
            SCOPED_TRACE(std::string(expected.name) + (english ? " en" : " fr"));
            language::set(chosen, *defaults, false);
            expected.updater->setStateForTesting(U::UpdateAvailable{withPage});
            test::saveScreenshot(sheet,
                                 QString("update-%1-%2").arg(expected.name, english ? "en" : "fr"));
            const QString shown = texts(sheet);
            EXPECT_TRUE(shown.contains(english ? "New version available: v1.5.0"
                                               : "Nouvelle version disponible : v1.5.0"));
            EXPECT_TRUE(shown.contains(english ? expected.english : expected.french))
                << shown.toStdString();
            EXPECT_EQ(buttons(sheet), english ? expected.englishButtons : expected.frenchButtons);
            for (auto* label : sheet.findChildren<QLabel*>()) {
                if (label->isVisible() && !label->text().isEmpty()) {
                    EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                        << label->text().toStdString();
                }
            }
        }
        language::set(AppLanguage::en, *defaults, false);
        expected.updater->setUpdateSheetPresented(true);
        sheet.followPresentation();
        ASSERT_TRUE(sheet.isVisible());
        // The default button: the release page in the browser, or just closing.
        for (auto* found : sheet.findChildren<QPushButton*>()) {
            if (found->isVisible() && found->isDefault()) {
                found->click();
            }
        }
        EXPECT_FALSE(expected.updater->isUpdateSheetPresented());
        EXPECT_TRUE(std::holds_alternative<U::UpdateAvailable>(expected.updater->state()))
            << "nothing downloaded";
    }
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toString().toStdString(), *withPage.htmlURL);
    EXPECT_EQ(requests, 0);
}

}  // namespace
}  // namespace zarvo
