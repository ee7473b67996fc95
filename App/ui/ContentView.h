#pragma once

#include <QWidget>

namespace zarvo {

class InspectorView;
class MonitorView;
class RecorderModel;
class SourcesSidebar;
class StatusBar;
class TakeBar;

// The window's content: the take bar on top; the sources, the monitor and the inspector side
// by side; the status bar at the bottom.
class ContentView : public QWidget {
  public:
    explicit ContentView(RecorderModel& model, QWidget* parent = nullptr);

    TakeBar* takeBar() const { return takeBar_; }
    SourcesSidebar* sidebar() const { return sidebar_; }
    MonitorView* monitor() const { return monitor_; }
    InspectorView* inspector() const { return inspector_; }
    StatusBar* statusBar() const { return statusBar_; }

  private:
    TakeBar* takeBar_ = nullptr;
    SourcesSidebar* sidebar_ = nullptr;
    MonitorView* monitor_ = nullptr;
    InspectorView* inspector_ = nullptr;
    StatusBar* statusBar_ = nullptr;
};

}  // namespace zarvo
