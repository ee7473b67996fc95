#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class QTimer;

namespace zarvo {

// What the about window says about the running program.
struct AboutFacts {
    QString shortVersion;         // "0.1"
    QString build;                // "0"
    bool runsFromBundle = false;  // an installed copy, not the build tree
    bool ndiAvailable = false;    // the NDI runtime was found
    std::optional<int> oscPort;   // the UDP port OSC listens on, when it does

    // The facts of an application folder and its information (Info.json), as the recorder
    // reads its own version: from a folder ending in ".app", or the package manager's copy,
    // with a usable short version.
    static AboutFacts ofBundle(const std::string& bundlePath, const nlohmann::json& info,
                               bool ndiAvailable, std::optional<int> oscPort);

    // "v" + short version + " (" + build + ")", or "dev" outside an installed copy.
    QString versionText() const;
};

// The version badge: a click copies its text to the clipboard and says "Copied" for a moment.
class VersionBadge : public QLabel {
  public:
    static constexpr int kCopiedMilliseconds = 1500;

    VersionBadge(QString version, QWidget* parent = nullptr);

    QString version() const { return version_; }
    bool showsCopied() const;

  protected:
    void mousePressEvent(QMouseEvent* event) override;

  private:
    QString version_;
    QTimer* restore_;
};

// The about window's content: the icon, name and subtitle, the version badge, the NDI and OSC
// pills, the four cards of what the program does and what it is made with, and the buttons.
class AboutView : public QWidget {
  public:
    AboutView(const AboutFacts& facts, std::function<void()> openHelp,
              std::function<void()> checkForUpdates, QWidget* parent = nullptr);

    VersionBadge* badge() const { return badge_; }

  protected:
    // The window moves when dragged by its background.
    void mousePressEvent(QMouseEvent* event) override;

  private:
    VersionBadge* badge_ = nullptr;
};

// The about window: made on first use, kept afterwards (closing only hides it), its content
// made again and brought to the front on every later request.
class AboutWindowController {
  public:
    static constexpr int kWidth = 580;
    static constexpr int kHeight = 400;

    // The application's one about window. Released when the application object goes.
    static AboutWindowController& shared();

    AboutWindowController() = default;
    ~AboutWindowController();
    AboutWindowController(const AboutWindowController&) = delete;
    AboutWindowController& operator=(const AboutWindowController&) = delete;

    // `openHelp` shows the help window; `checkForUpdates` does what the application menu's
    // "Check for Updates…" does.
    void show(const AboutFacts& facts, std::function<void()> openHelp,
              std::function<void()> checkForUpdates);

    QWidget* window() const { return window_; }
    AboutView* view() const { return view_; }

  private:
    QPointer<QWidget> window_;
    QPointer<AboutView> view_;
};

}  // namespace zarvo
