#pragma once

#include <QMainWindow>

#include <functional>

namespace zarvo {

class ContentView;
class MenuBar;
class RecorderModel;

// The recorder's one window: the content view under the menu bar. Closing it asks for the
// quit path instead of closing at once: the window stays while a take is being finished and
// closes when `allowClose` says the program is ending.
class MainWindow : public QMainWindow {
  public:
    static constexpr int kMinimumWidth = 900;
    static constexpr int kMinimumHeight = 520;
    // Room for the sources, the picture and the whole inspector in French, within what a
    // 1366 × 768 screen leaves for a window.
    static constexpr int kDefaultWidth = 1200;
    static constexpr int kDefaultHeight = 700;

    MainWindow(RecorderModel& model, std::function<void()> quit);

    ContentView* content() const { return content_; }
    MenuBar* menus() const { return menus_; }
    // From now on a close request closes the window.
    void allowClose() { closeAllowed_ = true; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    std::function<void()> quit_;
    ContentView* content_ = nullptr;
    MenuBar* menus_ = nullptr;
    bool closeAllowed_ = false;
};

}  // namespace zarvo
