#include "sources/PipeWireFrames.h"

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <climits>
#include <vector>

namespace zarvo {

namespace {

// Where one plane's rows are: validated to lie inside the block they come from.
struct Rows {
    const uint8_t* bytes = nullptr;
    int stride = 0;
};

// Whether rows rows of rowBytes bytes, stride bytes apart, fit in size bytes.
bool rowsFit(size_t size, int64_t stride, int64_t rowBytes, int64_t rows) {
    if (rows < 1 || rowBytes < 1 || stride < rowBytes || stride > INT_MAX) {
        return false;
    }
    const auto available = static_cast<uint64_t>(size);
    const auto last = static_cast<uint64_t>(rowBytes);
    if (last > available) {
        return false;
    }
    // (rows - 1) × stride ≤ available − last, without overflowing.
    return rows == 1 ||
           static_cast<uint64_t>(stride) <= (available - last) / static_cast<uint64_t>(rows - 1);
}

// The rows of a plane at offset within a block, or nothing when they do not fit.
std::optional<Rows> planeRows(const PipeWirePlane& block, size_t offset, int64_t stride,
                              int64_t rowBytes, int64_t rows) {
    if (block.bytes == nullptr || offset > block.size ||
        !rowsFit(block.size - offset, stride, rowBytes, rows)) {
        return std::nullopt;
    }
    return Rows{block.bytes + offset, static_cast<int>(stride)};
}

int64_t StrideOr(const PipeWirePlane& block, int64_t fallback) {
    return block.stride != 0 ? block.stride : fallback;
}

const libyuv::YuvConstants* constants(const PipeWireVideoFormat& format) {
    if (format.matrix == PipeWireColorMatrix::BT709) {
        return format.fullRange ? &libyuv::kYuvF709Constants : &libyuv::kYuvH709Constants;
    }
    return format.fullRange ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
}

// Each converter first finds the planes in the blocks, and without a texture answers only
// whether they hold a whole picture.
bool convertPacked(const PipeWireVideoFormat& format, const PipeWirePlane& block,
                   gpu::Texture* texture) {
    const int64_t width = format.width;
    const int64_t height = format.height;
    const bool yuv = format.pixelFormat == PipeWirePixelFormat::YUY2 ||
                     format.pixelFormat == PipeWirePixelFormat::UYVY;
    const int64_t rowBytes = yuv ? (width + 1) / 2 * 4 : width * 4;
    const auto rows = planeRows(block, 0, StrideOr(block, rowBytes), rowBytes, height);
    if (!rows || texture == nullptr) {
        return rows.has_value();
    }
    uint8_t* const destination = texture->bytes();
    const auto destinationStride = static_cast<int>(texture->bytesPerRow());
    const auto w = static_cast<int>(width);
    const auto h = static_cast<int>(height);
    switch (format.pixelFormat) {
        case PipeWirePixelFormat::BGRx:
        case PipeWirePixelFormat::BGRA:
            return libyuv::ARGBCopy(rows->bytes, rows->stride, destination, destinationStride, w,
                                    h) == 0;
        case PipeWirePixelFormat::RGBx:
        case PipeWirePixelFormat::RGBA:
            // Red first in memory is what the converter calls ABGR.
            return libyuv::ABGRToARGB(rows->bytes, rows->stride, destination, destinationStride, w,
                                      h) == 0;
        default:
            break;
    }
    // 4:2:2 straight to BGRA knows only the usual camera matrix (BT.601, limited range); any
    // other goes through planes.
    if (format.matrix == PipeWireColorMatrix::BT601 && !format.fullRange) {
        return format.pixelFormat == PipeWirePixelFormat::YUY2
                   ? libyuv::YUY2ToARGB(rows->bytes, rows->stride, destination, destinationStride,
                                        w, h) == 0
                   : libyuv::UYVYToARGB(rows->bytes, rows->stride, destination, destinationStride,
                                        w, h) == 0;
    }
    const int chromaWidth = (w + 1) / 2;
    thread_local std::vector<uint8_t> planes;
    planes.resize(static_cast<size_t>(w) * static_cast<size_t>(h) +
                  2 * static_cast<size_t>(chromaWidth) * static_cast<size_t>(h));
    uint8_t* const y = planes.data();
    uint8_t* const u = y + static_cast<size_t>(w) * static_cast<size_t>(h);
    uint8_t* const v = u + static_cast<size_t>(chromaWidth) * static_cast<size_t>(h);
    const int split = format.pixelFormat == PipeWirePixelFormat::YUY2
                          ? libyuv::YUY2ToI422(rows->bytes, rows->stride, y, w, u, chromaWidth, v,
                                               chromaWidth, w, h)
                          : libyuv::UYVYToI422(rows->bytes, rows->stride, y, w, u, chromaWidth, v,
                                               chromaWidth, w, h);
    return split == 0 && libyuv::I422ToARGBMatrix(y, w, u, chromaWidth, v, chromaWidth, destination,
                                                  destinationStride, constants(format), w, h) == 0;
}

bool convertNV12(const PipeWireVideoFormat& format, std::span<const PipeWirePlane> blocks,
                 gpu::Texture* texture) {
    const int64_t width = format.width;
    const int64_t height = format.height;
    const int64_t chromaRowBytes = (width + 1) / 2 * 2;
    const int64_t chromaRows = (height + 1) / 2;
    std::optional<Rows> luma;
    std::optional<Rows> chroma;
    if (blocks.size() >= 2) {
        luma = planeRows(blocks[0], 0, StrideOr(blocks[0], width), width, height);
        chroma = planeRows(blocks[1], 0, StrideOr(blocks[1], chromaRowBytes), chromaRowBytes,
                           chromaRows);
    } else {
        // One block: the interleaved chroma follows the luma, rows as long as the luma's.
        const int64_t stride = StrideOr(blocks[0], width);
        luma = planeRows(blocks[0], 0, stride, width, height);
        if (luma) {
            chroma = planeRows(blocks[0], static_cast<size_t>(stride * height), stride,
                               chromaRowBytes, chromaRows);
        }
    }
    if (!luma || !chroma || texture == nullptr) {
        return luma && chroma;
    }
    return libyuv::NV12ToARGBMatrix(luma->bytes, luma->stride, chroma->bytes, chroma->stride,
                                    texture->bytes(), static_cast<int>(texture->bytesPerRow()),
                                    constants(format), static_cast<int>(width),
                                    static_cast<int>(height)) == 0;
}

bool convertI420(const PipeWireVideoFormat& format, std::span<const PipeWirePlane> blocks,
                 gpu::Texture* texture) {
    const int64_t width = format.width;
    const int64_t height = format.height;
    const int64_t chromaWidth = (width + 1) / 2;
    const int64_t chromaRows = (height + 1) / 2;
    std::optional<Rows> y;
    std::optional<Rows> u;
    std::optional<Rows> v;
    if (blocks.size() >= 3) {
        y = planeRows(blocks[0], 0, StrideOr(blocks[0], width), width, height);
        u = planeRows(blocks[1], 0, StrideOr(blocks[1], chromaWidth), chromaWidth, chromaRows);
        v = planeRows(blocks[2], 0, StrideOr(blocks[2], chromaWidth), chromaWidth, chromaRows);
    } else if (blocks.size() == 1) {
        // One block: U then V follow the luma, their rows half as far apart.
        const int64_t stride = StrideOr(blocks[0], width);
        const int64_t chromaStride = (stride + 1) / 2;
        const auto uOffset = static_cast<size_t>(stride * height);
        const auto vOffset = uOffset + static_cast<size_t>(chromaStride * chromaRows);
        y = planeRows(blocks[0], 0, stride, width, height);
        if (y) {
            u = planeRows(blocks[0], uOffset, chromaStride, chromaWidth, chromaRows);
        }
        if (u) {
            v = planeRows(blocks[0], vOffset, chromaStride, chromaWidth, chromaRows);
        }
    }
    if (!y || !u || !v || texture == nullptr) {
        return y && u && v;
    }
    return libyuv::I420ToARGBMatrix(y->bytes, y->stride, u->bytes, u->stride, v->bytes, v->stride,
                                    texture->bytes(), static_cast<int>(texture->bytesPerRow()),
                                    constants(format), static_cast<int>(width),
                                    static_cast<int>(height)) == 0;
}

bool convertMJPEG(const PipeWireVideoFormat& format, const PipeWirePlane& block,
                  gpu::Texture* texture) {
    if (block.bytes == nullptr || block.size == 0) {
        return false;
    }
    // The picture's own size must be the format's: the decoder writes what the JPEG holds.
    int width = 0;
    int height = 0;
    if (libyuv::MJPGSize(block.bytes, block.size, &width, &height) != 0 || width != format.width ||
        height != format.height) {
        return false;
    }
    if (texture == nullptr) {
        return true;
    }
    return libyuv::MJPGToARGB(block.bytes, block.size, texture->bytes(),
                              static_cast<int>(texture->bytesPerRow()), width, height, width,
                              height) == 0;
}

}  // namespace

std::string pipeWirePixelFormatName(PipeWirePixelFormat format) {
    switch (format) {
        case PipeWirePixelFormat::BGRx:
            return "BGRx";
        case PipeWirePixelFormat::BGRA:
            return "BGRA";
        case PipeWirePixelFormat::RGBx:
            return "RGBx";
        case PipeWirePixelFormat::RGBA:
            return "RGBA";
        case PipeWirePixelFormat::YUY2:
            return "YUY2";
        case PipeWirePixelFormat::UYVY:
            return "UYVY";
        case PipeWirePixelFormat::NV12:
            return "NV12";
        case PipeWirePixelFormat::I420:
            return "I420";
        case PipeWirePixelFormat::MJPEG:
            return "MJPEG";
    }
    return "unknown";
}

bool pipeWirePixelFormatHasAlpha(PipeWirePixelFormat format) {
    return format == PipeWirePixelFormat::BGRA || format == PipeWirePixelFormat::RGBA;
}

namespace {

bool convert(const PipeWireVideoFormat& format, std::span<const PipeWirePlane> planes,
             gpu::Texture* texture) {
    if (planes.empty() || format.width < 1 || format.height < 1 ||
        format.width > gpu::Texture::kMaxDimension || format.height > gpu::Texture::kMaxDimension ||
        (texture != nullptr &&
         (texture->width() != format.width || texture->height() != format.height))) {
        return false;
    }
    switch (format.pixelFormat) {
        case PipeWirePixelFormat::NV12:
            return convertNV12(format, planes, texture);
        case PipeWirePixelFormat::I420:
            return convertI420(format, planes, texture);
        case PipeWirePixelFormat::MJPEG:
            return convertMJPEG(format, planes[0], texture);
        default:
            return convertPacked(format, planes[0], texture);
    }
}

}  // namespace

bool pipeWireFrameFits(const PipeWireVideoFormat& format, std::span<const PipeWirePlane> planes) {
    return convert(format, planes, nullptr);
}

bool convertPipeWireFrame(const PipeWireVideoFormat& format, std::span<const PipeWirePlane> planes,
                          gpu::Texture& texture) {
    return convert(format, planes, &texture);
}

}  // namespace zarvo
