#include "remote/OSCQueryServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "remote/RemotePage.h"

namespace zarvo {
namespace {

constexpr size_t kReceiveChunk = 2048;
constexpr size_t kMaxRequestBytes = 16384;
constexpr int kSocketTimeoutSeconds = 5;

using Clock = std::chrono::steady_clock;

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
}

void setSocketOptions(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{};
    timeout.tv_sec = kSocketTimeoutSeconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool holdsWholeHeader(const std::string& buffer) {
    return buffer.find("\r\n\r\n") != std::string::npos;
}

// The request's bytes up to the end of its header (and any that followed in the same reads),
// or the first kMaxRequestBytes of them; none when the client leaves, or when the whole request
// has not arrived by the deadline, however steadily its bytes trickle in.
std::optional<std::string> receiveRequest(int fd) {
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(OSCQueryServer::kRequestDeadlineSeconds));
    std::string buffer;
    char chunk[kReceiveChunk];
    while (!holdsWholeHeader(buffer) && buffer.size() < kMaxRequestBytes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd readable{fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        const size_t wanted = std::min(kReceiveChunk, kMaxRequestBytes - buffer.size());
        const ssize_t received = ::recv(fd, chunk, wanted, 0);
        if (received <= 0)
            return std::nullopt;
        buffer.append(chunk, static_cast<size_t>(received));
    }
    return buffer;
}

}  // namespace

void OSCQueryServer::acceptLoop(int listenFd, int wakeFd) {
    bool backOff = false;
    for (;;) {
        // Out of descriptors, the pending connection stays readable: wait a little instead of
        // spinning on it.
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
        if (::poll(fds, backOff ? 1 : 2, backOff ? 50 : -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents != 0)
            return;
        if (backOff || fds[1].revents != 0)
            backOff = !acceptPending(listenFd);
    }
}

bool OSCQueryServer::acceptPending(int listenFd) {
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
        {
            // Past the cap a connection is closed at once: a flood of clients costs no thread.
            std::lock_guard lock(connectionsMutex_);
            if (activeConnections_ >= kMaxConnections) {
                ::close(fd);
                continue;
            }
            ++activeConnections_;
        }
        setSocketOptions(fd);
        try {
            std::thread([this, fd] {
                handleConnection(fd);
                ::close(fd);
                std::lock_guard lock(connectionsMutex_);
                if (--activeConnections_ == 0)
                    connectionsDone_.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            // No thread to serve it: drop the connection rather than stall the others.
            ::close(fd);
            std::lock_guard lock(connectionsMutex_);
            if (--activeConnections_ == 0)
                connectionsDone_.notify_all();
        }
    }
}

void OSCQueryServer::handleConnection(int fd) {
    const std::optional<std::string> request = receiveRequest(fd);
    if (!request)
        return;
    if (auto upgrade = webSocketUpgradeFor(*request)) {
        sendAll(fd, upgrade->answer);
        if (upgrade->accepted) {
            const size_t headerEnd = request->find("\r\n\r\n");
            serveWebSocket(fd, headerEnd == std::string::npos ? std::string()
                                                              : request->substr(headerEnd + 4));
        }
        return;
    }
    const OSCQueryRequest parsed = parseOSCQueryRequest(*request);
    if (parsed.refusal == 0)
        if (const auto file = remotePageFile(parsed.path)) {
            sendAll(fd, httpMessage(200, file->contentType, file->bytes, !parsed.isHead));
            return;
        }
    sendAll(fd, responseForRequest(*request));
}

}  // namespace zarvo
