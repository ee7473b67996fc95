#include "App/ui/MenuBar.h"

#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>

#include <functional>
#include <utility>

#include "App/RecorderModel.h"
#include "App/language/Text.h"
#include "engine/RecorderController.h"

namespace zarvo {

MenuBar::MenuBar(QMenuBar& menuBar, RecorderModel& model, std::function<void()> quit)
    : QObject(&menuBar), menuBar_(menuBar), model_(model) {
    applicationMenu_ = menuBar_.addMenu(QStringLiteral("ZarvoRecorder"));
    record_ = applicationMenu_->addAction(QString());
    record_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    record_->setShortcutContext(Qt::ApplicationShortcut);
    connect(record_, &QAction::triggered, this, [this] { model_.recorder().toggle(); });
    marker_ = applicationMenu_->addAction(QString());
    marker_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    marker_->setShortcutContext(Qt::ApplicationShortcut);
    connect(marker_, &QAction::triggered, this, [this] { model_.recorder().addMarker(""); });
    applicationMenu_->addSeparator();
    quit_ = applicationMenu_->addAction(QString());
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit_->setShortcutContext(Qt::ApplicationShortcut);
    quit_->setMenuRole(QAction::QuitRole);
    connect(quit_, &QAction::triggered, this, [quit = std::move(quit)] {
        if (quit) {
            quit();
        }
    });

    languageMenu_ = menuBar_.addMenu(QString());
    languages_ = new QActionGroup(this);
    languages_->setExclusive(true);
    for (size_t i = 0; i < language::allCases.size(); ++i) {
        QAction* action = languageMenu_->addAction(QString());
        action->setCheckable(true);
        languages_->addAction(action);
        const AppLanguage language = language::allCases[i];
        connect(action, &QAction::triggered, this,
                [this, language] { model_.setLanguage(language); });
    }
    connect(&model_, &RecorderModel::changed, this, [this] { refresh(); });
    refresh();
}

QAction* MenuBar::languageAction(int index) const {
    return languages_->actions().value(index);
}

void MenuBar::refresh() {
    record_->setText(model_.isIdle() ? tx("Démarrer l’enregistrement", "Start Recording")
                                     : tx("Arrêter l’enregistrement", "Stop Recording"));
    marker_->setText(tx("Ajouter un marqueur", "Add Marker"));
    marker_->setEnabled(model_.recorderState() == RecorderState::recording);
    quit_->setText(tx("Quitter", "Quit"));
    languageMenu_->setTitle(tx("Langue", "Language"));
    const auto actions = languages_->actions();
    for (size_t i = 0; i < language::allCases.size(); ++i) {
        QAction* action = actions[static_cast<int>(i)];
        action->setText(QString::fromStdString(language::label(language::allCases[i])));
        action->setChecked(model_.language() == language::allCases[i]);
    }
}

}  // namespace zarvo
