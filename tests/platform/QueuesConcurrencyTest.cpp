// The main run loop, serial queues, the notification centre and the settings store are used from
// several threads at once. These tests drive them that way; they are meant to run under
// ThreadSanitizer, and stay short without it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/SerialQueue.h"
#include "platform/UserDefaults.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

constexpr int kThreads = 4;
// Deadline for things that must eventually happen; never a measure of speed.
constexpr double kPatience = 30.0;

TEST(RunLoopConcurrencyTest, TasksPostedFromManyThreadsRunOnceInEachThreadsOrder) {
    constexpr int kTasks = 500;
    RunLoop loop;
    // Touched only by the loop's tasks, on the main thread.
    std::vector<int> next(kThreads, 0);
    int outOfOrder = 0;
    int ran = 0;
    int offMainThread = 0;
    bool gaveUp = false;

    std::atomic<bool> running{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            while (!running) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kTasks; ++i) {
                auto task = [&, t, i] {
                    if (next[t] != i) {
                        ++outOfOrder;
                    }
                    next[t] = i + 1;
                    offMainThread += loop.isMainThread() ? 0 : 1;
                    if (++ran == kThreads * kTasks) {
                        loop.stop();
                    }
                };
                if (i % 2 == 0) {
                    loop.post(task);
                } else {
                    loop.postAfter(0, task);
                }
            }
        });
    }
    loop.post([&] { running = true; });
    loop.postAfter(kPatience, [&] {
        gaveUp = true;
        loop.stop();
    });
    loop.run();
    for (auto& poster : posters) {
        poster.join();
    }

    EXPECT_FALSE(gaveUp);
    EXPECT_EQ(ran, kThreads * kTasks);
    EXPECT_EQ(next, std::vector<int>(kThreads, kTasks));
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(offMainThread, 0);
    EXPECT_EQ(loop.drain(), 0u);  // nothing ran twice or was left behind
}

TEST(SerialQueueConcurrencyTest, TasksFromManyThreadsRunOnceInEachThreadsOrder) {
    constexpr int kTasks = 500;
    // Touched only by the queue's tasks; read after the queue has been destroyed.
    std::vector<int> next(kThreads, 0);
    int outOfOrder = 0;
    int ran = 0;
    int notCurrent = 0;
    {
        SerialQueue queue("zarvo.stress");
        std::vector<std::thread> submitters;
        for (int t = 0; t < kThreads; ++t) {
            submitters.emplace_back([&, t] {
                for (int i = 0; i < kTasks; ++i) {
                    auto task = [&, t, i] {
                        if (next[t] != i) {
                            ++outOfOrder;
                        }
                        next[t] = i + 1;
                        notCurrent += queue.isCurrent() ? 0 : 1;
                        ++ran;
                    };
                    if (i % 50 == 0) {
                        queue.sync(task);
                    } else {
                        queue.async(task);
                    }
                }
            });
        }
        for (auto& submitter : submitters) {
            submitter.join();
        }
    }  // the destructor runs what is still queued

    EXPECT_EQ(ran, kThreads * kTasks);
    EXPECT_EQ(next, std::vector<int>(kThreads, kTasks));
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(notCurrent, 0);
}

TEST(NotificationCenterConcurrencyTest, ObserversComeAndGoWhileOthersPost) {
    constexpr int kRounds = 300;
    NotificationCenter center;
    std::atomic<int> steadyCalls{0};
    const auto steady = center.addObserver(
        "Tick", nullptr, [&](const NotificationCenter::Notification&) { ++steadyCalls; });

    struct Watch {
        std::atomic<bool> removed{false};
        std::atomic<int> calls{0};
        std::atomic<int> callsAfterRemoval{0};
    };
    std::atomic<int> heardOwnPost{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                auto watch = std::make_shared<Watch>();
                const auto token = center.addObserver(
                    "Tick", nullptr, [watch](const NotificationCenter::Notification&) {
                        ++watch->calls;
                        if (watch->removed) {
                            ++watch->callsAfterRemoval;
                        }
                    });
                center.post("Tick");
                if (watch->calls > 0) {
                    ++heardOwnPost;
                }
                center.removeObserver(token);
                watch->removed = true;
                center.post("Tick");
                EXPECT_EQ(watch->callsAfterRemoval, 0);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    center.removeObserver(steady);

    EXPECT_EQ(heardOwnPost, kThreads * kRounds);
    EXPECT_EQ(steadyCalls, kThreads * kRounds * 2);
}

// Setters, readers and synchronize() on several threads against the store's writer thread; the
// last values reach the file when the store is destroyed.
TEST(UserDefaultsConcurrencyTest, WritersOnSeveralThreadsLeaveOneValidFile) {
    constexpr int kKeys = 25;
    test::TestFolder folder;
    const auto file = folder / "settings.json";
    {
        UserDefaults defaults(file);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const std::string prefix = "thread" + std::to_string(t) + ".";
                defaults.registerDefaults({{prefix + "default", t}});
                for (int i = 0; i < kKeys; ++i) {
                    defaults.setInteger(prefix + std::to_string(i), i);
                    EXPECT_EQ(defaults.integerForKey(prefix + std::to_string(i)), i);
                    EXPECT_EQ(defaults.integerForKey(prefix + "default"), t);
                    EXPECT_TRUE(defaults.storedValues().is_object());
                }
                defaults.removeObject(prefix + "0");
                // Once synchronized, the file holds this thread's values, whatever the others
                // change meanwhile (a write replaces the file whole, so it is never seen half
                // written).
                defaults.synchronize();
                const auto written = nlohmann::json::parse(test::readFile(file), nullptr, false);
                ASSERT_TRUE(written.is_object());
                EXPECT_FALSE(written.contains(prefix + "0"));
                for (int i = 1; i < kKeys; ++i) {
                    EXPECT_EQ(written.value(prefix + std::to_string(i), -1), i);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }

    const auto stored = nlohmann::json::parse(test::readFile(file), nullptr, false);
    ASSERT_TRUE(stored.is_object());
    EXPECT_EQ(stored.size(), static_cast<size_t>(kThreads * (kKeys - 1)));
    UserDefaults reopened(file);
    for (int t = 0; t < kThreads; ++t) {
        const std::string prefix = "thread" + std::to_string(t) + ".";
        EXPECT_EQ(reopened.objectForKey(prefix + "0"), std::nullopt);
        for (int i = 1; i < kKeys; ++i) {
            EXPECT_EQ(reopened.integerForKey(prefix + std::to_string(i)), i);
        }
    }
}

}  // namespace
}  // namespace zarvo
