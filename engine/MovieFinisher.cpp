#include "engine/MovieFinisher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine/MovieError.h"

namespace zarvo {

namespace {

constexpr uint32_t fourcc(const char (&text)[5]) {
    return (uint32_t{static_cast<uint8_t>(text[0])} << 24) |
           (uint32_t{static_cast<uint8_t>(text[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(text[2])} << 8) | uint32_t{static_cast<uint8_t>(text[3])};
}

constexpr uint64_t kMaxHeaderBytes = 512ull << 20;  // a movie box or a fragment box
constexpr uint32_t kSampleIsNonSync = 0x00010000;   // in the sample flags of a fragment

Error unfinished() {
    return movieError("The movie could not be finished");
}

// --- Reading -------------------------------------------------------------------------------

// Big-endian fields read from a bounded stretch of bytes; reading past its end yields zeros and
// marks the reader as failed, so a malformed box is noticed once at the end.
class Fields {
  public:
    Fields(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint64_t take(int bytes) {
        if (size_ - at_ < static_cast<size_t>(bytes) || at_ > size_) {
            failed_ = true;
            at_ = size_;
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value = (value << 8) | data_[at_++];
        }
        return value;
    }
    uint8_t u8() { return static_cast<uint8_t>(take(1)); }
    uint32_t u24() { return static_cast<uint32_t>(take(3)); }
    uint32_t u32() { return static_cast<uint32_t>(take(4)); }
    uint64_t u64() { return take(8); }
    // A field of 4 or 8 bytes, as the box's version says.
    uint64_t sized(bool wide) { return wide ? u64() : u32(); }
    void skip(size_t bytes) {
        if (size_ - at_ < bytes) {
            failed_ = true;
            at_ = size_;
        } else {
            at_ += bytes;
        }
    }
    size_t position() const { return at_; }
    bool failed() const { return failed_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    bool failed_ = false;
};

// A box inside a buffer: [start, end) with its contents from content on.
struct Box {
    uint32_t type = 0;
    size_t start = 0;
    size_t content = 0;
    size_t end = 0;
};

// The boxes in [begin, end) of the buffer; false when one of them is malformed.
bool childBoxes(const std::vector<uint8_t>& data, size_t begin, size_t end,
                std::vector<Box>* boxes) {
    boxes->clear();
    size_t at = begin;
    while (at < end) {
        if (end - at < 8) {
            return false;
        }
        Fields header(&data[at], end - at);
        uint64_t size = header.u32();
        const uint32_t type = header.u32();
        size_t headerSize = 8;
        if (size == 1) {
            size = header.u64();
            headerSize = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (header.failed() || size < headerSize || size > end - at) {
            return false;
        }
        boxes->push_back(Box{type, at, at + headerSize, at + static_cast<size_t>(size)});
        at += static_cast<size_t>(size);
    }
    return true;
}

const Box* findBox(const std::vector<Box>& boxes, uint32_t type) {
    for (const Box& box : boxes) {
        if (box.type == type) {
            return &box;
        }
    }
    return nullptr;
}

// --- Writing -------------------------------------------------------------------------------

class BoxWriter {
  public:
    size_t begin(uint32_t type) {
        const size_t at = out_.size();
        u32(0);
        u32(type);
        return at;
    }
    void end(size_t at) {
        const uint64_t size = out_.size() - at;
        if (size > std::numeric_limits<uint32_t>::max()) {
            tooLarge_ = true;
            return;
        }
        for (int i = 0; i < 4; ++i) {
            out_[at + static_cast<size_t>(i)] = static_cast<uint8_t>(size >> (24 - 8 * i));
        }
    }
    void put(uint64_t value, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) {
            out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }
    void u8(uint64_t value) { put(value, 1); }
    void u24(uint64_t value) { put(value, 3); }
    void u32(uint64_t value) { put(value, 4); }
    void u64(uint64_t value) { put(value, 8); }
    void sized(uint64_t value, bool wide) { put(value, wide ? 8 : 4); }
    void bytes(const uint8_t* data, size_t size) { out_.insert(out_.end(), data, data + size); }
    void copy(const std::vector<uint8_t>& data, const Box& box) {
        bytes(data.data() + box.start, box.end - box.start);
    }

    std::vector<uint8_t>& data() { return out_; }
    bool tooLarge() const { return tooLarge_; }

  private:
    std::vector<uint8_t> out_;
    bool tooLarge_ = false;
};

// --- The movie -----------------------------------------------------------------------------

struct Sample {
    uint64_t offset = 0;
    int64_t time = 0;  // decoding time in the track's time scale
    uint32_t size = 0;
    uint32_t duration = 0;
    int64_t compositionOffset = 0;
    bool sync = true;
};

// Consecutive samples stored one after the other.
struct Chunk {
    size_t first = 0;
    size_t count = 0;
    uint32_t description = 1;
};

struct Edit {
    uint64_t duration = 0;   // in the movie's time scale; 0 in a fragmented movie: to the end
    int64_t mediaTime = -1;  // -1: an empty edit
    uint32_t rate = 0x00010000;
};

struct FragmentDefaults {
    uint32_t description = 1;
    uint32_t duration = 0;
    uint32_t size = 0;
    uint32_t flags = 0;
};

struct Track {
    uint32_t id = 0;
    uint32_t timescale = 0;
    Box trak;
    bool hasEdits = false;
    std::vector<Edit> edits;
    // Uncompressed sound: the bytes of one frame (all channels), whose samples are frames.
    uint32_t pcmFrameBytes = 0;
    FragmentDefaults defaults;
    std::vector<Sample> samples;
    std::vector<Chunk> chunks;
    uint64_t nextTime = 0;
};

// The bytes of one frame of uncompressed sound described by the sample description box, or 0
// when the sound is compressed (or the description is not understood).
uint32_t pcmFrameBytes(const std::vector<uint8_t>& data, const Box& stsd) {
    Fields fields(&data[stsd.content], stsd.end - stsd.content);
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

// Reads what the header says of one track: its number, time scale, edits and kind of sound.
bool readTrack(const std::vector<uint8_t>& moov, const Box& trak, Track* track) {
    track->trak = trak;
    std::vector<Box> boxes;
    if (!childBoxes(moov, trak.content, trak.end, &boxes)) {
        return false;
    }
    const Box* tkhd = findBox(boxes, fourcc("tkhd"));
    const Box* mdia = findBox(boxes, fourcc("mdia"));
    if (tkhd == nullptr || mdia == nullptr) {
        return false;
    }
    Fields header(&moov[tkhd->content], tkhd->end - tkhd->content);
    const bool wide = header.u8() == 1;
    header.skip(3 + (wide ? 16 : 8));
    track->id = header.u32();
    if (header.failed()) {
        return false;
    }
    if (const Box* edts = findBox(boxes, fourcc("edts"))) {
        std::vector<Box> editBoxes;
        if (!childBoxes(moov, edts->content, edts->end, &editBoxes)) {
            return false;
        }
        if (const Box* elst = findBox(editBoxes, fourcc("elst"))) {
            Fields list(&moov[elst->content], elst->end - elst->content);
            const bool wideList = list.u8() == 1;
            list.skip(3);
            const uint32_t count = list.u32();
            for (uint32_t i = 0; i < count && !list.failed(); ++i) {
                Edit edit;
                edit.duration = list.sized(wideList);
                edit.mediaTime =
                    wideList ? static_cast<int64_t>(list.u64()) : static_cast<int32_t>(list.u32());
                edit.rate = list.u32();
                track->edits.push_back(edit);
            }
            if (list.failed()) {
                return false;
            }
            track->hasEdits = true;
        }
    }
    std::vector<Box> mediaBoxes;
    if (!childBoxes(moov, mdia->content, mdia->end, &mediaBoxes)) {
        return false;
    }
    const Box* mdhd = findBox(mediaBoxes, fourcc("mdhd"));
    const Box* hdlr = findBox(mediaBoxes, fourcc("hdlr"));
    const Box* minf = findBox(mediaBoxes, fourcc("minf"));
    if (mdhd == nullptr || hdlr == nullptr || minf == nullptr) {
        return false;
    }
    Fields media(&moov[mdhd->content], mdhd->end - mdhd->content);
    const bool wideMedia = media.u8() == 1;
    media.skip(3 + (wideMedia ? 16 : 8));
    track->timescale = media.u32();
    Fields handler(&moov[hdlr->content], hdlr->end - hdlr->content);
    handler.skip(8);
    const bool sound = handler.u32() == fourcc("soun");
    if (media.failed() || handler.failed() || track->timescale == 0) {
        return false;
    }
    std::vector<Box> infoBoxes;
    std::vector<Box> tableBoxes;
    if (!childBoxes(moov, minf->content, minf->end, &infoBoxes)) {
        return false;
    }
    const Box* stbl = findBox(infoBoxes, fourcc("stbl"));
    if (stbl == nullptr || !childBoxes(moov, stbl->content, stbl->end, &tableBoxes) ||
        findBox(tableBoxes, fourcc("stsd")) == nullptr) {
        return false;
    }
    if (sound) {
        track->pcmFrameBytes = pcmFrameBytes(moov, *findBox(tableBoxes, fourcc("stsd")));
    }
    return true;
}

Track* trackWithId(std::vector<Track>& tracks, uint32_t id) {
    for (Track& track : tracks) {
        if (track.id == id) {
            return &track;
        }
    }
    return nullptr;
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
        if (!childBoxes(moof, traf.content, traf.end, &parts)) {
            return false;
        }
        const Box* tfhd = findBox(parts, fourcc("tfhd"));
        if (tfhd == nullptr) {
            return false;
        }
        Fields header(&moof[tfhd->content], tfhd->end - tfhd->content);
        header.skip(1);
        const uint32_t flags = header.u24();
        Track* track = trackWithId(tracks, header.u32());
        if (track == nullptr) {
            continue;
        }
        FragmentDefaults defaults = track->defaults;
        uint64_t base = firstTraf ? moofStart : previousDataEnd;
        firstTraf = false;
        if ((flags & 0x000001) != 0) {
            base = header.u64();
        } else if ((flags & 0x020000) != 0) {
            base = moofStart;
        }
        if ((flags & 0x000002) != 0) {
            defaults.description = header.u32();
        }
        if ((flags & 0x000008) != 0) {
            defaults.duration = header.u32();
        }
        if ((flags & 0x000010) != 0) {
            defaults.size = header.u32();
        }
        if ((flags & 0x000020) != 0) {
            defaults.flags = header.u32();
        }
        if (header.failed()) {
            return false;
        }
        if ((flags & 0x010000) != 0) {
            continue;  // a fragment of no samples for this track
        }
        uint64_t time = track->nextTime;
        if (const Box* tfdt = findBox(parts, fourcc("tfdt"))) {
            Fields decode(&moof[tfdt->content], tfdt->end - tfdt->content);
            const bool wide = decode.u8() == 1;
            decode.skip(3);
            time = decode.sized(wide);
            if (decode.failed()) {
                return false;
            }
        }
        uint64_t dataAt = base;
        for (const Box& trun : parts) {
            if (trun.type != fourcc("trun")) {
                continue;
            }
            Fields run(&moof[trun.content], trun.end - trun.content);
            const int version = run.u8();
            const uint32_t runFlags = run.u24();
            const uint32_t count = run.u32();
            if ((runFlags & 0x001) != 0) {
                dataAt = base + static_cast<uint64_t>(
                                    static_cast<int64_t>(static_cast<int32_t>(run.u32())));
            }
            const bool hasFirstFlags = (runFlags & 0x004) != 0;
            const uint32_t firstFlags = hasFirstFlags ? run.u32() : 0;
            // Each field present takes 4 bytes per sample: a count beyond the box is malformed.
            const int perSample = 4 * (((runFlags & 0x100) != 0) + ((runFlags & 0x200) != 0) +
                                       ((runFlags & 0x400) != 0) + ((runFlags & 0x800) != 0));
            if (run.failed() || static_cast<uint64_t>(count) * static_cast<uint64_t>(perSample) >
                                    trun.end - trun.content - run.position()) {
                return false;
            }
            const size_t firstSample = track->samples.size();
            for (uint32_t i = 0; i < count; ++i) {
                Sample sample;
                sample.duration = (runFlags & 0x100) != 0 ? run.u32() : defaults.duration;
                sample.size = (runFlags & 0x200) != 0 ? run.u32() : defaults.size;
                uint32_t sampleFlags = (runFlags & 0x400) != 0 ? run.u32() : defaults.flags;
                if (i == 0 && hasFirstFlags) {
                    sampleFlags = firstFlags;
                }
                if ((runFlags & 0x800) != 0) {
                    const uint32_t offset = run.u32();
                    sample.compositionOffset =
                        version == 0 ? static_cast<int64_t>(offset)
                                     : static_cast<int64_t>(static_cast<int32_t>(offset));
                }
                sample.sync = (sampleFlags & kSampleIsNonSync) == 0;
                sample.offset = dataAt;
                sample.time = static_cast<int64_t>(time);
                if (sample.offset > fileSize || sample.size > fileSize - sample.offset) {
                    return false;  // data beyond the end of the file
                }
                dataAt += sample.size;
                time += sample.duration;
                track->samples.push_back(sample);
            }
            if (run.failed()) {
                return false;
            }
            if (count == 0) {
                continue;
            }
            // A run continues the previous chunk when its data follows on directly.
            Chunk* last = track->chunks.empty() ? nullptr : &track->chunks.back();
            if (last != nullptr && last->description == defaults.description &&
                track->samples[firstSample - 1].offset + track->samples[firstSample - 1].size ==
                    track->samples[firstSample].offset) {
                last->count += count;
            } else {
                track->chunks.push_back(Chunk{firstSample, count, defaults.description});
            }
        }
        track->nextTime = time;
        previousDataEnd = dataAt;
    }
    return true;
}

// --- The new header ------------------------------------------------------------------------

// value × to / from, rounded up, for times in different time scales.
uint64_t rescaleUp(uint64_t value, uint64_t to, uint64_t from) {
    // In two parts, so that nothing overflows for time scales of 32 bits.
    const uint64_t whole = value / from;
    const uint64_t rest = value % from;
    return whole * to + (rest * to + from - 1) / from;
}

// What a track's new tables need, worked out from its samples.
struct TrackPlan {
    std::vector<uint32_t> durations;  // each sample's, so its times follow from the sums
    uint64_t mediaDuration = 0;
    bool framesAsSamples = false;  // uncompressed sound: every frame is a sample
    std::vector<Edit> edits;
    bool writesEdits = false;
    uint64_t trackDuration = 0;  // in the movie's time scale
};

TrackPlan planTrack(const Track& track, uint32_t movieTimescale) {
    TrackPlan plan;
    const auto& samples = track.samples;
    // Durations follow the decoding times of the fragments, so that every sample keeps its time
    // even where a fragment's times do not join the previous one's.
    plan.durations.resize(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        uint32_t duration = samples[i].duration;
        if (i + 1 < samples.size()) {
            const int64_t gap = samples[i + 1].time - samples[i].time;
            if (gap >= 0 && gap <= std::numeric_limits<uint32_t>::max()) {
                duration = static_cast<uint32_t>(gap);
            }
        }
        plan.durations[i] = duration;
        plan.mediaDuration += duration;
    }
    if (track.pcmFrameBytes > 0) {
        plan.framesAsSamples = true;
        for (size_t i = 0; i < samples.size() && plan.framesAsSamples; ++i) {
            plan.framesAsSamples = samples[i].size % track.pcmFrameBytes == 0 &&
                                   samples[i].size / track.pcmFrameBytes == plan.durations[i] &&
                                   samples[i].compositionOffset == 0;
        }
    }

    // The media now starts at time 0: the edits that said where in the media the track starts
    // are moved by the first sample's time, and an edit that ran to the end gets its length.
    const int64_t first = samples.empty() ? 0 : samples.front().time;
    std::vector<Edit> edits = track.edits;
    if (!track.hasEdits || edits.empty()) {
        edits = {Edit{0, 0, 0x00010000}};  // movie time is media time
    }
    for (Edit& edit : edits) {
        if (edit.mediaTime < 0) {
            plan.edits.push_back(edit);
            continue;
        }
        int64_t mediaTime = edit.mediaTime - first;
        uint64_t duration = edit.duration;
        if (mediaTime < 0) {
            // The edit starts before the first sample: that stretch shows nothing.
            const uint64_t before =
                rescaleUp(static_cast<uint64_t>(-mediaTime), movieTimescale, track.timescale);
            plan.edits.push_back(Edit{before, -1, 0x00010000});
            duration = duration > before ? duration - before : 0;
            mediaTime = 0;
        }
        if (duration == 0) {
            const uint64_t left = plan.mediaDuration > static_cast<uint64_t>(mediaTime)
                                      ? plan.mediaDuration - static_cast<uint64_t>(mediaTime)
                                      : 0;
            duration = rescaleUp(left, movieTimescale, track.timescale);
        }
        plan.edits.push_back(Edit{duration, mediaTime, edit.rate});
    }
    // One edit that shows the whole media from its start says nothing: it is left out, as the
    // movie had none.
    plan.writesEdits = track.hasEdits || plan.edits.size() != 1 || plan.edits[0].mediaTime != 0;
    for (const Edit& edit : plan.edits) {
        plan.trackDuration += edit.duration;
    }
    return plan;
}

// A header box with creation and modification times and a duration (mvhd, tkhd, mdhd), copied
// with the new duration, in its wide form when a field needs it.
void writeTimesBox(BoxWriter& out, const std::vector<uint8_t>& data, const Box& box,
                   uint64_t duration, bool trackHeader) {
    Fields in(&data[box.content], box.end - box.content);
    const bool wide = in.u8() == 1;
    const uint32_t flags = in.u24();
    const uint64_t created = in.sized(wide);
    const uint64_t modified = in.sized(wide);
    const uint64_t middle =
        trackHeader ? in.u64() : in.u32();  // track number (+ reserved), or scale
    in.sized(wide);
    const size_t rest = in.position();
    const uint64_t narrow = std::numeric_limits<uint32_t>::max();
    const bool wideOut = wide || created > narrow || modified > narrow || duration > narrow;
    const size_t at = out.begin(box.type);
    out.u8(wideOut ? 1 : 0);
    out.u24(flags);
    out.sized(created, wideOut);
    out.sized(modified, wideOut);
    out.put(middle, trackHeader ? 8 : 4);
    out.sized(duration, wideOut);
    if (!in.failed()) {
        out.bytes(&data[box.content + rest], box.end - box.content - rest);
    }
    out.end(at);
}

void writeEdits(BoxWriter& out, const TrackPlan& plan) {
    const size_t edts = out.begin(fourcc("edts"));
    const size_t elst = out.begin(fourcc("elst"));
    bool wide = false;
    for (const Edit& edit : plan.edits) {
        wide = wide || edit.duration > std::numeric_limits<uint32_t>::max() ||
               edit.mediaTime > std::numeric_limits<int32_t>::max();
    }
    out.u8(wide ? 1 : 0);
    out.u24(0);
    out.u32(plan.edits.size());
    for (const Edit& edit : plan.edits) {
        out.sized(edit.duration, wide);
        out.sized(static_cast<uint64_t>(edit.mediaTime) & (wide ? ~0ull : 0xFFFFFFFFull), wide);
        out.u32(edit.rate);
    }
    out.end(elst);
    out.end(edts);
}

void writeSampleTables(BoxWriter& out, const std::vector<uint8_t>& moov, const Box& stsd,
                       const Track& track, const TrackPlan& plan) {
    const auto& samples = track.samples;
    out.copy(moov, stsd);
    const uint32_t frameBytes = track.pcmFrameBytes;
    const auto samplesIn = [&](const Chunk& chunk) -> uint64_t {
        if (!plan.framesAsSamples) {
            return chunk.count;
        }
        uint64_t frames = 0;
        for (size_t i = chunk.first; i < chunk.first + chunk.count; ++i) {
            frames += samples[i].size / frameBytes;
        }
        return frames;
    };

    // Times: runs of equal durations.
    const size_t stts = out.begin(fourcc("stts"));
    out.u32(0);
    if (plan.framesAsSamples) {
        out.u32(1);
        out.u32(plan.mediaDuration);
        out.u32(1);
    } else {
        std::vector<std::pair<uint32_t, uint32_t>> runs;
        for (uint32_t duration : plan.durations) {
            if (!runs.empty() && runs.back().second == duration) {
                ++runs.back().first;
            } else {
                runs.emplace_back(1, duration);
            }
        }
        out.u32(runs.size());
        for (const auto& [count, duration] : runs) {
            out.u32(count);
            out.u32(duration);
        }
    }
    out.end(stts);

    // Composition offsets, when a sample is shown at another time than it is decoded.
    const bool hasOffsets = std::any_of(samples.begin(), samples.end(),
                                        [](const Sample& s) { return s.compositionOffset != 0; });
    if (hasOffsets && !plan.framesAsSamples) {
        const bool negative = std::any_of(samples.begin(), samples.end(),
                                          [](const Sample& s) { return s.compositionOffset < 0; });
        std::vector<std::pair<uint32_t, int64_t>> runs;
        for (const Sample& sample : samples) {
            if (!runs.empty() && runs.back().second == sample.compositionOffset) {
                ++runs.back().first;
            } else {
                runs.emplace_back(1, sample.compositionOffset);
            }
        }
        const size_t ctts = out.begin(fourcc("ctts"));
        out.u8(negative ? 1 : 0);
        out.u24(0);
        out.u32(runs.size());
        for (const auto& [count, offset] : runs) {
            out.u32(count);
            out.u32(static_cast<uint64_t>(offset) & 0xFFFFFFFFull);
        }
        out.end(ctts);
    }

    // Key frames, unless every sample is one.
    const bool allSync =
        std::all_of(samples.begin(), samples.end(), [](const Sample& s) { return s.sync; });
    if (!allSync && !plan.framesAsSamples) {
        const size_t stss = out.begin(fourcc("stss"));
        out.u32(0);
        const auto count =
            std::count_if(samples.begin(), samples.end(), [](const Sample& s) { return s.sync; });
        out.u32(static_cast<uint64_t>(count));
        for (size_t i = 0; i < samples.size(); ++i) {
            if (samples[i].sync) {
                out.u32(i + 1);
            }
        }
        out.end(stss);
    }

    // Chunks: samples per chunk and description, where they change.
    const size_t stsc = out.begin(fourcc("stsc"));
    out.u32(0);
    const size_t countAt = out.data().size();
    out.u32(0);
    uint32_t entries = 0;
    uint64_t lastCount = 0;
    uint32_t lastDescription = 0;
    for (size_t i = 0; i < track.chunks.size(); ++i) {
        const uint64_t count = samplesIn(track.chunks[i]);
        if (i == 0 || count != lastCount || track.chunks[i].description != lastDescription) {
            out.u32(i + 1);
            out.u32(count);
            out.u32(track.chunks[i].description);
            lastCount = count;
            lastDescription = track.chunks[i].description;
            ++entries;
        }
    }
    for (int i = 0; i < 4; ++i) {
        out.data()[countAt + static_cast<size_t>(i)] =
            static_cast<uint8_t>(entries >> (24 - 8 * i));
    }
    out.end(stsc);

    // Sizes: one for all when they are all equal.
    const size_t stsz = out.begin(fourcc("stsz"));
    out.u32(0);
    if (plan.framesAsSamples) {
        out.u32(frameBytes);
        out.u32(plan.mediaDuration);
    } else {
        const bool equal = std::all_of(samples.begin(), samples.end(), [&](const Sample& s) {
            return s.size == samples.front().size;
        });
        out.u32(equal ? samples.front().size : 0);
        out.u32(samples.size());
        if (!equal) {
            for (const Sample& sample : samples) {
                out.u32(sample.size);
            }
        }
    }
    out.end(stsz);

    // Where each chunk starts in the file: 64-bit offsets once one is beyond 4 GiB.
    const bool wide = std::any_of(track.chunks.begin(), track.chunks.end(), [&](const Chunk& c) {
        return samples[c.first].offset > std::numeric_limits<uint32_t>::max();
    });
    const size_t stco = out.begin(wide ? fourcc("co64") : fourcc("stco"));
    out.u32(0);
    out.u32(track.chunks.size());
    for (const Chunk& chunk : track.chunks) {
        out.sized(samples[chunk.first].offset, wide);
    }
    out.end(stco);
}

// Copies a container box, letting write() replace or drop its children: write() returns false
// for a child it leaves to be copied as it is.
template <typename Write>
bool copyContainer(BoxWriter& out, const std::vector<uint8_t>& data, const Box& box, Write write) {
    std::vector<Box> children;
    if (!childBoxes(data, box.content, box.end, &children)) {
        return false;
    }
    const size_t at = out.begin(box.type);
    for (const Box& child : children) {
        if (!write(child)) {
            out.copy(data, child);
        }
    }
    out.end(at);
    return true;
}

void writeTrack(BoxWriter& out, const std::vector<uint8_t>& moov, const Track& track,
                const TrackPlan& plan) {
    bool wroteEdits = false;
    copyContainer(out, moov, track.trak, [&](const Box& child) {
        switch (child.type) {
            case fourcc("tkhd"):
                writeTimesBox(out, moov, child, plan.trackDuration, true);
                if (plan.writesEdits && !track.hasEdits) {
                    writeEdits(out, plan);
                    wroteEdits = true;
                }
                return true;
            case fourcc("edts"):
                if (plan.writesEdits && !wroteEdits) {
                    writeEdits(out, plan);
                    wroteEdits = true;
                }
                return true;
            case fourcc("mdia"):
                copyContainer(out, moov, child, [&](const Box& media) {
                    if (media.type == fourcc("mdhd")) {
                        writeTimesBox(out, moov, media, plan.mediaDuration, false);
                        return true;
                    }
                    if (media.type != fourcc("minf")) {
                        return false;
                    }
                    copyContainer(out, moov, media, [&](const Box& info) {
                        if (info.type != fourcc("stbl")) {
                            return false;
                        }
                        std::vector<Box> tables;
                        childBoxes(moov, info.content, info.end, &tables);
                        const size_t stbl = out.begin(fourcc("stbl"));
                        writeSampleTables(out, moov, *findBox(tables, fourcc("stsd")), track, plan);
                        out.end(stbl);
                        return true;
                    });
                    return true;
                });
                return true;
            default:
                return false;
        }
    });
}

// --- The file ------------------------------------------------------------------------------

struct TopBox {
    uint32_t type = 0;
    uint64_t start = 0;
    uint64_t size = 0;
};

bool readAt(int fd, uint8_t* data, size_t size, uint64_t at, int* error) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = n < 0 ? errno : 0;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool writeAt(int fd, const uint8_t* data, size_t size, uint64_t at, int* error) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Syncs the file to disk; a file that cannot be synced (not on a disk) counts as synced.
bool sync(int fd, int* error) {
    if (::fsync(fd) != 0 && errno != EINVAL) {
        *error = errno;
        return false;
    }
    return true;
}

// The top-level boxes of the file; false when one is malformed or runs past the end.
bool readTopBoxes(int fd, uint64_t fileSize, std::vector<TopBox>* boxes, int* error) {
    uint64_t at = 0;
    while (at < fileSize) {
        uint8_t header[16] = {};
        const size_t want = static_cast<size_t>(std::min<uint64_t>(16, fileSize - at));
        if (want < 8 || !readAt(fd, header, want, at, error)) {
            return false;
        }
        Fields fields(header, want);
        uint64_t size = fields.u32();
        const uint32_t type = fields.u32();
        uint64_t headerSize = 8;
        if (size == 1) {
            size = fields.u64();
            headerSize = 16;
        } else if (size == 0) {
            size = fileSize - at;
        }
        if (fields.failed() || size < headerSize || size > fileSize - at) {
            return false;
        }
        boxes->push_back(TopBox{type, at, size});
        at += size;
    }
    return true;
}

bool readBox(int fd, const TopBox& box, std::vector<uint8_t>* data, int* error) {
    if (box.size > kMaxHeaderBytes) {
        return false;
    }
    data->resize(static_cast<size_t>(box.size));
    return readAt(fd, data->data(), data->size(), box.start, error);
}

}  // namespace

std::optional<Error> MovieFinisher::finish(int fd, const Options& options) {
    const auto step = [&](Step s) {
        if (options.onStep) {
            options.onStep(s);
        }
    };
    int error = 0;
    const auto failure = [&]() -> Error { return error != 0 ? systemCallError(error) : unfinished(); };

    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = errno;
        return failure();
    }
    const auto fileSize = static_cast<uint64_t>(info.st_size);
    std::vector<TopBox> top;
    if (!readTopBoxes(fd, fileSize, &top, &error)) {
        return failure();
    }
    const auto moovAt = std::find_if(top.begin(), top.end(),
                                     [](const TopBox& b) { return b.type == fourcc("moov"); });
    std::vector<uint8_t> moov;
    if (moovAt == top.end() || moovAt->size < 16 || !readBox(fd, *moovAt, &moov, &error)) {
        return failure();
    }
    const size_t moovContent = Fields(moov.data(), 4).u32() == 1 ? 16 : 8;
    std::vector<Box> movieBoxes;
    if (!childBoxes(moov, moovContent, moov.size(), &movieBoxes)) {
        return failure();
    }
    const Box* mvex = findBox(movieBoxes, fourcc("mvex"));
    const Box* mvhd = findBox(movieBoxes, fourcc("mvhd"));
    if (mvex == nullptr) {
        return std::nullopt;  // an ordinary movie already
    }
    if (mvhd == nullptr) {
        return failure();
    }
    Fields movieHeader(&moov[mvhd->content], mvhd->end - mvhd->content);
    const bool wideHeader = movieHeader.u8() == 1;
    movieHeader.skip(3 + (wideHeader ? 16 : 8));
    const uint32_t movieTimescale = movieHeader.u32();
    if (movieHeader.failed() || movieTimescale == 0) {
        return failure();
    }

    // The tracks and their fragment defaults.
    std::vector<Track> tracks;
    for (const Box& box : movieBoxes) {
        if (box.type == fourcc("trak")) {
            Track track;
            if (!readTrack(moov, box, &track)) {
                return failure();
            }
            tracks.push_back(std::move(track));
        }
    }
    std::vector<Box> extends;
    if (!childBoxes(moov, mvex->content, mvex->end, &extends)) {
        return failure();
    }
    for (const Box& trex : extends) {
        if (trex.type != fourcc("trex")) {
            continue;
        }
        Fields fields(&moov[trex.content], trex.end - trex.content);
        fields.skip(4);
        Track* track = trackWithId(tracks, fields.u32());
        FragmentDefaults defaults;
        defaults.description = fields.u32();
        defaults.duration = fields.u32();
        defaults.size = fields.u32();
        defaults.flags = fields.u32();
        if (fields.failed()) {
            return failure();
        }
        if (track != nullptr) {
            track->defaults = defaults;
        }
    }

    // Every sample of every fragment.
    std::vector<uint8_t> moof;
    for (const TopBox& box : top) {
        if (box.type == fourcc("moof") && box.start > moovAt->start) {
            if (!readBox(fd, box, &moof, &error) ||
                !readFragment(moof, box.start, fileSize, tracks)) {
                return failure();
            }
        }
    }
    // A track that never got a sample (sound that never came) is left out.
    std::erase_if(tracks, [](const Track& track) { return track.samples.empty(); });
    if (tracks.empty()) {
        return failure();
    }

    // The new header: the old one with complete tables and durations, without the fragments'
    // defaults or free space.
    std::vector<TrackPlan> plans;
    uint64_t movieDuration = 0;
    for (const Track& track : tracks) {
        plans.push_back(planTrack(track, movieTimescale));
        movieDuration = std::max(movieDuration, plans.back().trackDuration);
    }
    BoxWriter out;
    const size_t header = out.begin(fourcc("free"));
    for (const Box& box : movieBoxes) {
        if (box.type == fourcc("mvhd")) {
            writeTimesBox(out, moov, box, movieDuration, false);
        } else if (box.type == fourcc("trak")) {
            for (size_t i = 0; i < tracks.size(); ++i) {
                if (tracks[i].trak.start == box.start) {
                    writeTrack(out, moov, tracks[i], plans[i]);
                }
            }
        } else if (box.type != fourcc("mvex") && box.type != fourcc("free") &&
                   box.type != fourcc("skip")) {
            out.copy(moov, box);
        }
    }
    out.end(header);
    if (out.tooLarge()) {
        return failure();
    }
    const std::vector<uint8_t>& bytes = out.data();
    step(Step::Read);

    // 1. The new header goes after the end of the movie, as free space that readers skip, and
    //    is synced. A failure here cuts it off again: the file is as it was.
    const uint64_t end = fileSize;
    const size_t half = bytes.size() / 2;
    const auto putBack = [&] {
        const int saved = error;
        if (::ftruncate(fd, static_cast<off_t>(end)) == 0) {
            sync(fd, &error);
        }
        error = saved;
        return failure();
    };
    if (!writeAt(fd, bytes.data(), half, end, &error)) {
        return putBack();
    }
    step(Step::HeaderPartlyWritten);
    if (!writeAt(fd, bytes.data() + half, bytes.size() - half, end + half, &error) ||
        !sync(fd, &error)) {
        return putBack();
    }
    step(Step::HeaderWritten);

    // 2. It becomes a movie box. Readers take the first movie box of a file, still the
    //    fragmented one.
    static constexpr uint8_t kMovieType[4] = {'m', 'o', 'o', 'v'};
    if (!writeAt(fd, kMovieType, 4, end + 4, &error) || !sync(fd, &error)) {
        return putBack();
    }
    step(Step::HeaderNamed);

    // 3. In one small write, the fragmented header becomes the start of a media data box that
    //    runs up to the new header, holding every fragment: the fragment boxes and their index no
    //    longer count, and the new header is the movie's only one.
    const uint64_t span = end - moovAt->start;
    uint8_t mediaHeader[16] = {};
    size_t mediaHeaderSize = 8;
    if (span <= std::numeric_limits<uint32_t>::max()) {
        for (int i = 0; i < 4; ++i) {
            mediaHeader[i] = static_cast<uint8_t>(span >> (24 - 8 * i));
        }
    } else {
        mediaHeader[3] = 1;
        for (int i = 0; i < 8; ++i) {
            mediaHeader[8 + i] = static_cast<uint8_t>(span >> (56 - 8 * i));
        }
        mediaHeaderSize = 16;
    }
    std::memcpy(mediaHeader + 4, "mdat", 4);
    if (!writeAt(fd, mediaHeader, mediaHeaderSize, moovAt->start, &error)) {
        return putBack();
    }
    if (!sync(fd, &error)) {
        // The finished movie is what the file now holds, but it may not be on the disk yet.
        return failure();
    }
    step(Step::FragmentsRetired);

    // Tidying: the fragment boxes and their index, now inside the media data, are marked as free
    // space too, for tools that look inside. The movie is whole whether or not this is done.
    static constexpr uint8_t kFreeType[4] = {'f', 'r', 'e', 'e'};
    for (const TopBox& box : top) {
        if ((box.type == fourcc("moof") || box.type == fourcc("mfra")) &&
            box.start > moovAt->start && !writeAt(fd, kFreeType, 4, box.start + 4, &error)) {
            break;
        }
    }
    error = 0;
    sync(fd, &error);
    return std::nullopt;
}

}  // namespace zarvo
