// The recorder program driven as a user's controller would drive it: OSC datagrams over UDP,
// OSCQuery over HTTP, real test sources in other processes, movies read back from disk.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/RunLoop.h"
#include "remote/OSCMessage.h"
#include "remote/OSCQueryServer.h"
#include "tests/e2e/RecorderProgram.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/ProgramEnvironment.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<uint8_t>;

class RemoteControlTest : public ::testing::Test {
  protected:
    fs::path movies() const { return environment_.movies(); }

    void send(long port, const OSCMessage& message) { test::sendDatagram(port, message.packet()); }

    // The first element of an address's value, read over OSCQuery.
    static json valueAt(long queryPort, const std::string& address) {
        const auto answer = test::httpGetJson(queryPort, address + "?VALUE");
        if (!answer || !answer->contains("VALUE") || (*answer)["VALUE"].empty()) {
            return nullptr;
        }
        return (*answer)["VALUE"][0];
    }

    // Polls the address until it reads the value.
    static bool waitForValue(long queryPort, const std::string& address, const json& expected,
                             double timeout = 20) {
        return test::waitFor([&] { return valueAt(queryPort, address) == expected; }, timeout);
    }

    // The sources the takes record: two test sources of different sizes, publishing for as long
    // as the object lives.
    struct TwoTestSources {
        test::ChildProcess pattern{
            {ZARVO_TEST_SOURCE, "--name", "Test Pattern", "--size", "320x180", "--fps", "30"}};
        test::ChildProcess second{
            {ZARVO_TEST_SOURCE, "--name", "Second", "--size", "160x120", "--fps", "30"}};
    };

    test::ProgramEnvironment environment_;
    const long firstPort_ = environment_.firstPort();
};

TEST_F(RemoteControlTest, WholeTakeStartedAndStoppedOverOSC) {
    ASSERT_NE(firstPort_, 0);
    TwoTestSources sources;
    ASSERT_TRUE(sources.pattern.started() && sources.second.started());

    test::RecorderProgram recorder(ZARVO_RECORDER);
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    EXPECT_EQ(recorder.oscPort, firstPort_);
    EXPECT_EQ(recorder.queryPort, firstPort_ + 20);

    const auto info = test::httpGetJson(recorder.queryPort, "/?HOST_INFO");
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["NAME"], "ZarvoRecorder");
    EXPECT_EQ((*info)["OSC_PORT"], recorder.oscPort);
    EXPECT_EQ((*info)["OSC_TRANSPORT"], "UDP");

    // Both sources appear in the range of the place addresses.
    ASSERT_TRUE(test::waitFor(
        [&] {
            const auto range = test::httpGetJson(recorder.queryPort, "/source?RANGE");
            return range && (*range)["RANGE"][0]["VALS"].size() == 2;
        },
        20));

    // The settings arrive in one bundle; the places are chosen by part of their titles.
    test::sendDatagram(recorder.oscPort,
                       test::OSCBundle({OSCMessage("/folder", {movies().string()}),
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
    std::this_thread::sleep_for(std::chrono::seconds(1));
    send(recorder.oscPort, OSCMessage("/marker", {std::string("Entrance")}));
    ASSERT_TRUE(waitForValue(recorder.queryPort, "/status/markers", 1));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    send(recorder.oscPort, OSCMessage("/record", {0}));
    ASSERT_TRUE(waitForValue(recorder.queryPort, "/status/state", "idle", 60)) << recorder.output();
    send(recorder.oscPort, OSCMessage("/marker", {}));
    EXPECT_TRUE(recorder.waitForLine("Error: There is no recording to mark")) << recorder.output();
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

    // The movies share one start timecode, at the sources' own 30 fps, and the take's timeline
    // lies beside them with its marker.
    const std::string timecode = test::MovieProbe::mediainfoTimecode(assembled);
    EXPECT_EQ(timecode.size(), 11u) << timecode << recorder.output();
    EXPECT_EQ(test::MovieProbe::mediainfoTimecode(first), timecode);
    EXPECT_EQ(test::MovieProbe::mediainfoTimecode(other), timecode);
    const auto timeline =
        nlohmann::json::parse(test::readFile(movies() / "Show.otio"), nullptr, false);
    ASSERT_TRUE(timeline.is_object());
    EXPECT_EQ(timeline["tracks"]["children"].size(), 3u);
    EXPECT_EQ(timeline["tracks"]["children"][0]["name"], "Assembled");
    EXPECT_EQ(timeline["global_start_time"]["rate"], 30.0);
    ASSERT_EQ(timeline["tracks"]["markers"].size(), 1u);
    EXPECT_EQ(timeline["tracks"]["markers"][0]["name"], "Entrance");
    EXPECT_EQ(recorder.terminate(), 0);
}

TEST_F(RemoteControlTest, RefusedMessagesAreLoggedAndTheTreeAnswersEveryRequest) {
    test::RecorderProgram recorder(ZARVO_RECORDER);
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    const long query = recorder.queryPort;

    send(recorder.oscPort, OSCMessage("/fps", {std::string("fast")}));
    EXPECT_TRUE(recorder.waitForLine("Error: /fps expects a number")) << recorder.output();
    EXPECT_TRUE(waitForValue(query, "/status/error", "/fps expects a number"));
    send(recorder.oscPort, OSCMessage("/status/state", {std::string("recording")}));
    EXPECT_TRUE(recorder.waitForLine("Error: /status/state can only be read"));

    const auto tree = test::httpGetJson(query, "/");
    ASSERT_TRUE(tree);
    EXPECT_EQ((*tree)["FULL_PATH"], "/");
    EXPECT_EQ((*tree)["CONTENTS"]["codec"]["VALUE"], json::array({"h264"}));
    EXPECT_EQ((*tree)["CONTENTS"]["codec"]["RANGE"][0]["VALS"].size(), 4u);
    EXPECT_EQ((*tree)["CONTENTS"]["status"]["CONTENTS"]["source"]["CONTENTS"]["8"]["CONTENTS"]
                     ["soundwritten"]["TYPE"],
              "f");

    EXPECT_EQ(test::httpGet(query, "/codec?UNIT").status, 204);
    EXPECT_EQ(test::httpGet(query, "/codec?NOPE").status, 400);
    EXPECT_EQ(test::httpGet(query, "/no/such/address").status, 404);
    const auto access = test::httpGetJson(query, "//status//state/?ACCESS");
    ASSERT_TRUE(access);
    EXPECT_EQ(*access, json({{"ACCESS", 1}}));

    const auto head = test::httpRoundTrip(query, "HEAD /codec HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(head->find("Content-Length: 0\r\n"), std::string::npos);
    EXPECT_EQ(head->substr(head->size() - 4), "\r\n\r\n");
    const auto post = test::httpRoundTrip(query, "POST /codec HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u);

    EXPECT_EQ(recorder.terminate(), 0);
}

TEST_F(RemoteControlTest, SettingsSurviveARestart) {
    {
        test::RecorderProgram recorder(ZARVO_RECORDER);
        ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
        test::sendDatagram(
            recorder.oscPort,
            test::OSCBundle({OSCMessage("/codec", {std::string("HEVC")}),
                             OSCMessage("/fps", {std::string("29.97")}),
                             OSCMessage("/width", {1280}), OSCMessage("/gap", {4.6f}),
                             OSCMessage("/performance", {1})}));
        ASSERT_TRUE(waitForValue(recorder.queryPort, "/performance", 1)) << recorder.output();
        EXPECT_EQ(recorder.terminate(), 0);
    }
    test::RecorderProgram again(ZARVO_RECORDER);
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
    test::RecorderProgram recorder(ZARVO_RECORDER);
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    EXPECT_EQ(recorder.oscPort, firstPort_ + 1);
    EXPECT_EQ(recorder.queryPort, firstPort_ + 21);
    const auto info = test::httpGetJson(recorder.queryPort, "/?HOST_INFO");
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["OSC_PORT"], firstPort_ + 1);

    // Messages reach the port it took.
    send(recorder.oscPort, OSCMessage("/name", {std::string("Fallback")}));
    EXPECT_TRUE(waitForValue(recorder.queryPort, "/name", "Fallback"));
    EXPECT_EQ(recorder.terminate(), 0);
}

TEST_F(RemoteControlTest, MalformedDatagramsDuringATakeCostNoFrame) {
    test::ChildProcess pattern(
        {ZARVO_TEST_SOURCE, "--name", "Test Pattern", "--size", "320x180", "--fps", "30"});
    ASSERT_TRUE(pattern.started());
    test::RecorderProgram recorder(ZARVO_RECORDER);
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    test::sendDatagram(recorder.oscPort,
                       test::OSCBundle({OSCMessage("/folder", {movies().string()}),
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
        test::sendDatagram(recorder.oscPort, junk[sent++ % junk.size()]);
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

// --- The MCP server against the running recorder ----------------------------------------------

// The zarvo-recorder-mcp program as an assistant's host runs it: one request per line on its
// standard input, one answer per line on its standard output.
class McpSession {
  public:
    McpSession() : process_({ZARVO_MCP_PROGRAM}) {}

    json request(const std::string& method, const json& params = json::object()) {
        process_.writeLine(
            json{{"jsonrpc", "2.0"}, {"id", ++id_}, {"method", method}, {"params", params}}.dump());
        const std::string line = process_.readLine(60);
        auto answer = json::parse(line, nullptr, false);
        return answer.is_discarded() ? json() : answer;
    }

    // A tool's result: its text, and whether it is an error.
    struct ToolAnswer {
        bool isError = true;
        std::string text;
        // The status document: the text itself, or what follows its first line feed.
        json document() const {
            auto whole = json::parse(text, nullptr, false);
            if (!whole.is_discarded()) {
                return whole;
            }
            const size_t newline = text.find('\n');
            return newline == std::string::npos
                       ? json()
                       : json::parse(text.substr(newline + 1), nullptr, false);
        }
    };
    ToolAnswer call(const std::string& tool, const json& arguments = json::object()) {
        const json answer = request("tools/call", {{"name", tool}, {"arguments", arguments}});
        ToolAnswer result;
        if (answer.contains("result")) {
            result.isError = answer["result"].value("isError", false);
            result.text = answer["result"]["content"][0].value("text", "");
        }
        return result;
    }

  private:
    test::ChildProcess process_;
    int id_ = 0;
};

class McpEndToEndTest : public RemoteControlTest {};

TEST_F(McpEndToEndTest, ConfiguresStartsAndStopsTheRecorder) {
    TwoTestSources sources;
    ASSERT_TRUE(sources.pattern.started() && sources.second.started());
    test::RecorderProgram recorder(ZARVO_RECORDER);
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();

    McpSession mcp;
    const json hello = mcp.request("initialize", {{"protocolVersion", "2024-11-05"}});
    EXPECT_EQ(hello["result"]["serverInfo"]["version"], "dev");

    json status;
    ASSERT_TRUE(test::waitFor(
        [&] {
            status = mcp.call("recorder_status").document();
            return status.is_object() && status["sourcesAvailable"].size() == 2;
        },
        20))
        << status.dump();
    EXPECT_EQ(status["state"], "idle");
    EXPECT_EQ(status["sources"], json::array());
    // Local sources are listed in the order the sharing layer finds them.
    std::set<json> available(status["sourcesAvailable"].begin(), status["sourcesAvailable"].end());
    EXPECT_EQ(available,
              std::set<json>({{{"title", "Test Pattern - zarvo-test-source"}, {"kind", "syphon"}},
                              {{"title", "Second - zarvo-test-source"}, {"kind", "syphon"}}}));
    EXPECT_EQ(status["ndi"], false);
    EXPECT_EQ(status["version"], "dev");

    // A title that matches nothing changes nothing.
    const auto missing = mcp.call("recorder_configure", {{"sources", {"balcony"}}});
    EXPECT_TRUE(missing.isError);
    EXPECT_EQ(missing.text, "There is no source called \u201Cbalcony\u201D. Available: " +
                                status["sourcesAvailable"][0]["title"].get<std::string>() + ", " +
                                status["sourcesAvailable"][1]["title"].get<std::string>() +
                                ". Nothing was changed.");

    // The recorder keeps whole pixels: a width of 2.7 is stored as 2, which is not taken as
    // the 3 asked for.
    const auto rounded = mcp.call("recorder_configure", {{"width", 2.7}});
    EXPECT_TRUE(rounded.isError);
    EXPECT_EQ(rounded.text.rfind("Some settings were not taken as given (the recorder's values "
                                 "are in notApplied)",
                                 0),
              0u)
        << rounded.text;
    EXPECT_EQ(rounded.document()["notApplied"], json({{"width", 2}}));

    const auto configured = mcp.call("recorder_configure", {{"sources", {"pattern", "second"}},
                                                            {"codec", "HEVC"},
                                                            {"output", "both"},
                                                            {"layout", "row"},
                                                            {"width", 0},
                                                            {"folder", movies().string()},
                                                            {"name", "Assistant"}});
    ASSERT_FALSE(configured.isError) << configured.text;
    status = configured.document();
    EXPECT_EQ(status["settings"]["codec"], "hevc");
    ASSERT_EQ(status["sources"].size(), 2u);
    EXPECT_EQ(status["sources"][1]["title"], "Second - zarvo-test-source");
    EXPECT_EQ(status["sources"][1]["place"], 2);
    ASSERT_TRUE(test::waitFor(
        [&] { return mcp.call("recorder_status").document()["sources"][1]["online"] == true; },
        20));

    const auto started = mcp.call("recorder_start");
    ASSERT_FALSE(started.isError) << started.text;
    EXPECT_EQ(started.document()["state"], "recording");
    const auto again = mcp.call("recorder_start");
    EXPECT_TRUE(again.isError);
    EXPECT_EQ(again.text.rfind("A recording is already in progress. Stop it first.\n", 0), 0u);

    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto stopped = mcp.call("recorder_stop");
    ASSERT_FALSE(stopped.isError) << stopped.text;
    status = stopped.document();
    EXPECT_EQ(status["state"], "idle");
    EXPECT_EQ(status["failure"], "");
    const auto notRecording = mcp.call("recorder_stop");
    EXPECT_TRUE(notRecording.isError);
    EXPECT_EQ(notRecording.text.rfind("There is no recording in progress.\n", 0), 0u);

    const std::string assembled = status["assembled"]["file"];
    EXPECT_EQ(fs::path(assembled).filename(), "Assistant.mov");
    const test::MovieProbe movie = test::MovieProbe::read(assembled);
    ASSERT_TRUE(movie.picture) << movie.error;
    EXPECT_EQ(movie.picture->codec, "hevc");
    EXPECT_EQ(movie.picture->width, 320 + 240);  // 160×120 drawn at 180 high beside 320×180
    EXPECT_EQ(movie.picture->height, 180);
    EXPECT_EQ(status["assembled"]["frames"], movie.picture->times.size());
    for (const auto& place : status["sources"]) {
        const test::MovieProbe own = test::MovieProbe::read(place["file"].get<std::string>());
        ASSERT_TRUE(own.picture) << place.dump();
        EXPECT_EQ(own.picture->width, place["width"]);
        EXPECT_GE(own.picture->times.size(), 30u);
    }
    EXPECT_EQ(recorder.terminate(), 0) << recorder.output();
}

TEST_F(McpEndToEndTest, PassesOverAnotherProgramOnThePreferredPort) {
    // Another program's OSCQuery server holds the port the MCP server tries first, so the
    // recorder takes the next one.
    RunLoop loop;
    OSCQueryServer other(loop);
    other.setServerName("Lighting Desk");
    other.setOscPort(firstPort_);
    ASSERT_TRUE(other.startOnPort(firstPort_ + 20));
    test::RecorderProgram recorder(ZARVO_RECORDER);
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    ASSERT_EQ(recorder.queryPort, firstPort_ + 21);

    McpSession mcp;
    const auto status = mcp.call("recorder_status");
    ASSERT_FALSE(status.isError) << status.text;
    EXPECT_EQ(status.document()["state"], "idle");
    EXPECT_EQ(recorder.terminate(), 0);

    // Once the recorder has gone, the assistant is told how to bring it back.
    const auto gone = mcp.call("recorder_status");
    EXPECT_TRUE(gone.isError);
    EXPECT_EQ(gone.text, "ZarvoRecorder is not running, or its OSCQuery server is not on ports " +
                             std::to_string(firstPort_ + 20) + "\u2013" +
                             std::to_string(firstPort_ + 35) +
                             ". Launch the app and retry (set ZARVO_OSCQUERY_PORT if it uses "
                             "another port).");
}

}  // namespace
}  // namespace zarvo
