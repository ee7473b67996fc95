#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/gpu/Texture.h"

namespace zarvo {

// The picture layouts a PipeWire video node may send that the recorder takes. Packed RGB comes
// in byte order (BGRx is blue, green, red, unused); YUV as cameras and capture cards send it;
// MJPEG as one JPEG picture per buffer.
enum class PipeWirePixelFormat {
    BGRx,
    BGRA,
    RGBx,
    RGBA,
    YUY2,
    UYVY,
    NV12,
    I420,
    MJPEG,
};

// Which YUV matrix turns the node's pictures into RGB.
enum class PipeWireColorMatrix {
    BT601,
    BT709,
};

// A node's negotiated picture format.
struct PipeWireVideoFormat {
    PipeWirePixelFormat pixelFormat = PipeWirePixelFormat::BGRx;
    int64_t width = 0;
    int64_t height = 0;
    PipeWireColorMatrix matrix = PipeWireColorMatrix::BT601;
    bool fullRange = false;  // YUV in 0…255 rather than 16…235
};

// One block of a buffer as the node filled it: size bytes from bytes, rows stride bytes apart
// (0 when the node left the stride to the format).
struct PipeWirePlane {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    int64_t stride = 0;
};

// The short name of a format, for log lines ("BGRx", "MJPEG").
std::string pipeWirePixelFormatName(PipeWirePixelFormat format);

// Whether pictures of the format carry transparency that the recorder keeps.
bool pipeWirePixelFormatHasAlpha(PipeWirePixelFormat format);

// Whether the blocks of one buffer hold a whole picture of the format. Planar YUV comes either
// as one block per plane or as one block holding the planes one after the other (chroma rows as
// long as the luma's for NV12, half as long for I420). A size shorter than the rows need, a
// stride shorter than a row, too few blocks or a JPEG of another size do not fit.
bool pipeWireFrameFits(const PipeWireVideoFormat& format, std::span<const PipeWirePlane> planes);

// Converts one buffer's picture into the BGRA texture, which is format.width × format.height.
// Answers false, without writing a pixel, when the blocks do not fit (above); only a JPEG that
// fails to decode part-way may leave part of the texture written. Nothing outside a block's size
// is ever read.
bool convertPipeWireFrame(const PipeWireVideoFormat& format, std::span<const PipeWirePlane> planes,
                          gpu::Texture& texture);

}  // namespace zarvo
