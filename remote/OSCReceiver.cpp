#include "remote/OSCReceiver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <semaphore>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Log.h"

namespace zarvo {

namespace {

constexpr const char* kQueueLabel = "net.orvak.zarvo.osc-receiver";
constexpr size_t kMaxDatagram = 65535;
constexpr long kHighestPort = 65535;

std::string ErrorText(int code) {
    char buffer[256];
    // The GNU strerror_r, which may hand back a static string instead of filling the buffer.
    return strerror_r(code, buffer, sizeof buffer);
}

// The socket bound to `port` on every IPv4 interface, or -1 when the port is taken.
int BindSocket(int fd, long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

// The local port a bound socket holds, which differs from the one asked for only for port 0.
long BoundPort(int fd, long requested) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return requested;
    }
    return ntohs(address.sin_port);
}

}  // namespace

// Watches one socket for read readiness on a thread of its own and runs the event handler on the
// receiver's queue, one run at a time: the watching thread waits for a run to finish before it
// polls again. Readiness is level-triggered, so whatever a run leaves unread wakes the next one.
//
// The watch owns the socket. Cancelling ends the watching thread, which then queues the cancel
// handler behind any run already queued; the socket is therefore never closed under a read.
class OSCReceiver::Watch : public std::enable_shared_from_this<Watch> {
  public:
    using Callback = std::function<void()>;

    Watch(int fd, std::shared_ptr<SerialQueue> queue, Callback eventHandler, Callback cancelHandler)
        : fd_(fd),
          wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
          queue_(std::move(queue)),
          eventHandler_(std::move(eventHandler)),
          cancelHandler_(std::move(cancelHandler)) {}

    ~Watch() {
        if (wakeFd_ >= 0) {
            close(wakeFd_);
        }
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // False when the watch could not be set up; the socket is then still the caller's.
    bool valid() const { return wakeFd_ >= 0; }
    int fd() const { return fd_; }

    bool start() {
        try {
            std::thread([self = shared_from_this()] { self->watch(); }).detach();
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    // Ends the watch; `cancelHandler` replaces the one given at creation.
    void cancel(Callback cancelHandler) {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            cancelHandler_ = std::move(cancelHandler);
        }
        runDone_.notify_all();
        const uint64_t one = 1;
        ssize_t written;
        do {
            written = write(wakeFd_, &one, sizeof one);
        } while (written < 0 && errno == EINTR);
    }

  private:
    bool isCancelled() {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

    void watch() {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        while (!isCancelled()) {
            const int ready = poll(fds, 2, -1);
            if (ready < 0) {
                if (errno == EINTR || errno == ENOMEM || errno == EAGAIN) {
                    continue;
                }
                break;
            }
            if (fds[1].revents != 0) {
                break;
            }
            if (fds[0].revents == 0) {
                continue;
            }
            {
                std::lock_guard lock(mutex_);
                runPending_ = true;
            }
            queue_->async([self = shared_from_this()] { self->runEventHandler(); });
            std::unique_lock lock(mutex_);
            runDone_.wait(lock, [this] { return !runPending_ || cancelled_; });
        }
        queue_->async([self = shared_from_this()] { self->finish(); });
    }

    void runEventHandler() {
        if (!isCancelled()) {
            eventHandler_();
        }
        {
            std::lock_guard lock(mutex_);
            runPending_ = false;
        }
        runDone_.notify_all();
    }

    // On the queue, after every run queued before the watch ended.
    void finish() {
        Callback cancelHandler;
        {
            std::lock_guard lock(mutex_);
            cancelHandler = std::move(cancelHandler_);
        }
        // The event handler holds what the reading needs (the receiver's handler among it);
        // nothing runs it any more.
        eventHandler_ = nullptr;
        if (cancelHandler) {
            cancelHandler();
        }
    }

    const int fd_;
    const int wakeFd_;
    const std::shared_ptr<SerialQueue> queue_;
    Callback eventHandler_;  // used on the queue only

    std::mutex mutex_;
    std::condition_variable runDone_;
    Callback cancelHandler_;   // guarded by mutex_
    bool cancelled_ = false;   // guarded by mutex_
    bool runPending_ = false;  // guarded by mutex_
};

OSCReceiver::OSCReceiver(MainQueue& mainQueue)
    : mainQueue_(mainQueue), queue_(std::make_shared<SerialQueue>(kQueueLabel)) {}

OSCReceiver::~OSCReceiver() {
    stop();
}

bool OSCReceiver::startOnPort(long firstPort, Handler handler) {
    stop();
    std::lock_guard lock(lifecycle_);

    // 16 ports from the first, never past the last port there is. Negative ports are skipped
    // rather than wrapped into the valid range.
    const long end = std::min(firstPort, kHighestPort - kPortsTried + 1) + kPortsTried;
    int fd = -1;
    long bound = 0;
    for (long candidate = std::max(firstPort, 0L); candidate < end; ++candidate) {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            Log("OSC: socket() failed: " + ErrorText(errno));
            return false;
        }
        if (BindSocket(fd, candidate) == 0) {
            bound = BoundPort(fd, candidate);
            break;
        }
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        Log("OSC: no free UDP port from " + std::to_string(firstPort) + " to " +
            std::to_string(firstPort + kPortsTried - 1));
        return false;
    }

    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        // A blocking socket would hold the queue in recv; better not to run at all.
        Log("OSC: fcntl() failed: " + ErrorText(errno));
        close(fd);
        return false;
    }

    // Cleared by stop, so that datagrams read before it are not handed on after it.
    auto live = std::make_shared<std::atomic<bool>>(true);
    auto shared = std::make_shared<const Handler>(std::move(handler));
    MainQueue& mainQueue = mainQueue_;
    auto read = [fd, live, shared, &mainQueue] {
        std::vector<uint8_t> buffer(kMaxDatagram);
        for (;;) {
            const ssize_t length = recv(fd, buffer.data(), buffer.size(), 0);
            if (length <= 0) {
                return;
            }
            auto messages = OSCMessage::messagesFromPacket(
                std::span<const uint8_t>(buffer.data(), static_cast<size_t>(length)));
            if (messages.empty()) {
                continue;
            }
            mainQueue.post([live, shared, messages = std::move(messages)] {
                for (const OSCMessage& message : messages) {
                    if (!live->load()) {
                        return;
                    }
                    (*shared)(message);
                }
            });
        }
    };
    auto watch = std::make_shared<Watch>(fd, queue_, std::move(read), [fd, live] {
        live->store(false);
        close(fd);
    });
    if (!watch->valid() || !watch->start()) {
        Log("OSC: could not watch the socket");
        close(fd);
        return false;
    }
    watch_ = std::move(watch);
    liveFlag_ = std::move(live);
    port_.store(bound);
    return true;
}

void OSCReceiver::stop() {
    std::lock_guard lock(lifecycle_);
    if (!watch_) {
        return;
    }
    std::shared_ptr<Watch> watch = std::move(watch_);
    watch_.reset();
    port_.store(0);
    liveFlag_->store(false);
    liveFlag_.reset();

    auto closed = std::make_shared<std::binary_semaphore>(0);
    watch->cancel([fd = watch->fd(), closed] {
        close(fd);
        closed->release();
    });
    closed->try_acquire_for(std::chrono::seconds(1));
}

}  // namespace zarvo
