// When the assembled and monitor pictures are composed, which place sets the pace, with which
// layout, and how often the monitor is refreshed.

#include "engine/AssembledPicture.h"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/RecorderController.h"
#include "platform/HostClock.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "tests/support/FakeSources.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using test::FakeDirectory;
using test::TestFolder;

Size SizeOf(const gpu::TextureRef& texture) {
    return texture
               ? Size{static_cast<double>(texture->width()), static_cast<double>(texture->height())}
               : Size{};
}

// A time far ahead of the clock, a whole number of seconds, so that sums with binary
// fractions are exact.
double FutureTime() {
    return std::ceil(hostTime()) + 1000;
}

// --- The picture on its own, driven with chosen times ----------------------------------------

class AssembledPictureTest : public ::testing::Test {
  protected:
    // As with a window showing the monitor.
    AssembledPictureTest() {
        picture_ = AssembledPicture::make(take_, gpu::CommandQueue::make(device_));
        picture_->setMonitorShown(true);
    }

    PlaceRef place(const std::string& title) {
        auto made = std::make_shared<RecorderPlace>(title);
        places_.push_back(made);
        return made;
    }

    // Shows the places in a small row; composes once, and waits for it.
    void arrange(const std::vector<PlaceRef>& places) {
        picture_->compositionChanged(places, 0, 0, Size{64, 36}, false);
    }

    // What the frame callback does with a frame of the place at the time; whether it composed.
    bool frameAt(const PlaceRef& place, double time) {
        place->receivedFrame(texture_, false, time);
        picture_->placeReceivedFrameAtTime(place, time);
        return picture_->lastComposeTime() == time;
    }

    RunLoop loop_;
    gpu::DeviceRef device_ = gpu::Device::systemDefault();
    std::shared_ptr<Take> take_ = std::make_shared<Take>(device_, loop_);
    std::shared_ptr<AssembledPicture> picture_;
    std::vector<PlaceRef> places_;
    gpu::TextureRef texture_ = gpu::Texture::make(32, 18);
};

TEST_F(AssembledPictureTest, ClockPlaceHandsOverAfterOneSecondOfSilence) {
    ASSERT_NE(picture_, nullptr);
    const auto a = place("A");
    const auto b = place("B");
    const auto stranger = place("Not arranged");
    arrange({a, b});
    EXPECT_EQ(picture_->clockPlace(), nullptr);

    const double t = FutureTime();
    // A place outside the arrangement neither leads nor composes.
    EXPECT_FALSE(frameAt(stranger, t));
    EXPECT_EQ(picture_->clockPlace(), nullptr);

    // The first frame makes its place the clock place.
    EXPECT_TRUE(frameAt(a, t));
    EXPECT_EQ(picture_->clockPlace(), a);
    // The other place's frames compose nothing while the clock place delivers.
    EXPECT_FALSE(frameAt(b, t + 0.5));
    EXPECT_FALSE(frameAt(b, t + 1.0));  // exactly one second: not yet
    EXPECT_EQ(picture_->clockPlace(), a);
    EXPECT_EQ(picture_->lastComposeTime(), t);

    // More than a second without a frame of the clock place: the next frame takes over.
    EXPECT_TRUE(frameAt(b, t + 1.0078125));
    EXPECT_EQ(picture_->clockPlace(), b);
    EXPECT_FALSE(frameAt(a, t + 1.03125));
    EXPECT_EQ(picture_->clockPlace(), b);

    // A change that leaves the clock place out drops it.
    arrange({a});
    EXPECT_EQ(picture_->clockPlace(), nullptr);
    arrange({a, b});
    EXPECT_TRUE(frameAt(a, t + 2));
    arrange({b, a});  // still there: kept
    EXPECT_EQ(picture_->clockPlace(), a);
}

TEST_F(AssembledPictureTest, MonitorIsComposedAtMostEvery4msOrEveryTenthWhenLimited) {
    ASSERT_NE(picture_, nullptr);
    const auto a = place("A");
    arrange({a});

    double t = FutureTime();
    ASSERT_TRUE(frameAt(a, t));
    EXPECT_FALSE(frameAt(a, t + 0.001953125));
    EXPECT_FALSE(frameAt(a, t + 0.00390625));  // just under 4 ms
    EXPECT_TRUE(frameAt(a, t + 0.0078125));

    picture_->setDisplayLimited(true);
    t += 10;
    ASSERT_TRUE(frameAt(a, t));
    EXPECT_FALSE(frameAt(a, t + 0.0078125));
    EXPECT_FALSE(frameAt(a, t + 0.0625));
    EXPECT_TRUE(frameAt(a, t + 0.125));
    EXPECT_FALSE(frameAt(a, t + 0.1875));
    EXPECT_TRUE(frameAt(a, t + 0.25));

    picture_->setDisplayLimited(false);
    t += 10;
    ASSERT_TRUE(frameAt(a, t));
    EXPECT_TRUE(frameAt(a, t + 0.0078125));
}

TEST_F(AssembledPictureTest, MonitorLayoutIsAt4096OnItsLongestSide) {
    const std::vector<Size> wide = {{8000, 2000}};
    const Layout large(0, wide, 0);
    ASSERT_EQ(large.size(), (Size{8000, 2000}));
    const Layout fitted = AssembledPicture::monitorLayout(large, 0, wide, 0);
    EXPECT_EQ(fitted.size(), (Size{4096, 1024}));
    EXPECT_EQ(fitted.frames(), Layout(0, wide, 0, Size{4096, 1024}).frames());

    // Two pictures in a column, with a gap: the same kind, sizes and gap, fitted.
    const std::vector<Size> tall = {{1000, 3000}, {1000, 3000}};
    const Layout column(1, tall, 100);
    ASSERT_EQ(column.size(), (Size{1000, 6100}));
    const Layout fittedColumn = AssembledPicture::monitorLayout(column, 1, tall, 100);
    // 1000 × 4096 / 6100 = 671.5…, to the nearest even number.
    EXPECT_EQ(fittedColumn.size(), (Size{672, 4096}));
    EXPECT_EQ(fittedColumn.frames(), Layout(1, tall, 100, Size{672, 4096}).frames());

    // Never below two pixels.
    const std::vector<Size> thin = {{16000, 4}};
    EXPECT_EQ(AssembledPicture::monitorLayout(Layout(0, thin, 0), 0, thin, 0).size(),
              (Size{4096, 2}));

    // Up to 4096 the layout is its own monitor layout.
    for (const Size size : {Size{4096, 4096}, Size{4096, 100}, Size{64, 36}}) {
        const Layout own(0, {size}, 0);
        const Layout shown = AssembledPicture::monitorLayout(own, 0, {size}, 0);
        EXPECT_EQ(shown.size(), own.size());
        EXPECT_EQ(shown.frames(), own.frames());
    }
}

TEST_F(AssembledPictureTest, LargePictureIsShownFittedOnTheMonitor) {
    ASSERT_NE(picture_, nullptr);
    const auto a = place("A");
    a->receivedFrame(texture_, false, hostTime());
    picture_->compositionChanged({a}, 0, 0, Size{8000, 2000}, false);
    EXPECT_EQ(SizeOf(picture_->assembledFrame()), (Size{4096, 1024}));

    // A take's monitor layout takes the place of the settings'.
    const std::vector<Size> sizes = {{32, 18}};
    const Layout takeLayout(0, sizes, 0, Size{128, 72});
    picture_->setTakeLayout(takeLayout, takeLayout, false);
    picture_->composeMonitorAtTime(hostTime(), false);
    ASSERT_TRUE(loop_.runUntil(
        [&] {
            return SizeOf(picture_->assembledFrame()) == Size{128, 72};
        },
        10));
    EXPECT_EQ(picture_->takeLayout()->size(), (Size{128, 72}));

    picture_->setTakeLayout(std::nullopt, std::nullopt, false);
    picture_->compositionChanged({a}, 0, 0, Size{64, 36}, false);
    EXPECT_EQ(SizeOf(picture_->assembledFrame()), (Size{64, 36}));
}

// --- Through the controller ----------------------------------------------------------------

class AssembledPictureControllerTest : public ::testing::Test {
  protected:
    AssembledPictureControllerTest() {
        directory_->setTitles({"Camera 1", "Camera 2"}, false);
        controller_ = RecorderController::create(
            {.mainQueue = &loop_,
             .device = gpu::Device::systemDefault(),
             .directory = directory_,
             .computerSound = nullptr,
             .defaults = std::make_shared<UserDefaults>(folder_ / "settings.json"),
             .notificationCenter = &center_});
        controller_->setFolder(folder_.path().string());
        controller_->setName("Take");
        // As with a window showing the monitor.
        controller_->setMonitorShown(true);
    }

    // Adds the place, gives it one frame of the size from its source and lets the arrangement
    // learn that size.
    PlaceRef addPlace(const std::string& title, int64_t width, int64_t height) {
        EXPECT_TRUE(controller_->addSourceMatching(title));
        const auto source = directory_->lastSource(title);
        EXPECT_TRUE(source && source->deliverFrame(gpu::Texture::make(width, height)));
        controller_->compositionChanged();
        return controller_->places().back();
    }

    Size shown() const { return SizeOf(controller_->assembledFrame()); }

    bool finish() {
        controller_->stopWithCompletionHandler(nullptr);
        return loop_.runUntil([&] { return controller_->state() == "idle"; }, 30);
    }

    RunLoop loop_;
    TestFolder folder_;
    std::shared_ptr<FakeDirectory> directory_ = std::make_shared<FakeDirectory>();
    NotificationCenter center_;
    std::shared_ptr<RecorderController> controller_;
};

TEST_F(AssembledPictureControllerTest, WithoutPlacesThereIsNoPicture) {
    EXPECT_EQ(controller_->assembledFrame(), nullptr);
    addPlace("Camera 1", 64, 36);
    EXPECT_EQ(shown(), (Size{64, 36}));
    controller_->removeSourceAtPlace(1);
    EXPECT_EQ(controller_->assembledFrame(), nullptr);
}

TEST_F(AssembledPictureControllerTest, MonitorIsComposedOnlyWhileAWindowShowsIt) {
    // Nobody sees the monitor: neither frames, nor changes, nor the refresh compose a picture.
    controller_->setMonitorShown(false);
    const auto place = addPlace("Camera 1", 64, 36);
    addPlace("Camera 2", 32, 36);
    const auto source = directory_->lastSource("Camera 1");
    const auto picture = controller_->picture();
    const double before = picture->lastComposeTime();
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(source->deliverFrame(gpu::Texture::make(64, 36)));
    }
    controller_->setGap(4);
    controller_->refresh();
    EXPECT_EQ(picture->clockPlace(), place);
    EXPECT_EQ(picture->lastComposeTime(), before);
    EXPECT_EQ(controller_->assembledFrame(), nullptr);

    // Shown: a picture at once, and the clock place's frames keep it fresh.
    controller_->setMonitorShown(true);
    EXPECT_TRUE(loop_.runUntil([&] { return shown() == Size{100, 36}; }, 5));
    const double shownAt = picture->lastComposeTime();
    loop_.runUntil([] { return false; }, 0.01);  // past the shortest monitor interval
    EXPECT_TRUE(source->deliverFrame(gpu::Texture::make(64, 36)));
    EXPECT_GT(picture->lastComposeTime(), shownAt);

    // Hidden again: the picture goes and no other is composed.
    controller_->setMonitorShown(false);
    EXPECT_EQ(controller_->assembledFrame(), nullptr);
    const double hiddenAt = picture->lastComposeTime();
    EXPECT_TRUE(source->deliverFrame(gpu::Texture::make(64, 36)));
    EXPECT_EQ(picture->lastComposeTime(), hiddenAt);

    // A take of the assembled picture is composed all the same.
    controller_->setOutput("assembled");
    ASSERT_TRUE(controller_->start());
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(source->deliverFrame(gpu::Texture::make(64, 36)));
        loop_.runUntil([] { return false; }, 0.05);
    }
    ASSERT_TRUE(finish());
    EXPECT_GT(controller_->assembledFrames(), 0u);
}

TEST_F(AssembledPictureControllerTest, SettingsChangeWhileIdleIsShownAtOnce) {
    addPlace("Camera 1", 64, 36);
    addPlace("Camera 2", 32, 36);
    EXPECT_EQ(shown(), (Size{96, 36}));

    controller_->setGap(10);
    EXPECT_EQ(shown(), (Size{106, 36}));
    controller_->setLayout("column");
    EXPECT_EQ(shown(), controller_->assembledLayout().size());
    EXPECT_EQ(shown().width, 64);
    controller_->setWidth(100);
    controller_->setHeight(50);
    EXPECT_EQ(shown(), (Size{100, 50}));
    controller_->setCodec("prores4444");
    EXPECT_EQ(shown(), (Size{100, 50}));
    controller_->moveSourceFromPlace(2, 1);
    EXPECT_EQ(shown(), controller_->assembledLayout().size());
}

TEST_F(AssembledPictureControllerTest, RecordingKeepsTheTakesArrangementOnTheMonitor) {
    addPlace("Camera 1", 64, 36);
    addPlace("Camera 2", 32, 36);
    controller_->setOutput("assembled");
    ASSERT_TRUE(controller_->start());
    const Size takeSize = controller_->assembledLayout().size();
    EXPECT_EQ(takeSize, (Size{96, 36}));

    controller_->setGap(20);
    EXPECT_EQ(shown(), takeSize);
    EXPECT_EQ(controller_->assembledLayout().size(), takeSize);

    ASSERT_TRUE(finish());
    // Back to the settings.
    EXPECT_EQ(controller_->assembledLayout().size(), (Size{116, 36}));
    controller_->setGap(30);
    EXPECT_EQ(shown(), (Size{126, 36}));

    // Separate movies have no layout: the monitor follows the settings while recording.
    controller_->setOutput("separate");
    ASSERT_TRUE(controller_->start());
    EXPECT_FALSE(controller_->picture()->takeLayout().has_value());
    controller_->setGap(4);
    EXPECT_EQ(shown(), (Size{100, 36}));
    EXPECT_EQ(controller_->assembledLayout().size(), (Size{100, 36}));
    ASSERT_TRUE(finish());
}

TEST_F(AssembledPictureControllerTest, MonitorIsTransparentWithTheTakesTransparentCodec) {
    ASSERT_TRUE(controller_->addSourceMatching("Camera 1"));  // no frame: background only
    controller_->setWidth(64);
    controller_->setHeight(36);
    const auto backgroundAlpha = [&] {
        const auto picture = controller_->assembledFrame();
        return picture ? int{picture->alphaAt(0, 0)} : -1;
    };
    EXPECT_EQ(backgroundAlpha(), 255);
    controller_->setCodec("prores4444");
    EXPECT_EQ(backgroundAlpha(), 0);

    // While an assembled take runs, the monitor keeps the take's transparency.
    controller_->setOutput("assembled");
    ASSERT_TRUE(controller_->start());
    controller_->setCodec("h264");
    EXPECT_EQ(backgroundAlpha(), 0);
    ASSERT_TRUE(finish());
    controller_->compositionChanged();
    EXPECT_EQ(backgroundAlpha(), 255);

    ASSERT_TRUE(controller_->start());
    controller_->setCodec("prores4444");
    EXPECT_EQ(backgroundAlpha(), 255);
    ASSERT_TRUE(finish());
}

TEST_F(AssembledPictureControllerTest, RefreshChoosesTheClockPlaceAndKeepsTheMonitorAlive) {
    const auto first = addPlace("Camera 1", 64, 36);
    const auto second = addPlace("Camera 2", 64, 36);
    const auto& picture = controller_->picture();
    const auto frameAt = [](const PlaceRef& place, double time) {
        place->receivedFrame(gpu::Texture::make(64, 36), false, time);
    };

    // The first place that is online leads.
    picture->setClockPlace(nullptr);
    frameAt(first, hostTime());
    frameAt(second, hostTime());
    controller_->refresh();
    EXPECT_EQ(picture->clockPlace(), first);

    frameAt(first, hostTime() - 5);
    frameAt(second, hostTime());
    controller_->refresh();
    EXPECT_FALSE(first->isOnline());
    EXPECT_TRUE(second->isOnline());
    EXPECT_EQ(picture->clockPlace(), second);

    // Nobody online: the clock place stays what it was.
    picture->setClockPlace(first);
    frameAt(second, hostTime() - 5);
    controller_->refresh();
    EXPECT_FALSE(second->isOnline());
    EXPECT_EQ(picture->clockPlace(), first);

    // A quarter of a second without a composition: the refresh composes.
    picture->composeMonitorAtTime(hostTime() - 1, false);
    const double stale = picture->lastComposeTime();
    controller_->refresh();
    EXPECT_GT(picture->lastComposeTime(), stale + 0.5);
    // Less than that: it leaves the monitor alone.
    picture->composeMonitorAtTime(hostTime() - 0.125, false);
    const double recent = picture->lastComposeTime();
    controller_->refresh();
    EXPECT_EQ(picture->lastComposeTime(), recent);
}

TEST_F(AssembledPictureControllerTest, DisplayIsLimitedWhileRecordingWithPerformance) {
    const auto place = addPlace("Camera 1", 64, 36);
    const auto& picture = controller_->picture();
    // Whether a frame of the place at the time makes a monitor picture.
    const auto composesAt = [&](double time) {
        place->receivedFrame(gpu::Texture::make(64, 36), false, time);
        picture->placeReceivedFrameAtTime(place, time);
        return picture->lastComposeTime() == time;
    };
    // Whether monitor pictures come at the limited rate now.
    double t = FutureTime();
    const auto limited = [&] {
        t += 10;
        EXPECT_TRUE(composesAt(t));
        return !composesAt(t + 0.0625);
    };

    EXPECT_FALSE(controller_->displayIsLimited());
    controller_->setPerformance(true);
    EXPECT_FALSE(controller_->displayIsLimited());  // not recording
    EXPECT_FALSE(limited());

    ASSERT_TRUE(controller_->start());
    EXPECT_TRUE(controller_->displayIsLimited());
    EXPECT_TRUE(limited());
    controller_->setPerformance(false);
    EXPECT_FALSE(controller_->displayIsLimited());
    EXPECT_FALSE(limited());
    controller_->setPerformance(true);
    EXPECT_TRUE(limited());

    controller_->stopWithCompletionHandler(nullptr);
    ASSERT_EQ(controller_->state(), "finishing");
    EXPECT_TRUE(controller_->displayIsLimited());
    EXPECT_TRUE(limited());
    ASSERT_TRUE(loop_.runUntil([&] { return controller_->state() == "idle"; }, 30));
    EXPECT_FALSE(controller_->displayIsLimited());
    EXPECT_FALSE(limited());
}

}  // namespace
}  // namespace zarvo
