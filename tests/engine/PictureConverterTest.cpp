#include "engine/PictureConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "engine/FrameFitter.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace zarvo {
namespace {

// The conversion worked out in double precision: BT.709 video range from full-range R'G'B',
// each chroma sample from the mean of the pixels it covers.
struct Reference {
    int depth;
    int shiftX;
    int shiftY;
    bool alpha;

    static Reference of(PlanarLayout layout) {
        switch (layout) {
            case PlanarLayout::Yuv420p8:
                return {8, 1, 1, false};
            case PlanarLayout::Yuv422p10:
                return {10, 1, 0, false};
            case PlanarLayout::Yuva444p10:
                return {10, 0, 0, true};
        }
        return {};
    }

    // A plane's width and height in samples.
    std::pair<int, int> planeSize(int plane, int width, int height) const {
        if (plane == 1 || plane == 2) {
            return {(width + (1 << shiftX) - 1) >> shiftX, (height + (1 << shiftY) - 1) >> shiftY};
        }
        return {width, height};
    }

    // Sample (x, y) of a plane, from pixel(x, y) → pointer to B, G, R, A.
    template <typename Pixel>
    double sample(int plane, int x, int y, int width, int height, bool opaque,
                  const Pixel& pixel) const {
        const double scale = (1 << (depth - 8));
        if (plane == 0 || plane == 3) {
            const uint8_t* p = pixel(x, y);
            if (plane == 3) {
                return opaque ? (1 << depth) - 1 : p[3] * ((1 << depth) - 1) / 255.0;
            }
            const double luma = 0.2126 * p[2] + 0.7152 * p[1] + 0.0722 * p[0];
            return scale * (16 + 219 * luma / 255);
        }
        double r = 0;
        double g = 0;
        double b = 0;
        int count = 0;
        for (int dy = 0; dy < (1 << shiftY); ++dy) {
            for (int dx = 0; dx < (1 << shiftX); ++dx) {
                const int px = (x << shiftX) + dx;
                const int py = (y << shiftY) + dy;
                if (px < width && py < height) {
                    const uint8_t* p = pixel(px, py);
                    b += p[0];
                    g += p[1];
                    r += p[2];
                    ++count;
                }
            }
        }
        r /= count * 255.0;
        g /= count * 255.0;
        b /= count * 255.0;
        const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
        const double c = plane == 1 ? (b - luma) / 1.8556 : (r - luma) / 1.5748;
        return scale * (128 + 224 * c);
    }
};

// Planes with room to spare around every row, filled with a guard value.
struct Planes {
    int bytes;
    std::vector<std::vector<uint8_t>> memory;
    PlanarTarget target;
    static constexpr uint8_t kGuard = 0xa5;
    static constexpr int kMargin = 32;

    Planes(const Reference& ref, int width, int height) : bytes(ref.depth > 8 ? 2 : 1) {
        for (int p = 0; p < (ref.alpha ? 4 : 3); ++p) {
            const auto [w, h] = ref.planeSize(p, width, height);
            const int stride = w * bytes + 2 * kMargin + 6;
            memory.emplace_back(static_cast<size_t>(stride) * (h + 2), kGuard);
            target.planes[p] = memory.back().data() + stride + kMargin;
            target.strides[p] = stride;
        }
    }
    int at(int plane, int x, int y) const {
        const uint8_t* row = target.planes[plane] + target.strides[plane] * y;
        if (bytes == 1) {
            return row[x];
        }
        uint16_t value = 0;
        std::memcpy(&value, row + 2 * x, 2);
        return value;
    }
};

// How far converted samples are from the exact values, by kind of plane.
struct Comparison {
    struct Kind {
        double worst = 0;     // the largest difference to the exact value
        int offByOne = 0;     // samples that are not the exact value rounded
        int differences = 0;  // samples a whole step off or more
        int samples = 0;
    };
    Kind luma;
    Kind chroma;
    Kind alpha;

    Comparison& operator+=(const Comparison& other) {
        for (auto [mine, theirs] :
             {std::pair{&luma, &other.luma}, std::pair{&chroma, &other.chroma},
              std::pair{&alpha, &other.alpha}}) {
            mine->worst = std::max(mine->worst, theirs->worst);
            mine->offByOne += theirs->offByOne;
            mine->differences += theirs->differences;
            mine->samples += theirs->samples;
        }
        return *this;
    }
};

template <typename Pixel, typename Sample>
Comparison Compare(const Reference& ref, int width, int height, bool opaque, const Pixel& pixel,
                   const Sample& got) {
    Comparison result;
    for (int p = 0; p < (ref.alpha ? 4 : 3); ++p) {
        Comparison::Kind& kind = p == 0 ? result.luma : p == 3 ? result.alpha : result.chroma;
        const auto [w, h] = ref.planeSize(p, width, height);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const double exact = ref.sample(p, x, y, width, height, opaque, pixel);
                const int value = got(p, x, y);
                kind.worst = std::max(kind.worst, std::abs(value - exact));
                kind.offByOne += value != static_cast<int>(std::lround(exact));
                kind.differences += std::abs(value - exact) >= 1;
                ++kind.samples;
            }
        }
    }
    return result;
}

constexpr PlanarLayout kLayouts[] = {PlanarLayout::Yuv420p8, PlanarLayout::Yuv422p10,
                                     PlanarLayout::Yuva444p10};

TEST(PictureConverterTest, MatchesTheExactConversionForEverySizeStrideAndDirection) {
    std::mt19937 random(7);
    Comparison total;
    // Odd and even sizes, narrower and wider than the vector rows' 16 and 32 pixels.
    const int sizes[][2] = {{1, 1}, {2, 2}, {3, 5}, {17, 3}, {33, 2}, {47, 9}, {96, 4}, {130, 7}};
    for (const PlanarLayout layout : kLayouts) {
        const Reference ref = Reference::of(layout);
        for (const auto& size : sizes) {
            const int width = size[0];
            const int height = size[1];
            for (const bool upwards : {false, true}) {
                for (const bool opaque : {false, true}) {
                    SCOPED_TRACE(::testing::Message()
                                 << "layout " << static_cast<int>(layout) << ", " << width << " × "
                                 << height << (upwards ? ", upwards" : "")
                                 << (opaque ? ", opaque" : ""));
                    const int stride = width * 4 + 20;  // rows not packed
                    std::vector<uint8_t> pixels(static_cast<size_t>(stride) * height);
                    for (auto& byte : pixels) {
                        byte = static_cast<uint8_t>(random());
                    }
                    // Pure extremes too: black, white, saturated primaries, clear and solid.
                    const uint8_t extremes[][4] = {{0, 0, 0, 0},     {255, 255, 255, 255},
                                                   {255, 0, 0, 255}, {0, 255, 0, 0},
                                                   {0, 0, 255, 128}, {255, 255, 0, 64}};
                    for (size_t i = 0;
                         i < std::size(extremes) && i < static_cast<size_t>(width * height); ++i) {
                        const auto x = static_cast<int>(i) % width;
                        const auto y = static_cast<int>(i) / width;
                        std::memcpy(pixels.data() + y * stride + 4 * x, extremes[i], 4);
                    }
                    // Upwards: the picture's top row is the last in memory.
                    const uint8_t* first =
                        upwards ? pixels.data() + stride * (height - 1) : pixels.data();
                    const ptrdiff_t step = upwards ? -stride : stride;
                    const auto pixel = [&](int x, int y) { return first + step * y + 4 * x; };

                    Planes vector(ref, width, height);
                    Planes plain(ref, width, height);
                    convertBgraToPlanar(first, step, width, height, opaque, layout, vector.target,
                                        true);
                    convertBgraToPlanar(first, step, width, height, opaque, layout, plain.target,
                                        false);
                    // Both ways give the same samples, and nothing outside the picture is
                    // written.
                    EXPECT_EQ(vector.memory, plain.memory);
                    for (size_t p = 0; p < vector.memory.size(); ++p) {
                        const auto [w, h] = ref.planeSize(static_cast<int>(p), width, height);
                        const ptrdiff_t rowStride = vector.target.strides[p];
                        const auto& m = vector.memory[p];
                        for (size_t i = 0; i < m.size(); ++i) {
                            const auto offset = static_cast<ptrdiff_t>(i) - Planes::kMargin;
                            const ptrdiff_t row = offset < 0 ? -1 : offset / rowStride - 1;
                            const ptrdiff_t column = offset < 0 ? -1 : offset % rowStride;
                            const bool inside = row >= 0 && row < h && column < w * vector.bytes;
                            if (!inside && m[i] != Planes::kGuard) {
                                ADD_FAILURE() << "plane " << p << " written outside, at byte " << i;
                                break;
                            }
                        }
                    }
                    const Comparison c =
                        Compare(ref, width, height, opaque, pixel,
                                [&](int p, int x, int y) { return vector.at(p, x, y); });
                    for (const auto* kind : {&c.luma, &c.chroma, &c.alpha}) {
                        EXPECT_LT(kind->worst, 0.55);
                        EXPECT_EQ(kind->differences, 0);
                    }
                    total += c;
                }
            }
        }
    }
    // Rounding from fixed point misses the exact value rounded only right next to a half step.
    for (const auto* kind : {&total.luma, &total.chroma, &total.alpha}) {
        EXPECT_LE(kind->offByOne * 100, kind->samples) << kind->offByOne << " of " << kind->samples;
    }
}

// A texture with detail everywhere and every alpha value.
gpu::TextureRef DetailedTexture(int width, int height) {
    auto texture = gpu::Texture::make(width, height);
    std::mt19937 random(11);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = texture->row(y);
        for (int x = 0; x < width * 4; ++x) {
            row[x] = static_cast<uint8_t>(random());
        }
    }
    return texture;
}

AVFrame* FrameOf(AVPixelFormat format, int width, int height) {
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame, 0) < 0) {
        av_frame_free(&frame);
    }
    return frame;
}

int FrameSample(const AVFrame* frame, int bytes, int plane, int x, int y) {
    const uint8_t* row = frame->data[plane] + frame->linesize[plane] * y;
    if (bytes == 1) {
        return row[x];
    }
    uint16_t value = 0;
    std::memcpy(&value, row + 2 * x, 2);
    return value;
}

struct EncoderFormat {
    AVPixelFormat format;
    PlanarLayout layout;
};
constexpr EncoderFormat kFormats[] = {{AV_PIX_FMT_YUV420P, PlanarLayout::Yuv420p8},
                                      {AV_PIX_FMT_YUV422P10LE, PlanarLayout::Yuv422p10},
                                      {AV_PIX_FMT_YUVA444P10LE, PlanarLayout::Yuva444p10}};

// A picture as wide as the movie but not as high lands centred at its own size: converted
// directly, with bars above and below, turned upright when stored bottom row first, and at
// least as close to the exact conversion as the scaler gets.
TEST(PictureConverterTest, FitsAPictureOfItsOwnSizeWithBarsAndNoLessAccuracyThanTheScaler) {
    constexpr int kWidth = 96;
    constexpr int kHeight = 64;
    const auto texture = DetailedTexture(kWidth, 40);
    for (const EncoderFormat& f : kFormats) {
        const Reference ref = Reference::of(f.layout);
        const int bytes = ref.depth > 8 ? 2 : 1;
        for (const bool flipped : {false, true}) {
            for (const bool transparentBars : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "layout " << static_cast<int>(f.layout)
                                                  << (flipped ? ", flipped" : "")
                                                  << (transparentBars ? ", transparent" : ""));
                const FitRect rect =
                    FrameFitter::fit(kWidth, 40, kWidth, kHeight, ref.shiftX, ref.shiftY);
                ASSERT_EQ(rect, (FitRect{0, 12, kWidth, 40}));
                AVFrame* direct = FrameOf(f.format, kWidth, kHeight);
                AVFrame* scaled = FrameOf(f.format, kWidth, kHeight);
                ASSERT_TRUE(direct != nullptr && scaled != nullptr);
                FrameFitter best;
                FrameFitter scaler(FrameFitter::Path::Scaler);
                ASSERT_TRUE(best.draw(*texture, flipped, direct, transparentBars));
                ASSERT_TRUE(scaler.draw(*texture, flipped, scaled, transparentBars));

                // The picture's row y is the texture's row y, or the texture's last row up.
                const auto pixel = [&](int x, int y) {
                    return texture->row(flipped ? 39 - y : y) + 4 * x;
                };
                const auto inPicture = [&](const AVFrame* frame) {
                    return [&, frame](int p, int x, int y) {
                        const int sy = p == 1 || p == 2 ? ref.shiftY : 0;
                        return FrameSample(frame, bytes, p, x, y + (rect.y >> sy));
                    };
                };
                const Comparison ours = Compare(ref, kWidth, 40, false, pixel, inPicture(direct));
                const Comparison theirs = Compare(ref, kWidth, 40, false, pixel, inPicture(scaled));
                const char* names[] = {"luma", "chroma", "alpha"};
                const Comparison::Kind* mine[] = {&ours.luma, &ours.chroma, &ours.alpha};
                const Comparison::Kind* scalers[] = {&theirs.luma, &theirs.chroma, &theirs.alpha};
                for (int k = 0; k < (ref.alpha ? 3 : 2); ++k) {
                    if (!flipped && !transparentBars) {
                        std::printf(
                            "layout %d %s: worst difference to the exact conversion "
                            "%.3f (scaler %.3f); %d of %d samples not the exact value "
                            "rounded (scaler %d)\n",
                            static_cast<int>(f.layout), names[k], mine[k]->worst, scalers[k]->worst,
                            mine[k]->offByOne, mine[k]->samples, scalers[k]->offByOne);
                    }
                    EXPECT_LE(mine[k]->worst, std::max(scalers[k]->worst, 0.55)) << names[k];
                    EXPECT_LE(mine[k]->offByOne, scalers[k]->offByOne) << names[k];
                }

                // The bars, in every plane: black, and transparent where asked.
                const int one = (1 << ref.depth) - 1;
                for (int p = 0; p < (ref.alpha ? 4 : 3); ++p) {
                    const bool chroma = p == 1 || p == 2;
                    const int sx = chroma ? ref.shiftX : 0;
                    const int sy = chroma ? ref.shiftY : 0;
                    const int black = p == 0   ? 16 << (ref.depth - 8)
                                      : p == 3 ? (transparentBars ? 0 : one)
                                               : 128 << (ref.depth - 8);
                    for (int y = 0; y < kHeight >> sy; ++y) {
                        if (y >= rect.y >> sy && y < (rect.y + rect.height) >> sy) {
                            continue;
                        }
                        for (int x = 0; x < kWidth >> sx; ++x) {
                            ASSERT_EQ(FrameSample(direct, bytes, p, x, y), black)
                                << "plane " << p << " at " << x << ", " << y;
                        }
                    }
                }
                av_frame_free(&direct);
                av_frame_free(&scaled);
            }
        }
    }
}

}  // namespace
}  // namespace zarvo
