#pragma once

// A thread of a test's own that does one thing over and over, as a source's thread delivers
// frames, until stopped.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace zarvo::test {

// Calls the tick on a thread of its own, then waits the interval, until stopped or destroyed.
class Ticker {
  public:
    Ticker(std::function<void()> tick, std::chrono::milliseconds interval);
    ~Ticker();
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

    // Waits for the tick under way; no tick follows.
    void stop();

  private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

}  // namespace zarvo::test
