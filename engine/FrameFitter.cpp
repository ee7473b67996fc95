#include "engine/FrameFitter.h"

#include "engine/PictureConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace zarvo {

namespace {

// Fills rows [y0, y1) × columns [x0, x1) of a plane with one sample value.
void fillPlane(uint8_t* plane, int linesize, int bytesPerSample, int x0, int x1, int y0, int y1,
               uint16_t value) {
    if (x1 <= x0 || y1 <= y0) {
        return;
    }
    for (int y = y0; y < y1; ++y) {
        uint8_t* row = plane + static_cast<ptrdiff_t>(y) * linesize;
        if (bytesPerSample == 1) {
            std::memset(row + x0, value, static_cast<size_t>(x1 - x0));
        } else {
            auto* samples = reinterpret_cast<uint16_t*>(row);
            std::fill(samples + x0, samples + x1, value);
        }
    }
}

// The converter's layout for the encoders' pixel formats it covers.
std::optional<PlanarLayout> directLayout(AVPixelFormat format) {
    switch (format) {
        case AV_PIX_FMT_YUV420P:
            return PlanarLayout::Yuv420p8;
        case AV_PIX_FMT_YUV422P10LE:
            return PlanarLayout::Yuv422p10;
        case AV_PIX_FMT_YUVA444P10LE:
            return PlanarLayout::Yuva444p10;
        default:
            return std::nullopt;
    }
}

}  // namespace

FrameFitter::~FrameFitter() {
    sws_freeContext(scaler_);
}

FitRect FrameFitter::fit(int64_t sw, int64_t sh, int dw, int dh, int chromaShiftX,
                         int chromaShiftY) {
    // The same arithmetic as drawing a centred quad: the scale in single precision, then the
    // pixels whose centres the quad covers.
    const float s = std::min(static_cast<float>(dw) / static_cast<float>(sw),
                             static_cast<float>(dh) / static_cast<float>(sh));
    const double w = static_cast<double>(s) * static_cast<double>(sw);
    const double h = static_cast<double>(s) * static_cast<double>(sh);
    auto span = [](double size, double extent, int shift, int& begin, int& length) {
        int first = static_cast<int>(std::ceil((extent - size) / 2 - 0.5));
        int end = static_cast<int>(std::ceil((extent + size) / 2 - 0.5));
        const int grid = 1 << shift;
        first = std::clamp(first / grid * grid, 0, static_cast<int>(extent));
        end = std::clamp((end + grid - 1) / grid * grid, 0, static_cast<int>(extent));
        if (end - first < grid) {
            end = std::min(first + grid, static_cast<int>(extent));
            first = end - grid;
        }
        begin = first;
        length = end - first;
    };
    FitRect rect;
    span(w, dw, chromaShiftX, rect.x, rect.width);
    span(h, dh, chromaShiftY, rect.y, rect.height);
    return rect;
}

bool FrameFitter::draw(const gpu::Texture& texture, bool flipped, AVFrame* frame,
                       bool transparentBars) {
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc == nullptr) {
        return false;
    }
    const int shiftX = desc->log2_chroma_w;
    const int shiftY = desc->log2_chroma_h;
    const FitRect rect =
        fit(texture.width(), texture.height(), frame->width, frame->height, shiftX, shiftY);

    const int depth = desc->comp[0].depth;
    const int bytes = depth > 8 ? 2 : 1;
    const bool hasAlpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    const int planes = hasAlpha ? 4 : 3;

    // A texture stored bottom row first is read from its last row upwards.
    const uint8_t* sourceRow = flipped ? texture.row(texture.height() - 1) : texture.row(0);
    const ptrdiff_t sourceStride = flipped ? -texture.bytesPerRow() : texture.bytesPerRow();
    uint8_t* targets[4] = {};
    int targetStrides[4] = {};
    for (int p = 0; p < planes; ++p) {
        const bool chroma = p == 1 || p == 2;
        const int sx = chroma ? shiftX : 0;
        const int sy = chroma ? shiftY : 0;
        targets[p] = frame->data[p] + static_cast<ptrdiff_t>(rect.y >> sy) * frame->linesize[p] +
                     static_cast<ptrdiff_t>(rect.x >> sx) * bytes;
        targetStrides[p] = frame->linesize[p];
    }

    const std::optional<PlanarLayout> layout = directLayout(format);
    if (path_ == Path::Best && layout && texture.width() == rect.width &&
        texture.height() == rect.height) {
        PlanarTarget target;
        for (int p = 0; p < planes; ++p) {
            target.planes[p] = targets[p];
            target.strides[p] = targetStrides[p];
        }
        convertBgraToPlanar(sourceRow, sourceStride, rect.width, rect.height, texture.isOpaque(),
                            *layout, target);
    } else if (!scale(texture, sourceRow, sourceStride, rect, format, targets, targetStrides)) {
        return false;
    }
    drawBars(frame, rect, transparentBars);
    return true;
}

bool FrameFitter::scale(const gpu::Texture& texture, const uint8_t* sourceRow,
                        ptrdiff_t sourceStride, const FitRect& rect, int format,
                        uint8_t* const targets[4], const int targetStrides[4]) {
    // Sources whose fourth byte is not transparency are read as opaque.
    const AVPixelFormat source = texture.isOpaque() ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_BGRA;
    const int64_t key[6] = {texture.width(), texture.height(), source,
                            rect.width,      rect.height,      format};
    const auto target = static_cast<AVPixelFormat>(format);
    if (scaler_ == nullptr || !std::equal(key, key + 6, scalerKey_)) {
        sws_freeContext(scaler_);
        // Chroma is taken from every input pixel: sharper colour edges, and the scaler's
        // faster path for packed input.
        scaler_ =
            sws_getContext(static_cast<int>(texture.width()), static_cast<int>(texture.height()),
                           source, rect.width, rect.height, target,
                           SWS_BILINEAR | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
        if (scaler_ == nullptr) {
            return false;
        }
        std::copy(key, key + 6, scalerKey_);
        // Full-range RGB in, video-range BT.709 out, as the movie is tagged.
        int* inverse = nullptr;
        int* table = nullptr;
        int srcRange = 0;
        int dstRange = 0;
        int brightness = 0;
        int contrast = 0;
        int saturation = 0;
        sws_getColorspaceDetails(scaler_, &inverse, &srcRange, &table, &dstRange, &brightness,
                                 &contrast, &saturation);
        sws_setColorspaceDetails(scaler_, sws_getCoefficients(SWS_CS_ITU709), 1,
                                 sws_getCoefficients(SWS_CS_ITU709), 0, brightness, contrast,
                                 saturation);
    }

    const uint8_t* const sourcePlanes[4] = {sourceRow, nullptr, nullptr, nullptr};
    const int sourceStrides[4] = {static_cast<int>(sourceStride), 0, 0, 0};
    sws_scale(scaler_, sourcePlanes, sourceStrides, 0, static_cast<int>(texture.height()), targets,
              targetStrides);
    return true;
}

void FrameFitter::drawBars(AVFrame* frame, const FitRect& rect, bool transparentBars) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    const int shiftX = desc->log2_chroma_w;
    const int shiftY = desc->log2_chroma_h;
    const int depth = desc->comp[0].depth;
    const int bytes = depth > 8 ? 2 : 1;
    const int planes = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0 ? 4 : 3;
    // Bars: black (video range), fully transparent where the movie keeps transparency. Drawn
    // after the picture, since the scaler may write a little past the end of its rows.
    const auto level = [depth](int eightBit) {
        return static_cast<uint16_t>(eightBit << (depth - 8));
    };
    for (int p = 0; p < planes; ++p) {
        const bool chroma = p == 1 || p == 2;
        const int sx = chroma ? shiftX : 0;
        const int sy = chroma ? shiftY : 0;
        const int pw = AV_CEIL_RSHIFT(frame->width, sx);
        const int ph = AV_CEIL_RSHIFT(frame->height, sy);
        const int x0 = rect.x >> sx;
        const int x1 = (rect.x + rect.width) >> sx;
        const int y0 = rect.y >> sy;
        const int y1 = (rect.y + rect.height) >> sy;
        const uint16_t value = p == 0 ? level(16)
                               : p == 3
                                   ? static_cast<uint16_t>(transparentBars ? 0 : (1 << depth) - 1)
                                   : level(128);
        fillPlane(frame->data[p], frame->linesize[p], bytes, 0, pw, 0, y0, value);
        fillPlane(frame->data[p], frame->linesize[p], bytes, 0, pw, y1, ph, value);
        fillPlane(frame->data[p], frame->linesize[p], bytes, 0, x0, y0, y1, value);
        fillPlane(frame->data[p], frame->linesize[p], bytes, x1, pw, y0, y1, value);
    }
}

}  // namespace zarvo
