#include "remote/PortBinding.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace zarvo {
namespace {

constexpr long kHighestPort = 65535;
constexpr int kListenBacklog = 16;

// The ports a search tries, from `first` up to, not including, `end`.
struct PortRun {
    long first = 0;
    long end = 0;
};

PortRun portRun(long firstPort, LowPorts lowPorts) {
    if (lowPorts == LowPorts::refused && firstPort < 1) {
        return {};
    }
    // Written so that a first port near the largest long cannot overflow.
    const long end =
        std::min(firstPort, kHighestPort - kPortsTriedFromFirst + 1) + kPortsTriedFromFirst;
    return {std::max(firstPort, 0L), end};
}

bool bindToPort(int fd, long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// The local port a bound socket holds, which differs from the one asked for only for port 0.
long portHeld(int fd, long requested) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return requested;
    }
    return ntohs(address.sin_port);
}

// Makes a fresh socket the port's: bound, and listening for a TCP one.
bool claimPort(int fd, PortSocket kind, long port) {
    if (kind == PortSocket::listening) {
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (!bindToPort(fd, port)) {
        return false;
    }
    return kind != PortSocket::listening || ::listen(fd, kListenBacklog) == 0;
}

int socketType(PortSocket kind) {
    return kind == PortSocket::datagram ? SOCK_DGRAM : SOCK_STREAM;
}

}  // namespace

BoundPort bindFirstFreePort(PortSocket kind, long firstPort, LowPorts lowPorts) {
    const PortRun run = portRun(firstPort, lowPorts);
    for (long candidate = run.first; candidate < run.end; ++candidate) {
        const int fd = ::socket(AF_INET, socketType(kind) | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return {.socketError = errno};
        }
        if (claimPort(fd, kind, candidate)) {
            return {.fd = fd, .port = portHeld(fd, candidate)};
        }
        ::close(fd);
    }
    return {};
}

}  // namespace zarvo
