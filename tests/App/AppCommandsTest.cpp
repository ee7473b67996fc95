#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <variant>

#include "App/ui/AppCommands.h"
#include "App/ui/ContentView.h"
#include "App/ui/MainWindow.h"
#include "App/ui/MenuBar.h"
#include "App/ui/StatusBar.h"
#include "App/ui/UpdateSheetView.h"
#include "App/updater/ZarvoUpdater.h"
#include "tests/App/ModelFixture.h"
#include "tests/App/Screenshots.h"

namespace zarvo {
namespace {

// The window with the updater, help and about commands, the updater reading a release record
// from a stand-in loader.
class AppCommandsTest : public test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        ZarvoUpdater::Options options;
        options.mainQueue = &queue_;
        options.defaults = defaults_;
        options.currentVersion = "1.0";
        options.environment = {{"ZARVO_UPDATE_URL", "http://127.0.0.1:1/manifest.json"}};
        options.dataLoader = [this](const HttpRequest&,
                                    const ProgressHandler&) -> UpdateOutcome<HttpResponse> {
            ++requests_;
            return HttpResponse{200,
                                R"({"version": "1.2", "url": "http://127.0.0.1:1/u.zip",
                                    "sha256": "00", "notes_en": "Faster.", "notes_fr": "Plus vite."})",
                                false};
        };
        options.terminateApp = [] {};
        updater_ = std::make_unique<ZarvoUpdater>(std::move(options));
        window_ = std::make_unique<MainWindow>(*model_, [] {});
        commands_ = new AppCommands(*window_, *model_, *updater_);
        window_->show();
        QCoreApplication::processEvents();
    }
    void TearDown() override {
        window_.reset();
        updater_.reset();
        ModelFixture::TearDown();
    }

    std::atomic<int> requests_{0};
    std::unique_ptr<ZarvoUpdater> updater_;
    std::unique_ptr<MainWindow> window_;
    AppCommands* commands_ = nullptr;
};

TEST_F(AppCommandsTest, MenusStatusBarAndInspectorReachTheUpdaterHelpAndAbout) {
    // The application menu starts with About and Check for Updates…; the Help menu follows the
    // Language menu and opens with F1.
    const auto items = window_->menus()->applicationMenu()->actions();
    ASSERT_GE(items.size(), 4);
    EXPECT_EQ(items[0]->text(), "About ZarvoRecorder");
    EXPECT_EQ(items[1]->text(), QString::fromUtf8("Check for Updates…"));
    EXPECT_TRUE(items[2]->isSeparator());
    const auto menus = window_->menuBar()->actions();
    EXPECT_EQ(menus.last()->menu(), commands_->helpMenu());
    EXPECT_EQ(commands_->helpMenu()->actions().first()->shortcut(),
              QKeySequence(QKeySequence::HelpContents));

    // No release known yet: no update button; the version is the way to the about window.
    EXPECT_FALSE(commands_->updateButton()->isVisible());
    EXPECT_EQ(window_->content()->statusBar()->versionLabel()->toolTip(), "About ZarvoRecorder");

    // The automatic check is the updater's own setting.
    ASSERT_TRUE(commands_->autoCheckSwitch()->isChecked());
    commands_->autoCheckSwitch()->click();
    EXPECT_FALSE(updater_->autoCheckOnLaunch());
    EXPECT_EQ(defaults_->objectForKey(ZarvoUpdater::kAutoCheckKey), false);

    // Checking from the inspector shows the sheet over the window and finds the release; the
    // status bar then offers it, and its button brings the sheet back.
    commands_->checkButton()->click();
    EXPECT_TRUE(updater_->isUpdateSheetPresented());
    ASSERT_TRUE(waitFor(
        [&] { return std::holds_alternative<ZarvoUpdater::UpdateAvailable>(updater_->state()); }));
    EXPECT_EQ(requests_, 1);
    EXPECT_TRUE(commands_->sheet()->isVisible());
    updater_->setUpdateSheetPresented(false);
    QCoreApplication::processEvents();
    EXPECT_FALSE(commands_->sheet()->isVisible());
    EXPECT_TRUE(commands_->updateButton()->isVisible());
    EXPECT_EQ(commands_->updateButton()->text(), QString::fromUtf8("↑ Update v1.2"));
    test::saveScreenshot(*window_, "window-update-available-en");
    commands_->updateButton()->click();
    EXPECT_TRUE(updater_->isUpdateSheetPresented());
    updater_->setUpdateSheetPresented(false);

    // In French, every text of the commands follows.
    language::set(AppLanguage::fr, *defaults_, false);
    QCoreApplication::processEvents();
    EXPECT_EQ(items[0]->text(), QString::fromUtf8("À propos de ZarvoRecorder"));
    EXPECT_EQ(commands_->updateButton()->text(), QString::fromUtf8("↑ MAJ v1.2"));
    EXPECT_EQ(commands_->checkButton()->text(), QString::fromUtf8("Vérifier MAJ…"));
    EXPECT_EQ(commands_->autoCheckSwitch()->text(), "Mises à jour auto");
    test::saveScreenshot(*window_, "window-update-available-fr");
}

}  // namespace
}  // namespace zarvo
