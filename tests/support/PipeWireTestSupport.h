#pragma once

// Publishers of PipeWire video for the tests: GStreamer pipelines (videotestsrc into
// pipewiresink) run as child processes against the private PipeWire of scripts/pipewire.sh.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/ChildProcess.h"

namespace zarvo::test {

// Whether the test environment started a private PipeWire (scripts/pipewire.sh sets it).
inline bool pipeWireStarted() {
    const char* started = std::getenv("ZARVO_PIPEWIRE");
    return started != nullptr && std::string(started) == "1";
}

#define ZARVO_REQUIRE_PIPEWIRE()                                                     \
    do {                                                                             \
        if (!::zarvo::test::pipeWireStarted()) {                                     \
            GTEST_SKIP() << "no private PipeWire (scripts/pipewire.sh) was started"; \
        }                                                                            \
    } while (false)

// The name with this test process's number after it: tests run side by side on one PipeWire,
// and each must find its own nodes.
std::string Named(const std::string& name);

struct GstPublisherOptions {
    explicit GstPublisherOptions(std::string description_, std::string app_ = "")
        : description(std::move(description_)), app(std::move(app_)) {}
    GstPublisherOptions& withFormat(std::string format_) {
        format = std::move(format_);
        return *this;
    }
    GstPublisherOptions& withSize(int width_, int height_) {
        width = width_;
        height = height_;
        return *this;
    }
    GstPublisherOptions& withColour(uint32_t argb_) {
        argb = argb_;
        return *this;
    }
    GstPublisherOptions& withClass(std::string mediaClass_) {
        mediaClass = std::move(mediaClass_);
        return *this;
    }

    std::string description;      // the node's description; "" leaves pipewiresink's own
    std::string app;              // the node's application name; "" leaves the program's
    std::string format = "BGRx";  // a raw format, or "MJPEG" (JPEG pictures of I420)
    int width = 64;
    int height = 48;
    int fps = 30;
    uint32_t argb = 0xff3366cc;  // the solid colour shown
    std::string mediaClass;      // "" leaves pipewiresink's "Stream/Output/Video"
};

// A running gst-launch-1.0 that publishes a solid picture until destroyed.
std::unique_ptr<ChildProcess> startGstPublisher(const GstPublisherOptions& options);

}  // namespace zarvo::test
