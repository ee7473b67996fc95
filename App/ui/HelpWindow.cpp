#include "App/ui/HelpWindow.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QFile>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMenu>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <QWidget>

#include <filesystem>

#include "App/language/Text.h"
#include "App/ui/Theme.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

constexpr const char* kIndexPage = "index.html";

bool holdsManual(const fs::path& folder) {
    std::error_code error;
    return fs::is_regular_file(folder / kIndexPage, error);
}

// Where a help link leads: the web and mail go to the desktop's programs.
bool isExternal(const QUrl& address) {
    const QString scheme = address.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
           scheme == QLatin1String("mailto");
}

// A page shown in place of one that cannot be read.
QString missingPage(AppLanguage language, const QString& path) {
    const bool english = language == AppLanguage::en;
    return QStringLiteral(
               "<html><body style=\"color:%1; background-color:%2\"><h2>%3</h2>"
               "<p>%4</p><p><code>%5</code></p></body></html>")
        .arg(theme::hex(theme::text), theme::hex(theme::background),
             english ? QStringLiteral("The user manual is missing")
                     : QStringLiteral("Le manuel est introuvable"),
             english ? QStringLiteral("This copy of ZarvoRecorder has no help pages where it "
                                      "looks for them. Installing it again puts them back.")
                     : QString::fromUtf8("Cette copie de ZarvoRecorder n’a pas de pages d’aide "
                                         "là où elle les cherche. La réinstaller les remet en "
                                         "place."),
             path.toHtmlEscaped());
}

// Removes, from `html`, each element that starts at an opening tag matching `opening` and ends
// at its own closing tag `closing` (counting the same elements nested inside it), when `drop`
// says so for its opening tag.
QString removeElements(const QString& html, const QString& tagName,
                       const std::function<bool(const QString& openingTag)>& drop) {
    const QRegularExpression opening(QStringLiteral("<%1\\b[^>]*>").arg(tagName),
                                     QRegularExpression::CaseInsensitiveOption);
    const QRegularExpression any(QStringLiteral("<(/?)%1\\b[^>]*>").arg(tagName),
                                 QRegularExpression::CaseInsensitiveOption);
    QString result;
    qsizetype from = 0;
    while (true) {
        const QRegularExpressionMatch open = opening.match(html, from);
        if (!open.hasMatch()) {
            break;
        }
        if (!drop(open.captured(0))) {
            result += html.mid(from, open.capturedEnd() - from);
            from = open.capturedEnd();
            continue;
        }
        result += html.mid(from, open.capturedStart() - from);
        int depth = 1;
        qsizetype at = open.capturedEnd();
        while (depth > 0) {
            const QRegularExpressionMatch next = any.match(html, at);
            if (!next.hasMatch()) {  // never closed: the rest of the page goes with it
                at = html.size();
                break;
            }
            depth += next.captured(1).isEmpty() ? 1 : -1;
            at = next.capturedEnd();
        }
        from = at;
    }
    result += html.mid(from);
    return result;
}

// Observes the interface language for the lifetime of the object it belongs to.
class LanguageWatcher : public QObject {
  public:
    LanguageWatcher(QObject* owner, std::function<void()> changed)
        : QObject(owner),
          observer_(NotificationCenter::defaultCenter(), language::kDidChangeNotification, nullptr,
                    [changed = std::move(changed)](const auto&) { changed(); }) {}

  private:
    ScopedObserver observer_;
};

constexpr const char* kMenuWatcherName = "zarvoHelpMenuLanguage";

// Calls `handler` for the window's close, move and resize events.
class FrameWatcher : public QObject {
  public:
    FrameWatcher(QObject* owner, std::function<void()> handler)
        : QObject(owner), handler_(std::move(handler)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const auto type = event->type();
        if (type == QEvent::Close || ((type == QEvent::Move || type == QEvent::Resize) &&
                                      static_cast<QWidget*>(watched)->isVisible())) {
            handler_();
        }
        return false;
    }

  private:
    std::function<void()> handler_;
};

HelpWindowController* sharedController = nullptr;

void releaseSharedController() {
    delete sharedController;
    sharedController = nullptr;
}

}  // namespace

// --- The help pages ---------------------------------------------------------------------------

QString helpFolder() {
    const fs::path bundle = runningBundlePath();
    const fs::path installed = fs::path("share") / "zarvo-recorder" / "Help";
    // The application folder, or a prefix such as /usr/local whose bin/ holds the program.
    for (const fs::path& folder : {bundle / installed, bundle.parent_path() / installed}) {
        if (!bundle.empty() && holdsManual(folder)) {
            return QString::fromStdString(folder.lexically_normal().string());
        }
    }
#ifdef ZARVO_HELP_SOURCE_DIR
    if (holdsManual(ZARVO_HELP_SOURCE_DIR)) {
        return QStringLiteral(ZARVO_HELP_SOURCE_DIR);
    }
#endif
    return {};
}

QUrl helpPageUrl(const QString& folder, const std::optional<QString>& section,
                 const QString& version) {
    QUrl address = QUrl::fromLocalFile(folder + QLatin1Char('/') + QLatin1String(kIndexPage));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("v"), version);
    query.addQueryItem(QStringLiteral("lang"),
                       QString::fromStdString(language::rawValue(language::current())));
    address.setQuery(query);
    if (section && !section->isEmpty()) {
        address.setFragment(*section);
    }
    return address;
}

AppLanguage pageLanguage(const QUrl& address) {
    const QString asked = QUrlQuery(address).queryItemValue(QStringLiteral("lang"));
    const auto parsed = language::parse(asked.toStdString());
    if (parsed && *parsed != AppLanguage::system) {
        return *parsed;
    }
    return language::resolve(language::systemPreferredLanguages(), AppLanguage::system);
}

QString prepareHelpPage(const QString& html, AppLanguage language, const QString& version) {
    const QString kept = language == AppLanguage::en ? QStringLiteral("en") : QStringLiteral("fr");
    const QRegularExpression languageBlock(
        QStringLiteral("\\bclass=\"lang\"[^>]*\\blang=\"([a-z]+)\"|"
                       "\\blang=\"([a-z]+)\"[^>]*\\bclass=\"lang\""),
        QRegularExpression::CaseInsensitiveOption);
    QString page =
        removeElements(html, QStringLiteral("script"), [](const QString&) { return true; });
    page = removeElements(page, QStringLiteral("div"), [&](const QString& tag) {
        const QRegularExpressionMatch match = languageBlock.match(tag);
        if (!match.hasMatch()) {
            return false;
        }
        const QString blockLanguage =
            match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
        return blockLanguage.toLower() != kept;
    });
    static const QRegularExpression versionSpan(
        QStringLiteral("(<span\\b[^>]*\\bclass=\"version\"[^>]*>)[^<]*(</span>)"),
        QRegularExpression::CaseInsensitiveOption);
    const QString shown = version.isEmpty() ? QStringLiteral("dev") : version.toHtmlEscaped();
    page.replace(versionSpan, QStringLiteral("\\1") + shown + QStringLiteral("\\2"));
    return page;
}

const std::array<HelpSection, 4>& helpSections() {
    static const std::array<HelpSection, 4> sections = {{
        {"dispositions", "Enregistrement & dispositions", "Recording & Layouts"},
        {"son", "Le son (NDI & Ordinateur)", "Sound (NDI & Computer)"},
        {"osc", "OSC & OSCQuery", "OSC & OSCQuery"},
        {"depannage", "Dépannage", "Troubleshooting"},
    }};
    return sections;
}

// --- The browser ------------------------------------------------------------------------------

HelpBrowser::HelpBrowser(Opener openExternal, QWidget* parent)
    : QTextBrowser(parent), openExternal_(std::move(openExternal)) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setFrameShape(QFrame::NoFrame);
    // No background of its own: the window's shows through.
    QPalette colours = palette();
    colours.setColor(QPalette::Base, theme::background);
    colours.setColor(QPalette::Text, theme::text);
    setPalette(colours);
    connect(this, &QTextBrowser::anchorClicked, this, &HelpBrowser::follow);
}

QVariant HelpBrowser::loadResource(int type, const QUrl& name) {
    if (type != QTextDocument::HtmlResource || !name.isLocalFile() ||
        !name.path().endsWith(QLatin1String(".html"), Qt::CaseInsensitive)) {
        return QTextBrowser::loadResource(type, name);
    }
    ++pageLoads_;
    const AppLanguage language = pageLanguage(name);
    QFile file(name.toLocalFile());
    if (!file.open(QIODevice::ReadOnly)) {
        return missingPage(language, name.toLocalFile());
    }
    return prepareHelpPage(QString::fromUtf8(file.readAll()), language,
                           QUrlQuery(name).queryItemValue(QStringLiteral("v")));
}

void HelpBrowser::follow(const QUrl& link) {
    if (isExternal(link)) {
        if (openExternal_) {
            openExternal_(link);
        }
        return;
    }
    QUrl target = source().resolved(link);
    // Another help page is shown in the same language and with the same version.
    if (target.isLocalFile() && !target.hasQuery()) {
        target.setQuery(source().query());
    }
    setSource(target);
}

// --- The window -------------------------------------------------------------------------------

HelpWindowController& HelpWindowController::shared() {
    if (sharedController == nullptr) {
        sharedController = new HelpWindowController(
            {helpFolder(), language::standardDefaults(),
             [](const QUrl& address) { QDesktopServices::openUrl(address); }});
        // Its window goes before the application object does.
        qAddPostRoutine(releaseSharedController);
    }
    return *sharedController;
}

HelpWindowController::HelpWindowController(Options options) : options_(std::move(options)) {}

HelpWindowController::~HelpWindowController() {
    delete window_.data();
}

void HelpWindowController::show(std::optional<QString> section, QString version) {
    if (section && section->isEmpty()) {
        section.reset();
    }
    const bool existed = window_ != nullptr;
    if (!existed) {
        makeWindow();
    }
    window_->setWindowTitle(tx("Aide ZarvoRecorder", "ZarvoRecorder Help"));

    if (options_.helpFolder.isEmpty()) {
        browser_->setHtml(
            missingPage(language::resolved(), QStringLiteral("share/zarvo-recorder/Help")));
    } else {
        const QUrl address = helpPageUrl(options_.helpFolder, section, version);
        const bool samePage = existed && browser_->source().adjusted(QUrl::RemoveFragment) ==
                                             address.adjusted(QUrl::RemoveFragment);
        if (samePage && section) {
            browser_->scrollToAnchor(*section);
        } else if (samePage) {
            browser_->reload();
            browser_->verticalScrollBar()->setValue(0);
        } else {
            browser_->setSource(address);
        }
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void HelpWindowController::makeWindow() {
    auto* window = new QWidget(nullptr, Qt::Window);
    window->setObjectName(QStringLiteral("ZarvoRecorderHelp"));
    QPalette colours = window->palette();
    colours.setColor(QPalette::Window, theme::background);
    window->setPalette(colours);
    window->setAutoFillBackground(true);
    window->setMinimumSize(kMinimumWidth, kMinimumHeight);
    window->resize(kDefaultWidth, kDefaultHeight);

    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    browser_ = new HelpBrowser(options_.openExternal, window);
    layout->addWidget(browser_);
    window_ = window;

    restoreFrame();
    window->installEventFilter(new FrameWatcher(window, [this] { saveFrame(); }));
}

void HelpWindowController::saveFrame() {
    if (!options_.defaults || !window_) {
        return;
    }
    const QRect frame = window_->geometry();
    options_.defaults->setObject(
        kFrameKey,
        {{"x", frame.x()}, {"y", frame.y()}, {"width", frame.width()}, {"height", frame.height()}});
}

void HelpWindowController::restoreFrame() {
    QRect frame;
    if (options_.defaults) {
        const auto saved = options_.defaults->objectForKey(kFrameKey);
        if (saved && saved->is_object()) {
            const auto number = [&](const char* key) {
                const auto found = saved->find(key);
                return found != saved->end() && found->is_number() ? found->get<int>() : 0;
            };
            frame = QRect(number("x"), number("y"), std::max(number("width"), kMinimumWidth),
                          std::max(number("height"), kMinimumHeight));
        }
    }
    // A frame on a screen that is no longer there is not kept: the window would be out of reach.
    bool onScreen = false;
    for (const QScreen* screen : QGuiApplication::screens()) {
        onScreen = onScreen || (frame.isValid() && screen->availableGeometry().intersects(frame));
    }
    if (onScreen) {
        window_->setGeometry(frame);
        return;
    }
    if (frame.isValid()) {
        window_->resize(frame.size());
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        // Centred; on a screen smaller than the window, its title bar stays within reach.
        const QRect available = screen->availableGeometry();
        QRect centred(QPoint(0, 0), window_->size());
        centred.moveCenter(available.center());
        window_->move(std::max(centred.left(), available.left()),
                      std::max(centred.top(), available.top()));
    }
}

// --- The Help menu ----------------------------------------------------------------------------

void populateHelpMenu(QMenu& menu, std::function<QString()> version) {
    populateHelpMenu(
        menu,
        [version = std::move(version)](std::optional<QString> section) {
            HelpWindowController::shared().show(std::move(section),
                                                version ? version() : QStringLiteral("dev"));
        },
        [](const QUrl& address) { QDesktopServices::openUrl(address); });
}

void populateHelpMenu(QMenu& menu, std::function<void(std::optional<QString>)> showHelp,
                      std::function<void(const QUrl&)> openUrl) {
    QMenu* target = &menu;
    const auto fill = [target, showHelp, openUrl] {
        target->clear();
        target->setTitle(tx("Aide", "Help"));
        QAction* help = target->addAction(tx("Aide ZarvoRecorder", "ZarvoRecorder Help"));
        help->setShortcut(QKeySequence::HelpContents);
        QObject::connect(help, &QAction::triggered, target, [showHelp] { showHelp(std::nullopt); });
        target->addSeparator();
        for (const HelpSection& section : helpSections()) {
            QAction* item = target->addAction(tx(section.french, section.english));
            const QString anchor = QString::fromLatin1(section.anchor);
            QObject::connect(item, &QAction::triggered, target,
                             [showHelp, anchor] { showHelp(anchor); });
        }
        target->addSeparator();
        QAction* website =
            target->addAction(tx("Site web de ZarvoRecorder", "ZarvoRecorder Website"));
        QObject::connect(website, &QAction::triggered, target,
                         [openUrl] { openUrl(QUrl(QString::fromLatin1(kMakerWebsite))); });
    };
    fill();
    // Filled again in the other language; a menu filled twice keeps one watcher.
    delete menu.findChild<QObject*>(QLatin1String(kMenuWatcherName), Qt::FindDirectChildrenOnly);
    auto* watcher = new LanguageWatcher(&menu, fill);
    watcher->setObjectName(QLatin1String(kMenuWatcherName));
}

}  // namespace zarvo
