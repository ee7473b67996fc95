#include "engine/Take.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>

#include "platform/RunLoop.h"
#include "tests/support/FinishOnMainThread.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using test::Bgra;
using test::MovieProbe;
using test::TimedSound;

constexpr Bgra kRed{0, 0, 255, 255};
constexpr Bgra kBlue{255, 0, 0, 255};
constexpr int64_t kComputer = -1;

// A sound for the take: from a source (its index) or from the computer.
struct SoundEvent {
    int64_t source = kComputer;
    TimedSound timed;
};

std::vector<std::string> Names(const std::vector<std::filesystem::path>& urls) {
    std::vector<std::string> names;
    for (const auto& url : urls) {
        names.push_back(url.filename().string());
    }
    return names;
}

class TakeTest : public ::testing::Test {
  protected:
    Take::StartOptions options(std::vector<std::string> titles, TakeOutput output) const {
        Take::StartOptions o;
        o.sourceTitles = std::move(titles);
        o.output = output;
        o.name = "Take";
        o.folder = folder_.path();
        o.settings.codec = 0;
        o.settings.framesPerSecond = 10;
        o.startTime = 100.0;
        return o;
    }

    std::optional<Error> finish(Take& take, double endTime) {
        return test::finishOnMainThread(loop_, take, endTime);
    }

    // Feeds count frames at fps from the start time to every source movie and to the assembled
    // movie, with the sounds that have arrived by each frame's time, and waits for the frames.
    void feed(Take& take, size_t sources, int count, double fps,
              const std::vector<SoundEvent>& sounds = {},
              const std::vector<gpu::TextureRef>& textures = {}) {
        const auto fallback = test::solidTexture(64, 36, kRed);
        size_t next = 0;
        const auto deliver = [&](double upTo) {
            for (; next < sounds.size() && sounds[next].timed.time <= upTo; ++next) {
                const auto& event = sounds[next];
                if (event.source == kComputer) {
                    take.appendComputerSound(event.timed.sound, event.timed.time);
                } else {
                    take.appendSound(event.timed.sound, static_cast<uint64_t>(event.source),
                                     event.timed.time);
                }
            }
        };
        for (int i = 0; i < count; ++i) {
            const double time = 100.0 + i / fps;
            deliver(time);
            for (size_t s = 0; s < sources; ++s) {
                take.appendTexture(s < textures.size() ? textures[s] : fallback, false, s, time);
            }
            if (take.wantsAssembledFrameAtTime(time)) {
                take.appendAssembledTexture(test::solidTexture(64, 36, kBlue), time);
            }
            ASSERT_TRUE(loop_.runUntil([&] { return take.framesPending() == 0; }, 60));
        }
        deliver(1e300);
    }

    RunLoop loop_;
    test::TestFolder folder_;
    Take take_{gpu::Device::systemDefault(), loop_};
};

// --- File names ------------------------------------------------------------------------------

TEST_F(TakeTest, NamesFilesSoThatNothingIsOverwritten) {
    const auto& folder = folder_.path();
    std::optional<std::filesystem::path> assembled = folder / "sentinel";
    const auto separate = [&](const std::string& name, std::vector<std::string> titles) {
        return Names(Take::urlsForName(name, titles, TakeOutput::Separate, folder, &assembled));
    };
    using Strings = std::vector<std::string>;

    // Cleaning: separators and colons become dashes, a leading dot too.
    EXPECT_EQ(separate("a/b:c", {"Cam"}), Strings{"a-b-c.mov"});
    EXPECT_FALSE(assembled);
    EXPECT_EQ(separate(".hidden", {"Cam"}), Strings{"-hidden.mov"});
    EXPECT_EQ(separate(".mov", {"Cam"}), Strings{"-mov.mov"});
    EXPECT_EQ(separate("Take.MOV", {"Cam"}), Strings{"Take.mov"});
    EXPECT_EQ(separate("clip.mp4", {"Cam"}), Strings{"clip.mp4.mov"});
    EXPECT_EQ(separate("Show", {"Cam: 1", ".side"}),
              (Strings{"Show — Cam- 1.mov", "Show — -side.mov"}));
    EXPECT_EQ(Take::urlsForName("Take", {"Cam"}, TakeOutput::Separate, folder, nullptr).size(), 1u);

    // A second take of the same name gets the next number.
    test::writeFile(folder / "Take.mov", "first");
    EXPECT_EQ(separate("Take.MOV", {"Cam"}), Strings{"Take 2.mov"});
    test::writeFile(folder / "Take 2.mov", "second");
    EXPECT_EQ(separate("Take", {"Cam"}), Strings{"Take 3.mov"});

    // Both: one movie per source and the assembled one, all with one number.
    const auto both =
        Take::urlsForName("Concert", {"Cam A", "Cam B"}, TakeOutput::Both, folder, &assembled);
    EXPECT_EQ(Names(both), (Strings{"Concert — Cam A.mov", "Concert — Cam B.mov"}));
    ASSERT_TRUE(assembled);
    EXPECT_EQ(*assembled, folder / "Concert.mov");
    EXPECT_EQ(both[0].parent_path(), folder);

    test::writeFile(folder / "Concert — Cam B.mov", "taken");
    EXPECT_EQ(Names(Take::urlsForName("Concert", {"Cam A", "Cam B"}, TakeOutput::Both, folder,
                                      &assembled)),
              (Strings{"Concert 2 — Cam A.mov", "Concert 2 — Cam B.mov"}));
    EXPECT_EQ(assembled->filename(), "Concert 2.mov");

    // Assembled only: no source movies; the source movie's file does not matter to it.
    EXPECT_TRUE(
        Take::urlsForName("Concert", {"Cam A", "Cam B"}, TakeOutput::Assembled, folder, &assembled)
            .empty());
    EXPECT_EQ(assembled->filename(), "Concert.mov");
    test::writeFile(folder / "Concert.mov", "taken");
    Take::urlsForName("Concert", {"Cam A"}, TakeOutput::Assembled, folder, &assembled);
    EXPECT_EQ(assembled->filename(), "Concert 2.mov");
    // Separate with one source: the stem alone, which now exists.
    EXPECT_EQ(separate("Concert", {"Cam A"}), Strings{"Concert 2.mov"});

    EXPECT_EQ(Take::outputNames(), (Strings{"separate", "assembled", "both"}));
    EXPECT_EQ(Take::nameForOutput(2), "both");
    EXPECT_EQ(Take::nameForOutput(7), "separate");
    EXPECT_EQ(Take::nameForOutput(-1), "separate");
    int64_t output = 5;
    EXPECT_TRUE(Take::getOutput(output, "ASSEMBLED"));
    EXPECT_EQ(output, 1);
    EXPECT_FALSE(Take::getOutput(output, "all"));
    EXPECT_EQ(output, 1);
}

// --- Start -----------------------------------------------------------------------------------

TEST_F(TakeTest, RefusesToStartWithExactReasons) {
    const auto expectRefusal = [&](const Take::StartOptions& o, const std::string& message,
                                   bool recording = false) {
        Error error;
        EXPECT_FALSE(take_.start(o, &error));
        EXPECT_EQ(error.message, message);
        EXPECT_EQ(error.domain, "net.orvak.zarvo.MovieRecorder");
        EXPECT_EQ(error.code, -1);
        EXPECT_EQ(take_.isRecording(), recording);
    };
    expectRefusal(options({}, TakeOutput::Separate), "No source is selected");
    auto missing = options({"Cam"}, TakeOutput::Separate);
    missing.folder = folder_ / "gone";
    expectRefusal(missing, "The folder “" + missing.folder.string() + "” does not exist");

    auto large = options({"Cam"}, TakeOutput::Assembled);
    large.assembledSize = Size{16385.7, 100.2};
    expectRefusal(large,
                  "An assembled picture of 16385 × 100 is too large to be written. "
                  "Choose a smaller size for the assembled movie");
    large.output = TakeOutput::Both;
    large.assembledSize = Size{100, 20000};
    expectRefusal(large,
                  "An assembled picture of 100 × 20000 is too large to be written. "
                  "Choose a smaller size for the assembled movie");
    auto none = options({"Cam"}, TakeOutput::Assembled);
    none.assembledSize = Size{1, 1000};
    expectRefusal(none, "The assembled picture has no size");
    none.assembledSize = Size{std::nan(""), 1000};
    expectRefusal(none, "The assembled picture has no size");
    // The assembled size does not matter without an assembled movie.
    none.output = TakeOutput::Separate;
    EXPECT_TRUE(std::filesystem::is_empty(folder_.path()));

    Error error;
    ASSERT_TRUE(take_.start(none, &error)) << error.message;
    EXPECT_TRUE(take_.isRecording());
    EXPECT_EQ(take_.movies().size(), 1u);
    EXPECT_FALSE(take_.assembledMovie());
    expectRefusal(none, "A recording is already in progress", true);

    // Until every movie has reported its end, a new take waits.
    bool done = false;
    take_.finishAtTime(101.0, [&](const std::optional<Error>&) { done = true; });
    expectRefusal(none, "The previous movies are still being finished");
    ASSERT_TRUE(loop_.runUntil([&] { return done; }, 60));
    ASSERT_TRUE(take_.start(none, &error)) << error.message;
    const auto outcome = finish(take_, 101.0);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->message, "No frame was received, so no movie was written");
}

TEST_F(TakeTest, AMovieThatCannotStartEndsTheOnesAlreadyStarted) {
    auto o = options({"Cam A", "Cam B", "Cam C"}, TakeOutput::Both);
    o.assembledSize = Size{128, 36};
    o.sizes = {Size{64, 36}, Size{20001, 100}, std::nullopt};
    Error error;
    EXPECT_FALSE(take_.start(o, &error));
    EXPECT_EQ(error.message, "A h264 movie of 20000 × 100 cannot be written");
    EXPECT_FALSE(take_.isRecording());
    EXPECT_TRUE(take_.movies().empty());

    // The assembled movie and the first source movie, already started, end without a file.
    o.sizes[1] = Size{64, 36};
    ASSERT_TRUE(loop_.runUntil([&] { return std::filesystem::is_empty(folder_.path()); }, 30));
    ASSERT_TRUE(loop_.runUntil([&] { return take_.start(o, &error); }, 30)) << error.message;
    EXPECT_EQ(Names({take_.movies()[0]->url(), take_.assembledMovie()->url()}),
              (std::vector<std::string>{"Take — Cam A.mov", "Take.mov"}));
    feed(take_, 3, 3, 10);
    ASSERT_FALSE(finish(take_, 100.3));
    for (const auto& movie : take_.movies()) {
        EXPECT_EQ(movie->framesWritten(), 3u) << movie->sourceTitle();
        EXPECT_FALSE(movie->error());
    }
}

// --- Recording -------------------------------------------------------------------------------

TEST_F(TakeTest, RecordsSourceAndAssembledMoviesTogether) {
    auto o = options({"Cam A", "Cam B"}, TakeOutput::Both);
    o.name = "Concert";
    o.assembledSize = Size{128.9, 36.4};
    o.sizes = {Size{64, 36}, std::nullopt};
    Error error;
    ASSERT_TRUE(take_.start(o, &error)) << error.message;
    const auto movies = take_.movies();
    const auto assembled = take_.assembledMovie();
    ASSERT_EQ(movies.size(), 2u);
    ASSERT_TRUE(assembled);
    EXPECT_EQ(movies[0]->sourceTitle(), "Cam A");
    EXPECT_EQ(movies[1]->sourceTitle(), "Cam B");
    EXPECT_EQ(assembled->sourceTitle(), "");
    EXPECT_EQ(movies[1]->url(), folder_ / "Concert — Cam B.mov");
    EXPECT_EQ(assembled->url(), folder_ / "Concert.mov");
    EXPECT_FALSE(assembled->hasSound());

    // Source 1's size is known once its first frame arrives; frames for no movie are ignored.
    const std::vector<gpu::TextureRef> textures = {test::solidTexture(64, 36, kRed),
                                                   test::solidTexture(97, 55, kBlue)};
    take_.appendTexture(textures[0], false, 7, 100.0);
    take_.appendSound(test::toneSound(480, 48000, 0, 0.5), 7, 100.01);
    feed(take_, 2, 10, 10, {}, textures);
    EXPECT_EQ(take_.framesPending(), 0u);
    ASSERT_FALSE(finish(take_, 101.0));
    EXPECT_FALSE(take_.isRecording());

    const std::vector<std::pair<TakeMovieRef, Size>> expected = {
        {movies[0], {64, 36}}, {movies[1], {96, 54}}, {assembled, {128, 36}}};
    for (const auto& [movie, size] : expected) {
        SCOPED_TRACE(movie->url().filename().string());
        EXPECT_EQ(movie->framesWritten(), 10u);
        EXPECT_EQ(movie->framesDropped(), 0u);
        EXPECT_FALSE(movie->error());
        const auto probe = MovieProbe::read(movie->url());
        ASSERT_TRUE(probe.picture) << probe.error;
        EXPECT_EQ(probe.streamCount, 1);
        EXPECT_EQ(probe.picture->width, size.width);
        EXPECT_EQ(probe.picture->height, size.height);
        ASSERT_EQ(probe.picture->times.size(), 10u);
        EXPECT_EQ(probe.picture->times[9], 54000);
        EXPECT_NEAR(probe.picture->end, 1.0, 1e-9);
    }
    // The movies stay readable, and the next take of the name gets the next number.
    ASSERT_TRUE(take_.start(o, &error)) << error.message;
    EXPECT_EQ(take_.assembledMovie()->url(), folder_ / "Concert 2.mov");
    EXPECT_EQ(movies[0]->url(), folder_ / "Concert — Cam A.mov");
    const auto outcome = finish(take_, 101.0);
    ASSERT_TRUE(outcome);
}

TEST_F(TakeTest, RoutesEachSoundToTheChosenMovies) {
    // Sound levels tell the sounds apart: the computer 0.25, source 0 0.5, source 1 0.75.
    std::vector<SoundEvent> sounds;
    const double levels[] = {0.25, 0.5, 0.75};
    for (int64_t source : {kComputer, int64_t{0}, int64_t{1}}) {
        for (const auto& timed : test::toneBuffers(100.0, 0.5, 480, 48000, 0, levels[source + 1])) {
            sounds.push_back({source, timed});
        }
    }
    std::stable_sort(sounds.begin(), sounds.end(),
                     [](const auto& a, const auto& b) { return a.timed.time < b.timed.time; });

    struct Case {
        const char* name;
        TakeOutput output;
        bool computer;
        std::set<uint64_t> soundSources;
        uint64_t assembledIndex;
        // Expected level per movie (source movies, then the assembled one); 0: no sound track.
        std::vector<double> levels;
    };
    const std::vector<Case> cases = {
        {"both, computer, own sound of 1", TakeOutput::Both, true, {1}, kNotFound, {0, 0.75, 0.25}},
        {"separate, computer, own sound of 1",
         TakeOutput::Separate,
         true,
         {1},
         kNotFound,
         {0.25, 0.75}},
        {"assembled, index past the sources", TakeOutput::Assembled, false, {}, 2, {0}},
        {"assembled, source 0", TakeOutput::Assembled, false, {}, 0, {0.5}},
        {"both, own sound of 0, source 1 assembled",
         TakeOutput::Both,
         false,
         {0},
         1,
         {0.5, 0, 0.75}},
        {"both, computer wins over the index", TakeOutput::Both, true, {}, 0, {0, 0, 0.25}},
        {"separate, computer", TakeOutput::Separate, true, {}, kNotFound, {0.25, 0.25}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TestFolder folder;
        auto o = options({"A", "B"}, c.output);
        o.folder = folder.path();
        o.settings.codec = 2;  // uncompressed sound keeps the levels exact
        o.assembledSize = Size{64, 36};
        o.sizes = {Size{64, 36}, Size{64, 36}};
        o.computerSound = c.computer;
        o.soundSources = c.soundSources;
        o.assembledSoundIndex = c.assembledIndex;
        Error error;
        ASSERT_TRUE(take_.start(o, &error)) << error.message;
        auto movies = take_.movies();
        if (take_.assembledMovie()) {
            movies.push_back(take_.assembledMovie());
        }
        ASSERT_EQ(movies.size(), c.levels.size());
        feed(take_, 2, 5, 10, sounds);
        ASSERT_FALSE(finish(take_, 100.5));
        for (size_t i = 0; i < movies.size(); ++i) {
            SCOPED_TRACE(movies[i]->url().filename().string());
            EXPECT_EQ(movies[i]->hasSound(), c.levels[i] > 0);
            const auto probe = MovieProbe::read(movies[i]->url(), true);
            ASSERT_TRUE(probe.picture) << probe.error;
            if (c.levels[i] == 0) {
                EXPECT_FALSE(probe.sound);
                EXPECT_EQ(movies[i]->soundWritten(), 0.0);
                continue;
            }
            ASSERT_TRUE(probe.sound);
            EXPECT_NEAR(movies[i]->soundWritten(), 0.5, 1e-9);
            ASSERT_EQ(probe.sound->left.size(), 24000u);
            EXPECT_NEAR(probe.sound->left[100], c.levels[i], 1e-4);
            EXPECT_NEAR(probe.sound->right[23900], c.levels[i], 1e-4);
        }
    }
}

// --- Finish and failure ----------------------------------------------------------------------

TEST_F(TakeTest, ATakeWithoutFramesLeavesNoMovie) {
    auto o = options({"A", "B"}, TakeOutput::Both);
    o.assembledSize = Size{64, 36};
    o.sizes = {Size{64, 36}, std::nullopt};
    o.computerSound = true;
    Error error;
    ASSERT_TRUE(take_.start(o, &error)) << error.message;
    take_.appendComputerSound(test::toneSound(4800, 48000, 440, 0.5), 100.1);
    auto outcome = finish(take_, 101.0);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->message, "No frame was received, so no movie was written");
    EXPECT_EQ(outcome->domain, "net.orvak.zarvo.MovieRecorder");
    for (const auto& movie : take_.movies()) {
        EXPECT_FALSE(movie->error());
    }
    EXPECT_FALSE(take_.assembledMovie()->error());
    EXPECT_TRUE(std::filesystem::is_empty(folder_.path()));

    outcome = finish(take_, 102.0);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->message, "There is no recording in progress");
}

TEST_F(TakeTest, AMovieThatFailsLeavesTheOthersRecording) {
    auto o = options({"A", "B"}, TakeOutput::Separate);
    Error error;
    ASSERT_TRUE(take_.start(o, &error)) << error.message;
    std::vector<std::pair<uint64_t, Error>> failures;
    take_.setMovieFailureHandler([&](uint64_t index, const Error& failure) {
        EXPECT_TRUE(loop_.isMainThread());
        failures.emplace_back(index, failure);
    });
    const auto movies = take_.movies();
    ASSERT_EQ(movies.size(), 2u);
    // Something takes movie B's file name before its first frame makes the file.
    std::filesystem::create_directory(movies[1]->url());
    feed(take_, 2, 10, 10);
    ASSERT_TRUE(loop_.runUntil([&] { return !failures.empty(); }, 30));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, 1u);
    EXPECT_EQ(failures[0].second.domain, "POSIX");
    EXPECT_EQ(failures[0].second.code, EEXIST);
    EXPECT_EQ(failures[0].second.message, std::strerror(EEXIST));
    ASSERT_TRUE(movies[1]->error());
    EXPECT_EQ(movies[1]->error()->code, EEXIST);
    EXPECT_TRUE(take_.isRecording());

    ASSERT_FALSE(finish(take_, 101.0));
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(movies[0]->framesWritten(), 10u);
    EXPECT_FALSE(movies[0]->error());
    EXPECT_EQ(movies[1]->error()->code, EEXIST);
    EXPECT_EQ(MovieProbe::decodeAllPictures(movies[0]->url()), 10);
    EXPECT_TRUE(std::filesystem::is_directory(movies[1]->url()));
}

}  // namespace
}  // namespace zarvo
