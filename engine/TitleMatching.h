#pragma once

// Which source or place a title typed by a person or sent by a remote stands for. A text
// chooses an exact title first, else the first title containing it without regard to case.
// Pure functions of the lists they are given.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/RecorderPlace.h"
#include "sources/SourceDirectory.h"

namespace zarvo {

// The sources in their order, keeping the first of each title.
std::vector<SourceDescription> firstOfEachTitle(std::vector<SourceDescription> sources);
// The titles of the sources, in their order, each once.
std::vector<std::string> distinctTitles(const std::vector<SourceDescription>& sources);

// The places' titles, in their order.
std::vector<std::string> placeTitles(const std::vector<PlaceRef>& places);

// The title a text chooses among the available sources, then among the places whose source is
// not available (it may come back); none when nothing matches.
std::optional<std::string> sourceTitleMatching(const std::string& text,
                                               const std::vector<SourceDescription>& available,
                                               const std::vector<PlaceRef>& places);
// The same rule among the places' titles only.
std::optional<std::string> placeTitleMatching(const std::string& text,
                                              const std::vector<PlaceRef>& places);
// The sound a text chooses: "" for an empty text, "computer" for "computer" in any case, else a
// place's title; none for anything else.
std::optional<std::string> soundChoiceMatching(const std::string& text,
                                               const std::vector<PlaceRef>& places);
// The index of the place with exactly that title, or kNotFound.
uint64_t indexOfPlaceWithTitle(const std::string& title, const std::vector<PlaceRef>& places);

}  // namespace zarvo
