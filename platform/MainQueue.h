#pragma once

#include <functional>
#include <memory>

namespace zarvo {

// A repeating timer scheduled on a main queue. It fires until invalidated; destroying the handle
// invalidates it.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

// The main thread's queue of work: the controller, the model, timers and remote command handling
// run on it. The engine ships its own run loop (RunLoop); the desktop application adapts this
// interface to its toolkit's event loop.
class MainQueue {
  public:
    using Task = std::function<void()>;

    virtual ~MainQueue() = default;

    // Runs the task on the main thread, after the tasks posted before it. Safe from any thread.
    virtual void post(Task task) = 0;

    // Runs the task on the main thread once the delay in seconds has passed. Safe from any thread.
    virtual void postAfter(double delaySeconds, Task task) = 0;

    // Runs the task on the main thread every interval seconds until the timer is invalidated.
    virtual std::unique_ptr<Timer> scheduleRepeating(double intervalSeconds, Task task) = 0;

    // True on the thread that runs this queue's tasks.
    virtual bool isMainThread() const = 0;
};

}  // namespace zarvo
