#include "platform/framesharing/SyphonServer.h"

#include <errno.h>
#include <unistd.h>

#include <ctime>

#include "platform/Log.h"
#include "platform/framesharing/ServerRegistry.h"
#include "platform/framesharing/SharedFrames.h"

namespace zarvo {

namespace {

int64_t RealTimeNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

std::unique_ptr<SyphonServer> SyphonServer::create(Options options) {
    const auto folder = framesharing::registryFolder();
    if (folder.empty()) {
        logLine("Syphon: no registry folder; the server “" + options.name + "” is not published.");
        return nullptr;
    }
    framesharing::sweepAndListServers(folder);

    const std::string id = framesharing::newServerId();
    // The lock comes first and goes last: whatever else exists of a server exists under it.
    const int lockFd = framesharing::takeServerLock(folder, id);
    if (lockFd < 0) {
        logLine("Syphon: cannot make the lock of the server “" + options.name + "”.");
        return nullptr;
    }
    auto segment = framesharing::FrameSegment::create(framesharing::segmentName(id));
    if (!segment) {
        logLine("Syphon: cannot make shared memory for the server “" + options.name + "”.");
        framesharing::removeServerFiles(folder, id);
        ::close(lockFd);
        return nullptr;
    }
    if (options.appName.empty()) {
        options.appName = program_invocation_short_name;
    }
    SyphonServerDescription description = {
        {kSyphonServerDescriptionNameKey, options.name},
        {kSyphonServerDescriptionAppNameKey, options.appName},
        {kSyphonServerDescriptionUUIDKey, id},
        {kSyphonServerDescriptionProcessKey, static_cast<int64_t>(::getpid())},
        {kSyphonServerDescriptionStartKey, RealTimeNanoseconds()},
    };
    if (!framesharing::writeRecord(folder, id, description)) {
        logLine("Syphon: cannot write the record of the server “" + options.name + "”.");
        segment.reset();
        framesharing::removeServerFiles(folder, id);
        ::close(lockFd);
        return nullptr;
    }
    return std::unique_ptr<SyphonServer>(
        new SyphonServer(folder, id, lockFd, std::move(segment), std::move(description)));
}

SyphonServer::SyphonServer(std::filesystem::path folder, std::string id, int lockFd,
                           std::unique_ptr<framesharing::FrameSegment> segment,
                           SyphonServerDescription description)
    : folder_(std::move(folder)),
      id_(std::move(id)),
      lockFd_(lockFd),
      segment_(std::move(segment)),
      description_(std::move(description)) {}

SyphonServer::~SyphonServer() {
    stop();
}

std::string SyphonServer::name() const {
    std::lock_guard lock(mutex_);
    return syphonDescriptionString(description_, kSyphonServerDescriptionNameKey);
}

void SyphonServer::setName(std::string name) {
    std::lock_guard lock(mutex_);
    description_[kSyphonServerDescriptionNameKey] = std::move(name);
    if (lockFd_ >= 0 && !framesharing::writeRecord(folder_, id_, description_)) {
        logLine("Syphon: cannot write the record of the server “" +
                syphonDescriptionString(description_, kSyphonServerDescriptionNameKey) + "”.");
    }
}

SyphonServerDescription SyphonServer::serverDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

bool SyphonServer::publishFrameTexture(const gpu::Texture& texture, bool flipped) {
    return publishFrame(texture.bytes(), texture.width(), texture.height(), texture.bytesPerRow(),
                        flipped);
}

bool SyphonServer::publishFrame(const uint8_t* bytes, int64_t width, int64_t height,
                                int64_t bytesPerRow, bool flipped) {
    std::lock_guard lock(mutex_);
    if (!segment_ || segment_->publish(bytes, width, height, bytesPerRow, flipped) == 0) {
        return false;
    }
    ++frameCount_;
    return true;
}

uint64_t SyphonServer::frameCount() const {
    std::lock_guard lock(mutex_);
    return frameCount_;
}

void SyphonServer::stop() {
    std::lock_guard lock(mutex_);
    if (lockFd_ < 0) {
        return;
    }
    // Clients keep their mapping of the frames; removing the names only retires the server.
    segment_.reset();
    framesharing::removeServerFiles(folder_, id_);
    ::close(lockFd_);
    lockFd_ = -1;
}

}  // namespace zarvo
