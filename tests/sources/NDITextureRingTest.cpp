#include "sources/NDITextureRing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zarvo {
namespace {

TEST(NDITextureRingTest, CopiesPaddedRowsAndMakesTexturesAnewOnlyForANewSize) {
    NDITextureRing ring(std::make_shared<gpu::Device>());
    // 3 × 2 pixels {x, y, 7, 0x40} in rows of 16 bytes, the padding 0xEE.
    std::vector<uint8_t> bytes(32, 0xEE);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            const uint8_t pixel[4] = {static_cast<uint8_t>(x), static_cast<uint8_t>(y), 7, 0x40};
            std::copy(pixel, pixel + 4, bytes.begin() + y * 16 + x * 4);
        }
    }
    const auto first = ring.textureWithBytes(bytes.data(), 3, 2, 16, true);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->width(), 3);
    EXPECT_EQ(first->height(), 2);
    EXPECT_EQ(std::vector<uint8_t>(first->row(1), first->row(1) + 12),
              (std::vector<uint8_t>{0, 1, 7, 0x40, 1, 1, 7, 0x40, 2, 1, 7, 0x40}));

    // Refused pictures leave the slots as they were: eleven accepted ones later, the first
    // texture comes round again.
    EXPECT_EQ(ring.textureWithBytes(nullptr, 3, 2, 16, true), nullptr);
    EXPECT_EQ(ring.textureWithBytes(bytes.data(), 0, 2, 16, true), nullptr);
    EXPECT_EQ(ring.textureWithBytes(bytes.data(), 3, 0, 16, true), nullptr);
    EXPECT_EQ(ring.textureWithBytes(bytes.data(), 1, 16385, 4, true), nullptr);
    EXPECT_EQ(ring.textureWithBytes(bytes.data(), -3, 2, 16, true), nullptr);
    std::vector<gpu::TextureRef> others;
    for (int i = 0; i < 11; ++i) {
        others.push_back(ring.textureWithBytes(bytes.data(), 3, 2, 16, i % 2 == 0));
        ASSERT_NE(others.back(), nullptr);
        EXPECT_FALSE(others.back()->sharesPixelsWith(*first));
    }
    // Without alpha, the opaque view of the slot's texture.
    const auto view = ring.textureWithBytes(bytes.data(), 3, 2, 16, false);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->sharesPixelsWith(*first));
    EXPECT_TRUE(view->isOpaque());
    EXPECT_EQ(view->alphaAt(2, 1), 255);
    EXPECT_EQ(first->alphaAt(2, 1), 0x40);

    // Another size replaces the next slot's texture.
    const auto resized = ring.textureWithBytes(bytes.data(), 2, 2, 16, true);
    ASSERT_NE(resized, nullptr);
    EXPECT_EQ(resized->width(), 2);
    EXPECT_FALSE(resized->sharesPixelsWith(*others[0]));

    NDITextureRing withoutDevice(nullptr);
    EXPECT_EQ(withoutDevice.textureWithBytes(bytes.data(), 3, 2, 16, true), nullptr);
}

}  // namespace
}  // namespace zarvo
