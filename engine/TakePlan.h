#pragma once

// What a take is started with, worked out from the settings and the places alone: which movies
// are written, at what sizes, with which codec, where, under what name, and whose sound goes
// where. A pure function, so the whole plan can be checked without any source connected.

#include <ctime>
#include <optional>
#include <vector>

#include "engine/Layout.h"
#include "engine/RecorderPlace.h"
#include "engine/RecorderSettings.h"
#include "engine/Take.h"

namespace zarvo {

struct TakePlan {
    Take::StartOptions options;           // everything but the start time
    std::vector<Size> sizes;              // each place's frame size, 0 × 0 when not known yet
    std::optional<Layout> layout;         // the assembled picture's; none for separate movies
    std::optional<Layout> monitorLayout;  // what the monitor shows of the assembled picture
    bool transparent = false;             // the codec keeps the picture's transparency
};

// The plan for a take of these places, named after `now` when the settings give no name.
TakePlan planTake(const RecorderSettings& settings, const std::vector<PlaceRef>& places,
                  std::time_t now);

// The name of a take that was given none: the application's name and the local date and time.
std::string unnamedTakeName(std::time_t now);

}  // namespace zarvo
