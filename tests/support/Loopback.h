#pragma once

// Small clients for tests that talk to the recorder's network services over loopback.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "remote/OSCMessage.h"

namespace zarvo::test {

// One HTTP answer, split at the empty line.
struct HttpAnswer {
    int status = 0;
    std::string header;
    std::string body;
};

// A TCP connection to 127.0.0.1:port whose reads time out after `timeoutSeconds`; -1 when it is
// refused. The caller closes it.
int connectTo(long port, double timeoutSeconds = 10);

// An HTTP answer as received, split at its empty line; status 0 when it is not one.
HttpAnswer parseHttpAnswer(const std::string& raw);

// Sends the raw request to 127.0.0.1:port and reads until the server closes the connection;
// none when the connection is refused. Waits at most `timeoutSeconds` for each read.
std::optional<std::string> httpRoundTrip(long port, const std::string& request,
                                         double timeoutSeconds = 10);
// A GET of `target`, parsed; status 0 when nothing came back.
HttpAnswer httpGet(long port, const std::string& target);
// The body of a 200 answer to a GET, as JSON; none otherwise.
std::optional<nlohmann::json> httpGetJson(long port, const std::string& target);

// The bytes of an OSC bundle (time tag "immediately") holding the messages.
std::vector<uint8_t> OSCBundle(const std::vector<OSCMessage>& messages);

// Sends one datagram to 127.0.0.1:port.
void sendDatagram(long port, const std::vector<uint8_t>& bytes);

// The first of `count` consecutive ports free for both TCP and UDP, searched from a base that
// differs between test processes running side by side.
long freePortRange(long count);

// Holds a port so that nobody else can bind it, until destroyed. A TCP port listens without
// ever accepting: connections complete, requests get no answer.
class PortBlocker {
  public:
    enum class Kind { Tcp, Udp };
    PortBlocker(Kind kind, long port);
    ~PortBlocker();
    PortBlocker(const PortBlocker&) = delete;
    PortBlocker& operator=(const PortBlocker&) = delete;
    bool holds() const { return fd_ >= 0; }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// Answers every connection on a port with the same raw HTTP response, then closes it: another
// program's server, or a broken one.
class CannedHttpServer {
  public:
    CannedHttpServer(long port, std::string response);
    ~CannedHttpServer();
    CannedHttpServer(const CannedHttpServer&) = delete;
    CannedHttpServer& operator=(const CannedHttpServer&) = delete;
    bool listening() const { return blocker_.holds(); }

    // A 200 response carrying `body` as JSON.
    static std::string ok(const std::string& body);

  private:
    void serve();

    PortBlocker blocker_;
    std::string response_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace zarvo::test
