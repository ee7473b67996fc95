// The recorder driven and followed over the OSCQuery port's WebSocket: a client LISTENs to the
// state, a setting and the take's counters, starts a take with an OSC packet sent on the socket,
// receives the values as they change, and stops it.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "engine/RecorderController.h"
#include "platform/RunLoop.h"
#include "remote/OSCQueryServer.h"
#include "tests/support/ControllerSetup.h"
#include "tests/support/FakeSources.h"
#include "tests/support/Loopback.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TestFolder.h"
#include "tests/support/Ticker.h"
#include "tests/support/WebSocketClient.h"

namespace zarvo {
namespace {

TEST(RemoteWebSocketTest, TakeStartedFollowedAndStoppedOverTheWebSocket) {
    test::TestFolder folder;
    test::TestFolder movies;
    auto directory = std::make_shared<test::FakeDirectory>();
    directory->setTitles({"Camera 1"}, false);
    test::NetworkedController recorder(directory, folder / "settings.json");
    RunLoop& loop = recorder.loop;
    const auto& controller = recorder.controller;
    ASSERT_TRUE(controller);
    controller->setFolder(movies.path().string());
    controller->setName("Take");
    ASSERT_TRUE(controller->addSourceMatching("Camera 1"));
    const auto texture = test::solidTexture(64, 36, {.b = 40, .g = 120, .r = 200});
    test::Ticker feed(
        [source = directory->lastSource("Camera 1"), texture] { source->deliverFrame(texture); },
        std::chrono::milliseconds(20));
    const long first = test::freePortRange(32);
    ASSERT_TRUE(controller->startNetwork(first, first + 16, "ZarvoRecorder"));

    // The client's reads wait on its own thread while the main loop runs the recorder.
    const auto whileLoopRuns = [&](auto call) {
        auto future = std::async(std::launch::async, std::move(call));
        loop.runUntil(
            [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            60);
        return future.get();
    };
    test::WebSocketClient client(controller->oscQueryPort());
    ASSERT_TRUE(client.connected()) << client.handshakeAnswer();
    for (const char* path : {"/status/state", "/codec", "/status/frames", "/status/elapsed"})
        ASSERT_TRUE(client.sendCommand("LISTEN", path));
    const auto valueOf = [&](const std::string& address) {
        return whileLoopRuns([&] { return client.waitFor(address, 10); });
    };
    // Each address listened to is sent its current value first.
    std::map<std::string, OSCMessage> initial;
    while (initial.size() < 4) {
        auto message = whileLoopRuns([&] { return client.nextOSC(10); });
        ASSERT_TRUE(message) << initial.size();
        initial.emplace(message->address(), *message);
    }
    EXPECT_EQ(initial.at("/status/state").arguments(),
              std::vector<OSCArgument>{std::string("idle")});
    EXPECT_EQ(initial.at("/codec").arguments(), std::vector<OSCArgument>{std::string("h264")});

    // A setting changed by the window arrives at once.
    controller->setCodec("hevc");
    auto codec = valueOf("/codec");
    ASSERT_TRUE(codec);
    EXPECT_EQ(codec->arguments(), std::vector<OSCArgument>{std::string("hevc")});
    controller->setCodec("h264");

    // An OSC packet on the socket starts the take, as one on the OSC port would.
    ASSERT_TRUE(client.sendOSC(OSCMessage("/record", {int32_t{1}})));
    auto state = valueOf("/status/state");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->arguments(), std::vector<OSCArgument>{std::string("recording")});

    // The counters come with the refresh while the take runs, always growing.
    int32_t lastFrames = -1;
    int framesSeen = 0;
    float lastElapsed = -1;
    int elapsedSeen = 0;
    while (framesSeen < 3 || elapsedSeen < 3) {
        auto message = whileLoopRuns([&] { return client.nextOSC(10); });
        ASSERT_TRUE(message) << framesSeen << " " << elapsedSeen;
        if (message->address() == "/status/frames") {
            const auto frames = std::get<int32_t>(message->arguments().at(0));
            EXPECT_GT(frames, lastFrames);
            lastFrames = frames;
            ++framesSeen;
        } else if (message->address() == "/status/elapsed") {
            const auto elapsed = std::get<float>(message->arguments().at(0));
            EXPECT_GT(elapsed, lastElapsed);
            lastElapsed = elapsed;
            ++elapsedSeen;
        }
    }

    // A wrong message over the socket is the same error as over UDP.
    ASSERT_TRUE(client.sendOSC(OSCMessage("/status/state", {int32_t{1}})));
    EXPECT_TRUE(
        loop.runUntil([&] { return controller->error() == "/status/state can only be read"; }, 10));

    ASSERT_TRUE(client.sendOSC(OSCMessage("/record", {int32_t{0}})));
    std::vector<std::string> states;
    while (states.empty() || states.back() != "idle") {
        state = valueOf("/status/state");
        ASSERT_TRUE(state);
        states.push_back(std::get<std::string>(state->arguments().at(0)));
    }
    EXPECT_EQ(states.front(), "finishing");
    feed.stop();
    controller->stopNetwork();
    EXPECT_TRUE(client.closedWithin(10)) << "stopping the network closes the WebSockets";
}

}  // namespace
}  // namespace zarvo
