#include "App/ui/LayoutPicker.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QPainter>
#include <QToolButton>

#include <utility>

#include "App/RecorderModel.h"
#include "App/ui/Symbols.h"
#include "App/ui/Theme.h"

namespace zarvo {

LayoutPicker::LayoutPicker(Choose choose, QWidget* parent)
    : QWidget(parent), choose_(std::move(choose)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(1, 1, 1, 1);
    row->setSpacing(0);
    for (const RecorderModel::Choice& choice : RecorderModel::layouts()) {
        auto* button = new QToolButton(this);
        button->setObjectName(QString::fromUtf8(choice.name));
        button->setFixedSize(34, 24);
        button->setIconSize(QSize(16, 16));
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::TabFocus);
        const std::string name = choice.name;
        connect(button, &QToolButton::clicked, this, [this, name] {
            if (enabled_ && choose_) {
                choose_(name);
            }
        });
        row->addWidget(button);
        buttons_.push_back(button);
    }
    auto* opacity = new QGraphicsOpacityEffect(this);
    opacity->setOpacity(1.0);
    setGraphicsEffect(opacity);
    setFixedSize(34 * 4 + 2, 26);
    retranslate();
    restyle();
}

void LayoutPicker::setLayoutName(const std::string& layout) {
    if (layout_ != layout) {
        layout_ = layout;
        restyle();
    }
}

void LayoutPicker::setPickerEnabled(bool enabled) {
    if (enabled_ != enabled) {
        enabled_ = enabled;
        setEnabled(enabled);
        static_cast<QGraphicsOpacityEffect*>(graphicsEffect())->setOpacity(enabled ? 1.0 : 0.5);
        restyle();
    }
}

void LayoutPicker::retranslate() {
    const auto& choices = RecorderModel::layouts();
    for (size_t i = 0; i < buttons_.size(); ++i) {
        buttons_[i]->setToolTip(choices[i].title());
        buttons_[i]->setAccessibleName(choices[i].title());
    }
}

QToolButton* LayoutPicker::button(const std::string& name) const {
    for (QToolButton* button : buttons_) {
        if (button->objectName().toStdString() == name) {
            return button;
        }
    }
    return nullptr;
}

void LayoutPicker::restyle() {
    const auto& choices = RecorderModel::layouts();
    for (size_t i = 0; i < buttons_.size(); ++i) {
        const bool current = layout_ == choices[i].name;
        const QColor ink = current ? theme::text : theme::textDim;
        buttons_[i]->setIcon(symbols::icon(QString::fromUtf8(choices[i].symbol), ink, 16));
        buttons_[i]->setStyleSheet(
            QStringLiteral("QToolButton { background: %1; border: none; border-radius: 0; }")
                .arg(theme::hex(current ? theme::field : theme::panel)));
    }
}

void LayoutPicker::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(theme::separator, 1));
    painter.setBrush(theme::panel);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
}

}  // namespace zarvo
