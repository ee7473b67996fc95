#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <vector>

class QButtonGroup;
class QLabel;
class QPushButton;

namespace zarvo {

class RecorderModel;
class RecordButton;

namespace symbols {
class SymbolView;
}

// The take's one-line caption, worked out from the model: a notice, else the recording's
// failure, else the counts while recording, else "finishing", else nothing.
struct TakeCaption {
    enum class Kind { none, notice, failure, counts, finishing };
    struct Part {
        QString text;
        QColor colour;
    };
    Kind kind = Kind::none;
    bool warning = false;  // shown with the warning symbol
    std::vector<Part> parts;

    static TakeCaption of(const RecorderModel& model);
    // The lost sound's duration: one decimal below 10 s, none from 10 s on.
    static QString soundDuration(double seconds);
    QString text() const;
};

// The bar above the monitor: the record button, the clock, the marker button, the caption and
// the output choice.
class TakeBar : public QWidget {
  public:
    explicit TakeBar(RecorderModel& model, QWidget* parent = nullptr);

    RecordButton* recordButton() const { return recordButton_; }
    QLabel* clock() const { return clock_; }
    QPushButton* markerButton() const { return markerButton_; }
    QLabel* caption() const { return caption_; }
    QPushButton* outputButton(int index) const;

  private:
    // Shows the model's current values and texts.
    void refresh();

    RecorderModel& model_;
    RecordButton* recordButton_ = nullptr;
    QLabel* clock_ = nullptr;
    QPushButton* markerButton_ = nullptr;
    symbols::SymbolView* warning_ = nullptr;
    QLabel* caption_ = nullptr;
    QWidget* outputs_ = nullptr;
    QButtonGroup* outputGroup_ = nullptr;
};

}  // namespace zarvo
