#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zarvo {

// A synchronous broadcast by name: posting calls every matching observer on the posting thread
// before it returns.
class NotificationCenter {
  public:
    struct Notification {
        std::string name;
        const void* object = nullptr;
    };
    using Observer = std::function<void(const Notification&)>;
    using Token = uint64_t;

    // The process-wide centre.
    static NotificationCenter& defaultCenter();

    // Observes notifications of that name, from that object only, or from any object when
    // object is null. Returns the token that removes the observer.
    Token addObserver(std::string name, const void* object, Observer observer);

    // After this returns, the observer is never called again (also when removed from inside a
    // notification being delivered). A call under way on another thread is waited for, so the
    // caller must not hold anything that observer needs.
    void removeObserver(Token token);

    void post(const std::string& name, const void* object = nullptr);

  private:
    // An observer and the threads calling it now, so that its removal can wait for calls under
    // way elsewhere.
    struct Registration {
        explicit Registration(Observer observer_) : observer(std::move(observer_)) {}
        const Observer observer;
        std::mutex mutex;
        std::condition_variable idle;
        bool removed = false;                  // guarded by mutex
        std::vector<std::thread::id> callers;  // guarded by mutex
    };
    struct Entry {
        Token token;
        std::string name;
        const void* object;
        std::shared_ptr<Registration> registration;
    };

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_
    Token nextToken_ = 1;         // guarded by mutex_
};

// Removes its observer when destroyed.
class ScopedObserver {
  public:
    ScopedObserver() = default;
    ScopedObserver(NotificationCenter& center, std::string name, const void* object,
                   NotificationCenter::Observer observer);
    ~ScopedObserver();
    ScopedObserver(ScopedObserver&& other) noexcept;
    ScopedObserver& operator=(ScopedObserver&& other) noexcept;
    ScopedObserver(const ScopedObserver&) = delete;
    ScopedObserver& operator=(const ScopedObserver&) = delete;

    void reset();

  private:
    NotificationCenter* center_ = nullptr;
    NotificationCenter::Token token_ = 0;
};

}  // namespace zarvo
