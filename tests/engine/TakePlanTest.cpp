#include "engine/TakePlan.h"

#include <gtest/gtest.h>

#include <regex>

#include "engine/AssembledPicture.h"

namespace zarvo {
namespace {

using Sizes = std::vector<std::optional<Size>>;

PlaceRef placeOf(const std::string& title, std::optional<FrameSourceKind> kind, int64_t width,
                 int64_t height) {
    auto place = std::make_shared<RecorderPlace>(title);
    if (kind) {
        place->kind = *kind;
        place->kindKnown = true;
    }
    if (width > 0) {
        place->receivedFrameNotice(width, height, 1.0);
    }
    return place;
}

// A Syphon camera, an NDI desk and a source that has not told its kind or size yet.
class TakePlanTest : public ::testing::Test {
  protected:
    TakePlanTest() {
        settings_.codec = "ProRes4444";
        settings_.fps = 30;
        settings_.bitrate = 12;
        settings_.folder = "/movies";
        settings_.name = "Show";
    }

    TakePlan plan() const { return planTake(settings_, places_, 0); }

    RecorderSettings settings_;
    std::vector<PlaceRef> places_ = {
        placeOf("Camera", FrameSourceKind::Syphon, 1280, 720),
        placeOf("Desk", FrameSourceKind::NDI, 1920, 1080),
        placeOf("Fresh", std::nullopt, 0, 0),
    };
};

TEST_F(TakePlanTest, SeparateMoviesTakeEachSourceAsItIs) {
    const TakePlan separate = plan();
    const auto& options = separate.options;
    EXPECT_EQ(options.output, TakeOutput::Separate);
    EXPECT_EQ(options.sourceTitles, (std::vector<std::string>{"Camera", "Desk", "Fresh"}));
    EXPECT_EQ(options.sizes, (Sizes{Size{1280, 720}, Size{1920, 1080}, std::nullopt}));
    EXPECT_FALSE(separate.layout);
    EXPECT_FALSE(separate.monitorLayout);
    EXPECT_EQ(options.assembledSize, Size{});
    EXPECT_EQ(options.settings.codec, static_cast<int64_t>(Codec::prores4444));
    EXPECT_TRUE(separate.transparent);
    EXPECT_EQ(options.settings.framesPerSecond, 30);
    EXPECT_EQ(options.settings.megabitsPerSecond, 12);
    EXPECT_EQ(options.folder, "/movies");
    EXPECT_EQ(options.name, "Show");
    EXPECT_EQ(options.startTime, 0);  // the controller sets it as the take starts

    // Every source but Syphon brings its own sound; nobody is heard in an assembled movie.
    EXPECT_FALSE(options.computerSound);
    EXPECT_EQ(options.soundSources, (std::set<uint64_t>{1, 2}));
    EXPECT_EQ(options.assembledSoundIndex, kNotFound);

    // The computer's sound fills the separate movies: only NDI keeps its own.
    settings_.sound = "computer";
    EXPECT_TRUE(plan().options.computerSound);
    EXPECT_EQ(plan().options.soundSources, (std::set<uint64_t>{1}));
}

TEST_F(TakePlanTest, AssembledAndBothLayTheSourcesOut) {
    settings_.layout = "column";
    settings_.gap = 10;
    for (const char* output : {"assembled", "both", "BOTH"}) {
        settings_.output = output;
        const TakePlan assembled = plan();
        const std::vector<Size> sizes = {{1280, 720}, {1920, 1080}, {}};
        const Layout expected(1, sizes, 10);
        ASSERT_TRUE(assembled.layout) << output;
        EXPECT_EQ(assembled.layout->frames(), expected.frames()) << output;
        EXPECT_EQ(assembled.options.assembledSize, expected.size()) << output;
        ASSERT_TRUE(assembled.monitorLayout) << output;
        EXPECT_EQ(assembled.monitorLayout->size(),
                  AssembledPicture::monitorLayout(expected, 1, sizes, 10).size());
        EXPECT_EQ(assembled.sizes, sizes);
    }
    EXPECT_EQ(plan().options.output, TakeOutput::Both);

    // A size setting fits the assembled picture into it.
    settings_.output = "assembled";
    settings_.width = 1920;
    settings_.height = 1080;
    EXPECT_EQ(plan().options.assembledSize, (Size{1920, 1080}));
    EXPECT_EQ(plan().options.output, TakeOutput::Assembled);
}

TEST_F(TakePlanTest, TheSoundSettingChoosesWhoIsHeardInTheAssembledMovie) {
    settings_.output = "assembled";
    settings_.sound = "Desk";
    EXPECT_EQ(plan().options.assembledSoundIndex, 1u);
    // A Syphon source has no sound to give.
    settings_.sound = "Camera";
    EXPECT_EQ(plan().options.assembledSoundIndex, kNotFound);
    // The computer is heard in the assembled movie; the sources keep their own sound.
    settings_.sound = "computer";
    EXPECT_TRUE(plan().options.computerSound);
    EXPECT_EQ(plan().options.assembledSoundIndex, kNotFound);
    EXPECT_EQ(plan().options.soundSources, (std::set<uint64_t>{1, 2}));
}

TEST_F(TakePlanTest, UnknownCodecsRecordH264AndUnnamedTakesAreDated) {
    settings_.codec = "theora";
    settings_.name = "";
    const TakePlan unnamed = plan();
    EXPECT_EQ(unnamed.options.settings.codec, static_cast<int64_t>(Codec::h264));
    EXPECT_FALSE(unnamed.transparent);
    EXPECT_EQ(unnamed.options.name, unnamedTakeName(0));
    EXPECT_TRUE(std::regex_match(unnamed.options.name,
                                 std::regex(R"(ZarvoRecorder \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d)")))
        << unnamed.options.name;
}

}  // namespace
}  // namespace zarvo
