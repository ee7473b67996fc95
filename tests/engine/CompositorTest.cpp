#include "engine/Compositor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "platform/gpu/Device.h"

namespace zarvo {
namespace {

using gpu::Texture;
using gpu::TextureRef;

constexpr uint32_t Bgra(uint32_t b, uint32_t g, uint32_t r, uint32_t a) {
    return b | g << 8 | r << 16 | a << 24;
}
constexpr uint32_t kRed = Bgra(10, 20, 200, 255);
constexpr uint32_t kOpaqueBlack = Bgra(0, 0, 0, 255);

uint32_t Pixel(const Texture& t, int64_t x, int64_t y) {
    uint32_t p;
    std::memcpy(&p, t.row(y) + x * 4, 4);
    return p;
}

TextureRef Image(int64_t width, int64_t height, uint32_t (*pixel)(int64_t x, int64_t y)) {
    TextureRef t = Texture::make(width, height);
    for (int64_t y = 0; y < height; ++y) {
        for (int64_t x = 0; x < width; ++x) {
            const uint32_t p = pixel(x, y);
            std::memcpy(t->row(y) + x * 4, &p, 4);
        }
    }
    return t;
}

TextureRef Red(int64_t width, int64_t height) {
    return Image(width, height, [](int64_t, int64_t) { return kRed; });
}

// Every pixel different: B is the column, G the row.
TextureRef Pattern(int64_t width, int64_t height) {
    return Image(width, height, [](int64_t x, int64_t y) {
        return Bgra(static_cast<uint32_t>(x), static_cast<uint32_t>(y), 77, 255);
    });
}

// One character a pixel: '#' for kRed, '.' for opaque black, '?' for anything else.
std::vector<std::string> Mask(const Texture& t) {
    std::vector<std::string> rows;
    for (int64_t y = 0; y < t.height(); ++y) {
        std::string row;
        for (int64_t x = 0; x < t.width(); ++x) {
            const uint32_t p = Pixel(t, x, y);
            row += p == kRed ? '#' : p == kOpaqueBlack ? '.' : '?';
        }
        rows.push_back(row);
    }
    return rows;
}

// The mask of a width × height picture that is kRed inside r and background elsewhere.
std::vector<std::string> RectMask(int width, int height, Rect r) {
    std::vector<std::string> rows(static_cast<size_t>(height), std::string(width, '.'));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) {
                rows[y][x] = '#';
            }
        }
    }
    return rows;
}

class CompositorTest : public ::testing::Test {
  protected:
    // Composes and waits for the completion, which must come with the returned target.
    TextureRef composeAndWait(const Layout& layout, const std::vector<TextureRef>& textures,
                              const std::vector<bool>& flipped, bool transparent = false) {
        auto done = std::make_shared<std::promise<TextureRef>>();
        std::future<TextureRef> drawn = done->get_future();
        TextureRef target =
            compositor->compose(layout, textures, flipped, transparent,
                                [done](const TextureRef& t) { done->set_value(t); });
        if (target) {
            EXPECT_EQ(drawn.get(), target);
        }
        return target;
    }

    const gpu::CommandQueueRef queue = gpu::CommandQueue::make(gpu::Device::systemDefault());
    const std::unique_ptr<Compositor> compositor = Compositor::make(queue);
    // Two frames side by side: (0, 0, 16, 8) and (16, 0, 16, 8); the picture is 32 × 8.
    const Layout pair{0, {{16, 8}, {16, 8}}, 0};
};

TEST_F(CompositorTest, FitsFullSizePicturesIntoTheirFrame) {
    const Layout hd(0, {{1920, 1080}}, 0);
    // Same proportions: the frame is filled.
    TextureRef t = composeAndWait(hd, {Red(1280, 720)}, {false});
    ASSERT_TRUE(t);
    EXPECT_EQ(Pixel(*t, 0, 0), kRed);
    EXPECT_EQ(Pixel(*t, 1919, 1079), kRed);
    // Square: 1080 wide at x = 420.
    t = composeAndWait(hd, {Red(1080, 1080)}, {false});
    EXPECT_EQ(Pixel(*t, 419, 540), kOpaqueBlack);
    EXPECT_EQ(Pixel(*t, 420, 540), kRed);
    EXPECT_EQ(Pixel(*t, 1499, 540), kRed);
    EXPECT_EQ(Pixel(*t, 1500, 540), kOpaqueBlack);
    // Wide: 800 high at y = 140.
    t = composeAndWait(hd, {Red(1920, 800)}, {false});
    EXPECT_EQ(Pixel(*t, 960, 139), kOpaqueBlack);
    EXPECT_EQ(Pixel(*t, 960, 140), kRed);
    EXPECT_EQ(Pixel(*t, 960, 939), kRed);
    EXPECT_EQ(Pixel(*t, 960, 940), kOpaqueBlack);
}

TEST_F(CompositorTest, FitsWithOnePixelOfToleranceFlooringOffsetsAndRoundingSizes) {
    struct Case {
        Size frame;  // the second of two frames side by side
        int64_t width, height;
        Rect drawn;  // within that frame
    };
    const Case cases[] = {
        {{16, 8}, 16, 8, {0, 0, 16, 8}},
        {{16, 8}, 15, 8, {0, 0, 16, 8}},  // one pixel narrower: stretched
        {{16, 8}, 14, 8, {1, 0, 14, 8}},
        {{16, 8}, 11, 8, {2, 0, 11, 8}},  // offset 2.5 floored
        {{16, 8}, 13, 16, {4, 0, 7, 8}},  // width 6.5 rounds up to 7
        {{16, 8}, 18, 8, {0, 0, 16, 7}},  // height 7.1, offset 0.4
        {{16, 8}, 32, 9, {0, 1, 16, 5}},  // height 4.5 rounds up to 5, offset 1.75 floored
        {{16, 8}, 32, 8, {0, 2, 16, 4}},
        {{4, 8},
         5,
         8,
         {0, 0, 4, 8}},  // one pixel wider: stretched, though fitting would be 6.4 high
        {{4, 8}, 6, 8, {0, 1, 4, 5}},
    };
    for (const Case& c : cases) {
        const Layout layout(0, {c.frame, c.frame}, 0);
        const TextureRef t =
            composeAndWait(layout, {nullptr, Red(c.width, c.height)}, {false, false});
        ASSERT_TRUE(t);
        const auto w = static_cast<int>(c.frame.width);
        const Rect r{c.drawn.x + w, c.drawn.y, c.drawn.width, c.drawn.height};
        EXPECT_EQ(Mask(*t), RectMask(2 * w, static_cast<int>(c.frame.height), r))
            << c.width << " × " << c.height << " in " << w << " × " << c.frame.height;
    }
}

TEST_F(CompositorTest, KeepsOrDropsTheSourcesAlphaOverTheMatchingBackground) {
    // Alpha 0, 1, 128 and 255 under the same colour, drawn at its own size.
    const TextureRef source = Image(4, 1, [](int64_t x, int64_t) {
        const uint32_t alpha[] = {0, 1, 128, 255};
        return Bgra(10, 20, 200, alpha[x]);
    });
    const Layout layout(0, {{4, 1}, {4, 1}}, 0);  // 8 × 2: the bottom row is background too
    for (bool transparent : {true, false}) {
        const TextureRef t = composeAndWait(layout, {source, nullptr}, {false, false}, transparent);
        ASSERT_TRUE(t);
        for (int64_t x = 0; x < 4; ++x) {
            const uint32_t alpha = transparent ? source->alphaAt(x, 0) : 255;
            EXPECT_EQ(Pixel(*t, x, 0), Bgra(10, 20, 200, alpha)) << transparent << " x=" << x;
        }
        const uint32_t background = transparent ? 0 : kOpaqueBlack;
        for (int64_t x = 4; x < 8; ++x) {
            EXPECT_EQ(Pixel(*t, x, 0), background) << transparent;
        }
        for (int64_t x = 0; x < 8; ++x) {
            EXPECT_EQ(Pixel(*t, x, 1), background) << transparent;
        }
    }
}

TEST_F(CompositorTest, TurnsFlippedSourcesUprightWithoutMirroringThem) {
    const TextureRef source = Pattern(16, 8);
    const TextureRef t = composeAndWait(pair, {source, source}, {false, true});
    ASSERT_TRUE(t);
    for (int64_t y = 0; y < 8; ++y) {
        for (int64_t x = 0; x < 16; ++x) {
            ASSERT_EQ(Pixel(*t, x, y), Pixel(*source, x, y)) << x << "," << y;
            ASSERT_EQ(Pixel(*t, 16 + x, y), Pixel(*source, x, 7 - y)) << x << "," << y;
        }
    }
}

TEST_F(CompositorTest, RefusesMismatchedListsAndOversizedLayoutsWithoutCallingBack) {
    const TextureRef red = Red(16, 8);
    bool called = false;
    const auto mark = [&called](const TextureRef&) { called = true; };
    const TextureRef first = composeAndWait(pair, {red, red}, {false, false});
    EXPECT_FALSE(compositor->compose(pair, {red}, {false, false}, false, mark));
    EXPECT_FALSE(compositor->compose(pair, {red, red}, {false}, false, mark));
    EXPECT_FALSE(compositor->compose(pair, {red, red, red}, {false, false, false}, false, mark));
    const Layout tooWide(0, {{16385, 2}}, 0);
    ASSERT_GT(tooWide.size().width, 16384);
    EXPECT_FALSE(compositor->compose(tooWide, {nullptr}, {false}, false, mark));

    // The widest picture allowed is made; the refusals used no slot of the ring.
    const TextureRef widest = composeAndWait(Layout(0, {{16384, 2}}, 0), {nullptr}, {false});
    ASSERT_TRUE(widest);
    EXPECT_EQ(widest->width(), 16384);
    composeAndWait(pair, {red, red}, {false, false});
    composeAndWait(pair, {red, red}, {false, false});
    EXPECT_EQ(composeAndWait(pair, {red, red}, {false, false}), first);
    EXPECT_FALSE(called);  // the queue runs in order: every earlier callback would have come
}

TEST_F(CompositorTest, UsesFourTargetsInTurnAndReplacesOnlyThoseOfAnotherSize) {
    const std::vector<TextureRef> reds{Red(16, 8), Red(16, 8)};
    std::vector<TextureRef> results;
    for (int i = 0; i < 5; ++i) {
        results.push_back(composeAndWait(pair, reds, {false, false}));
    }
    for (int i = 1; i < 4; ++i) {
        for (int j = 0; j < i; ++j) {
            EXPECT_NE(results[i], results[j]) << i << " " << j;
        }
    }
    EXPECT_EQ(results[4], results[0]);

    // Slot 1 gets a picture of another size, then the first size again: only it is replaced.
    const TextureRef small = composeAndWait(Layout(0, {{8, 8}}, 0), {nullptr}, {false});
    EXPECT_NE(small, results[1]);
    EXPECT_EQ(small->width(), 8);
    EXPECT_EQ(composeAndWait(pair, reds, {false, false}), results[2]);
    EXPECT_EQ(composeAndWait(pair, reds, {false, false}), results[3]);
    EXPECT_EQ(compositor->targetOfWidth(32, 8), results[0]);  // the same ring
    const TextureRef replaced = composeAndWait(pair, reds, {false, false});
    EXPECT_NE(replaced, small);
    EXPECT_NE(replaced, results[1]);
    EXPECT_EQ(Mask(*replaced), RectMask(32, 8, {0, 0, 32, 8}));

    // No texture can be made: nothing is returned and the ring stays where it was.
    EXPECT_FALSE(compositor->targetOfWidth(0, 8));
    EXPECT_FALSE(compositor->targetOfWidth(32, 16385));
    EXPECT_EQ(compositor->targetOfWidth(32, 8), results[2]);
}

TEST_F(CompositorTest, DrawsOneOfItsOwnResultsIntoAFreshTargetRatherThanIntoItself) {
    const TextureRef first = composeAndWait(pair, {Pattern(16, 8), nullptr}, {false, false});
    for (int i = 0; i < 3; ++i) {
        composeAndWait(pair, {nullptr, nullptr}, {false, false});
    }
    // The slot due next holds `first`, which is also the source.
    const Layout one(0, {{32, 8}}, 0);
    const TextureRef t = composeAndWait(one, {first}, {false});
    ASSERT_TRUE(t);
    EXPECT_FALSE(t->sharesPixelsWith(*first));
    for (int64_t y = 0; y < 8; ++y) {
        for (int64_t x = 0; x < 32; ++x) {
            ASSERT_EQ(Pixel(*t, x, y), Pixel(*first, x, y)) << x << "," << y;
        }
    }
}

TEST_F(CompositorTest, CompletesOnTheQueueThreadInSubmissionOrderAcrossCompositors) {
    const std::unique_ptr<Compositor> other = Compositor::make(queue);
    std::mutex mutex;
    std::vector<int> order;
    std::vector<TextureRef> returned, completed;
    bool allOnQueue = true;
    // The first completion holds the queue until released: compose must still return.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto last = std::make_shared<std::promise<void>>();
    std::future<void> finished = last->get_future();
    const TextureRef red = Red(16, 8);
    for (int i = 0; i < 8; ++i) {
        Compositor& c = i % 2 == 0 ? *compositor : *other;
        returned.push_back(c.compose(pair, {red, nullptr}, {false, false}, false,
                                     [&, i, last](const TextureRef& t) {
                                         if (i == 0) {
                                             released.wait();
                                         }
                                         std::lock_guard guard(mutex);
                                         allOnQueue = allOnQueue && queue->isCurrent();
                                         order.push_back(i);
                                         completed.push_back(t);
                                         EXPECT_EQ(Mask(*t), RectMask(32, 8, {0, 0, 16, 8}));
                                         if (i == 7) {
                                             last->set_value();
                                         }
                                     }));
    }
    {
        std::lock_guard guard(mutex);
        EXPECT_TRUE(order.empty());
    }
    release.set_value();
    finished.wait();
    std::lock_guard guard(mutex);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(completed, returned);
    EXPECT_TRUE(allOnQueue);
}

TEST(CompositorMakeTest, LogsWhyItCannotBeCreated) {
    std::vector<std::string> lines;
    setLogSink([&lines](const std::string& line) { lines.push_back(line); });
    const std::unique_ptr<Compositor> c = Compositor::make(nullptr);
    setLogSink(nullptr);
    EXPECT_FALSE(c);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Compositor could not be created: ", 0), 0u) << lines[0];
}

}  // namespace
}  // namespace zarvo
