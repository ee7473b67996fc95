#include "App/ui/SourcesSidebar.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cmath>

#include "App/language/Text.h"
#include "App/ui/SourceRow.h"
#include "App/ui/Theme.h"
#include "engine/RecorderController.h"

namespace zarvo {

QString SourcesSidebar::placeDetail(const RecorderModel::Place& place) {
    if (place.isOnline) {
        return QString::number(place.width) + QString::fromUtf8(" × ") +
               QString::number(place.height) + QString::fromUtf8(" · ") +
               QString::number(static_cast<long long>(std::lround(place.fps))) + tx(" i/s", " fps");
    }
    return place.width < 1 ? tx("En attente", "Waiting for it") : tx("Absente", "Away");
}

SourcesSidebar::SourcesSidebar(RecorderModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setFixedWidth(kWidth);
    theme::setBackground(this, theme::panel);
    setAcceptDrops(true);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    theme::setBackground(scroll->viewport(), theme::panel);
    outer->addWidget(scroll);

    content_ = new QWidget;
    theme::setBackground(content_, theme::panel);
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(6);
    sourcesTitle_ = theme::sectionTitle(QString(), content_);
    column->addWidget(sourcesTitle_);
    placesBox_ = new QWidget(content_);
    placesLayout_ = new QVBoxLayout(placesBox_);
    placesLayout_->setContentsMargins(0, 0, 0, 0);
    placesLayout_->setSpacing(4);
    column->addWidget(placesBox_);
    column->addSpacing(10);
    availableTitle_ = theme::sectionTitle(QString(), content_);
    column->addWidget(availableTitle_);
    auto* availableBox = new QWidget(content_);
    availableLayout_ = new QVBoxLayout(availableBox);
    availableLayout_->setContentsMargins(0, 0, 0, 0);
    availableLayout_->setSpacing(4);
    column->addWidget(availableBox);
    noneYet_ = theme::label(QString(), 12, theme::textFaint, content_);
    column->addWidget(noneYet_);
    column->addStretch(1);
    scroll->setWidget(content_);

    connect(&model_, &RecorderModel::changed, this, [this] { refresh(); });
    refresh();
}

void SourcesSidebar::refresh() {
    const bool english = language::isEnglish();
    if (!built_ || english != shownEnglish_ || shownPlaces_ != model_.places() ||
        shownAvailable_ != model_.available()) {
        rebuild();
    }
    content_->setEnabled(model_.isIdle());
}

void SourcesSidebar::rebuild() {
    built_ = true;
    shownEnglish_ = language::isEnglish();
    shownPlaces_ = model_.places();
    shownAvailable_ = model_.available();
    sourcesTitle_->setText(tx("Sources", "Sources").toUpper());
    availableTitle_->setText(tx("Disponibles", "Available").toUpper());
    noneYet_->setText(tx("Aucune pour l’instant", "None yet"));

    for (SourceRow* row : placeRows_) {
        delete row;
    }
    for (SourceRow* row : availableRows_) {
        delete row;
    }
    placeRows_.clear();
    availableRows_.clear();

    auto controller = model_.controller();
    for (size_t i = 0; i < shownPlaces_.size(); ++i) {
        const RecorderModel::Place& place = shownPlaces_[i];
        const uint64_t number = i + 1;
        auto* row = new SourceRow(
            {QString::fromStdString(place.title), placeDetail(place), place.kind == "ndi",
             place.hasSound, true, !place.isOnline},
            [controller, number] { controller->removeSourceAtPlace(number); }, placesBox_);
        row->setDragIndex(static_cast<int>(i));
        placesLayout_->addWidget(row);
        placeRows_.push_back(row);
    }
    for (const RecorderModel::Source& source : shownAvailable_) {
        const std::string title = source.title;
        auto* row = new SourceRow(
            {QString::fromStdString(source.title), QString::fromStdString(source.detail),
             source.kind == "ndi", false, false, false},
            [controller, title] { controller->addSourceMatching(title); }, content_);
        availableLayout_->addWidget(row);
        availableRows_.push_back(row);
    }
    placesBox_->setVisible(!placeRows_.empty());
    noneYet_->setVisible(availableRows_.empty());
}

void SourcesSidebar::movePlace(int from, int to) {
    const int count = static_cast<int>(shownPlaces_.size());
    if (from < 0 || from >= count || to < 0 || to > count) {
        return;
    }
    // A drop before row `to`: below its own row a place lands one lower than the gap it left.
    const int destination = from < to ? to - 1 : to;
    if (destination == from) {
        return;
    }
    model_.recorder().moveSourceFromPlace(static_cast<uint64_t>(from) + 1,
                                          static_cast<uint64_t>(destination) + 1);
}

int SourcesSidebar::dropPosition(int y) const {
    int position = 0;
    for (const SourceRow* row : placeRows_) {
        if (y > row->geometry().center().y()) {
            ++position;
        }
    }
    return position;
}

void SourcesSidebar::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasFormat(SourceRow::kMimeType) && model_.isIdle()) {
        event->acceptProposedAction();
    }
}

void SourcesSidebar::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasFormat(SourceRow::kMimeType) && model_.isIdle()) {
        event->acceptProposedAction();
    }
}

void SourcesSidebar::dropEvent(QDropEvent* event) {
    bool ok = false;
    const int from = event->mimeData()->data(SourceRow::kMimeType).toInt(&ok);
    if (!ok || !model_.isIdle()) {
        return;
    }
    const QPoint at = placesBox_->mapFrom(this, event->position().toPoint());
    movePlace(from, dropPosition(at.y()));
    event->acceptProposedAction();
}

}  // namespace zarvo
