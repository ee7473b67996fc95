#include "tests/support/Ticker.h"

namespace zarvo::test {

Ticker::Ticker(std::function<void()> tick, std::chrono::milliseconds interval)
    : thread_([this, tick = std::move(tick), interval] {
          while (running_) {
              tick();
              std::this_thread::sleep_for(interval);
          }
      }) {}

Ticker::~Ticker() {
    stop();
}

void Ticker::stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace zarvo::test
