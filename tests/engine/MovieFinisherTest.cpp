// Movies written in fragments become ordinary QuickTime movies at finish: one complete header,
// the samples where they were, and a file that plays at every step of the way.

#include "engine/MovieFinisher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>

#include "engine/MovieWriter.h"
#include "tests/support/MovieBoxes.h"
#include "tests/support/MovieProbe.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

using Step = MovieFinisher::Step;
using test::MovieProbe;

constexpr double kFps = 10;
constexpr int kPictures = 125;  // 12.5 s: a whole fragment of 10 s and a shorter one

std::vector<std::string> MovieWriterCodecNames() {
    return {"h264", "hevc", "prores422", "prores4444"};
}

const char* StepName(Step step) {
    switch (step) {
        case Step::Read:
            return "read";
        case Step::HeaderPartlyWritten:
            return "partly-written";
        case Step::HeaderWritten:
            return "written";
        case Step::HeaderNamed:
            return "named";
        case Step::FragmentsRetired:
            return "retired";
    }
    return "?";
}

std::vector<uint8_t> Contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> TopLevelTypes(const std::filesystem::path& file) {
    std::vector<std::string> types;
    for (const auto& box : test::topLevelBoxes(file)) {
        types.push_back(box.type);
    }
    return types;
}

// The stretches of the file that a stream's packets cover, joined where they touch.
std::vector<std::pair<int64_t, int64_t>> Extents(const std::vector<MovieProbe::Packet>& packets,
                                                 bool picture) {
    std::vector<std::pair<int64_t, int64_t>> extents;
    for (const auto& packet : packets) {
        if (packet.picture == picture) {
            extents.emplace_back(packet.position, packet.position + packet.size);
        }
    }
    std::sort(extents.begin(), extents.end());
    std::vector<std::pair<int64_t, int64_t>> joined;
    for (const auto& extent : extents) {
        if (!joined.empty() && joined.back().second == extent.first) {
            joined.back().second = extent.second;
        } else {
            joined.push_back(extent);
        }
    }
    return joined;
}

std::vector<MovieProbe::Packet> Only(const std::vector<MovieProbe::Packet>& packets, bool picture) {
    std::vector<MovieProbe::Packet> some;
    std::copy_if(packets.begin(), packets.end(), std::back_inserter(some),
                 [&](const auto& p) { return p.picture == picture; });
    std::sort(some.begin(), some.end(), [](const auto& a, const auto& b) { return a.dts < b.dts; });
    return some;
}

// The finished movie describes the fragmented one's samples exactly: same pictures at the same
// places, times and key frames (durations follow from the times, and the last one from the
// track's end); the same sound bytes and decoded sound.
void ExpectSameSamples(const std::filesystem::path& fragmented,
                       const std::filesystem::path& finished, bool pcm) {
    const auto before = MovieProbe::packets(fragmented);
    const auto after = MovieProbe::packets(finished);
    const auto pictures = Only(before, true);
    const auto finishedPictures = Only(after, true);
    ASSERT_EQ(finishedPictures.size(), pictures.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(finishedPictures[i].position, pictures[i].position);
        EXPECT_EQ(finishedPictures[i].size, pictures[i].size);
        EXPECT_EQ(finishedPictures[i].pts, pictures[i].pts);
        EXPECT_EQ(finishedPictures[i].dts, pictures[i].dts);
        EXPECT_EQ(finishedPictures[i].key, pictures[i].key);
    }
    const auto sounds = Only(before, false);
    const auto finishedSounds = Only(after, false);
    if (!pcm) {
        // Compressed sound: packet for packet.
        ASSERT_EQ(finishedSounds.size(), sounds.size());
        for (size_t i = 0; i < sounds.size(); ++i) {
            EXPECT_EQ(finishedSounds[i].position, sounds[i].position) << i;
            EXPECT_EQ(finishedSounds[i].size, sounds[i].size) << i;
            EXPECT_EQ(finishedSounds[i].pts, sounds[i].pts) << i;
        }
    }
    // Uncompressed sound is described frame by frame once finished, and read back in other
    // pieces: the same bytes all the same.
    EXPECT_EQ(Extents(after, false), Extents(before, false));

    const auto a = MovieProbe::read(fragmented, true);
    const auto b = MovieProbe::read(finished, true);
    ASSERT_TRUE(a.opened && b.opened);
    EXPECT_EQ(b.streamCount, a.sound && a.sound->sampleCount > 0 ? 2 : 1);
    ASSERT_TRUE(a.picture && b.picture);
    EXPECT_EQ(b.picture->codecTag, a.picture->codecTag);
    EXPECT_EQ(b.picture->times, a.picture->times);
    EXPECT_EQ(b.picture->keyFrames, a.picture->keyFrames);
    EXPECT_EQ(b.picture->timescale, a.picture->timescale);
    EXPECT_NEAR(b.picture->end, a.picture->end, 1e-9);
    EXPECT_EQ(b.picture->colorPrimaries, a.picture->colorPrimaries);
    EXPECT_EQ(b.picture->colorTransfer, a.picture->colorTransfer);
    EXPECT_EQ(b.picture->colorSpace, a.picture->colorSpace);
    ASSERT_EQ(b.sound.has_value(), a.sound && a.sound->sampleCount > 0);
    if (b.sound) {
        EXPECT_EQ(b.sound->codec, a.sound->codec);
        EXPECT_EQ(b.sound->timescale, a.sound->timescale);
        EXPECT_EQ(b.sound->sampleCount, a.sound->sampleCount);
        EXPECT_EQ(b.sound->left, a.sound->left);
    }
}

struct Variant {
    const char* name;
    bool recordsSound;
    bool getsSound;
    int firstSlot;
};

class MovieFinisherCodecTest : public ::testing::TestWithParam<int64_t> {
  protected:
    test::TestFolder folder_;
};

TEST_P(MovieFinisherCodecTest, FinishedMoviesAreOrdinaryAndPlayAtEveryStep) {
    const int64_t codec = GetParam();
    const bool pcm = codec >= 2;
    for (const Variant& v :
         {Variant{"late-sound", true, true, 3}, Variant{"silent", false, false, 0},
          Variant{"sound-never-came", true, false, 0}}) {
        SCOPED_TRACE(v.name);
        MovieWriter::Options options;
        options.file = folder_ / (std::string(v.name) + ".mov");
        options.codec = codec;
        options.width = 96;
        options.height = 54;
        options.framesPerSecond = kFps;
        options.recordsSound = v.recordsSound;
        // The file as it stands at each step of the finishing.
        std::map<Step, std::filesystem::path> states;
        options.finishingStep = [&](Step step) {
            const auto copy = folder_ / (std::string(v.name) + "-" + StepName(step) + ".mov");
            std::filesystem::copy_file(options.file, copy);
            states[step] = copy;
        };
        const auto error = test::writeTestMovie(options, kPictures, v.firstSlot, v.getsSound);
        ASSERT_FALSE(error) << error->message;
        ASSERT_EQ(states.size(), 5u);
        const auto& fragmented = states[Step::Read];
        // Fragments are cut every 10 s of the picture track, where sound is written.
        EXPECT_EQ(test::countTopLevel(fragmented, "moof"),
                  v.getsSound || !v.recordsSound ? 2u : 1u);
        EXPECT_EQ(test::countTopLevel(fragmented, "mfra"), 1u);

        // One header with whole sample tables after the media data, nothing else.
        const auto& file = options.file;
        EXPECT_EQ(TopLevelTypes(file), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
        EXPECT_TRUE(test::boxesAt(file, "moov/mvex").empty());
        EXPECT_EQ(test::boxesAt(file, "moov/trak").size(), v.getsSound ? 2u : 1u);
        for (const char* table : {"stts", "stsc", "stsz", "stco"}) {
            EXPECT_EQ(test::boxesAt(file, std::string("moov/trak/mdia/minf/stbl/") + table).size(),
                      v.getsSound ? 2u : 1u)
                << table;
        }
        // Key frames are listed where not every picture is one.
        EXPECT_EQ(test::boxesAt(file, "moov/trak/mdia/minf/stbl/stss").size(), codec < 2 ? 1u : 0u);
        ExpectSameSamples(fragmented, file, pcm);

        EXPECT_EQ(MovieProbe::decodeAllPictures(file), kPictures);
        EXPECT_EQ(MovieProbe::gstreamerPictureCount(file), kPictures);
        EXPECT_EQ(MovieProbe::mediainfoFrameCount(file), kPictures);

        // Every state on the way plays in full, with either reader.
        if (v.firstSlot > 0) {
            for (const auto& [step, state] : states) {
                SCOPED_TRACE(StepName(step));
                EXPECT_EQ(MovieProbe::decodeAllPictures(state), kPictures);
                EXPECT_EQ(MovieProbe::gstreamerPictureCount(state), kPictures);
                EXPECT_EQ(MovieProbe::read(state).picture->times,
                          MovieProbe::read(file).picture->times);
            }
            EXPECT_EQ(TopLevelTypes(states[Step::HeaderNamed]).back(), "moov");
            EXPECT_EQ(test::countTopLevel(states[Step::FragmentsRetired], "moof"), 0u);
        }
    }
}

std::string CodecName(const ::testing::TestParamInfo<int64_t>& info) {
    return MovieWriterCodecNames()[static_cast<size_t>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Codecs, MovieFinisherCodecTest, ::testing::Values(0, 1, 2, 3), CodecName);

class MovieFinisherTest : public ::testing::Test {
  protected:
    // A short fragmented ProRes 422 movie with sound, kept as it was before its finishing.
    std::filesystem::path fragmentedMovie() {
        MovieWriter::Options options;
        options.file = folder_ / "source.mov";
        options.codec = 2;
        options.width = 64;
        options.height = 36;
        options.framesPerSecond = kFps;
        options.recordsSound = true;
        const auto fragmented = folder_ / "fragmented.mov";
        options.finishingStep = [&](Step step) {
            if (step == Step::Read) {
                std::filesystem::copy_file(options.file, fragmented);
            }
        };
        const auto error = test::writeTestMovie(options, kPictures, 0, true);
        EXPECT_FALSE(error) << error->message;
        return fragmented;
    }

    static std::optional<Error> finish(const std::filesystem::path& file, int flags = O_RDWR) {
        const int fd = ::open(file.c_str(), flags | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        auto outcome = MovieFinisher::finish(fd);
        ::close(fd);
        return outcome;
    }

    test::TestFolder folder_;
};

TEST_F(MovieFinisherTest, MoviesBeyond4GiBUseWideOffsets) {
    // Three fragments after 4.5 GiB of free space (a hole on disk).
    const auto big = folder_ / "big.mov";
    ASSERT_TRUE(test::repeatFragments(fragmentedMovie(), big, 3, 4608ull << 20, false));
    const auto fragmented = MovieProbe::packets(big);
    ASSERT_EQ(Only(fragmented, true).size(), 300u);
    ASSERT_FALSE(finish(big));

    EXPECT_EQ(TopLevelTypes(big), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
    EXPECT_EQ(test::topLevelBoxes(big)[1].header, 16u);
    EXPECT_EQ(test::boxesAt(big, "moov/trak/mdia/minf/stbl/co64").size(), 2u);
    EXPECT_TRUE(test::boxesAt(big, "moov/trak/mdia/minf/stbl/stco").empty());
    const auto finished = MovieProbe::packets(big);
    EXPECT_EQ(Extents(finished, true), Extents(fragmented, true));
    EXPECT_EQ(Extents(finished, false), Extents(fragmented, false));
    EXPECT_GT(Only(finished, true).front().position, int64_t{4} << 30);
    const auto probe = MovieProbe::read(big);
    ASSERT_TRUE(probe.picture);
    ASSERT_EQ(probe.picture->times.size(), 300u);
    EXPECT_EQ(probe.picture->times.back(), 299 * 6000);
    EXPECT_EQ(MovieProbe::decodeAllPictures(big), 300);
    EXPECT_EQ(MovieProbe::gstreamerPictureCount(big), 300);
}

TEST_F(MovieFinisherTest, LeavesOrdinaryBrokenAndUnwritableMoviesAsTheyWere) {
    const auto fragmented = fragmentedMovie();

    // Finishing a finished movie changes nothing.
    const auto twice = folder_ / "twice.mov";
    std::filesystem::copy_file(fragmented, twice);
    ASSERT_FALSE(finish(twice));
    const auto finished = Contents(twice);
    ASSERT_FALSE(finish(twice));
    EXPECT_EQ(Contents(twice), finished);

    // A file that cannot be written: the system's reason, and the movie as it was.
    const auto locked = folder_ / "locked.mov";
    std::filesystem::copy_file(fragmented, locked);
    const auto refused = finish(locked, O_RDONLY);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->domain, "POSIX");
    EXPECT_EQ(refused->code, EBADF);
    EXPECT_EQ(Contents(locked), Contents(fragmented));

    // A fragment that ends early, or one whose samples lie beyond the end of the file.
    const auto boxes = test::topLevelBoxes(fragmented);
    const auto second = std::find_if(boxes.rbegin(), boxes.rend(),
                                     [](const auto& box) { return box.type == "moof"; });
    ASSERT_NE(second, boxes.rend());
    const auto cut = folder_ / "cut.mov";
    std::filesystem::copy_file(fragmented, cut);
    std::filesystem::resize_file(cut, second->offset + 40);
    const auto cutContents = Contents(cut);
    const auto outcome = finish(cut);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->domain, "net.orvak.zarvo.MovieRecorder");
    EXPECT_EQ(outcome->code, -1);
    EXPECT_EQ(outcome->message, "The movie could not be finished");
    EXPECT_EQ(Contents(cut), cutContents);

    const auto shortened = folder_ / "shortened.mov";
    std::filesystem::copy_file(fragmented, shortened);
    std::filesystem::resize_file(shortened, second->offset + second->size + 16);
    const auto shortenedContents = Contents(shortened);
    // The last box, media data, now says it runs past the end: an ordinary reader's view is
    // "broken"; the finisher refuses it too.
    ASSERT_TRUE(finish(shortened));
    EXPECT_EQ(Contents(shortened), shortenedContents);
}

}  // namespace
}  // namespace zarvo
