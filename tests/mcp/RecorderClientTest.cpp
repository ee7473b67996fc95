#include "mcp/RecorderClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "remote/OSCMessage.h"
#include "tests/mcp/FakeRecorderApp.h"
#include "tests/support/Loopback.h"

namespace zarvo::mcp {
namespace {

using json = nlohmann::json;
using test::CannedHttpServer;
using testing::FakeRecorderApp;
using testing::FakeRecorderState;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The message's address and arguments as text, for comparing whole sequences.
std::vector<std::string> described(const std::vector<OSCMessage>& messages) {
    std::vector<std::string> out;
    for (const OSCMessage& message : messages) {
        out.push_back(message.description());
    }
    return out;
}

// What a tool threw, or nothing.
template <typename Call>
std::optional<RecorderError> errorOf(Call call) {
    try {
        call();
    } catch (const RecorderError& error) {
        return error;
    }
    return std::nullopt;
}

// The JSON document following the first line of an error text.
json documentAfterFirstLine(const std::string& text) {
    const size_t newline = text.find('\n');
    return newline == std::string::npos ? json() : json::parse(text.substr(newline + 1));
}

FakeRecorderState twoCameras() {
    FakeRecorderState state;
    state.titles = {"Cam A", "Other", "Studio NDI"};
    state.ndiTitles = {"Studio NDI"};
    return state;
}

// ---- Finding the application ----

TEST(RecorderFind, PassesOverASilentPortAndAnotherProgramsServer) {
    const int first = static_cast<int>(test::freePortRange(3));
    test::PortBlocker silent(test::PortBlocker::Kind::Tcp, first);
    CannedHttpServer other(first + 1, CannedHttpServer::ok(R"({"NAME":"Mixer","OSC_PORT":9000})"));
    ASSERT_TRUE(silent.holds());
    ASSERT_TRUE(other.listening());
    FakeRecorderApp app(twoCameras(), first + 2);

    const auto began = std::chrono::steady_clock::now();
    const Recorder recorder = Recorder::find({"ZarvoRecorder", first, 16});
    const double took = secondsSince(began);

    EXPECT_EQ(recorder.queryPort(), app.httpPort());
    EXPECT_EQ(recorder.oscPort(), app.oscPort());
    // The silent port costs its whole host-information time-out, no more.
    EXPECT_GE(took, 0.45);
    EXPECT_LT(took, 2.0);
}

TEST(RecorderFind, UnreachableWhenNothingUsableAnswers) {
    EXPECT_STREQ(RecorderError::unreachable({}).what(),
                 "ZarvoRecorder is not running, or its OSCQuery server is not on ports "
                 "9231\u20139246. Launch the app and retry (set ZARVO_OSCQUERY_PORT if it uses "
                 "another port).");

    const int first = static_cast<int>(test::freePortRange(4));
    // The right name but an OSC port no application could have bound, a body that is not JSON,
    // and an answer that is not 200: none of them is the application.
    CannedHttpServer badPort(first,
                             CannedHttpServer::ok(R"({"NAME":"ZarvoRecorder","OSC_PORT":70000})"));
    CannedHttpServer notJson(first + 1, CannedHttpServer::ok("ZarvoRecorder"));
    CannedHttpServer noContent(first + 2, "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(badPort.listening() && notJson.listening() && noContent.listening());

    const auto error = errorOf([&] { Recorder::find({"ZarvoRecorder", first, 4}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), RecorderError::Kind::unreachable);
    EXPECT_EQ(std::string(error->what()),
              "ZarvoRecorder is not running, or its OSCQuery server is not on ports " +
                  std::to_string(first) + "\u2013" + std::to_string(first + 3) +
                  ". Launch the app and retry (set ZARVO_OSCQUERY_PORT if it uses another "
                  "port).");
}

TEST(RecorderHttp, OnlyA200WithJsonCounts) {
    FakeRecorderApp app(twoCameras(), static_cast<int>(test::freePortRange(1)));
    const int port = static_cast<int>(app.httpPort());
    const auto value = httpGet(port, "/source?VALUE", 2.0);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, json({{"VALUE", json::array({""})}}));
    EXPECT_FALSE(httpGet(port, "/source?UNIT", 2.0));  // 204
    EXPECT_FALSE(httpGet(port, "/nowhere", 2.0));      // 404
    EXPECT_FALSE(httpGet(0, "/", 2.0));
}

// ---- The wire format of the messages sent ----

TEST(RecorderOsc, EncodesIntegersFloatsAndPaddedStrings) {
    const auto bytes = encodeOscMessage("/abc", {int32_t{-2}, 29.97f, std::string("Cam")});
    // "/abc" fills four bytes, so four NULs follow; ",ifs" likewise.
    const std::vector<uint8_t> head = {'/', 'a', 'b', 'c', 0, 0, 0,    0,    ',',  'i',
                                       'f', 's', 0,   0,   0, 0, 0xFF, 0xFF, 0xFF, 0xFE};
    ASSERT_EQ(bytes.size(), head.size() + 4 + 4);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));

    const auto decoded = OSCMessage::messagesFromPacket(bytes);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0], OSCMessage("/abc", {int32_t{-2}, 29.97f, std::string("Cam")}));
}

// ---- Status ----

TEST(RecorderStatus, AssemblesPlacesSourcesAndSettings) {
    FakeRecorderState state = twoCameras();
    state.places = {"Cam A", "Studio NDI"};
    state.placeStatus = {{"1/kind", "syphon"},    {"1/online", 1},   {"1/width", 1920},
                         {"1/soundwritten", 2.5}, {"2/kind", "ndi"}, {"2/sound", 1}};
    state.values["/performance"] = 1;
    state.values["/width"] = 1280;
    FakeRecorderApp app(state, static_cast<int>(test::freePortRange(1)));
    const Recorder recorder =
        Recorder::find({"ZarvoRecorder", static_cast<int>(app.httpPort()), 1});

    const json status = recorder.status();
    ASSERT_EQ(status["sources"].size(), 2u);
    const json& first = status["sources"][0];
    EXPECT_EQ(first["place"], 1);
    EXPECT_EQ(first["title"], "Cam A");
    EXPECT_EQ(first["kind"], "syphon");
    EXPECT_EQ(first["online"], true);
    EXPECT_EQ(first["width"], 1920);
    EXPECT_EQ(first["sound"], false);
    EXPECT_EQ(first["soundWritten"], 2.5);
    EXPECT_EQ(status["sources"][1]["sound"], true);
    EXPECT_EQ(status["sourcesAvailable"],
              json::parse(R"([{"title":"Cam A","kind":"syphon"},{"title":"Other","kind":"syphon"},
                              {"title":"Studio NDI","kind":"ndi"}])"));
    EXPECT_EQ(status["settings"]["performance"], true);
    EXPECT_EQ(status["settings"]["width"], 1280);
    EXPECT_EQ(status["settings"]["codec"], "h264");
    EXPECT_EQ(status["ndi"], true);
    EXPECT_EQ(status["state"], "idle");
    // Addresses the application does not publish read as null.
    EXPECT_TRUE(status["assembled"]["file"].is_null());
    EXPECT_EQ(recorder.currentState(), std::make_pair(std::string("idle"), std::string()));
}

TEST(RecorderStatus, AToolCallGoesThroughLocateAndReturnsTheDocumentAsText) {
    FakeRecorderApp app(twoCameras(), static_cast<int>(test::freePortRange(1)));
    RecorderClientTools tools({"ZarvoRecorder", static_cast<int>(app.httpPort()), 1});
    const json result = callTool(tools, "recorder_status", json::object());
    EXPECT_EQ(result["isError"], false);
    const json document = json::parse(result["content"][0]["text"].get<std::string>());
    EXPECT_EQ(document["state"], "idle");
    EXPECT_EQ(document["sourcesAvailable"].size(), 3u);
}

// ---- Configuring ----

class RecorderConfigure : public ::testing::Test {
  protected:
    void SetUp() override { startApp(twoCameras()); }

    void startApp(FakeRecorderState state) {
        app.reset();
        app.emplace(std::move(state), static_cast<int>(test::freePortRange(1)));
        recorder.emplace(
            Recorder::find({"ZarvoRecorder", static_cast<int>(app->httpPort()), 1}, times));
    }

    RecorderTimes times = [] {
        RecorderTimes shortened;
        shortened.configureLimit = 0.3;  // the changes that never take are not waited for long
        shortened.startLimit = 0.5;
        shortened.stopLimit = 0.5;
        return shortened;
    }();
    std::optional<FakeRecorderApp> app;
    std::optional<Recorder> recorder;
};

TEST_F(RecorderConfigure, TitlesMatchByCaseInsensitivePartAndReplaceEveryPlace) {
    app->update([](FakeRecorderState& s) { s.places = {"Other", "Studio NDI"}; });
    const json notApplied = recorder->configure({{"sources", json::array({"cam"})}});
    EXPECT_EQ(notApplied, json::object());
    EXPECT_EQ(app->snapshot().places, std::vector<std::string>{"Cam A"});

    std::vector<std::string> expected(8, "/source/1 ");
    expected.push_back("/source/1 cam");
    expected.push_back("/source/2 ");
    EXPECT_EQ(described(app->takeMessages()), expected);

    // "source" stands for a list of one.
    EXPECT_EQ(recorder->configure({{"source", "NDI"}}), json::object());
    EXPECT_EQ(app->snapshot().places, std::vector<std::string>{"Studio NDI"});
}

TEST_F(RecorderConfigure, AnEmptyListEmptiesEveryPlace) {
    app->update([](FakeRecorderState& s) { s.places = {"Other", "Cam A", "Studio NDI"}; });
    EXPECT_EQ(recorder->configure({{"sources", json::array()}}), json::object());
    EXPECT_TRUE(app->snapshot().places.empty());
    std::vector<std::string> expected(9, "/source/1 ");
    EXPECT_EQ(described(app->takeMessages()), expected);
}

TEST_F(RecorderConfigure, AnUnknownTitleChangesNothing) {
    const auto unknown = errorOf([&] {
        recorder->configure({{"sources", json::array({"Cam", "zzz"})}});
    });
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->kind(), RecorderError::Kind::failed);
    EXPECT_STREQ(unknown->what(),
                 "There is no source called \u201Czzz\u201D. Available: Cam A, Other, Studio NDI. "
                 "Nothing was changed.");

    startApp(FakeRecorderState{});  // no source at all
    const auto none = errorOf([&] { recorder->configure({{"source", "cam"}, {"fps", 25}}); });
    ASSERT_TRUE(none);
    EXPECT_STREQ(none->what(),
                 "There is no source called \u201C"
                 "cam"
                 "\u201D. Available: . Nothing was "
                 "changed.");
    EXPECT_TRUE(app->takeMessages().empty());
}

TEST_F(RecorderConfigure, EveryArgumentIsCheckedBeforeAnythingIsSent) {
    const std::vector<std::pair<json, std::string>> cases = {
        {{{"sources", json::array({"Cam", 3})}}, "sources must be a list of titles"},
        {{{"sources", "Cam"}}, "sources must be a list of titles"},
        {{{"sources", json(std::vector<std::string>(9, "Cam"))}},
         "no more than 8 sources can be recorded at once"},
        {{{"source", 1}}, "source must be a string"},
        {{{"sources", json::array({"Cam"})}, {"codec", 5}}, "codec must be a string"},
        {{{"fps", "25"}}, "fps must be a number"},
        {{{"width", true}}, "width must be a number"},
        {{{"layout", nullptr}}, "layout must be a string"},
        {{{"sources", json::array({"Cam"})}, {"performance", 1}},
         "performance must be true or false"},
        {{{"folder", 7}}, "folder must be a string"},
    };
    for (const auto& [arguments, text] : cases) {
        const auto error = errorOf([&] { recorder->configure(arguments); });
        ASSERT_TRUE(error) << arguments;
        EXPECT_EQ(error->kind(), RecorderError::Kind::badArguments) << arguments;
        EXPECT_EQ(error->what(), text) << arguments;
    }
    EXPECT_TRUE(app->takeMessages().empty());
    EXPECT_TRUE(app->snapshot().places.empty());
}

TEST_F(RecorderConfigure, SettingsAreSentWithTheirTypesAndCheckedWhenReadBack) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    const json notApplied = recorder->configure({{"codec", "ProRes4444"},
                                                 {"fps", 29.97},
                                                 {"gap", 4.4},
                                                 {"performance", true},
                                                 {"folder", "~/Movies"},
                                                 {"output", "Both"}});
    EXPECT_EQ(notApplied, json::object());
    EXPECT_EQ(
        described(app->takeMessages()),
        (std::vector<std::string>{"/codec ProRes4444", "/fps 29.97", "/output Both", "/gap 4",
                                  "/performance 1", "/folder " + std::string(home) + "/Movies"}));
    const auto& values = app->snapshot().values;
    EXPECT_EQ(values.at("/codec"), "prores4444");
    EXPECT_EQ(values.at("/performance"), 1);
}

TEST_F(RecorderConfigure, IntegersAreTruncatedAndClampedButExpectedRounded) {
    // 2.7 is sent as 2 yet 3 is expected, so the 2 the application stores is reported.
    EXPECT_EQ(recorder->configure({{"width", 2.7}}), json({{"width", 2}}));
    // Far beyond what any setting accepts: sent at the limit, and the application's own
    // clamped value comes back.
    EXPECT_EQ(recorder->configure({{"height", 5000000}}), json({{"height", 16384}}));
    const auto messages = app->takeMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], OSCMessage("/width", {int32_t{2}}));
    EXPECT_EQ(messages[1], OSCMessage("/height", {int32_t{1000000}}));
}

TEST_F(RecorderConfigure, TheToolReportsWhatDidNotTakeWithTheApplicationsError) {
    app->update(
        [](FakeRecorderState& s) { s.error = "/codec \u201Cav1\u201D is not one of h264"; });
    const auto error = errorOf([&] { recorder->configureTool({{"codec", "av1"}, {"gap", 2}}); });
    ASSERT_TRUE(error);
    const std::string text = error->what();
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "Some settings were not taken as given (the recorder's values are in notApplied): "
              "/codec \u201Cav1\u201D is not one of h264");
    const json status = documentAfterFirstLine(text);
    EXPECT_EQ(status["notApplied"], json({{"codec", "h264"}}));
    EXPECT_EQ(status["settings"]["gap"], 2);

    // Everything taken: the status itself.
    const json status2 = recorder->configureTool({{"layout", "grid"}});
    EXPECT_EQ(status2["settings"]["layout"], "grid");
    EXPECT_FALSE(status2.contains("notApplied"));
}

// ---- Starting and stopping ----

TEST_F(RecorderConfigure, StartRecordsWithTheSourcesGiven) {
    const json status = recorder->start({{"sources", json::array({"other"})}});
    EXPECT_EQ(status["state"], "recording");
    EXPECT_EQ(status["sources"][0]["title"], "Other");
    const auto messages = app->takeMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), OSCMessage("/record", {int32_t{1}}));
}

TEST_F(RecorderConfigure, StartWhileRecordingFailsWithoutSendingAnything) {
    app->update([](FakeRecorderState& s) { s.state = "recording"; });
    const auto error = errorOf([&] { recorder->start({{"sources", json::array({"Cam"})}}); });
    ASSERT_TRUE(error);
    const std::string text = error->what();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1),
              "A recording is already in progress. Stop it first.\n");
    EXPECT_EQ(documentAfterFirstLine(text)["state"], "recording");
    EXPECT_TRUE(app->takeMessages().empty());
}

TEST_F(RecorderConfigure, OnlyANewErrorMeansTheStartFailed) {
    app->update([](FakeRecorderState& s) {
        s.error = "an older error";
        s.onRecord = FakeRecorderState::OnRecord::ignore;
    });
    const auto timedOut = errorOf([&] { recorder->start(json::object()); });
    ASSERT_TRUE(timedOut);
    const std::string text = timedOut->what();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "The recording did not start.\n");
    EXPECT_EQ(documentAfterFirstLine(text)["error"], "an older error");

    app->update([](FakeRecorderState& s) { s.onRecord = FakeRecorderState::OnRecord::refuse; });
    const auto refused = errorOf([&] { recorder->start(json::object()); });
    ASSERT_TRUE(refused);
    EXPECT_STREQ(refused->what(), "The recording did not start: No source is chosen");
}

TEST_F(RecorderConfigure, StartStopsShortWhenSettingsDoNotTake) {
    const auto error = errorOf([&] { recorder->start({{"codec", "av1"}}); });
    ASSERT_TRUE(error);
    const std::string text = error->what();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1),
              "Not started: some settings were not taken as given.\n");
    EXPECT_EQ(documentAfterFirstLine(text)["notApplied"], json({{"codec", "h264"}}));
    EXPECT_EQ(app->snapshot().state, "idle");
    for (const OSCMessage& message : app->takeMessages()) {
        EXPECT_NE(message.address(), "/record");
    }
}

TEST_F(RecorderConfigure, StopWaitsForTheMoviesToBeFinished) {
    const auto idle = errorOf([&] { recorder->stop(); });
    ASSERT_TRUE(idle);
    const std::string idleText = idle->what();
    EXPECT_EQ(idleText.substr(0, idleText.find('\n') + 1), "There is no recording in progress.\n");
    EXPECT_EQ(documentAfterFirstLine(idleText)["state"], "idle");
    EXPECT_TRUE(app->takeMessages().empty());

    app->update([](FakeRecorderState& s) { s.state = "recording"; });
    const json status = recorder->stop();
    EXPECT_EQ(status["state"], "idle");
    EXPECT_EQ(described(app->takeMessages()), std::vector<std::string>{"/record 0"});

    app->update([](FakeRecorderState& s) {
        s.state = "recording";
        s.failure = "The disk is full";
    });
    const auto failed = errorOf([&] { recorder->stop(); });
    ASSERT_TRUE(failed);
    const std::string text = failed->what();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1),
              "The recording stopped with an error: The disk is full\n");
    EXPECT_EQ(documentAfterFirstLine(text)["failure"], "The disk is full");
}

TEST_F(RecorderConfigure, StopGivesUpWhileTheMovieIsStillBeingFinished) {
    app->update([](FakeRecorderState& s) {
        s.state = "recording";
        s.finishes = false;
    });
    const auto began = std::chrono::steady_clock::now();
    const auto error = errorOf([&] { recorder->stop(); });
    const double took = secondsSince(began);
    ASSERT_TRUE(error);
    const std::string text = error->what();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "The movie is still being finished.\n");
    EXPECT_EQ(documentAfterFirstLine(text)["state"], "finishing");
    EXPECT_GE(took, times.stopLimit);
    EXPECT_LT(took, times.stopLimit + 1.0);
}

TEST(RecorderTilde, ExpandsOnlyALeadingTilde) {
    const std::string home = std::getenv("HOME");
    EXPECT_EQ(expandTilde("~"), home);
    EXPECT_EQ(expandTilde("~/a/b"), home + "/a/b");
    EXPECT_EQ(expandTilde("/a/~/b"), "/a/~/b");
    EXPECT_EQ(expandTilde("~no-such-user-here/x"), "~no-such-user-here/x");
}

}  // namespace
}  // namespace zarvo::mcp
