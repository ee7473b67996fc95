#include "platform/RunLoop.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/HostClock.h"

namespace zarvo {

namespace {
constexpr double kConditionPollInterval = 0.002;
}  // namespace

struct RunLoop::TimerState {
    std::atomic<bool> valid{true};
    double interval = 0;
    Task task;
};

class RunLoop::TimerHandle final : public Timer {
  public:
    explicit TimerHandle(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
    ~TimerHandle() override { invalidate(); }
    void invalidate() override { state_->valid = false; }
    bool isValid() const override { return state_->valid; }

  private:
    std::shared_ptr<TimerState> state_;
};

RunLoop::RunLoop() : owner_(std::this_thread::get_id()) {}

RunLoop::~RunLoop() = default;

void RunLoop::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void RunLoop::postAfter(double delaySeconds, Task task) {
    if (!(delaySeconds > 0)) {
        post(std::move(task));
        return;
    }
    schedule(hostTime() + delaySeconds, Scheduled{std::move(task), nullptr});
}

std::unique_ptr<Timer> RunLoop::scheduleRepeating(double intervalSeconds, Task task) {
    auto state = std::make_shared<TimerState>();
    // A timer must leave the loop time to run other work; a non-positive interval would spin.
    state->interval = std::isfinite(intervalSeconds) ? std::max(intervalSeconds, 0.0001) : 1e9;
    state->task = std::move(task);
    schedule(hostTime() + state->interval, Scheduled{nullptr, state});
    return std::make_unique<TimerHandle>(std::move(state));
}

void RunLoop::schedule(double when, Scheduled entry) {
    {
        std::lock_guard lock(mutex_);
        delayed_.emplace(std::make_pair(when, sequence_++), std::move(entry));
    }
    wake_.notify_one();
}

bool RunLoop::isMainThread() const {
    return std::this_thread::get_id() == owner_;
}

bool RunLoop::runOne(double deadline, bool honourStop, double dueBy) {
    Task task;
    std::shared_ptr<TimerState> timer;
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            const double now = hostTime();
            // Due timers and delayed tasks join the ready queue in time order.
            while (!delayed_.empty() && delayed_.begin()->first.first <= std::min(now, dueBy)) {
                auto node = delayed_.extract(delayed_.begin());
                if (node.mapped().timer) {
                    auto& state = node.mapped().timer;
                    if (!state->valid) {
                        continue;
                    }
                    // The next firing keeps the rhythm but never piles up missed ticks.
                    const double next = std::max(node.key().first + state->interval, now);
                    delayed_.emplace(std::make_pair(next, sequence_++), Scheduled{nullptr, state});
                    ready_.push_back([state] {
                        if (state->valid) {
                            state->task();
                        }
                    });
                } else {
                    ready_.push_back(std::move(node.mapped().task));
                }
            }
            if (!ready_.empty()) {
                task = std::move(ready_.front());
                ready_.pop_front();
                break;
            }
            if ((honourStop && stopRequested_) || now >= deadline) {
                return false;
            }
            double wakeAt = deadline;
            if (!delayed_.empty()) {
                wakeAt = std::min(wakeAt, delayed_.begin()->first.first);
            }
            const double wait = std::min(wakeAt - now, 3600.0);
            wake_.wait_for(lock, std::chrono::duration<double>(std::max(wait, 0.0)));
        }
    }
    task();
    return true;
}

void RunLoop::run() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = false;
    }
    for (;;) {
        runOne(hostTime() + 3600.0, true);
        std::lock_guard lock(mutex_);
        if (stopRequested_) {
            stopRequested_ = false;
            return;
        }
    }
}

void RunLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
}

bool RunLoop::runUntil(const std::function<bool()>& condition, double timeoutSeconds) {
    const double deadline = hostTime() + timeoutSeconds;
    while (!condition()) {
        const double now = hostTime();
        if (now >= deadline) {
            return false;
        }
        // The condition may be changed by other threads without posting anything, so it is
        // looked at again at least every few milliseconds.
        runOne(std::min(deadline, now + kConditionPollInterval), false);
    }
    return true;
}

void RunLoop::runFor(double seconds) {
    const double deadline = hostTime() + seconds;
    while (hostTime() < deadline) {
        runOne(deadline, false);
    }
}

size_t RunLoop::drain() {
    // Only what is due as draining starts: a timer that comes due again meanwhile (its task
    // outlasting its interval) would otherwise keep drain running for ever.
    const double start = hostTime();
    size_t count = 0;
    while (runOne(0.0, false, start)) {
        ++count;
    }
    return count;
}

}  // namespace zarvo
