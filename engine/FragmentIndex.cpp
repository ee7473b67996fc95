#include "engine/FragmentIndex.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace zarvo::moviefile {

namespace {

constexpr uint32_t kSampleIsNonSync = 0x00010000;  // in the sample flags of a fragment

// Flags of a track fragment header: which fields follow the track number.
constexpr uint32_t kBaseOffsetGiven = 0x000001;
constexpr uint32_t kDescriptionGiven = 0x000002;
constexpr uint32_t kDurationGiven = 0x000008;
constexpr uint32_t kSizeGiven = 0x000010;
constexpr uint32_t kFlagsGiven = 0x000020;
constexpr uint32_t kNoSamples = 0x010000;
constexpr uint32_t kBaseIsFragment = 0x020000;

// Flags of a run: which fields follow the count, and which each sample has.
constexpr uint32_t kRunDataOffset = 0x001;
constexpr uint32_t kRunFirstFlags = 0x004;
constexpr uint32_t kSampleDuration = 0x100;
constexpr uint32_t kSampleSize = 0x200;
constexpr uint32_t kSampleFlags = 0x400;
constexpr uint32_t kSampleCompositionOffset = 0x800;

bool has(uint32_t flags, uint32_t flag) {
    return (flags & flag) != 0;
}

// The bytes of one frame of uncompressed sound described by the sample description box, or 0
// when the sound is compressed (or the description is not understood).
uint32_t pcmFrameBytes(const std::vector<uint8_t>& data, const Box& stsd) {
    Fields fields = contentsOf(data, stsd);
    fields.skip(4);
    if (fields.u32() != 1) {
        return 0;
    }
    fields.skip(4);  // the entry's size
    const uint32_t format = fields.u32();
    fields.skip(8);  // reserved, data reference index
    const uint32_t version = fields.u32() >> 16;
    fields.skip(4);  // vendor
    const uint32_t shape = fields.u32();
    const uint32_t channels = shape >> 16;
    const uint32_t bits = shape & 0xFFFF;
    fields.skip(8);  // compression id, packet size, sample rate
    uint32_t frameBytes = 0;
    if (version == 2 && format == fourcc("lpcm")) {
        fields.skip(20);  // struct size, rate, channels, 0x7F000000
        fields.skip(8);   // bits per channel, format flags
        frameBytes = fields.u32();
        if (fields.u32() != 1) {
            frameBytes = 0;
        }
    } else if (version <= 1) {
        static constexpr uint32_t kUncompressed[] = {fourcc("twos"), fourcc("sowt"), fourcc("raw "),
                                                     fourcc("in24"), fourcc("in32"), fourcc("fl32"),
                                                     fourcc("fl64")};
        if (std::find(std::begin(kUncompressed), std::end(kUncompressed), format) ==
            std::end(kUncompressed)) {
            return 0;
        }
        if (version == 1) {
            fields.skip(8);  // samples and bytes per packet
            frameBytes = fields.u32();
        } else {
            frameBytes = channels * bits / 8;
        }
    }
    return fields.failed() ? 0 : frameBytes;
}

// The time scale of a header box with times (mvhd, mdhd): after the version, flags, creation
// and modification times. 0 when the box is malformed.
uint32_t timescaleOf(const std::vector<uint8_t>& data, const Box& box) {
    Fields fields = contentsOf(data, box);
    const bool wide = fields.u8() == 1;
    fields.skip(3 + (wide ? 16 : 8));
    const uint32_t timescale = fields.u32();
    return fields.failed() ? 0 : timescale;
}

// The track's edit list, when its edit box has one.
bool readEdits(const std::vector<uint8_t>& moov, const Box& edts, Track* track) {
    std::vector<Box> editBoxes;
    if (!childBoxes(moov, edts, &editBoxes)) {
        return false;
    }
    const Box* elst = findBox(editBoxes, fourcc("elst"));
    if (elst == nullptr) {
        return true;
    }
    Fields list = contentsOf(moov, *elst);
    const bool wide = list.u8() == 1;
    list.skip(3);
    const uint32_t count = list.u32();
    for (uint32_t i = 0; i < count && !list.failed(); ++i) {
        Edit edit;
        edit.duration = list.sized(wide);
        edit.mediaTime = wide ? static_cast<int64_t>(list.u64()) : static_cast<int32_t>(list.u32());
        edit.rate = list.u32();
        track->edits.push_back(edit);
    }
    if (list.failed()) {
        return false;
    }
    track->hasEdits = true;
    return true;
}

// The sample description box of a media information box.
const Box* sampleDescriptions(const std::vector<uint8_t>& moov, const Box& minf,
                              std::vector<Box>* tableBoxes) {
    std::vector<Box> infoBoxes;
    if (!childBoxes(moov, minf, &infoBoxes)) {
        return nullptr;
    }
    const Box* stbl = findBox(infoBoxes, fourcc("stbl"));
    if (stbl == nullptr || !childBoxes(moov, *stbl, tableBoxes)) {
        return nullptr;
    }
    return findBox(*tableBoxes, fourcc("stsd"));
}

// The media's time scale and kind of sound.
bool readMedia(const std::vector<uint8_t>& moov, const Box& mdia, Track* track) {
    std::vector<Box> mediaBoxes;
    if (!childBoxes(moov, mdia, &mediaBoxes)) {
        return false;
    }
    const Box* mdhd = findBox(mediaBoxes, fourcc("mdhd"));
    const Box* hdlr = findBox(mediaBoxes, fourcc("hdlr"));
    const Box* minf = findBox(mediaBoxes, fourcc("minf"));
    if (mdhd == nullptr || hdlr == nullptr || minf == nullptr) {
        return false;
    }
    track->timescale = timescaleOf(moov, *mdhd);
    Fields handler = contentsOf(moov, *hdlr);
    handler.skip(8);
    const uint32_t kind = handler.u32();
    const bool sound = kind == fourcc("soun");
    track->timecode = kind == fourcc("tmcd");
    if (handler.failed() || track->timescale == 0) {
        return false;
    }
    std::vector<Box> tableBoxes;
    const Box* stsd = sampleDescriptions(moov, *minf, &tableBoxes);
    if (stsd == nullptr) {
        return false;
    }
    if (sound) {
        track->pcmFrameBytes = pcmFrameBytes(moov, *stsd);
    }
    return true;
}

// Reads what the header says of one track: its number, time scale, edits and kind of sound.
bool readTrack(const std::vector<uint8_t>& moov, const Box& trak, Track* track) {
    track->trak = trak;
    std::vector<Box> boxes;
    if (!childBoxes(moov, trak, &boxes)) {
        return false;
    }
    const Box* tkhd = findBox(boxes, fourcc("tkhd"));
    const Box* mdia = findBox(boxes, fourcc("mdia"));
    if (tkhd == nullptr || mdia == nullptr) {
        return false;
    }
    Fields header = contentsOf(moov, *tkhd);
    const bool wide = header.u8() == 1;
    header.skip(3 + (wide ? 16 : 8));
    track->id = header.u32();
    if (header.failed()) {
        return false;
    }
    if (const Box* edts = findBox(boxes, fourcc("edts"));
        edts != nullptr && !readEdits(moov, *edts, track)) {
        return false;
    }
    return readMedia(moov, *mdia, track);
}

Track* trackWithId(std::vector<Track>& tracks, uint32_t id) {
    for (Track& track : tracks) {
        if (track.id == id) {
            return &track;
        }
    }
    return nullptr;
}

// The tracks of the movie box, in its order.
bool readTracks(const std::vector<uint8_t>& moov, const std::vector<Box>& movieBoxes,
                std::vector<Track>* tracks) {
    for (const Box& box : movieBoxes) {
        if (box.type == fourcc("trak")) {
            Track track;
            if (!readTrack(moov, box, &track)) {
                return false;
            }
            tracks->push_back(std::move(track));
        }
    }
    return true;
}

// The defaults of each track's fragments, from the movie's extends box.
bool readFragmentDefaults(const std::vector<uint8_t>& moov, const Box& mvex,
                          std::vector<Track>& tracks) {
    std::vector<Box> extends;
    if (!childBoxes(moov, mvex, &extends)) {
        return false;
    }
    for (const Box& trex : extends) {
        if (trex.type != fourcc("trex")) {
            continue;
        }
        Fields fields = contentsOf(moov, trex);
        fields.skip(4);
        Track* track = trackWithId(tracks, fields.u32());
        FragmentDefaults defaults;
        defaults.description = fields.u32();
        defaults.duration = fields.u32();
        defaults.size = fields.u32();
        defaults.flags = fields.u32();
        if (fields.failed()) {
            return false;
        }
        if (track != nullptr) {
            track->defaults = defaults;
        }
    }
    return true;
}

// Where a track fragment's data starts and the defaults of its samples.
struct TrackFragment {
    uint64_t base = 0;
    FragmentDefaults defaults;
    bool empty = false;  // a fragment of no samples for this track
};

// Reads the track fragment header, whose data starts at `base` unless it says otherwise.
bool readTrackFragmentHeader(Fields& header, uint32_t flags, uint64_t moofStart,
                             TrackFragment* fragment) {
    if (has(flags, kBaseOffsetGiven)) {
        fragment->base = header.u64();
    } else if (has(flags, kBaseIsFragment)) {
        fragment->base = moofStart;
    }
    if (has(flags, kDescriptionGiven)) {
        fragment->defaults.description = header.u32();
    }
    if (has(flags, kDurationGiven)) {
        fragment->defaults.duration = header.u32();
    }
    if (has(flags, kSizeGiven)) {
        fragment->defaults.size = header.u32();
    }
    if (has(flags, kFlagsGiven)) {
        fragment->defaults.flags = header.u32();
    }
    fragment->empty = has(flags, kNoSamples);
    return !header.failed();
}

// The decoding time of a track fragment's first sample, when its decode time box gives it.
bool readDecodeTime(const std::vector<uint8_t>& moof, const std::vector<Box>& parts,
                    uint64_t* time) {
    const Box* tfdt = findBox(parts, fourcc("tfdt"));
    if (tfdt == nullptr) {
        return true;
    }
    Fields decode = contentsOf(moof, *tfdt);
    const bool wide = decode.u8() == 1;
    decode.skip(3);
    *time = decode.sized(wide);
    return !decode.failed();
}

// A run continues the track's last chunk when its data follows on directly.
void addChunk(Track& track, size_t firstSample, size_t count, uint32_t description) {
    Chunk* last = track.chunks.empty() ? nullptr : &track.chunks.back();
    if (last != nullptr && last->description == description &&
        track.samples[firstSample - 1].offset + track.samples[firstSample - 1].size ==
            track.samples[firstSample].offset) {
        last->count += count;
    } else {
        track.chunks.push_back(Chunk{firstSample, count, description});
    }
}

// Adds the samples of one run, whose data starts at *dataAt unless the run says otherwise, and
// moves *dataAt and *time past them.
bool readRun(const std::vector<uint8_t>& moof, const Box& trun, const TrackFragment& fragment,
             uint64_t fileSize, uint64_t* dataAt, uint64_t* time, Track& track) {
    Fields run = contentsOf(moof, trun);
    const int version = run.u8();
    const uint32_t runFlags = run.u24();
    const uint32_t count = run.u32();
    if (has(runFlags, kRunDataOffset)) {
        *dataAt = fragment.base +
                  static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(run.u32())));
    }
    const bool hasFirstFlags = has(runFlags, kRunFirstFlags);
    const uint32_t firstFlags = hasFirstFlags ? run.u32() : 0;
    // Each field present takes 4 bytes per sample: a count beyond the box is malformed.
    const int perSample =
        4 * (has(runFlags, kSampleDuration) + has(runFlags, kSampleSize) +
             has(runFlags, kSampleFlags) + has(runFlags, kSampleCompositionOffset));
    if (run.failed() || static_cast<uint64_t>(count) * static_cast<uint64_t>(perSample) >
                            trun.end - trun.content - run.position()) {
        return false;
    }
    const FragmentDefaults& defaults = fragment.defaults;
    const size_t firstSample = track.samples.size();
    for (uint32_t i = 0; i < count; ++i) {
        Sample sample;
        sample.duration = has(runFlags, kSampleDuration) ? run.u32() : defaults.duration;
        sample.size = has(runFlags, kSampleSize) ? run.u32() : defaults.size;
        uint32_t sampleFlags = has(runFlags, kSampleFlags) ? run.u32() : defaults.flags;
        if (i == 0 && hasFirstFlags) {
            sampleFlags = firstFlags;
        }
        if (has(runFlags, kSampleCompositionOffset)) {
            const uint32_t offset = run.u32();
            sample.compositionOffset = version == 0
                                           ? static_cast<int64_t>(offset)
                                           : static_cast<int64_t>(static_cast<int32_t>(offset));
        }
        sample.sync = (sampleFlags & kSampleIsNonSync) == 0;
        sample.offset = *dataAt;
        sample.time = static_cast<int64_t>(*time);
        if (sample.offset > fileSize || sample.size > fileSize - sample.offset) {
            return false;  // data beyond the end of the file
        }
        *dataAt += sample.size;
        *time += sample.duration;
        track.samples.push_back(sample);
    }
    if (run.failed()) {
        return false;
    }
    if (count > 0) {
        addChunk(track, firstSample, count, defaults.description);
    }
    return true;
}

// Adds the samples of one fragment box, which starts at moofStart in the file.
bool readFragment(const std::vector<uint8_t>& moof, uint64_t moofStart, uint64_t fileSize,
                  std::vector<Track>& tracks) {
    std::vector<Box> boxes;
    if (!childBoxes(moof, 8, moof.size(), &boxes)) {
        return false;
    }
    uint64_t previousDataEnd = moofStart;
    bool firstTraf = true;
    for (const Box& traf : boxes) {
        if (traf.type != fourcc("traf")) {
            continue;
        }
        std::vector<Box> parts;
        if (!childBoxes(moof, traf, &parts)) {
            return false;
        }
        const Box* tfhd = findBox(parts, fourcc("tfhd"));
        if (tfhd == nullptr) {
            return false;
        }
        Fields header = contentsOf(moof, *tfhd);
        header.skip(1);
        const uint32_t flags = header.u24();
        Track* track = trackWithId(tracks, header.u32());
        if (track == nullptr) {
            continue;
        }
        TrackFragment fragment;
        fragment.defaults = track->defaults;
        fragment.base = firstTraf ? moofStart : previousDataEnd;
        firstTraf = false;
        if (!readTrackFragmentHeader(header, flags, moofStart, &fragment)) {
            return false;
        }
        if (fragment.empty) {
            continue;
        }
        uint64_t time = track->nextTime;
        if (!readDecodeTime(moof, parts, &time)) {
            return false;
        }
        uint64_t dataAt = fragment.base;
        for (const Box& trun : parts) {
            if (trun.type == fourcc("trun") &&
                !readRun(moof, trun, fragment, fileSize, &dataAt, &time, *track)) {
                return false;
            }
        }
        track->nextTime = time;
        previousDataEnd = dataAt;
    }
    return true;
}

// Every sample of every fragment after the movie box.
bool readFragments(int fd, FragmentedMovie* movie, int* error) {
    std::vector<uint8_t> moof;
    for (const FileBox& box : movie->fileBoxes) {
        if (box.type == fourcc("moof") && box.start > movie->header.start) {
            if (!readFileBox(fd, box, &moof, error) ||
                !readFragment(moof, box.start, movie->fileSize, movie->tracks)) {
                return false;
            }
        }
    }
    return true;
}

// The file's size, its top-level boxes and its movie box, read whole.
bool readMovieBox(int fd, FragmentedMovie* movie, int* error) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        *error = errno;
        return false;
    }
    movie->fileSize = static_cast<uint64_t>(info.st_size);
    if (!readFileBoxes(fd, movie->fileSize, &movie->fileBoxes, error)) {
        return false;
    }
    const auto moov = std::find_if(movie->fileBoxes.begin(), movie->fileBoxes.end(),
                                   [](const FileBox& b) { return b.type == fourcc("moov"); });
    if (moov == movie->fileBoxes.end() || moov->size < 16 ||
        !readFileBox(fd, *moov, &movie->moov, error)) {
        return false;
    }
    movie->header = *moov;
    const size_t content = Fields(movie->moov.data(), 4).u32() == 1 ? 16 : 8;
    return childBoxes(movie->moov, content, movie->moov.size(), &movie->movieBoxes);
}

}  // namespace

IndexReading readFragmentIndex(int fd, FragmentedMovie* movie, int* error) {
    if (!readMovieBox(fd, movie, error)) {
        return IndexReading::failed;
    }
    const Box* mvex = findBox(movie->movieBoxes, fourcc("mvex"));
    const Box* mvhd = findBox(movie->movieBoxes, fourcc("mvhd"));
    if (mvex == nullptr) {
        return IndexReading::ordinary;
    }
    if (mvhd == nullptr) {
        return IndexReading::failed;
    }
    movie->timescale = timescaleOf(movie->moov, *mvhd);
    if (movie->timescale == 0 || !readTracks(movie->moov, movie->movieBoxes, &movie->tracks) ||
        !readFragmentDefaults(movie->moov, *mvex, movie->tracks) ||
        !readFragments(fd, movie, error)) {
        return IndexReading::failed;
    }
    // A track that never got a sample (sound that never came) is left out.
    std::erase_if(movie->tracks, [](const Track& track) { return track.samples.empty(); });
    return movie->tracks.empty() ? IndexReading::failed : IndexReading::fragmented;
}

}  // namespace zarvo::moviefile
