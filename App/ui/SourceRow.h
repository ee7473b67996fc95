#pragma once

#include <QString>
#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;

namespace zarvo {

namespace symbols {
class SymbolView;
}

// One source in the sidebar: a checkbox (ticked when chosen; any click toggles), the title over
// its detail, a sound mark and an NDI badge. A chosen row can be dragged to another place.
class SourceRow : public QWidget {
  public:
    struct Values {
        QString title;
        QString detail;
        bool isNDI = false;
        bool hasSound = false;
        bool isChosen = false;
        bool isDimmed = false;
    };

    SourceRow(Values values, std::function<void()> toggle, QWidget* parent = nullptr);

    const Values& values() const { return values_; }
    QCheckBox* checkBox() const { return checkBox_; }
    // The place's index while chosen, which a drag carries; -1 for an available source.
    void setDragIndex(int index) { dragIndex_ = index; }

    // The drag's data type and how it carries the index.
    static constexpr const char* kMimeType = "application/x-zarvo-place";

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    const Values values_;
    std::function<void()> toggle_;
    QCheckBox* checkBox_ = nullptr;
    int dragIndex_ = -1;
    QPoint pressAt_;
    bool pressed_ = false;
};

}  // namespace zarvo
