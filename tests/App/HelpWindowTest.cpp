#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QKeySequence>
#include <QMenu>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <QUrlQuery>

#include <fstream>
#include <set>

#include "App/language/AppLanguage.h"
#include "App/ui/HelpWindow.h"
#include "App/ui/Theme.h"
#include "platform/UserDefaults.h"
#include "tests/App/Screenshots.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

const QString kManualFolder = QStringLiteral(ZARVO_HELP_SOURCE_DIR);

QString readText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList matches(const QString& text, const QString& pattern) {
    QStringList found;
    auto iterator = QRegularExpression(pattern).globalMatch(text);
    while (iterator.hasNext()) {
        found << iterator.next().captured(1);
    }
    return found;
}

void settle() {
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents();
    }
}

class HelpWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        language::resetForTesting(AppLanguage::en);
        language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"en-US"});
    }
    void TearDown() override {
        language::setSystemPreferredLanguagesForTesting(std::nullopt);
        language::resetForTesting(AppLanguage::system);
    }

    HelpWindowController::Options options(QString manual = kManualFolder) {
        return {std::move(manual), defaults,
                [this](const QUrl& address) { opened.push_back(address); }};
    }

    test::TestFolder folder;
    std::shared_ptr<UserDefaults> defaults =
        std::make_shared<UserDefaults>(folder / "settings.json");
    std::vector<QUrl> opened;
};

TEST_F(HelpWindowTest, ThePageAddressCarriesVersionLanguageAndSection) {
    EXPECT_EQ(helpFolder(), kManualFolder);  // run from the build tree: the source tree's manual

    const QUrl address = helpPageUrl(kManualFolder, QStringLiteral("son"), QStringLiteral("0.9"));
    EXPECT_EQ(address.toLocalFile(), kManualFolder + "/index.html");
    EXPECT_EQ(QUrlQuery(address).queryItemValue("v"), "0.9");
    EXPECT_EQ(QUrlQuery(address).queryItemValue("lang"), "en");
    EXPECT_EQ(address.fragment(), "son");
    EXPECT_FALSE(helpPageUrl(kManualFolder, QString(), "0.9").hasFragment());
    EXPECT_FALSE(helpPageUrl(kManualFolder, std::nullopt, "0.9").hasFragment());

    // "system" is sent as such; the page resolves it against the desktop's languages.
    language::resetForTesting(AppLanguage::system);
    const QUrl followsSystem = helpPageUrl(kManualFolder, std::nullopt, "dev");
    EXPECT_EQ(QUrlQuery(followsSystem).queryItemValue("lang"), "system");
    language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"de-DE", "en-GB"});
    EXPECT_EQ(pageLanguage(followsSystem), AppLanguage::en);
    language::setSystemPreferredLanguagesForTesting(std::vector<std::string>{"de-DE"});
    EXPECT_EQ(pageLanguage(followsSystem), AppLanguage::fr);
    EXPECT_EQ(pageLanguage(QUrl("file:///x/index.html?lang=fr")), AppLanguage::fr);
    EXPECT_EQ(pageLanguage(QUrl("file:///x/index.html?lang=nonsense")), AppLanguage::fr);
}

TEST_F(HelpWindowTest, APreparedPageHoldsOneLanguageTheVersionAndNoScript) {
    const QString page = QStringLiteral(
        "<p>both</p><div lang=\"en\" class=\"lang\"><div><p>inner</p></div><p>english</p></div>"
        "<div class=\"lang\" lang=\"fr\"><p>français</p></div><div class=\"note\">kept</div>"
        "<span class=\"version\">dev</span><script>document.write('x')</script>");
    const QString french = prepareHelpPage(page, AppLanguage::fr, QStringLiteral("1.2 <b>"));
    EXPECT_TRUE(french.contains("both"));
    EXPECT_TRUE(french.contains("français"));
    EXPECT_TRUE(french.contains("kept"));
    EXPECT_FALSE(french.contains("english"));
    EXPECT_FALSE(french.contains("inner"));  // nested blocks go with the block that holds them
    EXPECT_FALSE(french.contains("script"));
    EXPECT_TRUE(french.contains("<span class=\"version\">1.2 &lt;b&gt;</span>"));

    const QString english = prepareHelpPage(page, AppLanguage::en, QString());
    EXPECT_TRUE(english.contains("inner"));
    EXPECT_TRUE(english.contains("english"));
    EXPECT_FALSE(english.contains("français"));
    EXPECT_TRUE(english.contains("<span class=\"version\">dev</span>"));
}

// The anchors of a page, in their order.
QStringList anchorsOf(const QString& page) {
    return matches(page, QStringLiteral("\\b(?:id|name)=\"([^\"]+)\""));
}

TEST_F(HelpWindowTest, TheManualHasTheSameSectionsInBothLanguagesAndEveryLinkLeadsSomewhere) {
    const QString raw = readText(kManualFolder + "/index.html");
    ASSERT_FALSE(raw.isEmpty());
    // The style sheet and the script a browser loads are there.
    for (const QString& file :
         matches(raw, QStringLiteral("<(?:link|script)\\b[^>]*\\b(?:href|src)=\"([^\"]+)\""))) {
        EXPECT_TRUE(QFile::exists(kManualFolder + "/" + file)) << file.toStdString();
    }

    QStringList sections[2];
    int index = 0;
    for (AppLanguage language : {AppLanguage::fr, AppLanguage::en}) {
        SCOPED_TRACE(language::rawValue(language));
        const QString page = prepareHelpPage(raw, language, "0.9");
        const QStringList anchors = anchorsOf(page);
        EXPECT_EQ(QSet<QString>(anchors.begin(), anchors.end()).size(), anchors.size())
            << "an anchor is given twice";
        for (const HelpSection& section : helpSections()) {
            EXPECT_TRUE(anchors.contains(section.anchor)) << section.anchor;
        }
        for (const QString& link : matches(page, QStringLiteral("\\bhref=\"([^\"]+)\""))) {
            const QUrl address(link);
            if (address.scheme() == "http" || address.scheme() == "https") {
                EXPECT_FALSE(address.host().isEmpty()) << link.toStdString();
            } else if (address.scheme() == "mailto") {
                EXPECT_TRUE(address.path().contains('@')) << link.toStdString();
            } else if (link.startsWith('#')) {
                EXPECT_TRUE(anchors.contains(link.mid(1))) << link.toStdString();
            } else {
                EXPECT_TRUE(QFile::exists(kManualFolder + "/" + address.path()))
                    << link.toStdString();
            }
        }
        // The headings, each with its anchor: the same sections in the same order.
        sections[index++] = matches(page, QStringLiteral("<h[23]\\b[^>]*\\bid=\"([^\"]+)\""));
        // Nothing of the other language is left.
        EXPECT_EQ(page.contains("Dépannage"), language == AppLanguage::fr);
        EXPECT_EQ(page.contains("Troubleshooting"), language == AppLanguage::en);
    }
    EXPECT_GE(sections[0].size(), 20);
    EXPECT_EQ(sections[0], sections[1]);

    // The addresses the manual names are the recorder's own.
    for (const char* address : {"/source/1",
                                "/record",
                                "/record/toggle",
                                "/codec",
                                "/output",
                                "/layout",
                                "/sound",
                                "/performance",
                                "/gap",
                                "/fps",
                                "/bitrate",
                                "/folder",
                                "/name",
                                "/status/state",
                                "/status/error",
                                "/status/ndi/sources",
                                "/marker",
                                "/status/markers",
                                "Ctrl+M",
                                ".otio",
                                "zarvo-test-source",
                                "9230",
                                "9231",
                                "ZARVO_OSC_PORT",
                                "ZARVO_NDI_LIBRARY"}) {
        EXPECT_TRUE(raw.contains(address)) << address;
    }
    for (const char* falseOnLinux : {"Mac", "Metal", "Core Audio", "Bonjour", "Cmd", "⌘"}) {
        EXPECT_FALSE(raw.contains(falseOnLinux)) << falseOnLinux;
    }
}

TEST_F(HelpWindowTest, ASectionAskedForAgainIsJumpedToWithoutReloading) {
    HelpWindowController help(options());
    help.show(QStringLiteral("son"), QStringLiteral("0.9"));
    settle();
    ASSERT_NE(help.window(), nullptr);
    HelpBrowser& browser = *help.browser();
    EXPECT_EQ(help.window()->windowTitle(), "ZarvoRecorder Help");
    EXPECT_EQ(browser.pageLoads(), 1);
    EXPECT_TRUE(browser.toPlainText().contains("Sound (NDI & Computer)"));
    EXPECT_FALSE(browser.toPlainText().contains("Dépannage"));
    EXPECT_TRUE(browser.toPlainText().contains("Version 0.9"));
    const int atSound = browser.verticalScrollBar()->value();
    EXPECT_GT(atSound, 0);

    // The reader scrolls away; asking for the same section goes back to it, loading nothing.
    browser.verticalScrollBar()->setValue(0);
    help.show(QStringLiteral("son"), QStringLiteral("0.9"));
    settle();
    EXPECT_EQ(browser.pageLoads(), 1);
    EXPECT_EQ(browser.verticalScrollBar()->value(), atSound);

    help.show(QStringLiteral("depannage"), QStringLiteral("0.9"));
    settle();
    EXPECT_EQ(browser.pageLoads(), 1);
    EXPECT_GT(browser.verticalScrollBar()->value(), atSound);

    // Another language is another page, with the other title.
    language::resetForTesting(AppLanguage::fr);
    help.show(QStringLiteral("osc"), QStringLiteral("0.9"));
    settle();
    EXPECT_EQ(browser.pageLoads(), 2);
    EXPECT_EQ(help.window()->windowTitle(), "Aide ZarvoRecorder");
    EXPECT_TRUE(browser.toPlainText().contains("Dépannage"));
    EXPECT_FALSE(browser.toPlainText().contains("Troubleshooting"));

    // The first page again, from its top.
    help.show(std::nullopt, QStringLiteral("0.9"));
    settle();
    EXPECT_EQ(browser.verticalScrollBar()->value(), 0);
}

// Clicks the link whose text is `text` in the browser.
void clickLink(HelpBrowser& browser, const QString& text) {
    const QTextCursor found = browser.document()->find(text);
    ASSERT_FALSE(found.isNull()) << text.toStdString();
    QTextCursor inside = found;
    inside.setPosition(found.selectionStart() + 1);
    const QPoint where = browser.cursorRect(inside).center();
    QTest::mouseClick(browser.viewport(), Qt::LeftButton, {}, where);
    settle();
}

TEST_F(HelpWindowTest, WebAndMailLinksGoOutsideAndLeaveThePageWhereItWas) {
    // A help folder of two pages: a long one with links, and a second one.
    test::TestFolder pages;
    {
        std::ofstream index(pages / "index.html");
        index << "<html><body><div class=\"lang\" lang=\"en\"><p><a "
                 "href=\"mailto:someone@example.org\">"
                 "Write to us</a> <a href=\"https://example.org/page\">Our site</a> "
                 "<a href=\"#end\">To the end</a> <a href=\"other.html#b\">Other page</a></p>";
        for (int i = 0; i < 200; ++i) {
            index << "<p>Line " << i << "</p>";
        }
        index
            << "<h2 id=\"end\">The end</h2><p><a href=\"mailto:end@example.org\">Write from the "
               "end</a></p></div><div class=\"lang\" lang=\"fr\"><p>La fin</p></div></body></html>";
        std::ofstream other(pages / "other.html");
        other << "<div class=\"lang\" lang=\"en\"><p id=\"b\">Second page in English</p></div>"
                 "<div class=\"lang\" lang=\"fr\"><p>Deuxième page</p></div>";
    }
    HelpWindowController help(options(QString::fromStdString(pages.path().string())));
    help.show(std::nullopt, QStringLiteral("2.0"));
    settle();
    HelpBrowser& browser = *help.browser();
    const QUrl page = browser.source();

    clickLink(browser, "Write to us");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl("mailto:someone@example.org"));
    clickLink(browser, "Our site");
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1], QUrl("https://example.org/page"));
    EXPECT_EQ(browser.source(), page);
    EXPECT_EQ(browser.pageLoads(), 1);

    // A link to a section of the page scrolls to it, without loading the page again.
    clickLink(browser, "To the end");
    const int atEnd = browser.verticalScrollBar()->value();
    EXPECT_GT(atEnd, 0);
    EXPECT_EQ(browser.pageLoads(), 1);

    // A mail link down there leaves the page where it is.
    clickLink(browser, "Write from the end");
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[2], QUrl("mailto:end@example.org"));
    EXPECT_EQ(browser.verticalScrollBar()->value(), atEnd);
    EXPECT_EQ(browser.pageLoads(), 1);

    // Another help page is followed in place, in the same language and version.
    browser.verticalScrollBar()->setValue(0);
    clickLink(browser, "Other page");
    EXPECT_EQ(browser.pageLoads(), 2);
    EXPECT_TRUE(browser.toPlainText().contains("Second page in English"));
    EXPECT_EQ(QUrlQuery(browser.source()).queryItemValue("v"), "2.0");
    EXPECT_EQ(opened.size(), 3u);
}

TEST_F(HelpWindowTest, ClosingOnlyHidesAndTheWindowComesBackAtItsFrame) {
    QRect saved;
    {
        HelpWindowController help(options());
        help.show(std::nullopt, "dev");
        settle();
        QWidget* window = help.window();
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->size(), QSize(1040, 760));
        EXPECT_EQ(window->minimumSize(), QSize(640, 420));
        EXPECT_EQ(window->palette().color(QPalette::Window), theme::background);
        // No frame saved yet: centred on the screen, its top left corner on it when the
        // screen is smaller (the offscreen platform's is 800 × 600).
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        if (screen.width() >= 1040 && screen.height() >= 760) {
            EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 24);
        } else {
            EXPECT_TRUE(screen.contains(window->geometry().topLeft()));
            EXPECT_LE(window->frameGeometry().top(), screen.top() + 24);
        }

        window->setGeometry(QRect(40, 50, 900, 650));
        settle();
        window->close();
        settle();
        EXPECT_FALSE(window->isVisible());
        help.show(QStringLiteral("osc"), "dev");
        settle();
        EXPECT_EQ(help.window(), window);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->geometry(), QRect(40, 50, 900, 650));
        window->close();
        saved = window->geometry();
    }
    const auto frame = defaults->objectForKey(HelpWindowController::kFrameKey);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ((*frame)["width"], 900);

    // A later run of the program opens the window where it was.
    HelpWindowController again(options());
    again.show(std::nullopt, "dev");
    settle();
    EXPECT_EQ(again.window()->geometry(), saved);

    // A frame saved on a screen that is gone is not used: the window is centred.
    defaults->setObject(HelpWindowController::kFrameKey,
                        {{"x", -20000}, {"y", -20000}, {"width", 300}, {"height", 200}});
    HelpWindowController offScreen(options());
    offScreen.show(std::nullopt, "dev");
    settle();
    EXPECT_EQ(offScreen.window()->size(), QSize(640, 420));
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(
        offScreen.window()->geometry()));
}

TEST_F(HelpWindowTest, TheHelpMenuListsItsItemsInOrderInTheInterfaceLanguage) {
    std::vector<std::optional<QString>> shown;
    std::vector<QUrl> browsed;
    QMenu menu;
    const auto fill = [&] {
        populateHelpMenu(
            menu, [&](std::optional<QString> section) { shown.push_back(section); },
            [&](const QUrl& address) { browsed.push_back(address); });
    };
    fill();
    fill();  // filled twice, still one set of items and one language watcher

    const auto texts = [&] {
        QStringList list;
        for (QAction* action : menu.actions()) {
            list << (action->isSeparator() ? QStringLiteral("—") : action->text());
        }
        return list;
    };
    EXPECT_EQ(texts(), (QStringList{"ZarvoRecorder Help", "—", "Recording & Layouts",
                                    "Sound (NDI & Computer)", "OSC & OSCQuery", "Troubleshooting",
                                    "—", "ZarvoRecorder Website"}));
    EXPECT_EQ(menu.title(), "Help");
    EXPECT_EQ(menu.actions()[0]->shortcut(), QKeySequence(QKeySequence::HelpContents));
    EXPECT_EQ(menu.actions()[0]->shortcut(), QKeySequence(Qt::Key_F1));

    for (QAction* action : menu.actions()) {
        action->trigger();
    }
    EXPECT_EQ(shown, (std::vector<std::optional<QString>>{std::nullopt, "dispositions", "son",
                                                          "osc", "depannage"}));
    EXPECT_EQ(browsed, std::vector<QUrl>{QUrl("https://github.com/mervane/ZarvoRecorder")});

    test::TestFolder other;
    UserDefaults languageDefaults(other / "language.json");
    language::set(AppLanguage::fr, languageDefaults, false);
    EXPECT_EQ(texts(), (QStringList{"Aide ZarvoRecorder", "—", "Enregistrement & dispositions",
                                    "Le son (NDI & Ordinateur)", "OSC & OSCQuery", "Dépannage", "—",
                                    "Site web de ZarvoRecorder"}));
    EXPECT_EQ(menu.title(), "Aide");
    shown.clear();
    menu.actions()[3]->trigger();
    EXPECT_EQ(shown, (std::vector<std::optional<QString>>{"son"}));
}

TEST_F(HelpWindowTest, Screenshots) {
    for (AppLanguage language : {AppLanguage::fr, AppLanguage::en}) {
        language::resetForTesting(language);
        HelpWindowController help(options());
        for (const HelpSection& section : helpSections()) {
            help.show(QString::fromLatin1(section.anchor), QStringLiteral("0.1 (0)"));
            settle();
            const QString name =
                QStringLiteral("help-%1-%2")
                    .arg(section.anchor, QString::fromStdString(language::rawValue(language)));
            const QImage image = test::saveScreenshot(*help.window(), name, help.window()->size());
            EXPECT_EQ(image.size().width(), 1040);
            // The dark background, not the toolkit's white.
            EXPECT_EQ(image.pixelColor(3, image.height() / 2).lightness() < 40, true);
        }
    }
}

}  // namespace
}  // namespace zarvo
