#include "tools/TestPicture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace zarvo::tools {

namespace {

struct Colour {
    uint8_t b, g, r, a;
};

// 75% bars: white, yellow, cyan, green, magenta, red, blue.
constexpr Colour kBars[] = {{191, 191, 191, 255}, {0, 191, 191, 255}, {191, 191, 0, 255},
                            {0, 191, 0, 255},     {191, 0, 191, 255}, {0, 0, 191, 255},
                            {191, 0, 0, 255}};
constexpr Colour kInk = {255, 255, 255, 255};
constexpr Colour kMarker = {0, 220, 255, 255};
// Seconds for the marker to cross the picture and come back.
constexpr double kMarkerPeriod = 2.0;

// Segments a to g of a seven-segment digit, bit 0 = a (top), clockwise, g in the middle.
constexpr uint8_t kSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

void fill(gpu::Texture& texture, int64_t left, int64_t top, int64_t right, int64_t bottom,
          Colour colour) {
    left = std::clamp<int64_t>(left, 0, texture.width());
    right = std::clamp<int64_t>(right, 0, texture.width());
    top = std::clamp<int64_t>(top, 0, texture.height());
    bottom = std::clamp<int64_t>(bottom, 0, texture.height());
    for (int64_t y = top; y < bottom; ++y) {
        uint8_t* pixel = texture.row(y) + left * 4;
        for (int64_t x = left; x < right; ++x, pixel += 4) {
            std::memcpy(pixel, &colour, 4);
        }
    }
}

}  // namespace

TestPicture::TestPicture(int64_t width, int64_t height, double fps, bool alpha)
    : width_(width), height_(height), fps_(fps), alpha_(alpha) {
    background_ = gpu::Texture::make(width, height);
    if (!background_) {
        return;
    }
    const int64_t barsBottom = height * 2 / 3;
    constexpr int64_t kBarCount = std::size(kBars);
    for (int64_t i = 0; i < kBarCount; ++i) {
        fill(*background_, width * i / kBarCount, 0, width * (i + 1) / kBarCount, barsBottom,
             kBars[i]);
    }
    fill(*background_, 0, barsBottom, width, height,
         Colour{40, 32, 32, static_cast<uint8_t>(alpha ? 128 : 255)});
}

void TestPicture::drawDigit(gpu::Texture& texture, int digit, int64_t left, int64_t top,
                            int64_t digitHeight) const {
    const int64_t w = digitHeight / 2;
    const int64_t t = std::max<int64_t>(1, digitHeight / 9);
    const int64_t middle = top + digitHeight / 2;
    const int64_t bottom = top + digitHeight;
    const uint8_t segments = kSegments[digit];
    const struct {
        int64_t left, top, right, bottom;
    } boxes[7] = {
        {left, top, left + w, top + t},                        // a
        {left + w - t, top, left + w, middle},                 // b
        {left + w - t, middle, left + w, bottom},              // c
        {left, bottom - t, left + w, bottom},                  // d
        {left, middle, left + t, bottom},                      // e
        {left, top, left + t, middle},                         // f
        {left, middle - t / 2, left + w, middle - t / 2 + t},  // g
    };
    for (int i = 0; i < 7; ++i) {
        if (segments & (1 << i)) {
            fill(texture, boxes[i].left, boxes[i].top, boxes[i].right, boxes[i].bottom, kInk);
        }
    }
}

void TestPicture::draw(uint64_t frame, gpu::Texture& texture) const {
    if (!background_ || texture.width() != width_ || texture.height() != height_) {
        return;
    }
    for (int64_t y = 0; y < height_; ++y) {
        std::memcpy(texture.row(y), background_->row(y), static_cast<size_t>(width_) * 4);
    }
    const int64_t bandTop = height_ * 2 / 3;
    const int64_t bandHeight = height_ - bandTop;

    // The frame number, left in the band.
    const int64_t digitHeight = bandHeight * 3 / 5;
    const int64_t digitTop = bandTop + (bandHeight - digitHeight) / 2;
    const int64_t advance = digitHeight * 2 / 3;
    int64_t x = bandHeight / 5;
    for (char c : std::to_string(frame)) {
        drawDigit(texture, c - '0', x, digitTop, digitHeight);
        x += advance;
    }

    // The marker goes across and back, a full square in the band.
    const double seconds = static_cast<double>(frame) / fps_;
    const double phase = std::fmod(seconds, kMarkerPeriod) / kMarkerPeriod;
    const double across = phase < 0.5 ? phase * 2 : 2 - phase * 2;
    const int64_t side = std::max<int64_t>(1, bandHeight / 2);
    const auto left = static_cast<int64_t>(across * static_cast<double>(width_ - side));
    const int64_t top = bandTop + (bandHeight - side) / 2;
    fill(texture, left, top, left + side, top + side, kMarker);
    // A thin line through the bars above the marker, so that movement shows everywhere.
    fill(texture, left + side / 2, 0, left + side / 2 + std::max<int64_t>(1, side / 8), bandTop,
         kInk);
}

}  // namespace zarvo::tools
