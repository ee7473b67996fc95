#pragma once

#include <QObject>

#include <functional>

class QAction;
class QActionGroup;
class QMenu;
class QMenuBar;

namespace zarvo {

class RecorderModel;

// The window's menus: the application's menu (the record command, Quit) and the Language
// menu. Their texts follow the interface language and the record command's title follows the
// recording state. Other menus and items are added through `applicationMenu()` and `menuBar()`.
class MenuBar : public QObject {
  public:
    // `quit` is what Quit does (the window's quit path).
    MenuBar(QMenuBar& menuBar, RecorderModel& model, std::function<void()> quit);

    QMenuBar& menuBar() const { return menuBar_; }
    QMenu* applicationMenu() const { return applicationMenu_; }
    QMenu* languageMenu() const { return languageMenu_; }
    QAction* recordAction() const { return record_; }
    QAction* markerAction() const { return marker_; }
    QAction* quitAction() const { return quit_; }
    QAction* languageAction(int index) const;

  private:
    // Shows the current language and state in the menus.
    void refresh();

    QMenuBar& menuBar_;
    RecorderModel& model_;
    QMenu* applicationMenu_ = nullptr;
    QMenu* languageMenu_ = nullptr;
    QAction* record_ = nullptr;
    QAction* marker_ = nullptr;
    QAction* quit_ = nullptr;
    QActionGroup* languages_ = nullptr;
};

}  // namespace zarvo
