// The WebSocket framing codec and the upgrade handshake, without sockets.

#include "remote/WebSocketFrames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remote/OSCQueryHttp.h"

namespace zarvo {
namespace {

constexpr std::array<uint8_t, 4> kMask{0x37, 0xfa, 0x21, 0x3d};

std::vector<WebSocketEvent> readAll(WebSocketReader& reader, const std::string& bytes) {
    std::vector<WebSocketEvent> events;
    reader.read(bytes, events);
    return events;
}

TEST(WebSocketFramesTest, AcceptKeyIsTheOneOfTheProtocolsExample) {
    EXPECT_EQ(webSocketAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketFramesTest, FramesOfEverySizeReadBackWholeInAnyPieces) {
    // The three length forms, each at its edges; masked from a client, bare from a server.
    for (const size_t size :
         {size_t{0}, size_t{1}, size_t{125}, size_t{126}, size_t{65535}, size_t{65536}}) {
        std::string payload(size, '\0');
        for (size_t i = 0; i < size; ++i)
            payload[i] = static_cast<char>(i * 7);
        for (const bool masked : {true, false}) {
            const std::string frame = webSocketFrame(WebSocketOpcode::binary, payload,
                                                     masked ? std::optional(kMask) : std::nullopt);
            WebSocketReader reader(masked, 65536);
            std::vector<WebSocketEvent> events;
            // Byte by byte for small frames, in uneven pieces for large ones.
            const size_t piece = size < 200 ? 1 : 997;
            for (size_t at = 0; at < frame.size(); at += piece)
                ASSERT_TRUE(reader.read(std::string_view(frame).substr(at, piece), events));
            ASSERT_EQ(events.size(), 1u) << size;
            EXPECT_EQ(events[0].opcode, WebSocketOpcode::binary);
            EXPECT_EQ(events[0].payload, payload);
            EXPECT_EQ(reader.pendingBytes(), 0u);
        }
    }
    // The example frames of the protocol: "Hello" bare and masked.
    WebSocketReader server(true);
    const auto masked =
        readAll(server, std::string("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11));
    ASSERT_EQ(masked.size(), 1u);
    EXPECT_EQ(masked[0].payload, "Hello");
    EXPECT_EQ(webSocketFrame(WebSocketOpcode::text, "Hello"), std::string("\x81\x05Hello", 7));
}

TEST(WebSocketFramesTest, FragmentsAreReassembledAroundControlFrames) {
    WebSocketReader reader;
    const auto part = [](uint8_t first, const std::string& payload) {
        std::string frame = webSocketFrame(WebSocketOpcode::text, payload, kMask);
        frame[0] = static_cast<char>(first);
        return frame;
    };
    const std::string bytes = part(0x01, "LIS") +
                              webSocketFrame(WebSocketOpcode::ping, "p", kMask) + part(0x00, "TE") +
                              part(0x80, "N");
    const auto events = readAll(reader, bytes);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].opcode, WebSocketOpcode::ping);
    EXPECT_EQ(events[0].payload, "p");
    EXPECT_EQ(events[1].opcode, WebSocketOpcode::text);
    EXPECT_EQ(events[1].payload, "LISTEN");

    // A close frame gives its code.
    const auto closing = readAll(
        reader, webSocketFrame(WebSocketOpcode::close, webSocketClosePayload(1001, "bye"), kMask));
    ASSERT_EQ(closing.size(), 1u);
    EXPECT_EQ(closing[0].closeCode, 1001);
}

TEST(WebSocketFramesTest, MalformedFramesAreRefusedForGood) {
    struct Case {
        const char* what;
        std::string bytes;
        uint16_t code;
    };
    std::string unmasked = webSocketFrame(WebSocketOpcode::text, "hi");
    std::string reserved = webSocketFrame(WebSocketOpcode::text, "hi", kMask);
    reserved[0] = static_cast<char>(reserved[0] | 0x40);
    std::string unknown = webSocketFrame(WebSocketOpcode::text, "hi", kMask);
    unknown[0] = static_cast<char>(0x83);
    std::string fragmentedPing = webSocketFrame(WebSocketOpcode::ping, "", kMask);
    fragmentedPing[0] = static_cast<char>(0x09);
    std::string longForm = webSocketFrame(WebSocketOpcode::binary, std::string(200, 'x'), kMask);
    longForm[1] = static_cast<char>(0x80 | 127);  // 64-bit length form for 200 bytes: refused
    longForm.insert(2, std::string("\0\0\0\0\0\0", 6));
    std::string firstPart = webSocketFrame(WebSocketOpcode::text, "a", kMask);
    firstPart[0] = 0x01;
    const std::vector<Case> cases = {
        {"unmasked client frame", unmasked, kWebSocketCloseProtocolError},
        {"reserved bits", reserved, kWebSocketCloseProtocolError},
        {"unknown opcode", unknown, kWebSocketCloseProtocolError},
        {"fragmented control frame", fragmentedPing, kWebSocketCloseProtocolError},
        {"control frame too long",
         webSocketFrame(WebSocketOpcode::ping, std::string(126, 'x'), kMask),
         kWebSocketCloseProtocolError},
        {"length in a longer form", longForm, kWebSocketCloseProtocolError},
        {"continuation alone", std::string("\x80\x80\0\0\0\0", 6), kWebSocketCloseProtocolError},
        {"message inside a message", firstPart + firstPart, kWebSocketCloseProtocolError},
        {"oversize frame, refused from its header alone",
         webSocketFrame(WebSocketOpcode::binary, std::string(65537, 'x'), kMask).substr(0, 14),
         kWebSocketCloseTooBig},
        {"fragments over the limit together",
         firstPart.substr(0, 0) +
             [&] {
                 std::string a =
                     webSocketFrame(WebSocketOpcode::binary, std::string(40000, 'x'), kMask);
                 a[0] = 0x02;
                 std::string b =
                     webSocketFrame(WebSocketOpcode::binary, std::string(40000, 'y'), kMask);
                 b[0] = static_cast<char>(0x80);
                 return a + b;
             }(),
         kWebSocketCloseTooBig},
        {"text not UTF-8", webSocketFrame(WebSocketOpcode::text, "\xff\xfe", kMask),
         kWebSocketCloseInvalidData},
        {"close of one byte", webSocketFrame(WebSocketOpcode::close, "x", kMask),
         kWebSocketCloseProtocolError},
    };
    for (const Case& c : cases) {
        WebSocketReader reader;
        std::vector<WebSocketEvent> events;
        EXPECT_FALSE(reader.read(c.bytes, events)) << c.what;
        EXPECT_EQ(reader.failureCode(), c.code) << c.what;
        EXPECT_FALSE(reader.failureReason().empty()) << c.what;
        // Once refused, nothing more is read.
        EXPECT_FALSE(reader.read(webSocketFrame(WebSocketOpcode::text, "ok", kMask), events))
            << c.what;
        EXPECT_EQ(reader.pendingBytes(), 0u) << c.what;
    }
}

std::string upgradeRequest(const std::string& extra) {
    return "GET /anything HTTP/1.1\r\nHost: 192.168.1.20:9231\r\nUpgrade: WebSocket\r\n"
           "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
           extra + "\r\n";
}

TEST(WebSocketFramesTest, UpgradeIsAnsweredByTheOriginRule) {
    const std::string version = "Sec-WebSocket-Version: 13\r\n";
    // A native client sends no origin; the page of this server sends its own.
    for (const std::string& origin :
         {std::string(), std::string("Origin: http://192.168.1.20:9231\r\n")}) {
        const auto upgrade = webSocketUpgradeFor(upgradeRequest(version + origin));
        ASSERT_TRUE(upgrade);
        EXPECT_TRUE(upgrade->accepted);
        EXPECT_TRUE(upgrade->answer.starts_with("HTTP/1.1 101 Switching Protocols\r\n"));
        EXPECT_NE(upgrade->answer.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
                  std::string::npos);
    }
    // A page of another site, or of the same host on another port, is refused.
    for (const char* origin : {"Origin: http://evil.example\r\n", "Origin: http://192.168.1.20\r\n",
                               "Origin: null\r\n"}) {
        const auto upgrade = webSocketUpgradeFor(upgradeRequest(version + origin));
        ASSERT_TRUE(upgrade);
        EXPECT_FALSE(upgrade->accepted);
        EXPECT_TRUE(upgrade->answer.starts_with("HTTP/1.1 403 Forbidden\r\n")) << origin;
    }
    const auto oldVersion = webSocketUpgradeFor(upgradeRequest("Sec-WebSocket-Version: 8\r\n"));
    ASSERT_TRUE(oldVersion);
    EXPECT_TRUE(oldVersion->answer.starts_with("HTTP/1.1 426 "));
    EXPECT_NE(oldVersion->answer.find("Sec-WebSocket-Version: 13\r\n"), std::string::npos);
    const auto noKey = webSocketUpgradeFor(
        "GET / HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
    ASSERT_TRUE(noKey);
    EXPECT_TRUE(noKey->answer.starts_with("HTTP/1.1 400 "));
    // Plain requests are none of its business.
    EXPECT_FALSE(webSocketUpgradeFor("GET / HTTP/1.1\r\nHost: h\r\n\r\n"));
    EXPECT_FALSE(webSocketUpgradeFor("HEAD / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n"));
}

}  // namespace
}  // namespace zarvo
