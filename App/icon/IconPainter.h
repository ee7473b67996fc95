#pragma once

#include <QImage>
#include <QRectF>
#include <QWidget>

class QPainter;

namespace zarvo {

// The application's icon, drawn with vector shapes: a dark rounded square holding three cyan
// tiles (one large picture beside two small ones) and a red record mark, with a soft shadow.
// Lengths are in 1/1024 of the smaller side of the area; a non-square area keeps the
// proportions, centred on the area.
void paintIcon(QPainter& painter, const QRectF& area);

// The icon alone, without its shadow, in 1/1024 units of `unit` pixels from `origin`.
void paintIconShapes(QPainter& painter, const QPointF& origin, double unit);

// The icon as a picture `pixels` wide and high, transparent around it.
QImage iconImage(int pixels);

// The icon as a widget: a square of `size` points.
class ZarvoRecorderIconView : public QWidget {
  public:
    explicit ZarvoRecorderIconView(double size, QWidget* parent = nullptr);

    double size() const { return size_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    double size_;
};

}  // namespace zarvo
