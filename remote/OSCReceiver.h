#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/MainQueue.h"
#include "platform/SerialQueue.h"
#include "remote/OSCMessage.h"
#include "remote/PortBinding.h"

namespace zarvo {

// Listens for OSC packets over UDP on one port of every IPv4 interface and hands each decoded
// message to a handler on the main queue.
//
// Reading and decoding run on the receiver's own serial queue, one datagram after the other. Each
// datagram that holds messages becomes one main-queue task that calls the handler for all of its
// messages, in order; datagrams are handled in arrival order. Datagrams that are not valid OSC are
// dropped without a word.
//
// When the requested port is taken, the ports that follow it are tried, 16 ports in all.
class OSCReceiver {
  public:
    using Handler = std::function<void(const OSCMessage&)>;

    // How many ports a start tries, beginning with the requested one.
    static constexpr long kPortsTried = kPortsTriedFromFirst;

    // A stopped receiver. Handlers will be posted to `mainQueue`, which must outlive the
    // receiver and any task it posted.
    explicit OSCReceiver(MainQueue& mainQueue);
    ~OSCReceiver();
    OSCReceiver(const OSCReceiver&) = delete;
    OSCReceiver& operator=(const OSCReceiver&) = delete;

    // Stops any previous run, then binds the first free port from `firstPort` on and starts
    // reading. Returns whether a port was bound. Ports outside 0...65535 are never tried; port 0
    // lets the system choose, and port() then reports the port it chose.
    bool startOnPort(long firstPort, Handler handler);

    // Stops reading and closes the socket; port() is 0 afterwards. Once stop has begun the handler
    // is not called again, even for datagrams already read. Waits at most one second for the
    // socket to be closed. Safe from any thread; does nothing when stopped.
    void stop();

    // The UDP port bound, or 0 when stopped.
    long port() const { return port_.load(); }

  private:
    class Watch;

    MainQueue& mainQueue_;
    const std::shared_ptr<SerialQueue> queue_;
    std::mutex lifecycle_;          // serialises starts and stops
    std::shared_ptr<Watch> watch_;  // guarded by lifecycle_; present while running
    // Whether the current run may still call its handler; guarded by lifecycle_.
    std::shared_ptr<std::atomic<bool>> liveFlag_;
    std::atomic<long> port_{0};
};

}  // namespace zarvo
