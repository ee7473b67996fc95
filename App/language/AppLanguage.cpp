#include "App/language/AppLanguage.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <mutex>
#include <utility>

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Text.h"
#include "platform/UserDefaults.h"

namespace zarvo::language {
namespace {

// One constant per case, so that the notification's object outlives every observer.
const AppLanguage kCases[] = {AppLanguage::system, AppLanguage::fr, AppLanguage::en};
const AppLanguage* constantFor(AppLanguage language) {
    return &kCases[static_cast<int>(language)];
}

struct State {
    std::mutex mutex;
    std::optional<AppLanguage> value;                       // guarded by mutex
    MainQueue* mainQueue = nullptr;                         // guarded by mutex
    std::shared_ptr<UserDefaults> defaults;                 // guarded by mutex
    std::vector<std::string> launchArguments;               // guarded by mutex
    std::optional<std::vector<std::string>> preferred;      // guarded by mutex
    std::optional<std::vector<std::string>> preferredTest;  // guarded by mutex
};

State& state() {
    static State* shared = new State;  // never destroyed: read by threads until the very end
    return *shared;
}

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> launchArguments() {
    std::lock_guard lock(state().mutex);
    return state().launchArguments;
}

void postChange(AppLanguage language, MainQueue* mainQueue) {
    const AppLanguage* object = constantFor(language);
    if (!mainQueue || mainQueue->isMainThread()) {
        NotificationCenter::defaultCenter().post(kDidChangeNotification, object);
    } else {
        mainQueue->post(
            [object] { NotificationCenter::defaultCenter().post(kDidChangeNotification, object); });
    }
}

}  // namespace

std::string rawValue(AppLanguage language) {
    switch (language) {
        case AppLanguage::fr:
            return "fr";
        case AppLanguage::en:
            return "en";
        case AppLanguage::system:
            break;
    }
    return "system";
}

std::optional<AppLanguage> parse(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    std::string value = asciiLowercase(trimmed(*text));
    // The one non-ASCII letter of the names: "Ç" lower-cased, as tolower leaves UTF-8 alone.
    for (size_t at = value.find("\xC3\x87"); at != std::string::npos; at = value.find("\xC3\x87")) {
        value.replace(at, 2, "\xC3\xA7");
    }
    if (value.empty()) {
        return std::nullopt;
    }
    if (value == "system" || value == "auto") {
        return AppLanguage::system;
    }
    if (value == "fr" || startsWith(value, "fr-") || startsWith(value, "fr_") ||
        value == "french" || value == "francais" || value == "français") {
        return AppLanguage::fr;
    }
    if (value == "en" || startsWith(value, "en-") || startsWith(value, "en_") ||
        value == "english") {
        return AppLanguage::en;
    }
    return std::nullopt;
}

AppLanguage detect(const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment,
                   const UserDefaults& defaults) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--lang" || argument == "-AppleLanguage") {
            if (i + 1 < arguments.size()) {
                if (auto language = parse(arguments[i + 1])) {
                    return *language;
                }
            }
        } else if (startsWith(argument, "--lang=")) {
            if (auto language = parse(argument.substr(7))) {
                return *language;
            }
        }
    }
    if (auto variable = environment.find("ZARVO_LANG"); variable != environment.end()) {
        if (auto language = parse(variable->second)) {
            return *language;
        }
    }
    if (auto language = parse(defaults.stringForKey(kLanguageKey))) {
        return *language;
    }
    return AppLanguage::system;
}

AppLanguage resolve(const std::vector<std::string>& preferredLanguages, AppLanguage current) {
    if (current != AppLanguage::system) {
        return current;
    }
    for (const std::string& preferred : preferredLanguages) {
        const std::string value = asciiLowercase(preferred);
        if (startsWith(value, "fr")) {
            return AppLanguage::fr;
        }
        if (startsWith(value, "en")) {
            return AppLanguage::en;
        }
    }
    return AppLanguage::fr;
}

void applyAppleLanguages(AppLanguage language, UserDefaults& defaults) {
    switch (language) {
        case AppLanguage::fr:
            defaults.setStringArray(kAppleLanguagesKey, {"fr", "en"});
            break;
        case AppLanguage::en:
            defaults.setStringArray(kAppleLanguagesKey, {"en", "fr"});
            break;
        case AppLanguage::system:
            defaults.removeObject(kAppleLanguagesKey);
            break;
    }
}

std::string label(AppLanguage language) {
    switch (language) {
        case AppLanguage::fr:
            return "Français";
        case AppLanguage::en:
            return "English";
        case AppLanguage::system:
            break;
    }
    return isEnglish() ? "System" : "Système";
}

void useMainQueue(MainQueue* mainQueue) {
    std::lock_guard lock(state().mutex);
    state().mainQueue = mainQueue;
}

void useStandardDefaults(std::shared_ptr<UserDefaults> defaults) {
    std::lock_guard lock(state().mutex);
    state().defaults = std::move(defaults);
}

std::shared_ptr<UserDefaults> standardDefaults() {
    std::lock_guard lock(state().mutex);
    if (!state().defaults) {
        state().defaults =
            UserDefaults::forDomain(applicationDomain(bundleInfo(runningBundlePath())));
    }
    return state().defaults;
}

void useLaunchArguments(std::vector<std::string> arguments) {
    std::lock_guard lock(state().mutex);
    state().launchArguments = std::move(arguments);
}

AppLanguage current() {
    {
        std::lock_guard lock(state().mutex);
        if (state().value) {
            return *state().value;
        }
    }
    // Detected outside the lock (it reads files); the first value stored wins.
    auto defaults = standardDefaults();
    const AppLanguage detected = detect(launchArguments(), processEnvironment(), *defaults);
    std::lock_guard lock(state().mutex);
    if (!state().value) {
        applyAppleLanguages(detected, *defaults);
        state().value = detected;
    }
    return *state().value;
}

void set(AppLanguage language, UserDefaults& defaults, bool persist) {
    bool differed = false;
    MainQueue* mainQueue = nullptr;
    {
        std::lock_guard lock(state().mutex);
        differed = !state().value || *state().value != language;
        state().value = language;
        mainQueue = state().mainQueue;
    }
    if (persist) {
        defaults.setString(kLanguageKey, rawValue(language));
        applyAppleLanguages(language, defaults);
    }
    if (differed) {
        postChange(language, mainQueue);
    }
}

std::vector<std::string> systemPreferredLanguages() {
    std::lock_guard lock(state().mutex);
    if (state().preferredTest) {
        return *state().preferredTest;
    }
    if (!state().preferred) {
        std::vector<std::string> languages;
        for (const QString& language : QLocale::system().uiLanguages()) {
            languages.push_back(language.toStdString());
        }
        state().preferred = std::move(languages);
    }
    return *state().preferred;
}

void setSystemPreferredLanguagesForTesting(std::optional<std::vector<std::string>> languages) {
    std::lock_guard lock(state().mutex);
    state().preferredTest = std::move(languages);
}

AppLanguage resolved() {
    return resolve(systemPreferredLanguages(), current());
}

void resetForTesting(std::optional<AppLanguage> value) {
    std::lock_guard lock(state().mutex);
    state().value = value;
}

}  // namespace zarvo::language
