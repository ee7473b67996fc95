#pragma once

// The framing of RFC 6455 WebSockets, without sockets: the handshake's accept key, the bytes of
// one frame, and a reader that turns the bytes a peer sends into whole messages and control
// frames, refusing anything malformed. Small and pure, so that it can be fuzzed on its own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

enum class WebSocketOpcode : uint8_t {
    continuation = 0x0,
    text = 0x1,
    binary = 0x2,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
};

// Close codes used when the reader refuses a peer.
inline constexpr uint16_t kWebSocketCloseNormal = 1000;
inline constexpr uint16_t kWebSocketCloseProtocolError = 1002;
inline constexpr uint16_t kWebSocketCloseInvalidData = 1007;
inline constexpr uint16_t kWebSocketCloseTooBig = 1009;

// One whole message (a text or binary message, reassembled from its fragments) or one control
// frame, as the reader delivers it.
struct WebSocketEvent {
    WebSocketOpcode opcode = WebSocketOpcode::text;
    std::string payload;
    // For close: the code the peer gave, or none when its frame held none.
    std::optional<uint16_t> closeCode;
};

// The Sec-WebSocket-Accept value answering a client's Sec-WebSocket-Key.
std::string webSocketAcceptKey(std::string_view clientKey);

// The bytes of one unfragmented frame. A server sends without a mask; a client must give one.
std::string webSocketFrame(WebSocketOpcode opcode, std::string_view payload,
                           const std::optional<std::array<uint8_t, 4>>& mask = std::nullopt);

// The payload of a close frame: the code, then the reason (cut to fit a control frame).
std::string webSocketClosePayload(uint16_t code, std::string_view reason);

// Reads the frames of one direction of a connection, as bytes arrive in any pieces.
//
// Refused, and the reader stays failed: a frame whose mask is not as expected (clients must
// mask, servers must not), reserved bits set, an unknown opcode, a control frame that is
// fragmented or longer than 125 bytes, a continuation with no message begun or a new message
// before the last one ended, a length in a longer form than needed or with its top bit set, a
// frame or a reassembled message longer than the limit, a text message that is not UTF-8, and a
// close frame whose payload is one byte or whose reason is not UTF-8.
class WebSocketReader {
  public:
    static constexpr size_t kDefaultMaxMessage = 64 * 1024;

    explicit WebSocketReader(bool peerMasks = true, size_t maxMessage = kDefaultMaxMessage);

    // Reads the bytes and appends what they complete to `events`. False once the peer has sent
    // something refused; failureCode() and failureReason() then say what.
    bool read(std::string_view bytes, std::vector<WebSocketEvent>& events);

    bool failed() const { return failureCode_ != 0; }
    uint16_t failureCode() const { return failureCode_; }
    const std::string& failureReason() const { return failureReason_; }
    // Bytes held for a frame not yet complete.
    size_t pendingBytes() const { return buffer_.size(); }

  private:
    // Reads one frame from the front of the buffer: its size when it was whole, 0 when more
    // bytes are needed, and -1 when it was refused.
    long readFrame(std::vector<WebSocketEvent>& events);
    long fail(uint16_t code, std::string reason);

    const bool peerMasks_;
    const size_t maxMessage_;
    std::string buffer_;
    bool inMessage_ = false;
    WebSocketOpcode messageOpcode_ = WebSocketOpcode::text;
    std::string message_;
    uint16_t failureCode_ = 0;
    std::string failureReason_;
};

}  // namespace zarvo
