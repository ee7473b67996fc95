#include "tests/mcp/LoopbackHelpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace zarvo::mcp::testing {

namespace {

int listenOn(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int freePortRun(int count) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        // Let the system pick the first port, then check the ones after it.
        const int probe = listenOn(0);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(probe);
        const int first = ntohs(address.sin_port);
        if (first + count > 65535) {
            continue;
        }
        std::vector<int> held;
        bool free = true;
        for (int i = 0; i < count && free; ++i) {
            const int fd = listenOn(first + i);
            free = fd >= 0;
            if (free) {
                held.push_back(fd);
            }
        }
        for (const int fd : held) {
            ::close(fd);
        }
        if (free) {
            return first;
        }
    }
    throw std::runtime_error("no run of free ports");
}

SilentPort::SilentPort(int port) : fd_(listenOn(port)) {}

SilentPort::~SilentPort() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

CannedHttpServer::CannedHttpServer(int port, std::string response)
    : fd_(listenOn(port)), response_(std::move(response)) {
    if (fd_ >= 0) {
        thread_ = std::thread([this] { serve(); });
    }
}

CannedHttpServer::~CannedHttpServer() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::string CannedHttpServer::ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void CannedHttpServer::serve() {
    while (!stopping_) {
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, 20) <= 0) {
            continue;
        }
        const int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) {
            continue;
        }
        // Reads the request up to its blank line, so the answer is not cut by a reset.
        std::string request;
        char buffer[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd readable{client, POLLIN, 0};
            if (::poll(&readable, 1, 1000) <= 0) {
                break;
            }
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            request.append(buffer, static_cast<size_t>(got));
        }
        ::send(client, response_.data(), response_.size(), MSG_NOSIGNAL);
        ::shutdown(client, SHUT_WR);
        ::close(client);
    }
}

}  // namespace zarvo::mcp::testing
