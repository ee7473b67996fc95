#include "sources/NDIDirectory.h"

#include "sources/NDISource.h"

namespace zarvo {

std::shared_ptr<NDIDirectory> NDIDirectory::create(std::shared_ptr<const NDILibrary> library,
                                                   MainQueue& mainQueue) {
    auto finder = NDIFinder::create(library, mainQueue);
    std::shared_ptr<NDIDirectory> directory(
        new NDIDirectory(std::move(library), std::move(finder)));
    if (directory->finder_) {
        std::weak_ptr<NDIDirectory> weakDirectory = directory;
        directory->finder_->setChangeHandler([weakDirectory] {
            if (auto self = weakDirectory.lock()) {
                if (auto handler = self->changeHandler()) {
                    handler();
                }
            }
        });
    }
    return directory;
}

NDIDirectory::~NDIDirectory() {
    if (finder_) {
        finder_->stop();
    }
}

std::vector<SourceDescription> NDIDirectory::availableSources() {
    std::vector<SourceDescription> sources;
    if (!finder_) {
        return sources;
    }
    for (auto& name : finder_->sourceNames()) {
        sources.emplace_back(std::move(name), "NDI", FrameSourceKind::NDI);
    }
    return sources;
}

std::shared_ptr<FrameSource> NDIDirectory::connectToSourceWithTitle(const std::string& title,
                                                                    const gpu::DeviceRef& device) {
    if (!finder_) {
        return nullptr;
    }
    auto address = finder_->getName(title);
    if (!address) {
        return nullptr;
    }
    return NDISource::create(title, address->name, address->url, library_, device);
}

ChangeHandler NDIDirectory::changeHandler() const {
    std::lock_guard lock(handlerMutex_);
    return changeHandler_;
}

void NDIDirectory::setChangeHandler(ChangeHandler handler) {
    std::lock_guard lock(handlerMutex_);
    changeHandler_ = std::move(handler);
}

}  // namespace zarvo
