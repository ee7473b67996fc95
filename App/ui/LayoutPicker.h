#pragma once

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QToolButton;

namespace zarvo {

// The row of layout buttons, one per layout choice, each showing its symbol; the current one
// is lit. A click chooses that layout. Disabled, the row is drawn at half opacity and does not
// react.
class LayoutPicker : public QWidget {
  public:
    using Choose = std::function<void(const std::string& name)>;

    explicit LayoutPicker(Choose choose, QWidget* parent = nullptr);

    void setLayoutName(const std::string& layout);
    const std::string& layoutName() const { return layout_; }
    void setPickerEnabled(bool enabled);
    bool isPickerEnabled() const { return enabled_; }
    void retranslate();
    // The button of a layout, for tests.
    QToolButton* button(const std::string& name) const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void restyle();

    Choose choose_;
    std::string layout_;
    bool enabled_ = true;
    std::vector<QToolButton*> buttons_;
};

}  // namespace zarvo
