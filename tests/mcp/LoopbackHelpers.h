#pragma once

// Small loopback servers for the MCP tests: a port that accepts connections and never answers,
// and an HTTP server that gives every request the same answer.

#include <atomic>
#include <string>
#include <thread>

namespace zarvo::mcp::testing {

// The first of `count` consecutive TCP ports that were all free a moment ago.
int freePortRun(int count);

// Listens on a port without ever accepting: connections complete, requests get no answer.
class SilentPort {
  public:
    explicit SilentPort(int port);
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
    bool listening() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// Answers every connection with the same raw HTTP response, then closes it.
class CannedHttpServer {
  public:
    CannedHttpServer(int port, std::string response);
    ~CannedHttpServer();
    CannedHttpServer(const CannedHttpServer&) = delete;
    CannedHttpServer& operator=(const CannedHttpServer&) = delete;
    bool listening() const { return fd_ >= 0; }

    // A 200 response carrying `body` as JSON.
    static std::string ok(const std::string& body);

  private:
    void serve();

    int fd_ = -1;
    std::string response_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace zarvo::mcp::testing
