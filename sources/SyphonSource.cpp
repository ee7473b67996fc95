#include "sources/SyphonSource.h"

#include "platform/framesharing/SyphonClient.h"

namespace zarvo {

std::shared_ptr<SyphonSource> SyphonSource::create(std::string title,
                                                   SyphonServerDescription serverDescription,
                                                   gpu::DeviceRef device) {
    std::shared_ptr<SyphonSource> source(
        new SyphonSource(std::move(title), std::move(serverDescription), std::move(device)));
    std::weak_ptr<SyphonSource> weakSource = source;
    source->client_ =
        std::make_unique<SyphonClient>(source->serverDescription_, source->device_,
                                       SyphonClient::Options{}, [weakSource](SyphonClient& client) {
                                           if (const auto self = weakSource.lock()) {
                                               self->newFrame(client);
                                           }
                                       });
    return source;
}

void SyphonSource::newFrame(SyphonClient& client) {
    FrameHandler handler;
    FrameNoticeHandler notice;
    {
        std::lock_guard lock(lock_);
        handler = handler_;
        notice = notice_;
    }
    // Nothing is copied while nobody wants pictures.
    if (handler && picturesWanted_.load()) {
        if (const auto texture = client.newFrameImage()) {
            handler(texture);
        }
    } else if (notice) {
        if (const auto size = client.newFrameSize()) {
            notice(size->width, size->height);
        }
    }
}

SyphonSource::SyphonSource(std::string title, SyphonServerDescription serverDescription,
                           gpu::DeviceRef device)
    : title_(std::move(title)),
      serverDescription_(std::move(serverDescription)),
      device_(std::move(device)) {}

SyphonSource::~SyphonSource() {
    stop();
}

void SyphonSource::stop() {
    if (client_) {
        client_->stop();
        client_.reset();
    }
}

FrameHandler SyphonSource::frameHandler() const {
    std::lock_guard lock(lock_);
    return handler_;
}

void SyphonSource::setFrameHandler(FrameHandler handler) {
    std::lock_guard lock(lock_);
    handler_ = std::move(handler);
}

void SyphonSource::setPicturesWanted(bool wanted) {
    picturesWanted_.store(wanted);
}

void SyphonSource::setFrameNoticeHandler(FrameNoticeHandler handler) {
    std::lock_guard lock(lock_);
    notice_ = std::move(handler);
}

uint64_t SyphonSource::framesReceived() const {
    return client_ ? client_->framesReceived() : 0;
}

uint64_t SyphonSource::framesSkipped() const {
    return client_ ? client_->framesSkipped() : 0;
}

bool SyphonSource::isAlive() const {
    if (!client_) {
        return false;
    }
    SyphonClient probe(serverDescription_, device_, {}, nullptr);
    const bool valid = probe.isValid();
    probe.stop();
    return valid;
}

}  // namespace zarvo
