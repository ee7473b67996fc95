#include <pthread.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/gpu/CommandQueue.h"
#include "platform/gpu/Device.h"
#include "platform/gpu/Draw.h"

namespace zarvo::gpu {
namespace {

// A pixel as {B, G, R, A}, the order of the bytes in memory.
using Bgra = std::array<int, 4>;

void put(Texture& t, int64_t x, int64_t y, Bgra p) {
    for (int c = 0; c < 4; ++c) {
        t.row(y)[x * 4 + c] = static_cast<uint8_t>(p[static_cast<size_t>(c)]);
    }
}

Bgra at(const Texture& t, int64_t x, int64_t y) {
    const uint8_t* p = t.row(y) + x * 4;
    return {p[0], p[1], p[2], t.alphaAt(x, y)};
}

TextureRef image(int64_t width, int64_t height, const std::function<Bgra(int64_t, int64_t)>& f) {
    TextureRef t = Texture::make(width, height);
    for (int64_t y = 0; y < height; ++y) {
        for (int64_t x = 0; x < width; ++x) {
            put(*t, x, y, f(x, y));
        }
    }
    return t;
}

TextureRef uniform(int64_t width, int64_t height, Bgra p) {
    return image(width, height, [p](int64_t, int64_t) { return p; });
}

// Grey levels along one row or column: every channel but alpha is the level.
Bgra grey(int level) {
    return {level, level, level, 255};
}

std::vector<int> greyRow(const Texture& t, int64_t y) {
    std::vector<int> levels;
    for (int64_t x = 0; x < t.width(); ++x) {
        levels.push_back(at(t, x, y)[0]);
    }
    return levels;
}

std::vector<int> greyColumn(const Texture& t, int64_t x) {
    std::vector<int> levels;
    for (int64_t y = 0; y < t.height(); ++y) {
        levels.push_back(at(t, x, y)[0]);
    }
    return levels;
}

DrawQuad quad(TextureRef t, double x, double y, double w, double h, float opaque = 0,
              bool flipped = false) {
    return {std::move(t), x, y, w, h, flipped, opaque};
}

constexpr ClearColor kOpaqueBlack{0, 0, 0, 1};
constexpr ClearColor kTransparent{0, 0, 0, 0};

// A straightforward floating-point rendition of the drawing rules, to compare against.
Bgra referenceSample(const DrawQuad& q, int64_t i, int64_t j) {
    const Texture& t = *q.texture;
    const double u = (static_cast<double>(i) + 0.5 - q.x) / q.width;
    double v = (static_cast<double>(j) + 0.5 - q.y) / q.height;
    v = q.flipped ? 1 - v : v;
    const double s = u * static_cast<double>(t.width()) - 0.5;
    const double r = v * static_cast<double>(t.height()) - 0.5;
    const auto clampX = [&](double k) { return std::clamp<int64_t>(int64_t(k), 0, t.width() - 1); };
    const auto clampY = [&](double k) {
        return std::clamp<int64_t>(int64_t(k), 0, t.height() - 1);
    };
    const double fx = s - std::floor(s);
    const double fy = r - std::floor(r);
    const int64_t x0 = clampX(std::floor(s)), x1 = clampX(std::floor(s) + 1);
    const int64_t y0 = clampY(std::floor(r)), y1 = clampY(std::floor(r) + 1);
    Bgra out{};
    for (size_t c = 0; c < 4; ++c) {
        const auto texel = [&](int64_t x, int64_t y) { return double(at(t, x, y)[c]); };
        const double top = texel(x0, y0) * (1 - fx) + texel(x1, y0) * fx;
        const double bottom = texel(x0, y1) * (1 - fx) + texel(x1, y1) * fx;
        out[c] = int(std::lround(top * (1 - fy) + bottom * fy));
    }
    out[3] = std::max(out[3], int(std::lround(std::clamp(q.opaque, 0.0f, 1.0f) * 255)));
    return out;
}

// Every pixel of the target within `tolerance` of the reference; returns the count of misses.
int countMismatches(const Texture& target, Bgra clear, const std::vector<DrawQuad>& draws,
                    int tolerance) {
    int misses = 0;
    for (int64_t j = 0; j < target.height(); ++j) {
        for (int64_t i = 0; i < target.width(); ++i) {
            Bgra expected = clear;
            for (const DrawQuad& q : draws) {
                const double cx = double(i) + 0.5, cy = double(j) + 0.5;
                if (cx >= q.x && cx < q.x + q.width && cy >= q.y && cy < q.y + q.height) {
                    expected = referenceSample(q, i, j);
                }
            }
            const Bgra got = at(target, i, j);
            for (size_t c = 0; c < 4; ++c) {
                if (std::abs(got[c] - expected[c]) > tolerance) {
                    if (misses++ < 5) {
                        ADD_FAILURE() << "pixel (" << i << ", " << j << ") channel " << c << ": "
                                      << got[c] << " instead of " << expected[c];
                    }
                    break;
                }
            }
        }
    }
    return misses;
}

// ---- Drawing ----

class GpuDrawTest : public ::testing::Test {
  protected:
    // Draws one pass and waits for it.
    void draw(const TextureRef& target, ClearColor clear, std::vector<DrawQuad> draws) {
        const CommandBufferRef buffer = queue->commandBuffer();
        ASSERT_TRUE(buffer->renderPass(target, clear, std::move(draws)));
        ASSERT_TRUE(buffer->commit());
        ASSERT_EQ(buffer->waitUntilCompleted(), CommandBuffer::Status::Completed)
            << buffer->error();
    }

    CommandQueueRef queue = CommandQueue::make(Device::systemDefault());
};

// Distinct values in every channel, alpha included.
Bgra pattern(int64_t x, int64_t y) {
    return {int(x * 40 + y), int(200 - x * 13 - y * 7), int(x * 3 + y * 50), int(10 + x * 30 + y)};
}

TEST_F(GpuDrawTest, OwnSizeAtIntegerPositionCopiesBitForBit) {
    const TextureRef source = image(5, 3, pattern);
    const TextureRef target = Texture::make(5, 3);
    draw(target, kOpaqueBlack, {quad(source, 0, 0, 5, 3, 0)});
    for (int64_t y = 0; y < 3; ++y) {
        for (int64_t x = 0; x < 5; ++x) {
            EXPECT_EQ(at(*target, x, y), pattern(x, y)) << x << ", " << y;
        }
    }
}

TEST_F(GpuDrawTest, QuadAtAnOffsetLeavesTheClearColourAround) {
    const TextureRef source = image(2, 2, pattern);
    const TextureRef target = Texture::make(5, 4);
    draw(target, kOpaqueBlack, {quad(source, 2, 1, 2, 2, 0)});
    for (int64_t y = 0; y < 4; ++y) {
        for (int64_t x = 0; x < 5; ++x) {
            const bool inside = x >= 2 && x < 4 && y >= 1 && y < 3;
            EXPECT_EQ(at(*target, x, y), (inside ? pattern(x - 2, y - 1) : Bgra{0, 0, 0, 255}))
                << x << ", " << y;
        }
    }
}

TEST_F(GpuDrawTest, FlippedQuadsAreDrawnUpright) {
    const TextureRef source = image(3, 4, pattern);
    const TextureRef target = Texture::make(3, 4);
    draw(target, kTransparent, {quad(source, 0, 0, 3, 4, 0, true)});
    for (int64_t y = 0; y < 4; ++y) {
        for (int64_t x = 0; x < 3; ++x) {
            EXPECT_EQ(at(*target, x, y), pattern(x, 3 - y)) << x << ", " << y;
        }
    }
    // Scaled: a column from black at the top to white at the bottom, turned over.
    const TextureRef edge = image(1, 2, [](int64_t, int64_t y) { return grey(y == 0 ? 0 : 255); });
    const TextureRef tall = Texture::make(1, 4);
    draw(tall, kTransparent, {quad(edge, 0, 0, 1, 4, 0, false)});
    EXPECT_EQ(greyColumn(*tall, 0), (std::vector<int>{0, 64, 191, 255}));
    draw(tall, kTransparent, {quad(edge, 0, 0, 1, 4, 0, true)});
    EXPECT_EQ(greyColumn(*tall, 0), (std::vector<int>{255, 191, 64, 0}));
}

TEST_F(GpuDrawTest, QuadsAreClippedToTheTarget) {
    const TextureRef source = image(3, 3, pattern);
    const TextureRef target = Texture::make(4, 4);
    draw(target, kTransparent, {quad(source, -1, -2, 3, 3, 0), quad(source, 3, 2, 3, 3, 0)});
    for (int64_t y = 0; y < 4; ++y) {
        for (int64_t x = 0; x < 4; ++x) {
            Bgra expected{0, 0, 0, 0};
            if (x < 2 && y < 1) {
                expected = pattern(x + 1, y + 2);
            } else if (x >= 3 && y >= 2) {
                expected = pattern(x - 3, y - 2);
            }
            EXPECT_EQ(at(*target, x, y), expected) << x << ", " << y;
        }
    }
}

TEST_F(GpuDrawTest, QuadsCoveringNoPixelCentreDrawNothing) {
    const TextureRef white = uniform(2, 2, grey(255));
    const TextureRef target = uniform(4, 4, grey(77));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    draw(target, kOpaqueBlack,
         {quad(white, 4, 0, 2, 2), quad(white, -2, -2, 2, 2), quad(white, 0, 10, 4, 4),
          quad(white, 1, 1, 0, 2), quad(white, 1, 1, 2, -1), quad(white, 1.6, 0, 0.8, 4),
          quad(white, nan, 0, 2, 2), quad(white, 0, 0, inf, 2), quad(nullptr, 0, 0, 4, 4)});
    for (int64_t y = 0; y < 4; ++y) {
        EXPECT_EQ(greyRow(*target, y), (std::vector<int>{0, 0, 0, 0}));
        EXPECT_EQ(at(*target, 0, y)[3], 255);
    }
}

TEST_F(GpuDrawTest, PixelsAreCoveredWhenTheirCentreIsInside) {
    const TextureRef white = uniform(3, 3, grey(255));
    const TextureRef target = Texture::make(6, 1);
    // [0.5, 2.5) holds the centres of pixels 0 and 1; [3.6, 5.4) only that of pixel 4.
    draw(target, kOpaqueBlack, {quad(white, 0.5, 0, 2, 1), quad(white, 3.6, 0, 1.8, 1)});
    EXPECT_EQ(greyRow(*target, 0), (std::vector<int>{255, 255, 0, 0, 255, 0}));
}

TEST_F(GpuDrawTest, ClearColourFillsTheWholeTarget) {
    const TextureRef target = uniform(3, 2, {1, 2, 3, 4});
    draw(target, kOpaqueBlack, {});
    EXPECT_EQ(at(*target, 2, 1), (Bgra{0, 0, 0, 255}));
    EXPECT_EQ(at(*target, 0, 0), (Bgra{0, 0, 0, 255}));
    draw(target, kTransparent, {});
    EXPECT_EQ(at(*target, 2, 1), (Bgra{0, 0, 0, 0}));
    draw(target, ClearColor{1, 0.5, 0.25, 0.5}, {});  // r, g, b, a
    EXPECT_EQ(at(*target, 1, 1), (Bgra{64, 128, 255, 128}));
    draw(target, ClearColor{-1, 2, std::nan(""), 1}, {});
    EXPECT_EQ(at(*target, 1, 0), (Bgra{0, 255, 0, 255}));
}

TEST_F(GpuDrawTest, OpaqueRaisesAlphaWithoutDarkeningColours) {
    const TextureRef source = image(2, 1, [](int64_t x, int64_t) {
        return x == 0 ? Bgra{50, 100, 200, 128} : Bgra{10, 20, 30, 200};
    });
    const TextureRef target = Texture::make(4, 2);  // also scaled, through the filter
    draw(target, kTransparent, {quad(source, 0, 0, 2, 1, 0), quad(source, 0, 1, 4, 1, 0)});
    EXPECT_EQ(at(*target, 0, 0), (Bgra{50, 100, 200, 128}));
    EXPECT_EQ(at(*target, 0, 1), (Bgra{50, 100, 200, 128}));
    EXPECT_EQ(at(*target, 3, 1), (Bgra{10, 20, 30, 200}));

    draw(target, kTransparent, {quad(source, 0, 0, 2, 1, 1), quad(source, 0, 1, 4, 1, 1)});
    EXPECT_EQ(at(*target, 0, 0), (Bgra{50, 100, 200, 255}));
    EXPECT_EQ(at(*target, 1, 0), (Bgra{10, 20, 30, 255}));
    EXPECT_EQ(at(*target, 0, 1), (Bgra{50, 100, 200, 255}));

    // In between, alpha is raised to the given level and no further.
    draw(target, kTransparent, {quad(source, 0, 0, 2, 1, 0.6f)});
    EXPECT_EQ(at(*target, 0, 0), (Bgra{50, 100, 200, 153}));
    EXPECT_EQ(at(*target, 1, 0), (Bgra{10, 20, 30, 200}));
}

TEST_F(GpuDrawTest, LaterQuadsReplaceEarlierOnesWithoutBlending) {
    const TextureRef white = uniform(1, 1, grey(255));
    const TextureRef clearPixel = uniform(1, 1, {0, 0, 0, 0});
    const TextureRef target = Texture::make(3, 1);
    draw(target, kOpaqueBlack, {quad(white, 0, 0, 3, 1), quad(clearPixel, 1, 0, 1, 1, 0)});
    EXPECT_EQ(at(*target, 0, 0), grey(255));
    EXPECT_EQ(at(*target, 1, 0), (Bgra{0, 0, 0, 0}));
    EXPECT_EQ(at(*target, 2, 0), grey(255));
}

TEST_F(GpuDrawTest, OpaqueViewIsDrawnOpaque) {
    const TextureRef source = image(2, 2, [](int64_t x, int64_t y) {
        return Bgra{int(x * 100), int(y * 100), 7, 0};
    });
    const TextureRef target = Texture::make(4, 4);
    draw(target, kTransparent, {quad(source->opaqueView(), 0, 0, 2, 2, 0)});
    EXPECT_EQ(at(*target, 1, 1), (Bgra{100, 100, 7, 255}));
    draw(target, kTransparent, {quad(source->opaqueView(), 0, 0, 4, 4, 0)});
    for (int64_t y = 0; y < 4; ++y) {
        for (int64_t x = 0; x < 4; ++x) {
            EXPECT_EQ(at(*target, x, y)[3], 255) << x << ", " << y;
        }
    }
    EXPECT_EQ(at(*source, 0, 0)[3], 0);  // the stored pixels are untouched
}

TEST_F(GpuDrawTest, ScalingAUniformColourKeepsItExactly) {
    const Bgra colour{13, 200, 77, 129};
    const TextureRef source = uniform(7, 5, colour);
    struct Case {
        int64_t width, height;
        double x, y, w, h;
    };
    for (const Case& c :
         {Case{3, 2, 0, 0, 3, 2}, Case{16, 9, 0, 0, 16, 9}, Case{14, 10, 0, 0, 14, 10},
          Case{11, 13, 0.3, 1.7, 10.6, 9.1}, Case{12, 12, -3.5, -2.25, 20, 30}}) {
        const TextureRef target = Texture::make(c.width, c.height);
        draw(target, kTransparent, {quad(source, c.x, c.y, c.w, c.h, 0)});
        draw(target, kTransparent, {quad(source, c.x, c.y, c.w, c.h, 0, true)});
        for (int64_t y = 0; y < c.height; ++y) {
            for (int64_t x = 0; x < c.width; ++x) {
                const double cx = double(x) + 0.5, cy = double(y) + 0.5;
                const bool inside = cx >= c.x && cx < c.x + c.w && cy >= c.y && cy < c.y + c.h;
                ASSERT_EQ(at(*target, x, y), (inside ? colour : Bgra{0, 0, 0, 0}))
                    << c.width << "x" << c.height << " at " << x << ", " << y;
            }
        }
    }
}

TEST_F(GpuDrawTest, DoublingInterpolatesBetweenTexels) {
    // Blue steps from black to white across, green down.
    const TextureRef edges = image(2, 2, [](int64_t x, int64_t y) {
        return Bgra{x == 0 ? 0 : 255, y == 0 ? 0 : 255, 9, 255};
    });
    const TextureRef target = Texture::make(4, 4);
    draw(target, kTransparent, {quad(edges, 0, 0, 4, 4, 0)});
    // Centres at texel positions −0.25 (clamped), 0.25, 0.75, 1.25 (clamped).
    const int levels[] = {0, 64, 191, 255};
    for (int64_t j = 0; j < 4; ++j) {
        for (int64_t i = 0; i < 4; ++i) {
            EXPECT_EQ(at(*target, i, j), (Bgra{levels[i], levels[j], 9, 255})) << i << ", " << j;
        }
    }
}

TEST_F(GpuDrawTest, EnlargingClampsToTheEdgeTexels) {
    // 16 pixels fill the rows of their storage exactly: reading past the last texel would leave
    // the texture.
    const TextureRef ramp = image(16, 1, [](int64_t x, int64_t) { return grey(int(x) * 16); });
    const TextureRef target = Texture::make(40, 3);
    draw(target, kTransparent, {quad(ramp, 0, 0, 40, 3, 0)});
    for (int64_t j = 0; j < 3; ++j) {
        EXPECT_EQ(at(*target, 0, j), grey(0));
        EXPECT_EQ(at(*target, 1, j), grey(2));     // texel position 0.1
        EXPECT_EQ(at(*target, 38, j), grey(238));  // 14.9
        EXPECT_EQ(at(*target, 39, j), grey(240));  // 15.3, clamped to 15
    }
}

TEST_F(GpuDrawTest, HalvingAveragesNeighbours) {
    // Each output pixel lies midway between two texels in both directions. Blue varies across,
    // green down, and red has a black/white edge between texels 8 and 9.
    const TextureRef source = image(22, 4, [](int64_t x, int64_t y) {
        return Bgra{int(x) * 11, int(y) * 60, x < 9 ? 0 : 255, 255};
    });
    const TextureRef target = Texture::make(11, 2);
    draw(target, kTransparent, {quad(source, 0, 0, 11, 2, 0)});
    for (int64_t j = 0; j < 2; ++j) {
        for (int64_t i = 0; i < 11; ++i) {
            const int red = i < 4 ? 0 : (i == 4 ? 128 : 255);
            EXPECT_EQ(at(*target, i, j), (Bgra{int(i) * 22 + 6, int(j) * 120 + 30, red, 255}))
                << i << ", " << j;
        }
    }
}

TEST_F(GpuDrawTest, ThreeToTwoWeighsTheNearerTexelMore) {
    const TextureRef ramp = image(3, 1, [](int64_t x, int64_t) { return grey(int(x) * 100); });
    const TextureRef target = Texture::make(2, 1);
    draw(target, kOpaqueBlack, {quad(ramp, 0, 0, 2, 1)});
    // Centres at texel positions 0.25 and 1.75.
    EXPECT_EQ(greyRow(*target, 0), (std::vector<int>{25, 175}));
}

TEST_F(GpuDrawTest, ArbitraryQuadsMatchTheFilterWithinRounding) {
    std::mt19937 rng(7);
    const auto between = [&](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(rng);
    };
    const auto noise = [&](int64_t w, int64_t h) {
        return image(w, h, [&](int64_t, int64_t) {
            std::uniform_int_distribution<int> byte(0, 255);
            return Bgra{byte(rng), byte(rng), byte(rng), byte(rng)};
        });
    };
    const std::vector<TextureRef> sources{noise(1, 1), noise(13, 7), noise(40, 31), noise(2, 9)};
    const TextureRef target = Texture::make(37, 29);
    for (int round = 0; round < 20; ++round) {
        std::vector<DrawQuad> draws;
        for (int k = 0; k < 4; ++k) {
            draws.push_back(quad(sources[rng() % sources.size()], between(-10, 30),
                                 between(-10, 25), between(0.5, 45), between(0.5, 40),
                                 float(rng() % 3) / 2, rng() % 2 == 0));
        }
        draw(target, kTransparent, draws);
        ASSERT_EQ(countMismatches(*target, {0, 0, 0, 0}, draws, 2), 0) << "round " << round;
    }
}

TEST_F(GpuDrawTest, PassWithManyDifferentQuadsDrawsThemAll) {
    const TextureRef source = image(9, 5, pattern);
    const TextureRef target = Texture::make(64, 48);
    std::vector<DrawQuad> draws;
    for (int k = 0; k < 150; ++k) {
        draws.push_back(quad(source, k % 60, k % 45, 3 + k * 0.1, 2 + k * 0.05, 0));
    }
    draw(target, kOpaqueBlack, draws);
    EXPECT_EQ(countMismatches(*target, {0, 0, 0, 255}, draws, 2), 0);
}

TEST_F(GpuDrawTest, PassesRunInOrderWithinABuffer) {
    const TextureRef first = Texture::make(2, 2);
    const TextureRef second = Texture::make(2, 2);
    const CommandBufferRef buffer = queue->commandBuffer();
    ASSERT_TRUE(buffer->renderPass(first, ClearColor{1, 0, 0, 1}, {}));
    ASSERT_TRUE(buffer->renderPass(second, kTransparent, {quad(first, 0, 0, 2, 2, 0)}));
    buffer->commit();
    ASSERT_EQ(buffer->waitUntilCompleted(), CommandBuffer::Status::Completed);
    EXPECT_EQ(at(*second, 1, 1), (Bgra{0, 0, 255, 255}));
}

// Large passes are shared with a helper thread; the picture is the same as drawn by one.
TEST(GpuTextureTest, CopyKeepsThePixelsAndHowAlphaIsReadButSharesNothing) {
    auto source = Texture::make(3, 2);
    for (int64_t y = 0; y < 2; ++y) {
        for (int64_t x = 0; x < 3; ++x) {
            uint8_t* pixel = source->row(y) + x * 4;
            pixel[0] = static_cast<uint8_t>(10 * x);
            pixel[1] = static_cast<uint8_t>(20 * y);
            pixel[2] = 7;
            pixel[3] = 100;
        }
    }
    for (const auto& original : {source, source->opaqueView()}) {
        const auto copy = original->copy();
        ASSERT_NE(copy, nullptr);
        EXPECT_FALSE(copy->sharesPixelsWith(*original));
        EXPECT_EQ(copy->isOpaque(), original->isOpaque());
        EXPECT_EQ(copy->width(), 3);
        EXPECT_EQ(copy->height(), 2);
        EXPECT_EQ(0, std::memcmp(copy->row(1), original->row(1), 12));
        EXPECT_EQ(copy->alphaAt(2, 1), original->alphaAt(2, 1));
    }
    // The producer reusing its texture leaves the copy as it was.
    const auto copy = source->copy();
    source->row(1)[4] = 255;
    EXPECT_EQ(copy->row(1)[4], 10);
}

TEST(GpuRendererTest, SplittingAPassChangesNoPixel) {
    std::mt19937 rng(3);
    const TextureRef source = image(320, 240, [&](int64_t x, int64_t y) {
        return Bgra{int(x % 256), int(y % 256), int(rng() % 256), int((x + y) % 256)};
    });
    std::vector<DrawQuad> draws{quad(source, -20.5, 10.25, 700, 520, 0),
                                quad(source, 100, 100, 320, 240, 1, true),
                                quad(source, 410.3, 233.9, 150.7, 401, 0.5f)};
    std::vector<TextureRef> results;
    for (int threads : {1, 2}) {
        Renderer renderer(threads);
        results.push_back(Texture::make(690, 530));
        renderer.render({results.back(), kOpaqueBlack, draws});
    }
    for (int64_t y = 0; y < 530; ++y) {
        ASSERT_EQ(std::memcmp(results[0]->row(y), results[1]->row(y), 690 * 4), 0) << "row " << y;
    }
    EXPECT_EQ(countMismatches(*results[1], {0, 0, 0, 255}, draws, 2), 0);
}

// ---- Queue ----

std::string threadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

TEST(GpuQueueTest, HandlersRunAfterTheWorkInCommitOrderOnTheQueueThread) {
    const CommandQueueRef queue = CommandQueue::make(Device::systemDefault(), "gpu.test.queue");
    ASSERT_NE(queue, nullptr);
    const TextureRef white = uniform(1, 1, grey(255));
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::vector<std::string> names;
    std::atomic<int> wrongState = 0;
    std::vector<CommandBufferRef> buffers;
    for (int i = 0; i < 20; ++i) {
        const TextureRef target = Texture::make(2, 2);
        buffers.push_back(queue->commandBuffer());
        buffers.back()->renderPass(target, kTransparent, {quad(white, 0, 0, 2, 2)});
        for (int h = 0; h < 2; ++h) {
            buffers.back()->addCompletedHandler([&, i, h, target](CommandBuffer& b) {
                if (b.status() != CommandBuffer::Status::Completed || at(*target, 1, 1)[0] != 255 ||
                    !queue->isCurrent()) {
                    ++wrongState;
                }
                std::lock_guard lock(mutex);
                order.push_back(i * 2 + h);
                threads.push_back(std::this_thread::get_id());
                names.push_back(threadName());
            });
        }
        EXPECT_TRUE(buffers.back()->commit());
    }
    EXPECT_FALSE(queue->isCurrent());
    EXPECT_EQ(buffers.back()->waitUntilCompleted(), CommandBuffer::Status::Completed);
    std::lock_guard lock(mutex);
    ASSERT_EQ(order.size(), 40u);
    for (int k = 0; k < 40; ++k) {
        EXPECT_EQ(order[size_t(k)], k);
        EXPECT_EQ(threads[size_t(k)], threads[0]);
        EXPECT_EQ(names[size_t(k)], "gpu.test.queue");
    }
    EXPECT_NE(threads[0], std::this_thread::get_id());
    EXPECT_EQ(wrongState, 0);
}

TEST(GpuQueueTest, BuffersCommittedFromTwoThreadsAllCompleteInEachThreadsOrder) {
    const CommandQueueRef queue = CommandQueue::make(Device::systemDefault());
    const TextureRef source = image(8, 8, pattern);
    std::mutex mutex;
    std::vector<std::pair<int, int>> done;  // (committing thread, its buffer number)
    std::vector<CommandBufferRef> buffers[2];
    std::vector<std::thread> committers;
    for (int t = 0; t < 2; ++t) {
        committers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const CommandBufferRef b = queue->commandBuffer();
                b->renderPass(Texture::make(4, 4), kOpaqueBlack, {quad(source, 0, 0, 4, 4)});
                b->addCompletedHandler([&, t, i](CommandBuffer&) {
                    std::lock_guard lock(mutex);
                    done.emplace_back(t, i);
                });
                b->commit();
                buffers[t].push_back(b);
            }
        });
    }
    for (std::thread& c : committers) {
        c.join();
    }
    for (const auto& list : buffers) {
        for (const CommandBufferRef& b : list) {
            EXPECT_EQ(b->waitUntilCompleted(), CommandBuffer::Status::Completed);
        }
    }
    std::lock_guard lock(mutex);
    ASSERT_EQ(done.size(), 100u);
    int next[2] = {0, 0};
    for (const auto& [t, i] : done) {
        EXPECT_EQ(i, next[t]++);
    }
}

TEST(GpuQueueTest, DestroyingTheQueueFinishesCommittedWork) {
    CommandQueueRef queue = CommandQueue::make(Device::systemDefault());
    const TextureRef white = uniform(3, 3, grey(255));
    std::vector<TextureRef> targets;
    std::vector<CommandBufferRef> buffers;
    std::atomic<int> handled = 0;
    for (int i = 0; i < 10; ++i) {
        targets.push_back(Texture::make(300, 200));
        buffers.push_back(queue->commandBuffer());
        buffers.back()->renderPass(targets.back(), kTransparent, {quad(white, 0, 0, 300, 200)});
        buffers.back()->addCompletedHandler([&](CommandBuffer&) { ++handled; });
        buffers.back()->commit();
    }
    queue.reset();
    EXPECT_EQ(handled, 10);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(buffers[i]->status(), CommandBuffer::Status::Completed);
        EXPECT_EQ(at(*targets[i], 299, 199), grey(255));
    }
}

TEST(GpuQueueTest, MisuseIsRefusedWithoutHarm) {
    CommandQueueRef queue = CommandQueue::make(Device::systemDefault());
    EXPECT_EQ(CommandQueue::make(nullptr), nullptr);
    const TextureRef target = Texture::make(2, 2);
    const TextureRef white = uniform(2, 2, grey(255));

    const CommandBufferRef buffer = queue->commandBuffer();
    EXPECT_EQ(buffer->waitUntilCompleted(), CommandBuffer::Status::NotCommitted);
    std::atomic<int> calls = 0;
    buffer->addCompletedHandler([&](CommandBuffer&) { ++calls; });
    ASSERT_TRUE(buffer->commit());
    EXPECT_FALSE(buffer->commit());
    EXPECT_FALSE(buffer->renderPass(target, kTransparent, {quad(white, 0, 0, 2, 2)}));
    EXPECT_FALSE(buffer->addCompletedHandler([&](CommandBuffer&) { calls += 100; }));
    EXPECT_EQ(buffer->waitUntilCompleted(), CommandBuffer::Status::Completed);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(at(*target, 0, 0), (Bgra{0, 0, 0, 0}));

    // A pass drawing its own target, or without one, fails the buffer: nothing is drawn.
    for (const bool ownTarget : {true, false}) {
        const CommandBufferRef bad = queue->commandBuffer();
        EXPECT_TRUE(bad->renderPass(target, kOpaqueBlack, {quad(white, 0, 0, 2, 2)}));
        EXPECT_FALSE(ownTarget ? bad->renderPass(white, kOpaqueBlack,
                                                 {quad(white->opaqueView(), 0, 0, 1, 1)})
                               : bad->renderPass(nullptr, kOpaqueBlack, {}));
        bad->addCompletedHandler([&](CommandBuffer& b) {
            EXPECT_EQ(b.status(), CommandBuffer::Status::Error);
            ++calls;
        });
        bad->commit();
        EXPECT_EQ(bad->waitUntilCompleted(), CommandBuffer::Status::Error);
        EXPECT_FALSE(bad->error().empty());
        EXPECT_EQ(at(*target, 0, 0), (Bgra{0, 0, 0, 0}));
        EXPECT_EQ(at(*white, 0, 0), grey(255));
    }
    EXPECT_EQ(calls, 3);

    // Committed after the queue is gone: fails at once, its handlers never run.
    const CommandBufferRef orphan = queue->commandBuffer();
    queue.reset();
    orphan->renderPass(target, kOpaqueBlack, {});
    orphan->addCompletedHandler([&](CommandBuffer&) { calls += 1000; });
    EXPECT_FALSE(orphan->commit());
    EXPECT_EQ(orphan->waitUntilCompleted(), CommandBuffer::Status::Error);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(at(*target, 0, 0), (Bgra{0, 0, 0, 0}));
}

TEST(GpuQueueTest, HandlersMayCommitWaitAndReleaseTheQueue) {
    CommandQueueRef queue = CommandQueue::make(Device::systemDefault());
    const CommandBufferRef first = queue->commandBuffer();
    const CommandBufferRef later = queue->commandBuffer();
    const CommandBufferRef fromHandler = queue->commandBuffer();
    std::atomic<int> laterStatusSeen = -1;
    std::atomic<bool> chainedRan = false;
    first->addCompletedHandler([&, keep = queue](CommandBuffer&) {
        // Waiting here for a buffer behind this one would never end: it returns at once.
        laterStatusSeen = int(later->waitUntilCompleted());
        fromHandler->addCompletedHandler([&](CommandBuffer&) { chainedRan = true; });
        fromHandler->commit();
    });
    first->commit();
    later->commit();
    queue.reset();  // the handler now holds the last reference: the queue ends on its own thread
    EXPECT_EQ(later->waitUntilCompleted(), CommandBuffer::Status::Completed);
    EXPECT_EQ(laterStatusSeen, int(CommandBuffer::Status::Committed));
    EXPECT_EQ(fromHandler->waitUntilCompleted(), CommandBuffer::Status::Completed);
    EXPECT_TRUE(chainedRan);
}

}  // namespace
}  // namespace zarvo::gpu
