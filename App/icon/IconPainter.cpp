#include "App/icon/IconPainter.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <vector>

namespace zarvo {
namespace {

const QColor kBackgroundTop{35, 40, 51};
const QColor kBackgroundBottom{15, 17, 21};
const QColor kCyan{92, 225, 230};
const QColor kRecordRing{18, 21, 26};
const QColor kRecord{255, 92, 87};

// The shadow: black at 45 %, 6 points of blur, 3 points down.
constexpr double kShadowOpacity = 0.45;
constexpr double kShadowRadius = 6;
constexpr double kShadowOffsetY = 3;

QColor withAlpha(QColor colour, double alpha) {
    colour.setAlphaF(static_cast<float>(alpha));
    return colour;
}

// Blurs the alpha channel of a premultiplied picture in place with three box passes each way,
// which come close to a Gaussian of that radius.
void blurAlpha(QImage& image, double radius) {
    const int box = std::max(1, static_cast<int>(std::lround(radius / 1.7)));
    const int width = image.width();
    const int height = image.height();
    std::vector<int> alpha(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            alpha[static_cast<size_t>(y) * width + x] = qAlpha(line[x]);
        }
    }
    std::vector<int> scratch(std::max(width, height));
    auto pass = [&](int count, int stride, int lines, int lineStride) {
        for (int line = 0; line < lines; ++line) {
            int* base = alpha.data() + static_cast<ptrdiff_t>(line) * lineStride;
            for (int i = 0; i < count; ++i) {
                scratch[i] = base[static_cast<ptrdiff_t>(i) * stride];
            }
            int sum = 0;
            for (int i = -box; i <= box; ++i) {
                sum += scratch[std::clamp(i, 0, count - 1)];
            }
            for (int i = 0; i < count; ++i) {
                base[static_cast<ptrdiff_t>(i) * stride] = sum / (2 * box + 1);
                sum += scratch[std::min(i + box + 1, count - 1)] - scratch[std::max(i - box, 0)];
            }
        }
    };
    for (int round = 0; round < 3; ++round) {
        pass(width, 1, height, width);
        pass(height, width, width, 1);
    }
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            line[x] = qRgba(0, 0, 0, alpha[static_cast<size_t>(y) * width + x]);
        }
    }
}

QRectF units(double x, double y, double w, double h, const QPointF& origin, double unit) {
    return {origin.x() + x * unit, origin.y() + y * unit, w * unit, h * unit};
}

}  // namespace

void paintIconShapes(QPainter& painter, const QPointF& origin, double unit) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    // The background square.
    const QRectF square = units(100, 100, 824, 824, origin, unit);
    QLinearGradient backgroundFill(0, square.top(), 0, square.bottom());
    backgroundFill.setColorAt(0, kBackgroundTop);
    backgroundFill.setColorAt(1, kBackgroundBottom);
    painter.setBrush(backgroundFill);
    painter.drawRoundedRect(square, 186 * unit, 186 * unit);

    // The three tiles: one large picture beside two small ones.
    const QRectF tiles[] = {units(196, 288, 382.72, 372, origin, unit),
                            units(612.72, 288, 215.28, 169, origin, unit),
                            units(612.72, 491, 215.28, 169, origin, unit)};
    for (const QRectF& tile : tiles) {
        QLinearGradient tileFill(0, tile.top(), 0, tile.bottom() + 80 * unit);
        tileFill.setColorAt(0, withAlpha(kCyan, 0.34));
        tileFill.setColorAt(1, withAlpha(kCyan, 0.04));
        painter.setPen(Qt::NoPen);
        painter.setBrush(tileFill);
        painter.drawRoundedRect(tile, 46 * unit, 46 * unit);
        const double inset = 15 * unit;
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(kCyan, 30 * unit));
        painter.drawRoundedRect(tile.adjusted(inset, inset, -inset, -inset), 31 * unit, 31 * unit);
    }

    // The record mark.
    const QRectF mark = units(646, 620, 196, 196, origin, unit);
    const double ring = 36 * unit;
    painter.setPen(Qt::NoPen);
    painter.setBrush(kRecordRing);
    painter.drawEllipse(mark.adjusted(-ring, -ring, ring, ring));
    painter.setBrush(kRecord);
    painter.drawEllipse(mark);
    const double outline = 10 * unit;
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 20 * unit));
    painter.drawEllipse(mark.adjusted(-outline, -outline, outline, outline));

    // A faint edge.
    const double edge = 2 * unit;
    painter.setPen(QPen(withAlpha(Qt::white, 0.10), 4 * unit));
    painter.drawRoundedRect(square.adjusted(edge, edge, -edge, -edge), 184 * unit, 184 * unit);
    painter.restore();
}

void paintIcon(QPainter& painter, const QRectF& area) {
    const double side = std::min(area.width(), area.height());
    if (side <= 0) {
        return;
    }
    const QPointF origin(area.left() + (area.width() - side) / 2,
                         area.top() + (area.height() - side) / 2);
    const double unit = side / 1024.0;

    // The shadow is the icon's own shape, blurred, drawn first in a picture of device pixels.
    const double scale = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const double margin = kShadowRadius * 2 + kShadowOffsetY;
    const int pixels = static_cast<int>(std::ceil((side + 2 * margin) * scale));
    QImage shadow(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    shadow.fill(Qt::transparent);
    {
        QPainter shadowPainter(&shadow);
        shadowPainter.scale(scale, scale);
        paintIconShapes(shadowPainter, QPointF(margin, margin), unit);
    }
    blurAlpha(shadow, kShadowRadius * scale);
    shadow.setDevicePixelRatio(scale);
    painter.save();
    painter.setOpacity(painter.opacity() * kShadowOpacity);
    painter.drawImage(QPointF(origin.x() - margin, origin.y() - margin + kShadowOffsetY), shadow);
    painter.restore();

    paintIconShapes(painter, origin, unit);
}

QImage iconImage(int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paintIcon(painter, QRectF(0, 0, pixels, pixels));
    painter.end();
    return image;
}

ZarvoRecorderIconView::ZarvoRecorderIconView(double size, QWidget* parent)
    : QWidget(parent), size_(size) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
    setAttribute(Qt::WA_TranslucentBackground);
}

QSize ZarvoRecorderIconView::sizeHint() const {
    const int side = static_cast<int>(std::ceil(size_));
    return {side, side};
}

void ZarvoRecorderIconView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintIcon(painter, QRectF(0, 0, size_, size_));
}

}  // namespace zarvo
