#include "App/ui/AppCommands.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>

#include <chrono>
#include <optional>
#include <variant>

#include "App/RecorderModel.h"
#include "App/language/AppLanguage.h"
#include "App/language/Text.h"
#include "App/ui/AboutWindow.h"
#include "App/ui/ContentView.h"
#include "App/ui/HelpWindow.h"
#include "App/ui/InspectorView.h"
#include "App/ui/MainWindow.h"
#include "App/ui/MenuBar.h"
#include "App/ui/RemoteControlWindow.h"
#include "App/ui/StatusBar.h"
#include "App/ui/Symbols.h"
#include "App/ui/Theme.h"
#include "App/ui/UpdateSheetView.h"
#include "App/updater/ZarvoUpdater.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"

namespace zarvo {
namespace {

double secondsSince1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct AppCommands::Observers {
    ScopedObserver updater;
    ScopedObserver language;
};

AppCommands::AppCommands(MainWindow& window, RecorderModel& model, ZarvoUpdater& updater)
    : QObject(&window),
      window_(window),
      model_(model),
      updater_(updater),
      observers_(std::make_unique<Observers>()) {
    // The application menu: About and Check for Updates… before the record command.
    QMenu* application = window.menus()->applicationMenu();
    QAction* first = application->actions().value(0);
    about_ = new QAction(application);
    about_->setMenuRole(QAction::AboutRole);
    connect(about_, &QAction::triggered, this, [this] { showAbout(); });
    check_ = new QAction(application);
    connect(check_, &QAction::triggered, this, [this] { checkForUpdates(); });
    remote_ = new QAction(application);
    connect(remote_, &QAction::triggered, this, [this] { showRemoteControl(); });
    application->insertAction(first, about_);
    application->insertAction(first, check_);
    application->insertAction(first, remote_);
    application->insertSeparator(first);

    helpMenu_ = window.menuBar()->addMenu(QString());
    populateHelpMenu(*helpMenu_, [this] { return QString::fromStdString(model_.version()); });

    // The status bar: the update button when a release was found, and the version that opens
    // the about window.
    StatusBar* status = window.content()->statusBar();
    updateButton_ = new QPushButton(status);
    updateButton_->setObjectName(QStringLiteral("update"));
    updateButton_->setFont(theme::digitsFont(10, QFont::DemiBold));
    updateButton_->setCursor(Qt::PointingHandCursor);
    updateButton_->setFlat(true);
    updateButton_->setStyleSheet(
        QStringLiteral("QPushButton { color: %1; background: %2; border: none; border-radius: 8px;"
                       " padding: 2px 7px; }")
            .arg(theme::hex(theme::background), theme::hex(theme::accent)));
    connect(updateButton_, &QPushButton::clicked, this,
            [this] { updater_.setUpdateSheetPresented(true); });
    status->insertItem(updateButton_);
    version_ = status->versionLabel();
    version_->setCursor(Qt::PointingHandCursor);
    version_->installEventFilter(this);

    // The inspector's display section: the automatic check and a check now, on one line.
    InspectorView* inspector = window.content()->inspector();
    auto* updates = new QWidget(inspector);
    auto* line = new QHBoxLayout(updates);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(6);
    autoCheck_ = new QCheckBox(updates);
    autoCheck_->setFont(theme::font(11));
    theme::setTextColour(autoCheck_, theme::text);
    connect(autoCheck_, &QCheckBox::clicked, this,
            [this](bool on) { updater_.setAutoCheckOnLaunch(on); });
    line->addWidget(autoCheck_);
    line->addStretch(1);
    checkButton_ = new QPushButton(updates);
    checkButton_->setFont(theme::font(11));
    checkButton_->setIcon(
        symbols::icon(QString::fromUtf8(symbols::kUpdateArrows), theme::text, 13));
    connect(checkButton_, &QPushButton::clicked, this, [this] { checkForUpdates(); });
    line->addWidget(checkButton_);
    inspector->addToDisplaySection(updates);

    // Shown over the window while the updater asks for it.
    sheet_ = new UpdateSheetView(updater_, &window);

    observers_->updater =
        ScopedObserver(NotificationCenter::defaultCenter(), ZarvoUpdater::kDidChangeNotification,
                       &updater_, [this](const NotificationCenter::Notification&) { refresh(); });
    observers_->language =
        ScopedObserver(NotificationCenter::defaultCenter(), language::kDidChangeNotification,
                       nullptr, [this](const NotificationCenter::Notification&) { refresh(); });
    refresh();
}

AppCommands::~AppCommands() = default;

void AppCommands::checkForUpdates() {
    updater_.setUpdateSheetPresented(true);
    updater_.checkForUpdates(false, secondsSince1970());
}

void AppCommands::showHelp() {
    HelpWindowController::shared().show(std::nullopt, QString::fromStdString(model_.version()));
}

void AppCommands::showAbout() {
    const std::string bundle = runningBundlePath();
    const int64_t port = model_.oscPort();
    AboutWindowController::shared().show(
        AboutFacts::ofBundle(bundle, bundleInfo(bundle), model_.ndiAvailable(),
                             port > 0 ? std::optional<int>(static_cast<int>(port)) : std::nullopt),
        [this] { showHelp(); }, [this] { checkForUpdates(); });
}

void AppCommands::showRemoteControl() {
    RemoteControlWindowController::shared().show(remotePageAddresses(model_.oscQueryPort()));
}

bool AppCommands::eventFilter(QObject* watched, QEvent* event) {
    if (watched == version_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        showAbout();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void AppCommands::refresh() {
    about_->setText(tx("À propos de ZarvoRecorder", "About ZarvoRecorder"));
    check_->setText(tx("Rechercher des mises à jour…", "Check for Updates…"));
    remote_->setText(tx("Télécommande…", "Remote Control…"));
    version_->setToolTip(tx("À propos de ZarvoRecorder", "About ZarvoRecorder"));

    const auto* available = std::get_if<ZarvoUpdater::UpdateAvailable>(&updater_.state());
    updateButton_->setVisible(available != nullptr);
    if (available) {
        updateButton_->setText(tx("↑ MAJ v", "↑ Update v") +
                               QString::fromStdString(available->release.version));
    }
    updateButton_->setToolTip(tx("Une mise à jour est disponible", "An update is available"));
    updateButton_->setAccessibleName(updateButton_->toolTip());

    autoCheck_->setText(tx("Mises à jour auto", "Auto-check updates"));
    autoCheck_->setChecked(updater_.autoCheckOnLaunch());
    checkButton_->setText(tx("Vérifier MAJ…", "Check Updates…"));
    checkButton_->setEnabled(!std::holds_alternative<ZarvoUpdater::Checking>(updater_.state()));
}

}  // namespace zarvo
