#pragma once

// What a movie written in fragments says of its samples: the header's tracks with their edits
// and fragment defaults, and every sample of every fragment with where it lies in the file. Read
// from the movie box and the fragment boxes only; the sample data itself is never read.

#include <cstdint>
#include <vector>

#include "engine/MovieBoxReader.h"

namespace zarvo::moviefile {

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
    // A timecode track: its one sample gives the movie's first timecode value.
    bool timecode = false;
    FragmentDefaults defaults;
    std::vector<Sample> samples;
    std::vector<Chunk> chunks;
    uint64_t nextTime = 0;
};

// The fragmented movie as read from its file.
struct FragmentedMovie {
    uint64_t fileSize = 0;
    std::vector<FileBox> fileBoxes;  // the file's top-level boxes
    FileBox header;                  // the movie box, whose tracks have no samples
    std::vector<uint8_t> moov;       // its bytes
    std::vector<Box> movieBoxes;     // the boxes inside it
    uint32_t timescale = 0;          // the movie's
    // The tracks with samples, in the header's order; a track that never got one is left out.
    std::vector<Track> tracks;
};

enum class IndexReading {
    fragmented,  // the movie was read
    ordinary,    // the movie is not fragmented: there is nothing to finish
    failed,      // a failed read (*error) or a malformed movie (*error untouched)
};

IndexReading readFragmentIndex(int fd, FragmentedMovie* movie, int* error);

}  // namespace zarvo::moviefile
