#include "sources/SyphonDirectory.h"

#include "platform/framesharing/SyphonClient.h"
#include "platform/framesharing/SyphonServerDirectory.h"
#include "sources/SyphonSource.h"

namespace zarvo {

std::string syphonSourceTitle(const SyphonServerDescription& description) {
    return localSourceTitle(
        syphonDescriptionString(description, kSyphonServerDescriptionNameKey),
        syphonDescriptionString(description, kSyphonServerDescriptionAppNameKey));
}

std::string localSourceTitle(const std::string& name, const std::string& app) {
    if (name.empty()) {
        return app.empty() ? "Untitled Server" : app;
    }
    return app.empty() ? name : name + " - " + app;
}

std::string syphonSourceDetail(const SyphonServerDescription& description) {
    const std::string app =
        syphonDescriptionString(description, kSyphonServerDescriptionAppNameKey);
    return app.empty() ? "Syphon" : app;
}

std::shared_ptr<SyphonDirectory> SyphonDirectory::create(MainQueue& mainQueue) {
    std::shared_ptr<SyphonDirectory> directory(new SyphonDirectory(mainQueue));
    std::weak_ptr<SyphonDirectory> weakDirectory = directory;
    auto& center = NotificationCenter::defaultCenter();
    for (const char* name : {kSyphonServerAnnounceNotification, kSyphonServerUpdateNotification,
                             kSyphonServerRetireNotification}) {
        // Posted on the shared directory's thread; the handler runs on the main queue.
        directory->observers_.push_back(center.addObserver(
            name, nullptr, [weakDirectory, &mainQueue](const NotificationCenter::Notification&) {
                mainQueue.post([weakDirectory] {
                    const auto self = weakDirectory.lock();
                    if (!self) {
                        return;
                    }
                    // A copy, so that the handler may replace itself.
                    if (const ChangeHandler handler = self->changeHandler_) {
                        handler();
                    }
                });
            }));
    }
    // Reads the folder now, so that the first list asked for is complete.
    SyphonServerDirectory::sharedDirectory().servers();
    return directory;
}

SyphonDirectory::~SyphonDirectory() {
    for (const auto token : observers_) {
        NotificationCenter::defaultCenter().removeObserver(token);
    }
}

std::vector<SourceDescription> SyphonDirectory::availableSources() {
    std::vector<SourceDescription> sources;
    for (const auto& server : SyphonServerDirectory::sharedDirectory().servers()) {
        sources.emplace_back(syphonSourceTitle(server), syphonSourceDetail(server),
                             FrameSourceKind::Syphon);
    }
    return sources;
}

std::shared_ptr<FrameSource> SyphonDirectory::connectToSourceWithTitle(
    const std::string& title, const gpu::DeviceRef& device) {
    // Servers that share the title are tried in order until one can be reached.
    for (const auto& server : SyphonServerDirectory::sharedDirectory().servers()) {
        if (syphonSourceTitle(server) != title) {
            continue;
        }
        bool valid = false;
        {
            SyphonClient probe(server, device, {}, nullptr);
            valid = probe.isValid();
            probe.stop();
        }
        if (valid) {
            return SyphonSource::create(title, server, device);
        }
    }
    return nullptr;
}

}  // namespace zarvo
