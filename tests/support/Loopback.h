#pragma once

// Small clients for tests that talk to the recorder's network services over loopback.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zarvo::test {

// One HTTP answer, split at the empty line.
struct HttpAnswer {
    int status = 0;
    std::string header;
    std::string body;
};

// Sends the raw request to 127.0.0.1:port and reads until the server closes the connection;
// none when the connection is refused. Waits at most `timeoutSeconds` for each read.
std::optional<std::string> HttpRoundTrip(long port, const std::string& request,
                                         double timeoutSeconds = 10);
// A GET of `target`, parsed; status 0 when nothing came back.
HttpAnswer HttpGet(long port, const std::string& target);
// The body of a 200 answer to a GET, as JSON; none otherwise.
std::optional<nlohmann::json> HttpGetJson(long port, const std::string& target);

// Sends one datagram to 127.0.0.1:port.
void SendDatagram(long port, const std::vector<uint8_t>& bytes);

// The first of `count` consecutive ports free for both TCP and UDP, searched from a base that
// differs between test processes running side by side.
long FreePortRange(long count);

// Holds a port so that nobody else can bind it, until destroyed.
class PortBlocker {
  public:
    enum class Kind { Tcp, Udp };
    PortBlocker(Kind kind, long port);
    ~PortBlocker();
    PortBlocker(const PortBlocker&) = delete;
    PortBlocker& operator=(const PortBlocker&) = delete;
    bool holds() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace zarvo::test
