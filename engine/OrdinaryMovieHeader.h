#pragma once

// The header of the finished movie: the fragmented movie's header with complete sample tables
// and durations, without the fragments' defaults or free space.

#include <cstdint>
#include <vector>

#include "engine/FragmentIndex.h"

namespace zarvo::moviefile {

// The new movie box, typed as free space ("free") so that it can be written after the movie
// before it counts; false when it would be larger than a box can say.
bool buildOrdinaryHeader(const FragmentedMovie& movie, std::vector<uint8_t>* header);

}  // namespace zarvo::moviefile
