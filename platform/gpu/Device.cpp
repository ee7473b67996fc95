#include "platform/gpu/Device.h"

namespace zarvo::gpu {

DeviceRef Device::systemDefault() {
    static const DeviceRef device = std::make_shared<Device>();
    return device;
}

}  // namespace zarvo::gpu
