#include "engine/SampleTables.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace zarvo::moviefile {

namespace {

constexpr uint32_t kNormalRate = 0x00010000;

// value × to / from, rounded up, for times in different time scales.
uint64_t rescaleUp(uint64_t value, uint64_t to, uint64_t from) {
    // In two parts, so that nothing overflows for time scales of 32 bits.
    const uint64_t whole = value / from;
    const uint64_t rest = value % from;
    return whole * to + (rest * to + from - 1) / from;
}

// Durations follow the decoding times of the fragments, so that every sample keeps its time
// even where a fragment's times do not join the previous one's.
void planDurations(const std::vector<Sample>& samples, TrackPlan& plan) {
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
}

// Uncompressed sound whose every sample is a whole number of frames lasting as many ticks is
// described frame by frame.
bool framesAsSamples(const Track& track, const TrackPlan& plan) {
    if (track.pcmFrameBytes == 0) {
        return false;
    }
    for (size_t i = 0; i < track.samples.size(); ++i) {
        const Sample& sample = track.samples[i];
        if (sample.size % track.pcmFrameBytes != 0 ||
            sample.size / track.pcmFrameBytes != plan.durations[i] ||
            sample.compositionOffset != 0) {
            return false;
        }
    }
    return true;
}

// The media now starts at time 0: the edits that said where in the media the track starts
// are moved by the first sample's time, and an edit that ran to the end gets its length.
void planEdits(const Track& track, uint32_t movieTimescale, TrackPlan& plan) {
    const int64_t first = track.samples.empty() ? 0 : track.samples.front().time;
    std::vector<Edit> edits = track.edits;
    if (!track.hasEdits || edits.empty()) {
        edits = {Edit{0, 0, kNormalRate}};  // movie time is media time
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
            plan.edits.push_back(Edit{before, -1, kNormalRate});
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
}

// Runs of equal values: (count, value) pairs.
template <typename Value, typename Values>
std::vector<std::pair<uint32_t, Value>> runsOf(const Values& values) {
    std::vector<std::pair<uint32_t, Value>> runs;
    for (const Value& value : values) {
        if (!runs.empty() && runs.back().second == value) {
            ++runs.back().first;
        } else {
            runs.emplace_back(1, value);
        }
    }
    return runs;
}

// Times: runs of equal durations.
void writeTimes(BoxWriter& out, const TrackPlan& plan) {
    const size_t stts = out.begin(fourcc("stts"));
    out.u32(0);
    if (plan.framesAsSamples) {
        out.u32(1);
        out.u32(plan.mediaDuration);
        out.u32(1);
    } else {
        const auto runs = runsOf<uint32_t>(plan.durations);
        out.u32(runs.size());
        for (const auto& [count, duration] : runs) {
            out.u32(count);
            out.u32(duration);
        }
    }
    out.end(stts);
}

// Composition offsets, when a sample is shown at another time than it is decoded.
void writeCompositionOffsets(BoxWriter& out, const std::vector<Sample>& samples) {
    const bool hasOffsets = std::any_of(samples.begin(), samples.end(),
                                        [](const Sample& s) { return s.compositionOffset != 0; });
    if (!hasOffsets) {
        return;
    }
    const bool negative = std::any_of(samples.begin(), samples.end(),
                                      [](const Sample& s) { return s.compositionOffset < 0; });
    std::vector<int64_t> offsets;
    offsets.reserve(samples.size());
    for (const Sample& sample : samples) {
        offsets.push_back(sample.compositionOffset);
    }
    const auto runs = runsOf<int64_t>(offsets);
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
void writeSyncSamples(BoxWriter& out, const std::vector<Sample>& samples) {
    const auto isSync = [](const Sample& s) { return s.sync; };
    if (std::all_of(samples.begin(), samples.end(), isSync)) {
        return;
    }
    const size_t stss = out.begin(fourcc("stss"));
    out.u32(0);
    out.u32(static_cast<uint64_t>(std::count_if(samples.begin(), samples.end(), isSync)));
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].sync) {
            out.u32(i + 1);
        }
    }
    out.end(stss);
}

// The samples a chunk holds in the tables: its frames when frames are samples.
uint64_t samplesIn(const Chunk& chunk, const Track& track, const TrackPlan& plan) {
    if (!plan.framesAsSamples) {
        return chunk.count;
    }
    uint64_t frames = 0;
    for (size_t i = chunk.first; i < chunk.first + chunk.count; ++i) {
        frames += track.samples[i].size / track.pcmFrameBytes;
    }
    return frames;
}

// Chunks: samples per chunk and description, where they change.
void writeChunkSamples(BoxWriter& out, const Track& track, const TrackPlan& plan) {
    const size_t stsc = out.begin(fourcc("stsc"));
    out.u32(0);
    const size_t countAt = out.size();
    out.u32(0);
    uint32_t entries = 0;
    uint64_t lastCount = 0;
    uint32_t lastDescription = 0;
    for (size_t i = 0; i < track.chunks.size(); ++i) {
        const uint64_t count = samplesIn(track.chunks[i], track, plan);
        if (i == 0 || count != lastCount || track.chunks[i].description != lastDescription) {
            out.u32(i + 1);
            out.u32(count);
            out.u32(track.chunks[i].description);
            lastCount = count;
            lastDescription = track.chunks[i].description;
            ++entries;
        }
    }
    out.patchU32(countAt, entries);
    out.end(stsc);
}

// Sizes: one for all when they are all equal.
void writeSizes(BoxWriter& out, const Track& track, const TrackPlan& plan) {
    const auto& samples = track.samples;
    const size_t stsz = out.begin(fourcc("stsz"));
    out.u32(0);
    if (plan.framesAsSamples) {
        out.u32(track.pcmFrameBytes);
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
}

// Where each chunk starts in the file: 64-bit offsets once one is beyond 4 GiB.
void writeChunkOffsets(BoxWriter& out, const Track& track) {
    const auto& samples = track.samples;
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

}  // namespace

TrackPlan planTrack(const Track& track, uint32_t movieTimescale) {
    TrackPlan plan;
    planDurations(track.samples, plan);
    plan.framesAsSamples = framesAsSamples(track, plan);
    planEdits(track, movieTimescale, plan);
    return plan;
}

void writeSampleTables(BoxWriter& out, const std::vector<uint8_t>& moov, const Box& stsd,
                       const Track& track, const TrackPlan& plan) {
    out.copy(moov, stsd);
    writeTimes(out, plan);
    if (!plan.framesAsSamples) {
        writeCompositionOffsets(out, track.samples);
        writeSyncSamples(out, track.samples);
    }
    writeChunkSamples(out, track, plan);
    writeSizes(out, track, plan);
    writeChunkOffsets(out, track);
}

}  // namespace zarvo::moviefile
