// The recorder's remote interface: one parameter per controllable value or action, reached by
// OSC and published over OSCQuery, and the two network services that carry them.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>

#include "engine/NameTable.h"
#include "engine/RecorderController.h"
#include "remote/OSCQueryServer.h"
#include "remote/OSCReceiver.h"

namespace zarvo {
namespace {

using nlohmann::json;
using Arguments = std::vector<OSCArgument>;
using WeakController = std::weak_ptr<RecorderController>;

std::string_view trimmed(std::string_view text) {
    const auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A decimal number written out in full: digits with an optional sign, point and exponent. Words
// such as "nan" or "inf" and hexadecimal forms are not numbers here.
std::optional<double> decimalNumber(std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string_view::npos) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The integer part of a number, truncated toward zero; not-a-number counts as 0 and the
// infinities as the largest integers, which the setters then clamp.
int64_t integerPart(double number) {
    if (std::isnan(number)) {
        return 0;
    }
    constexpr double kLimit = 9.0e18;
    return static_cast<int64_t>(std::clamp(std::trunc(number), -kLimit, kLimit));
}

std::string joined(const std::vector<std::string>& names, std::string_view separator) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += separator;
        }
        text += names[i];
    }
    return text;
}

json valuesRange(const std::vector<std::string>& names) {
    return json::array({json{{"VALS", names}}});
}

json numberRange(double maximum) {
    return json::array({json{{"MIN", 0}, {"MAX", maximum}}});
}

std::string notOneOf(const Arguments& arguments, const std::vector<std::string>& names) {
    return "\u201C" + ArgumentText(arguments) + "\u201D is not one of " + joined(names, ", ");
}

std::string withPlaceNumber(const char* format, size_t place) {
    char text[256];
    std::snprintf(text, sizeof text, format, place);
    return text;
}

// A read-only value computed from the controller; nothing once the controller is gone.
template <typename Value>
RecorderParameter::Getter getter(WeakController weak, Value (*read)(const RecorderController&)) {
    return [weak, read]() -> std::optional<json> {
        auto controller = weak.lock();
        if (!controller) {
            return std::nullopt;
        }
        return json::array({read(*controller)});
    };
}

}  // namespace

std::optional<double> NumberArgument(const Arguments& arguments) {
    if (arguments.empty()) {
        return std::nullopt;
    }
    return std::visit(
        [](const auto& value) -> std::optional<double> {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return decimalNumber(value);
            } else if constexpr (std::is_same_v<T, bool>) {
                return value ? 1.0 : 0.0;
            } else {
                return static_cast<double>(value);
            }
        },
        arguments.front());
}

std::optional<std::string> StringArgument(const Arguments& arguments) {
    if (arguments.empty()) {
        return std::nullopt;
    }
    if (const auto* text = std::get_if<std::string>(&arguments.front())) {
        return *text;
    }
    return std::nullopt;
}

std::string ArgumentText(const Arguments& arguments) {
    if (arguments.empty()) {
        return "";
    }
    if (const auto* text = std::get_if<std::string>(&arguments.front())) {
        return *text;
    }
    // The message's own text form of one argument: the description of a message with an empty
    // address is a space followed by the argument.
    return OSCMessage("", {arguments.front()}).description().substr(1);
}

// --- The parameter table ---------------------------------------------------------------------

void RecorderController::makeParameters() {
    const WeakController weak = weak_from_this();
    parameters_.clear();
    parametersByAddress_.clear();

    const auto add = [this](RecorderParameter parameter) {
        parametersByAddress_.emplace(parameter.address, parameters_.size());
        parameters_.push_back(std::move(parameter));
    };
    const auto bare = [](std::string address, std::optional<std::string> typeTags,
                         std::string summary) {
        RecorderParameter parameter;
        parameter.address = std::move(address);
        parameter.typeTags = std::move(typeTags);
        parameter.summary = std::move(summary);
        return parameter;
    };

    // A setting read and written as a number; the setter clamps it.
    const auto number = [&](std::string address, std::string typeTags, std::string summary,
                            double maximum, std::function<json(const RecorderController&)> read,
                            std::function<void(RecorderController&, double)> write) {
        auto parameter = bare(std::move(address), std::move(typeTags), std::move(summary));
        parameter.range = [maximum] { return numberRange(maximum); };
        parameter.get = [weak, read]() -> std::optional<json> {
            auto controller = weak.lock();
            return controller ? std::optional<json>(json::array({read(*controller)}))
                              : std::nullopt;
        };
        parameter.set = [weak, write](const Arguments& arguments) -> std::optional<std::string> {
            const auto value = NumberArgument(arguments);
            if (!value) {
                return "expects a number";
            }
            if (auto controller = weak.lock()) {
                write(*controller, *value);
            }
            return std::nullopt;
        };
        return parameter;
    };
    const auto integerSetting = [&](std::string address, std::string summary, double maximum,
                                    int64_t (RecorderController::*read)() const,
                                    void (RecorderController::*write)(int64_t)) {
        return number(
            std::move(address), "i", std::move(summary), maximum,
            [read](const RecorderController& c) { return json((c.*read)()); },
            [write](RecorderController& c, double value) { (c.*write)(integerPart(value)); });
    };
    const auto doubleSetting = [&](std::string address, std::string summary, double maximum,
                                   double (RecorderController::*read)() const,
                                   void (RecorderController::*write)(double)) {
        return number(
            std::move(address), "f", std::move(summary), maximum,
            [read](const RecorderController& c) { return json((c.*read)()); },
            [write](RecorderController& c, double value) { (c.*write)(value); });
    };
    const auto stringSetting = [&](std::string address, std::string summary,
                                   const std::string& (RecorderController::*read)() const,
                                   void (RecorderController::*write)(const std::string&)) {
        auto parameter = bare(std::move(address), "s", std::move(summary));
        parameter.get = [weak, read]() -> std::optional<json> {
            auto controller = weak.lock();
            return controller ? std::optional<json>(json::array({((*controller).*read)()}))
                              : std::nullopt;
        };
        parameter.set = [weak, write](const Arguments& arguments) -> std::optional<std::string> {
            const auto text = StringArgument(arguments);
            if (!text) {
                return "expects a string";
            }
            if (auto controller = weak.lock()) {
                ((*controller).*write)(*text);
            }
            return std::nullopt;
        };
        return parameter;
    };
    const auto status = [&](std::string address, std::string typeTags, std::string summary,
                            std::function<json(const RecorderController&)> read) {
        auto parameter = bare(std::move(address), std::move(typeTags), std::move(summary));
        parameter.get = [weak, read]() -> std::optional<json> {
            auto controller = weak.lock();
            return controller ? std::optional<json>(json::array({read(*controller)}))
                              : std::nullopt;
        };
        return parameter;
    };
    const auto place = [&](std::string address, size_t n, std::string summary) {
        auto parameter = bare(std::move(address), "s", std::move(summary));
        parameter.range = [weak] {
            std::vector<std::string> titles;
            std::set<std::string> seen;
            if (auto controller = weak.lock()) {
                for (const auto& source : controller->availableSources()) {
                    if (seen.insert(source.title).second) {
                        titles.push_back(source.title);
                    }
                }
            }
            return valuesRange(titles);
        };
        parameter.get = [weak, n]() -> std::optional<json> {
            auto controller = weak.lock();
            if (!controller) {
                return std::nullopt;
            }
            const auto& places = controller->places();
            return json::array({n <= places.size() ? places[n - 1]->title() : std::string()});
        };
        parameter.set = [weak, n](const Arguments& arguments) -> std::optional<std::string> {
            const auto text = StringArgument(arguments);
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
    };

    add(place("/source", 1,
              "The first source to record: its title, or part of it. The same as /source/1."));
    for (size_t n = 1; n <= kMaxPlaces; ++n) {
        add(place(withPlaceNumber("/source/%zu", n), n,
                  withPlaceNumber("Source %zu to record: its title, or part of it. Empty for "
                                  "none: the sources after it move up.",
                                  n)));
    }

    {
        auto record =
            bare("/record", "i", "1 starts recording the sources, 0 stops and finishes the movies");
        record.range = [] { return numberRange(1); };
        record.get = getter<int>(
            weak, [](const RecorderController& c) { return c.state() == "recording" ? 1 : 0; });
        record.set = [weak](const Arguments& arguments) -> std::optional<std::string> {
            const auto value = NumberArgument(arguments);
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
        add(std::move(record));
    }
    const auto action = [&](std::string address, std::string summary,
                            void (*perform)(RecorderController&)) {
        auto parameter = bare(std::move(address), std::nullopt, std::move(summary));
        parameter.set = [weak, perform](const Arguments&) -> std::optional<std::string> {
            if (auto controller = weak.lock()) {
                perform(*controller);
            }
            return std::nullopt;
        };
        return parameter;
    };
    add(action("/record/toggle", "Starts recording, or stops",
               [](RecorderController& c) { c.toggle(); }));
    add(action("/start", "Starts recording the sources", [](RecorderController& c) { c.start(); }));
    add(action("/stop", "Stops recording and finishes the movies",
               [](RecorderController& c) { c.stopWithCompletionHandler(nullptr); }));

    // A choice among names: the codec, the output and the layout.
    const auto choice = [&](std::string address, std::string summary,
                            std::vector<std::string> names,
                            const std::string& (RecorderController::*read)() const,
                            void (RecorderController::*write)(const std::string&)) {
        auto parameter = bare(std::move(address), "s", std::move(summary));
        parameter.range = [names] { return valuesRange(names); };
        parameter.get = [weak, read]() -> std::optional<json> {
            auto controller = weak.lock();
            return controller ? std::optional<json>(json::array({((*controller).*read)()}))
                              : std::nullopt;
        };
        parameter.set = [weak, names,
                         write](const Arguments& arguments) -> std::optional<std::string> {
            const auto text = StringArgument(arguments);
            const std::string lowered = text ? AsciiLowercase(*text) : std::string();
            if (!text || std::find(names.begin(), names.end(), lowered) == names.end()) {
                return notOneOf(arguments, names);
            }
            if (auto controller = weak.lock()) {
                ((*controller).*write)(lowered);
            }
            return std::nullopt;
        };
        return parameter;
    };
    std::vector<std::string> layoutNames;
    for (const auto& name : Layout::kindNames()) {
        layoutNames.push_back(AsciiLowercase(name));
    }
    add(choice("/codec", "The codec of the movies. prores4444 keeps transparency.",
               CodecNames().names(), &RecorderController::codec, &RecorderController::setCodec));
    add(choice("/output",
               "What a recording writes: separate (a movie for each source), assembled (one "
               "movie of the sources together), or both",
               OutputNames().names(), &RecorderController::output, &RecorderController::setOutput));
    add(choice("/layout",
               "How the sources are assembled, in their order: row (side by side), column "
               "(stacked), grid (a mosaic), focus (the first large, the others beside it)",
               layoutNames, &RecorderController::layout, &RecorderController::setLayout));

    {
        auto sound = bare("/sound", "s",
                          "What sound is recorded: the title of one of the sources chosen (or "
                          "part of it) for the assembled movie, computer for the sound played on "
                          "this computer (in the assembled movie, or in each Syphon movie when output "
                          "is separate), or empty for none.");
        sound.range = [weak] {
            std::vector<std::string> names;
            if (auto controller = weak.lock()) {
                for (const auto& chosen : controller->places()) {
                    names.push_back(chosen->title());
                }
            }
            names.push_back("computer");
            names.push_back("");
            return valuesRange(names);
        };
        sound.get =
            getter<std::string>(weak, [](const RecorderController& c) { return c.sound(); });
        sound.set = [weak](const Arguments& arguments) -> std::optional<std::string> {
            const auto text = StringArgument(arguments);
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
        add(std::move(sound));
    }
    {
        auto performance =
            bare("/performance", "i",
                 "1 holds the display back while recording: the picture is shown ten times a "
                 "second, to leave the GPU to the movies. It applies at once. 0 (the default) "
                 "shows every frame.");
        performance.range = [] { return numberRange(1); };
        performance.get =
            getter<int>(weak, [](const RecorderController& c) { return c.performance() ? 1 : 0; });
        performance.set = [weak](const Arguments& arguments) -> std::optional<std::string> {
            const auto value = NumberArgument(arguments);
            if (!value) {
                return "expects 1 or 0";
            }
            if (auto controller = weak.lock()) {
                controller->setPerformance(*value != 0);
            }
            return std::nullopt;
        };
        add(std::move(performance));
    }
    add(integerSetting("/gap", "Pixels between the sources in the assembled picture", kMaxGap,
                       &RecorderController::gap, &RecorderController::setGap));

    const auto assembledSize = [](const RecorderController& c, bool width) -> json {
        if (c.places().empty()) {
            return 0;
        }
        const Size size = c.assembledLayout().size();
        return integerPart(width ? size.width : size.height);
    };
    add(status("/status/assembled/width", "i",
               "Width of the assembled picture as it is now, or of the take being recorded",
               [assembledSize](const RecorderController& c) { return assembledSize(c, true); }));
    add(status("/status/assembled/height", "i",
               "Height of the assembled picture as it is now, or of the take being recorded",
               [assembledSize](const RecorderController& c) { return assembledSize(c, false); }));
    add(status("/status/assembled/file", "s",
               "The assembled movie, being written or last written. Empty if there is none.",
               [](const RecorderController& c) { return json(c.assembledFile()); }));
    add(status("/status/assembled/frames", "i", "Frames written to the assembled movie",
               [](const RecorderController& c) { return json(c.assembledFrames()); }));
    add(status("/status/assembled/dropped", "i",
               "Pictures lost because the encoder of the assembled movie could not keep up",
               [](const RecorderController& c) { return json(c.assembledDropped()); }));

    add(integerSetting("/width",
                       "Width the assembled picture is fitted into, in pixels. 0 (or a height of "
                       "0) for the size the sources need. A source's own movie is the size of "
                       "the source.",
                       kMaxDimension, &RecorderController::width, &RecorderController::setWidth));
    add(integerSetting("/height",
                       "Height the assembled picture is fitted into, in pixels. 0 (or a width of "
                       "0) for the size the sources need. A source's own movie is the size of "
                       "the source.",
                       kMaxDimension, &RecorderController::height, &RecorderController::setHeight));
    add(doubleSetting("/fps",
                      "The most frames the movies have each second. 0 keeps every frame of the "
                      "sources.",
                      kMaxFps, &RecorderController::fps, &RecorderController::setFps));
    add(doubleSetting("/bitrate",
                      "Megabits per second for h264 and hevc. 0 chooses from the size and frame "
                      "rate.",
                      kMaxBitrate, &RecorderController::bitrate, &RecorderController::setBitrate));
    add(stringSetting("/folder", "The folder movies are written to", &RecorderController::folder,
                      &RecorderController::setFolder));
    add(stringSetting("/name",
                      "The name of the recording, without extension: the assembled movie's. "
                      "Empty for the app's name and the date. A source's own movie adds its "
                      "source's title, unless it is the only movie.",
                      &RecorderController::name, &RecorderController::setName));
    add(stringSetting("/setSaveFileName",
                      "The name of the recording (a .mov suffix is stripped): the same as /name. "
                      "Empty for the app's name and the date.",
                      &RecorderController::name, &RecorderController::setName));

    add(status("/status/version", "s",
               "The version of ZarvoRecorder, as 0.9; dev when it is not run from its application",
               [](const RecorderController&) { return json(RecorderController::version()); }));
    add(status("/status/state", "s", "idle, recording, or finishing while the movies are completed",
               [](const RecorderController& c) { return json(c.state()); }));
    add(status("/status/elapsed", "f", "Seconds recorded",
               [](const RecorderController& c) { return json(c.elapsed()); }));
    add(status("/status/frames", "i",
               "Frames written to the assembled movie or, if there is none, to the first "
               "source's",
               [](const RecorderController& c) { return json(c.frames()); }));
    add(status("/status/dropped", "i",
               "Frames lost in all the movies because the encoder could not keep up",
               [](const RecorderController& c) { return json(c.dropped()); }));
    add(status("/status/file", "s",
               "The assembled movie or, if there is none, the first source's: being written or "
               "last written",
               [](const RecorderController& c) { return json(c.file()); }));
    add(status("/status/error", "s", "The last error. Empty when a recording starts.",
               [](const RecorderController& c) { return json(c.error()); }));
    add(status("/status/failure", "s",
               "Why the last recording ended, if it failed or had nothing to write. Empty "
               "otherwise.",
               [](const RecorderController& c) { return json(c.recordingError()); }));
    add(status("/status/sound/written", "f",
               "Seconds of sound in the assembled movie, being written or last written",
               [](const RecorderController& c) { return json(c.assembledSoundWritten()); }));
    add(status("/status/sound/leftout", "f",
               "Seconds of sound left out of the movies of the recording, being written or last "
               "written, because the encoder could not keep up",
               [](const RecorderController& c) { return json(c.soundLeftOut()); }));
    add(status("/status/ndi", "i",
               "1 if NDI is available: its library is installed. Without it there are no NDI "
               "sources, which is not an error.",
               [](const RecorderController& c) { return json(c.ndiAvailable() ? 1 : 0); }));
    add(status("/status/ndi/sources", "s",
               "The titles of the NDI sources available, one per line: the other sources are "
               "Syphon's",
               [](const RecorderController& c) {
                   std::vector<std::string> titles;
                   for (const auto& source : c.availableSources()) {
                       if (source.kind == FrameSourceKind::NDI) {
                           titles.push_back(source.title);
                       }
                   }
                   return json(joined(titles, "\n"));
               }));

    // What each place reports about its source and its movie.
    struct PlaceStatus {
        const char* name;
        const char* typeTags;
        const char* summary;
        json (*read)(const RecorderPlace&);
    };
    static const PlaceStatus kPlaceStatus[] = {
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
    for (size_t n = 1; n <= kMaxPlaces; ++n) {
        for (const auto& item : kPlaceStatus) {
            auto parameter = bare(withPlaceNumber("/status/source/%zu/", n) + item.name,
                                  item.typeTags, item.summary);
            const bool isInteger = std::string_view(item.typeTags) == "i";
            const bool isString = std::string_view(item.typeTags) == "s";
            parameter.get = [weak, n, isInteger, isString,
                             read = item.read]() -> std::optional<json> {
                auto controller = weak.lock();
                if (!controller) {
                    return std::nullopt;
                }
                const auto& places = controller->places();
                if (n > places.size()) {
                    return json::array({isString ? json("") : json(0)});
                }
                json value = read(*places[n - 1]);
                // Integer addresses read flags as 1 and 0.
                if (isInteger && value.is_boolean()) {
                    value = value.get<bool>() ? 1 : 0;
                } else if (isInteger && value.is_number_float()) {
                    value = integerPart(value.get<double>());
                }
                return json::array({value});
            };
            add(std::move(parameter));
        }
    }
}

const RecorderParameter* RecorderController::parameterForAddress(const std::string& address) const {
    const auto found = parametersByAddress_.find(address);
    return found == parametersByAddress_.end() ? nullptr : &parameters_[found->second];
}

void RecorderController::handleMessage(const OSCMessage& message) {
    const RecorderParameter* parameter = parameterForAddress(message.address());
    if (!parameter) {
        setError("There is no OSC address \u201C" + message.address() + "\u201D");
        return;
    }
    if (!parameter->set) {
        setError(message.address() + " can only be read");
        return;
    }
    if (const auto refusal = parameter->set(message.arguments())) {
        setError(message.address() + " " + *refusal);
    }
}

// --- The network -----------------------------------------------------------------------------

void RecorderController::registerParameter(const RecorderParameter& parameter) {
    queryServer_->registerOSCAddress(
        parameter.address, parameter.typeTags.value_or(""), parameter.summary, parameter.access(),
        parameter.range ? parameter.range() : json::array(), parameter.get);
}

void RecorderController::registerParametersWithPrefix(const std::string& prefix) {
    for (const auto& parameter : parameters_) {
        if (parameter.address.starts_with(prefix)) {
            registerParameter(parameter);
        }
    }
}

bool RecorderController::startNetwork(long oscPort, long queryPort, const std::string& name) {
    stopNetwork();

    auto receiver = std::make_unique<OSCReceiver>(*mainQueue_);
    const WeakController weak = weak_from_this();
    if (!receiver->startOnPort(oscPort, [weak](const OSCMessage& message) {
            if (auto controller = weak.lock()) {
                controller->handleMessage(message);
            }
        })) {
        return failWithError("OSC could not listen on UDP port " + std::to_string(oscPort) +
                             " or those which follow");
    }
    receiver_ = std::move(receiver);
    oscPort_ = receiver_->port();

    queryServer_->setServerName(name);
    queryServer_->setOscPort(oscPort_);
    queryServer_->clearRegisteredAddresses();
    for (const auto& parameter : parameters_) {
        registerParameter(parameter);
    }
    if (!queryServer_->startOnPort(queryPort)) {
        return failWithError("OSCQuery could not listen on TCP port " + std::to_string(queryPort) +
                             " or those which follow");
    }
    queryServerStarted_ = true;
    oscQueryPort_ = queryServer_->httpPort();
    changed();
    return true;
}

bool RecorderController::stopNetworkServices() {
    if (receiver_) {
        receiver_->stop();
        receiver_.reset();
    }
    if (queryServerStarted_) {
        queryServer_->stop();
        queryServer_->clearRegisteredAddresses();
        queryServerStarted_ = false;
    }
    const bool portsChanged = oscPort_ != 0 || oscQueryPort_ != 0;
    oscPort_ = 0;
    oscQueryPort_ = 0;
    return portsChanged;
}

void RecorderController::stopNetwork() {
    if (stopNetworkServices()) {
        changed();
    }
}

}  // namespace zarvo
