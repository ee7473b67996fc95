// The remote parameter table: the actions, the status values, each place's status, and the
// order in which all of them, with the settings, are published.

#include "engine/RecorderParameterTable.h"

#include "engine/RecorderController.h"

namespace zarvo {
namespace parameters {
namespace {

using nlohmann::json;
using Arguments = std::vector<OSCArgument>;

RecorderParameter recordParameter(const WeakController& weak) {
    auto record =
        bare("/record", "i", "1 starts recording the sources, 0 stops and finishes the movies");
    record.range = [] { return numberRange(1); };
    record.get = readFrom(weak, [](const RecorderController& c) {
        return json(c.recorderState() == RecorderState::recording ? 1 : 0);
    });
    record.set = [weak](const Arguments& arguments) -> std::optional<std::string> {
        const auto value = numberArgument(arguments);
        if (!value) {
            return "expects 1 to start or 0 to stop";
        }
        if (auto controller = weak.lock()) {
            if (*value != 0) {
                controller->start();
            } else {
                controller->stopWithCompletionHandler(nullptr);
            }
        }
        return std::nullopt;
    };
    return record;
}

// Marks the current time of the take, named by the argument or numbered.
RecorderParameter markerParameter(const WeakController& weak) {
    auto marker =
        bare("/marker", "s",
             "Marks this moment of the recording, named by the text, or Marker 1, 2… without "
             "one. The marks are in the recording's timeline file.");
    marker.set = [weak](const Arguments& arguments) -> std::optional<std::string> {
        std::string name;
        if (!arguments.empty()) {
            const auto text = stringArgument(arguments);
            if (!text) {
                return "expects the marker's name, or nothing";
            }
            name = *text;
        }
        if (auto controller = weak.lock()) {
            controller->addMarker(name);
        }
        return std::nullopt;
    };
    return marker;
}

json assembledSize(const RecorderController& c, bool width) {
    if (c.places().empty()) {
        return 0;
    }
    const Size size = c.assembledLayout().size();
    return integerPart(width ? size.width : size.height);
}

std::vector<RecorderParameter> assembledStatus(const WeakController& weak) {
    std::vector<RecorderParameter> status;
    status.push_back(
        statusValue(weak, "/status/assembled/width", "i",
                    "Width of the assembled picture as it is now, or of the take being recorded",
                    [](const RecorderController& c) { return assembledSize(c, true); }));
    status.push_back(
        statusValue(weak, "/status/assembled/height", "i",
                    "Height of the assembled picture as it is now, or of the take being recorded",
                    [](const RecorderController& c) { return assembledSize(c, false); }));
    status.push_back(
        statusValue(weak, "/status/assembled/file", "s",
                    "The assembled movie, being written or last written. Empty if there is none.",
                    [](const RecorderController& c) { return json(c.assembledFile()); }));
    status.push_back(
        statusValue(weak, "/status/assembled/frames", "i", "Frames written to the assembled movie",
                    [](const RecorderController& c) { return json(c.assembledFrames()); }));
    status.push_back(
        statusValue(weak, "/status/assembled/dropped", "i",
                    "Pictures lost because the encoder of the assembled movie could not keep up",
                    [](const RecorderController& c) { return json(c.assembledDropped()); }));
    return status;
}

json ndiSourceTitles(const RecorderController& c) {
    std::vector<std::string> titles;
    for (const auto& source : c.availableSources()) {
        if (source.kind == FrameSourceKind::NDI) {
            titles.push_back(source.title);
        }
    }
    return json(joined(titles, "\n"));
}

std::vector<RecorderParameter> recorderStatus(const WeakController& weak) {
    std::vector<RecorderParameter> status;
    const auto add = [&](std::string address, std::string typeTags, std::string summary,
                         Read read) {
        status.push_back(statusValue(weak, std::move(address), std::move(typeTags),
                                     std::move(summary), std::move(read)));
    };
    add("/status/version", "s",
        "The version of ZarvoRecorder, as 0.9; dev when it is not run from its application",
        [](const RecorderController&) { return json(RecorderController::version()); });
    add("/status/state", "s", "idle, recording, or finishing while the movies are completed",
        [](const RecorderController& c) { return json(c.state()); });
    add("/status/elapsed", "f", "Seconds recorded",
        [](const RecorderController& c) { return json(c.elapsed()); });
    add("/status/frames", "i",
        "Frames written to the assembled movie or, if there is none, to the first "
        "source's",
        [](const RecorderController& c) { return json(c.frames()); });
    add("/status/dropped", "i",
        "Frames lost in all the movies because the encoder could not keep up",
        [](const RecorderController& c) { return json(c.dropped()); });
    add("/status/file", "s",
        "The assembled movie or, if there is none, the first source's: being written or "
        "last written",
        [](const RecorderController& c) { return json(c.file()); });
    add("/status/error", "s", "The last error. Empty when a recording starts.",
        [](const RecorderController& c) { return json(c.error()); });
    add("/status/failure", "s",
        "Why the last recording ended, if it failed or had nothing to write. Empty "
        "otherwise.",
        [](const RecorderController& c) { return json(c.recordingError()); });
    add("/status/sound/written", "f",
        "Seconds of sound in the assembled movie, being written or last written",
        [](const RecorderController& c) { return json(c.assembledSoundWritten()); });
    add("/status/sound/leftout", "f",
        "Seconds of sound left out of the movies of the recording, being written or last "
        "written, because the encoder could not keep up",
        [](const RecorderController& c) { return json(c.soundLeftOut()); });
    add("/status/markers", "i", "Markers of the recording, being made or last made",
        [](const RecorderController& c) { return json(c.markers()); });
    add("/status/ndi", "i",
        "1 if NDI is available: its library is installed. Without it there are no NDI "
        "sources, which is not an error.",
        [](const RecorderController& c) { return json(c.ndiAvailable() ? 1 : 0); });
    add("/status/ndi/sources", "s",
        "The titles of the NDI sources available, one per line: the other sources are "
        "Syphon's",
        ndiSourceTitles);
    return status;
}

// What each place reports about its source and its movie.
struct PlaceStatus {
    const char* name;
    const char* typeTags;
    const char* summary;
    json (*read)(const RecorderPlace&);
};

constexpr PlaceStatus kPlaceStatus[] = {
    {"online", "i", "1 if the source is delivering frames",
     [](const RecorderPlace& p) { return json(p.isOnline()); }},
    {"width", "i", "Width of the source's frames",
     [](const RecorderPlace& p) { return json(p.width()); }},
    {"height", "i", "Height of the source's frames",
     [](const RecorderPlace& p) { return json(p.height()); }},
    {"fps", "f", "Frames the source delivers each second",
     [](const RecorderPlace& p) { return json(p.fps()); }},
    {"file", "s", "The source's movie, being written or last written",
     [](const RecorderPlace& p) { return json(p.file()); }},
    {"frames", "i", "Frames written to the source's movie",
     [](const RecorderPlace& p) { return json(p.frames()); }},
    {"dropped", "i", "Frames of the source lost because the encoder could not keep up",
     [](const RecorderPlace& p) { return json(p.dropped()); }},
    {"kind", "s", "What the source is: syphon or ndi. Empty until it has been connected to.",
     [](const RecorderPlace& p) { return json(p.kindName()); }},
    {"sound", "i", "1 if the source is delivering sound",
     [](const RecorderPlace& p) { return json(p.hasSound()); }},
    {"soundwritten", "f",
     "Seconds of sound in the source's movie, being written or last "
     "written",
     [](const RecorderPlace& p) { return json(p.soundWritten()); }},
};

// Integer addresses read flags as 1 and 0, and numbers without their fraction.
json asInteger(json value) {
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (value.is_number_float()) {
        return integerPart(value.get<double>());
    }
    return value;
}

RecorderParameter placeStatus(const WeakController& weak, size_t n, const PlaceStatus& item) {
    auto parameter =
        bare(withPlaceNumber("/status/source/%zu/", n) + item.name, item.typeTags, item.summary);
    const bool isInteger = std::string_view(item.typeTags) == "i";
    const bool isString = std::string_view(item.typeTags) == "s";
    parameter.get = readFrom(
        weak, [n, isInteger, isString, read = item.read](const RecorderController& c) -> json {
            const auto& places = c.places();
            if (n > places.size()) {
                return isString ? json("") : json(0);
            }
            json value = read(*places[n - 1]);
            return isInteger ? asInteger(std::move(value)) : value;
        });
    return parameter;
}

void append(std::vector<RecorderParameter>& table, std::vector<RecorderParameter> more) {
    table.insert(table.end(), std::make_move_iterator(more.begin()),
                 std::make_move_iterator(more.end()));
}

}  // namespace

std::vector<RecorderParameter> actionParameters(const WeakController& weak) {
    std::vector<RecorderParameter> actions;
    actions.push_back(recordParameter(weak));
    actions.push_back(action(weak, "/record/toggle", "Starts recording, or stops",
                             [](RecorderController& c) { c.toggle(); }));
    actions.push_back(action(weak, "/start", "Starts recording the sources",
                             [](RecorderController& c) { c.start(); }));
    actions.push_back(action(weak, "/stop", "Stops recording and finishes the movies",
                             [](RecorderController& c) { c.stopWithCompletionHandler(nullptr); }));
    actions.push_back(markerParameter(weak));
    return actions;
}

StatusParameters statusParameters(const WeakController& weak) {
    return {.assembled = assembledStatus(weak), .recorder = recorderStatus(weak)};
}

std::vector<RecorderParameter> placeStatusParameters(const WeakController& weak) {
    std::vector<RecorderParameter> status;
    for (size_t n = 1; n <= RecorderController::kMaxPlaces; ++n) {
        for (const auto& item : kPlaceStatus) {
            status.push_back(placeStatus(weak, n, item));
        }
    }
    return status;
}

}  // namespace parameters

std::vector<RecorderParameter> recorderParameterTable(const parameters::WeakController& weak) {
    using namespace parameters;
    auto settings = settingsParameters(weak);
    auto status = statusParameters(weak);
    // The published order is part of the remote interface and mixes the families: the
    // sources, the actions, the choices, the assembled picture's status, its size and the
    // files, the recorder's status, then each place's.
    std::vector<RecorderParameter> table;
    append(table, std::move(settings.sources));
    append(table, actionParameters(weak));
    append(table, std::move(settings.choices));
    append(table, std::move(status.assembled));
    append(table, std::move(settings.picturesAndFiles));
    append(table, std::move(status.recorder));
    append(table, placeStatusParameters(weak));
    return table;
}

}  // namespace zarvo
