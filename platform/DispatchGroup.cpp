#include "platform/DispatchGroup.h"

#include <cassert>

namespace zarvo {

void DispatchGroup::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void DispatchGroup::leave() {
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard lock(mutex_);
        assert(count_ > 0 && "leave() without enter()");
        if (count_ == 0) {
            return;
        }
        if (--count_ == 0) {
            ready.swap(waiting_);
        }
    }
    for (auto& callback : ready) {
        callback();
    }
}

void DispatchGroup::notify(std::function<void()> callback) {
    {
        std::lock_guard lock(mutex_);
        if (count_ > 0) {
            waiting_.push_back(std::move(callback));
            return;
        }
    }
    callback();
}

bool DispatchGroup::isEmpty() const {
    std::lock_guard lock(mutex_);
    return count_ == 0;
}

}  // namespace zarvo
