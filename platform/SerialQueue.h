#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zarvo {

// A serial queue: one named thread that runs submitted tasks one at a time, in submission order.
// Destroying the queue runs the tasks already submitted, then joins the thread.
class SerialQueue {
  public:
    using Task = std::function<void()>;

    explicit SerialQueue(std::string name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Queues the task. Safe from any thread, including the queue's own.
    void async(Task task);

    // Runs the task on the queue and waits for it; on the queue's own thread it runs at once.
    void sync(const Task& task);

    // True on this queue's thread.
    bool isCurrent() const;

    const std::string& name() const { return name_; }

  private:
    // Shared with the thread, so that a queue released from one of its own tasks can let its
    // thread finish alone.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Task> tasks;  // guarded by mutex
        bool closing = false;    // guarded by mutex
    };
    static void loop(const std::shared_ptr<State>& state, const std::string& name);

    const std::string name_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace zarvo
