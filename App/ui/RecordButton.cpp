#include "App/ui/RecordButton.h"

#include <QPainter>

#include "App/language/Text.h"
#include "App/ui/Theme.h"

namespace zarvo {

RecordButton::RecordButton(QWidget* parent) : QAbstractButton(parent) {
    setFixedSize(kDiameter, kDiameter);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    retranslate();
}

void RecordButton::setRecording(bool recording) {
    if (recording_ != recording) {
        recording_ = recording;
        retranslate();
        update();
    }
}

void RecordButton::retranslate() {
    setAccessibleName(recording_ ? tx("Arrêter l’enregistrement", "Stop recording")
                                 : tx("Enregistrer", "Record"));
}

void RecordButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF ring = QRectF(rect()).adjusted(1, 1, -1, -1);  // the 2-point ring inside
    painter.setPen(QPen(theme::record, 2));
    painter.setBrush(recording_ ? QBrush(theme::record) : QBrush(Qt::NoBrush));
    painter.drawEllipse(ring);
    const QPointF centre = QRectF(rect()).center();
    painter.setPen(Qt::NoPen);
    if (recording_) {
        painter.setBrush(Qt::white);
        painter.drawRoundedRect(QRectF(centre.x() - 6, centre.y() - 6, 12, 12), 2, 2);
    } else {
        painter.setBrush(theme::record);
        painter.drawEllipse(centre, 7.0, 7.0);
    }
    if (isDown()) {
        painter.setBrush(theme::withOpacity(Qt::black, 0.2));
        painter.drawEllipse(ring);
    }
}

}  // namespace zarvo
