#pragma once

#include <memory>
#include <string>

#include "platform/gpu/Texture.h"

// The drawing layer: devices, textures, command queues and the draw passes the compositor and
// the movie fitter use. Today every pass is drawn on the processor (textures live in host
// memory, passes run as plain loops on the queue's thread); the interface is the one a GPU back
// end would fill (textures as handles, work submitted in command buffers that complete
// asynchronously), so one can be added behind it without changing its callers.

namespace zarvo::gpu {

class Device;
using DeviceRef = std::shared_ptr<Device>;

// The device that pictures are made and drawn on. Sources create their textures through it;
// command queues for drawing are made from it. Textures live in host memory and are drawn on
// the CPU.
class Device {
  public:
    // The system's default device, or nullptr when none can be used.
    static DeviceRef systemDefault();

    std::string name() const { return "CPU"; }

    // A new texture of transparent black pixels, or nullptr (see Texture::make).
    TextureRef makeTexture(int64_t width, int64_t height) const {
        return Texture::make(width, height);
    }
};

}  // namespace zarvo::gpu
