#include "tests/support/FakeSources.h"

#include <algorithm>

namespace zarvo::test {

void FakeFrameSource::stop() {
    stopped_ = true;
    ++stopCount_;
}

FrameHandler FakeFrameSource::frameHandler() const {
    std::lock_guard lock(mutex_);
    return frameHandler_;
}

void FakeFrameSource::setFrameHandler(FrameHandler handler) {
    std::lock_guard lock(mutex_);
    frameHandler_ = std::move(handler);
}

SoundHandler FakeFrameSource::soundHandler() const {
    std::lock_guard lock(mutex_);
    return soundHandler_;
}

void FakeFrameSource::setSoundHandler(SoundHandler handler) {
    std::lock_guard lock(mutex_);
    soundHandler_ = std::move(handler);
}

bool FakeFrameSource::deliverFrame(const gpu::TextureRef& texture) {
    const FrameHandler handler = frameHandler();
    if (stopped_ || !handler) {
        return false;
    }
    handler(texture);
    return true;
}

bool FakeFrameSource::deliverSound(const std::shared_ptr<const SourceSound>& sound) {
    const SoundHandler handler = soundHandler();
    if (stopped_ || !handler) {
        return false;
    }
    hasSound_ = true;
    handler(sound);
    return true;
}

void FakeDirectory::setTitles(const std::vector<std::string>& titles, bool fire) {
    ChangeHandler handler;
    {
        std::lock_guard lock(mutex_);
        titles_ = titles;
        handler = handler_;
    }
    if (fire && handler) {
        handler();
    }
}

void FakeDirectory::setUnreachable(const std::vector<std::string>& titles) {
    std::lock_guard lock(mutex_);
    unreachable_ = titles;
}

std::vector<SourceDescription> FakeDirectory::availableSources() {
    ++listCalls_;
    std::lock_guard lock(mutex_);
    std::vector<SourceDescription> list;
    for (const auto& title : titles_) {
        list.emplace_back(title, kind_ == FrameSourceKind::NDI ? "NDI" : "Fake", kind_);
    }
    return list;
}

std::shared_ptr<FrameSource> FakeDirectory::connectToSourceWithTitle(const std::string& title,
                                                                     const gpu::DeviceRef&) {
    std::lock_guard lock(mutex_);
    requests_.push_back(title);
    if (std::find(titles_.begin(), titles_.end(), title) == titles_.end() ||
        std::find(unreachable_.begin(), unreachable_.end(), title) != unreachable_.end()) {
        return nullptr;
    }
    auto source = std::make_shared<FakeFrameSource>(title, kind_, kind_ == FrameSourceKind::Syphon);
    last_[title] = source;
    return source;
}

ChangeHandler FakeDirectory::changeHandler() const {
    std::lock_guard lock(mutex_);
    return handler_;
}

void FakeDirectory::setChangeHandler(ChangeHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<std::string> FakeDirectory::connectRequests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::shared_ptr<FakeFrameSource> FakeDirectory::lastSource(const std::string& title) const {
    std::lock_guard lock(mutex_);
    const auto found = last_.find(title);
    return found == last_.end() ? nullptr : found->second;
}

bool FakeSoundSource::start() {
    running_ = true;
    return true;
}

void FakeSoundSource::stop() {
    running_ = false;
    ++stopCount_;
}

SoundHandler FakeSoundSource::soundHandler() const {
    std::lock_guard lock(mutex_);
    return handler_;
}

void FakeSoundSource::setSoundHandler(SoundHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

}  // namespace zarvo::test
