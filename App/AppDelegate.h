#pragma once

#include <QObject>

#include <memory>

namespace zarvo {

class AppCommands;
class MainWindow;
class QtMainQueue;
class RecorderModel;
class ToolkitTranslations;
class ZarvoUpdater;

namespace app {

class HeadlessApp;
class QuitSignalWatcher;

// The windowed program: the recorder exactly as the program without a window builds it
// (HeadlessApp, on the toolkit's event loop through QtMainQueue), the model the window reads,
// the window, and one quit path for the menu, closing the window and SIGTERM/SIGINT: a running
// take is stopped and its movies finished before the program ends.
class AppDelegate : public QObject {
  public:
    // After the application object. nullptr with the reason logged when the recorder cannot
    // be made.
    static std::unique_ptr<AppDelegate> create();
    ~AppDelegate() override;

    RecorderModel& model() const { return *model_; }
    MainWindow& window() const { return *window_; }
    HeadlessApp& recorder() const { return *recorder_; }
    ZarvoUpdater& updater() const { return *updater_; }
    AppCommands& commands() const { return *commands_; }

    // The quit path; the event loop ends once the movies are finished.
    void quit();

  private:
    AppDelegate() = default;

    std::unique_ptr<QtMainQueue> mainQueue_;
    std::unique_ptr<HeadlessApp> recorder_;
    std::unique_ptr<ToolkitTranslations> translations_;
    std::unique_ptr<ZarvoUpdater> updater_;
    std::unique_ptr<RecorderModel> model_;
    std::unique_ptr<MainWindow> window_;
    AppCommands* commands_ = nullptr;  // owned by the window
    std::unique_ptr<QuitSignalWatcher> signals_;
};

// Runs the windowed program on the platform chosen by DisplayProbe; the exit status.
int runWithWindow(int argc, char** argv, const char* platform);

}  // namespace app
}  // namespace zarvo
