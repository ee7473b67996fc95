#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "App/icon/IconPainter.h"
#include "tests/App/Screenshots.h"

namespace zarvo {
namespace {

// The colour at a point given in 1/1024 of the icon's side.
QColor at(const QImage& image, double x, double y) {
    const double unit = image.width() / 1024.0;
    return image.pixelColor(static_cast<int>(x * unit), static_cast<int>(y * unit));
}

TEST(IconTest, TheShapesLieWhereTheirProportionsPutThemAtEverySize) {
    for (int size : {64, 256, 1024}) {
        SCOPED_TRACE(size);
        const QImage image = zarvo::iconImage(size);
        ASSERT_EQ(image.size(), QSize(size, size));
        // Outside the rounded square only a faint shadow: well below the 45 % of its core.
        EXPECT_LT(at(image, 20, 20).alpha(), 40);
        // The background, dark and opaque, between the tiles.
        const QColor background = at(image, 512, 180);
        EXPECT_EQ(background.alpha(), 255);
        EXPECT_LT(background.red(), 45);
        // A tile's cyan outline: green and blue well above red.
        const QColor outline = at(image, 196 + 15, 288 + 186);
        EXPECT_GT(outline.green(), outline.red() + 80);
        EXPECT_GT(outline.blue(), outline.red() + 80);
        // The red record mark at the centre of its circle, white around it, then the dark ring.
        const QColor mark = at(image, 744, 718);
        EXPECT_GT(mark.red(), 230);
        EXPECT_LT(mark.green(), 120);
        const QColor white = at(image, 744, 620 - 10);
        EXPECT_GT(white.red() + white.green() + white.blue(), 600);
        if (size >= 256) {  // the ring shows 16 units beyond the white: too thin to sample below
            const QColor ring = at(image, 744, 620 - 28);
            EXPECT_LT(ring.red() + ring.green() + ring.blue(), 100);
            EXPECT_EQ(ring.alpha(), 255);
        }
    }
}

TEST(IconTest, ANonSquareAreaKeepsTheProportionsCentred) {
    QImage wide(600, 200, QImage::Format_ARGB32_Premultiplied);
    wide.fill(Qt::transparent);
    {
        QPainter painter(&wide);
        paintIcon(painter, QRectF(0, 0, 600, 200));
    }
    const QImage square = iconImage(200);
    // The icon is the one of a 200-pixel square, moved 200 pixels across.
    for (QPoint point : {QPoint(100, 40), QPoint(145, 140), QPoint(60, 100)}) {
        EXPECT_EQ(wide.pixelColor(point + QPoint(200, 0)), square.pixelColor(point));
    }
    EXPECT_EQ(wide.pixelColor(20, 100).alpha(), 0);
}

TEST(IconTest, ScreenshotsOfTheIconAtSeveralSizes) {
    for (int size : {16, 32, 64, 128, 512}) {
        ZarvoRecorderIconView view(size);
        EXPECT_EQ(view.sizeHint(), QSize(size, size));
        const QImage picture = test::saveScreenshot(view, QStringLiteral("icon-%1").arg(size));
        EXPECT_EQ(picture.size(), QSize(size, size));
    }
}

}  // namespace
}  // namespace zarvo
