#include "engine/RecorderController.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "tests/support/FakeSources.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using test::FakeDirectory;
using test::FakeSoundSource;
using test::TestFolder;

std::vector<std::string> Titles(const std::vector<PlaceRef>& places) {
    std::vector<std::string> titles;
    for (const auto& place : places) {
        titles.push_back(place->title());
    }
    return titles;
}

class RecorderControllerTest : public ::testing::Test {
  protected:
    RecorderControllerTest() {
        directory_->setTitles({"Camera 1", "Camera 2", "Stage Left", "Stage Right"}, false);
    }

    std::shared_ptr<RecorderController> make() {
        return RecorderController::create({.mainQueue = &loop_,
                                           .device = gpu::Device::systemDefault(),
                                           .directory = directory_,
                                           .computerSound = sound_,
                                           .defaults = std::make_shared<UserDefaults>(file()),
                                           .notificationCenter = &center_});
    }

    std::filesystem::path file() const { return folder_ / "settings.json"; }

    // Counts change notifications posted by any controller on this test's centre.
    int changes() const { return changes_; }

    RunLoop loop_;
    TestFolder folder_;
    std::shared_ptr<FakeDirectory> directory_ = std::make_shared<FakeDirectory>();
    std::shared_ptr<FakeSoundSource> sound_ = std::make_shared<FakeSoundSource>();
    NotificationCenter center_;
    int changes_ = 0;
    ScopedObserver observer_{center_, kRecorderControllerDidChangeNotification, nullptr,
                             [this](const auto&) { ++changes_; }};
};

TEST_F(RecorderControllerTest, StartsWithDefaultSettings) {
    auto controller = make();
    EXPECT_EQ(controller->codec(), "h264");
    EXPECT_EQ(controller->width(), 0);
    EXPECT_EQ(controller->height(), 0);
    EXPECT_EQ(controller->fps(), 0);
    EXPECT_EQ(controller->bitrate(), 0);
    EXPECT_FALSE(controller->folder().empty());
    EXPECT_EQ(controller->name(), "");
    EXPECT_EQ(controller->output(), "separate");
    EXPECT_EQ(controller->layout(), "row");
    EXPECT_EQ(controller->gap(), 0);
    EXPECT_EQ(controller->sound(), "");
    EXPECT_FALSE(controller->performance());
    EXPECT_EQ(controller->state(), "idle");
    EXPECT_FALSE(controller->isRecording());
    EXPECT_TRUE(controller->places().empty());
    EXPECT_EQ(controller->availableSources().size(), 4u);
}

TEST_F(RecorderControllerTest, SettersClampAndNormalise) {
    auto controller = make();
    controller->setWidth(20000);
    EXPECT_EQ(controller->width(), 16384);
    controller->setHeight(-3);
    EXPECT_EQ(controller->height(), 0);
    controller->setFps(-5);
    EXPECT_EQ(controller->fps(), 0);
    controller->setFps(500);
    EXPECT_EQ(controller->fps(), 240);
    controller->setFps(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(controller->fps(), 0);
    controller->setBitrate(std::numeric_limits<double>::infinity());
    EXPECT_EQ(controller->bitrate(), 0);
    controller->setBitrate(25.5);
    EXPECT_EQ(controller->bitrate(), 25.5);
    controller->setGap(5000);
    EXPECT_EQ(controller->gap(), 1000);

    controller->setOutput("ASSEMBLED");
    EXPECT_EQ(controller->output(), "assembled");
    controller->setOutput("mosaic");
    EXPECT_EQ(controller->output(), "assembled");
    controller->setLayout("Grid");
    EXPECT_EQ(controller->layout(), "grid");
    EXPECT_EQ(controller->layoutKind(), 2);
    controller->setLayout("diagonal");
    EXPECT_EQ(controller->layout(), "grid");

    controller->setFolder("~/takes");
    EXPECT_EQ(controller->folder(), std::string(std::getenv("HOME")) + "/takes");
}

TEST_F(RecorderControllerTest, SoundSettingFollowsTheSoundChoice) {
    auto controller = make();
    ASSERT_TRUE(controller->addSourceMatching("Camera 1"));
    controller->setSound("Computer");
    EXPECT_EQ(controller->sound(), "computer");
    controller->setSound("cam");
    EXPECT_EQ(controller->sound(), "Camera 1");
    controller->setSound("Stage Left");  // available, but in no place
    EXPECT_EQ(controller->sound(), "Camera 1");
    controller->setSound("");
    EXPECT_EQ(controller->sound(), "");
}

TEST_F(RecorderControllerTest, EverySettingPostsOneChange) {
    auto controller = make();
    const int before = changes();
    controller->setCodec("hevc");
    controller->setWidth(1280);
    controller->setHeight(720);
    controller->setFps(30);
    controller->setBitrate(12);
    controller->setFolder("/tmp");
    controller->setName("Show");
    controller->setOutput("both");
    controller->setLayout("focus");
    controller->setGap(4);
    controller->setSound("computer");
    controller->setPerformance(true);
    controller->setNdiAvailable(true);
    EXPECT_EQ(changes() - before, 13);
    // A value the setter refuses changes nothing and announces nothing.
    controller->setOutput("mosaic");
    EXPECT_EQ(changes() - before, 13);
}

TEST_F(RecorderControllerTest, SettingsAndPlacesSurviveANewController) {
    {
        auto controller = make();
        controller->setCodec("prores4444");
        controller->setWidth(1920);
        controller->setHeight(1080);
        controller->setFps(29.97);
        controller->setBitrate(80);
        controller->setFolder("/tmp/zarvo takes");
        controller->setName("Opening night");
        controller->setOutput("both");
        controller->setLayout("column");
        controller->setGap(12);
        ASSERT_TRUE(controller->addSourceMatching("Stage Right"));
        ASSERT_TRUE(controller->addSourceMatching("Camera 2"));
        controller->setSound("stage right");
        controller->setPerformance(true);
        controller->setNdiAvailable(true);
        controller->defaults()->synchronize();
    }
    auto again = make();
    EXPECT_EQ(again->codec(), "prores4444");
    EXPECT_EQ(again->width(), 1920);
    EXPECT_EQ(again->height(), 1080);
    EXPECT_DOUBLE_EQ(again->fps(), 29.97);
    EXPECT_EQ(again->bitrate(), 80);
    EXPECT_EQ(again->folder(), "/tmp/zarvo takes");
    EXPECT_EQ(again->name(), "Opening night");
    EXPECT_EQ(again->output(), "both");
    EXPECT_EQ(again->layout(), "column");
    EXPECT_EQ(again->gap(), 12);
    EXPECT_EQ(again->sound(), "Stage Right");
    EXPECT_TRUE(again->performance());
    EXPECT_FALSE(again->ndiAvailable());  // learnt at startup, never stored
    EXPECT_EQ(Titles(again->places()), (std::vector<std::string>{"Stage Right", "Camera 2"}));
}

TEST_F(RecorderControllerTest, StoredValuesAreReadWithTheirRules) {
    test::writeFile(file(), R"({
        "RecorderCodec": "HEVC",
        "RecorderOutput": "mosaic",
        "RecorderLayout": 7,
        "RecorderGap": -40,
        "RecorderWidth": 99999,
        "RecorderFPS": "25",
        "RecorderSources": ["A", "", "B", 3, "C", "D", "E", "F", "G", "H", "I", "B"]
    })");
    auto controller = make();
    EXPECT_EQ(controller->codec(), "HEVC");  // known names are kept as written
    EXPECT_EQ(controller->output(), "separate");
    EXPECT_EQ(controller->layout(), "row");
    EXPECT_EQ(controller->gap(), 0);
    EXPECT_EQ(controller->width(), 16384);
    EXPECT_EQ(controller->fps(), 25);
    // Empty and non-text entries are skipped; at most eight places are made.
    EXPECT_EQ(Titles(controller->places()),
              (std::vector<std::string>{"A", "B", "C", "D", "E", "F", "G", "H"}));
}

TEST_F(RecorderControllerTest, GarbageSettingsFileGivesDefaultsAndIsKeptAside) {
    test::writeFile(file(), "\x01\x02 this is not a settings file {");
    auto controller = make();
    EXPECT_EQ(controller->codec(), "h264");
    EXPECT_TRUE(controller->places().empty());
    bool keptAside = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
        if (entry.path().filename().string().starts_with("settings.json.unreadable-")) {
            keptAside =
                test::readFile(entry.path()).find("not a settings file") != std::string::npos;
        }
    }
    EXPECT_TRUE(keptAside);
    controller->setName("after");
    controller->defaults()->synchronize();
    EXPECT_EQ(make()->name(), "after");
}

TEST_F(RecorderControllerTest, TitleMatching) {
    directory_->setTitles({"Camera 10", "Camera 1", "Main cam", "Caméra Est"}, false);
    auto controller = make();
    // An exact title wins over an earlier partial match.
    EXPECT_EQ(controller->titleMatching("Camera 1"), "Camera 1");
    // Among partial matches, the first available source wins; case does not matter.
    EXPECT_EQ(controller->titleMatching("cam"), "Camera 10");
    EXPECT_EQ(controller->titleMatching("MAIN"), "Main cam");
    EXPECT_EQ(controller->titleMatching("CAMÉRA"), "Caméra Est");

    const uint64_t errorsBefore = controller->errorCount();
    EXPECT_EQ(controller->titleMatching("Balcony"), std::nullopt);
    EXPECT_EQ(controller->error(), "There is no source called “Balcony”");
    EXPECT_EQ(controller->titleMatching(""), std::nullopt);
    EXPECT_EQ(controller->error(), "/source expects the title of a source");
    EXPECT_EQ(controller->errorCount(), errorsBefore + 2);
}

TEST_F(RecorderControllerTest, TitleMatchingStillNamesPlacesWhoseSourceWentAway) {
    auto controller = make();
    ASSERT_TRUE(controller->addSourceMatching("Stage Left"));
    directory_->setTitles({"Camera 1"});
    EXPECT_EQ(controller->titleMatching("stage"), "Stage Left");
    // Available sources come before the places that are no longer listed.
    directory_->setTitles({"Camera 1", "Backstage"});
    EXPECT_EQ(controller->titleMatching("stage"), "Backstage");
}

TEST_F(RecorderControllerTest, PlaceTitleAndSoundChoiceMatching) {
    auto controller = make();
    ASSERT_TRUE(controller->addSourceMatching("Camera 2"));
    ASSERT_TRUE(controller->addSourceMatching("Stage Left"));
    EXPECT_EQ(controller->placeTitleMatching("stage"), "Stage Left");
    EXPECT_EQ(controller->placeTitleMatching("Camera 1"), std::nullopt);  // listed, not placed
    EXPECT_EQ(controller->soundChoiceMatching(""), "");
    EXPECT_EQ(controller->soundChoiceMatching("COMPUTER"), "computer");
    EXPECT_EQ(controller->soundChoiceMatching("camera"), "Camera 2");
    EXPECT_EQ(controller->soundChoiceMatching("Balcony"), std::nullopt);
    EXPECT_EQ(controller->indexOfPlaceWithTitle("Stage Left"), 1u);
    EXPECT_EQ(controller->indexOfPlaceWithTitle("stage left"), kNotFound);
}

TEST_F(RecorderControllerTest, SourcesOfKeepsTheFirstOfEachTitle) {
    directory_->setTitles({"A", "B", "A", "C", "B"}, false);
    const auto sources = RecorderController::sourcesOf(*directory_);
    std::vector<std::string> titles;
    for (const auto& source : sources) {
        titles.push_back(source.title);
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"A", "B", "C"}));
}

TEST_F(RecorderControllerTest, AddingSources) {
    auto controller = make();
    EXPECT_TRUE(controller->addSourceMatching("cam"));
    EXPECT_TRUE(controller->addSourceMatching("Camera 1"));  // already placed: nothing changes
    EXPECT_EQ(Titles(controller->places()), (std::vector<std::string>{"Camera 1"}));
    EXPECT_FALSE(controller->addSourceMatching("Balcony"));
    EXPECT_EQ(controller->places().size(), 1u);

    directory_->setTitles({"1", "2", "3", "4", "5", "6", "7", "8", "9"});
    controller->defaults()->synchronize();
    auto full = make();
    full->removeSourceAtPlace(1);  // the place stored by the first controller
    ASSERT_TRUE(full->places().empty());
    for (int i = 1; i <= 8; ++i) {
        ASSERT_TRUE(full->addSourceMatching(std::to_string(i)));
    }
    EXPECT_FALSE(full->addSourceMatching("9"));
    EXPECT_EQ(full->error(), "No more than 8 sources can be recorded at once");
    EXPECT_EQ(full->places().size(), 8u);
}

TEST_F(RecorderControllerTest, SettingSourcesAtPlaces) {
    auto controller = make();
    ASSERT_TRUE(controller->addSourceMatching("Camera 1"));
    ASSERT_TRUE(controller->addSourceMatching("Camera 2"));
    // A place beyond the end appends, leaving no gap.
    ASSERT_TRUE(controller->setSourceMatching("Stage Left", 5));
    EXPECT_EQ(Titles(controller->places()),
              (std::vector<std::string>{"Camera 1", "Camera 2", "Stage Left"}));
    // A title already placed moves, keeping its connection; the others shift.
    const auto stage = controller->places()[2];
    ASSERT_TRUE(controller->setSourceMatching("Stage Left", 1));
    EXPECT_EQ(Titles(controller->places()),
              (std::vector<std::string>{"Stage Left", "Camera 1", "Camera 2"}));
    EXPECT_EQ(controller->places()[0], stage);
    // A new title replaces the place, whose source is let go of.
    const auto replacedSource = directory_->lastSource("Camera 1");
    ASSERT_TRUE(controller->setSourceMatching("Stage Right", 2));
    EXPECT_EQ(Titles(controller->places()),
              (std::vector<std::string>{"Stage Left", "Stage Right", "Camera 2"}));
    EXPECT_TRUE(replacedSource->stopped());
    // An empty title removes the place.
    ASSERT_TRUE(controller->setSourceMatching("", 1));
    EXPECT_EQ(Titles(controller->places()), (std::vector<std::string>{"Stage Right", "Camera 2"}));

    EXPECT_FALSE(controller->setSourceMatching("Camera 1", 0));
    EXPECT_EQ(controller->error(), "There are places 1 to 8");
    EXPECT_FALSE(controller->setSourceMatching("Camera 1", 9));
    EXPECT_FALSE(controller->setSourceMatching("Balcony", 1));
    EXPECT_EQ(controller->error(), "There is no source called “Balcony”");
}

TEST_F(RecorderControllerTest, RemovingAndMovingPlaces) {
    auto controller = make();
    for (const char* title : {"Camera 1", "Camera 2", "Stage Left", "Stage Right"}) {
        ASSERT_TRUE(controller->addSourceMatching(title));
    }
    controller->removeSourceAtPlace(2);
    EXPECT_EQ(Titles(controller->places()),
              (std::vector<std::string>{"Camera 1", "Stage Left", "Stage Right"}));
    controller->removeSourceAtPlace(0);
    controller->removeSourceAtPlace(4);
    EXPECT_EQ(controller->places().size(), 3u);

    EXPECT_TRUE(controller->moveSourceFromPlace(1, 3));
    EXPECT_EQ(Titles(controller->places()),
              (std::vector<std::string>{"Stage Left", "Stage Right", "Camera 1"}));
    EXPECT_TRUE(controller->moveSourceFromPlace(3, 8));  // beyond the end: to the end
    EXPECT_EQ(Titles(controller->places()),
              (std::vector<std::string>{"Stage Left", "Stage Right", "Camera 1"}));
    EXPECT_TRUE(controller->moveSourceFromPlace(3, 1));
    EXPECT_EQ(Titles(controller->places()),
              (std::vector<std::string>{"Camera 1", "Stage Left", "Stage Right"}));
    for (auto [from, to] : {std::pair{0, 1}, {1, 0}, {4, 1}}) {
        EXPECT_FALSE(controller->moveSourceFromPlace(from, to));
        EXPECT_EQ(controller->error(), "There is no source in that place");
    }
}

TEST_F(RecorderControllerTest, PlacesCannotChangeWhileRecordingOrFinishing) {
    auto controller = make();
    ASSERT_TRUE(controller->addSourceMatching("Camera 1"));
    ASSERT_TRUE(controller->addSourceMatching("Camera 2"));
    for (const char* state : {"recording", "finishing"}) {
        controller->setState(state);
        EXPECT_TRUE(controller->isRecording());
        const uint64_t errors = controller->errorCount();
        EXPECT_FALSE(controller->addSourceMatching("Stage Left"));
        EXPECT_FALSE(controller->setSourceMatching("Stage Left", 1));
        EXPECT_FALSE(controller->moveSourceFromPlace(1, 2));
        controller->removeSourceAtPlace(1);
        EXPECT_EQ(controller->error(), "The sources cannot be changed while recording");
        EXPECT_EQ(controller->errorCount(), errors + 4);
        EXPECT_EQ(Titles(controller->places()), (std::vector<std::string>{"Camera 1", "Camera 2"}));
    }
}

TEST_F(RecorderControllerTest, EditsArePersistedAndAnnounced) {
    auto controller = make();
    const int before = changes();
    ASSERT_TRUE(controller->addSourceMatching("Camera 1"));
    ASSERT_TRUE(controller->addSourceMatching("Camera 2"));
    ASSERT_TRUE(controller->moveSourceFromPlace(2, 1));
    EXPECT_GE(changes() - before, 3);
    controller->defaults()->synchronize();
    const auto stored = UserDefaults(file()).arrayForKey("RecorderSources");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(*stored, nlohmann::json({"Camera 2", "Camera 1"}));
}

TEST_F(RecorderControllerTest, ErrorsAreCountedOnlyWhenNotEmpty) {
    auto controller = make();
    controller->setError("Something went wrong");
    controller->setError("");
    controller->setError("Again");
    EXPECT_EQ(controller->errorCount(), 2u);
    EXPECT_EQ(controller->error(), "Again");
    EXPECT_FALSE(controller->failWithError("Third"));
    EXPECT_EQ(controller->errorCount(), 3u);
}

TEST_F(RecorderControllerTest, PlacesConnectToListedSourcesAndLetGoOfVanishedOnes) {
    test::writeFile(file(), R"({"RecorderSources": ["Camera 1", "Balcony"]})");
    auto controller = make();
    const auto& places = controller->places();
    ASSERT_EQ(places.size(), 2u);
    ASSERT_NE(places[0]->source, nullptr);
    EXPECT_TRUE(places[0]->kindKnown);
    EXPECT_EQ(places[0]->kindName(), "syphon");
    EXPECT_GT(places[0]->checkTime, 0);
    EXPECT_EQ(places[1]->source, nullptr);  // not listed: never asked for
    EXPECT_EQ(directory_->connectRequests(), (std::vector<std::string>{"Camera 1"}));

    // The balcony camera appears: the directory's change connects it.
    directory_->setTitles({"Camera 1", "Balcony"});
    ASSERT_NE(places[1]->source, nullptr);
    EXPECT_EQ(controller->availableSources().size(), 2u);

    // Camera 1 vanishes: its place lets go of its source but keeps its kind.
    const auto camera = directory_->lastSource("Camera 1");
    directory_->setTitles({"Balcony"});
    EXPECT_TRUE(camera->stopped());
    EXPECT_EQ(places[0]->source, nullptr);
    EXPECT_EQ(places[0]->kindName(), "syphon");
}

TEST_F(RecorderControllerTest, ConnectedSourceFeedsItsPlace) {
    auto controller = make();
    ASSERT_TRUE(controller->addSourceMatching("Camera 1"));
    const auto place = controller->places()[0];
    const auto source = directory_->lastSource("Camera 1");
    ASSERT_NE(source, nullptr);
    const auto texture = gpu::Texture::make(64, 48);
    ASSERT_TRUE(source->deliverFrame(texture));
    const auto state = place->frameState();
    EXPECT_EQ(state.latestFrame, texture);
    EXPECT_TRUE(state.flipped);  // the fake directory's sources are stored upside down
    EXPECT_EQ(state.width, 64);
    EXPECT_EQ(state.height, 48);
    EXPECT_EQ(state.frameCount, 1u);
    EXPECT_GT(state.lastFrameTime, 0);

    auto sound = SourceSound::silenceOfFrameCount(480, 48000);
    ASSERT_TRUE(source->deliverSound(sound));
    EXPECT_GT(place->lastSoundTime(), 0);
    EXPECT_TRUE(place->hasSound());

    // A removed place is gone: its callbacks find nothing to feed.
    controller->removeSourceAtPlace(1);
    EXPECT_TRUE(source->stopped());
}

TEST_F(RecorderControllerTest, CallbacksDoNotKeepPlacesAlive) {
    auto controller = make();
    ASSERT_TRUE(controller->addSourceMatching("Camera 1"));
    std::weak_ptr<RecorderPlace> weakPlace = controller->places()[0];
    const auto handler = directory_->lastSource("Camera 1")->frameHandler();
    controller->removeSourceAtPlace(1);
    EXPECT_TRUE(weakPlace.expired());
    handler(gpu::Texture::make(4, 4));  // a late frame after the place is gone does nothing
}

TEST_F(RecorderControllerTest, DestructionStopsSourcesAndDetachesFromTheDirectory) {
    auto controller = make();
    ASSERT_TRUE(controller->addSourceMatching("Camera 1"));
    const auto source = directory_->lastSource("Camera 1");
    controller.reset();
    EXPECT_TRUE(source->stopped());
    EXPECT_GE(sound_->stopCount(), 1);
    EXPECT_FALSE(directory_->changeHandler());
    directory_->setTitles({"Camera 2"});  // nothing left to call
}

TEST(RecorderVersionTest, VersionComesFromAnInstalledCopyOnly) {
    const nlohmann::json info = {{"CFBundleShortVersionString", "1.4.2"}};
    EXPECT_EQ(RecorderController::versionOfBundle("/opt/ZarvoRecorder.app", info), "1.4.2");
    EXPECT_EQ(RecorderController::versionOfBundle("/opt/ZarvoRecorder.app/", info), "1.4.2");
    EXPECT_EQ(RecorderController::versionOfBundle("/opt/ZarvoRecorder", info), "dev");
    EXPECT_EQ(RecorderController::versionOfBundle("/opt/ZarvoRecorder.app",
                                                  {{"CFBundleShortVersionString", "@VERSION@"}}),
              "dev");
    EXPECT_EQ(RecorderController::versionOfBundle("/opt/ZarvoRecorder.app",
                                                  {{"CFBundleShortVersionString", ""}}),
              "dev");
    EXPECT_EQ(RecorderController::versionOfBundle("/opt/ZarvoRecorder.app",
                                                  {{"CFBundleShortVersionString", 3}}),
              "dev");
    // The package manager's folder has no ".app" in its name; its marker file makes it a copy.
    TestFolder package;
    EXPECT_EQ(RecorderController::versionOfBundle(package.path().string(), info), "dev");
    std::ofstream(package / "installed-by-package").close();
    EXPECT_EQ(RecorderController::versionOfBundle(package.path().string(), info), "1.4.2");
    // The test program does not run from an installed copy.
    EXPECT_EQ(RecorderController::version(), "dev");
}

}  // namespace
}  // namespace zarvo
