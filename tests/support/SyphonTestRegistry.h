#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/framesharing/SyphonServerDescription.h"

namespace zarvo::test {

// Points this process, and the processes it starts, at a registry folder of its own, so that
// tests neither see nor disturb other publishers. Call before the first use of the layer; later
// calls do nothing. The folder and what is left in it go when the process exits.
void usePrivateSyphonRegistry();

// A server record whose lock the test holds but with no frames behind it: listed by the
// directory, but no client can connect to it. Removed when destroyed.
class SyphonHeldRecord {
  public:
    // The description is completed with a new identity.
    explicit SyphonHeldRecord(SyphonServerDescription description);
    ~SyphonHeldRecord();
    SyphonHeldRecord(const SyphonHeldRecord&) = delete;
    SyphonHeldRecord& operator=(const SyphonHeldRecord&) = delete;

    const std::string& id() const { return id_; }

  private:
    std::filesystem::path folder_;
    std::string id_;
    int lockFd_ = -1;
};

// The publisher helper (zarvo_syphon_publisher):
//   --name NAME --app APP --size WxH --frames N --fps F [--burst B] [--wait] [--hold]
// prints "ready UUID", waits for a line on its input when --wait, publishes N frames (frame k
// filled with the colour FrameColour(k)), B at once F times a second, prints "done", then
// ends, or with --hold waits to be killed.
inline uint32_t FrameColour(uint64_t frame) {
    return static_cast<uint32_t>(frame & 0xffffff);
}
// The frame number painted into a pixel by the helper.
inline uint64_t FrameOfPixel(const uint8_t* pixel) {
    return uint64_t{pixel[0]} | uint64_t{pixel[1]} << 8 | uint64_t{pixel[2]} << 16;
}

}  // namespace zarvo::test
