// The model the window reads, against a real recorder controller over fake sources.
#include <QSignalSpy>
#include <QThread>

#include <filesystem>

#include "App/QtMainQueue.h"
#include "tests/App/ModelFixture.h"

namespace zarvo {
namespace {

using test::ModelFixture;

class RecorderModelTest : public ModelFixture {};

TEST_F(RecorderModelTest, SyncCopiesTheControllerAndAnnouncesOnlyRealChanges) {
    RecorderModel& model = *model_;
    EXPECT_EQ(model.state(), "idle");
    EXPECT_EQ(model.codec(), "h264");
    EXPECT_EQ(model.output(), "separate");
    EXPECT_EQ(model.folder(), (folder_ / "movies").string());
    EXPECT_EQ(model.version(), "dev");
    EXPECT_EQ(model.oscPort(), 0);  // the test recorder does not listen
    ASSERT_EQ(model.available().size(), 3u);
    EXPECT_EQ(model.available()[0].title, "Camera - Studio");
    EXPECT_EQ(model.available()[0].kind, "syphon");
    EXPECT_EQ(model.available()[2].kind, "ndi");

    QSignalSpy changes(&model, &RecorderModel::changed);
    model.sync();
    controller_->changed();  // nothing differs: nobody is told
    EXPECT_EQ(changes.count(), 0);

    controller_->setCodec("hevc");
    EXPECT_EQ(model.codec(), "hevc");
    EXPECT_EQ(changes.count(), 1);
    controller_->setFps(29.97);
    controller_->setBitrate(12.5);
    controller_->setGap(8);
    controller_->setWidth(1280);
    controller_->setHeight(720);
    controller_->setName("Show");
    controller_->setOutput("both");
    controller_->setLayout("grid");
    controller_->setPerformance(true);
    EXPECT_EQ(model.fps(), 29.97);
    EXPECT_EQ(model.bitrate(), 12.5);
    EXPECT_EQ(model.gap(), 8);
    EXPECT_EQ(model.width(), 1280);
    EXPECT_EQ(model.height(), 720);
    EXPECT_EQ(model.name(), "Show");
    EXPECT_EQ(model.output(), "both");
    EXPECT_EQ(model.layout(), "grid");
    EXPECT_TRUE(model.performance());
    EXPECT_FALSE(model.displayIsLimited());  // only while recording
    EXPECT_EQ(changes.count(), 10);

    // Choosing a source moves it from the available list to the places.
    ASSERT_TRUE(controller_->addSourceMatching("stage"));
    ASSERT_EQ(model.places().size(), 1u);
    EXPECT_EQ(model.places()[0].title, "Stage - Lights");
    EXPECT_FALSE(model.places()[0].isOnline);
    EXPECT_EQ(model.available().size(), 2u);
    // The picture has the size set.
    EXPECT_EQ(model.pictureSize(), (Size{1280, 720}));
    ASSERT_EQ(model.titleRects().size(), 1u);
}

TEST_F(RecorderModelTest, PlacesFollowTheirSourcesFramesAndThePictureItsLayout) {
    chooseOnline("Camera - Studio", 320, 180);
    chooseOnline("HOST (Mixer)", 160, 120);
    RecorderModel& model = *model_;
    ASSERT_TRUE(waitFor([&] { return model.places()[1].width == 160; }));
    EXPECT_EQ(model.places()[0].kind, "syphon");
    EXPECT_EQ(model.places()[1].kind, "ndi");
    EXPECT_GT(model.places()[0].fps, 0);
    // Rounded to tenths.
    EXPECT_DOUBLE_EQ(model.places()[0].fps, std::round(model.places()[0].fps * 10) / 10);

    controller_->setOutput("assembled");
    controller_->setLayout("column");
    controller_->setGap(10);
    const Size size = model.pictureSize();
    EXPECT_GT(size.width, 0);
    EXPECT_GT(size.height, 180);
    // The rectangles are fractions of the picture, one per place, stacked.
    ASSERT_EQ(model.titleRects().size(), 2u);
    for (const Rect& r : model.titleRects()) {
        EXPECT_GE(r.x, 0);
        EXPECT_GE(r.y, 0);
        EXPECT_LE(r.x + r.width, 1.0 + 1e-9);
        EXPECT_LE(r.y + r.height, 1.0 + 1e-9);
    }
    EXPECT_LT(model.titleRects()[0].y, model.titleRects()[1].y);

    // A source that stops delivering goes offline but stays, with its size kept.
    pumps_[0]->stopPumping();
    ASSERT_TRUE(waitFor([&] { return !model.places()[0].isOnline; }));
    EXPECT_EQ(model.places()[0].width, 320);
    EXPECT_EQ(model.places().size(), 2u);
}

TEST_F(RecorderModelTest, DerivedValuesFollowOutputSoundCodecAndSize) {
    RecorderModel& model = *model_;
    EXPECT_EQ(model.movieCount(), 0);
    controller_->setOutput("both");
    EXPECT_EQ(model.movieCount(), 0);  // no place, no movie
    for (const char* title : {"Camera", "Stage", "HOST"}) {
        ASSERT_TRUE(controller_->addSourceMatching(title));
    }
    controller_->setOutput("separate");
    EXPECT_EQ(model.movieCount(), 3);
    controller_->setOutput("assembled");
    EXPECT_EQ(model.movieCount(), 1);
    controller_->setOutput("both");
    EXPECT_EQ(model.movieCount(), 4);

    EXPECT_TRUE(model.codecHasBitrate());
    controller_->setCodec("hevc");
    EXPECT_TRUE(model.codecHasBitrate());
    controller_->setCodec("prores422");
    EXPECT_FALSE(model.codecHasBitrate());
    controller_->setCodec("prores4444");
    EXPECT_FALSE(model.codecHasBitrate());

    // Syphon sources have no sound of their own: once their kind is known they are offered
    // only when already chosen; NDI sources and sources of unknown kind are offered.
    ASSERT_TRUE(waitFor([&] { return model.places()[0].kind == "syphon"; }));
    ASSERT_TRUE(waitFor([&] { return model.places()[2].kind == "ndi"; }));
    EXPECT_EQ(model.soundChoices(), std::vector<std::string>{"HOST (Mixer)"});
    controller_->setSound("Camera - Studio");
    EXPECT_EQ(model.soundChoices(), (std::vector<std::string>{"Camera - Studio", "HOST (Mixer)"}));
    EXPECT_FALSE(model.soundIsMissing());
    controller_->setSound("computer");
    EXPECT_FALSE(model.soundIsMissing());
    controller_->setSound("HOST (Mixer)");
    controller_->removeSourceAtPlace(3);
    EXPECT_EQ(model.sound(), "HOST (Mixer)");  // the setting stays when its source goes
    EXPECT_TRUE(model.soundIsMissing());

    // Too large only matters when an assembled movie is made.
    EXPECT_FALSE(model.pictureIsTooLarge());
    for (const char* title : {"HOST"}) {
        ASSERT_TRUE(controller_->addSourceMatching(title));
    }
    controller_->setGap(RecorderController::kMaxGap);
    controller_->setLayout("row");
    // Row of four 1920-wide sources with three gaps of 1000 pixels: 10680 wide.
    EXPECT_FALSE(model.pictureIsTooLarge());
    syphon_->setTitles({"Camera - Studio", "Stage - Lights", "A", "B", "C", "D", "E"});
    for (const char* title : {"A", "B", "C", "D"}) {
        ASSERT_TRUE(controller_->addSourceMatching(title));
    }
    EXPECT_GT(model.pictureSize().width, RecorderModel::kLargestSide);
    EXPECT_TRUE(model.pictureIsTooLarge());
    controller_->setOutput("separate");
    EXPECT_FALSE(model.pictureIsTooLarge());
}

TEST_F(RecorderModelTest, FreeSpaceIsReadForTheFolderVolume) {
    RecorderModel& model = *model_;
    ASSERT_TRUE(model.freeSpace().has_value());
    EXPECT_GT(*model.freeSpace(), 0);
    EXPECT_FALSE(RecorderModel::availableSpace("").has_value());
    // A folder not made yet is on the volume of the nearest folder above it.
    EXPECT_TRUE(RecorderModel::availableSpace((folder_ / "not" / "yet").string()).has_value());
}

TEST_F(RecorderModelTest, LanguageIsStoredAnnouncedAndFollowedFromElsewhere) {
    RecorderModel& model = *model_;
    QSignalSpy changes(&model, &RecorderModel::changed);
    model.setLanguage(AppLanguage::fr);
    EXPECT_EQ(model.language(), AppLanguage::fr);
    EXPECT_EQ(language::current(), AppLanguage::fr);
    EXPECT_EQ(defaults_->stringForKey(language::kLanguageKey), "fr");
    EXPECT_GE(changes.count(), 1);
    EXPECT_EQ(RecorderModel::outputs()[0].title(), QString::fromUtf8("Séparés"));

    // A change made elsewhere reaches the model through the main queue.
    language::set(AppLanguage::en, *defaults_, false);
    ASSERT_TRUE(waitFor([&] { return model.language() == AppLanguage::en; }));
    EXPECT_EQ(RecorderModel::layouts()[3].title(), QStringLiteral("One large"));
}

// Notices: shown once per error, cleared after their time, a newer error keeping its own time.
class RecorderModelNoticeTest : public ModelFixture {
  protected:
    RecorderModelNoticeTest() : ModelFixture(2.0) {}
};

TEST_F(RecorderModelNoticeTest, AnErrorShowsOnceForItsTimeAndANewOneRestartsIt) {
    RecorderModel& model = *model_;
    // An error from before the model is not shown.
    EXPECT_EQ(model.notice(), "");

    controller_->setError("First");
    EXPECT_EQ(model.notice(), "First");
    QTest::qWait(1000);
    controller_->setError("Second");
    EXPECT_EQ(model.notice(), "Second");
    // The first error's time is over; the second still shows.
    QTest::qWait(1400);
    EXPECT_EQ(model.notice(), "Second");
    ASSERT_TRUE(waitFor([&] { return model.notice().empty(); }));

    // The controller keeps its text, but the same error is not shown again.
    EXPECT_EQ(controller_->error(), "Second");
    controller_->changed();
    EXPECT_EQ(model.notice(), "");

    // An empty error (as a start sets) clears a notice at once.
    controller_->setError("Third");
    EXPECT_EQ(model.notice(), "Third");
    controller_->setError("");
    EXPECT_EQ(model.notice(), "");
}

// The engine's main queue on the toolkit's loop.
TEST(QtMainQueueTest, TasksFromAnyThreadRunOnTheMainThreadInOrder) {
    QtMainQueue queue;
    EXPECT_TRUE(queue.isMainThread());
    std::vector<int> order;
    std::atomic<bool> otherThreadIsMain{true};
    std::thread other([&] {
        otherThreadIsMain = queue.isMainThread();
        for (int i = 0; i < 100; ++i) {
            queue.post([&order, &queue, i] {
                EXPECT_TRUE(queue.isMainThread());
                order.push_back(i);
            });
        }
        // A delayed task posted from another thread also runs on the main thread.
        queue.postAfter(0.05, [&order, &queue] {
            EXPECT_TRUE(queue.isMainThread());
            order.push_back(1000);
        });
    });
    other.join();
    EXPECT_FALSE(otherThreadIsMain);
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 101; }, 10000));
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[static_cast<size_t>(i)], i);
    }
    EXPECT_EQ(order.back(), 1000);

    int ticks = 0;
    auto timer = queue.scheduleRepeating(0.01, [&] { ++ticks; });
    EXPECT_TRUE(timer->isValid());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 10000));
    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    const int stoppedAt = ticks;
    QTest::qWait(50);
    EXPECT_EQ(ticks, stoppedAt);

    // A timer may end itself from its own task.
    int once = 0;
    std::unique_ptr<Timer> self;
    self = queue.scheduleRepeating(0.01, [&] {
        ++once;
        self->invalidate();
    });
    QTest::qWait(80);
    EXPECT_EQ(once, 1);
}

}  // namespace
}  // namespace zarvo
