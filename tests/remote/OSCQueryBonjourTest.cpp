// The OSCQuery server's DNS-SD announcement, against the machine's real mDNS daemon (./test.sh
// starts one with scripts/mdns-daemon.sh). What is announced is checked by browsing and resolving
// it with a separate daemon client, as any OSCQuery client on the network would.

#include <arpa/inet.h>
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/RunLoop.h"
#include "platform/Spawn.h"
#include "platform/Text.h"
#include "remote/OSCQueryServer.h"
#include "remote/ServicePublisher.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Loopback.h"

namespace zarvo {
namespace {

constexpr double kDeadline = 10.0;  // seconds; only bounds a failing test
constexpr const char* kType = "_oscjson._tcp";
// Avahi's values for "on every interface" and "over both IPv4 and IPv6".
constexpr AvahiIfIndex kEveryInterface = -1;
constexpr AvahiProtocol kEitherProtocol = -1;

// The "_oscjson._tcp" services the daemon knows of, kept up to date on a thread of its own: each
// new one is resolved to learn its port.
class ServiceWatch {
  public:
    ServiceWatch() {
        poll_ = avahi_threaded_poll_new();
        int error = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0), nullptr,
                                   nullptr, &error);
        if (client_ == nullptr) {
            error_ = avahi_strerror(error);
            return;
        }
        browser_ = avahi_service_browser_new(client_, kEveryInterface, kEitherProtocol, kType,
                                             nullptr, AvahiLookupFlags(0), &browsed, this);
        if (browser_ == nullptr) {
            error_ = avahi_strerror(avahi_client_errno(client_));
            return;
        }
        avahi_threaded_poll_start(poll_);
    }
    ~ServiceWatch() {
        avahi_threaded_poll_stop(poll_);
        if (client_ != nullptr)
            avahi_client_free(client_);
        avahi_threaded_poll_free(poll_);
    }
    ServiceWatch(const ServiceWatch&) = delete;
    ServiceWatch& operator=(const ServiceWatch&) = delete;

    // Empty when the daemon answered.
    const std::string& error() const { return error_; }

    // Waits until the service is seen (and resolved), or gone; returns whether it happened.
    bool waitForPort(const std::string& name, long port) {
        return waitUntil([&] {
            const auto found = ports_.find(name);
            return found != ports_.end() && found->second == port;
        });
    }
    bool waitUntilGone(const std::string& name) {
        return waitUntil([&] { return instances_[name] <= 0 && ports_.count(name) == 0; });
    }
    bool isPresent(const std::string& name) {
        std::lock_guard lock(mutex_);
        return instances_[name] > 0;
    }

  private:
    template <typename Condition>
    bool waitUntil(Condition condition) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(kDeadline), condition);
    }

    static void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiBrowserEvent event, const char* name, const char* type,
                        const char* domain, AvahiLookupResultFlags, void* self) {
        auto* watch = static_cast<ServiceWatch*>(self);
        std::lock_guard lock(watch->mutex_);
        if (event == AVAHI_BROWSER_NEW) {
            ++watch->instances_[name];
            avahi_service_resolver_new(watch->client_, interface, protocol, name, type, domain,
                                       kEitherProtocol, AvahiLookupFlags(0), &resolved, self);
        } else if (event == AVAHI_BROWSER_REMOVE) {
            if (--watch->instances_[name] <= 0)
                watch->ports_.erase(name);
        }
        watch->changed_.notify_all();
    }

    static void resolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                         AvahiResolverEvent event, const char* name, const char*, const char*,
                         const char*, const AvahiAddress*, uint16_t port, AvahiStringList*,
                         AvahiLookupResultFlags, void* self) {
        auto* watch = static_cast<ServiceWatch*>(self);
        {
            std::lock_guard lock(watch->mutex_);
            if (event == AVAHI_RESOLVER_FOUND && watch->instances_[name] > 0)
                watch->ports_[name] = port;
            watch->changed_.notify_all();
        }
        avahi_service_resolver_free(resolver);
    }

    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
    std::string error_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, int> instances_;  // one per interface and protocol it is seen on
    std::map<std::string, long> ports_;
};

std::string publishedLine(const std::string& name, long port) {
    return "OSCQuery service published for Bonjour as \"" + name + "\" (_oscjson._tcp. port " +
           std::to_string(port) + ")";
}

std::string confirmedLine(const std::string& name, long port) {
    return "OSCQuery: Bonjour publication confirmed as \"" + name + "\" (_oscjson._tcp. port " +
           std::to_string(port) + ")";
}

std::string collisionLine(const std::string& taken, const std::string& retry) {
    return "OSCQuery: nom Bonjour « " + taken + " » déjà pris sur cette machine — nouvelle " +
           "tentative sous « " + retry + " »";
}

class OSCQueryBonjourTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(watch.error().empty())
            << "no mDNS daemon answers on the system bus (" << watch.error()
            << "); ./test.sh starts one with scripts/mdns-daemon.sh";
        // The daemon may be shared with other test runs: a name of this run's own.
        std::random_device random;
        name = "Zarvo test " + std::to_string(::getpid()) + "-" + std::to_string(random() % 100000);
        server.setServerName(name);
    }

    bool logged(const std::string& line) {
        return loop.runUntil([&] { return log.contains(line); }, kDeadline);
    }

    test::LogCapture log;
    RunLoop loop;
    ServiceWatch watch;
    OSCQueryServer server{loop};
    std::string name;
};

TEST_F(OSCQueryBonjourTest, StartAnnouncesTheServerUnderItsName) {
    ASSERT_TRUE(server.startOnPort(test::freePortRange(1)));
    const long port = server.httpPort();
    EXPECT_TRUE(logged(confirmedLine(name, port)));
    EXPECT_TRUE(log.contains(publishedLine(name, port)));
    EXPECT_TRUE(watch.waitForPort(name, port));
    EXPECT_FALSE(log.anyStartsWith("OSCQuery: Bonjour publication failed"));
}

TEST_F(OSCQueryBonjourTest, WithoutAServerNameTheDefaultNameIsUsed) {
    server.setServerName(std::nullopt);
    ASSERT_TRUE(server.startOnPort(test::freePortRange(1)));
    // Other servers on this machine may hold the name already; the first attempt uses it.
    EXPECT_TRUE(logged(publishedLine("OSCQuery", server.httpPort())));
}

TEST_F(OSCQueryBonjourTest, TakenNameIsRetriedOnceWithThePort) {
    // Another program holds the name first.
    std::optional<ServicePublisher::Outcome> rivalOutcome;
    ServicePublisher rival(loop, name, kType, 9, [&](const auto& o) { rivalOutcome = o; });
    rival.start();
    ASSERT_TRUE(loop.runUntil([&] { return rivalOutcome.has_value(); }, kDeadline));
    ASSERT_TRUE(rivalOutcome->published) << rivalOutcome->errorText;

    ASSERT_TRUE(server.startOnPort(test::freePortRange(1)));
    const long port = server.httpPort();
    const std::string retry = name + " " + std::to_string(port);
    EXPECT_TRUE(logged(confirmedLine(retry, port)));
    EXPECT_TRUE(log.contains(publishedLine(name, port)));
    EXPECT_TRUE(log.contains(collisionLine(name, retry)));
    EXPECT_TRUE(log.contains(publishedLine(retry, port)));
    EXPECT_TRUE(watch.waitForPort(retry, port));
    EXPECT_TRUE(watch.waitForPort(name, 9));  // the rival's, untouched
}

TEST_F(OSCQueryBonjourTest, SecondCollisionFails) {
    const long port = test::freePortRange(1);
    const std::string retry = name + " " + std::to_string(port);
    int established = 0;
    auto count = [&](const ServicePublisher::Outcome& o) { established += o.published ? 1 : 0; };
    ServicePublisher first(loop, name, kType, 9, count);
    ServicePublisher second(loop, retry, kType, 9, count);
    first.start();
    second.start();
    ASSERT_TRUE(loop.runUntil([&] { return established == 2; }, kDeadline));

    ASSERT_TRUE(server.startOnPort(port));
    ASSERT_EQ(server.httpPort(), port) << "the port was taken meanwhile";
    EXPECT_TRUE(loop.runUntil(
        [&] { return log.anyStartsWith("OSCQuery: Bonjour publication failed: "); }, kDeadline));
    EXPECT_TRUE(log.contains(collisionLine(name, retry)));
    EXPECT_FALSE(log.anyStartsWith("OSCQuery: Bonjour publication confirmed"));
    // A failed announcement leaves HTTP alone.
    EXPECT_TRUE(server.isRunning());
}

TEST_F(OSCQueryBonjourTest, StopWithdrawsTheService) {
    ASSERT_TRUE(server.startOnPort(test::freePortRange(1)));
    const long port = server.httpPort();
    ASSERT_TRUE(logged(confirmedLine(name, port)));
    ASSERT_TRUE(watch.waitForPort(name, port));

    server.stop();
    loop.runFor(0.1);  // the withdrawal happens on the main queue
    EXPECT_TRUE(watch.waitUntilGone(name));
}

TEST_F(OSCQueryBonjourTest, ServerStoppedBeforeTheMainQueueRunsIsNotAnnounced) {
    ASSERT_TRUE(server.startOnPort(test::freePortRange(1)));
    server.stop();
    loop.runFor(1.0);
    EXPECT_FALSE(log.anyStartsWith("OSCQuery service published for Bonjour"));
    EXPECT_FALSE(watch.isPresent(name));

    // Restarted elsewhere before the queue runs, only the new port is announced.
    ASSERT_TRUE(server.startOnPort(test::freePortRange(1)));
    const long first = server.httpPort();
    ASSERT_TRUE(server.startOnPort(first + 1));
    const long second = server.httpPort();
    ASSERT_NE(first, second);
    EXPECT_TRUE(logged(confirmedLine(name, second)));
    EXPECT_FALSE(log.contains(publishedLine(name, first)));
}

TEST_F(OSCQueryBonjourTest, DestroyedServerHearsNothingMore) {
    auto doomed = std::make_unique<OSCQueryServer>(loop);
    doomed->setServerName(name);
    ASSERT_TRUE(doomed->startOnPort(test::freePortRange(1)));
    const long port = doomed->httpPort();
    loop.drain();  // the announcement starts; its outcome is still to come
    doomed.reset();
    loop.runFor(1.0);
    EXPECT_FALSE(log.anyStartsWith("OSCQuery: Bonjour publication confirmed"));
    EXPECT_TRUE(watch.waitUntilGone(name));
    EXPECT_EQ(test::httpGet(port, "/").status, 0);
}

// Run in a child process whose system bus address leads nowhere: the bus library keeps the
// address it first read, so this cannot share a process with the tests above.
TEST(OSCQueryBonjourChild, DISABLED_WithoutDaemonHttpStillAnswers) {
    test::LogCapture log;
    RunLoop loop;
    OSCQueryServer server{loop};
    ASSERT_TRUE(server.startOnPort(test::freePortRange(1)));
    ASSERT_TRUE(loop.runUntil(
        [&] { return log.anyStartsWith("OSCQuery: Bonjour publication failed: "); }, kDeadline));
    EXPECT_TRUE(log.contains(publishedLine("OSCQuery", server.httpPort())));
    EXPECT_FALSE(log.anyStartsWith("OSCQuery: nom Bonjour"));
    EXPECT_TRUE(server.isRunning());
    EXPECT_EQ(test::httpGet(server.httpPort(), "/").status, 200);
}

TEST(OSCQueryBonjourWithoutDaemon, PublicationFailsAndHttpKeepsWorking) {
    std::vector<std::string> environment;
    for (const auto& [name, value] : processEnvironment())
        if (name != "DBUS_SYSTEM_BUS_ADDRESS")
            environment.push_back(name + "=" + value);
    environment.emplace_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/zarvo-no-bus");
    SpawnOptions options;
    options.environment = environment;
    const std::string program = "/proc/self/exe";
    pid_t child = 0;
    ASSERT_EQ(
        spawnProcess(
            program,
            {program, "--gtest_filter=OSCQueryBonjourChild.DISABLED_WithoutDaemonHttpStillAnswers",
             "--gtest_also_run_disabled_tests"},
            options, &child),
        0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's output above";
}

}  // namespace
}  // namespace zarvo
