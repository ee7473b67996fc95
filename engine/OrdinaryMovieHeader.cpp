#include "engine/OrdinaryMovieHeader.h"

#include <algorithm>
#include <limits>

#include "engine/MovieBoxWriter.h"
#include "engine/SampleTables.h"

namespace zarvo::moviefile {

namespace {

// A header box with creation and modification times and a duration (mvhd, tkhd, mdhd), copied
// with the new duration, in its wide form when a field needs it.
void writeTimesBox(BoxWriter& out, const std::vector<uint8_t>& data, const Box& box,
                   uint64_t duration, bool trackHeader) {
    Fields in = contentsOf(data, box);
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

// The media information box with the new sample tables in place of the empty ones.
void writeMediaInformation(BoxWriter& out, const std::vector<uint8_t>& moov, const Box& minf,
                           const Track& track, const TrackPlan& plan) {
    copyContainer(out, moov, minf, [&](const Box& info) {
        if (info.type != fourcc("stbl")) {
            return false;
        }
        std::vector<Box> tables;
        childBoxes(moov, info, &tables);
        const size_t stbl = out.begin(fourcc("stbl"));
        writeSampleTables(out, moov, *findBox(tables, fourcc("stsd")), track, plan);
        out.end(stbl);
        return true;
    });
}

// The media box with the media's duration and its new tables.
void writeMedia(BoxWriter& out, const std::vector<uint8_t>& moov, const Box& mdia,
                const Track& track, const TrackPlan& plan) {
    copyContainer(out, moov, mdia, [&](const Box& media) {
        if (media.type == fourcc("mdhd")) {
            writeTimesBox(out, moov, media, plan.mediaDuration, false);
            return true;
        }
        if (media.type != fourcc("minf")) {
            return false;
        }
        writeMediaInformation(out, moov, media, track, plan);
        return true;
    });
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
                writeMedia(out, moov, child, track, plan);
                return true;
            default:
                return false;
        }
    });
}

// Boxes of the fragmented header the ordinary one leaves out: the fragments' defaults and
// free space.
bool isLeftOut(uint32_t type) {
    return type == fourcc("mvex") || type == fourcc("free") || type == fourcc("skip");
}

// The timecode track's one sample was written with the first fragment and lasts as long as
// it; it is made to last as long as the movie, from the movie's start, so that editors read
// the timecode all along.
TrackPlan planTimecode(const Track& track, uint32_t movieTimescale, uint64_t movieDuration) {
    Track whole = track;
    whole.hasEdits = false;
    whole.edits.clear();
    TrackPlan plan = planTrack(whole, movieTimescale);
    const uint64_t wanted =
        movieTimescale == 0 ? 0 : movieDuration * track.timescale / movieTimescale;
    uint64_t media = 0;
    for (const Sample& sample : whole.samples) {
        media += sample.duration;
    }
    if (!whole.samples.empty() && wanted > media &&
        whole.samples.back().duration + (wanted - media) <= std::numeric_limits<uint32_t>::max()) {
        whole.samples.back().duration += static_cast<uint32_t>(wanted - media);
        plan = planTrack(whole, movieTimescale);
    }
    return plan;
}

}  // namespace

bool buildOrdinaryHeader(const FragmentedMovie& movie, std::vector<uint8_t>* header) {
    std::vector<TrackPlan> plans;
    uint64_t movieDuration = 0;
    for (const Track& track : movie.tracks) {
        plans.push_back(planTrack(track, movie.timescale));
        if (!track.timecode) {
            movieDuration = std::max(movieDuration, plans.back().trackDuration);
        }
    }
    for (size_t i = 0; i < movie.tracks.size(); ++i) {
        if (movie.tracks[i].timecode) {
            plans[i] = planTimecode(movie.tracks[i], movie.timescale, movieDuration);
            movieDuration = std::max(movieDuration, plans[i].trackDuration);
        }
    }
    BoxWriter out;
    const size_t at = out.begin(fourcc("free"));
    for (const Box& box : movie.movieBoxes) {
        if (box.type == fourcc("mvhd")) {
            writeTimesBox(out, movie.moov, box, movieDuration, false);
        } else if (box.type == fourcc("trak")) {
            for (size_t i = 0; i < movie.tracks.size(); ++i) {
                if (movie.tracks[i].trak.start == box.start) {
                    writeTrack(out, movie.moov, movie.tracks[i], plans[i]);
                }
            }
        } else if (!isLeftOut(box.type)) {
            out.copy(movie.moov, box);
        }
    }
    out.end(at);
    if (out.tooLarge()) {
        return false;
    }
    *header = out.take();
    return true;
}

}  // namespace zarvo::moviefile
