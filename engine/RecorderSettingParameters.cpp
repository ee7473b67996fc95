// The settings family of the remote parameters: the sources chosen for each place, the
// choices among names, the sound, and the picture's size, the rates, the folder and the name.

#include "engine/Codec.h"
#include "engine/NameTable.h"
#include "engine/RecorderController.h"
#include "engine/RecorderParameterTable.h"
#include "engine/TitleMatching.h"
#include "platform/Text.h"

namespace zarvo::parameters {
namespace {

using nlohmann::json;
using Arguments = std::vector<OSCArgument>;

// The source recorded at place n (from 1): its title, chosen by any part of it.
RecorderParameter sourceAtPlace(const WeakController& weak, std::string address, size_t n,
                                std::string summary) {
    auto parameter = bare(std::move(address), "s", std::move(summary));
    parameter.range = [weak] {
        auto controller = weak.lock();
        return valuesRange(controller ? distinctTitles(controller->availableSources())
                                      : std::vector<std::string>());
    };
    parameter.get = readFrom(weak, [n](const RecorderController& c) {
        const auto& places = c.places();
        return json(n <= places.size() ? places[n - 1]->title() : std::string());
    });
    parameter.set = [weak, n](const Arguments& arguments) -> std::optional<std::string> {
        const auto text = stringArgument(arguments);
        if (!text) {
            return "expects the title of a source, or an empty string";
        }
        // A title that matches nothing is reported by the controller itself.
        if (auto controller = weak.lock()) {
            controller->setSourceMatching(*text, n);
        }
        return std::nullopt;
    };
    return parameter;
}

std::vector<RecorderParameter> sourceParameters(const WeakController& weak) {
    std::vector<RecorderParameter> sources;
    sources.push_back(sourceAtPlace(
        weak, "/source", 1,
        "The first source to record: its title, or part of it. The same as /source/1."));
    for (size_t n = 1; n <= RecorderController::kMaxPlaces; ++n) {
        sources.push_back(sourceAtPlace(
            weak, withPlaceNumber("/source/%zu", n), n,
            withPlaceNumber("Source %zu to record: its title, or part of it. Empty for "
                            "none: the sources after it move up.",
                            n)));
    }
    return sources;
}

std::vector<std::string> codecNames() {
    std::vector<std::string> names;
    for (const auto& codec : kCodecs) {
        names.push_back(codec.name);
    }
    return names;
}

std::vector<std::string> layoutNames() {
    std::vector<std::string> names;
    for (const auto& name : Layout::kindNames()) {
        names.push_back(asciiLowercase(name));
    }
    return names;
}

RecorderParameter soundParameter(const WeakController& weak) {
    auto sound = bare("/sound", "s",
                      "What sound is recorded: the title of one of the sources chosen (or "
                      "part of it) for the assembled movie, computer for the sound played on "
                      "this computer (in the assembled movie, or in each Syphon movie when output "
                      "is separate), or empty for none.");
    sound.range = [weak] {
        std::vector<std::string> names;
        if (auto controller = weak.lock()) {
            names = placeTitles(controller->places());
        }
        names.push_back("computer");
        names.push_back("");
        return valuesRange(names);
    };
    sound.get = readFrom(weak, [](const RecorderController& c) { return json(c.sound()); });
    sound.set = [weak](const Arguments& arguments) -> std::optional<std::string> {
        const auto text = stringArgument(arguments);
        if (!text) {
            return "expects the title of a source chosen, computer, or an empty string";
        }
        auto controller = weak.lock();
        if (!controller) {
            return std::nullopt;
        }
        const auto chosen = controller->soundChoiceMatching(*text);
        if (!chosen) {
            return "\u201C" + *text + "\u201D is not one of the sources chosen, nor computer";
        }
        controller->setSound(*chosen);
        return std::nullopt;
    };
    return sound;
}

RecorderParameter performanceParameter(const WeakController& weak) {
    auto performance =
        bare("/performance", "i",
             "1 holds the display back while recording: the picture is shown ten times a "
             "second, to leave the GPU to the movies. It applies at once. 0 (the default) "
             "shows every frame.");
    performance.range = [] { return numberRange(1); };
    performance.get =
        readFrom(weak, [](const RecorderController& c) { return json(c.performance() ? 1 : 0); });
    performance.set = [weak](const Arguments& arguments) -> std::optional<std::string> {
        const auto value = numberArgument(arguments);
        if (!value) {
            return "expects 1 or 0";
        }
        if (auto controller = weak.lock()) {
            controller->setPerformance(*value != 0);
        }
        return std::nullopt;
    };
    return performance;
}

std::vector<RecorderParameter> choiceParameters(const WeakController& weak) {
    using C = RecorderController;
    std::vector<RecorderParameter> choices;
    choices.push_back(choiceSetting(weak, "/codec",
                                    "The codec of the movies. prores4444 keeps transparency.",
                                    codecNames(), &C::codec, &C::setCodec));
    choices.push_back(
        choiceSetting(weak, "/output",
                      "What a recording writes: separate (a movie for each source), assembled (one "
                      "movie of the sources together), or both",
                      outputNameTable().names(), &C::output, &C::setOutput));
    choices.push_back(
        choiceSetting(weak, "/layout",
                      "How the sources are assembled, in their order: row (side by side), column "
                      "(stacked), grid (a mosaic), focus (the first large, the others beside it)",
                      layoutNames(), &C::layout, &C::setLayout));
    choices.push_back(soundParameter(weak));
    choices.push_back(performanceParameter(weak));
    choices.push_back(integerSetting(weak, "/gap",
                                     "Pixels between the sources in the assembled picture",
                                     C::kMaxGap, &C::gap, &C::setGap));
    return choices;
}

std::vector<RecorderParameter> pictureAndFileParameters(const WeakController& weak) {
    using C = RecorderController;
    std::vector<RecorderParameter> settings;
    settings.push_back(
        integerSetting(weak, "/width",
                       "Width the assembled picture is fitted into, in pixels. 0 (or a height of "
                       "0) for the size the sources need. A source's own movie is the size of "
                       "the source.",
                       C::kMaxDimension, &C::width, &C::setWidth));
    settings.push_back(
        integerSetting(weak, "/height",
                       "Height the assembled picture is fitted into, in pixels. 0 (or a width of "
                       "0) for the size the sources need. A source's own movie is the size of "
                       "the source.",
                       C::kMaxDimension, &C::height, &C::setHeight));
    settings.push_back(doubleSetting(weak, "/fps",
                                     "The most frames the movies have each second. 0 keeps "
                                     "every frame of the sources.",
                                     C::kMaxFps, &C::fps, &C::setFps));
    settings.push_back(doubleSetting(weak, "/bitrate",
                                     "Megabits per second for h264 and hevc. 0 chooses from "
                                     "the size and frame rate.",
                                     C::kMaxBitrate, &C::bitrate, &C::setBitrate));
    settings.push_back(stringSetting(weak, "/folder", "The folder movies are written to",
                                     &C::folder, &C::setFolder));
    settings.push_back(
        stringSetting(weak, "/name",
                      "The name of the recording, without extension: the assembled movie's. "
                      "Empty for the app's name and the date. A source's own movie adds its "
                      "source's title, unless it is the only movie.",
                      &C::name, &C::setName));
    settings.push_back(
        stringSetting(weak, "/setSaveFileName",
                      "The name of the recording (a .mov suffix is stripped): the same as /name. "
                      "Empty for the app's name and the date.",
                      &C::name, &C::setName));
    return settings;
}

}  // namespace

SettingsParameters settingsParameters(const WeakController& weak) {
    return {.sources = sourceParameters(weak),
            .choices = choiceParameters(weak),
            .picturesAndFiles = pictureAndFileParameters(weak)};
}

}  // namespace zarvo::parameters
