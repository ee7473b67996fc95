#include "remote/OSCReceiver.h"
#include "remote/PacketBacklog.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Loopback.h"

namespace zarvo {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr double kDeadline = 10.0;  // seconds; generous, only bounds a failing test

// The run loop, counting the tasks posted to it: one per datagram that holds messages.
class CountingQueue final : public MainQueue {
  public:
    void post(Task task) override {
        ++posts;
        loop.post(std::move(task));
    }
    void postAfter(double delay, Task task) override { loop.postAfter(delay, std::move(task)); }
    std::unique_ptr<Timer> scheduleRepeating(double interval, Task task) override {
        return loop.scheduleRepeating(interval, std::move(task));
    }
    bool isMainThread() const override { return loop.isMainThread(); }

    RunLoop loop;
    std::atomic<int> posts{0};
};

// A UDP socket, closed on destruction.
class Socket {
  public:
    Socket() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Binds the port on every interface, as the receiver does; false when it is taken.
    bool bindPort(long port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        return bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }

    void sendTo(long port, const Bytes& bytes) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0,
                         reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  static_cast<ssize_t>(bytes.size()));
    }

  private:
    int fd_;
};

bool PortIsFree(long port) {
    return Socket().bindPort(port);
}

// A bundle whose last element claims more bytes than follow.
Bytes TruncatedBundle() {
    Bytes bytes = test::OSCBundle({OSCMessage("/a", {})});
    bytes.insert(bytes.end(), {0, 0, 0, 99});
    return bytes;
}

class OSCReceiverTest : public ::testing::Test {
  protected:
    // Starts the receiver on a free port range, recording every message handed on.
    long start() {
        const long first = test::freePortRange(OSCReceiver::kPortsTried);
        EXPECT_TRUE(receiver.startOnPort(first, record()));
        EXPECT_EQ(receiver.port(), first);
        return first;
    }
    OSCReceiver::Handler record() {
        return [this](const OSCMessage& message) {
            EXPECT_TRUE(queue.isMainThread());
            received.push_back(message);
        };
    }
    bool receive(size_t count) {
        return queue.loop.runUntil([&] { return received.size() >= count; }, kDeadline);
    }
    // Waits, without running the main loop, until the receiver has posted `count` tasks.
    bool waitForPosts(int count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (queue.posts.load() < count) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    CountingQueue queue;
    OSCReceiver receiver{queue};
    std::vector<OSCMessage> received;
    Socket sender;
};

TEST_F(OSCReceiverTest, PortFallback) {
    test::LogCapture log;
    const long first = test::freePortRange(OSCReceiver::kPortsTried + 1);
    {
        // A taken port moves the receiver to the next one.
        Socket taken;
        ASSERT_TRUE(taken.bindPort(first));
        ASSERT_TRUE(receiver.startOnPort(first, record()));
        EXPECT_EQ(receiver.port(), first + 1);
        sender.sendTo(first + 1, OSCMessage("/moved", {int32_t{1}}).packet());
        ASSERT_TRUE(receive(1));
        EXPECT_EQ(received[0], OSCMessage("/moved", {int32_t{1}}));
    }
    {
        // With all 16 taken the receiver fails, even though the 17th is free.
        receiver.stop();
        std::vector<std::unique_ptr<Socket>> taken;
        for (long port = first; port < first + OSCReceiver::kPortsTried; ++port) {
            taken.push_back(std::make_unique<Socket>());
            ASSERT_TRUE(taken.back()->bindPort(port));
        }
        EXPECT_FALSE(receiver.startOnPort(first, record()));
        EXPECT_EQ(receiver.port(), 0);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0], "OSC: no free UDP port from " + std::to_string(first) + " to " +
                                      std::to_string(first + 15));
    }
}

TEST_F(OSCReceiverTest, PortRangeEndsAtTheLastPort) {
    test::LogCapture log;
    std::vector<std::unique_ptr<Socket>> taken;
    for (long port = 65530; port <= 65535; ++port) {
        taken.push_back(std::make_unique<Socket>());
        taken.back()->bindPort(port);  // a port some other program holds is just as taken
    }
    EXPECT_FALSE(receiver.startOnPort(65530, record()));
    EXPECT_EQ(receiver.port(), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"OSC: no free UDP port from 65530 to 65545"});
}

TEST_F(OSCReceiverTest, SystemChosenPort) {
    // Port 0 leaves the choice to the system; the receiver reports the real port, never 0,
    // which would read as stopped. Negative ports are skipped, not wrapped.
    for (long requested : {0L, -5L}) {
        ASSERT_TRUE(receiver.startOnPort(requested, record()));
        const long port = receiver.port();
        EXPECT_GT(port, 0);
        EXPECT_LE(port, 65535);
        sender.sendTo(port, OSCMessage("/any", {}).packet());
        ASSERT_TRUE(receive(received.size() + 1));
        EXPECT_FALSE(PortIsFree(port));
    }
}

TEST_F(OSCReceiverTest, OneMainTaskPerDatagramInOrder) {
    const long port = start();
    const std::vector<OSCMessage> bundled = {
        OSCMessage("/a", {int32_t{1}}),
        OSCMessage("/b", {std::string("two"), true}),
        OSCMessage("/c", {1.5f}),
    };
    sender.sendTo(port, test::OSCBundle(bundled));
    ASSERT_TRUE(receive(3));
    EXPECT_EQ(received, bundled);
    EXPECT_EQ(queue.posts.load(), 1);

    // Datagrams waiting before the main loop runs are all handed on, each in its own task and in
    // arrival order; an empty datagram among them does not hold up the ones after it.
    received.clear();
    std::vector<OSCMessage> sent;
    for (int32_t i = 0; i < 20; ++i) {
        sent.emplace_back("/n", std::vector<OSCArgument>{i});
        sender.sendTo(port, sent.back().packet());
        if (i == 9) {
            sender.sendTo(port, {});
        }
    }
    ASSERT_TRUE(waitForPosts(21));
    ASSERT_TRUE(receive(20));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(queue.posts.load(), 21);
}

TEST_F(OSCReceiverTest, MalformedDatagramsAreDropped) {
    const long port = start();
    const std::vector<Bytes> malformed = {
        {'/', 'x'},                                    // address without its NUL
        {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 1, 2},  // bundle cut short
        Bytes(70, 0xff),                               // not OSC at all
        TruncatedBundle(),
    };
    for (const Bytes& bytes : malformed) {
        sender.sendTo(port, bytes);
    }
    const OSCMessage valid("/valid", {std::string("still here")});
    sender.sendTo(port, valid.packet());
    ASSERT_TRUE(receive(1));
    queue.loop.drain();
    EXPECT_EQ(received, std::vector<OSCMessage>{valid});
    EXPECT_EQ(queue.posts.load(), 1);
}

TEST_F(OSCReceiverTest, StopAndRestart) {
    // Stopping a stopped receiver does nothing.
    receiver.stop();
    EXPECT_EQ(receiver.port(), 0);

    const long port = start();
    receiver.stop();
    EXPECT_EQ(receiver.port(), 0);
    receiver.stop();
    // The socket is closed by the time stop returns.
    EXPECT_TRUE(PortIsFree(port));

    // A restart closes the old socket before binding, so the same port is bound again.
    ASSERT_TRUE(receiver.startOnPort(port, record()));
    ASSERT_TRUE(receiver.startOnPort(port, record()));
    EXPECT_EQ(receiver.port(), port);
    sender.sendTo(port, OSCMessage("/again", {}).packet());
    ASSERT_TRUE(receive(1));
    EXPECT_EQ(received[0].address(), "/again");
}

TEST_F(OSCReceiverTest, NoHandlerCallsAfterStop) {
    const long port = start();
    // Read and posted, but not yet run on the main thread when the receiver stops.
    sender.sendTo(port, OSCMessage("/late", {}).packet());
    ASSERT_TRUE(waitForPosts(1));
    receiver.stop();
    queue.loop.runFor(0.05);
    EXPECT_TRUE(received.empty());

    // A handler may stop its own receiver; the rest of that datagram is then dropped.
    ASSERT_TRUE(receiver.startOnPort(port, [&](const OSCMessage& message) {
        received.push_back(message);
        receiver.stop();
    }));
    sender.sendTo(port, test::OSCBundle({OSCMessage("/first", {}), OSCMessage("/second", {})}));
    ASSERT_TRUE(receive(1));
    queue.loop.runFor(0.05);
    EXPECT_EQ(received, std::vector<OSCMessage>{OSCMessage("/first", {})});
    EXPECT_EQ(receiver.port(), 0);
}

}  // namespace
}  // namespace zarvo

namespace zarvo {
namespace {

TEST_F(OSCReceiverTest, DatagramsFasterThanTheMainThreadAreDroppedAndCounted) {
    test::LogCapture log;
    const long port = start();
    // The main loop does not run while they arrive; paced a little so that the socket's own
    // buffer keeps up and the receiver, not the system, is what drops them.
    const int sent = 3 * static_cast<int>(PacketBacklog::kDefaultLimit);
    for (int i = 0; i < sent; ++i) {
        sender.sendTo(port, OSCMessage("/n", {int32_t{i}}).packet());
        if (i % 64 == 63)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(waitForPosts(static_cast<int>(PacketBacklog::kDefaultLimit)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(queue.posts.load(), PacketBacklog::kDefaultLimit) << "the backlog is bounded";
    queue.loop.runFor(0.3);
    ASSERT_EQ(received.size(), static_cast<size_t>(PacketBacklog::kDefaultLimit));
    // The first ones were kept, in order.
    EXPECT_EQ(received.front(), OSCMessage("/n", {int32_t{0}}));
    for (size_t i = 1; i < received.size(); ++i)
        ASSERT_LT(std::get<int32_t>(received[i - 1].arguments()[0]),
                  std::get<int32_t>(received[i].arguments()[0]));
    bool counted = false;
    for (const std::string& line : log.lines())
        counted = counted || (line.starts_with("OSC: ") && line.ends_with(" packets dropped: they "
                                                                          "came faster than the "
                                                                          "main thread could "
                                                                          "handle them"));
    EXPECT_TRUE(counted);
    // Once the main thread has caught up, datagrams are taken again.
    sender.sendTo(port, OSCMessage("/again", {}).packet());
    ASSERT_TRUE(receive(PacketBacklog::kDefaultLimit + 1));
    EXPECT_EQ(received.back().address(), "/again");
}

}  // namespace
}  // namespace zarvo
