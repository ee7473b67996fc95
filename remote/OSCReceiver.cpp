#include "remote/OSCReceiver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <semaphore>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Log.h"
#include "platform/Text.h"
#include "remote/PacketBacklog.h"
#include "remote/PortBinding.h"

namespace zarvo {

namespace {

constexpr const char* kQueueLabel = "net.orvak.zarvo.osc-receiver";
constexpr size_t kMaxDatagram = 65535;

void logBindFailure(const BoundPort& socket, long firstPort) {
    if (socket.socketError != 0) {
        logLine("OSC: socket() failed: " + systemErrorText(socket.socketError));
        return;
    }
    logLine("OSC: no free UDP port from " + std::to_string(firstPort) + " to " +
            std::to_string(firstPort + kPortsTriedFromFirst - 1));
}

bool makeNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Reads every datagram waiting on the socket and posts the messages of each to the main queue,
// one task a datagram, for as long as `live` holds.
std::function<void()> datagramReader(int fd, std::shared_ptr<std::atomic<bool>> live,
                                     std::shared_ptr<const OSCReceiver::Handler> shared,
                                     MainQueue& mainQueue) {
    auto backlog = std::make_shared<PacketBacklog>();
    return [fd, live = std::move(live), shared = std::move(shared), &mainQueue, backlog] {
        std::vector<uint8_t> buffer(kMaxDatagram);
        for (;;) {
            const ssize_t length = recv(fd, buffer.data(), buffer.size(), 0);
            if (length <= 0) {
                return;
            }
            auto messages = OSCMessage::messagesFromPacket(
                std::span<const uint8_t>(buffer.data(), static_cast<size_t>(length)));
            if (messages.empty() || !backlog->admit()) {
                continue;
            }
            mainQueue.post([live, shared, backlog, messages = std::move(messages)] {
                if (const int64_t dropped = backlog->handled()) {
                    logLine(PacketBacklog::droppedLine(dropped));
                }
                for (const OSCMessage& message : messages) {
                    if (!live->load()) {
                        return;
                    }
                    (*shared)(message);
                }
            });
        }
    };
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

    const BoundPort socket =
        bindFirstFreePort(PortSocket::datagram, firstPort, LowPorts::systemChooses);
    if (!socket.bound()) {
        logBindFailure(socket, firstPort);
        return false;
    }
    const int fd = socket.fd;
    if (!makeNonBlocking(fd)) {
        // A blocking socket would hold the queue in recv; better not to run at all.
        logLine("OSC: fcntl() failed: " + systemErrorText(errno));
        close(fd);
        return false;
    }

    // Cleared by stop, so that datagrams read before it are not handed on after it.
    auto live = std::make_shared<std::atomic<bool>>(true);
    auto shared = std::make_shared<const Handler>(std::move(handler));
    auto read = datagramReader(fd, live, std::move(shared), mainQueue_);
    auto watch = std::make_shared<Watch>(fd, queue_, std::move(read), [fd, live] {
        live->store(false);
        close(fd);
    });
    if (!watch->valid() || !watch->start()) {
        logLine("OSC: could not watch the socket");
        close(fd);
        return false;
    }
    watch_ = std::move(watch);
    liveFlag_ = std::move(live);
    port_.store(socket.port);
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
