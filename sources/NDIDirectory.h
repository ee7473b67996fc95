#pragma once

#include <memory>
#include <mutex>

#include "platform/MainQueue.h"
#include "sources/NDIFinder.h"
#include "sources/NDILibrary.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

// The NDI sources on the network, as a source directory. With an unavailable library it lists
// nothing, connects nothing and runs no thread.
class NDIDirectory final : public SourceDirectory,
                           public std::enable_shared_from_this<NDIDirectory> {
  public:
    // The change handler is called on the main queue, which must outlive the directory.
    static std::shared_ptr<NDIDirectory> create(std::shared_ptr<const NDILibrary> library,
                                                MainQueue& mainQueue);
    // Stops the finder.
    ~NDIDirectory() override;

    const std::shared_ptr<const NDILibrary>& library() const { return library_; }

    std::vector<SourceDescription> availableSources() override;
    // A running NDISource for a listed title, or nullptr.
    std::shared_ptr<FrameSource> connectToSourceWithTitle(const std::string& title,
                                                          const gpu::DeviceRef& device) override;
    ChangeHandler changeHandler() const override;
    void setChangeHandler(ChangeHandler handler) override;

  private:
    NDIDirectory(std::shared_ptr<const NDILibrary> library, std::unique_ptr<NDIFinder> finder)
        : library_(std::move(library)), finder_(std::move(finder)) {}

    const std::shared_ptr<const NDILibrary> library_;
    const std::unique_ptr<NDIFinder> finder_;  // nullptr when NDI is unavailable
    mutable std::mutex handlerMutex_;
    ChangeHandler changeHandler_;  // guarded by handlerMutex_
};

}  // namespace zarvo
