// The recorder program driven as a user's controller would drive it: OSC datagrams over UDP,
// OSCQuery over HTTP, real test sources in other processes, movies read back from disk.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "remote/OSCMessage.h"
#include "tests/support/Loopback.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/SyphonChildProcess.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<uint8_t>;

// A recorder program whose output is read on a thread of its own, so that the program never
// waits on a full pipe, and kept for the test to search.
class RecorderProgram {
  public:
    RecorderProgram() : process_({ZARVO_RECORDER, "--headless"}, true) {
        reader_ = std::thread([this] {
            for (;;) {
                std::string line = process_.readLine(120);
                std::lock_guard lock(mutex_);
                if (line.empty()) {
                    ended_ = true;
                    changed_.notify_all();
                    return;
                }
                lines_.push_back(std::move(line));
                changed_.notify_all();
            }
        });
    }
    ~RecorderProgram() {
        if (!exitStatus_) {
            process_.signal(SIGKILL);
            process_.wait(10);
        }
        reader_.join();
    }

    // The first line matching the pattern, waiting up to the time-out: the whole match and
    // its groups, or none.
    std::optional<std::vector<std::string>> waitForLine(const std::string& pattern,
                                                        double timeout = 30) {
        const std::regex expression(pattern);
        std::unique_lock lock(mutex_);
        std::optional<std::vector<std::string>> found;
        changed_.wait_for(lock, std::chrono::duration<double>(timeout), [&] {
            for (const auto& line : lines_) {
                std::smatch match;
                if (std::regex_search(line, match, expression)) {
                    found.emplace(match.begin(), match.end());
                    return true;
                }
            }
            return ended_;
        });
        return found;
    }

    // Waits for the network to be up and returns the OSC and OSCQuery ports it took.
    bool waitForNetwork() {
        const auto line = waitForLine(
            R"(OSCQuery server started on TCP port (\d+) \(namespace of OSC port (\d+)\))");
        if (!line) {
            return false;
        }
        queryPort = std::stol((*line)[1]);
        oscPort = std::stol((*line)[2]);
        return true;
    }

    std::string output() {
        std::lock_guard lock(mutex_);
        std::string text;
        for (const auto& line : lines_) {
            text += line + "\n";
        }
        return text;
    }

    // Quits as a user's SIGTERM does; the exit status.
    std::optional<int> terminate(double timeout = 60) {
        process_.signal(SIGTERM);
        exitStatus_ = process_.wait(timeout);
        return exitStatus_;
    }

    long oscPort = 0;
    long queryPort = 0;

  private:
    test::SyphonChildProcess process_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;  // guarded by mutex_
    bool ended_ = false;              // guarded by mutex_
    std::optional<int> exitStatus_;
};

class RemoteControlTest : public ::testing::Test {
  protected:
    RemoteControlTest()
        : home_("HOME", folder_.path().c_str()),
          config_("XDG_CONFIG_HOME", (folder_ / "config").c_str()),
          ndi_("ZARVO_NDI_LIBRARY", (folder_ / "missing" / "libndi.so.6").c_str()),
          firstPort_(test::FreePortRange(40)),
          oscPortVariable_("ZARVO_OSC_PORT", std::to_string(firstPort_).c_str()),
          queryPortVariable_("ZARVO_OSCQUERY_PORT", std::to_string(firstPort_ + 20).c_str()) {
        test::UsePrivateSyphonRegistry();
        fs::create_directories(movies());
    }

    fs::path movies() const { return folder_ / "movies"; }

    void send(long port, const OSCMessage& message) { test::SendDatagram(port, message.packet()); }

    static Bytes bundle(const std::vector<OSCMessage>& messages) {
        Bytes bytes = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};
        for (const auto& message : messages) {
            const Bytes packet = message.packet();
            const auto size = static_cast<uint32_t>(packet.size());
            for (int shift : {24, 16, 8, 0}) {
                bytes.push_back(static_cast<uint8_t>(size >> shift));
            }
            bytes.insert(bytes.end(), packet.begin(), packet.end());
        }
        return bytes;
    }

    // The first element of an address's value, read over OSCQuery.
    static json valueAt(long queryPort, const std::string& address) {
        const auto answer = test::HttpGetJson(queryPort, address + "?VALUE");
        if (!answer || !answer->contains("VALUE") || (*answer)["VALUE"].empty()) {
            return nullptr;
        }
        return (*answer)["VALUE"][0];
    }

    // Polls the address until it reads the value.
    static bool waitForValue(long queryPort, const std::string& address, const json& expected,
                             double timeout = 20) {
        return test::WaitFor([&] { return valueAt(queryPort, address) == expected; }, timeout);
    }

    test::TestFolder folder_;
    test::ScopedEnv home_;
    test::ScopedEnv config_;
    test::ScopedEnv ndi_;
    const long firstPort_;
    test::ScopedEnv oscPortVariable_;
    test::ScopedEnv queryPortVariable_;
};

TEST_F(RemoteControlTest, WholeTakeStartedAndStoppedOverOSC) {
    ASSERT_NE(firstPort_, 0);
    test::SyphonChildProcess pattern(
        {ZARVO_TEST_SOURCE, "--name", "Test Pattern", "--size", "320x180", "--fps", "30"});
    test::SyphonChildProcess second(
        {ZARVO_TEST_SOURCE, "--name", "Second", "--size", "160x120", "--fps", "30"});
    ASSERT_TRUE(pattern.started() && second.started());

    RecorderProgram recorder;
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    EXPECT_EQ(recorder.oscPort, firstPort_);
    EXPECT_EQ(recorder.queryPort, firstPort_ + 20);

    const auto info = test::HttpGetJson(recorder.queryPort, "/?HOST_INFO");
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["NAME"], "ZarvoRecorder");
    EXPECT_EQ((*info)["OSC_PORT"], recorder.oscPort);
    EXPECT_EQ((*info)["OSC_TRANSPORT"], "UDP");

    // Both sources appear in the range of the place addresses.
    ASSERT_TRUE(test::WaitFor(
        [&] {
            const auto range = test::HttpGetJson(recorder.queryPort, "/source?RANGE");
            return range && (*range)["RANGE"][0]["VALS"].size() == 2;
        },
        20));

    // The settings arrive in one bundle; the places are chosen by part of their titles.
    test::SendDatagram(recorder.oscPort,
                       bundle({OSCMessage("/folder", {movies().string()}),
                               OSCMessage("/name", {std::string("Show")}),
                               OSCMessage("/output", {std::string("Both")}),
                               OSCMessage("/layout", {std::string("column")}),
                               OSCMessage("/source/1", {std::string("pattern")}),
                               OSCMessage("/source/2", {std::string("second")})}));
    ASSERT_TRUE(waitForValue(recorder.queryPort, "/source/2", "Second - zarvo-test-source"))
        << recorder.output();
    EXPECT_EQ(valueAt(recorder.queryPort, "/output"), "both");
    EXPECT_EQ(valueAt(recorder.queryPort, "/folder"), movies().string());
    ASSERT_TRUE(waitForValue(recorder.queryPort, "/status/source/2/online", 1));

    send(recorder.oscPort, OSCMessage("/record", {1}));
    ASSERT_TRUE(waitForValue(recorder.queryPort, "/status/state", "recording"))
        << recorder.output();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    send(recorder.oscPort, OSCMessage("/record", {0}));
    ASSERT_TRUE(waitForValue(recorder.queryPort, "/status/state", "idle", 60)) << recorder.output();
    EXPECT_EQ(valueAt(recorder.queryPort, "/status/failure"), "");
    EXPECT_EQ(valueAt(recorder.queryPort, "/status/dropped"), 0);

    const std::string assembled = valueAt(recorder.queryPort, "/status/assembled/file");
    const std::string first = valueAt(recorder.queryPort, "/status/source/1/file");
    const std::string other = valueAt(recorder.queryPort, "/status/source/2/file");
    EXPECT_EQ(fs::path(assembled).parent_path(), movies());
    EXPECT_EQ(fs::path(assembled).filename(), "Show.mov");

    const test::MovieProbe assembledMovie = test::MovieProbe::read(assembled);
    ASSERT_TRUE(assembledMovie.opened) << assembledMovie.error;
    ASSERT_TRUE(assembledMovie.picture);
    // A column of 320×180 over 160×120 drawn at the same width: 320 × (180 + 240).
    EXPECT_EQ(assembledMovie.picture->width, 320);
    EXPECT_EQ(assembledMovie.picture->height, 420);
    EXPECT_GE(assembledMovie.picture->times.size(), 30u);
    EXPECT_EQ(valueAt(recorder.queryPort, "/status/assembled/frames"),
              assembledMovie.picture->times.size());

    for (const auto& [file, width, height] :
         {std::tuple{first, 320, 180}, std::tuple{other, 160, 120}}) {
        const test::MovieProbe movie = test::MovieProbe::read(file);
        ASSERT_TRUE(movie.opened) << file << ": " << movie.error;
        ASSERT_TRUE(movie.picture);
        EXPECT_EQ(movie.picture->codec, "h264");
        EXPECT_EQ(movie.picture->width, width);
        EXPECT_EQ(movie.picture->height, height);
        EXPECT_GE(movie.picture->times.size(), 30u);
        EXPECT_FALSE(movie.sound) << "the test sources have no sound";
    }
    EXPECT_EQ(recorder.terminate(), 0);
}

TEST_F(RemoteControlTest, RefusedMessagesAreLoggedAndTheTreeAnswersEveryRequest) {
    RecorderProgram recorder;
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    const long query = recorder.queryPort;

    send(recorder.oscPort, OSCMessage("/fps", {std::string("fast")}));
    EXPECT_TRUE(recorder.waitForLine("Error: /fps expects a number")) << recorder.output();
    EXPECT_TRUE(waitForValue(query, "/status/error", "/fps expects a number"));
    send(recorder.oscPort, OSCMessage("/status/state", {std::string("recording")}));
    EXPECT_TRUE(recorder.waitForLine("Error: /status/state can only be read"));

    const auto tree = test::HttpGetJson(query, "/");
    ASSERT_TRUE(tree);
    EXPECT_EQ((*tree)["FULL_PATH"], "/");
    EXPECT_EQ((*tree)["CONTENTS"]["codec"]["VALUE"], json::array({"h264"}));
    EXPECT_EQ((*tree)["CONTENTS"]["codec"]["RANGE"][0]["VALS"].size(), 4u);
    EXPECT_EQ((*tree)["CONTENTS"]["status"]["CONTENTS"]["source"]["CONTENTS"]["8"]["CONTENTS"]
                     ["soundwritten"]["TYPE"],
              "f");

    EXPECT_EQ(test::HttpGet(query, "/codec?UNIT").status, 204);
    EXPECT_EQ(test::HttpGet(query, "/codec?NOPE").status, 400);
    EXPECT_EQ(test::HttpGet(query, "/no/such/address").status, 404);
    const auto access = test::HttpGetJson(query, "//status//state/?ACCESS");
    ASSERT_TRUE(access);
    EXPECT_EQ(*access, json({{"ACCESS", 1}}));

    const auto head = test::HttpRoundTrip(query, "HEAD /codec HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(head->find("Content-Length: 0\r\n"), std::string::npos);
    EXPECT_EQ(head->substr(head->size() - 4), "\r\n\r\n");
    const auto post = test::HttpRoundTrip(query, "POST /codec HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u);

    EXPECT_EQ(recorder.terminate(), 0);
}

TEST_F(RemoteControlTest, SettingsSurviveARestart) {
    {
        RecorderProgram recorder;
        ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
        test::SendDatagram(
            recorder.oscPort,
            bundle({OSCMessage("/codec", {std::string("HEVC")}),
                    OSCMessage("/fps", {std::string("29.97")}), OSCMessage("/width", {1280}),
                    OSCMessage("/gap", {4.6f}), OSCMessage("/performance", {1})}));
        ASSERT_TRUE(waitForValue(recorder.queryPort, "/performance", 1)) << recorder.output();
        EXPECT_EQ(recorder.terminate(), 0);
    }
    RecorderProgram again;
    ASSERT_TRUE(again.waitForNetwork()) << again.output();
    EXPECT_EQ(valueAt(again.queryPort, "/codec"), "hevc");
    EXPECT_NEAR(valueAt(again.queryPort, "/fps").get<double>(), 29.97, 1e-9);
    EXPECT_EQ(valueAt(again.queryPort, "/width"), 1280);
    EXPECT_EQ(valueAt(again.queryPort, "/gap"), 4);
    EXPECT_EQ(valueAt(again.queryPort, "/performance"), 1);
    EXPECT_EQ(again.terminate(), 0);
}

TEST_F(RemoteControlTest, BusyPortsArePassedOver) {
    test::PortBlocker udp(test::PortBlocker::Kind::Udp, firstPort_);
    test::PortBlocker tcp(test::PortBlocker::Kind::Tcp, firstPort_ + 20);
    ASSERT_TRUE(udp.holds() && tcp.holds());
    RecorderProgram recorder;
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    EXPECT_EQ(recorder.oscPort, firstPort_ + 1);
    EXPECT_EQ(recorder.queryPort, firstPort_ + 21);
    const auto info = test::HttpGetJson(recorder.queryPort, "/?HOST_INFO");
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["OSC_PORT"], firstPort_ + 1);

    // Messages reach the port it took.
    send(recorder.oscPort, OSCMessage("/name", {std::string("Fallback")}));
    EXPECT_TRUE(waitForValue(recorder.queryPort, "/name", "Fallback"));
    EXPECT_EQ(recorder.terminate(), 0);
}

TEST_F(RemoteControlTest, MalformedDatagramsDuringATakeCostNoFrame) {
    test::SyphonChildProcess pattern(
        {ZARVO_TEST_SOURCE, "--name", "Test Pattern", "--size", "320x180", "--fps", "30"});
    ASSERT_TRUE(pattern.started());
    RecorderProgram recorder;
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    test::SendDatagram(recorder.oscPort,
                       bundle({OSCMessage("/folder", {movies().string()}),
                               OSCMessage("/source/1", {std::string("Test Pattern")})}));
    ASSERT_TRUE(waitForValue(recorder.queryPort, "/status/source/1/online", 1))
        << recorder.output();
    send(recorder.oscPort, OSCMessage("/record", {1}));
    ASSERT_TRUE(waitForValue(recorder.queryPort, "/status/state", "recording"));

    // Two seconds of junk: truncated packets, bad type tags, bundles that lie about their
    // sizes, and well-formed messages to unknown addresses.
    const std::vector<Bytes> junk = {
        {'/', 'a'},
        {'/', 'x', 0, 0, ',', 'i', 0, 0},
        {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x7f, 0, 0, 0},
        {'/', 'f', 'p', 's', 0, 0, 0, 0, ',', 'Q', 0, 0},
        OSCMessage("/no/such/address", {1}).packet(),
    };
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    size_t sent = 0;
    while (std::chrono::steady_clock::now() < until) {
        test::SendDatagram(recorder.oscPort, junk[sent++ % junk.size()]);
        if (sent % 200 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    send(recorder.oscPort, OSCMessage("/record", {0}));
    ASSERT_TRUE(waitForValue(recorder.queryPort, "/status/state", "idle", 60));
    EXPECT_GT(sent, 1000u);
    EXPECT_EQ(valueAt(recorder.queryPort, "/status/dropped"), 0);
    const test::MovieProbe movie =
        test::MovieProbe::read(valueAt(recorder.queryPort, "/status/file"));
    ASSERT_TRUE(movie.picture);
    // The source runs at 30 frames a second for about two seconds of recording.
    EXPECT_GE(movie.picture->times.size(), 45u);
    EXPECT_EQ(recorder.terminate(), 0);
}

}  // namespace
}  // namespace zarvo
