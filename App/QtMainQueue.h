#pragma once

#include <QObject>

#include <memory>
#include <thread>

#include "platform/MainQueue.h"

namespace zarvo {

// The engine's main queue on the toolkit's event loop: every task posted from any thread, every
// delayed task and every repeating timer runs on the thread of the application object, between
// the window's own events. Made on that thread after the application object, destroyed before
// it.
class QtMainQueue final : public MainQueue {
  public:
    QtMainQueue();
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void post(Task task) override;
    void postAfter(double delaySeconds, Task task) override;
    std::unique_ptr<Timer> scheduleRepeating(double intervalSeconds, Task task) override;
    bool isMainThread() const override;

  private:
    const std::thread::id owner_;
    // Receives the posted tasks; tasks still queued when the queue goes are dropped with it.
    std::unique_ptr<QObject> context_;
};

}  // namespace zarvo
