#include "App/ui/SourceRow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDrag>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QVBoxLayout>

#include <utility>

#include "App/language/Text.h"
#include "App/ui/ElidedLabel.h"
#include "App/ui/Symbols.h"
#include "App/ui/Theme.h"

namespace zarvo {

SourceRow::SourceRow(Values values, std::function<void()> toggle, QWidget* parent)
    : QWidget(parent), values_(std::move(values)), toggle_(std::move(toggle)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 2, 0, 2);
    row->setSpacing(8);

    checkBox_ = new QCheckBox(this);
    checkBox_->setChecked(values_.isChosen);
    checkBox_->setAccessibleName(
        values_.isChosen ? tx("Arrêter d’enregistrer ", "Stop recording ") + values_.title
                         : tx("Enregistrer ", "Record ") + values_.title);
    // The row shows the model's choice: a click asks for the other one and the model answers.
    connect(checkBox_, &QCheckBox::clicked, this, [this] {
        checkBox_->setChecked(values_.isChosen);
        if (toggle_) {
            toggle_();
        }
    });
    row->addWidget(checkBox_, 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(0);
    texts->setContentsMargins(0, 0, 0, 0);
    auto* title = new ElidedLabel(values_.title, this);
    title->setObjectName(QStringLiteral("title"));
    title->setFont(theme::font(12));
    theme::setTextColour(title, values_.isDimmed ? theme::textDim : theme::text);
    auto* detail = new ElidedLabel(values_.detail, this);
    detail->setObjectName(QStringLiteral("detail"));
    detail->setFont(theme::digitsFont(10));
    theme::setTextColour(detail, theme::textFaint);
    texts->addWidget(title);
    texts->addWidget(detail);
    row->addLayout(texts, 1);

    if (values_.hasSound) {
        auto* note = new symbols::SymbolView(symbols::kMusicNote, theme::textDim, 10, this);
        note->setObjectName(QStringLiteral("sound"));
        note->setToolTip(tx("Cette source envoie du son", "This source has sound"));
        note->setAccessibleName(tx("Contient du son", "Has sound"));
        row->addWidget(note, 0, Qt::AlignTop);
    }
    if (values_.isNDI) {
        auto* badge = new QLabel(QStringLiteral("NDI"), this);
        badge->setObjectName(QStringLiteral("ndi"));
        badge->setFont(theme::digitsFont(9, QFont::Medium));
        badge->setAccessibleName(tx("Source NDI", "NDI source"));
        const QColor border = theme::withOpacity(theme::accent, 0.6);
        badge->setStyleSheet(
            QStringLiteral("QLabel { color: %1; border: 1px solid rgba(%2, %3, %4, %5); "
                           "border-radius: 3px; padding: 0px 3px; }")
                .arg(theme::hex(theme::accent))
                .arg(border.red())
                .arg(border.green())
                .arg(border.blue())
                .arg(border.alpha()));
        row->addWidget(badge, 0, Qt::AlignTop);
    }
}

void SourceRow::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    pressAt_ = event->position().toPoint();
    QWidget::mousePressEvent(event);
}

void SourceRow::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_ || dragIndex_ < 0 || !isEnabled() ||
        (event->position().toPoint() - pressAt_).manhattanLength() <
            QApplication::startDragDistance()) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    pressed_ = false;
    auto* mime = new QMimeData;
    mime->setData(kMimeType, QByteArray::number(dragIndex_));
    auto* drag = new QDrag(this);
    drag->setMimeData(mime);
    drag->setPixmap(grab());
    drag->setHotSpot(pressAt_);
    drag->exec(Qt::MoveAction);
}

}  // namespace zarvo
