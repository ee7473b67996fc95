#include "engine/RecorderParameterShapes.h"

#include <algorithm>
#include <cstdio>

#include "engine/RecorderController.h"
#include "platform/Text.h"

namespace zarvo::parameters {
namespace {

using nlohmann::json;
using Arguments = std::vector<OSCArgument>;
using Write = std::function<void(RecorderController&, double)>;

std::string notOneOf(const Arguments& arguments, const std::vector<std::string>& names) {
    return "\u201C" + argumentText(arguments) + "\u201D is not one of " + joined(names, ", ");
}

// A setting read and written as a number.
RecorderParameter numberSetting(const WeakController& weak, std::string address,
                                std::string typeTags, std::string summary, double maximum,
                                Read read, Write write) {
    auto parameter = bare(std::move(address), std::move(typeTags), std::move(summary));
    parameter.range = [maximum] { return numberRange(maximum); };
    parameter.get = readFrom(weak, std::move(read));
    parameter.set = [weak, write](const Arguments& arguments) -> std::optional<std::string> {
        const auto value = numberArgument(arguments);
        if (!value) {
            return "expects a number";
        }
        if (auto controller = weak.lock()) {
            write(*controller, *value);
        }
        return std::nullopt;
    };
    return parameter;
}

}  // namespace

RecorderParameter bare(std::string address, std::optional<std::string> typeTags,
                       std::string summary) {
    RecorderParameter parameter;
    parameter.address = std::move(address);
    parameter.typeTags = std::move(typeTags);
    parameter.summary = std::move(summary);
    return parameter;
}

json valuesRange(const std::vector<std::string>& names) {
    return json::array({json{{"VALS", names}}});
}

json numberRange(double maximum) {
    return json::array({json{{"MIN", 0}, {"MAX", maximum}}});
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

std::string withPlaceNumber(const char* format, size_t place) {
    char text[256];
    std::snprintf(text, sizeof text, format, place);
    return text;
}

RecorderParameter::Getter readFrom(WeakController weak, Read read) {
    return [weak = std::move(weak), read = std::move(read)]() -> std::optional<json> {
        auto controller = weak.lock();
        if (!controller) {
            return std::nullopt;
        }
        return json::array({read(*controller)});
    };
}

RecorderParameter integerSetting(const WeakController& weak, std::string address,
                                 std::string summary, double maximum,
                                 int64_t (RecorderController::*read)() const,
                                 void (RecorderController::*write)(int64_t)) {
    return numberSetting(
        weak, std::move(address), "i", std::move(summary), maximum,
        [read](const RecorderController& c) { return json((c.*read)()); },
        [write](RecorderController& c, double value) { (c.*write)(integerPart(value)); });
}

RecorderParameter doubleSetting(const WeakController& weak, std::string address,
                                std::string summary, double maximum,
                                double (RecorderController::*read)() const,
                                void (RecorderController::*write)(double)) {
    return numberSetting(
        weak, std::move(address), "f", std::move(summary), maximum,
        [read](const RecorderController& c) { return json((c.*read)()); },
        [write](RecorderController& c, double value) { (c.*write)(value); });
}

RecorderParameter stringSetting(const WeakController& weak, std::string address,
                                std::string summary,
                                const std::string& (RecorderController::*read)() const,
                                void (RecorderController::*write)(const std::string&)) {
    auto parameter = bare(std::move(address), "s", std::move(summary));
    parameter.get =
        readFrom(weak, [read](const RecorderController& c) { return json((c.*read)()); });
    parameter.set = [weak, write](const Arguments& arguments) -> std::optional<std::string> {
        const auto text = stringArgument(arguments);
        if (!text) {
            return "expects a string";
        }
        if (auto controller = weak.lock()) {
            ((*controller).*write)(*text);
        }
        return std::nullopt;
    };
    return parameter;
}

RecorderParameter choiceSetting(const WeakController& weak, std::string address,
                                std::string summary, std::vector<std::string> names,
                                const std::string& (RecorderController::*read)() const,
                                void (RecorderController::*write)(const std::string&)) {
    auto parameter = bare(std::move(address), "s", std::move(summary));
    parameter.range = [names] { return valuesRange(names); };
    parameter.get =
        readFrom(weak, [read](const RecorderController& c) { return json((c.*read)()); });
    parameter.set = [weak, names = std::move(names),
                     write](const Arguments& arguments) -> std::optional<std::string> {
        const auto text = stringArgument(arguments);
        const std::string lowered = text ? asciiLowercase(*text) : std::string();
        if (!text || std::find(names.begin(), names.end(), lowered) == names.end()) {
            return notOneOf(arguments, names);
        }
        if (auto controller = weak.lock()) {
            ((*controller).*write)(lowered);
        }
        return std::nullopt;
    };
    return parameter;
}

RecorderParameter statusValue(const WeakController& weak, std::string address, std::string typeTags,
                              std::string summary, Read read) {
    auto parameter = bare(std::move(address), std::move(typeTags), std::move(summary));
    parameter.get = readFrom(weak, std::move(read));
    return parameter;
}

RecorderParameter action(const WeakController& weak, std::string address, std::string summary,
                         void (*perform)(RecorderController&)) {
    auto parameter = bare(std::move(address), std::nullopt, std::move(summary));
    parameter.set = [weak, perform](const Arguments&) -> std::optional<std::string> {
        if (auto controller = weak.lock()) {
            perform(*controller);
        }
        return std::nullopt;
    };
    return parameter;
}

}  // namespace zarvo::parameters
