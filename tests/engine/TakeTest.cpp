#include "engine/Take.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

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

// --- Timecode, markers and the timeline file ----------------------------------------------------

// Seconds of a time in an OpenTimelineIO file.
double Seconds(const nlohmann::json& time) {
    return time.at("value").get<double>() / time.at("rate").get<double>();
}

TEST_F(TakeTest, TimelineFileDescribesEveryMovieWithItsTimecodeAndTheMarkers) {
    auto o = options({"Cam A", "Cam: B"}, TakeOutput::Both);
    o.name = "Concert";
    o.assembledSize = {128, 36};
    o.settings.framesPerSecond = 25;
    o.startOfDay = 52325.4;  // 14:32:05.4
    o.soundSources = {0};
    EXPECT_FALSE(take_.addMarker("before", 99.0)) << "no take, nothing to mark";
    Error error;
    ASSERT_TRUE(take_.start(o, &error)) << error.message;
    EXPECT_EQ(take_.timelineURL(), folder_ / "Concert.otio");

    const std::string longName = std::string(150, 'a') + std::string(100, '\xC3') + "x";
    std::string accents;
    for (int i = 0; i < 260; ++i) {
        accents += "é";
    }
    EXPECT_TRUE(take_.addMarker("", 100.5));
    EXPECT_TRUE(take_.addMarker("The soloist \"enters\"\n", 101.2));
    EXPECT_TRUE(take_.addMarker(accents, 101.5));
    EXPECT_TRUE(take_.addMarker("", 101.75));
    EXPECT_TRUE(take_.addMarker(longName, 101.8));
    feed(take_, 2, 50, 25, [] {
        std::vector<SoundEvent> events;
        for (const auto& timed : test::toneBuffers(100.0, 2.0, 480, 48000, 440, 0.5)) {
            events.push_back({0, timed});
        }
        return events;
    }());
    ASSERT_FALSE(finish(take_, 102.0));
    EXPECT_FALSE(take_.addMarker("after", 102.5));
    EXPECT_EQ(take_.markers().size(), 5u) << "the last take's markers stay readable";

    // Every movie carries the same start value and its source as reel.
    const TimecodeRate rate = *timecodeRateFor(25);
    const int64_t start = timecodeFrameAt(52325.4, rate);
    ASSERT_EQ(timecodeText(start, rate), "14:32:05:10");
    const std::vector<std::pair<std::string, std::string>> movies = {
        {"Concert.mov", "Concert"},
        {"Concert — Cam A.mov", "Cam A"},
        {"Concert — Cam- B.mov", "Cam: B"}};
    for (const auto& [file, reel] : movies) {
        const auto probe = MovieProbe::read(folder_ / file);
        ASSERT_TRUE(probe.opened) << file;
        EXPECT_EQ(probe.timecode, "14:32:05:10") << file;
        EXPECT_EQ(probe.reelName, reel) << file;
    }

    const auto timeline = nlohmann::json::parse(test::readFile(folder_ / "Concert.otio"));
    EXPECT_EQ(timeline.at("OTIO_SCHEMA"), "Timeline.1");
    EXPECT_EQ(timeline.at("name"), "Concert");
    EXPECT_EQ(timeline.at("global_start_time").at("OTIO_SCHEMA"), "RationalTime.1");
    EXPECT_EQ(timeline.at("global_start_time").at("value"), start);
    EXPECT_EQ(timeline.at("global_start_time").at("rate"), 25.0);
    const auto& stack = timeline.at("tracks");
    EXPECT_EQ(stack.at("OTIO_SCHEMA"), "Stack.1");

    // One video track per movie, the assembled one first, and one audio track for the movie
    // with sound; each clip is the whole movie, from its timecode, as long as it really is.
    const auto& tracks = stack.at("children");
    ASSERT_EQ(tracks.size(), 4u);
    const std::vector<std::tuple<std::string, std::string, std::string>> expected = {
        {"Video", "Assembled", "Concert.mov"},
        {"Video", "Cam A", "Concert — Cam A.mov"},
        {"Video", "Cam: B", "Concert — Cam- B.mov"},
        {"Audio", "Cam A", "Concert — Cam A.mov"}};
    for (size_t i = 0; i < tracks.size(); ++i) {
        const auto& [kind, name, file] = expected[i];
        SCOPED_TRACE(name + " " + kind);
        const auto& track = tracks[i];
        EXPECT_EQ(track.at("OTIO_SCHEMA"), "Track.1");
        EXPECT_EQ(track.at("kind"), kind);
        EXPECT_EQ(track.at("name"), name);
        ASSERT_EQ(track.at("children").size(), 1u);
        const auto& clip = track.at("children")[0];
        EXPECT_EQ(clip.at("OTIO_SCHEMA"), "Clip.2");
        EXPECT_EQ(clip.at("active_media_reference_key"), "DEFAULT_MEDIA");
        const auto& media = clip.at("media_references").at("DEFAULT_MEDIA");
        EXPECT_EQ(media.at("OTIO_SCHEMA"), "ExternalReference.1");
        EXPECT_EQ(media.at("target_url"), fileURL(std::filesystem::absolute(folder_ / file)));
        const auto& range = media.at("available_range");
        EXPECT_EQ(range.at("OTIO_SCHEMA"), "TimeRange.1");
        EXPECT_EQ(range.at("start_time").at("value"), start);
        const auto probe = MovieProbe::read(folder_ / file);
        ASSERT_TRUE(probe.picture);
        double length = probe.picture->end;
        if (probe.sound) {
            length = std::max(length, probe.sound->duration);
        }
        EXPECT_NEAR(Seconds(range.at("duration")), length, 0.001);
        EXPECT_NEAR(Seconds(range.at("duration")), 2.0, 0.1);
        EXPECT_EQ(clip.at("source_range"), range);
    }
    EXPECT_EQ(fileURL("/a b/Concert — Cam- B.mov"),
              "file:///a%20b/Concert%20%E2%80%94%20Cam-%20B.mov");

    // The markers, at their time since the take's start, named as given.
    const auto& markers = stack.at("markers");
    ASSERT_EQ(markers.size(), 5u);
    const std::vector<std::pair<std::string, double>> marks = {{"Marker 1", 0.5},
                                                               {"The soloist \"enters\"\n", 1.2},
                                                               {accents.substr(0, 400), 1.5},
                                                               {"Marker 4", 1.75},
                                                               {"", 1.8}};
    for (size_t i = 0; i < marks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(markers[i].at("OTIO_SCHEMA"), "Marker.2");
        if (i != 4) {
            EXPECT_EQ(markers[i].at("name"), marks[i].first);
        }
        // On the nearest frame.
        EXPECT_NEAR(Seconds(markers[i].at("marked_range").at("start_time")), marks[i].second,
                    0.5 / 25 + 1e-9);
    }
    // Bytes that are not text are kept as replacement characters, cut to 200 characters.
    const std::string kept = markers[4].at("name");
    EXPECT_EQ(kept.substr(0, 150), std::string(150, 'a'));
    EXPECT_EQ(kept.size(), 150u + 50u * 3u);

    // The next take counts the timeline among its files; an existing timeline is never
    // replaced.
    EXPECT_EQ(Names(Take::urlsForName("Concert", {"Cam A"}, TakeOutput::Separate, folder_.path(),
                                      nullptr)),
              std::vector<std::string>{"Concert 2.mov"});
    test::writeFile(folder_ / "Solo.otio", "mine");
    EXPECT_EQ(
        Names(Take::urlsForName("Solo", {"Cam A"}, TakeOutput::Separate, folder_.path(), nullptr)),
        std::vector<std::string>{"Solo 2.mov"});
    TakeTimeline again;
    again.name = "Solo";
    EXPECT_TRUE(writeTimelineFile(folder_ / "Solo.otio", again));
    EXPECT_EQ(test::readFile(folder_ / "Solo.otio"), "mine");
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
        ++files;
    }
    EXPECT_EQ(files, 5u) << "three movies and two timelines, no temporary file left";
}

TEST_F(TakeTest, ATakeWithoutMoviesWritesNoTimeline) {
    auto o = options({"Cam A"}, TakeOutput::Separate);
    o.startOfDay = 3600;
    o.settings.framesPerSecond = 12;  // no timecode at this rate, said once in the log
    Error error;
    ASSERT_TRUE(take_.start(o, &error)) << error.message;
    EXPECT_TRUE(take_.addMarker("", 100.1));
    ASSERT_TRUE(finish(take_, 101.0));
    EXPECT_FALSE(std::filesystem::exists(folder_ / "Take.otio"));

    // At a rate timecode cannot count, the movie is written without it and the timeline
    // counts in the movie's own time scale.
    ASSERT_TRUE(take_.start(o, &error)) << error.message;
    feed(take_, 1, 10, 12);
    ASSERT_FALSE(finish(take_, 101.0));
    const auto probe = MovieProbe::read(folder_ / "Take.mov");
    EXPECT_EQ(probe.timecode, "");
    EXPECT_EQ(probe.streamCount, 1);
    const auto timeline = nlohmann::json::parse(test::readFile(folder_ / "Take.otio"));
    EXPECT_TRUE(timeline.at("global_start_time").is_null());
    EXPECT_NEAR(Seconds(timeline.at("tracks")
                            .at("children")[0]
                            .at("children")[0]
                            .at("source_range")
                            .at("duration")),
                probe.picture->end, 0.001);
}

}  // namespace
}  // namespace zarvo
