#pragma once

#include <QWidget>

#include <vector>

#include "App/RecorderModel.h"

class QLabel;
class QVBoxLayout;

namespace zarvo {

class SourceRow;

// The list of sources on the left: the chosen ones ("Sources", in place order, draggable to
// reorder, dimmed while offline) above those that can still be chosen ("Available"). Disabled
// during a take.
class SourcesSidebar : public QWidget {
  public:
    static constexpr int kWidth = 230;

    explicit SourcesSidebar(RecorderModel& model, QWidget* parent = nullptr);

    // The detail line of a chosen source.
    static QString placeDetail(const RecorderModel::Place& place);

    // Moves the place at row `from` so that it lands before row `to` (0…count), as a drop does.
    void movePlace(int from, int to);
    // The row a drop at `y` (in the Sources section's coordinates) lands before.
    int dropPosition(int y) const;

    const std::vector<SourceRow*>& placeRows() const { return placeRows_; }
    const std::vector<SourceRow*>& availableRows() const { return availableRows_; }
    QLabel* noneYet() const { return noneYet_; }

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    // Shows the model's current values and texts.
    void refresh();
    void rebuild();

    RecorderModel& model_;
    std::vector<RecorderModel::Place> shownPlaces_;
    std::vector<RecorderModel::Source> shownAvailable_;
    bool shownEnglish_ = false;
    bool built_ = false;
    QWidget* content_ = nullptr;
    QLabel* sourcesTitle_ = nullptr;
    QLabel* availableTitle_ = nullptr;
    QWidget* placesBox_ = nullptr;
    QVBoxLayout* placesLayout_ = nullptr;
    QVBoxLayout* availableLayout_ = nullptr;
    QLabel* noneYet_ = nullptr;
    std::vector<SourceRow*> placeRows_;
    std::vector<SourceRow*> availableRows_;
};

}  // namespace zarvo
