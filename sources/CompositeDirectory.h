#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "sources/SourceDirectory.h"

namespace zarvo {

// Merges several directories into one: their lists are concatenated in member order, and a
// title is connected through the first member that lists it exactly and manages to connect.
// Used from the main thread; the members guard their own state.
class CompositeDirectory final : public SourceDirectory,
                                 public std::enable_shared_from_this<CompositeDirectory> {
  public:
    static std::shared_ptr<CompositeDirectory> create(
        std::vector<std::shared_ptr<SourceDirectory>> directories);

    const std::vector<std::shared_ptr<SourceDirectory>>& directories() const {
        return directories_;
    }

    std::vector<SourceDescription> availableSources() override;
    std::shared_ptr<FrameSource> connectToSourceWithTitle(const std::string& title,
                                                          const gpu::DeviceRef& device) override;
    ChangeHandler changeHandler() const override;
    void setChangeHandler(ChangeHandler handler) override;

  private:
    explicit CompositeDirectory(std::vector<std::shared_ptr<SourceDirectory>> directories)
        : directories_(std::move(directories)) {}

    const std::vector<std::shared_ptr<SourceDirectory>> directories_;
    mutable std::mutex handlerMutex_;
    ChangeHandler changeHandler_;  // guarded by handlerMutex_
};

}  // namespace zarvo
