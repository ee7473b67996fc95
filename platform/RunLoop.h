#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/MainQueue.h"

namespace zarvo {

// The engine's own main run loop, for the headless program and for tests. The thread that
// creates it is its main thread and the only one that may run it.
class RunLoop final : public MainQueue {
  public:
    RunLoop();
    ~RunLoop() override;
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    void post(Task task) override;
    void postAfter(double delaySeconds, Task task) override;
    std::unique_ptr<Timer> scheduleRepeating(double intervalSeconds, Task task) override;
    bool isMainThread() const override;

    // Runs tasks until stop() is called.
    void run();
    // Makes run() return after the task it is running. Safe from any thread.
    void stop();

    // Runs tasks until the condition holds (checked before and after every task, and every few
    // milliseconds while waiting) or the time-out in seconds passes; returns whether the
    // condition held.
    bool runUntil(const std::function<bool()>& condition, double timeoutSeconds);

    // Runs tasks for the given number of seconds.
    void runFor(double seconds);

    // Runs every task that is due now, without waiting; returns how many ran.
    size_t drain();

  private:
    struct TimerState;
    class TimerHandle;
    struct Scheduled {
        Task task;
        std::shared_ptr<TimerState> timer;  // set for repeating timers
    };

    // Waits at most until the deadline (host clock seconds) for a task, runs it, and returns
    // whether one ran. Inside run(), a stop request also ends the wait. Delayed tasks and timers
    // due after dueBy are left waiting.
    bool runOne(double deadline, bool honourStop,
                double dueBy = std::numeric_limits<double>::infinity());
    void schedule(double when, Scheduled entry);

    const std::thread::id owner_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> ready_;                                         // guarded by mutex_
    std::multimap<std::pair<double, uint64_t>, Scheduled> delayed_;  // guarded by mutex_
    uint64_t sequence_ = 0;                                          // guarded by mutex_
    bool stopRequested_ = false;                                     // guarded by mutex_
};

}  // namespace zarvo
