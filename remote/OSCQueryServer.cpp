#include "remote/OSCQueryServer.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/Log.h"
#include "platform/Text.h"

namespace zarvo {
namespace {

constexpr const char* kServiceType = "_oscjson._tcp";

void logBindFailure(const BoundPort& listening, long firstPort) {
    if (listening.socketError != 0) {
        logLine("OSCQuery: socket() failed: " + systemErrorText(listening.socketError));
        return;
    }
    logLine("OSCQuery: could not bind a TCP port starting at " + std::to_string(firstPort));
}

}  // namespace

// ---- Starting and stopping ----

OSCQueryServer::OSCQueryServer(MainQueue& mainQueue)
    : mainQueue_(mainQueue), root_(std::make_unique<OSCQueryNode>()) {}

OSCQueryServer::~OSCQueryServer() {
    {
        std::lock_guard lock(lifeline_->mutex);
        lifeline_->alive = false;
    }
    // Withdrawn here rather than on the main queue, which may not run again before it ends.
    std::shared_ptr<ServicePublisher> netService;
    {
        std::lock_guard lifecycle(lifecycle_);
        netService = stopLocked();
    }
    if (netService)
        netService->stop();
    std::unique_lock lock(connectionsMutex_);
    connectionsDone_.wait(lock, [this] { return activeConnections_ == 0; });
}

OSCQueryServer& OSCQueryServer::shared(MainQueue& mainQueue) {
    static auto* const server = new OSCQueryServer(mainQueue);
    return *server;
}

long OSCQueryServer::httpPort() const {
    std::lock_guard lock(stateMutex_);
    return httpPort_;
}

bool OSCQueryServer::isRunning() const {
    std::lock_guard lock(stateMutex_);
    return running_;
}

bool OSCQueryServer::startOnPort(long firstPort) {
    std::unique_lock lifecycle(lifecycle_);
    withdrawLater(stopLocked());

    const BoundPort listening =
        bindFirstFreePort(PortSocket::listening, firstPort, LowPorts::refused);
    if (!listening.bound()) {
        logBindFailure(listening, firstPort);
        return false;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd < 0) {
        logLine("OSCQuery: could not create the listening watch: " + systemErrorText(errno));
        ::close(listening.fd);
        return false;
    }
    beginAccepting(listening, wakeFd);
    lifecycle.unlock();
    logLine("OSCQuery server started on TCP port " + std::to_string(listening.port) +
            " (namespace of OSC port " + std::to_string(oscPort()) + ")");
    publishBonjour();
    return true;
}

void OSCQueryServer::beginAccepting(const BoundPort& listening, int wakeFd) {
    const int listenFd = listening.fd;
    ::fcntl(listenFd, F_SETFL, ::fcntl(listenFd, F_GETFL) | O_NONBLOCK);
    std::lock_guard lock(stateMutex_);
    listenFd_ = listenFd;
    wakeFd_ = wakeFd;
    httpPort_ = listening.port;
    running_ = true;
    acceptThread_ = std::thread([this, listenFd, wakeFd] { acceptLoop(listenFd, wakeFd); });
}

void OSCQueryServer::stop() {
    std::lock_guard lifecycle(lifecycle_);
    withdrawLater(stopLocked());
}

void OSCQueryServer::withdrawLater(std::shared_ptr<ServicePublisher> netService) {
    // The publisher withdraws the service when stopped; it needs nothing of the server for that.
    if (netService)
        mainQueue_.post([netService = std::move(netService)] { netService->stop(); });
}

std::shared_ptr<ServicePublisher> OSCQueryServer::stopLocked() {
    std::thread acceptThread;
    int listenFd = -1;
    int wakeFd = -1;
    std::shared_ptr<ServicePublisher> netService;
    {
        std::lock_guard lock(stateMutex_);
        netService = std::move(netService_);
        acceptThread = std::move(acceptThread_);
        listenFd = std::exchange(listenFd_, -1);
        wakeFd = std::exchange(wakeFd_, -1);
        httpPort_ = 0;
        running_ = false;
    }
    if (wakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
    }
    if (acceptThread.joinable())
        acceptThread.join();
    endWebSockets();
    if (listenFd >= 0)
        ::close(listenFd);
    if (wakeFd >= 0)
        ::close(wakeFd);
    return netService;
}

// ---- Announcing ----

void OSCQueryServer::onMainQueue(std::function<void()> task) {
    mainQueue_.post([lifeline = lifeline_, task = std::move(task)] {
        std::lock_guard lock(lifeline->mutex);
        if (lifeline->alive)
            task();
    });
}

void OSCQueryServer::publishBonjour() {
    announce(serverName().value_or(kDefaultServiceName), httpPort(), true);
}

void OSCQueryServer::publishBonjourWithName(const std::string& name) {
    announce(name, httpPort(), false);
}

void OSCQueryServer::announce(const std::string& name, long port, bool firstAttempt) {
    onMainQueue([this, name, port, firstAttempt] {
        if (firstAttempt)
            collisionRetried_ = false;
        auto publisher = std::make_shared<ServicePublisher>(
            mainQueue_, name, kServiceType, static_cast<uint16_t>(port),
            [this, lifeline = lifeline_](const ServicePublisher::Outcome& outcome) {
                std::lock_guard lock(lifeline->mutex);
                if (lifeline->alive)
                    publicationEnded(outcome);
            });
        std::shared_ptr<ServicePublisher> previous;
        {
            // A server stopped or restarted in the meantime is not announced under this port.
            std::lock_guard lock(stateMutex_);
            if (!running_ || httpPort_ != port)
                return;
            previous = std::exchange(netService_, publisher);
        }
        if (previous)
            previous->stop();
        publisher->start();
        logLine("OSCQuery service published for Bonjour as \"" + name + "\" (_oscjson._tcp. port " +
                std::to_string(port) + ")");
    });
}

void OSCQueryServer::publicationEnded(const ServicePublisher::Outcome& outcome) {
    {
        // Only the current announcement is heard; one replaced or withdrawn has no say.
        std::lock_guard lock(stateMutex_);
        if (!netService_ || netService_->name() != outcome.name ||
            netService_->port() != outcome.port)
            return;
    }
    if (outcome.published) {
        logLine("OSCQuery: Bonjour publication confirmed as \"" + outcome.name +
                "\" (_oscjson._tcp. port " + std::to_string(outcome.port) + ")");
        return;
    }
    if (outcome.isCollision && !collisionRetried_) {
        collisionRetried_ = true;
        const std::string name = serverName().value_or(kDefaultServiceName);
        const std::string retryName = name + " " + std::to_string(httpPort());
        logLine("OSCQuery: nom Bonjour « " + name + " » déjà pris sur cette machine — nouvelle " +
                "tentative sous « " + retryName + " »");
        publishBonjourWithName(retryName);
        return;
    }
    logLine("OSCQuery: Bonjour publication failed: " + outcome.errorText + " (Avahi error " +
            std::to_string(outcome.errorCode) + ")");
}

}  // namespace zarvo
