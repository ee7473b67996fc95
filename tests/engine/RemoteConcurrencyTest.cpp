// The recorder's network while everything moves at once: HTTP clients read the whole tree and OSC
// datagrams arrive while the main thread changes the sources (which registers addresses again)
// and applies the messages. Meant to run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/RecorderController.h"
#include "platform/RunLoop.h"
#include "remote/OSCQueryServer.h"
#include "tests/support/ControllerSetup.h"
#include "tests/support/FakeSources.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

TEST(RemoteConcurrencyTest, ReadersAndMessagesWhileSourcesChange) {
    test::TestFolder folder;
    auto directory = std::make_shared<test::FakeDirectory>();
    directory->setTitles({"A", "B"}, false);
    test::NetworkedController recorder(directory, folder / "settings.json");
    RunLoop& loop = recorder.loop;
    const auto& controller = recorder.controller;
    const long first = test::freePortRange(32);
    ASSERT_TRUE(controller->startNetwork(first, first + 16, "ZarvoRecorder"));
    const long osc = controller->oscPort();
    const long query = controller->oscQueryPort();

    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i) {
        clients.emplace_back([&] {
            while (!stop) {
                const auto tree = test::httpGetJson(query, "/");
                ++(tree && (*tree)["CONTENTS"].contains("source") ? answered : failed);
            }
        });
    }
    clients.emplace_back([&] {
        int gap = 0;
        while (!stop) {
            test::sendDatagram(osc, OSCMessage("/gap", {gap++ % 100}).packet());
            test::sendDatagram(
                osc, OSCMessage("/source/1", {std::string(gap % 2 ? "A" : "B")}).packet());
            // Each applied setting is written to disk, so the pace stays one a user could keep.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    for (int round = 0; round < 40; ++round) {
        directory->setTitles(round % 2 ? std::vector<std::string>{"A", "B", "C"}
                                       : std::vector<std::string>{"A", "B"});
        loop.runFor(0.02);
    }
    stop = true;
    for (auto& thread : clients) {
        thread.join();
    }
    loop.drain();
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    controller->stopNetwork();
}

}  // namespace
}  // namespace zarvo
