#pragma once

#include <QObject>

#include <memory>

class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;

namespace zarvo {

class MainWindow;
class RecorderModel;
class UpdateSheetView;
class ZarvoUpdater;

// What the window offers beyond the recording itself: the application menu's "About
// ZarvoRecorder" and "Check for Updates…", the Help menu, the status bar's update button and
// version (which opens the about window), the inspector's update controls, and the update sheet
// shown over the window while the updater asks for it. Made on the main thread after the
// window; every text follows the interface language.
class AppCommands : public QObject {
  public:
    AppCommands(MainWindow& window, RecorderModel& model, ZarvoUpdater& updater);
    ~AppCommands() override;

    // Shows the sheet and checks, not silently: the menu item and the inspector's button.
    void checkForUpdates();
    void showAbout();
    void showHelp();
    // The remote control window, with the page's addresses for the OSCQuery port now.
    void showRemoteControl();

    QAction* aboutAction() const { return about_; }
    QAction* checkAction() const { return check_; }
    QAction* remoteControlAction() const { return remote_; }
    QMenu* helpMenu() const { return helpMenu_; }
    QPushButton* updateButton() const { return updateButton_; }
    QCheckBox* autoCheckSwitch() const { return autoCheck_; }
    QPushButton* checkButton() const { return checkButton_; }
    UpdateSheetView* sheet() const { return sheet_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Shows the updater's state and the current language in the commands.
    void refresh();

    MainWindow& window_;
    RecorderModel& model_;
    ZarvoUpdater& updater_;
    QAction* about_ = nullptr;
    QAction* check_ = nullptr;
    QAction* remote_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QPushButton* updateButton_ = nullptr;
    QLabel* version_ = nullptr;
    QCheckBox* autoCheck_ = nullptr;
    QPushButton* checkButton_ = nullptr;
    UpdateSheetView* sheet_ = nullptr;
    struct Observers;
    std::unique_ptr<Observers> observers_;
};

}  // namespace zarvo
