#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleOptionFrame>
#include <QTest>

#include <atomic>
#include <variant>

#include "App/ui/AppCommands.h"
#include "App/ui/ContentView.h"
#include "App/ui/InspectorView.h"
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
    // The application menu starts with About, Check for Updates… and Remote Control…; the Help
    // menu follows the Language menu and opens with F1.
    const auto items = window_->menus()->applicationMenu()->actions();
    ASSERT_GE(items.size(), 5);
    EXPECT_EQ(items[0]->text(), "About ZarvoRecorder");
    EXPECT_EQ(items[1]->text(), QString::fromUtf8("Check for Updates…"));
    EXPECT_EQ(items[2], commands_->remoteControlAction());
    EXPECT_EQ(items[2]->text(), QString::fromUtf8("Remote Control…"));
    EXPECT_TRUE(items[3]->isSeparator());
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
    EXPECT_EQ(items[2]->text(), QString::fromUtf8("Télécommande…"));
    EXPECT_EQ(commands_->updateButton()->text(), QString::fromUtf8("↑ MAJ v1.2"));
    EXPECT_EQ(commands_->checkButton()->text(), QString::fromUtf8("Vérifier MAJ…"));
    EXPECT_EQ(commands_->autoCheckSwitch()->text(), "Mises à jour auto");
    test::saveScreenshot(*window_, "window-update-available-fr");
}

// --- The inspector at the window's default size --------------------------------------------

// The smallest screen the window is made for, less the room a desktop keeps for its panel and
// the window's title bar.
constexpr QSize kSmallScreen(1366, 768);
constexpr int kDesktopRoom = 64;

// Whether a closed menu is as wide as the toolkit says a menu showing only that text needs.
bool menuShowsWhole(const QComboBox* menu, const QString& text) {
    QComboBox probe;
    probe.setFont(menu->font());
    probe.setSizeAdjustPolicy(QComboBox::AdjustToContents);
    probe.addItem(text);
    return menu->width() >= probe.sizeHint().width();
}

// Whether a field is wide enough for the text (a value or its placeholder) in its contents.
bool fieldShowsWhole(const QLineEdit* field, const QString& text) {
    QStyleOptionFrame option;
    option.initFrom(field);
    option.rect = field->rect();
    option.lineWidth = field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
    const QRect contents =
        field->style()->subElementRect(QStyle::SE_LineEditContents, &option, field);
    const int margins = field->textMargins().left() + field->textMargins().right() + 2 * 2;
    return field->fontMetrics().horizontalAdvance(text) + margins <= contents.width();
}

// The window as the program opens it, idle and during a take, in English and in French: every
// menu and field of the inspector shows its current and its longest value whole, and the whole
// column is seen without scrolling, on the smallest screen the window is made for.
TEST_F(AppCommandsTest, InspectorShowsEveryValueWholeWithoutScrollingAtTheDefaultSize) {
    EXPECT_LE(MainWindow::kDefaultWidth, kSmallScreen.width());
    EXPECT_LE(MainWindow::kDefaultHeight + kDesktopRoom, kSmallScreen.height());
    chooseOnline("HOST (Mixer)", 1280, 720);
    controller_->setSound("HOST (Mixer)");
    controller_->setOutput("both");
    InspectorView& view = *window_->content()->inspector();
    for (const bool recording : {false, true}) {
        if (recording) {
            startTake();
        }
        for (const AppLanguage language : {AppLanguage::en, AppLanguage::fr}) {
            const QString name = QStringLiteral("window-default-size-") +
                                 (recording ? "recording" : "idle") +
                                 (language == AppLanguage::fr ? "-fr" : "-en");
            const std::string where = name.toStdString();
            language::set(language, *defaults_, false);
            ASSERT_TRUE(waitFor([&] { return model_->language() == language; })) << where;
            const QSize size(MainWindow::kDefaultWidth, MainWindow::kDefaultHeight);
            window_->resize(size);
            QTest::qWait(100);  // every layout pass the language change set off
            test::saveScreenshot(*window_, name, size);

            for (QComboBox* menu : {view.codecMenu(), view.fpsMenu(), view.soundMenu(),
                                    view.sizeMenu(), view.languageMenu()}) {
                EXPECT_TRUE(menuShowsWhole(menu, menu->currentText()))
                    << where << ": " << menu->currentText().toStdString();
                for (int i = 0; i < menu->count(); ++i) {
                    EXPECT_TRUE(menuShowsWhole(menu, menu->itemText(i)))
                        << where << ": " << menu->itemText(i).toStdString();
                }
            }
            for (QLineEdit* field : {view.bitrateField(), view.nameField()}) {
                EXPECT_TRUE(fieldShowsWhole(field, field->placeholderText()))
                    << where << ": " << field->placeholderText().toStdString();
            }
            EXPECT_TRUE(fieldShowsWhole(view.gapField(), QStringLiteral("1000"))) << where;

            // The column is seen whole: nothing beyond its right edge, nothing to scroll to.
            const QScrollArea* scroll = view.scrollArea();
            EXPECT_LE(scroll->widget()->width(), scroll->viewport()->width()) << where;
            EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0) << where;
            EXPECT_LE(view.geometry().right(), window_->content()->width()) << where;
        }
    }
}

}  // namespace
}  // namespace zarvo
