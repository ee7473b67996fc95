#include "App/ui/AboutWindow.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include "App/icon/IconPainter.h"
#include "App/language/Text.h"
#include "App/ui/Theme.h"
#include "engine/RecorderController.h"
#include "platform/AppBundle.h"

namespace zarvo {
namespace {

QLabel* textLabel(const QString& text, double points, const QColor& colour,
                  QFont::Weight weight = QFont::Normal, QWidget* parent = nullptr) {
    auto* label = new QLabel(text, parent);
    label->setFont(theme::font(points, weight));
    label->setStyleSheet(
        QStringLiteral("color: %1; background: transparent;").arg(theme::hex(colour)));
    return label;
}

// A status pill: the text in its colour, inside a rounded outline of the same colour.
QLabel* pill(const QString& text, const QColor& colour) {
    auto* label = new QLabel(text);
    label->setFont(theme::font(10, QFont::Medium));
    QColor outline = colour;
    outline.setAlphaF(0.55f);
    label->setStyleSheet(QStringLiteral("color: %1; border: 1px solid %2; border-radius: 9px;"
                                        " padding: 1px 8px;")
                             .arg(theme::hex(colour), outline.name(QColor::HexArgb)));
    return label;
}

QFrame* card(const QString& title, const QString& text) {
    auto* frame = new QFrame;
    frame->setObjectName(QStringLiteral("aboutCard"));
    frame->setStyleSheet(QStringLiteral("QFrame#aboutCard { background-color: %1;"
                                        " border-radius: 8px; }")
                             .arg(theme::hex(theme::field)));
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(12, 8, 12, 9);
    layout->setSpacing(2);
    QLabel* heading = textLabel(title, 10, theme::text, QFont::DemiBold);
    heading->setWordWrap(true);
    layout->addWidget(heading);
    QLabel* body = textLabel(text, 9, theme::textDim);
    body->setWordWrap(true);
    body->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(body, 1);
    return frame;
}

AboutWindowController* sharedController = nullptr;

void releaseSharedController() {
    delete sharedController;
    sharedController = nullptr;
}

}  // namespace

// --- Facts ------------------------------------------------------------------------------------

AboutFacts AboutFacts::ofBundle(const std::string& bundlePath, const nlohmann::json& info,
                                bool ndiAvailable, std::optional<int> oscPort) {
    AboutFacts facts;
    std::string version = RecorderController::versionOfBundle(bundlePath, info);
    // The package manager's copy lives in a folder of its own name, not "….app": its
    // information gives its release version all the same.
    if (const std::string packaged = bundleText(info, "CFBundleShortVersionString");
        version == "dev" && isPackageInstalled(bundlePath) && !packaged.empty() &&
        packaged[0] != '@') {
        version = packaged;
    }
    facts.runsFromBundle = version != "dev";
    facts.shortVersion = QString::fromStdString(version);
    if (const std::string build = bundleText(info, "CFBundleVersion"); !build.empty()) {
        facts.build = QString::fromStdString(build);
    }
    facts.ndiAvailable = ndiAvailable;
    facts.oscPort = oscPort;
    return facts;
}

QString AboutFacts::versionText() const {
    if (!runsFromBundle) {
        return QStringLiteral("dev");
    }
    return QStringLiteral("v") + shortVersion + QStringLiteral(" (") + build + QStringLiteral(")");
}

// --- The version badge ------------------------------------------------------------------------

VersionBadge::VersionBadge(QString version, QWidget* parent)
    : QLabel(version, parent), version_(std::move(version)), restore_(new QTimer(this)) {
    setFont(theme::font(10, QFont::Medium));
    setAlignment(Qt::AlignCenter);
    setCursor(Qt::PointingHandCursor);
    setToolTip(tx("Cliquer pour copier la version dans le presse-papiers",
                  "Click to copy version to the clipboard"));
    setStyleSheet(QStringLiteral("color: %1; background-color: %2; border-radius: 9px;"
                                 " padding: 1px 8px;")
                      .arg(theme::hex(theme::text), theme::hex(theme::field)));
    // As wide as its wider text, so that the row does not move when it says "Copied".
    const QFontMetrics metrics(font());
    setMinimumWidth(std::max(metrics.horizontalAdvance(version_),
                             metrics.horizontalAdvance(tx("Copié", "Copied"))) +
                    20);
    restore_->setSingleShot(true);
    restore_->setInterval(kCopiedMilliseconds);
    connect(restore_, &QTimer::timeout, this, [this] { setText(version_); });
}

bool VersionBadge::showsCopied() const {
    return text() != version_;
}

void VersionBadge::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QLabel::mousePressEvent(event);
        return;
    }
    QGuiApplication::clipboard()->setText(version_);
    setText(tx("Copié", "Copied"));
    restore_->start();
}

// --- The about view ---------------------------------------------------------------------------

AboutView::AboutView(const AboutFacts& facts, std::function<void()> openHelp,
                     std::function<void()> checkForUpdates, QWidget* parent)
    : QWidget(parent) {
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(22, 16, 22, 14);
    root->setSpacing(0);

    // The icon beside the name, the subtitle, the version and the pills.
    auto* header = new QHBoxLayout;
    header->setSpacing(14);
    header->addWidget(new ZarvoRecorderIconView(64, this), 0, Qt::AlignTop);
    auto* identity = new QVBoxLayout;
    identity->setSpacing(3);
    identity->addWidget(
        textLabel(QStringLiteral("ZarvoRecorder"), 18, theme::text, QFont::DemiBold));
    QLabel* subtitle = textLabel(
        tx("Enregistreur vidéo locale, NDI et son de l’ordinateur pour le spectacle vivant",
           "Local video, NDI & computer sound recorder for live performance"),
        10.5, theme::textDim);
    subtitle->setWordWrap(true);
    identity->addWidget(subtitle);
    auto* badges = new QHBoxLayout;
    badges->setSpacing(6);
    badges->setContentsMargins(0, 4, 0, 0);
    badge_ = new VersionBadge(facts.versionText(), this);
    badges->addWidget(badge_);
    badges->addWidget(facts.ndiAvailable ? pill(tx("NDI actif", "NDI on"), theme::online)
                                         : pill(tx("NDI inactif", "NDI off"), theme::textDim));
    badges->addWidget(facts.oscPort
                          ? pill(QStringLiteral("OSC :%1").arg(*facts.oscPort), theme::online)
                          : pill(tx("OSC hors ligne", "OSC offline"), theme::textDim));
    badges->addStretch(1);
    identity->addLayout(badges);
    header->addLayout(identity, 1);
    root->addLayout(header);
    root->addSpacing(12);

    root->addWidget(theme::sectionTitle(tx("Capacités & moteur", "Capabilities & Engine"), this));
    root->addSpacing(6);
    auto* cards = new QGridLayout;
    cards->setSpacing(8);
    cards->addWidget(
        card(tx("Sources locales & NDI", "Local & NDI Sources"),
             tx("Jusqu’à huit sources sur une seule horloge — chacune dans son film, "
                "assemblées en une image (Rangée, Colonne, Grille, Focus), ou les deux.",
                "Up to eight sources recorded on one clock — each to its own movie, assembled "
                "into one picture (Row, Column, Grid, Focus), or both.")),
        0, 0);
    cards->addWidget(
        card(tx("Son NDI & Ordinateur", "NDI & Computer Sound"),
             tx("Son stéréo 48 kHz calé sur les images : celui de chaque source NDI, ou celui "
                "de l’ordinateur, par PulseAudio ou PipeWire.",
                "48 kHz stereo audio in step with the pictures: each NDI source’s sound, or the "
                "computer’s sound from PulseAudio or PipeWire.")),
        0, 1);
    cards->addWidget(
        card(tx("Encodage & performance", "Encoding & Performance"),
             tx("H.264 (libx264), HEVC (libx265), ProRes 422 et 4444 avec alpha (FFmpeg), "
                "encodés en logiciel. Le mode performance limite l’aperçu à 10 i/s pendant "
                "l’enregistrement.",
                "H.264 (libx264), HEVC (libx265), ProRes 422 and 4444 with alpha (FFmpeg), "
                "encoded in software. Performance mode limits the preview to 10 fps while "
                "recording.")),
        1, 0);
    cards->addWidget(
        card(tx("Pilotage OSC, OSCQuery & MCP", "OSC, OSCQuery & MCP Control"),
             tx("Pilotage par OSC sur UDP et OSCQuery annoncé par Avahi (DNS-SD), et un "
                "serveur zarvo-recorder-mcp fourni pour les assistants IA.",
                "Remote control over UDP OSC and OSCQuery announced through Avahi (DNS-SD), "
                "plus a bundled zarvo-recorder-mcp server for AI assistants.")),
        1, 1);
    cards->setColumnStretch(0, 1);
    cards->setColumnStretch(1, 1);
    root->addLayout(cards, 1);
    root->addSpacing(10);

    root->addWidget(textLabel(QStringLiteral("FFmpeg · Qt 6 · PulseAudio · Avahi"), 10,
                              theme::textDim, QFont::Medium, this));
    root->addSpacing(3);
    QLabel* credits = textLabel(
        tx("FFmpeg (LGPL/GPL) · x264 (GPL) · x265 (GPL) · Qt (LGPL) · libcurl (licence curl) · "
           "OpenSSL (Apache 2.0) · libarchive (BSD) · Avahi (LGPL) · nlohmann/json (MIT) · "
           "PulseAudio (LGPL) · NDI® est une marque déposée de Vizrt NDI AB",
           "FFmpeg (LGPL/GPL) · x264 (GPL) · x265 (GPL) · Qt (LGPL) · libcurl (curl licence) · "
           "OpenSSL (Apache 2.0) · libarchive (BSD) · Avahi (LGPL) · nlohmann/json (MIT) · "
           "PulseAudio (LGPL) · NDI® is a registered trademark of Vizrt NDI AB"),
        8, theme::textFaint, QFont::Normal, this);
    credits->setWordWrap(true);
    root->addWidget(credits);
    root->addSpacing(10);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto* help = new QPushButton(tx("Aide", "Help"), this);
    connect(help, &QPushButton::clicked, this, [openHelp = std::move(openHelp)] {
        if (openHelp) {
            openHelp();
        }
    });
    auto* updates = new QPushButton(tx("Rechercher des mises à jour…", "Check for Updates…"), this);
    connect(updates, &QPushButton::clicked, this, [checkForUpdates = std::move(checkForUpdates)] {
        if (checkForUpdates) {
            checkForUpdates();
        }
    });
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    setObjectName(QStringLiteral("aboutView"));
    ok->setDefault(true);
    ok->setMinimumWidth(72);
    connect(ok, &QPushButton::clicked, this, [this] { window()->close(); });
    help->setObjectName(QStringLiteral("aboutHelp"));
    updates->setObjectName(QStringLiteral("aboutUpdates"));
    ok->setObjectName(QStringLiteral("aboutOK"));
    buttons->addWidget(help);
    buttons->addWidget(updates);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    root->addLayout(buttons);
}

void AboutView::mousePressEvent(QMouseEvent* event) {
    QWindow* handle = window()->windowHandle();
    if (event->button() == Qt::LeftButton && handle != nullptr && handle->startSystemMove()) {
        return;
    }
    QWidget::mousePressEvent(event);
}

// --- The window -------------------------------------------------------------------------------

AboutWindowController& AboutWindowController::shared() {
    if (sharedController == nullptr) {
        sharedController = new AboutWindowController;
        qAddPostRoutine(releaseSharedController);
    }
    return *sharedController;
}

AboutWindowController::~AboutWindowController() {
    delete window_.data();
}

void AboutWindowController::show(const AboutFacts& facts, std::function<void()> openHelp,
                                 std::function<void()> checkForUpdates) {
    const bool wasShown = window_ != nullptr;
    if (!wasShown) {
        auto* window = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint |
                                                Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        window->setObjectName(QStringLiteral("ZarvoRecorderAbout"));
        QPalette colours = window->palette();
        colours.setColor(QPalette::Window, theme::panel);
        window->setPalette(colours);
        window->setAutoFillBackground(true);
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        // Return is the OK button's, Escape closes, as in the desktop's dialogs.
        for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::Key_Return),
                                         QKeySequence(Qt::Key_Enter)}) {
            auto* shortcut = new QShortcut(keys, window);
            QObject::connect(shortcut, &QShortcut::activated, window, &QWidget::close);
        }
        window_ = window;
    }
    window_->setWindowTitle(tx("À propos de ZarvoRecorder", "About ZarvoRecorder"));
    delete view_.data();
    view_ = new AboutView(facts, std::move(openHelp), std::move(checkForUpdates), window_);
    window_->layout()->addWidget(view_);
    // 580 × 400, or taller when the texts of the language shown need it.
    window_->setFixedSize(kWidth,
                          std::max(kHeight, window_->layout()->totalHeightForWidth(kWidth)));
    if (!wasShown) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect centred(QPoint(0, 0), window_->size());
            centred.moveCenter(screen->availableGeometry().center());
            window_->move(centred.topLeft());
        }
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

}  // namespace zarvo
