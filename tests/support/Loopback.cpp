#include "tests/support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

namespace zarvo::test {
namespace {

sockaddr_in loopback(long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

bool canBind(int type, long port) {
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

}  // namespace

int connectTo(long port, double timeoutSeconds) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(timeoutSeconds);
    timeout.tv_usec = static_cast<suseconds_t>(std::fmod(timeoutSeconds, 1.0) * 1e6);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<std::string> httpRoundTrip(long port, const std::string& request,
                                         double timeoutSeconds) {
    const int fd = connectTo(port, timeoutSeconds);
    if (fd < 0) {
        return std::nullopt;
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[8192];
    for (;;) {
        const ssize_t received = ::recv(fd, buffer, sizeof buffer, 0);
        if (received <= 0) {
            break;
        }
        answer.append(buffer, static_cast<size_t>(received));
    }
    ::close(fd);
    return answer;
}

HttpAnswer parseHttpAnswer(const std::string& raw) {
    HttpAnswer answer;
    const size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos || raw.rfind("HTTP/1.1 ", 0) != 0) {
        return answer;
    }
    answer.header = raw.substr(0, end + 4);
    answer.body = raw.substr(end + 4);
    answer.status = std::stoi(raw.substr(9, 3));
    return answer;
}

HttpAnswer httpGet(long port, const std::string& target) {
    const auto raw = httpRoundTrip(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return raw ? parseHttpAnswer(*raw) : HttpAnswer{};
}

std::optional<nlohmann::json> httpGetJson(long port, const std::string& target) {
    const HttpAnswer answer = httpGet(port, target);
    if (answer.status != 200) {
        return std::nullopt;
    }
    auto value = nlohmann::json::parse(answer.body, nullptr, false);
    if (value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

std::vector<uint8_t> OSCBundle(const std::vector<OSCMessage>& messages) {
    std::vector<uint8_t> bytes = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (const auto& message : messages) {
        const std::vector<uint8_t> packet = message.packet();
        const auto size = static_cast<uint32_t>(packet.size());
        for (int shift : {24, 16, 8, 0}) {
            bytes.push_back(static_cast<uint8_t>(size >> shift));
        }
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    return bytes;
}

void sendDatagram(long port, const std::vector<uint8_t>& bytes) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return;
    }
    const sockaddr_in address = loopback(port);
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
             sizeof address);
    ::close(fd);
}

long freePortRange(long count) {
    // Below the ports the system hands to outgoing connections (32768 and up by default), so
    // that a client socket of another test cannot take one between this search and its use.
    const long base = 20000 + (getpid() % 300) * 40;
    for (long first = base; first + count < 61000; first += count) {
        bool free = true;
        for (long port = first; port < first + count && free; ++port) {
            free = canBind(SOCK_STREAM, port) && canBind(SOCK_DGRAM, port);
        }
        if (free) {
            return first;
        }
    }
    return 0;
}

PortBlocker::PortBlocker(Kind kind, long port) {
    fd_ = ::socket(AF_INET, kind == Kind::Tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd_ >= 0 &&
        (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
         (kind == Kind::Tcp && ::listen(fd_, 4) != 0))) {
        ::close(fd_);
        fd_ = -1;
    }
}

PortBlocker::~PortBlocker() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

CannedHttpServer::CannedHttpServer(long port, std::string response)
    : blocker_(PortBlocker::Kind::Tcp, port), response_(std::move(response)) {
    if (blocker_.holds()) {
        thread_ = std::thread([this] { serve(); });
    }
}

CannedHttpServer::~CannedHttpServer() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}
std::string CannedHttpServer::ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void CannedHttpServer::serve() {
    while (!stopping_) {
        pollfd waiting{blocker_.fd(), POLLIN, 0};
        if (::poll(&waiting, 1, 20) <= 0) {
            continue;
        }
        const int client = ::accept(blocker_.fd(), nullptr, nullptr);
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

}  // namespace zarvo::test
