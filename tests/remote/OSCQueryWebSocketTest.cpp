// The OSCQuery server's WebSocket, over real loopback sockets with a client of the tests' own:
// listening to values, sending OSC, the page, and the limits that hold against abusive clients.

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"
#include "remote/OSCQueryServer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Loopback.h"
#include "tests/support/WebSocketClient.h"

namespace zarvo {
namespace {

using nlohmann::json;
using test::WebSocketClient;
constexpr double kPatience = 10;  // seconds; only bounds a failing test

class OSCQueryWebSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.registerOSCAddress("/gain", "i", "Gain", 3, json::array(),
                                  [this] { return std::optional<json>(json::array({gain})); });
        server.registerOSCAddress("/name", "s", "Name", 3, json::array(),
                                  [this] { return std::optional<json>(json::array({name})); });
        server.registerOSCAddress("/go", "", "Go", 2);
        server.setMessageHandler(
            [this](const OSCMessage& message) { received.push_back(message); });
        ASSERT_TRUE(server.startOnPort(test::freePortRange(1)));
        port = server.httpPort();
    }

    // Runs the call on another thread while the main loop runs, as the program's would.
    template <typename Call>
    auto whileLoopRuns(Call call) {
        auto future = std::async(std::launch::async, std::move(call));
        loop.runUntil(
            [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            60);
        return future.get();
    }

    // A value change on the main thread, told to the listeners as the controller does.
    void setGain(int value) {
        gain = value;
        server.publishListenedValues();
    }

    bool waitForSessions(size_t count) {
        return loop.runUntil([&] { return server.webSocketCount() == count; }, kPatience);
    }

    test::LogCapture log;
    RunLoop loop;
    OSCQueryServer server{loop};
    long port = 0;
    int gain = 5;
    std::string name = "first";
    std::vector<OSCMessage> received;  // main thread only
};

TEST_F(OSCQueryWebSocketTest, ListenersReceiveEveryChangeUntilTheyIgnore) {
    EXPECT_EQ(server.hostInfoDictionary()["EXTENSIONS"]["LISTEN"], true);
    EXPECT_EQ(server.hostInfoDictionary()["EXTENSIONS"]["PATH_CHANGED"], false);

    WebSocketClient client(port);
    ASSERT_TRUE(client.connected()) << client.handshakeAnswer();
    ASSERT_TRUE(waitForSessions(1));
    ASSERT_TRUE(client.sendCommand("LISTEN", "/gain"));
    // The current value comes at once, typed as the tree types it.
    auto first = whileLoopRuns([&] { return client.waitFor("/gain"); });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->arguments(), std::vector<OSCArgument>{int32_t{5}});

    // A change is sent; a round without change sends nothing; a value not listened to neither.
    setGain(6);
    name = "second";
    server.publishListenedValues();
    auto second = client.nextOSC();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->address(), "/gain");
    EXPECT_EQ(second->arguments(), std::vector<OSCArgument>{int32_t{6}});
    EXPECT_FALSE(client.nextOSC(0.3));

    // Unknown paths, addresses without a value and unknown commands are ignored, logged once.
    ASSERT_TRUE(client.sendCommand("LISTEN", "/nowhere"));
    ASSERT_TRUE(client.sendCommand("LISTEN", "/go"));
    ASSERT_TRUE(client.sendCommand("SHOUT", "/gain"));
    ASSERT_TRUE(client.send(WebSocketOpcode::text, "not json"));
    ASSERT_TRUE(client.sendCommand("LISTEN", "/name"));
    auto named = whileLoopRuns([&] { return client.waitFor("/name"); });
    ASSERT_TRUE(named);
    EXPECT_EQ(named->arguments(), std::vector<OSCArgument>{std::string("second")});
    size_t warnings = 0;
    for (const auto& line : log.lines())
        warnings += line.starts_with("OSCQuery: WebSocket command ignored") ? 1 : 0;
    EXPECT_EQ(warnings, 1u);

    // After IGNORE nothing more comes for that address; listening again sends it at once.
    ASSERT_TRUE(client.sendCommand("IGNORE", "/gain"));
    loop.runFor(0.3);  // the command reaches the server
    setGain(7);
    EXPECT_FALSE(client.nextOSC(0.3));
    ASSERT_TRUE(client.sendCommand("LISTEN", "/gain"));
    auto again = whileLoopRuns([&] { return client.waitFor("/gain"); });
    ASSERT_TRUE(again);
    EXPECT_EQ(again->arguments(), std::vector<OSCArgument>{int32_t{7}});

    // Pings are answered with their payload; a close is completed with the peer's code.
    ASSERT_TRUE(client.send(WebSocketOpcode::ping, "hello"));
    auto pong = client.next();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->opcode, WebSocketOpcode::pong);
    EXPECT_EQ(pong->payload, "hello");
    ASSERT_TRUE(client.send(WebSocketOpcode::close, webSocketClosePayload(1000, "done")));
    auto closing = client.next();
    ASSERT_TRUE(closing);
    EXPECT_EQ(closing->opcode, WebSocketOpcode::close);
    EXPECT_EQ(closing->closeCode, 1000);
    EXPECT_TRUE(client.closedWithin(kPatience));
    EXPECT_TRUE(waitForSessions(0));
}

TEST_F(OSCQueryWebSocketTest, OSCPacketsFromClientsGoToTheHandlerOnTheMainThread) {
    WebSocketClient client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.sendOSC(OSCMessage("/go", {})));
    // A bundle of two, then bytes that are no OSC (dropped without a word, like a datagram).
    const auto bundle = test::OSCBundle(
        {OSCMessage("/gain", {int32_t{3}}), OSCMessage("/name", {std::string("x")})});
    ASSERT_TRUE(client.send(WebSocketOpcode::binary, std::string(bundle.begin(), bundle.end())));
    ASSERT_TRUE(client.send(WebSocketOpcode::binary, "garbage"));
    ASSERT_TRUE(loop.runUntil([&] { return received.size() >= 3; }, kPatience));
    loop.runFor(0.2);
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].address(), "/go");
    EXPECT_EQ(received[1], OSCMessage("/gain", {int32_t{3}}));
    EXPECT_EQ(received[2].address(), "/name");
}

TEST_F(OSCQueryWebSocketTest, PacketsFasterThanTheMainThreadAreDroppedAndCounted) {
    WebSocketClient client(port);
    ASSERT_TRUE(client.connected());
    // The main thread does not run while they arrive.
    const std::string packet = [] {
        const auto bytes = OSCMessage("/go", {}).packet();
        return std::string(bytes.begin(), bytes.end());
    }();
    std::string burst;
    for (int i = 0; i < 3000; ++i)
        burst +=
            webSocketFrame(WebSocketOpcode::binary, packet, std::array<uint8_t, 4>{1, 2, 3, 4});
    ASSERT_TRUE(client.sendRaw(burst));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    loop.runFor(0.5);
    EXPECT_EQ(received.size(), static_cast<size_t>(PacketBacklog::kDefaultLimit));
    EXPECT_TRUE(log.contains(PacketBacklog::droppedLine(3000 - PacketBacklog::kDefaultLimit)));
}

TEST_F(OSCQueryWebSocketTest, OriginOfAnotherSiteIsRefused) {
    WebSocketClient foreign(port, "Origin: http://evil.example\r\n");
    EXPECT_FALSE(foreign.connected());
    EXPECT_TRUE(foreign.handshakeAnswer().starts_with("HTTP/1.1 403 "))
        << foreign.handshakeAnswer();
    WebSocketClient own(port, "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n");
    EXPECT_TRUE(own.connected()) << own.handshakeAnswer();
    WebSocketClient native(port);
    EXPECT_TRUE(native.connected());
}

TEST_F(OSCQueryWebSocketTest, BadFramesCloseTheirConnectionAndNoOther) {
    WebSocketClient good(port);
    ASSERT_TRUE(good.connected());
    ASSERT_TRUE(good.sendCommand("LISTEN", "/gain"));
    ASSERT_TRUE(whileLoopRuns([&] { return good.waitFor("/gain"); }));

    struct Bad {
        const char* what;
        std::string bytes;
        uint16_t code;
    };
    std::string unknownOpcode =
        webSocketFrame(WebSocketOpcode::text, "x", std::array<uint8_t, 4>{});
    unknownOpcode[0] = static_cast<char>(0x85);
    const std::vector<Bad> bads = {
        {"unmasked", webSocketFrame(WebSocketOpcode::text, "x"), kWebSocketCloseProtocolError},
        {"unknown opcode", unknownOpcode, kWebSocketCloseProtocolError},
        {"oversize",
         webSocketFrame(WebSocketOpcode::binary, std::string(70000, 'x'),
                        std::array<uint8_t, 4>{9, 9, 9, 9}),
         kWebSocketCloseTooBig},
    };
    for (const Bad& bad : bads) {
        WebSocketClient client(port);
        ASSERT_TRUE(client.connected());
        client.sendRaw(bad.bytes);
        const auto event = client.next();
        ASSERT_TRUE(event) << bad.what;
        EXPECT_EQ(event->opcode, WebSocketOpcode::close) << bad.what;
        EXPECT_EQ(event->closeCode, bad.code) << bad.what;
        EXPECT_TRUE(client.closedWithin(kPatience)) << bad.what;
    }
    // A client gone without closing (half-open from the server's side) costs nothing either.
    {
        WebSocketClient vanishing(port);
        ASSERT_TRUE(vanishing.connected());
        vanishing.sendRaw(std::string("\x82\xfe\x10", 3));  // a frame header cut short
        ::shutdown(vanishing.fd(), SHUT_RDWR);
    }
    ASSERT_TRUE(waitForSessions(1));
    setGain(42);
    auto still = good.waitFor("/gain");
    ASSERT_TRUE(still);
    EXPECT_EQ(still->arguments(), std::vector<OSCArgument>{int32_t{42}});
}

TEST_F(OSCQueryWebSocketTest, ClientThatDoesNotReadIsDropped) {
    WebSocketClient slow(port);
    ASSERT_TRUE(slow.connected());
    ASSERT_TRUE(slow.sendCommand("LISTEN", "/name"));
    ASSERT_TRUE(waitForSessions(1));
    loop.runFor(0.3);
    // Values of 60 KB each, changed far faster than this client reads (it never does).
    for (int i = 0; i < 400 && server.webSocketCount() == 1; ++i) {
        name = std::string(60000, static_cast<char>('a' + i % 26));
        server.publishListenedValues();
        loop.runFor(0.01);
    }
    EXPECT_TRUE(waitForSessions(0));
    EXPECT_TRUE(log.contains(
        "OSCQuery: WebSocket client dropped: it does not read the values it listens to"));
    EXPECT_TRUE(slow.closedWithin(kPatience));
}

TEST_F(OSCQueryWebSocketTest, ConnectionsAreCappedAndRequestsHaveOneDeadline) {
    std::vector<std::unique_ptr<WebSocketClient>> clients;
    for (long i = 0; i < OSCQueryServer::kMaxConnections; ++i) {
        clients.push_back(std::make_unique<WebSocketClient>(port));
        ASSERT_TRUE(clients.back()->connected()) << i;
    }
    ASSERT_TRUE(waitForSessions(OSCQueryServer::kMaxConnections));
    // One more is closed at once, HTTP or WebSocket alike.
    WebSocketClient extra(port);
    EXPECT_FALSE(extra.connected());
    EXPECT_EQ(test::httpGet(port, "/gain").status, 0);
    // A place freed is a place taken again.
    clients.pop_back();
    ASSERT_TRUE(waitForSessions(OSCQueryServer::kMaxConnections - 1));
    EXPECT_TRUE(loop.runUntil([&] { return WebSocketClient(port).connected(); }, kPatience));
    clients.clear();
    ASSERT_TRUE(waitForSessions(0));

    // A request trickling in a byte a second is cut off at the deadline, not served.
    const int fd = test::connectTo(port, 30);
    ASSERT_GE(fd, 0);
    const auto begun = std::chrono::steady_clock::now();
    const std::string request = "GET /gain HTTP/1.1\r\nHost: x\r\n\r\n";
    bool cutOff = false;
    for (char c : request) {
        if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
            cutOff = true;
            break;
        }
        char answer[64];
        if (::recv(fd, answer, sizeof answer, MSG_DONTWAIT) == 0) {
            cutOff = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    ::close(fd);
    EXPECT_TRUE(cutOff);
    EXPECT_LT(seconds, OSCQueryServer::kRequestDeadlineSeconds + 2.5);
}

TEST_F(OSCQueryWebSocketTest, RemotePageIsServedFromTheProgram) {
    const auto page = whileLoopRuns([&] { return test::httpGet(port, "/remote"); });
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.header.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    EXPECT_NE(page.body.find("<script src=\"/remote/remote.js\">"), std::string::npos);
    const auto script = whileLoopRuns([&] { return test::httpGet(port, "/remote/remote.js"); });
    EXPECT_EQ(script.status, 200);
    EXPECT_NE(script.body.find("\"LISTEN\""), std::string::npos);
    const auto style = whileLoopRuns([&] { return test::httpGet(port, "/remote/remote.css"); });
    EXPECT_NE(style.header.find("Content-Type: text/css"), std::string::npos);
    // Nothing else is served from there; the tree answers as before.
    EXPECT_EQ(whileLoopRuns([&] { return test::httpGet(port, "/remote/other.js"); }).status, 404);
    EXPECT_EQ(whileLoopRuns([&] { return test::httpGet(port, "/gain?VALUE"); }).body,
              "{\"VALUE\":[5]}");
}

}  // namespace
}  // namespace zarvo
