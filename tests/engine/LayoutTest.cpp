#include "engine/Layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace zarvo {
namespace {

constexpr int64_t kRow = 0;
constexpr int64_t kColumn = 1;
constexpr int64_t kGrid = 2;
constexpr int64_t kFocus = 3;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const Size kHD{1920, 1080};
const Size k720{1280, 720};
const Size kPortrait{1080, 1920};

TEST(LayoutTest, KindNames) {
    EXPECT_EQ(Layout::kindNames(), (std::vector<std::string>{"row", "column", "grid", "focus"}));
    EXPECT_EQ(Layout::nameForKind(kColumn), "column");
    EXPECT_EQ(Layout::nameForKind(kFocus), "focus");
    EXPECT_EQ(Layout::nameForKind(7), "row");
    EXPECT_EQ(Layout::nameForKind(-1), "row");

    int64_t kind = -5;
    EXPECT_TRUE(Layout::getKind(kind, "Focus"));
    EXPECT_EQ(kind, kFocus);
    EXPECT_TRUE(Layout::getKind(kind, "GRID"));
    EXPECT_EQ(kind, kGrid);

    kind = 42;
    EXPECT_FALSE(Layout::getKind(kind, "diagonal"));
    EXPECT_FALSE(Layout::getKind(kind, ""));
    EXPECT_FALSE(Layout::getKind(kind, "focus "));
    EXPECT_EQ(kind, 42);
}

TEST(LayoutTest, NoSources) {
    for (int64_t kind : {kRow, kColumn, kGrid, kFocus}) {
        const Layout natural(kind, {}, 10);
        EXPECT_EQ(natural.size(), (Size{1920, 1080}));
        EXPECT_TRUE(natural.frames().empty());

        const Layout fitted(kind, {}, 10, {1001.7, 601});
        EXPECT_EQ(fitted.size(), (Size{1000, 600}));
        EXPECT_TRUE(fitted.frames().empty());
    }
}

TEST(LayoutTest, OneSourceFillsTheNaturalPicture) {
    for (int64_t kind : {kRow, kColumn, kGrid, kFocus, int64_t{7}}) {
        const Layout layout(kind, {{1279, 719}}, 25);
        EXPECT_EQ(layout.kind(), kind);
        EXPECT_EQ(layout.size(), (Size{1280, 720}));
        EXPECT_EQ(layout.frames(), (std::vector<Rect>{{0, 0, 1279, 719}}));
    }
    // Fractional sizes are used as is; the picture rounds up and then up to even.
    const Layout fractional(kRow, {{1280.2, 719.5}}, 0);
    EXPECT_EQ(fractional.size(), (Size{1282, 720}));
    EXPECT_EQ(fractional.frames(), (std::vector<Rect>{{0, 0, 1280.2, 719.5}}));
}

TEST(LayoutTest, UnusableSourceSizesBecomeHD) {
    const std::vector<Size> unusable = {
        {0, 0},       {1920, 0.5},  {0.5, 1080},   {-1920, 1080},  {kNaN, 1080},
        {1920, kNaN}, {kInf, 1080}, {1920, -kInf}, {1e300, 1e300},
    };
    for (const Size& s : unusable) {
        const Layout layout(kRow, {s}, 0);
        EXPECT_EQ(layout.size(), kHD) << s.width << "x" << s.height;
        EXPECT_EQ(layout.frames(), (std::vector<Rect>{{0, 0, 1920, 1080}}));
    }
    // A one-pixel source is small but usable.
    EXPECT_EQ(Layout(kRow, {{1, 1}}, 0).frames(), (std::vector<Rect>{{0, 0, 1, 1}}));
}

TEST(LayoutTest, Row) {
    const Layout layout(kRow, {kHD, k720}, 10);
    EXPECT_EQ(layout.size(), (Size{3850, 1080}));
    EXPECT_EQ(layout.frames(), (std::vector<Rect>{{0, 0, 1920, 1080}, {1930, 0, 1920, 1080}}));

    // Everything takes the tallest height; widths are rounded half away from zero
    // (6 * 3 / 4 = 4.5 -> 5).
    const Layout mixed(kRow, {{3, 4}, {1, 6}, {2, 3}}, 1);
    EXPECT_EQ(mixed.frames(), (std::vector<Rect>{{0, 0, 5, 6}, {6, 0, 1, 6}, {8, 0, 4, 6}}));
    EXPECT_EQ(mixed.size(), (Size{12, 6}));
}

TEST(LayoutTest, Column) {
    const Layout layout(kColumn, {kHD, kPortrait}, 4);
    // 1920 * 1920 / 1080 = 3413.33
    EXPECT_EQ(layout.frames(), (std::vector<Rect>{{0, 0, 1920, 1080}, {0, 1084, 1920, 3413}}));
    EXPECT_EQ(layout.size(), (Size{1920, 4498}));
}

TEST(LayoutTest, GridOfThreeLeavesTheFourthCellEmpty) {
    const Layout layout(kGrid, {kHD, k720, {999, 1080}}, 10);
    EXPECT_EQ(layout.size(), (Size{3850, 2170}));
    EXPECT_EQ(layout.frames(), (std::vector<Rect>{
                                   {0, 0, 1920, 1080},      // fits the cell exactly
                                   {1930, 0, 1920, 1080},   // scaled up to the cell
                                   {460, 1090, 999, 1080},  // centred, offset floored
                               }));

    // The cell takes the widest width and the tallest height separately.
    const Layout crossed(kGrid, {kHD, kPortrait}, 0);
    EXPECT_EQ(crossed.size(), (Size{3840, 1920}));
    EXPECT_EQ(crossed.frames(), (std::vector<Rect>{{0, 420, 1920, 1080}, {2340, 0, 1080, 1920}}));

    // A narrow source scaled by 67.5 into a 1920x1080 cell: width 202.5 rounds to 203, and the
    // centring offset floor(858.5) is 858.
    const Layout narrow(kGrid, {kHD, {3, 16}}, 0);
    EXPECT_EQ(narrow.size(), (Size{3840, 1080}));
    EXPECT_EQ(narrow.frames()[1], (Rect{1920 + 858, 0, 203, 1080}));
}

TEST(LayoutTest, GridShape) {
    // Columns = ceil(sqrt(n)), rows = ceil(n / columns), visible through the natural size.
    const struct {
        size_t count;
        Size size;
    } cases[] = {{2, {200, 100}},  {3, {200, 200}}, {4, {200, 200}}, {5, {300, 200}},
                 {6, {300, 200}},  {7, {300, 300}}, {9, {300, 300}}, {10, {400, 300}},
                 {16, {400, 400}}, {17, {500, 400}}};
    for (const auto& c : cases) {
        const Layout layout(kGrid, std::vector<Size>(c.count, Size{100, 100}), 0);
        EXPECT_EQ(layout.size(), c.size) << c.count;
        ASSERT_EQ(layout.frames().size(), c.count);
    }
    // Filled row by row; a short last row stays on the left.
    const Layout five(kGrid, std::vector<Size>(5, Size{100, 100}), 0);
    EXPECT_EQ(five.frames()[2], (Rect{200, 0, 100, 100}));
    EXPECT_EQ(five.frames()[3], (Rect{0, 100, 100, 100}));
    EXPECT_EQ(five.frames()[4], (Rect{100, 100, 100, 100}));
}

TEST(LayoutTest, Focus) {
    const Layout layout(kFocus, {kHD, kHD, kHD}, 0);
    EXPECT_EQ(layout.size(), (Size{2880, 1080}));
    EXPECT_EQ(layout.frames(),
              (std::vector<Rect>{{0, 0, 1920, 1080}, {1920, 0, 960, 540}, {1920, 540, 960, 540}}));

    // Tile height floor((1080 - 10) / 2) = 535; widths 951 and 301, the narrow tile centred in the
    // column; the natural width 2881 grows to even.
    const Layout mixed(kFocus, {kHD, k720, kPortrait}, 10);
    EXPECT_EQ(mixed.frames(),
              (std::vector<Rect>{{0, 0, 1920, 1080}, {1930, 0, 951, 535}, {2255, 545, 301, 535}}));
    EXPECT_EQ(mixed.size(), (Size{2882, 1080}));

    // Any kind outside 0..2 is focus.
    for (int64_t kind : {int64_t{7}, int64_t{-1}}) {
        const Layout other(kind, {kHD, k720, kPortrait}, 10);
        EXPECT_EQ(other.frames(), mixed.frames());
        EXPECT_EQ(other.size(), mixed.size());
        EXPECT_EQ(other.kind(), kind);
    }
}

TEST(LayoutTest, NegativeGapIsZero) {
    for (int64_t kind : {kRow, kColumn, kGrid, kFocus}) {
        const std::vector<Size> sizes = {kHD, k720, kPortrait};
        const Layout negative(kind, sizes, -7);
        const Layout zero(kind, sizes, 0);
        EXPECT_EQ(negative.frames(), zero.frames()) << kind;
        EXPECT_EQ(negative.size(), zero.size()) << kind;
    }
}

TEST(LayoutTest, FittingSize) {
    // Floored to even.
    const Layout exact(kRow, {kHD}, 0, {1921, 1081});
    EXPECT_EQ(exact.size(), kHD);
    EXPECT_EQ(exact.frames(), (std::vector<Rect>{{0, 0, 1920, 1080}}));

    // Scaled up.
    const Layout up(kRow, {k720}, 0, kHD);
    EXPECT_EQ(up.size(), kHD);
    EXPECT_EQ(up.frames(), (std::vector<Rect>{{0, 0, 1920, 1080}}));

    // Letterboxed: 1080 * 0.5625 = 607.5, bars floor(236.25) on top.
    const Layout letterbox(kRow, {kHD}, 0, {1080, 1080});
    EXPECT_EQ(letterbox.frames(), (std::vector<Rect>{{0, 236, 1080, 607}}));

    // Pillarboxed: the odd leftover pixel goes to the right.
    const Layout pillarbox(kRow, {{1001, 1080}}, 0, kHD);
    EXPECT_EQ(pillarbox.frames(), (std::vector<Rect>{{459, 0, 1001, 1080}}));

    // (1920 - 2 * 1080 / 1079) / 2 = 958.9991 is taken as 959, not 958.
    const Layout nearlyWhole(kRow, {{2, 1079}}, 0, kHD);
    EXPECT_EQ(nearlyWhole.frames()[0].x, 959);

    // Tiny: 2x2, and every frame keeps at least one pixel.
    const Layout tiny(kGrid, {kHD, k720, kPortrait, {1, 1}, kHD}, 20, {1, 1});
    EXPECT_EQ(tiny.size(), (Size{2, 2}));
    for (const Rect& f : tiny.frames()) {
        EXPECT_GE(f.width, 1);
        EXPECT_GE(f.height, 1);
    }

    // Unusable fitting sizes mean none.
    for (const Size& none : std::vector<Size>{
             {0, 1080}, {1920, 0.9}, {kNaN, 1080}, {1920, kNaN}, {kInf, 1080}, {-1920, -1080}}) {
        const Layout layout(kRow, {kHD, k720}, 10, none);
        EXPECT_EQ(layout.size(), (Size{3850, 1080}));
        EXPECT_EQ(layout.frames()[1], (Rect{1930, 0, 1920, 1080}));
    }
}

TEST(LayoutTest, PathologicalInputsStayFinite) {
    const std::vector<Size> extreme = {{1, 16777216}, {16777216, 1}, {1, 1}, kHD};
    const int64_t gaps[] = {0, std::numeric_limits<int64_t>::max()};
    const Size fits[] = {{}, {1e300, 1e300}, {3, 1e300}};
    for (int64_t kind : {kRow, kColumn, kGrid, kFocus}) {
        for (int64_t gap : gaps) {
            for (const Size& fit : fits) {
                const Layout layout(kind, extreme, gap, fit);
                EXPECT_TRUE(std::isfinite(layout.size().width));
                EXPECT_TRUE(std::isfinite(layout.size().height));
                EXPECT_GE(layout.size().width, 2);
                EXPECT_GE(layout.size().height, 2);
                ASSERT_EQ(layout.frames().size(), extreme.size());
                for (const Rect& f : layout.frames()) {
                    EXPECT_TRUE(std::isfinite(f.x) && std::isfinite(f.y) &&
                                std::isfinite(f.width) && std::isfinite(f.height))
                        << kind << " " << gap << " " << fit.width;
                    EXPECT_GE(f.width, 1);
                    EXPECT_GE(f.height, 1);
                }
            }
        }
    }
}

bool IsEvenWhole(double v) {
    return v >= 2 && std::floor(v) == v && std::fmod(v, 2) == 0;
}

TEST(LayoutTest, FramesStayInsideThePictureAndScaledNeighboursTouch) {
    const std::vector<Size> pool = {kHD, k720, kPortrait, {640, 480}, {1279, 719}, {333, 777}, kHD};
    const Size fits[] = {{}, {1, 1}, {641, 359}, {1920, 1080}, {3840, 2160}, {500, 2001}};
    for (int64_t kind : {kRow, kColumn, kGrid, kFocus}) {
        for (size_t n = 0; n <= pool.size(); ++n) {
            const std::vector<Size> sizes(pool.begin(),
                                          pool.begin() + static_cast<std::ptrdiff_t>(n));
            for (int64_t gap : {0, 8}) {
                for (const Size& fit : fits) {
                    const Layout layout(kind, sizes, gap, fit);
                    const Size size = layout.size();
                    const std::string where =
                        Layout::nameForKind(kind) + " n=" + std::to_string(n) +
                        " gap=" + std::to_string(gap) + " fit=" + std::to_string(fit.width);
                    EXPECT_TRUE(IsEvenWhole(size.width) && IsEvenWhole(size.height)) << where;
                    ASSERT_EQ(layout.frames().size(), n) << where;
                    for (const Rect& f : layout.frames()) {
                        EXPECT_GE(f.width, 1) << where;
                        EXPECT_GE(f.height, 1) << where;
                        EXPECT_GE(f.x, 0) << where;
                        EXPECT_GE(f.y, 0) << where;
                        EXPECT_LE(f.x + f.width, size.width) << where;
                        EXPECT_LE(f.y + f.height, size.height) << where;
                    }
                    // Scaled rows and columns without a gap have no overlap and no hairline.
                    if (gap != 0 || fit.width < 100 || (kind != kRow && kind != kColumn)) {
                        continue;
                    }
                    const std::vector<Rect>& frames = layout.frames();
                    for (size_t i = 1; i < frames.size(); ++i) {
                        if (kind == kRow) {
                            EXPECT_EQ(frames[i - 1].x + frames[i - 1].width, frames[i].x) << where;
                            EXPECT_EQ(frames[i - 1].y, frames[i].y) << where;
                        } else {
                            EXPECT_EQ(frames[i - 1].y + frames[i - 1].height, frames[i].y) << where;
                            EXPECT_EQ(frames[i - 1].x, frames[i].x) << where;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace zarvo
