#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace zarvo {

// Counts work in flight and runs callbacks once all of it is done, without blocking a thread.
// Safe from any thread.
class DispatchGroup {
  public:
    void enter();
    // Ends one piece of work; when none is left, the waiting callbacks run on this thread.
    void leave();
    // Runs the callback once the group is empty: at once (on this thread) when it already is,
    // else on the thread of the last leave().
    void notify(std::function<void()> callback);
    bool isEmpty() const;

  private:
    mutable std::mutex mutex_;
    uint64_t count_ = 0;                          // guarded by mutex_
    std::vector<std::function<void()>> waiting_;  // guarded by mutex_
};

}  // namespace zarvo
