// The recorder controller's recording lifecycle: starting and stopping takes, the movies they
// write, sound routing, movie failures, the status values and the watch over quiet sources.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "engine/RecorderController.h"
#include "platform/HostClock.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "sources/CompositeDirectory.h"
#include "tests/support/ControllerSetup.h"
#include "tests/support/FakeSources.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/TestFolder.h"
#include "tests/support/Ticker.h"

namespace zarvo {
namespace {

using test::FakeDirectory;
using test::FakeFrameSource;
using test::FakeSoundSource;
using test::MovieProbe;
using test::TestFolder;
using test::Ticker;

constexpr double kPatience = 30;  // seconds; for what must happen eventually

// Sources and the computer deliver 20 ms of sound a tick.
constexpr std::chrono::milliseconds kTick{20};

// A source's thread: a frame of the size every tick and, with a frequency, 20 ms of that tone.
std::unique_ptr<Ticker> Feed(std::shared_ptr<FakeFrameSource> source, int64_t width, int64_t height,
                             double toneFrequency = 0) {
    const auto texture = test::solidTexture(width, height, {.b = 40, .g = 120, .r = 200});
    auto soundFrame = std::make_shared<uint64_t>(0);
    return std::make_unique<Ticker>(
        [source = std::move(source), texture, toneFrequency, soundFrame] {
            source->deliverFrame(texture);
            if (toneFrequency > 0) {
                source->deliverSound(test::toneSound(960, 48000, toneFrequency, 0.5, *soundFrame));
                *soundFrame += 960;
            }
        },
        kTick);
}

// The frequency of the tone in a sound track, measured over its 10 ms windows that are loud
// (so that gaps of silence do not count). 0 when no window is loud.
double ToneFrequency(const std::vector<float>& samples) {
    constexpr size_t kWindow = 480;
    double total = 0;
    int windows = 0;
    for (size_t begin = 0; begin + kWindow <= samples.size(); begin += kWindow) {
        if (test::peak(samples, begin, begin + kWindow) > 0.25f) {
            total += test::risingCrossingsPerSecond(samples, begin, begin + kWindow, 48000);
            ++windows;
        }
    }
    return windows >= 10 ? total / windows : 0;
}

std::string LocalDate(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H.%M.%S", &local);
    return text;
}

class RecordingTest : public ::testing::Test {
  protected:
    RecordingTest() { directory_->setTitles({"Camera 1", "Camera 2"}, false); }

    std::shared_ptr<RecorderController> make(std::shared_ptr<SourceDirectory> directory = nullptr) {
        auto options = test::controllerOptions(loop_, directory ? std::move(directory) : directory_,
                                               settings_ / "settings.json", &center_);
        options.computerSound = sound_;
        auto controller = RecorderController::create(options);
        if (controller) {
            controller->setFolder(movies_.path().string());
            controller->setName("Take");
        }
        return controller;
    }

    // Adds the places and makes their monitor pictures small while they have no frames.
    std::shared_ptr<RecorderController> makeWithPlaces(const std::vector<std::string>& titles) {
        auto controller = make();
        for (const auto& title : titles) {
            EXPECT_TRUE(controller->addSourceMatching(title));
        }
        return controller;
    }

    bool waitFor(const std::function<bool()>& condition, double timeout = kPatience) {
        return loop_.runUntil(condition, timeout);
    }

    // Stops the take and runs the main queue until it has finished.
    bool finish(RecorderController& controller) {
        controller.stopWithCompletionHandler(nullptr);
        return waitFor([&] { return controller.state() == "idle"; });
    }

    // Runs the main queue until every place's frame size is known.
    bool waitForSizes(const RecorderController& controller) {
        return waitFor([&] {
            for (const auto& place : controller.places()) {
                if (place->width() < 1) {
                    return false;
                }
            }
            return true;
        });
    }

    // Runs the main queue until every movie of the take has written a few frames.
    bool waitForFrames(const RecorderController& controller, uint64_t count = 5) {
        return waitFor([&] {
            for (const auto& movie : controller.moviesOfTheTake()) {
                if (movie->framesWritten() < count) {
                    return false;
                }
            }
            return true;
        });
    }

    void goAwayDuringTake(bool stop);

    RunLoop loop_;
    TestFolder settings_;
    TestFolder movies_;
    std::shared_ptr<FakeDirectory> directory_ = std::make_shared<FakeDirectory>();
    std::shared_ptr<FakeSoundSource> sound_ = std::make_shared<FakeSoundSource>();
    NotificationCenter center_;
};

// --- Starting and stopping -----------------------------------------------------------------

TEST_F(RecordingTest, StartWithoutPlacesFails) {
    auto controller = make();
    controller->setRecordingError("An earlier take failed");
    const uint64_t errors = controller->errorCount();
    EXPECT_FALSE(controller->start());
    EXPECT_EQ(controller->error(), "No source is selected");
    EXPECT_EQ(controller->errorCount(), errors + 1);
    EXPECT_EQ(controller->recordingError(), "");
    EXPECT_EQ(controller->state(), "idle");
}

TEST_F(RecordingTest, StartFailingInTheTakeStaysIdleWithItsReason) {
    auto controller = makeWithPlaces({"Camera 1"});
    const auto missing = movies_ / "nowhere";
    controller->setFolder(missing.string());
    EXPECT_FALSE(controller->start());
    EXPECT_EQ(controller->error(), "The folder “" + missing.string() + "” does not exist");
    EXPECT_EQ(controller->state(), "idle");
    EXPECT_FALSE(controller->places()[0]->inTake);
    EXPECT_EQ(controller->places()[0]->takeIndex(), kNotFound);
    EXPECT_FALSE(sound_->running());
}

TEST_F(RecordingTest, StartWhileRecordingChangesNothing) {
    auto controller = makeWithPlaces({"Camera 1"});
    controller->setSound("computer");
    ASSERT_TRUE(controller->start());
    EXPECT_TRUE(sound_->running());
    const auto place = controller->places()[0];
    const auto movie = place->movie;
    ASSERT_NE(movie, nullptr);
    EXPECT_TRUE(place->inTake);
    EXPECT_EQ(place->takeIndex(), 0u);
    EXPECT_EQ(place->soundIndex(), 0u);
    EXPECT_EQ(place->file(), movie->url().string());

    controller->setError("Something else went wrong");
    EXPECT_TRUE(controller->start());
    EXPECT_EQ(controller->state(), "recording");
    EXPECT_EQ(place->movie, movie);
    EXPECT_EQ(controller->take()->movies(), std::vector<TakeMovieRef>{movie});
    EXPECT_EQ(controller->error(), "Something else went wrong");  // not cleared: no new take
    EXPECT_TRUE(finish(*controller));
}

TEST_F(RecordingTest, StopWhileIdleCallsTheHandlerAtOnce) {
    auto controller = make();
    int calls = 0;
    controller->stopWithCompletionHandler([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    controller->stopWithCompletionHandler(nullptr);
    controller->toggle();  // idle: starts, and fails without places
    EXPECT_EQ(controller->error(), "No source is selected");
    EXPECT_EQ(controller->state(), "idle");
}

TEST_F(RecordingTest, StopDuringFinishingWaitsForTheEndOfTheTake) {
    auto controller = makeWithPlaces({"Camera 1"});
    auto feed = Feed(directory_->lastSource("Camera 1"), 64, 36);
    controller->toggle();
    ASSERT_EQ(controller->state(), "recording");
    ASSERT_TRUE(waitForFrames(*controller, 2));

    std::vector<std::string> calls;
    controller->stopWithCompletionHandler([&] { calls.push_back("first " + controller->state()); });
    ASSERT_EQ(controller->state(), "finishing");
    EXPECT_TRUE(controller->isRecording());
    // Nothing reaches the take any more.
    EXPECT_EQ(controller->places()[0]->takeIndex(), kNotFound);
    EXPECT_EQ(controller->places()[0]->soundIndex(), kNotFound);

    EXPECT_FALSE(controller->start());
    EXPECT_EQ(controller->error(), "The previous recording is still being finished");
    controller->stopWithCompletionHandler(
        [&] { calls.push_back("second " + controller->state()); });
    controller->toggle();  // a stop with no handler
    EXPECT_TRUE(calls.empty());

    ASSERT_TRUE(waitFor([&] { return !calls.empty(); }));
    EXPECT_EQ(calls, (std::vector<std::string>{"first idle", "second idle"}));
    EXPECT_FALSE(controller->places()[0]->inTake);

    // Each stop handler runs once: a later take does not call them again.
    ASSERT_TRUE(controller->start());
    EXPECT_TRUE(waitForFrames(*controller, 1));
    EXPECT_TRUE(finish(*controller));
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(RecordingTest, ElapsedGrowsWhileRecordingAndIsFrozenAtStop) {
    auto controller = makeWithPlaces({"Camera 1"});
    auto feed = Feed(directory_->lastSource("Camera 1"), 64, 36);
    EXPECT_EQ(controller->elapsed(), 0);
    ASSERT_TRUE(controller->start());
    ASSERT_TRUE(waitFor([&] { return controller->elapsed() > 0.2; }));
    const double during = controller->elapsed();
    ASSERT_TRUE(waitFor([&] { return controller->elapsed() > during; }));

    controller->stopWithCompletionHandler(nullptr);
    const double atStop = controller->elapsed();
    EXPECT_GT(atStop, during);
    ASSERT_TRUE(waitFor([&] { return controller->state() == "idle"; }));
    EXPECT_EQ(controller->elapsed(), atStop);
    loop_.runFor(0.05);
    EXPECT_EQ(controller->elapsed(), atStop);
}

// The controller goes away while its take is recorded (stop is false) or being finished (stop is
// true); the main queue goes on. The movie is completed all the same.
void RecordingTest::goAwayDuringTake(bool stop) {
    auto controller = makeWithPlaces({"Camera 1"});
    auto feed = Feed(directory_->lastSource("Camera 1"), 64, 36);
    ASSERT_TRUE(controller->start());
    ASSERT_TRUE(waitForFrames(*controller, 3));
    const std::filesystem::path file = controller->places()[0]->file();
    if (stop) {
        controller->stopWithCompletionHandler(nullptr);
        ASSERT_EQ(controller->state(), "finishing");
    }
    controller.reset();
    feed->stop();

    ASSERT_TRUE(waitFor([&] {
        const auto probe = MovieProbe::read(file);
        return probe.opened && probe.picture && !probe.picture->times.empty();
    }));
    loop_.runFor(0.1);  // whatever the take still had to report
}

TEST_F(RecordingTest, ControllerGoingAwayMidTakeLeavesACompleteMovie) {
    goAwayDuringTake(false);
}

TEST_F(RecordingTest, ControllerGoingAwayWhileFinishingLeavesACompleteMovie) {
    goAwayDuringTake(true);
}

// --- Whole takes -----------------------------------------------------------------------------

class RecordingOutputTest : public RecordingTest,
                            public ::testing::WithParamInterface<std::string> {};

TEST_P(RecordingOutputTest, TakeWritesItsMovies) {
    const std::string output = GetParam();
    const bool separate = output != "assembled";
    const bool assembled = output != "separate";
    auto controller = makeWithPlaces({"Camera 1", "Camera 2"});
    controller->setOutput(output);
    controller->setGap(4);
    auto first = Feed(directory_->lastSource("Camera 1"), 64, 36);
    auto second = Feed(directory_->lastSource("Camera 2"), 32, 36);
    ASSERT_TRUE(waitForSizes(*controller));

    ASSERT_TRUE(controller->start());
    ASSERT_EQ(controller->state(), "recording");
    const auto& places = controller->places();
    const auto takeLayout = controller->picture()->takeLayout();
    EXPECT_EQ(takeLayout.has_value(), assembled);
    if (takeLayout) {
        // Two pictures of 36 rows side by side, four pixels apart.
        EXPECT_EQ(takeLayout->size(), (Size{100, 36}));
        EXPECT_EQ(controller->assembledLayout().size(), takeLayout->size());
    }
    EXPECT_EQ(controller->take()->movies().size(), separate ? 2u : 0u);
    EXPECT_EQ(controller->take()->assembledMovie() != nullptr, assembled);
    for (size_t i = 0; i < places.size(); ++i) {
        EXPECT_EQ(places[i]->inTake, separate);
        EXPECT_EQ(places[i]->movie != nullptr, separate);
        EXPECT_EQ(places[i]->takeIndex(), separate ? i : kNotFound);
        EXPECT_EQ(places[i]->soundIndex(), i);
    }
    ASSERT_TRUE(waitForFrames(*controller));
    EXPECT_TRUE(finish(*controller));
    first->stop();
    second->stop();

    EXPECT_EQ(controller->error(), "");
    EXPECT_EQ(controller->recordingError(), "");
    EXPECT_FALSE(controller->picture()->takeLayout().has_value());
    const int64_t widths[] = {64, 32};
    for (size_t i = 0; i < places.size(); ++i) {
        if (!separate) {
            EXPECT_EQ(places[i]->file(), "");
            EXPECT_EQ(places[i]->frames(), 0u);
            continue;
        }
        const auto& movie = places[i]->movie;
        EXPECT_EQ(places[i]->file(), movie->url().string());
        const auto probe = MovieProbe::read(movie->url());
        ASSERT_TRUE(probe.opened) << probe.error;
        ASSERT_TRUE(probe.picture.has_value());
        EXPECT_EQ(probe.picture->width, widths[i]);
        EXPECT_EQ(probe.picture->height, 36);
        EXPECT_GT(places[i]->frames(), 0u);
        EXPECT_EQ(probe.picture->times.size(), places[i]->frames());
    }
    if (assembled) {
        const auto movie = controller->take()->assembledMovie();
        EXPECT_EQ(controller->assembledFile(), movie->url().string());
        EXPECT_EQ(controller->file(), controller->assembledFile());
        EXPECT_EQ(controller->frames(), controller->assembledFrames());
        const auto probe = MovieProbe::read(movie->url());
        ASSERT_TRUE(probe.opened) << probe.error;
        ASSERT_TRUE(probe.picture.has_value());
        EXPECT_EQ(probe.picture->width, 100);
        EXPECT_EQ(probe.picture->height, 36);
        EXPECT_GT(controller->assembledFrames(), 0u);
        EXPECT_EQ(probe.picture->times.size(), controller->assembledFrames());
    } else {
        EXPECT_EQ(controller->assembledFile(), "");
        EXPECT_EQ(controller->assembledFrames(), 0u);
        EXPECT_EQ(controller->assembledDropped(), 0u);
        EXPECT_EQ(controller->assembledSoundWritten(), 0);
        EXPECT_EQ(controller->file(), places[0]->file());
        EXPECT_EQ(controller->frames(), places[0]->frames());
    }
    uint64_t dropped = controller->assembledDropped();
    for (const auto& place : places) {
        dropped += place->dropped();
    }
    EXPECT_EQ(controller->dropped(), dropped);
}

INSTANTIATE_TEST_SUITE_P(RecordingOutputs, RecordingOutputTest,
                         ::testing::Values("separate", "assembled", "both"),
                         [](const auto& output) { return output.param; });

TEST_F(RecordingTest, EmptyNameNamesTheTakeAfterItsDate) {
    auto controller = makeWithPlaces({"Camera 1"});
    controller->setName("");
    auto feed = Feed(directory_->lastSource("Camera 1"), 64, 36);
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(controller->start());
    const std::time_t after = std::time(nullptr);
    ASSERT_TRUE(waitForFrames(*controller, 1));
    ASSERT_TRUE(finish(*controller));

    const std::filesystem::path file = controller->places()[0]->file();
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(file.parent_path(), movies_.path());
    const std::string name = file.filename().string();
    EXPECT_TRUE(std::regex_match(
        name, std::regex(R"(ZarvoRecorder \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d\.mov)")))
        << name;
    // Local time, when the take started.
    EXPECT_TRUE(name == "ZarvoRecorder " + LocalDate(before) + ".mov" ||
                name == "ZarvoRecorder " + LocalDate(after) + ".mov")
        << name;
}

TEST_F(RecordingTest, PlaceThatNeverDeliversWritesNoMovie) {
    auto controller = makeWithPlaces({"Camera 1", "Camera 2"});
    auto feed = Feed(directory_->lastSource("Camera 1"), 64, 36);
    ASSERT_TRUE(controller->start());
    const auto quiet = controller->places()[1];
    EXPECT_EQ(quiet->file(), quiet->movie->url().string());  // named while it is recorded
    ASSERT_TRUE(waitFor([&] { return controller->places()[0]->frames() >= 3; }));
    ASSERT_TRUE(finish(*controller));
    feed->stop();

    // The other movie carries the take: no error.
    EXPECT_EQ(controller->recordingError(), "");
    EXPECT_EQ(quiet->frames(), 0u);
    EXPECT_EQ(quiet->file(), "");
    EXPECT_FALSE(std::filesystem::exists(quiet->movie->url()));
    EXPECT_TRUE(std::filesystem::exists(controller->places()[0]->file()));

    // A take whose only source never delivers ends with the take's reason.
    controller->removeSourceAtPlace(1);
    ASSERT_TRUE(controller->start());
    ASSERT_TRUE(finish(*controller));
    EXPECT_EQ(controller->recordingError(), "No frame was received, so no movie was written");
    EXPECT_EQ(controller->error(), controller->recordingError());
    EXPECT_EQ(controller->frames(), 0u);
    EXPECT_EQ(controller->file(), "");

    // The next start clears the reason.
    ASSERT_TRUE(controller->start());
    EXPECT_EQ(controller->recordingError(), "");
    EXPECT_EQ(controller->error(), "");
    ASSERT_TRUE(finish(*controller));
}

// --- Sound -----------------------------------------------------------------------------------

TEST_F(RecordingTest, ComputerSoundGoesToMoviesOfSourcesWithoutTheirOwn) {
    auto screens = std::make_shared<FakeDirectory>(FrameSourceKind::Syphon);
    auto network = std::make_shared<FakeDirectory>(FrameSourceKind::NDI);
    screens->setTitles({"Screen"}, false);
    network->setTitles({"Studio"}, false);
    auto controller = make(CompositeDirectory::create({screens, network}));
    ASSERT_TRUE(controller->addSourceMatching("Studio"));
    ASSERT_TRUE(controller->addSourceMatching("Screen"));
    controller->setSound("computer");
    ASSERT_EQ(controller->places()[0]->kindName(), "ndi");
    ASSERT_EQ(controller->places()[1]->kindName(), "syphon");

    // Both sources send a low tone of their own; the computer a high one.
    auto studio = Feed(network->lastSource("Studio"), 64, 36, 250);
    auto screen = Feed(screens->lastSource("Screen"), 64, 36, 250);
    auto soundFrame = std::make_shared<uint64_t>(0);
    Ticker computer(
        [this, soundFrame] {
            const auto handler = sound_->soundHandler();
            if (sound_->running() && handler) {
                handler(test::toneSound(960, 48000, 2000, 0.5, *soundFrame));
                *soundFrame += 960;
            }
        },
        kTick);

    ASSERT_TRUE(controller->start());
    EXPECT_TRUE(sound_->running());
    const auto& places = controller->places();
    ASSERT_TRUE(waitFor(
        [&] { return places[0]->soundWritten() >= 0.4 && places[1]->soundWritten() >= 0.4; }));
    ASSERT_TRUE(finish(*controller));
    EXPECT_FALSE(sound_->running());
    EXPECT_EQ(controller->recordingError(), "");

    const auto own = MovieProbe::read(places[0]->movie->url(), true);
    ASSERT_TRUE(own.sound.has_value());
    EXPECT_NEAR(ToneFrequency(own.sound->left), 250, 100);
    const auto heard = MovieProbe::read(places[1]->movie->url(), true);
    ASSERT_TRUE(heard.sound.has_value());
    EXPECT_NEAR(ToneFrequency(heard.sound->left), 2000, 200);
}

TEST_F(RecordingTest, AssembledMovieHearsTheChosenPlaceUnlessItIsKnownToHaveNoSound) {
    auto controller = makeWithPlaces({"Camera 1"});
    // "Late" is chosen but not listed yet: its kind is not known.
    controller->usePlaces({controller->places()[0], std::make_shared<RecorderPlace>("Late")});
    ASSERT_FALSE(controller->places()[1]->kindKnown);
    controller->setOutput("assembled");
    controller->setWidth(64);
    controller->setHeight(36);
    controller->setSound("Late");
    ASSERT_EQ(controller->sound(), "Late");
    auto frames = Feed(directory_->lastSource("Camera 1"), 64, 36, 2000);

    ASSERT_TRUE(controller->start());
    ASSERT_TRUE(controller->take()->assembledMovie()->hasSound());
    directory_->setTitles({"Camera 1", "Camera 2", "Late"});
    ASSERT_NE(controller->places()[1]->source, nullptr);
    auto late = Feed(directory_->lastSource("Late"), 64, 36, 250);
    const auto movie = controller->take()->assembledMovie();
    ASSERT_TRUE(waitFor([&] { return movie->soundWritten() >= 0.4; }));
    ASSERT_TRUE(finish(*controller));
    late->stop();
    const auto probe = MovieProbe::read(movie->url(), true);
    ASSERT_TRUE(probe.sound.has_value());
    EXPECT_NEAR(ToneFrequency(probe.sound->left), 250, 100);

    // Now known to be a Syphon source, which brings no sound of its own.
    ASSERT_TRUE(controller->places()[1]->kindKnown);
    ASSERT_TRUE(controller->start());
    EXPECT_FALSE(controller->take()->assembledMovie()->hasSound());
    ASSERT_TRUE(finish(*controller));
}

// --- Failed movies -------------------------------------------------------------------------

// Makes the movie's file impossible to create: its writer opens the file at the first frame.
void Obstruct(const TakeMovieRef& movie) {
    ASSERT_NE(movie, nullptr);
    std::filesystem::create_directory(movie->url());
}

TEST_F(RecordingTest, OnlyMovieFailingStopsTheRecordingWithItsReasonAlone) {
    auto controller = makeWithPlaces({"Camera 1"});
    ASSERT_TRUE(controller->start());
    const auto movie = controller->places()[0]->movie;
    Obstruct(movie);
    auto feed = Feed(directory_->lastSource("Camera 1"), 64, 36);

    // Nobody stops it: the failure does.
    ASSERT_TRUE(waitFor([&] { return controller->state() == "idle"; }));
    ASSERT_TRUE(movie->error().has_value());
    EXPECT_FALSE(movie->error()->message.empty());
    EXPECT_EQ(controller->recordingError(), movie->error()->message);
    EXPECT_EQ(controller->error(), movie->error()->message);
}

TEST_F(RecordingTest, OneOfSeveralMoviesFailingIsNamedAndTheOthersGoOn) {
    auto controller = makeWithPlaces({"Camera 1", "Camera 2"});
    controller->setOutput("both");
    // The sources have not delivered yet: the assembled picture gets its size from here.
    controller->setWidth(64);
    controller->setHeight(36);
    ASSERT_TRUE(controller->start());
    const auto failing = controller->places()[1]->movie;
    Obstruct(failing);
    auto first = Feed(directory_->lastSource("Camera 1"), 64, 36);
    auto second = Feed(directory_->lastSource("Camera 2"), 64, 36);

    ASSERT_TRUE(waitFor([&] { return !controller->recordingError().empty(); }));
    ASSERT_TRUE(failing->error().has_value());
    const std::string reason = "Camera 2: " + failing->error()->message;
    EXPECT_EQ(controller->recordingError(), reason);
    EXPECT_EQ(controller->error(), reason);
    EXPECT_EQ(controller->state(), "recording");
    // The others go on recording.
    const auto going = controller->places()[0]->movie;
    const auto assembled = controller->take()->assembledMovie();
    const uint64_t before = going->framesWritten();
    const uint64_t assembledBefore = assembled->framesWritten();
    ASSERT_TRUE(waitFor([&] {
        return going->framesWritten() > before + 2 &&
               assembled->framesWritten() > assembledBefore + 2;
    }));

    ASSERT_TRUE(finish(*controller));
    EXPECT_EQ(controller->recordingError(), reason);  // the first failure is kept
    EXPECT_FALSE(going->error().has_value());
    EXPECT_FALSE(assembled->error().has_value());
}

TEST_F(RecordingTest, AssembledMovieFailingIsNamedSo) {
    auto controller = makeWithPlaces({"Camera 1"});
    controller->setOutput("both");
    controller->setWidth(64);
    controller->setHeight(36);
    ASSERT_TRUE(controller->start());
    // The assembled movie's file is made at the start, so it cannot be obstructed: its failure
    // is reported as the take reports one, and its recorder ended as a failure ends it.
    const auto assembled = controller->take()->assembledMovie();
    const Error broken = movieError("The disk is full");
    assembled->recorder()->finishAtTime(hostTime(), nullptr);
    assembled->setError(broken);
    controller->take()->movieFailureHandler()(kNotFound, broken);

    EXPECT_EQ(controller->recordingError(), "Assembled movie: The disk is full");
    EXPECT_EQ(controller->error(), "Assembled movie: The disk is full");
    EXPECT_EQ(controller->state(), "recording");
    auto feed = Feed(directory_->lastSource("Camera 1"), 64, 36);
    ASSERT_TRUE(waitFor([&] { return controller->places()[0]->frames() >= 3; }));
    ASSERT_TRUE(finish(*controller));
    EXPECT_EQ(controller->recordingError(), "Assembled movie: The disk is full");
    EXPECT_EQ(controller->assembledFile(), "");
}

TEST_F(RecordingTest, EveryMovieFailingStopsTheRecording) {
    auto controller = makeWithPlaces({"Camera 1", "Camera 2"});
    ASSERT_TRUE(controller->start());
    for (const auto& place : controller->places()) {
        Obstruct(place->movie);
    }
    auto first = Feed(directory_->lastSource("Camera 1"), 64, 36);
    auto second = Feed(directory_->lastSource("Camera 2"), 64, 36);

    ASSERT_TRUE(waitFor([&] { return controller->state() == "idle"; }));
    const auto& places = controller->places();
    ASSERT_TRUE(places[0]->movie->error() && places[1]->movie->error());
    const std::string reason = controller->recordingError();
    EXPECT_TRUE(reason == "Camera 1: " + places[0]->movie->error()->message ||
                reason == "Camera 2: " + places[1]->movie->error()->message)
        << reason;
    EXPECT_EQ(controller->error(), reason);
}

// --- Refresh -------------------------------------------------------------------------------

class RecordingRefreshTest : public RecordingTest {
  protected:
    void SetUp() override {
        controller_ = makeWithPlaces({"Camera 1"});
        // A small monitor picture, since the place has no frame.
        controller_->setWidth(64);
        controller_->setHeight(36);
        place_ = controller_->places()[0];
        ASSERT_NE(place_->source, nullptr);
    }

    // Lets the refresh find the place silent for that long since its last check.
    void silentFor(double seconds) { place_->checkTime = hostTime() - seconds; }

    std::shared_ptr<RecorderController> controller_;
    PlaceRef place_;
};

TEST_F(RecordingRefreshTest, QuietSourceThatIsAliveIsTestedWithGrowingWaitsAndKept) {
    const auto source = place_->source;
    const size_t requests = directory_->connectRequests().size();
    for (const double allowed : {2, 4, 8, 16, 30, 30, 30, 30, 30, 30, 30}) {
        const uint64_t checks = place_->silentChecks;
        silentFor(allowed - 0.5);
        const double notYet = place_->checkTime;
        controller_->refresh();
        EXPECT_EQ(place_->silentChecks, checks) << "after " << allowed - 0.5 << " s";
        EXPECT_EQ(place_->checkTime, notYet);

        silentFor(allowed + 0.5);
        const double before = hostTime();
        controller_->refresh();
        EXPECT_EQ(place_->silentChecks, checks + 1) << "after " << allowed + 0.5 << " s";
        EXPECT_GE(place_->checkTime, before);
    }
    EXPECT_EQ(place_->source, source);
    EXPECT_FALSE(directory_->lastSource("Camera 1")->stopped());
    EXPECT_EQ(directory_->connectRequests().size(), requests);

    // A frame since the last check starts the waits over.
    ASSERT_TRUE(directory_->lastSource("Camera 1")->deliverFrame(gpu::Texture::make(64, 36)));
    controller_->refresh();
    EXPECT_EQ(place_->silentChecks, 0u);
    EXPECT_TRUE(place_->isOnline());
}

TEST_F(RecordingRefreshTest, DeadSourceIsLetGoOfAndReconnected) {
    const auto dead = directory_->lastSource("Camera 1");
    dead->setAlive(false);
    silentFor(1.5);
    controller_->refresh();
    EXPECT_FALSE(dead->stopped());  // not tested yet

    silentFor(2.5);
    const double before = hostTime();
    controller_->refresh();
    EXPECT_TRUE(dead->stopped());
    const auto fresh = directory_->lastSource("Camera 1");
    ASSERT_NE(fresh, dead);
    EXPECT_EQ(place_->source, fresh);
    EXPECT_EQ(place_->silentChecks, 1u);
    EXPECT_GE(place_->checkTime, before);
    // The new connection feeds the place.
    ASSERT_TRUE(fresh->deliverFrame(gpu::Texture::make(32, 18)));
    EXPECT_EQ(place_->width(), 32);
}

TEST_F(RecordingRefreshTest, UnreachableSourceIsRetriedEveryTwoSeconds) {
    directory_->lastSource("Camera 1")->setAlive(false);
    directory_->setUnreachable({"Camera 1"});
    silentFor(2.5);
    controller_->refresh();
    EXPECT_EQ(place_->source, nullptr);
    EXPECT_EQ(place_->silentChecks, 0u);  // no new source, no count
    const size_t requests = directory_->connectRequests().size();

    silentFor(1.5);
    controller_->refresh();
    EXPECT_EQ(directory_->connectRequests().size(), requests);
    silentFor(2.5);
    controller_->refresh();
    EXPECT_EQ(directory_->connectRequests().size(), requests + 1);
    EXPECT_EQ(place_->source, nullptr);

    directory_->setUnreachable({});
    silentFor(2.5);
    controller_->refresh();
    EXPECT_NE(place_->source, nullptr);
    EXPECT_EQ(place_->source, directory_->lastSource("Camera 1"));
}

TEST_F(RecordingRefreshTest, StatusObserverHearsTheNineKeysAroundEachRefresh) {
    std::vector<std::string> heard;
    controller_->setStatusObserver([&](const std::string& key, bool changed) {
        heard.push_back((changed ? "did " : "will ") + key);
    });
    ScopedObserver observer(center_, kRecorderControllerDidChangeNotification, controller_.get(),
                            [&](const auto&) { heard.push_back("posted"); });
    const std::vector<std::string> keys = {
        "elapsed",       "frames",          "dropped",          "file",
        "assembledFile", "assembledFrames", "assembledDropped", "assembledSoundWritten",
        "soundLeftOut"};
    ASSERT_EQ(RecorderController::statusKeys(), keys);
    std::vector<std::string> once;
    for (const auto& key : keys) {
        once.push_back("will " + key);
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        once.push_back("did " + *key);
    }
    once.push_back("posted");

    controller_->refresh();
    EXPECT_EQ(heard, once);
    heard.clear();
    controller_->refresh();
    EXPECT_EQ(heard, once);

    // A start refreshes once, so the new take shows at once.
    heard.clear();
    ASSERT_TRUE(controller_->start());
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "will elapsed"), 1);
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "did elapsed"), 1);
    EXPECT_TRUE(finish(*controller_));
}

}  // namespace
}  // namespace zarvo
