#include "platform/SerialQueue.h"

#include "platform/Thread.h"

namespace zarvo {

SerialQueue::SerialQueue(std::string name)
    : name_(std::move(name)), state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, name = name_] { loop(state, name); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
    }
    state_->wake.notify_one();
    if (isCurrent()) {
        // Released from one of its own tasks: a thread cannot join itself, so it runs the tasks
        // still queued and ends on its own.
        thread_.detach();
    } else {
        thread_.join();
    }
}

void SerialQueue::async(Task task) {
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
    }
    state_->wake.notify_one();
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    async([&] {
        task();
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == thread_.get_id();
}

void SerialQueue::loop(const std::shared_ptr<State>& state, const std::string& name) {
    setCurrentThreadName(name);
    for (;;) {
        Task task;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->closing || !state->tasks.empty(); });
            if (state->tasks.empty()) {
                return;
            }
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        task();
    }
}

}  // namespace zarvo
