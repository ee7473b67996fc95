#pragma once

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

class MainQueue;
class UserDefaults;

// The interface language: follow the desktop, French or English. Every text of the interface
// is written in both languages and picked at the moment it is drawn (see `text`). The
// recorder engine's own messages are English only and do not depend on it.
enum class AppLanguage { system, fr, en };

namespace language {

// The settings key of the user's choice (its raw value).
inline constexpr const char* kLanguageKey = "net.mervane.zarvorecorder.language";
// The key naming the languages that the toolkit's own texts should use, most preferred first.
inline constexpr const char* kAppleLanguagesKey = "AppleLanguages";
// Posted on the main thread when the language changes; its object is a pointer to a constant
// holding the new language (compare with `*static_cast<const AppLanguage*>(object)`).
inline constexpr const char* kDidChangeNotification = "ZarvoRecorderLanguageDidChange";

// The three cases in menu order.
inline constexpr std::array<AppLanguage, 3> allCases = {AppLanguage::system, AppLanguage::fr,
                                                        AppLanguage::en};

std::string rawValue(AppLanguage language);

// "system"/"auto", "fr…"/"french"/"francais"/"français", "en…"/"english"; trimmed and
// compared without case. Anything else (and no text) gives none.
std::optional<AppLanguage> parse(const std::optional<std::string>& text);

// The language asked for at launch: the arguments ("--lang X", "-AppleLanguage X",
// "--lang=X"), then ZARVO_LANG, then the stored choice, else `system`.
AppLanguage detect(const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment,
                   const UserDefaults& defaults);

// `fr` or `en`, never `system`: `system` takes the first preferred language that begins with
// "fr" or "en", French when there is none.
AppLanguage resolve(const std::vector<std::string>& preferredLanguages, AppLanguage current);

// Keeps the toolkit's own texts in the same language: ("fr", "en") for French, ("en", "fr")
// for English; `system` removes the key.
void applyAppleLanguages(AppLanguage language, UserDefaults& defaults);

// "System"/"Système", "Français", "English".
std::string label(AppLanguage language);

// The process-wide language. The first read detects it from the launch arguments (see
// `useLaunchArguments`), the process's environment and the application's settings, applies it
// to AppleLanguages and keeps it. Safe from any thread.
AppLanguage current();

// The program's command-line arguments (without the program's name), as main read them; given
// once at startup, before the first read of `current`. None until then.
void useLaunchArguments(std::vector<std::string> arguments);

// Changes the process-wide language. When `persist`, the choice and AppleLanguages are stored
// (also when it did not change). When it changed, the change notification is posted: at once
// on the main thread, otherwise through the main queue given to `useMainQueue`.
void set(AppLanguage language, UserDefaults& defaults, bool persist);

// Where change notifications from other threads go. Set once at startup by the program.
void useMainQueue(MainQueue* mainQueue);

// The settings store the first read of `current` detects from; by default the application's
// own domain. Tests and the program may give their own before the first read.
void useStandardDefaults(std::shared_ptr<UserDefaults> defaults);
std::shared_ptr<UserDefaults> standardDefaults();

// The desktop's preferred interface languages, most preferred first (from LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG, as the toolkit reports them). Read once.
std::vector<std::string> systemPreferredLanguages();
void setSystemPreferredLanguagesForTesting(std::optional<std::vector<std::string>> languages);

// The language the interface shows now: `resolve(systemPreferredLanguages(), current())`.
AppLanguage resolved();
inline bool isEnglish() {
    return resolved() == AppLanguage::en;
}

// The one place where a text's French or English form is chosen.
inline std::string text(std::string_view french, std::string_view english) {
    return std::string(isEnglish() ? english : french);
}

// For tests: forgets the process-wide value, so that the next read detects it again.
void resetForTesting(std::optional<AppLanguage> value = std::nullopt);

}  // namespace language
}  // namespace zarvo
