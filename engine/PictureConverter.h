#pragma once

#include <cstddef>
#include <cstdint>

namespace zarvo {

// The planar Y'CbCr pictures the movie writer's encoders take.
enum class PlanarLayout {
    Yuv420p8,    // 8-bit, chroma halved both ways (H.264, HEVC)
    Yuv422p10,   // 10-bit in 16-bit little-endian samples, chroma halved across (ProRes 422)
    Yuva444p10,  // 10-bit, full chroma and an alpha plane (ProRes 4444)
};

// Where a converted picture goes: the first sample of each plane (Y, Cb, Cr, then alpha for
// Yuva444p10) and the bytes between its rows.
struct PlanarTarget {
    uint8_t* planes[4] = {};
    ptrdiff_t strides[4] = {};
};

// Converts width × height BGRA pixels (full-range R'G'B', rows sourceStride bytes apart; a
// negative stride walks upwards, for pictures stored bottom row first) into video-range BT.709
// Y'CbCr. Each chroma sample is the mean of the pixels it covers (2 × 2 for 4:2:0, 2 × 1 for
// 4:2:2; the last column or row of an odd size covers what is left). Alpha is scaled to 10 bits,
// or fully opaque when `opaque` (sources whose fourth byte carries no transparency). Results
// are rounded to nearest from 16-bit fixed-point sums: every sample is within one step of the
// exact value and nearly all are that value rounded. One pass over the source, no scratch
// memory; the rows are done with AVX2 where the processor has it (allowVector false: one
// sample at a time, with the same results).
void convertBgraToPlanar(const uint8_t* source, ptrdiff_t sourceStride, int width, int height,
                         bool opaque, PlanarLayout layout, const PlanarTarget& target,
                         bool allowVector = true);

}  // namespace zarvo
