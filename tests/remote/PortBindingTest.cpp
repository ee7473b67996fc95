#include "remote/PortBinding.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/support/Loopback.h"

namespace zarvo {
namespace {

using test::PortBlocker;

// Closes what a search bound, so that each step gives its port back.
struct Bound {
    explicit Bound(BoundPort bound) : port(bound) {}
    ~Bound() {
        if (port.bound())
            ::close(port.fd);
    }
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
    BoundPort port;
};

// The two callers: the OSC receiver binds UDP and lets the system choose port 0, the OSCQuery
// server listens on TCP and refuses ports below 1.
struct Caller {
    const char* name;
    PortSocket socket;
    PortBlocker::Kind blocker;
    LowPorts lowPorts;
};
constexpr Caller kCallers[] = {
    {"receiver", PortSocket::datagram, PortBlocker::Kind::Udp, LowPorts::systemChooses},
    {"server", PortSocket::listening, PortBlocker::Kind::Tcp, LowPorts::refused},
};

Bound search(const Caller& caller, long firstPort) {
    return Bound(bindFirstFreePort(caller.socket, firstPort, caller.lowPorts));
}

int socketOption(int fd, int option) {
    int value = 0;
    socklen_t length = sizeof value;
    ::getsockopt(fd, SOL_SOCKET, option, &value, &length);
    return value;
}

bool canHold(PortBlocker::Kind kind, long port) {
    return PortBlocker(kind, port).holds();
}

TEST(PortBinding, TakenPortsMoveTheSearchOnToTheLastOfTheRun) {
    for (const Caller& caller : kCallers) {
        SCOPED_TRACE(caller.name);
        const long first = test::freePortRange(kPortsTriedFromFirst + 1);
        ASSERT_NE(first, 0);
        {
            // A free first port is the one bound, with a socket of the caller's kind that does
            // not leak into child processes.
            const Bound free = search(caller, first);
            ASSERT_TRUE(free.port.bound());
            EXPECT_EQ(free.port.port, first);
            const bool listening = caller.socket == PortSocket::listening;
            EXPECT_EQ(socketOption(free.port.fd, SO_TYPE), listening ? SOCK_STREAM : SOCK_DGRAM);
            EXPECT_EQ(socketOption(free.port.fd, SO_ACCEPTCONN), listening ? 1 : 0);
            EXPECT_NE(::fcntl(free.port.fd, F_GETFD) & FD_CLOEXEC, 0);
        }
        // Taking the ports one after the other moves the search on, up to the 16th; with all 16
        // taken nothing is bound, though the 17th is free.
        std::vector<std::unique_ptr<PortBlocker>> held;
        for (long port = first; port < first + kPortsTriedFromFirst; ++port) {
            held.push_back(std::make_unique<PortBlocker>(caller.blocker, port));
            ASSERT_TRUE(held.back()->holds()) << port;
            const Bound next = search(caller, first);
            if (port + 1 < first + kPortsTriedFromFirst) {
                EXPECT_EQ(next.port.port, port + 1);
            } else {
                EXPECT_FALSE(next.port.bound());
                EXPECT_EQ(next.port.socketError, 0) << "taken ports are no socket failure";
            }
        }
    }
}

TEST(PortBinding, TheRunStopsAtTheLastPortThereIs) {
    for (const Caller& caller : kCallers) {
        SCOPED_TRACE(caller.name);
        if (!canHold(caller.blocker, 65535))
            GTEST_SKIP() << "port 65535 is in use on this machine";
        const PortBlocker below(caller.blocker, 65534);
        ASSERT_TRUE(below.holds());
        EXPECT_EQ(search(caller, 65534).port.port, 65535);
        const PortBlocker last(caller.blocker, 65535);
        EXPECT_FALSE(search(caller, 65534).port.bound()) << "the run never wraps round";
        EXPECT_FALSE(search(caller, 65536).port.bound());
    }
}

TEST(PortBinding, FirstPortsBelowOneFollowTheCallersRule) {
    const Caller& receiver = kCallers[0];
    const Caller& server = kCallers[1];
    for (long first : {0L, -5L}) {
        SCOPED_TRACE(first);
        // The receiver's run is cut to start at 0, which leaves the choice to the system; the
        // port reported is the one chosen.
        const Bound chosen = search(receiver, first);
        ASSERT_TRUE(chosen.port.bound());
        EXPECT_GT(chosen.port.port, 0);
        EXPECT_FALSE(canHold(receiver.blocker, chosen.port.port));
        // The server's binds nothing, not even the ports from 1 its run would reach.
        EXPECT_FALSE(search(server, first).port.bound());
    }
    // A run that ends before port 0 holds nothing to try.
    EXPECT_FALSE(search(receiver, -kPortsTriedFromFirst).port.bound());
}

}  // namespace
}  // namespace zarvo
