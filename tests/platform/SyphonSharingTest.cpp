// The frame-sharing layer across processes: publishers run as zarvo_syphon_publisher, which
// paints each frame's number into its pixels, so that the readers can tell which frames they got.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/framesharing/ServerRegistry.h"
#include "platform/framesharing/SyphonClient.h"
#include "platform/framesharing/SyphonServer.h"
#include "platform/framesharing/SyphonServerDirectory.h"
#include "platform/gpu/Device.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SyphonTestRegistry.h"

namespace zarvo {
namespace {

using test::ChildProcess;
using test::waitFor;

std::string IdOf(const SyphonServerDescription& description) {
    return syphonDescriptionString(description, kSyphonServerDescriptionUUIDKey);
}

std::optional<SyphonServerDescription> Listed(const std::string& id) {
    for (const auto& server : SyphonServerDirectory::sharedDirectory().servers()) {
        if (IdOf(server) == id) {
            return server;
        }
    }
    return std::nullopt;
}

// What a server leaves on the computer: its record, its lock and its frames.
bool AnyFileLeft(const std::string& id) {
    const auto folder = framesharing::registryFolder();
    return std::filesystem::exists(framesharing::recordPath(folder, id)) ||
           std::filesystem::exists(framesharing::lockPath(folder, id)) ||
           std::filesystem::exists("/dev/shm" + framesharing::segmentName(id));
}

// Counts the directory's notifications by name.
class NotificationCounter {
  public:
    NotificationCounter() {
        for (const char* name : {kSyphonServerAnnounceNotification, kSyphonServerUpdateNotification,
                                 kSyphonServerRetireNotification}) {
            observers_.emplace_back(NotificationCenter::defaultCenter(), name, nullptr,
                                    [this](const NotificationCenter::Notification& note) {
                                        std::lock_guard lock(mutex_);
                                        ++counts_[note.name];
                                    });
        }
    }
    int count(const std::string& name) const {
        std::lock_guard lock(mutex_);
        const auto found = counts_.find(name);
        return found == counts_.end() ? 0 : found->second;
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, int> counts_;  // guarded by mutex_
    std::vector<ScopedObserver> observers_;
};

// A client that notes the number and size of every frame handed to it, taking `delay` over each.
class FrameLog {
  public:
    explicit FrameLog(const SyphonServerDescription& description,
                      std::chrono::milliseconds delay = {}) {
        client_ = std::make_unique<SyphonClient>(
            description, gpu::Device::systemDefault(), SyphonClient::Options{},
            [this, delay](SyphonClient& client) {
                const auto texture = client.newFrameImage();
                if (!texture) {
                    return;
                }
                {
                    std::lock_guard lock(mutex_);
                    frames_.push_back(test::FrameOfPixel(texture->row(0)));
                }
                std::this_thread::sleep_for(delay);
            });
    }
    std::vector<uint64_t> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    uint64_t last() const {
        std::lock_guard lock(mutex_);
        return frames_.empty() ? 0 : frames_.back();
    }
    SyphonClient& client() { return *client_; }

  private:
    mutable std::mutex mutex_;
    std::vector<uint64_t> frames_;  // guarded by mutex_
    std::unique_ptr<SyphonClient> client_;
};

std::vector<uint64_t> OneTo(uint64_t last) {
    std::vector<uint64_t> frames(last);
    std::iota(frames.begin(), frames.end(), uint64_t{1});
    return frames;
}

class SyphonSharingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::usePrivateSyphonRegistry();
        // Watching from now on: what is published later is announced.
        SyphonServerDirectory::sharedDirectory();
    }

    // Starts the publisher helper and waits until the directory lists its server.
    std::unique_ptr<ChildProcess> startPublisher(std::vector<std::string> arguments,
                                                 SyphonServerDescription& description) {
        arguments.insert(arguments.begin(), ZARVO_SYPHON_PUBLISHER);
        auto child = std::make_unique<ChildProcess>(std::move(arguments));
        const std::string ready = child->readLine(10);
        EXPECT_TRUE(ready.starts_with("ready ")) << ready;
        const std::string id = ready.substr(std::min<size_t>(ready.size(), 6));
        EXPECT_TRUE(waitFor([&] { return Listed(id).has_value(); }, 10));
        description = Listed(id).value_or(SyphonServerDescription::object());
        return child;
    }
};

// Frames come in bursts faster than a client can be woken for each: the ring holds them.
TEST_F(SyphonSharingTest, ClientsThatKeepUpGetEveryFrameInOrder) {
    SyphonServerDescription description;
    auto publisher = startPublisher({"--name", "Ring", "--app", "Tests", "--frames", "60", "--fps",
                                     "60", "--burst", "4", "--wait"},
                                    description);
    EXPECT_EQ(syphonDescriptionString(description, kSyphonServerDescriptionNameKey), "Ring");
    EXPECT_EQ(syphonDescriptionString(description, kSyphonServerDescriptionAppNameKey), "Tests");

    std::vector<std::unique_ptr<FrameLog>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<FrameLog>(description));
    }
    publisher->writeLine("go");
    EXPECT_EQ(publisher->readLine(20), "done");
    EXPECT_EQ(publisher->wait(10), 0);
    for (const auto& client : clients) {
        ASSERT_TRUE(waitFor([&] { return client->last() == 60; }, 10)) << client->last();
        EXPECT_EQ(client->frames(), OneTo(60));
        EXPECT_EQ(client->client().framesReceived(), 60u);
        EXPECT_EQ(client->client().framesSkipped(), 0u);
    }
}

TEST_F(SyphonSharingTest, SlowClientSkipsToTheNewestFrameWithoutHoldingUpOthers) {
    SyphonServerDescription description;
    auto publisher = startPublisher({"--frames", "40", "--fps", "100", "--wait"}, description);
    FrameLog slow(description, std::chrono::milliseconds(50));
    FrameLog fast(description);
    publisher->writeLine("go");
    EXPECT_EQ(publisher->readLine(20), "done");

    ASSERT_TRUE(waitFor([&] { return slow.last() == 40 && fast.last() == 40; }, 10));
    EXPECT_EQ(fast.frames(), OneTo(40));
    const auto slowFrames = slow.frames();
    EXPECT_LT(slowFrames.size(), 40u);
    EXPECT_TRUE(std::is_sorted(slowFrames.begin(), slowFrames.end()) &&
                std::adjacent_find(slowFrames.begin(), slowFrames.end()) == slowFrames.end());
    // No frame goes uncounted: every one published is either received or skipped.
    EXPECT_EQ(fast.client().framesReceived(), 40u);
    EXPECT_EQ(fast.client().framesSkipped(), 0u);
    // The frames passed over are counted once the handler call of the last frame returns.
    EXPECT_TRUE(waitFor(
        [&] { return slow.client().framesReceived() + slow.client().framesSkipped() == 40; }, 10))
        << slow.client().framesReceived() << " + " << slow.client().framesSkipped();
    EXPECT_EQ(slow.client().framesReceived(), slowFrames.size());
}

TEST_F(SyphonSharingTest, KilledPublisherIsRetiredAndCleanedUpAndAnnouncedWhenBack) {
    NotificationCounter notifications;
    SyphonServerDescription description;
    auto publisher = startPublisher({"--name", "Phoenix", "--frames", "3", "--hold"}, description);
    const std::string id = IdOf(description);
    ASSERT_TRUE(framesharing::isServerId(id));
    FrameLog client(description);
    ASSERT_TRUE(waitFor([&] { return client.last() == 3; }, 10));
    EXPECT_TRUE(client.client().isValid());
    EXPECT_TRUE(
        waitFor([&] { return notifications.count(kSyphonServerAnnounceNotification) >= 1; }, 10));
    const int announced = notifications.count(kSyphonServerAnnounceNotification);

    publisher->signal(SIGKILL);
    EXPECT_EQ(publisher->wait(10), 128 + SIGKILL);
    ASSERT_TRUE(waitFor([&] { return !Listed(id); }, 10));
    EXPECT_TRUE(
        waitFor([&] { return notifications.count(kSyphonServerRetireNotification) >= 1; }, 10));
    EXPECT_FALSE(AnyFileLeft(id));
    // The connected client stays but knows; a new one cannot connect at all.
    EXPECT_FALSE(client.client().isValid());
    EXPECT_FALSE(SyphonClient(description, nullptr, {}, nullptr).isValid());

    SyphonServerDescription again;
    auto back = startPublisher({"--name", "Phoenix", "--hold"}, again);
    EXPECT_NE(IdOf(again), id);
    EXPECT_EQ(syphonDescriptionString(again, kSyphonServerDescriptionNameKey), "Phoenix");
    EXPECT_TRUE(waitFor(
        [&] { return notifications.count(kSyphonServerAnnounceNotification) > announced; }, 10));
}

gpu::TextureRef Stripes(int64_t width, int64_t height) {
    auto texture = gpu::Texture::make(width, height);
    for (int64_t y = 0; y < height; ++y) {
        for (int64_t x = 0; x < width; ++x) {
            uint8_t* pixel = texture->row(y) + x * 4;
            pixel[0] = static_cast<uint8_t>(y);
            pixel[1] = static_cast<uint8_t>(y >> 8);
            pixel[2] = static_cast<uint8_t>(x);
            pixel[3] = 255;
        }
    }
    return texture;
}

// The row of the picture that a stored texture holds at `row`.
int64_t PictureRowAt(const gpu::Texture& texture, int64_t row) {
    const uint8_t* pixel = texture.row(row);
    return pixel[0] | pixel[1] << 8;
}

TEST_F(SyphonSharingTest, FramesAreStoredBottomRowFirstAndMayChangeSize) {
    auto server = SyphonServer::create({"Local", "Tests"});
    ASSERT_NE(server, nullptr);
    SyphonClient reader(server->serverDescription(), nullptr, {}, nullptr);
    EXPECT_TRUE(reader.isValid());
    EXPECT_EQ(reader.newFrameImage(), nullptr);

    ASSERT_TRUE(server->publishFrameTexture(*Stripes(5, 3)));
    auto image = reader.newFrameImage();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width(), 5);
    EXPECT_EQ(image->height(), 3);
    EXPECT_EQ(PictureRowAt(*image, 0), 2);
    EXPECT_EQ(PictureRowAt(*image, 2), 0);
    EXPECT_EQ(image->row(0)[4 * 4 + 2], 4);  // columns keep their place

    // A texture already bottom row first is stored as it is.
    ASSERT_TRUE(server->publishFrameTexture(*Stripes(5, 3), true));
    EXPECT_EQ(PictureRowAt(*reader.newFrameImage(), 0), 0);

    // Larger frames lay the ring out again in a grown segment; the reader follows.
    ASSERT_TRUE(server->publishFrameTexture(*Stripes(700, 500)));
    image = reader.newFrameImage();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width(), 700);
    EXPECT_EQ(image->height(), 500);
    EXPECT_EQ(PictureRowAt(*image, 0), 499);
    EXPECT_EQ(PictureRowAt(*image, 499), 0);
    ASSERT_TRUE(server->publishFrameTexture(*Stripes(2, 2)));
    EXPECT_EQ(reader.newFrameImage()->width(), 2);

    // Frames that cannot be stored are refused and not counted.
    const auto square = Stripes(4, 4);
    EXPECT_FALSE(server->publishFrame(nullptr, 2, 2, 8));
    EXPECT_FALSE(server->publishFrame(square->bytes(), 4, 4, 15));
    EXPECT_FALSE(server->publishFrame(square->bytes(), 0, 4, 16));
    EXPECT_FALSE(server->publishFrame(square->bytes(), 4, gpu::Texture::kMaxDimension + 1, 16));
    EXPECT_EQ(server->frameCount(), 4u);
}

TEST_F(SyphonSharingTest, RenamingUpdatesAndStoppingRetiresAndCleansUp) {
    NotificationCounter notifications;
    auto server = SyphonServer::create({"Before", "Tests"});
    ASSERT_NE(server, nullptr);
    const std::string id = IdOf(server->serverDescription());
    ASSERT_TRUE(waitFor([&] { return Listed(id).has_value(); }, 10));

    server->setName("After");
    EXPECT_EQ(server->name(), "After");
    ASSERT_TRUE(waitFor(
        [&] {
            const auto listed = Listed(id);
            return listed &&
                   syphonDescriptionString(*listed, kSyphonServerDescriptionNameKey) == "After";
        },
        10));
    EXPECT_TRUE(
        waitFor([&] { return notifications.count(kSyphonServerUpdateNotification) >= 1; }, 10));

    server->stop();
    server->stop();
    EXPECT_FALSE(AnyFileLeft(id));
    EXPECT_TRUE(waitFor([&] { return !Listed(id); }, 10));
    EXPECT_TRUE(
        waitFor([&] { return notifications.count(kSyphonServerRetireNotification) >= 1; }, 10));
    EXPECT_FALSE(server->publishFrameTexture(*Stripes(2, 2)));
}

TEST_F(SyphonSharingTest, ClientStoppedFromItsOwnHandlerIsCalledNoMore) {
    auto server = SyphonServer::create({"Stopper", "Tests"});
    ASSERT_NE(server, nullptr);
    ASSERT_TRUE(server->publishFrameTexture(*Stripes(4, 4)));
    std::atomic<int> calls{0};
    auto client = std::make_unique<SyphonClient>(server->serverDescription(), nullptr,
                                                 SyphonClient::Options{}, [&](SyphonClient& self) {
                                                     ++calls;
                                                     self.stop();
                                                     self.stop();
                                                 });
    ASSERT_TRUE(waitFor([&] { return calls == 1; }, 10));
    EXPECT_FALSE(client->isValid());
    EXPECT_EQ(client->newFrameImage(), nullptr);
    for (int i = 0; i < 5; ++i) {
        server->publishFrameTexture(*Stripes(4, 4));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(calls, 1);
    client->stop();
    client.reset();
}

TEST_F(SyphonSharingTest, DescriptionsThatNameNoServerGiveInvalidClients) {
    for (const SyphonServerDescription& description :
         {SyphonServerDescription::object(), SyphonServerDescription(42),
          SyphonServerDescription{{kSyphonServerDescriptionUUIDKey, "../../etc/passwd"}},
          SyphonServerDescription{
              {kSyphonServerDescriptionUUIDKey, framesharing::newServerId()}}}) {
        std::atomic<int> calls{0};
        SyphonClient client(description, nullptr, {}, [&](SyphonClient&) { ++calls; });
        EXPECT_FALSE(client.isValid()) << description;
        EXPECT_EQ(client.newFrameImage(), nullptr);
        client.stop();
        EXPECT_EQ(calls, 0);
    }
}

}  // namespace
}  // namespace zarvo
