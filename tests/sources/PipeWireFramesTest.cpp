#include "sources/PipeWireFrames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace zarvo {
namespace {

PipeWireVideoFormat Format(PipeWirePixelFormat pixelFormat, int64_t width, int64_t height,
                           PipeWireColorMatrix matrix = PipeWireColorMatrix::BT601) {
    PipeWireVideoFormat format;
    format.pixelFormat = pixelFormat;
    format.width = width;
    format.height = height;
    format.matrix = matrix;
    return format;
}

PipeWirePlane Plane(const std::vector<uint8_t>& bytes, int64_t stride, size_t size = SIZE_MAX) {
    return {bytes.data(), size == SIZE_MAX ? bytes.size() : size, stride};
}

// Every pixel of the texture is the BGRA colour, within a rounding tolerance.
void ExpectColour(const gpu::Texture& texture, int b, int g, int r, int a = 255) {
    for (int64_t y = 0; y < texture.height(); ++y) {
        for (int64_t x = 0; x < texture.width(); ++x) {
            const uint8_t* pixel = texture.row(y) + x * 4;
            ASSERT_NEAR(pixel[0], b, 4) << "at " << x << "," << y;
            ASSERT_NEAR(pixel[1], g, 4) << "at " << x << "," << y;
            ASSERT_NEAR(pixel[2], r, 4) << "at " << x << "," << y;
            ASSERT_NEAR(texture.alphaAt(x, y), a, 1) << "at " << x << "," << y;
        }
    }
}

// Buffers that claim less than the picture needs are refused before anything is read or
// written: short sizes, short strides, missing planes, JPEGs that are not JPEGs or not of the
// format's size.
TEST(PipeWireFramesTest, BuffersThatCannotHoldThePictureDoNotFit) {
    const std::vector<uint8_t> bytes(4096, 0x55);
    const auto bgrx = Format(PipeWirePixelFormat::BGRx, 4, 2);
    EXPECT_TRUE(pipeWireFrameFits(bgrx, std::vector{Plane(bytes, 16, 32)}));
    // The last row need not be padded out to the stride.
    EXPECT_TRUE(pipeWireFrameFits(bgrx, std::vector{Plane(bytes, 20, 36)}));
    EXPECT_FALSE(pipeWireFrameFits(bgrx, std::vector{Plane(bytes, 16, 31)}));
    EXPECT_FALSE(pipeWireFrameFits(bgrx, std::vector{Plane(bytes, 12)}));
    EXPECT_FALSE(pipeWireFrameFits(bgrx, std::vector{Plane(bytes, -16)}));
    EXPECT_FALSE(pipeWireFrameFits(bgrx, std::vector<PipeWirePlane>{}));
    EXPECT_FALSE(pipeWireFrameFits(bgrx, std::vector{PipeWirePlane{nullptr, 64, 16}}));
    EXPECT_FALSE(
        pipeWireFrameFits(Format(PipeWirePixelFormat::BGRx, 0, 2), std::vector{Plane(bytes, 16)}));
    // A stride that would overflow the size arithmetic.
    EXPECT_FALSE(pipeWireFrameFits(Format(PipeWirePixelFormat::BGRx, 4, 16384),
                                   std::vector{Plane(bytes, int64_t{1} << 40)}));

    // 4:2:2 rows are two bytes a pixel, rounded up to whole pairs.
    const auto yuy2 = Format(PipeWirePixelFormat::YUY2, 3, 2);
    EXPECT_TRUE(pipeWireFrameFits(yuy2, std::vector{Plane(bytes, 8, 16)}));
    EXPECT_FALSE(pipeWireFrameFits(yuy2, std::vector{Plane(bytes, 8, 15)}));

    // NV12 in one block: 4×4 luma, then 2 rows of 4 bytes of chroma.
    const auto nv12 = Format(PipeWirePixelFormat::NV12, 4, 4);
    EXPECT_TRUE(pipeWireFrameFits(nv12, std::vector{Plane(bytes, 4, 24)}));
    EXPECT_FALSE(pipeWireFrameFits(nv12, std::vector{Plane(bytes, 4, 23)}));
    EXPECT_TRUE(pipeWireFrameFits(nv12, std::vector{Plane(bytes, 4, 16), Plane(bytes, 4, 8)}));
    EXPECT_FALSE(pipeWireFrameFits(nv12, std::vector{Plane(bytes, 4, 16), Plane(bytes, 4, 7)}));

    // I420 in one block (16 + 4 + 4 bytes) or in three.
    const auto i420 = Format(PipeWirePixelFormat::I420, 4, 4);
    EXPECT_TRUE(pipeWireFrameFits(i420, std::vector{Plane(bytes, 4, 24)}));
    EXPECT_FALSE(pipeWireFrameFits(i420, std::vector{Plane(bytes, 4, 23)}));
    EXPECT_TRUE(pipeWireFrameFits(
        i420, std::vector{Plane(bytes, 4, 16), Plane(bytes, 2, 4), Plane(bytes, 2, 4)}));
    EXPECT_FALSE(pipeWireFrameFits(
        i420, std::vector{Plane(bytes, 4, 16), Plane(bytes, 2, 4), Plane(bytes, 1, 4)}));
    EXPECT_FALSE(pipeWireFrameFits(i420, std::vector{Plane(bytes, 4, 16), Plane(bytes, 2, 4)}));

    const auto mjpeg = Format(PipeWirePixelFormat::MJPEG, 4, 4);
    EXPECT_FALSE(pipeWireFrameFits(mjpeg, std::vector{Plane(bytes, 0)}));
    EXPECT_FALSE(pipeWireFrameFits(mjpeg, std::vector{Plane(bytes, 0, 0)}));

    // A refused buffer leaves the texture as it was.
    auto texture = gpu::Texture::make(4, 2);
    std::fill_n(texture->bytes(), texture->bytesPerRow() * 2, uint8_t{7});
    EXPECT_FALSE(convertPipeWireFrame(bgrx, std::vector{Plane(bytes, 16, 31)}, *texture));
    EXPECT_EQ(texture->row(1)[15], 7);
    // So does a texture of another size than the format's.
    auto other = gpu::Texture::make(3, 2);
    EXPECT_FALSE(convertPipeWireFrame(bgrx, std::vector{Plane(bytes, 16)}, *other));
}

// Each layout turns into the same BGRA picture, padding in the strides skipped.
TEST(PipeWireFramesTest, ConvertsEveryLayoutToBGRA) {
    auto texture = gpu::Texture::make(4, 4);

    // Packed RGB: BGRx copied, RGBA turned around with its alpha kept. Rows of 5 pixels,
    // the fifth padding.
    std::vector<uint8_t> bgrx(5 * 4 * 4, 0xEE);
    std::vector<uint8_t> rgba(5 * 4 * 4, 0xEE);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            uint8_t* b = &bgrx[static_cast<size_t>(y * 20 + x * 4)];
            b[0] = 10, b[1] = 20, b[2] = 30, b[3] = 0;
            uint8_t* r = &rgba[static_cast<size_t>(y * 20 + x * 4)];
            r[0] = 30, r[1] = 20, r[2] = 10, r[3] = 128;
        }
    }
    ASSERT_TRUE(convertPipeWireFrame(Format(PipeWirePixelFormat::BGRx, 4, 4),
                                     std::vector{Plane(bgrx, 20)}, *texture));
    ExpectColour(*texture->opaqueView(), 10, 20, 30);
    ASSERT_TRUE(convertPipeWireFrame(Format(PipeWirePixelFormat::RGBA, 4, 4),
                                     std::vector{Plane(rgba, 20)}, *texture));
    ExpectColour(*texture, 10, 20, 30, 128);
    EXPECT_TRUE(pipeWirePixelFormatHasAlpha(PipeWirePixelFormat::RGBA));
    EXPECT_FALSE(pipeWirePixelFormatHasAlpha(PipeWirePixelFormat::BGRx));

    // BT.601 red in limited range: Y 81, U 90, V 240.
    const uint8_t Y = 81, U = 90, V = 240;
    std::vector<uint8_t> yuy2;
    std::vector<uint8_t> uyvy;
    for (int i = 0; i < 4 * 2; ++i) {
        yuy2.insert(yuy2.end(), {Y, U, Y, V});
        uyvy.insert(uyvy.end(), {U, Y, V, Y});
    }
    ASSERT_TRUE(convertPipeWireFrame(Format(PipeWirePixelFormat::YUY2, 4, 4),
                                     std::vector{Plane(yuy2, 8)}, *texture));
    ExpectColour(*texture, 0, 0, 255);
    ASSERT_TRUE(convertPipeWireFrame(Format(PipeWirePixelFormat::UYVY, 4, 4),
                                     std::vector{Plane(uyvy, 8)}, *texture));
    ExpectColour(*texture, 0, 0, 255);

    // NV12 in one block with rows of 6 bytes, and in two blocks.
    std::vector<uint8_t> nv12(6 * 4, Y);
    for (int row = 0; row < 2; ++row) {
        nv12.insert(nv12.end(), {U, V, U, V, 0xEE, 0xEE});
    }
    ASSERT_TRUE(convertPipeWireFrame(Format(PipeWirePixelFormat::NV12, 4, 4),
                                     std::vector{Plane(nv12, 6)}, *texture));
    ExpectColour(*texture, 0, 0, 255);
    const std::vector<uint8_t> luma(16, Y);
    const std::vector<uint8_t> chroma = {U, V, U, V, U, V, U, V};
    ASSERT_TRUE(convertPipeWireFrame(Format(PipeWirePixelFormat::NV12, 4, 4),
                                     std::vector{Plane(luma, 4), Plane(chroma, 4)}, *texture));
    ExpectColour(*texture, 0, 0, 255);

    // I420 in one block, and BT.709 red (Y 63, U 102, V 240) in three.
    std::vector<uint8_t> i420(16, Y);
    i420.insert(i420.end(), 4, U);
    i420.insert(i420.end(), 4, V);
    ASSERT_TRUE(convertPipeWireFrame(Format(PipeWirePixelFormat::I420, 4, 4),
                                     std::vector{Plane(i420, 4)}, *texture));
    ExpectColour(*texture, 0, 0, 255);
    const std::vector<uint8_t> y709(16, 63);
    const std::vector<uint8_t> u709(4, 102);
    const std::vector<uint8_t> v709(4, 240);
    ASSERT_TRUE(convertPipeWireFrame(
        Format(PipeWirePixelFormat::I420, 4, 4, PipeWireColorMatrix::BT709),
        std::vector{Plane(y709, 4), Plane(u709, 2), Plane(v709, 2)}, *texture));
    ExpectColour(*texture, 0, 0, 255);
    // The same matrix for 4:2:2, which goes through planes.
    std::vector<uint8_t> yuy2709;
    for (int i = 0; i < 4 * 2; ++i) {
        yuy2709.insert(yuy2709.end(), {63, 102, 63, 240});
    }
    ASSERT_TRUE(
        convertPipeWireFrame(Format(PipeWirePixelFormat::YUY2, 4, 4, PipeWireColorMatrix::BT709),
                             std::vector{Plane(yuy2709, 8)}, *texture));
    ExpectColour(*texture, 0, 0, 255);
}

}  // namespace
}  // namespace zarvo
