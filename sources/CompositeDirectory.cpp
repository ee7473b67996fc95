#include "sources/CompositeDirectory.h"

#include <algorithm>

namespace zarvo {

std::shared_ptr<CompositeDirectory> CompositeDirectory::create(
    std::vector<std::shared_ptr<SourceDirectory>> directories) {
    std::erase(directories, nullptr);
    return std::shared_ptr<CompositeDirectory>(new CompositeDirectory(std::move(directories)));
}

std::vector<SourceDescription> CompositeDirectory::availableSources() {
    std::vector<SourceDescription> all;
    for (const auto& directory : directories_) {
        auto sources = directory->availableSources();
        all.insert(all.end(), std::make_move_iterator(sources.begin()),
                   std::make_move_iterator(sources.end()));
    }
    return all;
}

std::shared_ptr<FrameSource> CompositeDirectory::connectToSourceWithTitle(
    const std::string& title, const gpu::DeviceRef& device) {
    for (const auto& directory : directories_) {
        const auto sources = directory->availableSources();
        const bool listed =
            std::any_of(sources.begin(), sources.end(),
                        [&](const SourceDescription& s) { return s.title == title; });
        if (!listed) {
            continue;
        }
        if (auto source = directory->connectToSourceWithTitle(title, device)) {
            return source;
        }
    }
    return nullptr;
}

ChangeHandler CompositeDirectory::changeHandler() const {
    std::lock_guard lock(handlerMutex_);
    return changeHandler_;
}

void CompositeDirectory::setChangeHandler(ChangeHandler handler) {
    const bool clearing = !handler;
    {
        std::lock_guard lock(handlerMutex_);
        changeHandler_ = std::move(handler);
    }
    std::weak_ptr<CompositeDirectory> weakSelf = weak_from_this();
    for (const auto& directory : directories_) {
        if (clearing) {
            directory->setChangeHandler(nullptr);
            continue;
        }
        // The member calls whatever handler the composite holds when it fires, and nothing once
        // the composite is gone.
        directory->setChangeHandler([weakSelf] {
            if (auto self = weakSelf.lock()) {
                if (auto current = self->changeHandler()) {
                    current();
                }
            }
        });
    }
}

}  // namespace zarvo
