#include "App/QtMainQueue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <utility>

namespace zarvo {
namespace {

// A task carried through the event queue. Events posted to an object are delivered in the
// order they were posted, on the object's thread.
class TaskEvent final : public QEvent {
  public:
    static QEvent::Type type() {
        static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
        return registered;
    }
    explicit TaskEvent(MainQueue::Task work) : QEvent(type()), task(std::move(work)) {}
    MainQueue::Task task;
};

class TaskReceiver final : public QObject {
  protected:
    bool event(QEvent* event) override {
        if (event->type() == TaskEvent::type()) {
            auto task = std::move(static_cast<TaskEvent*>(event)->task);
            if (task) {
                task();
            }
            return true;
        }
        return QObject::event(event);
    }
};

std::chrono::milliseconds milliseconds(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) {
        return std::chrono::milliseconds(0);
    }
    return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)));
}

// A repeating timer owned by its handle; the toolkit's timer lives on the main thread, so the
// handle is destroyed there too (the controller's timers are).
class QtTimer final : public Timer {
  public:
    QtTimer(QObject* context, double intervalSeconds, MainQueue::Task task)
        : timer_(new QTimer(context)) {
        timer_->setTimerType(Qt::PreciseTimer);
        timer_->setInterval(milliseconds(intervalSeconds));
        QObject::connect(timer_, &QTimer::timeout, timer_, std::move(task));
        timer_->start();
    }
    ~QtTimer() override { invalidate(); }

    void invalidate() override {
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
            timer_ = nullptr;
        }
    }
    bool isValid() const override { return timer_ && timer_->isActive(); }

  private:
    QPointer<QTimer> timer_;
};

}  // namespace

QtMainQueue::QtMainQueue()
    : owner_(std::this_thread::get_id()), context_(std::make_unique<TaskReceiver>()) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(Task task) {
    // postEvent is safe from any thread and takes ownership of the event.
    QCoreApplication::postEvent(context_.get(), new TaskEvent(std::move(task)));
}

void QtMainQueue::postAfter(double delaySeconds, Task task) {
    if (delaySeconds <= 0) {
        post(std::move(task));
        return;
    }
    if (!isMainThread()) {
        // Timers belong to the main thread: start this one from there.
        post([this, delaySeconds, task = std::move(task)]() mutable {
            postAfter(delaySeconds, std::move(task));
        });
        return;
    }
    QTimer::singleShot(milliseconds(delaySeconds), Qt::PreciseTimer, context_.get(),
                       std::move(task));
}

std::unique_ptr<Timer> QtMainQueue::scheduleRepeating(double intervalSeconds, Task task) {
    // The engine schedules its repeating timers on the main thread.
    return std::make_unique<QtTimer>(context_.get(), intervalSeconds, std::move(task));
}

bool QtMainQueue::isMainThread() const {
    return std::this_thread::get_id() == owner_;
}

}  // namespace zarvo
