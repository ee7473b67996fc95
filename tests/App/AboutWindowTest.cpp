#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <filesystem>

#include "App/language/AppLanguage.h"
#include "App/ui/AboutWindow.h"
#include "App/ui/Theme.h"
#include "tests/App/Screenshots.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

AboutFacts installedFacts(bool ndi, std::optional<int> osc) {
    return AboutFacts::ofBundle("/home/someone/ZarvoRecorder.app",
                                {{"CFBundleShortVersionString", "0.9"}, {"CFBundleVersion", "12"}},
                                ndi, osc);
}

QStringList labelTexts(const QWidget& view) {
    QStringList texts;
    for (const QLabel* label : view.findChildren<QLabel*>()) {
        texts << label->text();
    }
    return texts;
}

// Every text of the view can be read whole: no label is smaller than its text needs.
void expectNothingClipped(const QWidget& view) {
    for (const QLabel* label : view.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) {
            continue;
        }
        SCOPED_TRACE(label->text().toStdString());
        if (label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()));
        } else {
            EXPECT_GE(label->width(), label->minimumSizeHint().width());
        }
        const QRect inView(label->mapTo(&view, QPoint(0, 0)), label->size());
        EXPECT_TRUE(view.rect().contains(inView));
    }
    for (const QPushButton* button : view.findChildren<QPushButton*>()) {
        SCOPED_TRACE(button->text().toStdString());
        EXPECT_GE(button->width(), button->sizeHint().width());
    }
}

class AboutWindowTest : public ::testing::Test {
  protected:
    void TearDown() override { language::resetForTesting(AppLanguage::system); }
};

TEST_F(AboutWindowTest, TheVersionComesFromTheInstalledCopyOnly) {
    EXPECT_EQ(installedFacts(false, std::nullopt).versionText(), "v0.9 (12)");
    const nlohmann::json info = {{"CFBundleShortVersionString", "0.9"}, {"CFBundleVersion", "12"}};
    EXPECT_EQ(AboutFacts::ofBundle("/work/build/App", info, false, {}).versionText(), "dev");
    EXPECT_EQ(AboutFacts::ofBundle("/opt/ZarvoRecorder.app",
                                   {{"CFBundleShortVersionString", "@VERSION@"}}, false, {})
                  .versionText(),
              "dev");

    // The package manager's copy, in /opt/zarvo-recorder, with its marker: its release version
    // and build; the same folder without the marker is a build tree.
    test::TestFolder folder;
    const std::filesystem::path packaged = folder / "zarvo-recorder";
    std::filesystem::create_directories(packaged);
    const nlohmann::json release = {{"CFBundleShortVersionString", "1.4.0"},
                                    {"CFBundleVersion", "140"}};
    EXPECT_EQ(AboutFacts::ofBundle(packaged.string(), release, false, {}).versionText(), "dev");
    test::writeFile(packaged / "installed-by-package", "");
    EXPECT_EQ(AboutFacts::ofBundle(packaged.string(), release, false, {}).versionText(),
              "v1.4.0 (140)");
}

TEST_F(AboutWindowTest, TheViewShowsEveryElementTrueForThisProgramInBothLanguages) {
    for (AppLanguage language : {AppLanguage::en, AppLanguage::fr}) {
        SCOPED_TRACE(language::rawValue(language));
        language::resetForTesting(language);
        const bool english = language == AppLanguage::en;
        int helps = 0;
        int checks = 0;
        AboutWindowController about;
        about.show(
            installedFacts(true, 9230), [&] { ++helps; }, [&] { ++checks; });
        QApplication::processEvents();
        QWidget& window = *about.window();
        EXPECT_EQ(window.windowTitle(),
                  english ? "About ZarvoRecorder" : "À propos de ZarvoRecorder");
        EXPECT_EQ(window.width(), 580);
        EXPECT_GE(window.height(), 400);
        // Taller only as the texts need it in the desktop's font: the French ones run longer.
        EXPECT_LE(window.height(), 480);
        EXPECT_EQ(window.palette().color(QPalette::Window), theme::panel);
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_LE((window.geometry().center() - screen.center()).manhattanLength(), 24);

        const QStringList texts = labelTexts(*about.view());
        const QString all = texts.join('\n');
        EXPECT_TRUE(texts.contains("ZarvoRecorder"));
        EXPECT_TRUE(texts.contains("v0.9 (12)"));
        EXPECT_TRUE(texts.contains(english ? "NDI on" : "NDI actif"));
        EXPECT_TRUE(texts.contains("OSC :9230"));
        EXPECT_TRUE(texts.contains(english ? "CAPABILITIES & ENGINE" : "CAPACITÉS & MOTEUR"));
        for (const char* title : {"Local & NDI Sources", "NDI & Computer Sound",
                                  "Encoding & Performance", "OSC, OSCQuery & MCP Control"}) {
            EXPECT_EQ(texts.contains(title), english) << title;
        }
        EXPECT_TRUE(all.contains("PulseAudio or PipeWire") == english);
        EXPECT_TRUE(all.contains("libx264"));
        EXPECT_TRUE(all.contains("Avahi (DNS-SD)"));
        EXPECT_TRUE(texts.contains("FFmpeg · Qt 6 · PulseAudio · Avahi"));
        EXPECT_TRUE(all.contains(english ? "NDI® is a registered trademark of Vizrt NDI AB"
                                         : "NDI® est une marque déposée de Vizrt NDI AB"));
        for (const char* licence : {"x264 (GPL)", "x265 (GPL)", "Qt (LGPL)", "OpenSSL (Apache 2.0)",
                                    "libarchive (BSD)", "nlohmann/json (MIT)"}) {
            EXPECT_TRUE(all.contains(licence)) << licence;
        }
        for (const char* falseHere :
             {"Mac", "Metal", "Core Audio", "Bonjour", "GPU", "Hardware", "Syphon"}) {
            EXPECT_FALSE(all.contains(falseHere)) << falseHere;
        }
        expectNothingClipped(*about.view());
        test::saveScreenshot(
            window, QStringLiteral("about-") + QString::fromStdString(language::rawValue(language)),
            window.size());

        // The buttons.
        const auto button = [&](const char* name) {
            return about.view()->findChild<QPushButton*>(QLatin1String(name));
        };
        ASSERT_NE(button("aboutHelp"), nullptr);
        EXPECT_EQ(button("aboutHelp")->text(), english ? "Help" : "Aide");
        EXPECT_EQ(button("aboutUpdates")->text(),
                  english ? "Check for Updates…" : "Rechercher des mises à jour…");
        button("aboutHelp")->click();
        button("aboutUpdates")->click();
        EXPECT_EQ(helps, 1);
        EXPECT_EQ(checks, 1);
        button("aboutOK")->click();
        EXPECT_FALSE(window.isVisible());
    }
}

TEST_F(AboutWindowTest, WithoutNdiOrOscThePillsSaySo) {
    for (AppLanguage language : {AppLanguage::en, AppLanguage::fr}) {
        language::resetForTesting(language);
        AboutWindowController about;
        about.show(AboutFacts{}, nullptr, nullptr);
        const QStringList texts = labelTexts(*about.view());
        const bool english = language == AppLanguage::en;
        EXPECT_TRUE(texts.contains("dev"));
        EXPECT_TRUE(texts.contains(english ? "NDI off" : "NDI inactif"));
        EXPECT_TRUE(texts.contains(english ? "OSC offline" : "OSC hors ligne"));
        // Buttons without actions do nothing.
        about.view()->findChild<QPushButton*>("aboutHelp")->click();
        about.view()->findChild<QPushButton*>("aboutUpdates")->click();
    }
}

TEST_F(AboutWindowTest, ClickingTheVersionCopiesItAndSaysCopiedForAMoment) {
    language::resetForTesting(AppLanguage::en);
    AboutWindowController about;
    about.show(installedFacts(true, 9230), nullptr, nullptr);
    QApplication::processEvents();
    VersionBadge& badge = *about.view()->badge();
    EXPECT_EQ(badge.toolTip(), "Click to copy version to the clipboard");
    const int width = badge.width();

    QGuiApplication::clipboard()->clear();
    QTest::mouseClick(&badge, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "v0.9 (12)");
    EXPECT_EQ(badge.text(), "Copied");
    EXPECT_TRUE(badge.showsCopied());
    EXPECT_EQ(badge.width(), width);  // the row does not move
    test::saveScreenshot(*about.window(), "about-copied-en", about.window()->size());

    EXPECT_TRUE(QTest::qWaitFor([&] { return !badge.showsCopied(); }, 10000));
    EXPECT_EQ(badge.text(), "v0.9 (12)");
}

TEST_F(AboutWindowTest, ShowingAgainReusesTheWindowWithItsContentMadeAgain) {
    language::resetForTesting(AppLanguage::en);
    AboutWindowController about;
    about.show(installedFacts(false, std::nullopt), nullptr, nullptr);
    QWidget* window = about.window();
    window->close();
    EXPECT_FALSE(window->isVisible());

    language::resetForTesting(AppLanguage::fr);
    about.show(installedFacts(true, 9235), nullptr, nullptr);
    QApplication::processEvents();
    EXPECT_EQ(about.window(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "À propos de ZarvoRecorder");
    const QStringList texts = labelTexts(*window);
    EXPECT_TRUE(texts.contains("OSC :9235"));
    EXPECT_TRUE(texts.contains("NDI actif"));
    EXPECT_FALSE(texts.contains("NDI off"));  // the old content is gone
    EXPECT_EQ(window->findChildren<QWidget*>("aboutView").size(), 1);
}

}  // namespace
}  // namespace zarvo
