#pragma once

#include <QAbstractButton>

namespace zarvo {

// The round record button of the take bar: a ring in the record colour holding a disc while
// idle, filled with a white rounded square while recording. A click runs its action (the
// owner connects `clicked`).
class RecordButton : public QAbstractButton {
    Q_OBJECT

  public:
    static constexpr int kDiameter = 34;

    explicit RecordButton(QWidget* parent = nullptr);

    bool isRecording() const { return recording_; }
    // Also sets the accessible name.
    void setRecording(bool recording);
    // Follows the interface language.
    void retranslate();

    QSize sizeHint() const override { return {kDiameter, kDiameter}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool recording_ = false;
};

}  // namespace zarvo
