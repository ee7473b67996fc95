#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zarvo {
namespace {

using Notification = NotificationCenter::Notification;

TEST(NotificationCenterTest, DeliversByNameAndObjectFilter) {
    NotificationCenter center;
    const int first = 0;
    const int second = 0;
    std::vector<std::string> anyObject;
    std::vector<const void*> anyObjectSenders;
    int fromFirst = 0;
    int otherName = 0;
    center.addObserver("Changed", nullptr, [&](const Notification& n) {
        anyObject.push_back(n.name);
        anyObjectSenders.push_back(n.object);
    });
    center.addObserver("Changed", &first, [&](const Notification& n) {
        EXPECT_EQ(n.object, &first);
        ++fromFirst;
    });
    center.addObserver("Other", nullptr, [&](const Notification&) { ++otherName; });

    center.post("Changed", &first);
    center.post("Changed", &second);
    center.post("Changed");  // no object: only observers of any object hear it

    EXPECT_EQ(anyObject, (std::vector<std::string>{"Changed", "Changed", "Changed"}));
    EXPECT_EQ(anyObjectSenders, (std::vector<const void*>{&first, &second, nullptr}));
    EXPECT_EQ(fromFirst, 1);
    EXPECT_EQ(otherName, 0);

    center.post("changed", &first);  // names are compared exactly
    EXPECT_EQ(anyObject.size(), 3u);
    EXPECT_EQ(fromFirst, 1);
}

TEST(NotificationCenterTest, PostCallsObserversOnThePostingThreadBeforeReturning) {
    NotificationCenter center;
    std::vector<std::thread::id> callers;
    center.addObserver("Ping", nullptr,
                       [&](const Notification&) { callers.push_back(std::this_thread::get_id()); });
    center.addObserver("Ping", nullptr,
                       [&](const Notification&) { callers.push_back(std::this_thread::get_id()); });

    center.post("Ping");
    EXPECT_EQ(callers, (std::vector<std::thread::id>(2, std::this_thread::get_id())));

    std::thread::id otherThread;
    std::thread poster([&] {
        otherThread = std::this_thread::get_id();
        center.post("Ping");
    });
    poster.join();
    ASSERT_EQ(callers.size(), 4u);
    EXPECT_EQ(callers[2], otherThread);
    EXPECT_EQ(callers[3], otherThread);
}

TEST(NotificationCenterTest, RemovedObserverIsNotCalledAgain) {
    NotificationCenter center;
    int kept = 0;
    int removed = 0;
    const auto keptToken = center.addObserver("N", nullptr, [&](const Notification&) { ++kept; });
    const auto removedToken =
        center.addObserver("N", nullptr, [&](const Notification&) { ++removed; });
    EXPECT_NE(keptToken, removedToken);

    center.post("N");
    center.removeObserver(removedToken);
    center.removeObserver(removedToken);  // twice is harmless
    center.removeObserver(987654);        // so is a token that was never given
    center.post("N");

    EXPECT_EQ(kept, 2);
    EXPECT_EQ(removed, 1);
}

TEST(NotificationCenterTest, ObserverRemovedDuringDeliveryIsNotCalledAfterwards) {
    NotificationCenter center;
    std::vector<std::string> calls;
    NotificationCenter::Token later = 0;
    NotificationCenter::Token self = 0;
    // The first observer removes one that comes after it in the same delivery.
    center.addObserver("N", nullptr, [&](const Notification&) {
        calls.push_back("remover");
        center.removeObserver(later);
    });
    later =
        center.addObserver("N", nullptr, [&](const Notification&) { calls.push_back("later"); });
    // This one removes itself: it hears the first notification only.
    self = center.addObserver("N", nullptr, [&](const Notification&) {
        calls.push_back("self");
        center.removeObserver(self);
    });

    center.post("N");
    center.post("N");

    EXPECT_EQ(calls, (std::vector<std::string>{"remover", "self", "remover"}));
}

TEST(NotificationCenterTest, ObserversMayPostAddAndRemoveFromInsideACallback) {
    NotificationCenter center;
    std::vector<std::string> calls;
    NotificationCenter::Token added = 0;
    center.addObserver("Outer", nullptr, [&](const Notification&) {
        calls.push_back("outer");
        center.post("Inner");
        if (added == 0) {
            added = center.addObserver("Inner", nullptr,
                                       [&](const Notification&) { calls.push_back("added"); });
        } else {
            center.removeObserver(added);
        }
    });
    center.addObserver("Inner", nullptr, [&](const Notification&) { calls.push_back("inner"); });

    center.post("Outer");  // adds an observer of "Inner"
    center.post("Inner");  // heard by both
    center.post("Outer");  // "Inner" posted while the added one still observes, then removed
    center.post("Inner");

    EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner", "inner", "added", "outer", "inner",
                                               "added", "inner"}));
}

TEST(NotificationCenterTest, ScopedObserverRemovesItsObserverWhenDestroyedOrReset) {
    NotificationCenter center;
    int a = 0;
    int b = 0;
    {
        ScopedObserver scoped(center, "N", nullptr, [&](const Notification&) { ++a; });
        center.post("N");
    }
    center.post("N");
    EXPECT_EQ(a, 1);

    ScopedObserver scoped(center, "N", nullptr, [&](const Notification&) { ++b; });
    scoped.reset();
    scoped.reset();
    center.post("N");
    EXPECT_EQ(b, 0);
}

TEST(NotificationCenterTest, ScopedObserverMovesKeepOneRegistration) {
    NotificationCenter center;
    int first = 0;
    int second = 0;
    ScopedObserver moved;
    {
        ScopedObserver original(center, "N", nullptr, [&](const Notification&) { ++first; });
        moved = std::move(original);
    }  // the moved-from object no longer owns the observer
    center.post("N");
    EXPECT_EQ(first, 1);

    ScopedObserver constructed(std::move(moved));
    center.post("N");
    EXPECT_EQ(first, 2);

    // Assigning over an observer removes the one it held.
    constructed = ScopedObserver(center, "N", nullptr, [&](const Notification&) { ++second; });
    center.post("N");
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);
}

TEST(NotificationCenterTest, DefaultCenterIsOneSharedInstance) {
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
    int heard = 0;
    ScopedObserver scoped(NotificationCenter::defaultCenter(), "ZarvoTestDefaultCenter", nullptr,
                          [&](const Notification&) { ++heard; });
    NotificationCenter::defaultCenter().post("ZarvoTestDefaultCenter");
    EXPECT_EQ(heard, 1);
}

}  // namespace
}  // namespace zarvo
