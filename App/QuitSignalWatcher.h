#pragma once

// SIGTERM and SIGINT, taken on a thread of their own and turned into calls.

#include <functional>
#include <memory>
#include <thread>

namespace zarvo::app {

// Waits for SIGTERM and SIGINT on a thread of its own (through a signalfd, never inside a
// signal handler) and hands each one to the handler on that thread. Both signals must be
// blocked in every thread: call blockQuitSignals() first thing in main, before any thread
// exists, so that every later thread inherits the mask.
class QuitSignalWatcher {
  public:
    using Handler = std::function<void(int signal)>;

    static void blockQuitSignals();

    // nullptr when the signal descriptor cannot be made.
    static std::unique_ptr<QuitSignalWatcher> create(Handler handler);
    // Stops and joins the thread.
    ~QuitSignalWatcher();
    QuitSignalWatcher(const QuitSignalWatcher&) = delete;
    QuitSignalWatcher& operator=(const QuitSignalWatcher&) = delete;

  private:
    QuitSignalWatcher(int signalFd, int wakeFd, Handler handler);
    void watch();

    const int signalFd_;
    const int wakeFd_;
    const Handler handler_;
    std::thread thread_;
};

}  // namespace zarvo::app
