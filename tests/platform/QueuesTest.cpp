#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/HostClock.h"
#include "platform/RunLoop.h"
#include "platform/SerialQueue.h"

namespace zarvo {
namespace {

using namespace std::chrono_literals;

// Deadline for things that must eventually happen; never a measure of speed.
constexpr double kPatience = 10.0;

std::string currentThreadName() {
    char name[64] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// ---- RunLoop ----

TEST(RunLoopTest, RunsPostedTasksInOrder) {
    RunLoop loop;
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) {
        loop.post([&order, i] { order.push_back(i); });
    }
    EXPECT_TRUE(order.empty());  // nothing runs before the loop does
    // A task posted by a task runs after those already queued.
    loop.post([&] { loop.post([&] { order.push_back(99); }); });
    loop.post([&] { order.push_back(5); });

    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 7; }, kPatience));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 99}));
}

TEST(RunLoopTest, DelayedTasksRunInTimeOrderAndNeverEarly) {
    RunLoop loop;
    std::vector<std::string> order;
    const double start = hostTime();
    double lateRanAt = 0;
    double earlyRanAt = 0;
    loop.postAfter(0.08, [&] {
        lateRanAt = hostTime();
        order.push_back("late");
    });
    loop.postAfter(0.03, [&] {
        earlyRanAt = hostTime();
        order.push_back("early");
    });
    loop.post([&] { order.push_back("now"); });
    loop.postAfter(0, [&] { order.push_back("zero delay"); });
    loop.postAfter(-1, [&] { order.push_back("negative delay"); });

    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 5; }, kPatience));
    EXPECT_EQ(order,
              (std::vector<std::string>{"now", "zero delay", "negative delay", "early", "late"}));
    EXPECT_GE(earlyRanAt - start, 0.03);
    EXPECT_GE(lateRanAt - start, 0.08);
}

TEST(RunLoopTest, RepeatingTimerFiresRepeatedlyOnScheduleUntilInvalidated) {
    RunLoop loop;
    const double interval = 0.01;
    const double start = hostTime();
    std::vector<double> firings;
    auto timer = loop.scheduleRepeating(interval, [&] { firings.push_back(hostTime()); });
    EXPECT_TRUE(timer->isValid());

    EXPECT_TRUE(loop.runUntil([&] { return firings.size() >= 4; }, kPatience));
    // The n-th firing never comes before n intervals have passed.
    for (size_t i = 0; i < firings.size(); ++i) {
        EXPECT_GE(firings[i] - start, static_cast<double>(i + 1) * interval) << "firing " << i;
    }

    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    const size_t count = firings.size();
    loop.runFor(5 * interval);
    EXPECT_EQ(firings.size(), count);
}

TEST(RunLoopTest, DestroyingTheTimerHandleStopsIt) {
    RunLoop loop;
    int fired = 0;
    int otherFired = 0;
    auto timer = loop.scheduleRepeating(0.01, [&] { ++fired; });
    auto other = loop.scheduleRepeating(0.01, [&] { ++otherFired; });
    EXPECT_TRUE(loop.runUntil([&] { return fired >= 2; }, kPatience));

    timer.reset();
    const int count = fired;
    const int otherCount = otherFired;
    // Several intervals go by, measured by the timer that was kept.
    EXPECT_TRUE(loop.runUntil([&] { return otherFired >= otherCount + 4; }, kPatience));
    EXPECT_EQ(fired, count);
}

TEST(RunLoopTest, TimerMayInvalidateItselfFromItsOwnTask) {
    RunLoop loop;
    int fired = 0;
    std::unique_ptr<Timer> timer;
    timer = loop.scheduleRepeating(0.005, [&] {
        if (++fired == 3) {
            timer->invalidate();
        }
    });
    EXPECT_TRUE(loop.runUntil([&] { return fired == 3; }, kPatience));
    loop.runFor(0.05);
    EXPECT_EQ(fired, 3);
    EXPECT_FALSE(timer->isValid());
}

TEST(RunLoopTest, MainThreadIsTheCreatingThread) {
    RunLoop loop;
    EXPECT_TRUE(loop.isMainThread());
    bool inTask = false;
    loop.post([&] { inTask = loop.isMainThread(); });
    loop.drain();
    EXPECT_TRUE(inTask);

    bool elsewhere = true;
    std::thread([&] { elsewhere = loop.isMainThread(); }).join();
    EXPECT_FALSE(elsewhere);
}

TEST(RunLoopTest, RunUntilChecksTheConditionAndHonoursItsTimeOut) {
    RunLoop loop;
    bool posted = false;
    loop.post([&] { posted = true; });
    // A condition that already holds returns at once, without running anything.
    EXPECT_TRUE(loop.runUntil([] { return true; }, kPatience));
    EXPECT_FALSE(posted);

    const double start = hostTime();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 0.05));
    EXPECT_GE(hostTime() - start, 0.05);

    bool late = false;
    loop.postAfter(0.02, [&] { late = true; });
    EXPECT_TRUE(loop.runUntil([&] { return late; }, kPatience));
    EXPECT_TRUE(posted);
}

TEST(RunLoopTest, WaitingLoopWakesForWorkFromOtherThreads) {
    RunLoop loop;
    // A far-off task makes the loop sleep long; work from another thread must wake it, and an
    // earlier delayed task must shorten its sleep. Without that the loop would sleep past the
    // deadline and runUntil would give up.
    loop.postAfter(3600, [] {});
    bool delayed = false;
    std::thread scheduler([&] {
        std::this_thread::sleep_for(20ms);
        loop.postAfter(0.01, [&] { delayed = true; });
    });
    EXPECT_TRUE(loop.runUntil([&] { return delayed; }, kPatience));
    scheduler.join();

    bool posted = false;
    std::thread poster([&] {
        std::this_thread::sleep_for(20ms);
        loop.post([&] { posted = true; });
    });
    EXPECT_TRUE(loop.runUntil([&] { return posted; }, kPatience));
    poster.join();
}

TEST(RunLoopTest, StopEndsRunAfterTheCurrentTask) {
    RunLoop loop;
    std::vector<std::string> order;
    loop.post([&] {
        order.push_back("stopper");
        loop.stop();
    });
    loop.post([&] { order.push_back("after"); });
    loop.run();
    EXPECT_EQ(order, (std::vector<std::string>{"stopper"}));
    EXPECT_EQ(loop.drain(), 1u);  // what was left is still queued
    EXPECT_EQ(order, (std::vector<std::string>{"stopper", "after"}));

    // From another thread, while run() waits for work; run() may be entered again. Should the
    // stop be lost, a late task ends the loop so that the test fails instead of hanging.
    bool gaveUp = false;
    loop.postAfter(kPatience, [&] {
        gaveUp = true;
        loop.stop();
    });
    std::thread stopper;
    loop.post([&] {
        stopper = std::thread([&] {
            std::this_thread::sleep_for(20ms);
            loop.stop();
        });
    });
    loop.run();
    stopper.join();
    EXPECT_FALSE(gaveUp);
}

TEST(RunLoopTest, DrainRunsWhatIsDueWithoutWaiting) {
    RunLoop loop;
    EXPECT_EQ(loop.drain(), 0u);

    int ran = 0;
    bool farRan = false;
    loop.post([&] { ++ran; });
    loop.post([&] { ++ran; });
    loop.postAfter(0.005, [&] { ++ran; });
    loop.postAfter(3600, [&] { farRan = true; });
    std::this_thread::sleep_for(20ms);

    EXPECT_EQ(loop.drain(), 3u);
    EXPECT_EQ(ran, 3);
    EXPECT_FALSE(farRan);
    EXPECT_EQ(loop.drain(), 0u);
}

TEST(RunLoopTest, DrainDoesNotChaseATimerThatComesDueAgain) {
    RunLoop loop;
    // Each firing outlasts the interval, so the timer is due again once it returns. Drain must
    // still end; the timer gives up after a bound so that a fault fails instead of hanging.
    int fired = 0;
    std::unique_ptr<Timer> timer;
    timer = loop.scheduleRepeating(0.001, [&] {
        std::this_thread::sleep_for(3ms);
        if (++fired == 50) {
            timer->invalidate();
        }
    });
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(loop.drain(), 1u);
    EXPECT_EQ(fired, 1);
}

// ---- SerialQueue ----

TEST(SerialQueueTest, RunsTasksInOrderOnOneNamedThread) {
    SerialQueue queue("zarvo.test");
    EXPECT_EQ(queue.name(), "zarvo.test");
    EXPECT_FALSE(queue.isCurrent());

    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::vector<std::string> names;
    bool current = true;
    // Held closed until everything is queued, so that the task queued from the queue's own
    // thread lands after all of them.
    std::promise<void> gate;
    queue.async([opened = gate.get_future().share()] { opened.wait(); });
    for (int i = 0; i < 20; ++i) {
        queue.async([&, i] {
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
            names.push_back(currentThreadName());
            current = current && queue.isCurrent();
            if (i == 0) {
                // Queued from its own thread: runs after the tasks already queued.
                queue.async([&] { order.push_back(100); });
            }
        });
    }
    gate.set_value();
    queue.sync([] {});
    queue.sync([] {});  // after the task queued from inside

    std::vector<int> expected;
    for (int i = 0; i < 20; ++i) {
        expected.push_back(i);
    }
    expected.push_back(100);
    EXPECT_EQ(order, expected);
    ASSERT_EQ(threads.size(), 20u);
    for (size_t i = 0; i < threads.size(); ++i) {
        EXPECT_EQ(threads[i], threads[0]);
        EXPECT_EQ(names[i], "zarvo.test");
    }
    EXPECT_NE(threads[0], std::this_thread::get_id());
    EXPECT_TRUE(current);
}

TEST(SerialQueueTest, LongNameIsCutForTheThread) {
    SerialQueue queue("zarvo.movie-recorder.writer");
    std::string name;
    queue.sync([&] { name = currentThreadName(); });
    EXPECT_EQ(name, "zarvo.movie-rec");
    EXPECT_EQ(queue.name(), "zarvo.movie-recorder.writer");
}

TEST(SerialQueueTest, SyncWaitsForEarlierTasksAndItsOwn) {
    SerialQueue queue("zarvo.sync");
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::vector<int> order;
    queue.async([opened] { opened.wait(); });
    queue.async([&] { order.push_back(1); });
    std::thread opener([&] {
        std::this_thread::sleep_for(20ms);
        gate.set_value();
    });
    int value = 0;
    queue.sync([&] {
        order.push_back(2);
        value = 42;
    });
    EXPECT_EQ(value, 42);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    opener.join();
}

TEST(SerialQueueTest, SyncFromItsOwnTaskRunsAtOnce) {
    auto queue = std::make_unique<SerialQueue>("zarvo.reentrant");
    auto result = std::make_shared<std::promise<std::vector<std::string>>>();
    queue->async([&queue, result] {
        std::vector<std::string> steps{"before"};
        queue->sync([&] { steps.push_back(queue->isCurrent() ? "inside" : "elsewhere"); });
        steps.push_back("after");
        result->set_value(steps);
    });
    auto future = result->get_future();
    if (future.wait_for(std::chrono::duration<double>(kPatience)) != std::future_status::ready) {
        // Deadlocked: the thread cannot be joined, so the queue is abandoned.
        static_cast<void>(queue.release());
        FAIL() << "sync from the queue's own task did not return";
    }
    EXPECT_EQ(future.get(), (std::vector<std::string>{"before", "inside", "after"}));
}

TEST(SerialQueueTest, DestructorRunsQueuedTasksFirst) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("zarvo.closing");
        queue.async([] { std::this_thread::sleep_for(20ms); });
        for (int i = 0; i < 100; ++i) {
            queue.async([&] { ++ran; });
        }
    }
    EXPECT_EQ(ran.load(), 100);
}

TEST(SerialQueueTest, QueueReleasedFromItsOwnTaskFinishesAlone) {
    auto queue = std::make_shared<SerialQueue>("zarvo.self");
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    auto finished = std::make_shared<std::promise<std::string>>();
    auto released = std::make_shared<std::atomic<bool>>(false);

    queue->async([opened] { opened.wait(); });
    // This task holds the last reference: releasing it destroys the queue on its own thread.
    queue->async([keep = queue, released]() mutable {
        keep.reset();
        *released = true;
    });
    // Still queued when the queue goes away; it runs all the same.
    queue->async([finished, released] {
        finished->set_value(*released ? "ran after release" : "ran before release");
    });
    queue.reset();
    gate.set_value();

    auto future = finished->get_future();
    ASSERT_EQ(future.wait_for(std::chrono::duration<double>(kPatience)), std::future_status::ready);
    EXPECT_EQ(future.get(), "ran after release");
}

}  // namespace
}  // namespace zarvo
