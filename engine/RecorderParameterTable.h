#pragma once

// The recorder's remote parameters: every value and action reached by OSC and published over
// OSCQuery, built in four families (settings, actions, status, and each place's status) and
// put together in the order they are published.

#include <vector>

#include "engine/RecorderParameter.h"
#include "engine/RecorderParameterShapes.h"

namespace zarvo {

// The whole table, in its published order.
std::vector<RecorderParameter> recorderParameterTable(const parameters::WeakController& weak);

namespace parameters {

struct SettingsParameters {
    std::vector<RecorderParameter> sources;  // /source, /source/1 … /source/8
    std::vector<RecorderParameter> choices;  // codec, output, layout, sound, performance, gap
    std::vector<RecorderParameter> picturesAndFiles;  // size, rates, folder and name
};
SettingsParameters settingsParameters(const WeakController& weak);

// Recording starts and stops.
std::vector<RecorderParameter> actionParameters(const WeakController& weak);

struct StatusParameters {
    std::vector<RecorderParameter> assembled;  // the assembled picture and movie
    std::vector<RecorderParameter> recorder;   // version, state, the take, errors, NDI
};
StatusParameters statusParameters(const WeakController& weak);

// What each of the eight places reports about its source and its movie.
std::vector<RecorderParameter> placeStatusParameters(const WeakController& weak);

}  // namespace parameters
}  // namespace zarvo
