#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <future>
#include <limits>
#include <set>

#include "engine/RecorderController.h"
#include "engine/Timecode.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "remote/OSCQueryServer.h"
#include "sources/CompositeDirectory.h"
#include "tests/support/FakeSources.h"
#include "tests/support/Loopback.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using nlohmann::json;
using test::FakeDirectory;
using test::TestFolder;

class RecorderParametersTest : public ::testing::Test {
  protected:
    RecorderParametersTest() {
        cameras_->setTitles({"Camera 1", "Camera 2", "Stage Left"}, false);
        ndi_->setTitles({"DESK (Main)", "DESK (Wide)"}, false);
        controller_ = RecorderController::create(
            {.mainQueue = &loop_,
             .device = gpu::Device::systemDefault(),
             .directory = CompositeDirectory::create({cameras_, ndi_}),
             .computerSound = nullptr,
             .defaults = std::make_shared<UserDefaults>(folder_ / "settings.json"),
             .notificationCenter = &center_,
             .queryServer = &server_});
        std::filesystem::create_directory(folder_ / "movies");
        controller_->setFolder((folder_ / "movies").string());
    }

    // Sends one message the way the receiver hands it over, and returns the error it left
    // (the empty string when it left none).
    std::string send(const std::string& address, std::vector<OSCArgument> arguments = {}) {
        const uint64_t before = controller_->errorCount();
        controller_->handleMessage(OSCMessage(address, std::move(arguments)));
        return controller_->errorCount() == before ? std::string() : controller_->error();
    }

    json value(const std::string& address) {
        const RecorderParameter* parameter = controller_->parameterForAddress(address);
        EXPECT_NE(parameter, nullptr) << address;
        if (!parameter || !parameter->get) {
            return nullptr;
        }
        const auto read = parameter->get();
        EXPECT_TRUE(read && read->is_array() && read->size() == 1) << address;
        return read ? read->at(0) : json();
    }

    json range(const std::string& address) {
        const RecorderParameter* parameter = controller_->parameterForAddress(address);
        return parameter && parameter->range ? parameter->range() : json();
    }

    RunLoop loop_;
    TestFolder folder_;
    NotificationCenter center_;
    OSCQueryServer server_{loop_};
    std::shared_ptr<FakeDirectory> cameras_ = std::make_shared<FakeDirectory>();
    std::shared_ptr<FakeDirectory> ndi_ = std::make_shared<FakeDirectory>(FrameSourceKind::NDI);
    std::shared_ptr<RecorderController> controller_;
};

TEST_F(RecorderParametersTest, TableHoldsEveryAddressOnceInItsOrder) {
    const auto& parameters = controller_->parameters();
    ASSERT_EQ(parameters.size(), 125u);
    std::set<std::string> addresses;
    for (const auto& parameter : parameters) {
        EXPECT_TRUE(addresses.insert(parameter.address).second) << parameter.address;
        EXPECT_FALSE(parameter.summary.empty()) << parameter.address;
    }
    EXPECT_EQ(parameters[0].address, "/source");
    EXPECT_EQ(parameters[8].address, "/source/8");
    EXPECT_EQ(parameters[9].address, "/record");
    EXPECT_EQ(parameters[13].address, "/marker");
    EXPECT_EQ(parameters[14].address, "/codec");
    EXPECT_EQ(parameters[42].address, "/status/markers");
    EXPECT_EQ(parameters[44].address, "/status/ndi/sources");
    EXPECT_EQ(parameters[45].address, "/status/source/1/online");
    EXPECT_EQ(parameters.back().address, "/status/source/8/soundwritten");

    // Access follows what each parameter offers; actions have no type.
    EXPECT_EQ(controller_->parameterForAddress("/codec")->access(), 3);
    EXPECT_EQ(controller_->parameterForAddress("/status/state")->access(), 1);
    const RecorderParameter* toggle = controller_->parameterForAddress("/record/toggle");
    EXPECT_EQ(toggle->access(), 2);
    EXPECT_FALSE(toggle->typeTags.has_value());
    EXPECT_EQ(controller_->parameterForAddress("/marker")->access(), 2);
    EXPECT_EQ(controller_->parameterForAddress("/marker")->typeTags, "s");
    EXPECT_EQ(controller_->parameterForAddress("/status/markers")->access(), 1);
    EXPECT_EQ(controller_->parameterForAddress("/source/3")->summary,
              "Source 3 to record: its title, or part of it. Empty for none: the sources after "
              "it move up.");
}

TEST_F(RecorderParametersTest, NumbersAreReadFromNumbersAndDecimalText) {
    EXPECT_EQ(send("/fps", {std::string("29.97")}), "");
    EXPECT_DOUBLE_EQ(controller_->fps(), 29.97);
    EXPECT_EQ(send("/fps", {std::string("  12.5 ")}), "");
    EXPECT_DOUBLE_EQ(controller_->fps(), 12.5);
    EXPECT_EQ(send("/fps", {500}), "");
    EXPECT_EQ(controller_->fps(), 240);
    EXPECT_EQ(value("/fps"), 240.0);

    EXPECT_EQ(send("/gap", {2.7f}), "");
    EXPECT_EQ(controller_->gap(), 2);
    EXPECT_EQ(send("/gap", {-2.7}), "");
    EXPECT_EQ(controller_->gap(), 0);
    EXPECT_EQ(send("/width", {int64_t{1} << 40}), "");
    EXPECT_EQ(controller_->width(), 16384);
    EXPECT_EQ(send("/height", {true}), "");
    EXPECT_EQ(controller_->height(), 1);

    // Not-a-number and the infinities are clamped like any other number, never undefined.
    EXPECT_EQ(send("/width", {std::numeric_limits<double>::quiet_NaN()}), "");
    EXPECT_EQ(controller_->width(), 0);
    EXPECT_EQ(send("/height", {-std::numeric_limits<float>::infinity()}), "");
    EXPECT_EQ(controller_->height(), 0);

    for (const std::string text : {"abc", "", "nan", "inf", "0x10", "12abc", "1 2"}) {
        EXPECT_EQ(send("/fps", {text}), "/fps expects a number") << text;
    }
    EXPECT_EQ(send("/bitrate"), "/bitrate expects a number");
    EXPECT_EQ(controller_->fps(), 240);
}

TEST_F(RecorderParametersTest, ChoicesAcceptTheirNamesInAnyCase) {
    EXPECT_EQ(send("/codec", {std::string("ProRes4444")}), "");
    EXPECT_EQ(controller_->codec(), "prores4444");
    EXPECT_EQ(send("/codec", {std::string("av1")}),
              "/codec \u201Cav1\u201D is not one of h264, hevc, prores422, prores4444");
    EXPECT_EQ(send("/codec"),
              "/codec \u201C\u201D is not one of h264, hevc, prores422, prores4444");
    EXPECT_EQ(send("/codec", {5}),
              "/codec \u201C5\u201D is not one of h264, hevc, prores422, prores4444");
    EXPECT_EQ(controller_->codec(), "prores4444");

    EXPECT_EQ(send("/output", {std::string("BOTH")}), "");
    EXPECT_EQ(controller_->output(), "both");
    EXPECT_EQ(send("/layout", {std::string("Grid")}), "");
    EXPECT_EQ(controller_->layout(), "grid");
    EXPECT_EQ(send("/layout", {std::string("diagonal")}),
              "/layout \u201Cdiagonal\u201D is not one of row, column, grid, focus");
    EXPECT_EQ(range("/output"), json::parse(R"([{"VALS":["separate","assembled","both"]}])"));

    EXPECT_EQ(send("/performance", {std::string("1")}), "");
    EXPECT_TRUE(controller_->performance());
    EXPECT_EQ(value("/performance"), 1);
    EXPECT_EQ(send("/performance", {std::string("yes")}), "/performance expects 1 or 0");
    EXPECT_EQ(send("/performance", {0.0f}), "");
    EXPECT_FALSE(controller_->performance());
}

TEST_F(RecorderParametersTest, PlacesAreChosenByTitle) {
    EXPECT_EQ(send("/source", {std::string("stage")}), "");
    EXPECT_EQ(send("/source/2", {std::string("camera 2")}), "");
    EXPECT_EQ(send("/source/3", {std::string("(wide)")}), "");
    EXPECT_EQ(value("/source"), "Stage Left");
    EXPECT_EQ(value("/source/1"), "Stage Left");
    EXPECT_EQ(value("/source/3"), "DESK (Wide)");
    EXPECT_EQ(value("/source/4"), "");

    // Emptying a place moves the ones after it up.
    EXPECT_EQ(send("/source/1", {std::string("")}), "");
    EXPECT_EQ(value("/source/1"), "Camera 2");
    EXPECT_EQ(value("/source/2"), "DESK (Wide)");

    EXPECT_EQ(send("/source/2", {3}),
              "/source/2 expects the title of a source, or an empty string");
    // A title that matches nothing is the controller's own error.
    EXPECT_EQ(send("/source/2", {std::string("balcony")}),
              "There is no source called \u201Cbalcony\u201D");

    EXPECT_EQ(range("/source/5"),
              json::parse(R"json([{"VALS":["Camera 1","Camera 2","Stage Left","DESK (Main)",
                                       "DESK (Wide)"]}])json"));
    EXPECT_EQ(value("/status/ndi/sources"), "DESK (Main)\nDESK (Wide)");
}

TEST_F(RecorderParametersTest, SoundIsChosenAmongPlacesAndComputer) {
    ASSERT_TRUE(controller_->addSourceMatching("Camera 1"));
    EXPECT_EQ(range("/sound"), json::parse(R"([{"VALS":["Camera 1","computer",""]}])"));
    EXPECT_EQ(send("/sound", {std::string("COMPUTER")}), "");
    EXPECT_EQ(value("/sound"), "computer");
    EXPECT_EQ(send("/sound", {std::string("cam")}), "");
    EXPECT_EQ(controller_->sound(), "Camera 1");
    EXPECT_EQ(send("/sound", {std::string("Stage")}),
              "/sound \u201CStage\u201D is not one of the sources chosen, nor computer");
    EXPECT_EQ(send("/sound", {1}),
              "/sound expects the title of a source chosen, computer, or an empty string");
    EXPECT_EQ(send("/sound", {std::string("")}), "");
    EXPECT_EQ(controller_->sound(), "");
}

TEST_F(RecorderParametersTest, StatusValuesOfMissingPlacesReadEmpty) {
    EXPECT_EQ(value("/status/assembled/width"), 0);
    EXPECT_EQ(value("/status/assembled/height"), 0);
    ASSERT_TRUE(controller_->addSourceMatching("Camera 1"));
    ASSERT_TRUE(controller_->addSourceMatching("DESK (Main)"));
    EXPECT_EQ(value("/status/source/3/kind"), "");
    EXPECT_EQ(value("/status/source/3/online"), 0);
    EXPECT_EQ(value("/status/source/3/fps"), 0);
    EXPECT_EQ(value("/status/source/2/kind"), "ndi");
    EXPECT_EQ(value("/status/source/1/kind"), "syphon");
    EXPECT_EQ(value("/status/source/1/online"), 0);  // a flag reads as an integer
    EXPECT_EQ(value("/status/state"), "idle");
    EXPECT_EQ(value("/status/version"), "dev");
    EXPECT_EQ(value("/status/ndi"), 0);

    ASSERT_TRUE(cameras_->lastSource("Camera 1")->deliverFrame(gpu::Texture::make(64, 36)));
    ASSERT_TRUE(ndi_->lastSource("DESK (Main)")->deliverFrame(gpu::Texture::make(32, 18)));
    EXPECT_EQ(value("/status/source/1/width"), 64);
    EXPECT_EQ(value("/status/source/2/height"), 18);
    // In a row every source takes the tallest height: 64 + 32 × 2.
    EXPECT_EQ(value("/status/assembled/width"), 128);
    EXPECT_EQ(value("/status/assembled/height"), 36);
}

TEST_F(RecorderParametersTest, WrongAddressesAndReadOnlyValuesAreErrors) {
    const uint64_t before = controller_->errorCount();
    EXPECT_EQ(send("/nope", {1}), "There is no OSC address \u201C/nope\u201D");
    EXPECT_EQ(send("/Codec", {std::string("hevc")}), "There is no OSC address \u201C/Codec\u201D");
    EXPECT_EQ(send("/status/state", {std::string("idle")}), "/status/state can only be read");
    EXPECT_EQ(controller_->errorCount(), before + 3);
    EXPECT_EQ(controller_->codec(), "h264");
}

TEST_F(RecorderParametersTest, RecordStartsAndStopsTheTake) {
    ASSERT_TRUE(controller_->addSourceMatching("Camera 1"));
    auto source = cameras_->lastSource("Camera 1");
    const auto texture = test::solidTexture(64, 36, {.b = 10, .g = 200, .r = 30});
    ASSERT_TRUE(source->deliverFrame(texture));

    EXPECT_EQ(send("/record", {std::string("go")}), "/record expects 1 to start or 0 to stop");
    EXPECT_EQ(send("/record", {0}), "");  // idle: nothing to stop
    EXPECT_EQ(controller_->state(), "idle");

    EXPECT_EQ(send("/record", {1}), "");
    EXPECT_EQ(controller_->state(), "recording");
    EXPECT_EQ(value("/record"), 1);
    EXPECT_EQ(send("/record", {1}), "");  // already recording: nothing happens
    EXPECT_EQ(send("/start"), "");
    for (int i = 0; i < 5; ++i) {
        source->deliverFrame(texture);
        loop_.runFor(0.02);
    }
    EXPECT_EQ(send("/record/toggle", {std::string("ignored")}), "");
    EXPECT_NE(controller_->state(), "recording");
    EXPECT_TRUE(loop_.runUntil([&] { return controller_->state() == "idle"; }, 10));
    EXPECT_EQ(value("/record"), 0);
    EXPECT_GE(value("/status/frames").get<int64_t>(), 1);
    EXPECT_EQ(value("/status/failure"), "");
    EXPECT_FALSE(value("/status/file").get<std::string>().empty());
}

TEST_F(RecorderParametersTest, MarkersNameMomentsOfATakeAndLandInItsTimeline) {
    EXPECT_EQ(send("/marker", {std::string("early")}), "There is no recording to mark");
    EXPECT_EQ(value("/status/markers"), 0);
    ASSERT_TRUE(controller_->addSourceMatching("Camera 1"));
    auto source = cameras_->lastSource("Camera 1");
    const auto texture = test::solidTexture(64, 36, {.b = 10, .g = 200, .r = 30});
    ASSERT_TRUE(source->deliverFrame(texture));
    controller_->setName("Gig");
    controller_->setFps(25);

    const ClockPair before = readClockPair();
    EXPECT_EQ(send("/record", {1}), "");
    const ClockPair after = readClockPair();
    std::vector<double> sent;
    for (int i = 0; i < 20; ++i) {
        source->deliverFrame(texture);
        loop_.runFor(0.02);
        if (i == 5) {
            sent.push_back(controller_->elapsed());
            EXPECT_EQ(send("/marker"), "");
        }
        if (i == 12) {
            sent.push_back(controller_->elapsed());
            EXPECT_EQ(send("/marker", {std::string("Chorus")}), "");
        }
    }
    EXPECT_EQ(send("/marker", {7}), "/marker expects the marker's name, or nothing");
    EXPECT_EQ(value("/status/markers"), 2);
    EXPECT_EQ(send("/stop"), "");
    EXPECT_EQ(send("/marker"), "There is no recording to mark") << "finishing is no take";
    ASSERT_TRUE(loop_.runUntil([&] { return controller_->state() == "idle"; }, 10));
    EXPECT_EQ(send("/marker"), "There is no recording to mark");
    EXPECT_EQ(value("/status/markers"), 2) << "the last take's markers";

    const auto timeline = json::parse(test::readFile(folder_ / "movies" / "Gig.otio"));
    const auto& markers = timeline.at("tracks").at("markers");
    ASSERT_EQ(markers.size(), 2u);
    EXPECT_EQ(markers[0].at("name"), "Marker 1");
    EXPECT_EQ(markers[1].at("name"), "Chorus");
    for (size_t i = 0; i < 2; ++i) {
        const auto& start = markers[i].at("marked_range").at("start_time");
        const double seconds = start.at("value").get<double>() / start.at("rate").get<double>();
        EXPECT_NEAR(seconds, sent[i], 0.1) << "on the timeline where it arrived";
        std::printf("marker %zu: arrived %.4f s into the take, on the timeline at %.4f s\n", i,
                    sent[i], seconds);
    }

    // The movie's timecode is the time of day when the take started, cut to its frame.
    const std::string label = test::MovieProbe::read(folder_ / "movies" / "Gig.mov").timecode;
    ASSERT_EQ(label.size(), 11u) << label;
    const double timecode = std::stoi(label.substr(0, 2)) * 3600 +
                            std::stoi(label.substr(3, 2)) * 60 + std::stoi(label.substr(6, 2)) +
                            std::stoi(label.substr(9, 2)) / 25.0;
    if (after.secondsOfDay > before.secondsOfDay) {  // not across midnight
        EXPECT_GE(timecode, before.secondsOfDay - 1 / 25.0 - 0.001);
        EXPECT_LE(timecode, after.secondsOfDay + 0.001);
        std::printf("take started between %.4f and %.4f s of the day; timecode %s = %.4f s\n",
                    before.secondsOfDay, after.secondsOfDay, label.c_str(), timecode);
    }
    EXPECT_EQ(timeline.at("tracks").at("children")[0].at("name"), "Camera 1");
}

// --- Over the network --------------------------------------------------------------------------

class RecorderNetworkTest : public RecorderParametersTest {
  protected:
    // Runs the request on another thread while the main loop serves the values it reads.
    template <typename Call>
    auto whileLoopRuns(Call call) {
        auto result = std::async(std::launch::async, call);
        loop_.runUntil(
            [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            20);
        return result.get();
    }

    std::optional<json> getJson(const std::string& target) {
        return whileLoopRuns(
            [&] { return test::httpGetJson(controller_->oscQueryPort(), target); });
    }

    // Sends an OSC message over UDP and runs the main loop until the condition holds.
    bool sendOSC(const OSCMessage& message, const std::function<bool()>& condition) {
        test::sendDatagram(controller_->oscPort(), message.packet());
        return loop_.runUntil(condition, 10);
    }
};

TEST_F(RecorderNetworkTest, PublishesTheParametersAndTakesOSC) {
    const long first = test::freePortRange(32);
    ASSERT_NE(first, 0);
    ASSERT_TRUE(controller_->startNetwork(first, first + 16, "ZarvoRecorder"));
    EXPECT_EQ(controller_->oscPort(), first);
    EXPECT_EQ(controller_->oscQueryPort(), first + 16);
    EXPECT_TRUE(controller_->queryServerStarted());

    const auto info = getJson("/?HOST_INFO");
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["NAME"], "ZarvoRecorder");
    EXPECT_EQ((*info)["OSC_PORT"], first);

    ASSERT_TRUE(sendOSC(OSCMessage("/fps", {25.0f}), [&] { return controller_->fps() == 25; }));
    const auto fps = getJson("/fps");
    ASSERT_TRUE(fps);
    EXPECT_EQ((*fps)["VALUE"], json::array({25.0}));
    EXPECT_EQ((*fps)["TYPE"], "f");
    EXPECT_EQ((*fps)["ACCESS"], 3);
    EXPECT_EQ((*fps)["RANGE"], json::parse(R"([{"MIN":0,"MAX":240}])"));

    const auto tree = getJson("/");
    ASSERT_TRUE(tree);
    EXPECT_EQ((*tree)["CONTENTS"]["status"]["CONTENTS"]["state"]["VALUE"], json::array({"idle"}));
    EXPECT_EQ((*tree)["CONTENTS"]["record"]["CONTENTS"]["toggle"]["ACCESS"], 2);
    EXPECT_FALSE((*tree)["CONTENTS"]["record"]["CONTENTS"]["toggle"].contains("VALUE"));

    // A refused message is the controller's error, visible over OSCQuery.
    const uint64_t errors = controller_->errorCount();
    ASSERT_TRUE(sendOSC(OSCMessage("/fps", {std::string("fast")}),
                        [&] { return controller_->errorCount() > errors; }));
    EXPECT_EQ((*getJson("/status/error?VALUE"))["VALUE"], json::array({"/fps expects a number"}));
}

TEST_F(RecorderNetworkTest, RangesFollowTheSourcesAndPlaces) {
    const long first = test::freePortRange(32);
    ASSERT_TRUE(controller_->startNetwork(first, first + 16, "ZarvoRecorder"));

    cameras_->setTitles({"Camera 1", "Balcony"});
    const auto source = getJson("/source/4?RANGE");
    ASSERT_TRUE(source);
    EXPECT_EQ((*source)["RANGE"][0]["VALS"],
              json::parse(R"json(["Camera 1","Balcony","DESK (Main)","DESK (Wide)"])json"));

    ASSERT_TRUE(controller_->addSourceMatching("Balcony"));
    const auto sound = getJson("/sound?RANGE");
    ASSERT_TRUE(sound);
    EXPECT_EQ((*sound)["RANGE"][0]["VALS"], json::parse(R"(["Balcony","computer",""])"));
}

TEST_F(RecorderNetworkTest, PortsInUseAreReportedAndStoppingFreesThem) {
    const long first = test::freePortRange(32);
    ASSERT_NE(first, 0);
    {
        std::vector<std::unique_ptr<test::PortBlocker>> blockers;
        for (long port = first; port < first + 16; ++port) {
            blockers.push_back(
                std::make_unique<test::PortBlocker>(test::PortBlocker::Kind::Udp, port));
        }
        EXPECT_FALSE(controller_->startNetwork(first, first + 16, "ZarvoRecorder"));
        EXPECT_EQ(controller_->error(), "OSC could not listen on UDP port " +
                                            std::to_string(first) + " or those which follow");
        EXPECT_EQ(controller_->oscPort(), 0);
    }
    {
        std::vector<std::unique_ptr<test::PortBlocker>> blockers;
        for (long port = first + 16; port < first + 32; ++port) {
            blockers.push_back(
                std::make_unique<test::PortBlocker>(test::PortBlocker::Kind::Tcp, port));
        }
        EXPECT_FALSE(controller_->startNetwork(first, first + 16, "ZarvoRecorder"));
        EXPECT_EQ(controller_->error(), "OSCQuery could not listen on TCP port " +
                                            std::to_string(first + 16) + " or those which follow");
        // OSC still listens.
        EXPECT_EQ(controller_->oscPort(), first);
        EXPECT_EQ(controller_->oscQueryPort(), 0);
        EXPECT_FALSE(controller_->queryServerStarted());
    }

    // A busy first port is passed over.
    {
        test::PortBlocker busy(test::PortBlocker::Kind::Tcp, first + 16);
        ASSERT_TRUE(controller_->startNetwork(first, first + 16, "ZarvoRecorder"));
        EXPECT_EQ(controller_->oscQueryPort(), first + 17);
    }
    controller_->stopNetwork();
    EXPECT_EQ(controller_->oscPort(), 0);
    EXPECT_EQ(controller_->oscQueryPort(), 0);
    EXPECT_FALSE(server_.isRunning());
    EXPECT_FALSE(test::httpRoundTrip(first + 17, "GET / HTTP/1.1\r\n\r\n").has_value());
    EXPECT_TRUE(test::PortBlocker(test::PortBlocker::Kind::Udp, first).holds());
}

}  // namespace
}  // namespace zarvo
