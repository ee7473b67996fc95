#pragma once

// The complete sample tables of a track of an ordinary movie, worked out from the samples its
// fragments held: times, composition offsets, key frames, chunks, sizes and where each chunk lies.
// The media starts at time 0, so the track's edits are worked out here too.

#include <cstdint>
#include <vector>

#include "engine/FragmentIndex.h"
#include "engine/MovieBoxWriter.h"

namespace zarvo::moviefile {

// What a track's new tables need, worked out from its samples.
struct TrackPlan {
    std::vector<uint32_t> durations;  // each sample's, so its times follow from the sums
    uint64_t mediaDuration = 0;
    bool framesAsSamples = false;  // uncompressed sound: every frame is a sample
    std::vector<Edit> edits;
    bool writesEdits = false;
    uint64_t trackDuration = 0;  // in the movie's time scale
};

TrackPlan planTrack(const Track& track, uint32_t movieTimescale);

// Writes the sample description box as it is, then the track's tables.
void writeSampleTables(BoxWriter& out, const std::vector<uint8_t>& moov, const Box& stsd,
                       const Track& track, const TrackPlan& plan);

}  // namespace zarvo::moviefile
