#include "remote/OSCQueryServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Loopback.h"

namespace zarvo {
namespace {

using nlohmann::json;
constexpr double kDeadline = 10.0;  // seconds; generous, only bounds a failing test

std::string get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

using test::connectTo;
using test::HttpAnswer;

// Everything the server sends on the connection until it closes it; the connection is closed.
std::string readUntilClosed(int fd) {
    std::string answer;
    char buffer[4096];
    ssize_t received;
    while ((received = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, static_cast<size_t>(received));
    ::close(fd);
    return answer;
}

class OSCQueryServerTest : public ::testing::Test {
  protected:
    // Runs the call on another thread while the main loop serves value reads.
    template <typename Call>
    auto whileLoopRuns(Call call) {
        auto future = std::async(std::launch::async, std::move(call));
        loop.runUntil(
            [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            kDeadline);
        return future.get();
    }

    OSCQueryServer::Response respond(const std::string& path,
                                     std::optional<std::string> attribute = std::nullopt) {
        return whileLoopRuns([&] { return server.responseForPath(path, attribute); });
    }

    HttpAnswer request(const std::string& raw) {
        return test::parseHttpAnswer(whileLoopRuns([&] { return server.responseForRequest(raw); }));
    }

    static OSCQueryServer::ValueProvider returning(json value) {
        return [value] { return std::optional<json>(value); };
    }

    test::LogCapture log;
    RunLoop loop;
    OSCQueryServer server{loop};
};

// ---- The address tree ----

TEST_F(OSCQueryServerTest, EmptyTreeRendersTheRootAlone) {
    const auto response = respond("/");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, (json{{"FULL_PATH", "/"}, {"ACCESS", 0}}));
}

TEST_F(OSCQueryServerTest, RegisteredAddressRendersUnderItsContainers) {
    server.registerOSCAddress("/a/b", "i", "Gain", 3, json::array({{{"MIN", 0}, {"MAX", 10}}}),
                              returning(json::array({7})));
    const auto response = respond("/a");
    ASSERT_EQ(response.status, 200);
    const json expected = {{"FULL_PATH", "/a"},
                           {"ACCESS", 0},
                           {"CONTENTS",
                            {{"b",
                              {{"FULL_PATH", "/a/b"},
                               {"ACCESS", 3},
                               {"TYPE", "i"},
                               {"DESCRIPTION", "Gain"},
                               {"RANGE", json::array({{{"MIN", 0}, {"MAX", 10}}})},
                               {"VALUE", json::array({7})}}}}}};
    EXPECT_EQ(response.body, expected);
}

TEST_F(OSCQueryServerTest, AccessDefaultsFollowWhatTheNodeOffers) {
    server.registerOSCAddress("/plain", "", "");
    server.registerOSCAddress("/read", "f", "", 0, json::array(), returning(1.5));
    server.registerOSCAddress("/explicit", "s", "", 1);
    const auto body = *respond("/").body;
    const json& contents = body["CONTENTS"];
    EXPECT_EQ(contents["plain"]["ACCESS"], 2);
    EXPECT_FALSE(contents["plain"].contains("TYPE")) << "an empty type is not shown";
    EXPECT_FALSE(contents["plain"].contains("DESCRIPTION"));
    EXPECT_FALSE(contents["plain"].contains("RANGE"));
    EXPECT_EQ(contents["read"]["ACCESS"], 3);
    EXPECT_EQ(contents["read"]["VALUE"], 1.5);
    EXPECT_EQ(contents["explicit"]["ACCESS"], 1);
    EXPECT_EQ(body["ACCESS"], 0);
}

TEST_F(OSCQueryServerTest, MalformedAddressesAreIgnored) {
    for (const char* address :
         {"/with space", "/star*", "/q?", "/[x]", "/{x}", "/#x", "/a,b", "noslash", "", "/", "///"})
        server.registerOSCAddress(address, "i", "ignored", 3);
    EXPECT_EQ(respond("/").body, (json{{"FULL_PATH", "/"}, {"ACCESS", 0}}));
}

TEST_F(OSCQueryServerTest, SecondRegistrationKeepsTypeAndDescriptionButTakesTheRest) {
    server.registerOSCAddress("/x", "i", "First", 1, json::array({{{"MIN", 0}, {"MAX", 1}}}),
                              returning(1));
    server.registerOSCAddress("/x", "f", "Second", 3, json::array({{{"VALS", {"a", "b"}}}}),
                              returning(2));
    auto body = *respond("/x").body;
    EXPECT_EQ(body["TYPE"], "i");
    EXPECT_EQ(body["DESCRIPTION"], "First");
    EXPECT_EQ(body["ACCESS"], 3);
    EXPECT_EQ(body["RANGE"], json::array({{{"VALS", {"a", "b"}}}}));
    EXPECT_EQ(body["VALUE"], 2);

    // Access 0, an empty range and no provider leave what is there.
    server.registerOSCAddress("/x", "", "", 0, json::array(), {});
    body = *respond("/x").body;
    EXPECT_EQ(body["ACCESS"], 3);
    EXPECT_EQ(body["RANGE"], json::array({{{"VALS", {"a", "b"}}}}));
    EXPECT_EQ(body["VALUE"], 2);
}

TEST_F(OSCQueryServerTest, ContainerRegisteredLaterBecomesAnAddress) {
    server.registerOSCAddress("/a/b", "i", "");
    server.registerOSCAddress("/a", "s", "Group");
    const auto body = *respond("/a").body;
    EXPECT_EQ(body["TYPE"], "s");
    EXPECT_EQ(body["ACCESS"], 2);
    EXPECT_TRUE(body["CONTENTS"].contains("b"));
}

TEST_F(OSCQueryServerTest, PathLookupSkipsEmptyComponentsAndIsCaseSensitive) {
    server.registerOSCAddress("/a/b", "i", "");
    EXPECT_EQ(respond("//a///b/").body->at("FULL_PATH"), "/a/b");
    EXPECT_EQ(respond("").body->at("FULL_PATH"), "/");
    EXPECT_EQ(respond("/A/b").status, 404);
    EXPECT_FALSE(respond("/a/c").body.has_value());
    EXPECT_EQ(respond("/a/b/c").status, 404);
}

TEST_F(OSCQueryServerTest, ClearingEmptiesTheTree) {
    server.registerOSCAddress("/a", "i", "");
    server.clearRegisteredAddresses();
    EXPECT_EQ(respond("/a").status, 404);
    EXPECT_EQ(respond("/").body, (json{{"FULL_PATH", "/"}, {"ACCESS", 0}}));
}

// ---- Attributes and host information ----

TEST_F(OSCQueryServerTest, AttributesSelectOneKey) {
    server.registerOSCAddress("/a/b", "i", "", 3, json::array(), returning(json::array({4})));
    auto response = respond("/a/b", "VALUE");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, (json{{"VALUE", json::array({4})}}));

    response = respond("/a/b", "UNIT");
    EXPECT_EQ(response.status, 204);
    EXPECT_FALSE(response.body);

    response = respond("/a/b", "BOGUS");
    EXPECT_EQ(response.status, 400);
    EXPECT_FALSE(response.body);

    response = respond("/a/b", "value");
    EXPECT_EQ(response.status, 400) << "attribute names are case-sensitive";

    response = respond("/a/b", "");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body->at("FULL_PATH"), "/a/b");

    EXPECT_EQ(respond("/missing", "VALUE").status, 404);
}

TEST_F(OSCQueryServerTest, HostInfoAnswersOnAnyPath) {
    server.setOscPort(9000);
    const json extensions = {{"ACCESS", true},      {"CLIPMODE", false}, {"CRITICAL", false},
                             {"DESCRIPTION", true}, {"LISTEN", true},    {"PATH_CHANGED", false},
                             {"RANGE", true},       {"TAGS", false},     {"UNIT", false},
                             {"VALUE", true}};
    auto response = respond("/does/not/exist", "HOST_INFO");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, (json{{"NAME", "OSCQuery"},
                                   {"OSC_PORT", 9000},
                                   {"OSC_TRANSPORT", "UDP"},
                                   {"EXTENSIONS", extensions}}));

    server.setServerName("Studio A");
    EXPECT_EQ(respond("/", "HOST_INFO").body->at("NAME"), "Studio A");
}

// ---- Reading values ----

TEST_F(OSCQueryServerTest, ProvidersThatGiveNothingOrThrowLeaveNoValue) {
    server.registerOSCAddress("/none", "i", "", 3, json::array(),
                              [] { return std::optional<json>(); });
    server.registerOSCAddress("/throws", "i", "", 3, json::array(),
                              []() -> std::optional<json> { throw std::runtime_error("boom"); });
    server.registerOSCAddress("/fine", "i", "", 3, json::array(), returning(json::array({1})));
    const auto body = *respond("/").body;
    EXPECT_FALSE(body["CONTENTS"]["none"].contains("VALUE"));
    EXPECT_FALSE(body["CONTENTS"]["throws"].contains("VALUE"));
    EXPECT_EQ(body["CONTENTS"]["fine"]["VALUE"], json::array({1}));
    EXPECT_TRUE(log.contains("OSCQuery: value provider raised: boom"));
}

TEST_F(OSCQueryServerTest, ProvidersRunOnTheMainThread) {
    bool onMain = false;
    server.registerOSCAddress("/x", "i", "", 3, json::array(), [&] {
        onMain = loop.isMainThread();
        return std::optional<json>(1);
    });
    respond("/x");
    EXPECT_TRUE(onMain);
}

TEST_F(OSCQueryServerTest, BusyMainThreadGivesTheTreeWithoutValues) {
    server.registerOSCAddress("/a/b", "i", "Gain", 3, json::array(), returning(5));
    // The loop is not run while the request waits, as if the main thread were busy.
    const auto response = server.responseForPath("/a", std::nullopt);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body->at("CONTENTS").at("b").at("DESCRIPTION"), "Gain");
    EXPECT_FALSE(response.body->at("CONTENTS").at("b").contains("VALUE"));
    EXPECT_TRUE(log.contains("OSCQuery: timed out reading values (main thread busy)"));
    loop.drain();  // the late read still runs, harmlessly
}

TEST_F(OSCQueryServerTest, UnserializableBodyIsSentEmptyWithItsStatus) {
    server.registerOSCAddress("/bad", "s", "", 3, json::array(), returning("\xFF\xFE"));
    const auto answer = request(get("/bad"));
    EXPECT_EQ(answer.status, 200);
    EXPECT_NE(answer.header.find("Content-Length: 0\r\n"), std::string::npos);
    EXPECT_TRUE(answer.body.empty());
    EXPECT_TRUE(log.anyStartsWith("OSCQuery: JSON serialization failed: "));
}

// ---- Requests ----

TEST_F(OSCQueryServerTest, AnswersAreFramedExactly) {
    server.registerOSCAddress("/a/b", "i", "", 3, json::array(), returning(json::array({4})));
    const std::string raw =
        whileLoopRuns([&] { return server.responseForRequest(get("/a/b?VALUE=1&x=2")); });
    EXPECT_EQ(raw,
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Content-Length: 13\r\n"
              "Connection: close\r\n\r\n"
              "{\"VALUE\":[4]}");
    EXPECT_EQ(server.responseForRequest("HEAD / HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Content-Length: 0\r\n"
              "Connection: close\r\n\r\n");
}

TEST_F(OSCQueryServerTest, RequestLineErrors) {
    auto answer = request("POST / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.status, 405);
    EXPECT_NE(answer.header.find("HTTP/1.1 405 Method Not Allowed\r\n"), std::string::npos);
    EXPECT_TRUE(answer.body.empty());

    EXPECT_EQ(request("get / HTTP/1.1\r\n\r\n").status, 405) << "methods are case-sensitive";

    answer = request("GET\r\n\r\n");
    EXPECT_EQ(answer.status, 400);
    EXPECT_NE(answer.header.find("HTTP/1.1 400 Bad Request\r\n"), std::string::npos);
    EXPECT_NE(answer.header.find("Content-Length: 0\r\n"), std::string::npos);

    EXPECT_EQ(request("").status, 400);
    EXPECT_EQ(request("GET  / HTTP/1.1\r\n\r\n").status, 200) << "an empty target is the root";

    answer = request(get("/missing"));
    EXPECT_EQ(answer.status, 404);
    EXPECT_NE(answer.header.find("HTTP/1.1 404 Not Found\r\n"), std::string::npos);

    answer = request(get("/?UNIT"));
    EXPECT_EQ(answer.status, 204);
    EXPECT_NE(answer.header.find("HTTP/1.1 204 No Content\r\n"), std::string::npos);
}

TEST_F(OSCQueryServerTest, TargetsArePercentDecoded) {
    server.registerOSCAddress("/a/b", "i", "");
    server.registerOSCAddress("/caf\xC3\xA9", "i", "");
    EXPECT_EQ(json::parse(request(get("/a%2Fb")).body)["FULL_PATH"], "/a/b");
    EXPECT_EQ(json::parse(request(get("/caf%C3%A9")).body)["FULL_PATH"], "/caf\xC3\xA9");
    // A bad escape leaves the path as it came.
    EXPECT_EQ(request(get("/a%zz")).status, 404);
    EXPECT_EQ(request(get("/a%")).status, 404);
    EXPECT_EQ(request(get("/a%FF")).status, 404);
    // The attribute is taken as it came.
    EXPECT_EQ(request(get("/a/b?%56ALUE")).status, 400);
}

TEST_F(OSCQueryServerTest, NonUTF8RequestIsReadAsLatin1) {
    server.registerOSCAddress("/caf\xC3\xA9", "i", "");
    const auto answer = request("GET /caf\xE9 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(json::parse(answer.body)["FULL_PATH"], "/caf\xC3\xA9");
}

// ---- Over the network ----

class OSCQueryNetworkTest : public OSCQueryServerTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.startOnPort(test::freePortRange(1)));
        port = server.httpPort();
    }
    HttpAnswer fetch(const std::string& raw) {
        return test::parseHttpAnswer(
            whileLoopRuns([&] { return test::httpRoundTrip(port, raw).value_or(""); }));
    }
    long port = 0;
};

TEST_F(OSCQueryNetworkTest, ServesGetAndHead) {
    server.setOscPort(7000);
    ASSERT_TRUE(server.startOnPort(port));  // restarts, now announcing the OSC port
    server.registerOSCAddress("/a/b", "i", "", 3, json::array(), returning(json::array({9})));
    EXPECT_TRUE(server.isRunning());
    EXPECT_TRUE(log.contains("OSCQuery server started on TCP port " + std::to_string(port) +
                             " (namespace of OSC port 7000)"));

    auto answer = fetch(get("/a/b"));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(json::parse(answer.body)["VALUE"], json::array({9}));
    EXPECT_NE(answer.header.find("Content-Length: " + std::to_string(answer.body.size())),
              std::string::npos);

    answer = fetch("HEAD /a/b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.status, 200);
    EXPECT_TRUE(answer.body.empty());

    answer = fetch(get("/anything?HOST_INFO"));
    EXPECT_EQ(json::parse(answer.body)["OSC_PORT"], 7000);
}

TEST_F(OSCQueryNetworkTest, OversizedHeaderIsAnsweredFromItsFirstLine) {
    std::string raw = "GET /?HOST_INFO HTTP/1.1\r\nX-Filler: " + std::string(20000, 'x');
    const auto answer = fetch(raw);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(json::parse(answer.body)["OSC_TRANSPORT"], "UDP");
}

TEST_F(OSCQueryNetworkTest, RequestArrivingInPiecesIsAssembled) {
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    for (const std::string piece : {"GET /?HOST", "_INFO HTTP/1.1\r\n", "Host: x\r\n", "\r\n"}) {
        ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(test::parseHttpAnswer(readUntilClosed(fd)).status, 200);
}

TEST_F(OSCQueryNetworkTest, IdleSlowAndVanishingClientsDoNotHoldUpOthers) {
    using Clock = std::chrono::steady_clock;
    std::vector<int> idle;
    std::vector<Clock::time_point> connectedAt;
    // As many idle clients as the connection cap leaves room for beside the others below.
    for (long i = 0; i < OSCQueryServer::kMaxConnections - 16; ++i) {
        // Paced so that the listening backlog does not overflow and stall the connects.
        if (i % 8 == 7)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int fd = connectTo(port);
        if (fd >= 0) {
            idle.push_back(fd);
            connectedAt.push_back(Clock::now());
        }
    }
    EXPECT_EQ(idle.size(), static_cast<size_t>(OSCQueryServer::kMaxConnections - 16));

    // A few send their request a byte every 100 ms, whole well within the request's deadline.
    std::vector<std::future<int>> slow;
    for (int i = 0; i < 4; ++i)
        slow.push_back(std::async(std::launch::async, [this] {
            const int fd = connectTo(port);
            const std::string request = get("/?HOST_INFO");
            for (char byte : request) {
                ::send(fd, &byte, 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            return test::parseHttpAnswer(readUntilClosed(fd)).status;
        }));
    // Some send half a request and leave.
    for (int i = 0; i < 10; ++i) {
        const int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        ::send(fd, "GET / HT", 8, MSG_NOSIGNAL);
        ::close(fd);
    }

    // A fresh request is answered at once, well before any of those is done.
    const auto asked = Clock::now();
    EXPECT_EQ(fetch(get("/")).status, 200);
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(3));

    // The idle ones are still open then, and have been told nothing. (Under a slow build, such as
    // with ThreadSanitizer, gathering the crowd takes seconds: only those idle for less than 4 s
    // are sure to be open.)
    std::vector<pollfd> watched;
    for (int fd : idle)
        watched.push_back({fd, POLLIN, 0});
    const auto polled = Clock::now();
    ASSERT_GE(::poll(watched.data(), watched.size(), 0), 0);
    size_t young = 0;
    size_t readable = 0;
    for (size_t i = 0; i < watched.size(); ++i) {
        if (polled - connectedAt[i] < std::chrono::seconds(4)) {
            ++young;
            readable += watched[i].revents != 0 ? 1 : 0;
        }
    }
    EXPECT_GT(young, 0u);
    EXPECT_EQ(readable, 0u);

    for (auto& client : slow)
        EXPECT_EQ(client.get(), 200);

    // The idle ones are closed without a word once their 5-second receive time-out is up.
    size_t closedSilently = 0;
    for (int fd : idle) {
        char byte;
        if (::recv(fd, &byte, 1, 0) == 0)
            ++closedSilently;
        ::close(fd);
    }
    EXPECT_EQ(closedSilently, idle.size());
}

TEST_F(OSCQueryNetworkTest, SilentClientIsDroppedWithoutAnswer) {
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    ::send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
    char buffer[64];
    // The server gives up after its 5-second receive time-out and closes without a word.
    EXPECT_EQ(::recv(fd, buffer, sizeof buffer, 0), 0);
    ::close(fd);
}

TEST_F(OSCQueryNetworkTest, StopClosesTheListeningSocket) {
    server.stop();
    EXPECT_FALSE(server.isRunning());
    EXPECT_EQ(server.httpPort(), 0);
    EXPECT_EQ(connectTo(port), -1);

    // A restart on the same port works, since stopping released it.
    ASSERT_TRUE(server.startOnPort(port));
    EXPECT_EQ(server.httpPort(), port);
    EXPECT_EQ(fetch(get("/")).status, 200);
}

TEST_F(OSCQueryServerTest, TakenPortFallsBackToTheNext) {
    // Holds two consecutive ports so the server has to go past both.
    long first = 0;
    int held[2] = {-1, -1};
    for (int attempt = 0; attempt < 20 && held[1] < 0; ++attempt) {
        first = test::freePortRange(1);
        if (first >= 65533)
            continue;
        for (int i = 0; i < 2; ++i) {
            held[i] = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(first + i));
            if (::bind(held[i], reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
                ::listen(held[i], 1) != 0) {
                ::close(held[i]);
                held[i] = -1;
                if (i == 1)
                    ::close(held[0]);
                held[0] = -1;
                break;
            }
        }
    }
    ASSERT_GE(held[1], 0);
    server.setOscPort(8000);
    ASSERT_TRUE(server.startOnPort(first));
    EXPECT_GE(server.httpPort(), first + 2);
    EXPECT_LT(server.httpPort(), first + OSCQueryServer::kPortsTried);
    const long port = server.httpPort();
    const auto answer =
        test::parseHttpAnswer(test::httpRoundTrip(port, get("/?HOST_INFO")).value_or(""));
    EXPECT_EQ(json::parse(answer.body)["OSC_PORT"], 8000);
    ::close(held[0]);
    ::close(held[1]);
}

TEST_F(OSCQueryServerTest, PortsOutsideTheRangeFail) {
    EXPECT_FALSE(server.startOnPort(0));
    EXPECT_TRUE(log.contains("OSCQuery: could not bind a TCP port starting at 0"));
    EXPECT_FALSE(server.startOnPort(65536));
    EXPECT_TRUE(log.contains("OSCQuery: could not bind a TCP port starting at 65536"));
    EXPECT_FALSE(server.startOnPort(-5));
    EXPECT_FALSE(server.isRunning());
    EXPECT_EQ(server.httpPort(), 0);
}

TEST_F(OSCQueryServerTest, SixteenTakenPortsFail) {
    // Holds a full run of 16 ports.
    const long first = test::freePortRange(16);
    ASSERT_NE(first, 0);
    std::vector<std::unique_ptr<test::PortBlocker>> held;
    for (long port = first; port < first + 16; ++port) {
        held.push_back(std::make_unique<test::PortBlocker>(test::PortBlocker::Kind::Tcp, port));
        ASSERT_TRUE(held.back()->holds()) << port;
    }
    EXPECT_FALSE(server.startOnPort(first));
    EXPECT_TRUE(
        log.contains("OSCQuery: could not bind a TCP port starting at " + std::to_string(first)));
}

}  // namespace
}  // namespace zarvo
