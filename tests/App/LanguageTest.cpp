#include <gtest/gtest.h>

#include <QCoreApplication>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "App/language/AppLanguage.h"
#include "App/language/Text.h"
#include "App/language/ToolkitTranslations.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using language::detect;
using language::parse;
using language::resolve;

class LanguageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        language::resetForTesting(AppLanguage::system);
        language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"en-US"});
    }
    void TearDown() override {
        language::useMainQueue(nullptr);
        language::setSystemPreferredLanguagesForTesting(std::nullopt);
        language::resetForTesting(AppLanguage::system);
    }

    test::TestFolder folder;
    UserDefaults defaults{folder / "settings.json"};
};

TEST_F(LanguageTest, ParsingAcceptsTheNamesOfBothLanguagesAndNothingElse) {
    EXPECT_EQ(parse(std::string("  Français \n")), AppLanguage::fr);
    EXPECT_EQ(parse(std::string("FRANÇAIS")), AppLanguage::fr);
    EXPECT_EQ(parse(std::string("francais")), AppLanguage::fr);
    EXPECT_EQ(parse(std::string("fr_CA")), AppLanguage::fr);
    EXPECT_EQ(parse(std::string("EN_us")), AppLanguage::en);
    EXPECT_EQ(parse(std::string("English")), AppLanguage::en);
    EXPECT_EQ(parse(std::string("auto")), AppLanguage::system);
    EXPECT_EQ(parse(std::string("System")), AppLanguage::system);
    EXPECT_EQ(parse(std::string("")), std::nullopt);
    EXPECT_EQ(parse(std::string("fra")), std::nullopt);  // neither "fr" nor "fr-…"
    EXPECT_EQ(parse(std::string("de")), std::nullopt);
    EXPECT_EQ(parse(std::nullopt), std::nullopt);
}

TEST_F(LanguageTest, DetectionTakesArgumentsThenEnvironmentThenSettings) {
    const std::map<std::string, std::string> noEnvironment;
    EXPECT_EQ(detect({"--lang", "en"}, noEnvironment, defaults), AppLanguage::en);
    EXPECT_EQ(detect({"--lang=EN_us"}, noEnvironment, defaults), AppLanguage::en);
    // A value that does not parse is passed over and the scan goes on.
    EXPECT_EQ(detect({"--lang", "xx", "--headless", "--lang=fr"}, noEnvironment, defaults),
              AppLanguage::fr);
    EXPECT_EQ(detect({"-AppleLanguage", "en"}, noEnvironment, defaults), AppLanguage::en);
    EXPECT_EQ(detect({"--lang"}, noEnvironment, defaults), AppLanguage::system);

    const std::map<std::string, std::string> environment = {{"ZARVO_LANG", "  Français  "}};
    EXPECT_EQ(detect({}, environment, defaults), AppLanguage::fr);
    EXPECT_EQ(detect({"--lang", "en"}, environment, defaults), AppLanguage::en);

    defaults.setString(language::kLanguageKey, "en");
    EXPECT_EQ(detect({}, noEnvironment, defaults), AppLanguage::en);
    EXPECT_EQ(detect({}, {{"ZARVO_LANG", "nonsense"}}, defaults), AppLanguage::en);
    EXPECT_EQ(detect({}, environment, defaults), AppLanguage::fr);
}

TEST_F(LanguageTest, SystemResolvesThroughThePreferredLanguagesAndFallsBackToFrench) {
    EXPECT_EQ(resolve({"de-DE", "en-GB"}, AppLanguage::system), AppLanguage::en);
    EXPECT_EQ(resolve({"de-DE"}, AppLanguage::system), AppLanguage::fr);
    EXPECT_EQ(resolve({}, AppLanguage::system), AppLanguage::fr);
    EXPECT_EQ(resolve({"FR-be", "en"}, AppLanguage::system), AppLanguage::fr);
    EXPECT_EQ(resolve({"en"}, AppLanguage::fr), AppLanguage::fr);
    EXPECT_EQ(resolve({"fr"}, AppLanguage::en), AppLanguage::en);
}

TEST_F(LanguageTest, TextsAndLabelsFollowTheLanguage) {
    EXPECT_EQ(tx("Fermer", "Close"), "Close");  // system, with an English desktop
    EXPECT_EQ(language::label(AppLanguage::system), "System");
    language::set(AppLanguage::fr, defaults, false);
    EXPECT_EQ(tx("Fermer", "Close"), "Fermer");
    EXPECT_EQ(language::text("Fermer", "Close"), "Fermer");
    EXPECT_EQ(language::label(AppLanguage::system), "Système");
    EXPECT_EQ(language::label(AppLanguage::fr), "Français");
    EXPECT_EQ(language::label(AppLanguage::en), "English");
    language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"de-DE"});
    language::set(AppLanguage::system, defaults, false);
    EXPECT_EQ(tx("Fermer", "Close"), "Fermer");
}

TEST_F(LanguageTest, SettingPersistsBothKeysAndNotifiesOnlyOnChange) {
    std::vector<AppLanguage> notified;
    ScopedObserver observer(
        NotificationCenter::defaultCenter(), language::kDidChangeNotification, nullptr,
        [&](const NotificationCenter::Notification& notification) {
            notified.push_back(*static_cast<const AppLanguage*>(notification.object));
        });

    language::set(AppLanguage::fr, defaults, true);
    EXPECT_EQ(language::current(), AppLanguage::fr);
    EXPECT_EQ(defaults.stringForKey(language::kLanguageKey), "fr");
    EXPECT_EQ(defaults.arrayForKey(language::kAppleLanguagesKey),
              nlohmann::json::array({"fr", "en"}));

    // The same language again: no notification, but both keys are written again.
    defaults.removeObject(language::kLanguageKey);
    defaults.removeObject(language::kAppleLanguagesKey);
    language::set(AppLanguage::fr, defaults, true);
    EXPECT_EQ(defaults.stringForKey(language::kLanguageKey), "fr");
    EXPECT_EQ(defaults.arrayForKey(language::kAppleLanguagesKey),
              nlohmann::json::array({"fr", "en"}));

    language::set(AppLanguage::en, defaults, true);
    EXPECT_EQ(defaults.arrayForKey(language::kAppleLanguagesKey),
              nlohmann::json::array({"en", "fr"}));
    language::set(AppLanguage::system, defaults, true);
    EXPECT_EQ(defaults.stringForKey(language::kLanguageKey), "system");
    EXPECT_EQ(defaults.arrayForKey(language::kAppleLanguagesKey), std::nullopt);
    // Not persisted: the stored choice stays.
    language::set(AppLanguage::en, defaults, false);
    EXPECT_EQ(defaults.stringForKey(language::kLanguageKey), "system");

    EXPECT_EQ(notified, (std::vector<AppLanguage>{AppLanguage::fr, AppLanguage::en,
                                                  AppLanguage::system, AppLanguage::en}));
}

TEST_F(LanguageTest, AChangeFromAnotherThreadIsNotifiedOnTheMainThread) {
    RunLoop mainLoop;
    language::useMainQueue(&mainLoop);
    bool notifiedOnMain = false;
    int notifications = 0;
    ScopedObserver observer(NotificationCenter::defaultCenter(), language::kDidChangeNotification,
                            nullptr, [&](const NotificationCenter::Notification&) {
                                notifiedOnMain = mainLoop.isMainThread();
                                ++notifications;
                            });
    std::thread other([&] { language::set(AppLanguage::fr, defaults, false); });
    other.join();
    EXPECT_EQ(notifications, 0);  // not before the main queue runs
    mainLoop.runUntil([&] { return notifications > 0; }, 5);
    EXPECT_EQ(notifications, 1);
    EXPECT_TRUE(notifiedOnMain);
}

TEST_F(LanguageTest, TheFirstReadDetectsFromTheStandardSettings) {
    test::TestFolder configuration;
    auto standard = std::make_shared<UserDefaults>(configuration / "standard.json");
    standard->setString(language::kLanguageKey, "en");
    language::useStandardDefaults(standard);
    language::resetForTesting();
    // This test program is started without --lang and without ZARVO_LANG.
    test::ScopedEnv noVariable("ZARVO_LANG", nullptr);
    EXPECT_EQ(language::current(), AppLanguage::en);
    EXPECT_EQ(standard->arrayForKey(language::kAppleLanguagesKey),
              nlohmann::json::array({"en", "fr"}));
    language::useStandardDefaults(nullptr);
}

TEST_F(LanguageTest, TheToolkitsOwnDialogTextsFollowTheLanguage) {
    ToolkitTranslations translations(*QCoreApplication::instance());
    EXPECT_FALSE(translations.isTranslated());
    language::set(AppLanguage::fr, defaults, false);
    EXPECT_TRUE(translations.isTranslated());
    // A text of the toolkit's own file dialog, in French.
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "&Open"), QStringLiteral("&Ouvrir"));
    language::set(AppLanguage::en, defaults, false);
    EXPECT_FALSE(translations.isTranslated());
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "&Open"), QStringLiteral("&Open"));
}

}  // namespace
}  // namespace zarvo
