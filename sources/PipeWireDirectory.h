#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

// One PipeWire video node as the directory lists it.
struct PipeWireNode {
    uint32_t id = 0;
    uint64_t serial = 0;
    std::string title;   // "name - app", as for every source published on this computer
    std::string detail;  // the application's name, or "PipeWire"

    friend bool operator==(const PipeWireNode&, const PipeWireNode&) = default;
};

// The video that programs and devices publish through PipeWire, as local sources: every node of
// class "Video/Source" (cameras, capture cards, programs that offer a source) or
// "Stream/Output/Video" (a program's output stream, such as a GStreamer pipewiresink), titled
// by its description (or name) and its application's name. Listed as local sources (kind 0,
// shown "syphon").
//
// Watches PipeWire on a thread of its own ("PipeWire"). Without a running PipeWire it lists
// nothing, says so once in the log, and tries again every few seconds. The change handler is
// called on the main queue after a node appeared, changed its title or went away.
class PipeWireDirectory final : public SourceDirectory,
                                public std::enable_shared_from_this<PipeWireDirectory> {
  public:
    // Seconds between two attempts to reach PipeWire while it does not answer.
    static constexpr double kRetryInterval = 2.0;

    // mainQueue must outlive the directory. Waits, a few seconds at most, for PipeWire's first
    // list, so that the first list asked for is complete.
    static std::shared_ptr<PipeWireDirectory> create(MainQueue& mainQueue);
    // Stops watching and joins the thread.
    ~PipeWireDirectory() override;
    PipeWireDirectory(const PipeWireDirectory&) = delete;
    PipeWireDirectory& operator=(const PipeWireDirectory&) = delete;

    std::vector<SourceDescription> availableSources() override;
    // A running PipeWireSource for a listed title (nodes that share it tried in order), or
    // nullptr.
    std::shared_ptr<FrameSource> connectToSourceWithTitle(const std::string& title,
                                                          const gpu::DeviceRef& device) override;
    ChangeHandler changeHandler() const override { return changeHandler_; }
    void setChangeHandler(ChangeHandler handler) override { changeHandler_ = std::move(handler); }

    // The nodes listed now, in the order PipeWire announced them.
    std::vector<PipeWireNode> nodes() const;
    // Whether PipeWire answers now.
    bool isConnected() const;

  private:
    struct Watch;
    explicit PipeWireDirectory(std::shared_ptr<Watch> watch) : watch_(std::move(watch)) {}

    const std::shared_ptr<Watch> watch_;
    std::thread thread_;
    ChangeHandler changeHandler_;  // main thread only
};

}  // namespace zarvo
