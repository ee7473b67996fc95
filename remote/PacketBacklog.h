#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace zarvo {

// Bounds the OSC packets waiting for the main queue. Packets that arrive while `limit` are
// already waiting are dropped and counted; the count is logged once the main queue catches up,
// so that a flood costs a few log lines and no memory.
class PacketBacklog {
  public:
    static constexpr int64_t kDefaultLimit = 1024;

    explicit PacketBacklog(int64_t limit = kDefaultLimit) : limit_(limit) {}

    // On the reading thread: whether a packet may be queued; when not, it is counted as dropped.
    bool admit() {
        if (waiting_.fetch_add(1) >= limit_) {
            waiting_.fetch_sub(1);
            dropped_.fetch_add(1);
            return false;
        }
        return true;
    }

    // On the main queue, once an admitted packet has been handled: the number of packets
    // dropped since the last call that returned one, or 0.
    int64_t handled() {
        waiting_.fetch_sub(1);
        return dropped_.exchange(0);
    }

    static std::string droppedLine(int64_t dropped) {
        return "OSC: " + std::to_string(dropped) +
               " packets dropped: they came faster than the main thread could handle them";
    }

  private:
    const int64_t limit_;
    std::atomic<int64_t> waiting_{0};
    std::atomic<int64_t> dropped_{0};
};

}  // namespace zarvo
