// Latency from a change in the recorder to its OSC packet at a WebSocket client that LISTENs,
// over a take: a recorder controller recording a source at 30 fps on the real clock, its
// OSCQuery server on loopback, and the tests' WebSocket client on a thread of its own.
//
//   zarvo_websocket_latency [changes]
//
// Reports the median and the worst of:
//   - a setting changed on the main thread (/gap) until its packet is read by the client;
//   - the refresh's change notification until the counter it moved (/status/frames) is read.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
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

namespace {

using namespace zarvo;
using Clock = std::chrono::steady_clock;

void report(const char* what, std::vector<double> milliseconds) {
    if (milliseconds.empty()) {
        std::printf("%s: no sample\n", what);
        return;
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("%s: median %.3f ms, worst %.3f ms over %zu changes\n", what,
                milliseconds[milliseconds.size() / 2], milliseconds.back(), milliseconds.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int changes = argc > 1 ? std::atoi(argv[1]) : 200;
    test::TestFolder folder;
    test::TestFolder movies;
    auto directory = std::make_shared<test::FakeDirectory>();
    directory->setTitles({"Camera 1"}, false);
    test::NetworkedController recorder(directory, folder / "settings.json");
    RunLoop& loop = recorder.loop;
    const auto& controller = recorder.controller;
    controller->setFolder(movies.path().string());
    controller->addSourceMatching("Camera 1");
    const auto texture = test::solidTexture(640, 360, {.b = 40, .g = 120, .r = 200});
    test::Ticker feed(
        [source = directory->lastSource("Camera 1"), texture] { source->deliverFrame(texture); },
        std::chrono::milliseconds(33));
    const long first = test::freePortRange(32);
    if (!controller->startNetwork(first, first + 16, "ZarvoRecorder")) {
        std::fprintf(stderr, "the network did not start\n");
        return 1;
    }
    loop.runFor(0.5);

    // Times the main thread posted each change, read by the client thread.
    std::mutex mutex;
    std::map<int, Clock::time_point> gapSet;
    std::vector<Clock::time_point> notifications;
    ScopedObserver observer(recorder.center, kRecorderControllerDidChangeNotification, nullptr,
                            [&](const auto&) {
                                std::lock_guard lock(mutex);
                                notifications.push_back(Clock::now());
                            });

    std::vector<double> settingLatency;
    std::vector<double> counterLatency;
    std::atomic<bool> done{false};
    std::thread client([&] {
        test::WebSocketClient socket(controller->oscQueryPort());
        if (!socket.connected())
            return;
        socket.sendCommand("LISTEN", "/gap");
        socket.sendCommand("LISTEN", "/status/frames");
        while (!done) {
            const auto message = socket.nextOSC(0.5);
            if (!message)
                continue;
            const auto arrived = Clock::now();
            std::lock_guard lock(mutex);
            if (message->address() == "/gap") {
                const int gap = std::get<int32_t>(message->arguments().at(0));
                if (const auto set = gapSet.find(gap); set != gapSet.end())
                    settingLatency.push_back(
                        std::chrono::duration<double, std::milli>(arrived - set->second).count());
            } else if (message->address() == "/status/frames" && !notifications.empty() &&
                       std::get<int32_t>(message->arguments().at(0)) > 0) {
                counterLatency.push_back(
                    std::chrono::duration<double, std::milli>(arrived - notifications.back())
                        .count());
            }
        }
    });

    loop.runFor(0.5);
    if (!controller->start()) {
        std::fprintf(stderr, "the take did not start: %s\n", controller->error().c_str());
        done = true;
        client.join();
        return 1;
    }
    for (int i = 1; i <= changes; ++i) {
        {
            std::lock_guard lock(mutex);
            gapSet[i] = Clock::now();
        }
        controller->setGap(i);
        loop.runFor(0.05);
    }
    loop.runFor(0.5);
    done = true;
    client.join();
    bool stopped = false;
    controller->stopWithCompletionHandler([&] { stopped = true; });
    loop.runUntil([&] { return stopped; }, 30);
    feed.stop();

    std::lock_guard lock(mutex);
    report("setting (/gap) to its packet", settingLatency);
    report("refresh to its counter (/status/frames)", counterLatency);
    return settingLatency.empty() ? 1 : 0;
}
