#include "remote/WebSocketFrames.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "platform/Text.h"

namespace zarvo {
namespace {

constexpr std::string_view kHandshakeGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr size_t kMaxControlPayload = 125;

bool isKnownOpcode(uint8_t opcode) {
    return opcode <= 0x2 || (opcode >= 0x8 && opcode <= 0xA);
}

bool isControl(WebSocketOpcode opcode) {
    return (static_cast<uint8_t>(opcode) & 0x8) != 0;
}

}  // namespace

std::string webSocketAcceptKey(std::string_view clientKey) {
    const std::string joined = std::string(clientKey) + std::string(kHandshakeGuid);
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(joined.data()), joined.size(), digest);
    unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
    const int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<size_t>(length));
}

std::string webSocketFrame(WebSocketOpcode opcode, std::string_view payload,
                           const std::optional<std::array<uint8_t, 4>>& mask) {
    std::string frame;
    frame.reserve(payload.size() + 14);
    frame.push_back(static_cast<char>(0x80 | static_cast<uint8_t>(opcode)));
    const uint8_t maskBit = mask ? 0x80 : 0x00;
    const uint64_t size = payload.size();
    if (size < 126) {
        frame.push_back(static_cast<char>(maskBit | size));
    } else if (size <= 0xFFFF) {
        frame.push_back(static_cast<char>(maskBit | 126));
        frame.push_back(static_cast<char>(size >> 8));
        frame.push_back(static_cast<char>(size & 0xFF));
    } else {
        frame.push_back(static_cast<char>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(static_cast<char>((size >> shift) & 0xFF));
    }
    if (!mask) {
        frame.append(payload);
        return frame;
    }
    frame.append(reinterpret_cast<const char*>(mask->data()), mask->size());
    for (size_t i = 0; i < payload.size(); ++i)
        frame.push_back(static_cast<char>(payload[i] ^ (*mask)[i % 4]));
    return frame;
}

std::string webSocketClosePayload(uint16_t code, std::string_view reason) {
    std::string payload;
    payload.push_back(static_cast<char>(code >> 8));
    payload.push_back(static_cast<char>(code & 0xFF));
    reason = reason.substr(0, kMaxControlPayload - 2);
    // Never cut a character in two.
    while (!reason.empty() && !isValidUtf8(reason))
        reason.remove_suffix(1);
    payload.append(reason);
    return payload;
}

WebSocketReader::WebSocketReader(bool peerMasks, size_t maxMessage)
    : peerMasks_(peerMasks), maxMessage_(maxMessage) {}

long WebSocketReader::fail(uint16_t code, std::string reason) {
    failureCode_ = code;
    failureReason_ = std::move(reason);
    buffer_.clear();
    message_.clear();
    return -1;
}

bool WebSocketReader::read(std::string_view bytes, std::vector<WebSocketEvent>& events) {
    if (failed())
        return false;
    buffer_.append(bytes);
    for (;;) {
        const long used = readFrame(events);
        if (used < 0)
            return false;
        if (used == 0)
            return true;
        buffer_.erase(0, static_cast<size_t>(used));
    }
}

long WebSocketReader::readFrame(std::vector<WebSocketEvent>& events) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer_.data());
    const size_t available = buffer_.size();
    if (available < 2)
        return 0;
    const bool fin = (bytes[0] & 0x80) != 0;
    if ((bytes[0] & 0x70) != 0)
        return fail(kWebSocketCloseProtocolError, "reserved bits set");
    const uint8_t opcodeBits = bytes[0] & 0x0F;
    if (!isKnownOpcode(opcodeBits))
        return fail(kWebSocketCloseProtocolError, "unknown opcode");
    const auto opcode = static_cast<WebSocketOpcode>(opcodeBits);
    const bool masked = (bytes[1] & 0x80) != 0;
    if (masked != peerMasks_)
        return fail(kWebSocketCloseProtocolError, masked ? "masked frame" : "unmasked frame");

    uint64_t length = bytes[1] & 0x7F;
    size_t header = 2;
    if (length == 126) {
        if (available < 4)
            return 0;
        length = (uint64_t{bytes[2]} << 8) | bytes[3];
        if (length < 126)
            return fail(kWebSocketCloseProtocolError, "length not in its shortest form");
        header = 4;
    } else if (length == 127) {
        if (available < 10)
            return 0;
        length = 0;
        for (size_t i = 2; i < 10; ++i)
            length = (length << 8) | bytes[i];
        if ((length >> 63) != 0 || length <= 0xFFFF)
            return fail(kWebSocketCloseProtocolError, "length not in its shortest form");
        header = 10;
    }
    if (isControl(opcode)) {
        if (!fin)
            return fail(kWebSocketCloseProtocolError, "fragmented control frame");
        if (length > kMaxControlPayload)
            return fail(kWebSocketCloseProtocolError, "control frame too long");
    } else {
        // Refused before its bytes arrive, so that a flood of one frame is never held.
        const size_t sofar = opcode == WebSocketOpcode::continuation ? message_.size() : 0;
        if (length > maxMessage_ || sofar + length > maxMessage_)
            return fail(kWebSocketCloseTooBig, "message too big");
        if (opcode == WebSocketOpcode::continuation && !inMessage_)
            return fail(kWebSocketCloseProtocolError, "continuation without a message");
        if (opcode != WebSocketOpcode::continuation && inMessage_)
            return fail(kWebSocketCloseProtocolError, "message begun before the last one ended");
    }
    const size_t maskSize = masked ? 4 : 0;
    const size_t total = header + maskSize + static_cast<size_t>(length);
    if (available < total)
        return 0;

    std::string payload(buffer_, header + maskSize, static_cast<size_t>(length));
    if (masked) {
        const uint8_t* mask = bytes + header;
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<char>(static_cast<uint8_t>(payload[i]) ^ mask[i % 4]);
    }

    if (isControl(opcode)) {
        WebSocketEvent event{opcode, {}, std::nullopt};
        if (opcode == WebSocketOpcode::close && !payload.empty()) {
            if (payload.size() < 2)
                return fail(kWebSocketCloseProtocolError, "close frame of one byte");
            event.closeCode = static_cast<uint16_t>((static_cast<uint8_t>(payload[0]) << 8) |
                                                    static_cast<uint8_t>(payload[1]));
            if (!isValidUtf8(std::string_view(payload).substr(2)))
                return fail(kWebSocketCloseInvalidData, "close reason not UTF-8");
        }
        event.payload = std::move(payload);
        events.push_back(std::move(event));
        return static_cast<long>(total);
    }

    if (opcode != WebSocketOpcode::continuation) {
        inMessage_ = true;
        messageOpcode_ = opcode;
        message_.clear();
    }
    message_.append(payload);
    if (fin) {
        inMessage_ = false;
        if (messageOpcode_ == WebSocketOpcode::text && !isValidUtf8(message_))
            return fail(kWebSocketCloseInvalidData, "text message not UTF-8");
        events.push_back({messageOpcode_, std::move(message_), std::nullopt});
        message_.clear();
    }
    return static_cast<long>(total);
}

}  // namespace zarvo
