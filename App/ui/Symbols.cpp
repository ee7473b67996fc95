#include "App/ui/Symbols.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>
#include <utility>

namespace zarvo::symbols {
namespace {

// Every symbol is drawn in a 20 × 20 box, scaled to the area.
constexpr double kBox = 20;

void outlinedRect(QPainter& painter, const QRectF& rect, const QColor& colour, double radius) {
    painter.setPen(QPen(colour, 1.6));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect, radius, radius);
}

void line(QPainter& painter, QPointF from, QPointF to, const QColor& colour) {
    painter.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(from, to);
}

}  // namespace

bool paint(QPainter& painter, const QString& name, const QRectF& area, const QColor& colour) {
    const double side = std::min(area.width(), area.height());
    if (side <= 0) {
        return false;
    }
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(area.center().x() - side / 2, area.center().y() - side / 2);
    painter.scale(side / kBox, side / kBox);
    bool known = true;
    const QRectF frame(2, 4, 16, 12);
    if (name == kRow) {
        outlinedRect(painter, frame, colour, 2);
        line(painter, {7.33, 4}, {7.33, 16}, colour);
        line(painter, {12.67, 4}, {12.67, 16}, colour);
    } else if (name == kColumn) {
        outlinedRect(painter, frame, colour, 2);
        line(painter, {2, 10}, {18, 10}, colour);
    } else if (name == kGrid) {
        outlinedRect(painter, frame, colour, 2);
        line(painter, {10, 4}, {10, 16}, colour);
        line(painter, {2, 10}, {18, 10}, colour);
    } else if (name == kFocus) {
        outlinedRect(painter, frame, colour, 2);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawRoundedRect(QRectF(12.2, 6.2, 4, 7.6), 1, 1);
    } else if (name == kMusicNote) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(QRectF(4, 12.5, 6.5, 5));
        painter.drawRect(QRectF(8.9, 3, 1.6, 12));
        QPainterPath flag;
        flag.moveTo(10.5, 3);
        flag.cubicTo(13, 4, 16, 5.5, 15.5, 9.5);
        flag.cubicTo(14.5, 7.5, 12.5, 7, 10.5, 7);
        flag.closeSubpath();
        painter.drawPath(flag);
    } else if (name == kFolder) {
        QPainterPath path;
        path.moveTo(2, 6);
        path.lineTo(2, 15.5);
        path.quadTo(2, 16.5, 3, 16.5);
        path.lineTo(17, 16.5);
        path.quadTo(18, 16.5, 18, 15.5);
        path.lineTo(18, 7.5);
        path.quadTo(18, 6.5, 17, 6.5);
        path.lineTo(9.5, 6.5);
        path.lineTo(8, 4.5);
        path.lineTo(3, 4.5);
        path.quadTo(2, 4.5, 2, 5.5);
        path.closeSubpath();
        painter.setPen(QPen(colour, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(path);
        line(painter, {2, 9}, {18, 9}, colour);
    } else if (name == kWarning) {
        QPainterPath triangle;
        triangle.moveTo(10, 2.5);
        triangle.lineTo(18.5, 17.5);
        triangle.lineTo(1.5, 17.5);
        triangle.closeSubpath();
        painter.setPen(QPen(colour, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(colour);
        painter.drawPath(triangle);
        // The mark is cut out of the filled triangle.
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        painter.drawRoundedRect(QRectF(9.1, 7, 1.8, 6), 0.9, 0.9);
        painter.drawEllipse(QRectF(9.0, 14, 2, 2));
    } else if (name == kCheckmark) {
        painter.setPen(QPen(colour, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        QPainterPath mark;
        mark.moveTo(4, 10.5);
        mark.lineTo(8.2, 14.5);
        mark.lineTo(16, 5.5);
        painter.drawPath(mark);
    } else if (name == kUpdateArrows) {
        // Two arcs chasing each other round a circle, each ending in an arrow head.
        painter.setPen(QPen(colour, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        const QRectF circle(3.5, 3.5, 13, 13);
        painter.drawArc(circle, 20 * 16, 140 * 16);
        painter.drawArc(circle, 200 * 16, 140 * 16);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawPolygon(QPolygonF({QPointF(1.2, 8.6), QPointF(6.4, 8.6), QPointF(3.8, 12.2)}));
        painter.drawPolygon(
            QPolygonF({QPointF(18.8, 11.4), QPointF(13.6, 11.4), QPointF(16.2, 7.8)}));
    } else if (name == kPictures) {
        outlinedRect(painter, QRectF(5.5, 3, 12.5, 9.5), colour, 1.5);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        QPainterPath front;
        front.addRoundedRect(QRectF(2, 7.5, 12.5, 9.5), 1.5, 1.5);
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.drawPath(front);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        outlinedRect(painter, QRectF(2, 7.5, 12.5, 9.5), colour, 1.5);
    } else {
        known = false;
    }
    painter.restore();
    return known;
}

QIcon icon(const QString& name, const QColor& colour, double points) {
    const qreal ratio = qApp ? qGuiApp->devicePixelRatio() : 1.0;
    const int pixels = std::max(1, static_cast<int>(std::lround(points * ratio)));
    // Drawn on a transparent picture of its own, so that the cut-outs show what is behind.
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        paint(painter, name, QRectF(0, 0, pixels, pixels), colour);
    }
    pixmap.setDevicePixelRatio(ratio);
    QIcon result;
    result.addPixmap(pixmap, QIcon::Normal);
    result.addPixmap(pixmap, QIcon::Active);
    result.addPixmap(pixmap, QIcon::Selected);
    return result;
}

SymbolView::SymbolView(QString name, QColor colour, double points, QWidget* parent)
    : QWidget(parent), name_(std::move(name)), colour_(std::move(colour)), points_(points) {
    setFixedSize(sizeHint());
    setAttribute(Qt::WA_TranslucentBackground);
}

void SymbolView::setColour(const QColor& colour) {
    if (colour_ != colour) {
        colour_ = colour;
        update();
    }
}

QSize SymbolView::sizeHint() const {
    const int side = static_cast<int>(std::ceil(points_));
    return {side, side};
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, icon(name_, colour_, points_).pixmap(QSize(width(), height())));
}

}  // namespace zarvo::symbols
