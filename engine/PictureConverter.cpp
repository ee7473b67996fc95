#include "engine/PictureConverter.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zarvo {

namespace {

// BT.709 luma weights.
constexpr double kRed = 0.2126;
constexpr double kBlue = 0.0722;
constexpr double kGreen = 1 - kRed - kBlue;

// The weights of 8-bit R'G'B' for one output depth, in 16-bit fixed point (so that the vector
// rows multiply and add pairs of them in one instruction), scaled by 2^shift: 15 bits for 8-bit
// output, 14 for 10-bit, the most that keeps every weight within 16 bits. The green weight of
// luma is split in two halves, each within 16 bits.
struct Weights {
    int shift;
    int16_t yb, yg1, yr, yg2;
    int16_t ub, ug, ur;
    int16_t vb, vg, vr;
    int32_t yOffset;  // in output steps
    int32_t cOffset;
};

constexpr int32_t fixedWide(double value, int shift) {
    return static_cast<int32_t>(value * (1 << shift) + (value < 0 ? -0.5 : 0.5));
}

constexpr int16_t fixed(double value, int shift) {
    return static_cast<int16_t>(fixedWide(value, shift));
}

constexpr Weights weightsFor(int depth, int shift) {
    const double luma = (219 << (depth - 8)) / 255.0;
    const double chroma = (224 << (depth - 8)) / 255.0;
    const double cb = 2 * (1 - kBlue);
    const double cr = 2 * (1 - kRed);
    const int16_t green = fixed(kGreen * luma / 2, shift);
    const auto greenRest = static_cast<int16_t>(fixedWide(kGreen * luma, shift) - green);
    return Weights{shift,
                   fixed(kBlue * luma, shift),
                   green,
                   fixed(kRed * luma, shift),
                   greenRest,
                   fixed(0.5 * chroma, shift),
                   fixed(-kGreen / cb * chroma, shift),
                   fixed(-kRed / cb * chroma, shift),
                   fixed(-kBlue / cr * chroma, shift),
                   fixed(-kGreen / cr * chroma, shift),
                   fixed(0.5 * chroma, shift),
                   16 << (depth - 8),
                   128 << (depth - 8)};
}

constexpr Weights k8 = weightsFor(8, 15);
constexpr Weights k10 = weightsFor(10, 14);

// What is added before the shift: the offset and half a step, for sums of 2^extra pixels.
constexpr int32_t addend(const Weights& w, int32_t offset, int extra) {
    const int shift = w.shift + extra;
    return (offset << shift) + (1 << (shift - 1));
}

// --- One sample at a time: the columns the vector rows leave, and processors without AVX2 --

int32_t lumaOf(const Weights& w, const uint8_t* p) {
    return (w.yb * p[0] + (w.yg1 + w.yg2) * p[1] + w.yr * p[2] + addend(w, w.yOffset, 0)) >>
           w.shift;
}

// Cb and Cr from the sums of 2^extra pixels' components.
void chromaOf(const Weights& w, int32_t b, int32_t g, int32_t r, int extra, int32_t& u,
              int32_t& v) {
    const int32_t add = addend(w, w.cOffset, extra);
    u = (w.ub * b + w.ug * g + w.ur * r + add) >> (w.shift + extra);
    v = (w.vb * b + w.vg * g + w.vr * r + add) >> (w.shift + extra);
}

template <typename T>
void lumaRow(const Weights& w, const uint8_t* src, T* y, int from, int to) {
    for (int x = from; x < to; ++x) {
        y[x] = static_cast<T>(lumaOf(w, src + 4 * x));
    }
}

// Chroma of whole pairs [from, to) of one row (bottom == top) or of two.
template <typename T>
void pairRow(const Weights& w, const uint8_t* top, const uint8_t* bottom, T* u, T* v, int from,
             int to, int extra) {
    for (int x = from; x < to; ++x) {
        const uint8_t* p = top + 8 * x;
        const uint8_t* q = bottom + 8 * x;
        int32_t b = p[0] + p[4];
        int32_t g = p[1] + p[5];
        int32_t r = p[2] + p[6];
        if (extra == 2) {
            b += q[0] + q[4];
            g += q[1] + q[5];
            r += q[2] + q[6];
        }
        int32_t cb = 0;
        int32_t cr = 0;
        chromaOf(w, b, g, r, extra, cb, cr);
        u[x] = static_cast<T>(cb);
        v[x] = static_cast<T>(cr);
    }
}

void chromaRow444(const uint8_t* src, uint16_t* u, uint16_t* v, int from, int to) {
    for (int x = from; x < to; ++x) {
        const uint8_t* p = src + 4 * x;
        int32_t cb = 0;
        int32_t cr = 0;
        chromaOf(k10, p[0], p[1], p[2], 0, cb, cr);
        u[x] = static_cast<uint16_t>(cb);
        v[x] = static_cast<uint16_t>(cr);
    }
}

// 8-bit alpha to 10 bits, rounded to nearest: a · 1023 / 255 = (a · 1027 + 129) >> 8 for
// every a, which is 4a + ((3a + 129) >> 8).
void alphaRow10(const uint8_t* src, uint16_t* a, int from, int to) {
    for (int x = from; x < to; ++x) {
        const int alpha = src[4 * x + 3];
        a[x] = static_cast<uint16_t>(4 * alpha + ((3 * alpha + 129) >> 8));
    }
}

// --- AVX2 rows: 16 or 32 pixels a step, the same sums as above ---------------------------

#if defined(__x86_64__) && defined(__GNUC__)
#define ZARVO_AVX2 __attribute__((target("avx2")))

bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// Four 16-bit weights, for the four 16-bit components of each pixel.
ZARVO_AVX2 __m256i weightVector(int16_t a, int16_t b, int16_t c, int16_t d) {
    return _mm256_setr_epi16(a, b, c, d, a, b, c, d, a, b, c, d, a, b, c, d);
}

// 16 pixels' weighted sums, (w · [b g r g] + add) >> Shift, as 16 signed 16-bit values in
// order.
template <int Shift>
ZARVO_AVX2 __m256i weigh16(const uint8_t* src, __m256i w, __m256i add) {
    // Each pixel's alpha byte replaced by its green, for the second half of the green weight.
    const __m128i greenTwice = _mm_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13);
    __m256i sums[2];
    for (int half = 0; half < 2; ++half) {
        __m256i m[2];
        for (int k = 0; k < 2; ++k) {
            const __m128i bytes = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32 * half + 16 * k)),
                greenTwice);
            m[k] = _mm256_madd_epi16(_mm256_cvtepu8_epi16(bytes), w);
        }
        // Pixels 0 1 4 5 | 2 3 6 7 of these eight.
        sums[half] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(m[0], m[1]), add), Shift);
    }
    const __m256i packed = _mm256_packs_epi32(sums[0], sums[1]);
    return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

ZARVO_AVX2 void lumaRow8Avx2(const uint8_t* src, uint8_t* y, int width, int& done) {
    const __m256i w = weightVector(k8.yb, k8.yg1, k8.yr, k8.yg2);
    const __m256i add = _mm256_set1_epi32(addend(k8, k8.yOffset, 0));
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i a = weigh16<15>(src + 4 * x, w, add);
        const __m256i b = weigh16<15>(src + 4 * x + 64, w, add);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xd8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), bytes);
    }
    done = x;
}

ZARVO_AVX2 void lumaRow10Avx2(const uint8_t* src, uint16_t* y, int width, int& done) {
    const __m256i w = weightVector(k10.yb, k10.yg1, k10.yr, k10.yg2);
    const __m256i add = _mm256_set1_epi32(addend(k10, k10.yOffset, 0));
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), weigh16<14>(src + 4 * x, w, add));
    }
    done = x;
}

ZARVO_AVX2 void chromaRow444Avx2(const uint8_t* src, uint16_t* u, uint16_t* v, int width,
                                 int& done) {
    const __m256i wu = weightVector(k10.ub, k10.ug, k10.ur, 0);
    const __m256i wv = weightVector(k10.vb, k10.vg, k10.vr, 0);
    const __m256i add = _mm256_set1_epi32(addend(k10, k10.cOffset, 0));
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(u + x), weigh16<14>(src + 4 * x, wu, add));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + x), weigh16<14>(src + 4 * x, wv, add));
    }
    done = x;
}

// Eight pairs of pixels (16 pixels, summed over one or two rows) to eight (Cb, Cr) pairs of
// 16-bit values in order, one pair in each 32-bit lane.
template <int Shift, bool TwoRows>
ZARVO_AVX2 __m256i pairs8(const uint8_t* top, const uint8_t* bottom, __m256i w, __m256i add) {
    __m256i sums[2];
    for (int half = 0; half < 2; ++half) {
        __m256i m[2];
        for (int k = 0; k < 2; ++k) {
            const int at = 32 * half + 16 * k;
            __m256i px =
                _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top + at)));
            if constexpr (TwoRows) {
                px = _mm256_add_epi16(px, _mm256_cvtepu8_epi16(_mm_loadu_si128(
                                              reinterpret_cast<const __m128i*>(bottom + at))));
            }
            // Both pixels of a pair summed, in both halves of each 128-bit lane: the first
            // half is weighed for Cb, the second for Cr.
            px = _mm256_add_epi16(px, _mm256_shuffle_epi32(px, 0x4e));
            m[k] = _mm256_madd_epi16(px, w);
        }
        // (Cb, Cr) of pairs 0 2 | 1 3 of these four.
        sums[half] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(m[0], m[1]), add), Shift);
    }
    const __m256i packed = _mm256_packs_epi32(sums[0], sums[1]);
    return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// 16 Cb and 16 Cr values, in order, from two results of pairs8.
ZARVO_AVX2 void splitPairs(__m256i first, __m256i second, __m256i& u, __m256i& v) {
    const __m256i low = _mm256_set1_epi32(0xffff);
    u = _mm256_permute4x64_epi64(
        _mm256_packus_epi32(_mm256_and_si256(first, low), _mm256_and_si256(second, low)), 0xd8);
    v = _mm256_permute4x64_epi64(
        _mm256_packus_epi32(_mm256_srli_epi32(first, 16), _mm256_srli_epi32(second, 16)), 0xd8);
}

ZARVO_AVX2 __m256i chromaWeights(const Weights& w) {
    return _mm256_setr_epi16(w.ub, w.ug, w.ur, 0, w.vb, w.vg, w.vr, 0, w.ub, w.ug, w.ur, 0, w.vb,
                             w.vg, w.vr, 0);
}

ZARVO_AVX2 void chromaRow420Avx2(const uint8_t* top, const uint8_t* bottom, uint8_t* u, uint8_t* v,
                                 int pairs, int& done) {
    const __m256i w = chromaWeights(k8);
    const __m256i add = _mm256_set1_epi32(addend(k8, k8.cOffset, 2));
    int x = 0;
    for (; x + 16 <= pairs; x += 16) {
        __m256i cb;
        __m256i cr;
        splitPairs(pairs8<17, true>(top + 8 * x, bottom + 8 * x, w, add),
                   pairs8<17, true>(top + 8 * x + 64, bottom + 8 * x + 64, w, add), cb, cr);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(cb, cr), 0xd8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x), _mm256_castsi256_si128(bytes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + x), _mm256_extracti128_si256(bytes, 1));
    }
    done = x;
}

ZARVO_AVX2 void chromaRow422Avx2(const uint8_t* src, uint16_t* u, uint16_t* v, int pairs,
                                 int& done) {
    const __m256i w = chromaWeights(k10);
    const __m256i add = _mm256_set1_epi32(addend(k10, k10.cOffset, 1));
    int x = 0;
    for (; x + 16 <= pairs; x += 16) {
        __m256i cb;
        __m256i cr;
        splitPairs(pairs8<15, false>(src + 8 * x, nullptr, w, add),
                   pairs8<15, false>(src + 8 * x + 64, nullptr, w, add), cb, cr);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(u + x), cb);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + x), cr);
    }
    done = x;
}

ZARVO_AVX2 void alphaRow10Avx2(const uint8_t* src, uint16_t* a, int width, int& done) {
    const __m256i three = _mm256_set1_epi16(3);
    const __m256i half = _mm256_set1_epi16(129);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m256i first = _mm256_srli_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 4 * x)), 24);
        const __m256i second = _mm256_srli_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 4 * x + 32)), 24);
        const __m256i alpha = _mm256_permute4x64_epi64(_mm256_packus_epi32(first, second), 0xd8);
        const __m256i rest =
            _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(alpha, three), half), 8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + x),
                            _mm256_add_epi16(_mm256_slli_epi16(alpha, 2), rest));
    }
    done = x;
}

static_assert(k8.shift == 15 && k10.shift == 14, "the vector rows' shifts");
#else
bool hasAvx2() {
    return false;
}
#endif

// --- Whole pictures ------------------------------------------------------------------------

template <typename T>
T* planeRow(const PlanarTarget& target, int plane, int row) {
    return reinterpret_cast<T*>(target.planes[plane] + target.strides[plane] * row);
}

void convert420(const uint8_t* source, ptrdiff_t stride, int width, int height,
                const PlanarTarget& target, bool vector) {
    const int pairs = width / 2;
    for (int y = 0; y < height; y += 2) {
        const uint8_t* top = source + stride * y;
        const bool two = y + 1 < height;
        const uint8_t* bottom = two ? top + stride : top;
        uint8_t* u = planeRow<uint8_t>(target, 1, y / 2);
        uint8_t* v = planeRow<uint8_t>(target, 2, y / 2);
        for (int row = 0; row < (two ? 2 : 1); ++row) {
            const uint8_t* src = row == 0 ? top : bottom;
            uint8_t* luma = planeRow<uint8_t>(target, 0, y + row);
            int done = 0;
#if defined(__x86_64__) && defined(__GNUC__)
            if (vector) {
                lumaRow8Avx2(src, luma, width, done);
            }
#endif
            lumaRow(k8, src, luma, done, width);
        }
        int done = 0;
#if defined(__x86_64__) && defined(__GNUC__)
        if (vector) {
            chromaRow420Avx2(top, bottom, u, v, pairs, done);
        }
#endif
        // A last row of its own counts twice, like a whole block.
        pairRow(k8, top, bottom, u, v, done, pairs, 2);
        if (width % 2 != 0) {
            // And so does the last column, of one or two pixels.
            const uint8_t* p = top + 4 * (width - 1);
            const uint8_t* q = bottom + 4 * (width - 1);
            int32_t cb = 0;
            int32_t cr = 0;
            chromaOf(k8, 2 * (p[0] + q[0]), 2 * (p[1] + q[1]), 2 * (p[2] + q[2]), 2, cb, cr);
            u[pairs] = static_cast<uint8_t>(cb);
            v[pairs] = static_cast<uint8_t>(cr);
        }
    }
}

void convert422(const uint8_t* source, ptrdiff_t stride, int width, int height,
                const PlanarTarget& target, bool vector) {
    const int pairs = width / 2;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = source + stride * y;
        uint16_t* luma = planeRow<uint16_t>(target, 0, y);
        uint16_t* u = planeRow<uint16_t>(target, 1, y);
        uint16_t* v = planeRow<uint16_t>(target, 2, y);
        int lumaDone = 0;
        int chromaDone = 0;
#if defined(__x86_64__) && defined(__GNUC__)
        if (vector) {
            lumaRow10Avx2(row, luma, width, lumaDone);
            chromaRow422Avx2(row, u, v, pairs, chromaDone);
        }
#endif
        lumaRow(k10, row, luma, lumaDone, width);
        pairRow(k10, row, row, u, v, chromaDone, pairs, 1);
        if (width % 2 != 0) {
            const uint8_t* p = row + 4 * (width - 1);
            int32_t cb = 0;
            int32_t cr = 0;
            chromaOf(k10, p[0], p[1], p[2], 0, cb, cr);
            u[pairs] = static_cast<uint16_t>(cb);
            v[pairs] = static_cast<uint16_t>(cr);
        }
    }
}

void convert444(const uint8_t* source, ptrdiff_t stride, int width, int height, bool opaque,
                const PlanarTarget& target, bool vector) {
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = source + stride * y;
        uint16_t* luma = planeRow<uint16_t>(target, 0, y);
        uint16_t* u = planeRow<uint16_t>(target, 1, y);
        uint16_t* v = planeRow<uint16_t>(target, 2, y);
        uint16_t* alpha = planeRow<uint16_t>(target, 3, y);
        int lumaDone = 0;
        int chromaDone = 0;
#if defined(__x86_64__) && defined(__GNUC__)
        if (vector) {
            lumaRow10Avx2(row, luma, width, lumaDone);
            chromaRow444Avx2(row, u, v, width, chromaDone);
        }
#endif
        lumaRow(k10, row, luma, lumaDone, width);
        chromaRow444(row, u, v, chromaDone, width);
        if (opaque) {
            for (int x = 0; x < width; ++x) {
                alpha[x] = 1023;
            }
        } else {
            int alphaDone = 0;
#if defined(__x86_64__) && defined(__GNUC__)
            if (vector) {
                alphaRow10Avx2(row, alpha, width, alphaDone);
            }
#endif
            alphaRow10(row, alpha, alphaDone, width);
        }
    }
}

}  // namespace

void convertBgraToPlanar(const uint8_t* source, ptrdiff_t sourceStride, int width, int height,
                         bool opaque, PlanarLayout layout, const PlanarTarget& target,
                         bool allowVector) {
    if (source == nullptr || width < 1 || height < 1) {
        return;
    }
    const bool vector = allowVector && hasAvx2();
    switch (layout) {
        case PlanarLayout::Yuv420p8:
            convert420(source, sourceStride, width, height, target, vector);
            break;
        case PlanarLayout::Yuv422p10:
            convert422(source, sourceStride, width, height, target, vector);
            break;
        case PlanarLayout::Yuva444p10:
            convert444(source, sourceStride, width, height, opaque, target, vector);
            break;
    }
}

}  // namespace zarvo
