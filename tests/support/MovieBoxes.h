#pragma once

// The boxes of a QuickTime movie file as the tests see them, read with code of their own;
// movies written straight through the movie writer; fragmented movies of any length made from
// a short one.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/MovieWriter.h"

namespace zarvo::test {

struct MovieBox {
    std::string type;
    uint64_t offset = 0;  // in the file
    uint64_t size = 0;
    uint64_t header = 8;  // 16 with a 64-bit size
};

// The top-level boxes, or the boxes inside a box; empty when the file cannot be read. A box
// that runs past its parent or the file ends the list with type "broken".
std::vector<MovieBox> topLevelBoxes(const std::filesystem::path& file);
std::vector<MovieBox> childBoxes(const std::filesystem::path& file, const MovieBox& parent);

// The boxes at a path of types from the top, such as "moov/trak/mdia/minf/stbl/co64".
std::vector<MovieBox> boxesAt(const std::filesystem::path& file, const std::string& path);

// How many top-level boxes have the type.
size_t countTopLevel(const std::filesystem::path& file, const std::string& type);

// Writes a fragmented movie made of source's header and its first fragment repeated copies
// times, each copy's times moved on by the first fragment's length and its data offsets by
// where it lands. The source must have at least two fragments, written with explicit base data
// offsets. gapBytes of free space (a hole on disk) go before the fragments. With emptyData the
// media data stays a hole too (pictures that do not decode, of the real sizes). No fragment
// index is written, as after a crash. false when the source cannot be used.
// Writes a movie through the writer: pictures (a moving gradient) at slots firstSlot,
// firstSlot + 1, ... of the rate, each with its share of a 440 Hz tone when the options record
// sound and withSound is set, then finishes it at the end of the last slot. The error of the
// writer, or nothing.
std::optional<Error> writeTestMovie(const MovieWriter::Options& options, int pictures,
                                    int firstSlot, bool withSound);

bool repeatFragments(const std::filesystem::path& source, const std::filesystem::path& target,
                     int copies, uint64_t gapBytes, bool emptyData);

}  // namespace zarvo::test
