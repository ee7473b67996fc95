#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/framesharing/SyphonServerDescription.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

// The title a source published on this computer is listed and connected by: "name - app", or
// whichever of the two is not empty, or "Untitled Server" when both are.
std::string localSourceTitle(const std::string& name, const std::string& app);
// The title of a server, by that rule.
std::string syphonSourceTitle(const SyphonServerDescription& description);
// The second line shown for a server: its application's name, or "Syphon" when it has none.
std::string syphonSourceDetail(const SyphonServerDescription& description);

// The servers published on this computer, as sources. Lists what the shared server directory
// holds, in its order, and connects to the first server of a title whose probe connects.
//
// Used from the main thread. The change handler is called on the main queue once for every
// server announced, updated or retired.
class SyphonDirectory final : public SourceDirectory,
                              public std::enable_shared_from_this<SyphonDirectory> {
  public:
    // mainQueue must outlive the directory.
    static std::shared_ptr<SyphonDirectory> create(MainQueue& mainQueue);
    ~SyphonDirectory() override;

    std::vector<SourceDescription> availableSources() override;
    std::shared_ptr<FrameSource> connectToSourceWithTitle(const std::string& title,
                                                          const gpu::DeviceRef& device) override;
    ChangeHandler changeHandler() const override { return changeHandler_; }
    void setChangeHandler(ChangeHandler handler) override { changeHandler_ = std::move(handler); }

  private:
    explicit SyphonDirectory(MainQueue& mainQueue) : mainQueue_(mainQueue) {}

    MainQueue& mainQueue_;
    ChangeHandler changeHandler_;  // main thread only
    std::vector<NotificationCenter::Token> observers_;
};

}  // namespace zarvo
