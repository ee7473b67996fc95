#pragma once

#include <QPointer>
#include <QString>
#include <QTextBrowser>
#include <QUrl>

#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "App/language/AppLanguage.h"

class QMenu;
class QWidget;

namespace zarvo {

class UserDefaults;

// --- The help pages ---------------------------------------------------------------------------

// The folder holding the user manual (index.html and its style sheet): share/zarvo-recorder/Help
// of the installed application, or the source tree's Resources/Help when the program runs from
// its build tree. Empty when neither holds the manual.
QString helpFolder();

// The manual's address: FOLDER/index.html?v=VERSION&lang=LANGUAGE#SECTION, LANGUAGE being the
// raw value of the interface language now ("system", "fr" or "en"); no fragment without a
// section.
QUrl helpPageUrl(const QString& folder, const std::optional<QString>& section,
                 const QString& version);

// The language a page address asks for: its "lang" item, "system" (or none, or a name that is
// not a language) following the desktop's languages. Never `system`.
AppLanguage pageLanguage(const QUrl& address);

// A help page as the help window shows it. The pages hold both languages, each in blocks
// <div class="lang" lang="fr|en">, and a script that keeps one of them in a web browser; the
// help window runs no script, so here the other language's blocks and every script are taken
// out, and each <span class="version"> gets the version.
QString prepareHelpPage(const QString& html, AppLanguage language, const QString& version);

// The manual's sections, in the Help menu's order: their anchors and titles.
struct HelpSection {
    const char* anchor;
    const char* french;
    const char* english;
};
const std::array<HelpSection, 4>& helpSections();

// The maker's website, the Help menu's last item.
inline constexpr const char* kMakerWebsite = "https://github.com/mervane/ZarvoRecorder";

// --- The help window ------------------------------------------------------------------------

// The view of the help window: a rich-text browser that reads the help pages through
// prepareHelpPage. Addresses with the schemes http, https and mailto go to the desktop's own
// programs and the page stays where it was; the help pages' own links are followed in place.
class HelpBrowser : public QTextBrowser {
    Q_OBJECT
  public:
    using Opener = std::function<void(const QUrl&)>;
    HelpBrowser(Opener openExternal, QWidget* parent = nullptr);

    // How many times a help page was read and laid out: a jump to a section costs none.
    int pageLoads() const { return pageLoads_; }

    QVariant loadResource(int type, const QUrl& name) override;

  private:
    void follow(const QUrl& link);

    Opener openExternal_;
    int pageLoads_ = 0;
};

// The help window: created on first use, kept afterwards (closing only hides it), brought to the
// front on every later request. Its frame is kept in the settings store.
class HelpWindowController {
  public:
    // The settings key of the window's frame.
    static constexpr const char* kFrameKey = "ZarvoRecorderHelp";
    static constexpr int kDefaultWidth = 1040;
    static constexpr int kDefaultHeight = 760;
    static constexpr int kMinimumWidth = 640;
    static constexpr int kMinimumHeight = 420;

    struct Options {
        QString helpFolder;                      // where index.html is
        std::shared_ptr<UserDefaults> defaults;  // where the frame is kept
        HelpBrowser::Opener openExternal;        // the desktop's handler of web and mail links
    };

    // The application's one help window: the installed manual, the application's settings and
    // the desktop's link handler. Released when the application object goes.
    static HelpWindowController& shared();

    explicit HelpWindowController(Options options);
    ~HelpWindowController();
    HelpWindowController(const HelpWindowController&) = delete;
    HelpWindowController& operator=(const HelpWindowController&) = delete;

    // Shows the manual in the interface language, at `section` when one is given (not empty),
    // with `version` on it.
    void show(std::optional<QString> section, QString version);

    // The window and its browser; null until first shown.
    QWidget* window() const { return window_; }
    HelpBrowser* browser() const { return browser_; }

  private:
    void makeWindow();
    void saveFrame();
    void restoreFrame();

    Options options_;
    QPointer<QWidget> window_;
    QPointer<HelpBrowser> browser_;
};

// Fills the application's Help menu: "ZarvoRecorder Help" (F1), the four sections, and the
// maker's website, with dividers after the first item and before the last. The texts follow the
// interface language: the menu is filled again when it changes.
void populateHelpMenu(QMenu& menu, std::function<QString()> version);

// The same with the two actions given: showing help at a section (none for the first page) and
// opening an address in the browser.
void populateHelpMenu(QMenu& menu, std::function<void(std::optional<QString>)> showHelp,
                      std::function<void(const QUrl&)> openUrl);

}  // namespace zarvo
