#pragma once

// The port search shared by the OSC receiver (UDP) and the OSCQuery server (TCP): when the port
// asked for is taken, by another copy of the application or by some other program, the ports
// that follow it are tried, so that a start still succeeds nearby.

namespace zarvo {

// How many ports a start tries, beginning with the requested one.
inline constexpr long kPortsTriedFromFirst = 16;

// The kind of socket a search binds.
enum class PortSocket {
    datagram,   // UDP, bound
    listening,  // TCP, bound with SO_REUSEADDR and listening
};

// What a first port below 1 means to the caller.
enum class LowPorts {
    // Port 0 leaves the choice to the system, and a run that starts below 0 is cut to start at
    // 0. The OSC receiver's: it reports the port it got, and tests start it on 0 for any free
    // port.
    systemChooses,
    // A run that starts below port 1 binds nothing. The OSCQuery server's: its clients search
    // the ports from the configured one, where a port the system picked would never be found.
    refused,
};

// What a search bound: the socket and its port, or fd -1. `socketError` is the errno of a socket
// that could not even be made, which ends the search; 0 when every port tried was taken.
struct BoundPort {
    int fd = -1;
    long port = 0;
    int socketError = 0;

    bool bound() const { return fd >= 0; }
};

// Binds the first free port of the run from `firstPort` on every IPv4 interface: at most
// kPortsTriedFromFirst ports, never one past 65535. The socket is close-on-exec, blocking, and
// the caller's to close.
BoundPort bindFirstFreePort(PortSocket kind, long firstPort, LowPorts lowPorts);

}  // namespace zarvo
