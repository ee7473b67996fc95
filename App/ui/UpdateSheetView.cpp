#include "App/ui/UpdateSheetView.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>

#include "App/icon/IconPainter.h"
#include "App/language/AppLanguage.h"
#include "App/language/Text.h"
#include "App/ui/Theme.h"
#include "App/updater/ZarvoUpdater.h"

namespace zarvo {
namespace {

constexpr int kSheetWidth = 480;

QLabel* label(const QString& text, double points, QFont::Weight weight, const QColor& colour,
              QWidget* parent) {
    auto* result = new QLabel(text, parent);
    result->setFont(theme::font(points, weight));
    result->setWordWrap(true);
    result->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette colours = result->palette();
    colours.setColor(QPalette::WindowText, colour);
    result->setPalette(colours);
    return result;
}

}  // namespace

// --- Symbols ----------------------------------------------------------------------------------

UpdateSymbol::UpdateSymbol(Shape shape, double size, QWidget* parent)
    : QWidget(parent), shape_(shape), size_(size) {
    setFixedSize(sizeHint());
}

QSize UpdateSymbol::sizeHint() const {
    const int side = static_cast<int>(std::ceil(size_));
    return {side, side};
}

void UpdateSymbol::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = std::min(width(), height());
    const QRectF area((width() - s) / 2, (height() - s) / 2, s, s);
    auto at = [&](double x, double y) { return QPointF(area.left() + x * s, area.top() + y * s); };
    QPen mark(theme::background, s * 0.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    switch (shape_) {
        case Shape::checkmarkCircleFill: {
            painter.setPen(Qt::NoPen);
            painter.setBrush(theme::online);
            painter.drawEllipse(area.adjusted(s * 0.04, s * 0.04, -s * 0.04, -s * 0.04));
            QPainterPath check;
            check.moveTo(at(0.29, 0.52));
            check.lineTo(at(0.44, 0.66));
            check.lineTo(at(0.71, 0.36));
            painter.setPen(mark);
            painter.setBrush(Qt::NoBrush);
            painter.drawPath(check);
            break;
        }
        case Shape::arrowDownCircleFill: {
            painter.setPen(Qt::NoPen);
            painter.setBrush(theme::accent);
            painter.drawEllipse(area.adjusted(s * 0.04, s * 0.04, -s * 0.04, -s * 0.04));
            painter.setPen(mark);
            painter.drawLine(at(0.5, 0.27), at(0.5, 0.71));
            QPainterPath head;
            head.moveTo(at(0.32, 0.53));
            head.lineTo(at(0.5, 0.71));
            head.lineTo(at(0.68, 0.53));
            painter.setBrush(Qt::NoBrush);
            painter.drawPath(head);
            break;
        }
        case Shape::exclamationmarkTriangleFill: {
            QPainterPath triangle;
            triangle.moveTo(at(0.5, 0.08));
            triangle.lineTo(at(0.95, 0.88));
            triangle.lineTo(at(0.05, 0.88));
            triangle.closeSubpath();
            painter.setPen(
                QPen(theme::accent, s * 0.08, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            painter.setBrush(theme::accent);
            painter.drawPath(triangle);
            painter.setPen(mark);
            painter.drawLine(at(0.5, 0.36), at(0.5, 0.6));
            painter.setPen(Qt::NoPen);
            painter.setBrush(theme::background);
            painter.drawEllipse(at(0.5, 0.75), s * 0.055, s * 0.055);
            break;
        }
    }
}

UpdateSpinner::UpdateSpinner(double size, QWidget* parent)
    : QWidget(parent), size_(size), timer_(new QTimer(this)) {
    setFixedSize(sizeHint());
    connect(timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % 12;
        update();
    });
    timer_->start(80);
}

QSize UpdateSpinner::sizeHint() const {
    const int side = static_cast<int>(std::ceil(size_));
    return {side, side};
}

void UpdateSpinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = std::min(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    for (int i = 0; i < 12; ++i) {
        QColor colour = theme::textDim;
        colour.setAlphaF(static_cast<float>(0.2 + 0.8 * ((i - step_ + 12) % 12) / 11.0));
        painter.setPen(QPen(colour, s * 0.09, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -s * 0.24), QPointF(0, -s * 0.44));
        painter.rotate(30);
    }
}

// --- The sheet --------------------------------------------------------------------------------

UpdateSheetView::UpdateSheetView(ZarvoUpdater& updater, QWidget* parent,
                                 std::function<void(const QUrl&)> openUrl)
    : QDialog(parent), updater_(updater), openUrl_(std::move(openUrl)) {
    if (!openUrl_) {
        openUrl_ = [](const QUrl& address) { QDesktopServices::openUrl(address); };
    }
    setModal(true);
    setFixedWidth(kSheetWidth);
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, theme::panel);
    setPalette(colours);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 22, 24, 20);
    layout->setSpacing(16);

    auto* head = new QHBoxLayout;
    head->setSpacing(14);
    head->addWidget(new ZarvoRecorderIconView(56, this), 0, Qt::AlignTop);
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    title_ = label({}, 15, QFont::DemiBold, theme::text, this);
    version_ = label({}, 11, QFont::Normal, theme::textDim, this);
    names->addStretch();
    names->addWidget(title_);
    names->addWidget(version_);
    names->addStretch();
    head->addLayout(names, 1);
    layout->addLayout(head);

    body_ = new QWidget(this);
    layout->addWidget(body_);

    autoCheck_ = new QCheckBox(this);
    autoCheck_->setFont(theme::font(11));
    connect(autoCheck_, &QCheckBox::toggled, this, [this](bool on) {
        if (on != updater_.autoCheckOnLaunch()) {
            updater_.setAutoCheckOnLaunch(on);
        }
    });
    layout->addWidget(autoCheck_);

    buttons_ = new QHBoxLayout;
    buttons_->setSpacing(10);
    layout->addLayout(buttons_);

    updaterObserver_ =
        ScopedObserver(NotificationCenter::defaultCenter(), ZarvoUpdater::kDidChangeNotification,
                       &updater_, [this](const auto&) {
                           rebuild();
                           followPresentation();
                       });
    languageObserver_ =
        ScopedObserver(NotificationCenter::defaultCenter(), language::kDidChangeNotification,
                       nullptr, [this](const auto&) { rebuild(); });
    rebuild();
}

UpdateSheetView::~UpdateSheetView() = default;

void UpdateSheetView::followPresentation() {
    if (updater_.isUpdateSheetPresented() && !isVisible()) {
        open();
    } else if (!updater_.isUpdateSheetPresented() && isVisible()) {
        QDialog::reject();
    }
}

void UpdateSheetView::reject() {
    const auto& state = updater_.state();
    if (std::holds_alternative<ZarvoUpdater::Downloading>(state) ||
        std::holds_alternative<ZarvoUpdater::Installing>(state)) {
        return;  // the Close button is disabled too
    }
    close();
}

void UpdateSheetView::close() {
    updater_.setUpdateSheetPresented(false);
    if (isVisible()) {
        QDialog::reject();
    }
}

QPushButton* UpdateSheetView::addButton(const QString& text, bool isDefault) {
    auto* button = new QPushButton(text, this);
    button->setFont(theme::font(11, isDefault ? QFont::DemiBold : QFont::Normal));
    button->setMinimumWidth(96);
    button->setAutoDefault(false);
    button->setDefault(isDefault);
    if (isDefault) {
        QPalette colours = button->palette();
        colours.setColor(QPalette::Button, theme::accent);
        colours.setColor(QPalette::ButtonText, theme::background);
        button->setPalette(colours);
    }
    buttons_->addWidget(button);
    // Shown now, not at the next turn of the event loop, so that the sheet is laid out with it.
    button->show();
    return button;
}

void UpdateSheetView::rebuild() {
    setWindowTitle(tx("Mise à jour de ZarvoRecorder", "ZarvoRecorder Update"));
    title_->setText(tx("Mise à jour de ZarvoRecorder", "ZarvoRecorder Update"));
    version_->setText(tx("Version actuelle : v", "Current version: v") +
                      QString::fromStdString(updater_.currentVersion()));
    autoCheck_->setText(
        tx("Rechercher automatiquement au lancement", "Check automatically on launch"));
    {
        const QSignalBlocker quiet(autoCheck_);
        autoCheck_->setChecked(updater_.autoCheckOnLaunch());
    }

    // A new body in place of the old one.
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    auto* body = new QWidget(this);
    // Removed later, not now: a button of the old body may be the one whose click led here.
    // Taken out of the tree at once, so that nothing finds or lays it out any more.
    delete layout->replaceWidget(body_, body);
    body_->hide();
    body_->setParent(nullptr);
    body_->deleteLater();
    body_ = body;
    auto* column = new QVBoxLayout(body_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    auto* line = new QHBoxLayout;
    line->setSpacing(10);
    column->addLayout(line);
    auto heading = [&](QWidget* mark, const QString& text) {
        if (mark) {
            line->addWidget(mark, 0, Qt::AlignTop);
        }
        auto* words = label(text, 13, QFont::Medium, theme::text, body_);
        line->addWidget(words, 1);
        return words;
    };
    auto detail = [&](const QString& text) {
        column->addWidget(label(text, 11, QFont::Normal, theme::textDim, body_));
    };

    while (QLayoutItem* item = buttons_->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        }
        delete item;
    }
    buttons_->addStretch();
    const double now = static_cast<double>(QDateTime::currentSecsSinceEpoch());
    auto checkAgain = [this, now] { updater_.checkForUpdates(false, now); };

    const ZarvoUpdater::State& state = updater_.state();
    using U = ZarvoUpdater;
    if (const auto* upToDate = std::get_if<U::UpToDate>(&state)) {
        heading(new UpdateSymbol(UpdateSymbol::Shape::checkmarkCircleFill, 22, body_),
                tx("ZarvoRecorder est à jour.", "ZarvoRecorder is up to date."));
        const QString version = QString::fromStdString(upToDate->version);
        detail(tx("Vous utilisez la dernière version (v", "You are running the latest version (v") +
               version + ").");
    } else if (const auto* available = std::get_if<U::UpdateAvailable>(&state)) {
        heading(new UpdateSymbol(UpdateSymbol::Shape::arrowDownCircleFill, 22, body_),
                tx("Nouvelle version disponible : v", "New version available: v") +
                    QString::fromStdString(available->release.version));
        auto* notes = new QTextBrowser(body_);
        notes->setPlainText(QString::fromStdString(available->release.localizedNotes()));
        notes->setFont(theme::font(11));
        notes->setFixedHeight(120);
        notes->setFrameShape(QFrame::NoFrame);
        QPalette colours = notes->palette();
        colours.setColor(QPalette::Base, theme::field);
        colours.setColor(QPalette::Text, theme::text);
        notes->setPalette(colours);
        column->addWidget(notes);
        if (updater_.isPackageInstalled()) {
            detail(
                tx("Cette copie a été installée par le gestionnaire de paquets du "
                   "système\u00a0: mettez-la à jour avec lui, par exemple avec "
                   "«\u00a0sudo apt update && sudo apt upgrade\u00a0».",
                   "This copy was installed by the system's package manager: update it "
                   "there, for example with “sudo apt update && sudo apt upgrade”."));
        } else if (!updater_.canInstallUpdates()) {
            detail(tx(
                "Cette copie (compilée depuis les sources ou installée pour le développement) "
                "ne porte pas "
                "la clé de l’éditeur\u00a0: elle ne peut pas installer la mise à jour. "
                "Téléchargez la nouvelle version depuis la page de publication.",
                "This copy (built from the sources, or a developer's install) does not carry the "
                "publisher's key, so it cannot install the update. Download the new "
                "version from the release page."));
        }
    } else if (const auto* downloading = std::get_if<U::Downloading>(&state)) {
        heading(nullptr, tx("Téléchargement de la mise à jour…", "Downloading update…"));
        auto* bar = new QProgressBar(body_);
        bar->setRange(0, 1000);
        bar->setValue(static_cast<int>(std::lround(downloading->progress * 1000)));
        bar->setTextVisible(false);
        bar->setFixedHeight(8);
        column->addWidget(bar);
    } else if (const auto* failed = std::get_if<U::Failed>(&state)) {
        heading(new UpdateSymbol(UpdateSymbol::Shape::exclamationmarkTriangleFill, 22, body_),
                tx("La vérification a échoué", "Update check failed"));
        detail(QString::fromStdString(failed->message));
    } else if (std::holds_alternative<U::Installing>(state)) {
        heading(new UpdateSpinner(20, body_),
                tx("Vérification et installation…", "Verifying and installing…"));
    } else if (std::holds_alternative<U::Checking>(state)) {
        heading(new UpdateSpinner(20, body_),
                tx("Recherche de mises à jour…", "Checking for updates…"));
    } else {
        heading(nullptr, tx("Rechercher une version plus récente de ZarvoRecorder.",
                            "Look for a newer version of ZarvoRecorder."));
    }

    const auto* available = std::get_if<U::UpdateAvailable>(&state);
    if (available && updater_.isPackageInstalled()) {
        connect(addButton(QStringLiteral("OK"), true), &QPushButton::clicked, this,
                [this] { close(); });
    } else if (available && !updater_.canInstallUpdates()) {
        connect(addButton(tx("Plus tard", "Later"), false), &QPushButton::clicked, this,
                [this] { close(); });
        const QUrl page(QString::fromStdString(updater_.releasePageURL(available->release)));
        connect(addButton(tx("Ouvrir la page de publication", "Open Release Page"), true),
                &QPushButton::clicked, this, [this, page] {
                    openUrl_(page);
                    close();
                });
    } else if (available) {
        connect(addButton(tx("Plus tard", "Later"), false), &QPushButton::clicked, this,
                [this] { close(); });
        const ReleaseInfo release = available->release;
        connect(addButton(tx("Installer et relancer", "Install and Relaunch"), true),
                &QPushButton::clicked, this,
                [this, release] { updater_.downloadAndInstall(release); });
    } else if (std::holds_alternative<U::Downloading>(state) ||
               std::holds_alternative<U::Installing>(state)) {
        addButton(tx("Fermer", "Close"), false)->setEnabled(false);
    } else if (std::holds_alternative<U::Failed>(state)) {
        connect(addButton(tx("Réessayer", "Retry"), false), &QPushButton::clicked, this,
                checkAgain);
        connect(addButton(tx("Fermer", "Close"), false), &QPushButton::clicked, this,
                [this] { close(); });
    } else {
        auto* again = addButton(tx("Rechercher à nouveau", "Check Again"), false);
        again->setEnabled(!std::holds_alternative<U::Checking>(state));
        connect(again, &QPushButton::clicked, this, checkAgain);
        connect(addButton(QStringLiteral("OK"), true), &QPushButton::clicked, this,
                [this] { close(); });
    }
    body_->show();
    // The height the wrapped texts need at the sheet's width: a longer French text or message
    // makes the sheet taller instead of being cut.
    layout->invalidate();
    layout->activate();
    const int height = layout->hasHeightForWidth() ? layout->totalHeightForWidth(kSheetWidth)
                                                   : layout->totalSizeHint().height();
    setFixedHeight(height);
}

}  // namespace zarvo
