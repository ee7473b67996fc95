#include "remote/OSCQueryServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace zarvo {
namespace {

constexpr size_t kReceiveChunk = 2048;
constexpr size_t kMaxRequestBytes = 16384;
constexpr int kSocketTimeoutSeconds = 5;

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

// The request's bytes up to the end of its header, or the first kMaxRequestBytes of them; none
// when the client leaves or stays silent past the receive time-out first.
std::optional<std::string> receiveRequest(int fd) {
    std::string buffer;
    char chunk[kReceiveChunk];
    while (!holdsWholeHeader(buffer) && buffer.size() < kMaxRequestBytes) {
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
        setSocketOptions(fd);
        {
            std::lock_guard lock(connectionsMutex_);
            ++activeConnections_;
        }
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
    if (const std::optional<std::string> request = receiveRequest(fd))
        sendAll(fd, responseForRequest(*request));
}

}  // namespace zarvo
