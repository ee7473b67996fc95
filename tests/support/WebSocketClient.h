#pragma once

// A small WebSocket client for tests and measurements: it opens the handshake on a loopback
// port, sends masked frames and reads the server's frames with the project's own reader.

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "remote/OSCMessage.h"
#include "remote/WebSocketFrames.h"

namespace zarvo::test {

class WebSocketClient {
  public:
    // Connects to 127.0.0.1:port and sends the upgrade request, with `extraHeaders` (each line
    // ended by CR LF) added; connected() tells whether the server switched protocols, and
    // handshakeAnswer() holds what it answered.
    explicit WebSocketClient(long port, const std::string& extraHeaders = "");
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    bool connected() const { return connected_; }
    const std::string& handshakeAnswer() const { return handshake_; }
    int fd() const { return fd_; }

    // Sends the frame's bytes as they are, or one frame masked as a client must.
    bool sendRaw(const std::string& bytes);
    bool send(WebSocketOpcode opcode, const std::string& payload);
    bool sendCommand(const std::string& command, const std::string& path);
    bool sendOSC(const OSCMessage& message);

    // The next message or control frame from the server, waiting at most `timeoutSeconds`; none
    // on time-out, on a refused frame or once the server has closed the connection.
    std::optional<WebSocketEvent> next(double timeoutSeconds = 5);
    // The next OSC message the server sends, skipping other frames.
    std::optional<OSCMessage> nextOSC(double timeoutSeconds = 5);
    // Reads OSC messages until one has the address, for at most `timeoutSeconds`.
    std::optional<OSCMessage> waitFor(const std::string& address, double timeoutSeconds = 5);
    // Whether the server closed the connection (or reset it) within `timeoutSeconds`.
    bool closedWithin(double timeoutSeconds);

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string handshake_;
    WebSocketReader reader_{false};
    std::vector<WebSocketEvent> events_;
};

}  // namespace zarvo::test
