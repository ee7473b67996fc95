#include "platform/NotificationCenter.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace zarvo {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object,
                                                          Observer observer) {
    std::lock_guard lock(mutex_);
    const Token token = nextToken_++;
    entries_.push_back(
        Entry{token, std::move(name), object, std::make_shared<Registration>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::shared_ptr<Registration> registration;
    {
        std::lock_guard lock(mutex_);
        const auto found =
            std::find_if(entries_.begin(), entries_.end(),
                         [token](const Entry& entry) { return entry.token == token; });
        if (found == entries_.end()) {
            return;
        }
        registration = std::move(found->registration);
        entries_.erase(found);
    }
    // Calls under way on other threads end first. One under way on this thread (an observer
    // removing itself, or removed from a callback it is nested in) cannot be waited for; it
    // simply is not called again.
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(registration->mutex);
    registration->removed = true;
    registration->idle.wait(lock, [&] {
        return std::all_of(registration->callers.begin(), registration->callers.end(),
                           [self](std::thread::id caller) { return caller == self; });
    });
}

void NotificationCenter::post(const std::string& name, const void* object) {
    // Observers run without the lock, so they may add or remove observers and post again.
    std::vector<std::shared_ptr<Registration>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const Entry& entry : entries_) {
            if (entry.name == name && (entry.object == nullptr || entry.object == object)) {
                matching.push_back(entry.registration);
            }
        }
    }
    const Notification notification{name, object};
    const auto self = std::this_thread::get_id();
    for (const auto& registration : matching) {
        {
            std::lock_guard lock(registration->mutex);
            if (registration->removed) {
                continue;
            }
            registration->callers.push_back(self);
        }
        // Marks the call as over, also when the observer throws.
        struct CallEnd {
            Registration& registration;
            std::thread::id caller;
            ~CallEnd() {
                {
                    std::lock_guard lock(registration.mutex);
                    auto& callers = registration.callers;
                    callers.erase(std::find(callers.begin(), callers.end(), caller));
                }
                registration.idle.notify_all();
            }
        } callEnd{*registration, self};
        registration->observer(notification);
    }
}

ScopedObserver::ScopedObserver(NotificationCenter& center, std::string name, const void* object,
                               NotificationCenter::Observer observer)
    : center_(&center), token_(center.addObserver(std::move(name), object, std::move(observer))) {}

ScopedObserver::~ScopedObserver() {
    reset();
}

ScopedObserver::ScopedObserver(ScopedObserver&& other) noexcept
    : center_(std::exchange(other.center_, nullptr)), token_(std::exchange(other.token_, 0)) {}

ScopedObserver& ScopedObserver::operator=(ScopedObserver&& other) noexcept {
    if (this != &other) {
        reset();
        center_ = std::exchange(other.center_, nullptr);
        token_ = std::exchange(other.token_, 0);
    }
    return *this;
}

void ScopedObserver::reset() {
    if (center_ != nullptr) {
        center_->removeObserver(token_);
        center_ = nullptr;
        token_ = 0;
    }
}

}  // namespace zarvo
