#include "tests/support/WebSocketClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/Loopback.h"

namespace zarvo::test {
namespace {

using Clock = std::chrono::steady_clock;

bool sendAllBytes(int fd, const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t sent = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        at += static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

WebSocketClient::WebSocketClient(long port, const std::string& extraHeaders) {
    fd_ = connectTo(port);
    if (fd_ < 0)
        return;
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n" +
                                extraHeaders + "\r\n";
    if (!sendAllBytes(fd_, request))
        return;
    // The answer's header, then anything after it is the first frames.
    char buffer[4096];
    while (handshake_.find("\r\n\r\n") == std::string::npos) {
        const ssize_t received = ::recv(fd_, buffer, sizeof buffer, 0);
        if (received <= 0)
            return;
        handshake_.append(buffer, static_cast<size_t>(received));
    }
    const size_t end = handshake_.find("\r\n\r\n") + 4;
    const std::string rest = handshake_.substr(end);
    handshake_.resize(end);
    connected_ = handshake_.starts_with("HTTP/1.1 101 ");
    if (connected_ && !rest.empty())
        reader_.read(rest, events_);
}

WebSocketClient::~WebSocketClient() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool WebSocketClient::sendRaw(const std::string& bytes) {
    return sendAllBytes(fd_, bytes);
}

bool WebSocketClient::send(WebSocketOpcode opcode, const std::string& payload) {
    return sendRaw(webSocketFrame(opcode, payload, std::array<uint8_t, 4>{0x12, 0x34, 0x56, 0x78}));
}

bool WebSocketClient::sendCommand(const std::string& command, const std::string& path) {
    return send(WebSocketOpcode::text, nlohmann::json{{"COMMAND", command}, {"DATA", path}}.dump());
}

bool WebSocketClient::sendOSC(const OSCMessage& message) {
    const std::vector<uint8_t> packet = message.packet();
    return send(WebSocketOpcode::binary, std::string(packet.begin(), packet.end()));
}

std::optional<WebSocketEvent> WebSocketClient::next(double timeoutSeconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    while (events_.empty()) {
        if (closed_ || reader_.failed())
            return std::nullopt;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd readable{fd_, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[16384];
        const ssize_t received = ::recv(fd_, buffer, sizeof buffer, 0);
        if (received <= 0) {
            closed_ = true;
            continue;
        }
        reader_.read(std::string_view(buffer, static_cast<size_t>(received)), events_);
    }
    WebSocketEvent event = std::move(events_.front());
    events_.erase(events_.begin());
    return event;
}

std::optional<OSCMessage> WebSocketClient::nextOSC(double timeoutSeconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        const auto event = next(left);
        if (!event)
            return std::nullopt;
        if (event->opcode != WebSocketOpcode::binary)
            continue;
        auto messages = OSCMessage::messagesFromPacket(std::span<const uint8_t>(
            reinterpret_cast<const uint8_t*>(event->payload.data()), event->payload.size()));
        if (messages.size() == 1)
            return messages.front();
    }
}

std::optional<OSCMessage> WebSocketClient::waitFor(const std::string& address,
                                                   double timeoutSeconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        auto message = nextOSC(left);
        if (!message || message->address() == address)
            return message;
    }
}

bool WebSocketClient::closedWithin(double timeoutSeconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    while (Clock::now() < deadline) {
        pollfd readable{fd_, POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0)
            continue;
        char buffer[16384];
        const ssize_t received = ::recv(fd_, buffer, sizeof buffer, 0);
        if (received <= 0)
            return true;
    }
    return false;
}

}  // namespace zarvo::test
