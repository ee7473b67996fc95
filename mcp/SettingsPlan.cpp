#include "mcp/SettingsPlan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "mcp/RecorderClient.h"
#include "mcp/RecorderStatus.h"

namespace zarvo::mcp {

using json = nlohmann::json;

namespace {

// The largest magnitude sent for an integer setting; the application clamps further.
constexpr double kIntegerLimit = 1'000'000.0;

// Lower case for comparing titles: ASCII, and the capitals of Latin-1 written as two UTF-8
// bytes; everything else is compared as it is.
std::string lowered(const std::string& text) {
    std::string out = text;
    for (size_t i = 0; i < out.size(); ++i) {
        const auto byte = static_cast<unsigned char>(out[i]);
        if (byte >= 'A' && byte <= 'Z') {
            out[i] = static_cast<char>(byte + 32);
        } else if (byte == 0xC3 && i + 1 < out.size()) {
            const auto next = static_cast<unsigned char>(out[i + 1]);
            if (next >= 0x80 && next <= 0x9E && next != 0x97) {
                out[i + 1] = static_cast<char>(next + 32);
            }
            ++i;
        }
    }
    return out;
}

double numberOr(const json& value, double fallback) {
    return value.is_number() ? value.get<double>() : fallback;
}

const std::string& requireString(const json& arguments, const char* key) {
    const json& value = arguments.at(key);
    if (!value.is_string()) {
        throw RecorderError::badArguments(std::string(key) + " must be a string");
    }
    return value.get_ref<const std::string&>();
}

double requireNumber(const json& arguments, const char* key) {
    const json& value = arguments.at(key);
    if (!value.is_number()) {
        throw RecorderError::badArguments(std::string(key) + " must be a number");
    }
    return value.get<double>();
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        out += (i == 0 ? "" : separator) + parts[i];
    }
    return out;
}

PlannedChange placeChange(int place, const std::string& title) {
    PlannedChange change{"/source/" + std::to_string(place), title, {}};
    if (title.empty()) {
        change.matches = [](const json& value) { return isStringEqual(value, ""); };
    } else {
        change.matches = [title](const json& value) {
            return value.is_string() && containsIgnoringCase(value.get<std::string>(), title);
        };
    }
    return change;
}

}  // namespace

bool containsIgnoringCase(const std::string& text, const std::string& part) {
    return lowered(text).find(lowered(part)) != std::string::npos;
}

// Every setting given, checked for its type before anything is sent, in the order the changes
// are sent. The places are planned separately, once the titles have been checked.
std::vector<PlannedChange> plannedSettings(const json& arguments) {
    std::vector<PlannedChange> changes;
    const auto has = [&](const char* key) { return arguments.contains(key); };

    if (has("codec")) {
        const std::string codec = requireString(arguments, "codec");
        const std::string expected = lowered(codec);
        changes.push_back({"/codec", codec, [expected](const json& value) {
                               return isStringEqual(value, expected);
                           }});
    }
    for (const char* key : {"fps", "bitrate"}) {
        if (has(key)) {
            const double number = requireNumber(arguments, key);
            changes.push_back(
                {std::string("/") + key, static_cast<float>(number), [number](const json& value) {
                     return std::fabs(numberOr(value, -1.0) - number) <= 0.001;
                 }});
        }
    }
    for (const char* key : {"output", "layout"}) {
        if (has(key)) {
            const std::string text = requireString(arguments, key);
            const std::string expected = lowered(text);
            changes.push_back({std::string("/") + key, text, [expected](const json& value) {
                                   return isStringEqual(value, expected);
                               }});
        }
    }
    for (const char* key : {"gap", "width", "height"}) {
        if (has(key)) {
            const double number = requireNumber(arguments, key);
            const auto sent =
                static_cast<int32_t>(std::clamp(number, -kIntegerLimit, kIntegerLimit));
            const double expected = std::round(number);
            changes.push_back({std::string("/") + key, sent, [expected](const json& value) {
                                   return numberOr(value, -1.0) == expected;
                               }});
        }
    }
    if (has("sound")) {
        const std::string sound = requireString(arguments, "sound");
        changes.push_back({"/sound", sound, [sound](const json& value) {
                               if (sound.empty()) {
                                   return isStringEqual(value, "");
                               }
                               return value.is_string() &&
                                      containsIgnoringCase(value.get<std::string>(), sound);
                           }});
    }
    if (has("performance")) {
        const json& value = arguments.at("performance");
        if (!value.is_boolean()) {
            throw RecorderError::badArguments("performance must be true or false");
        }
        const int32_t expected = value.get<bool>() ? 1 : 0;
        changes.push_back({"/performance", expected, [expected](const json& read) {
                               return read.is_number() &&
                                      static_cast<long long>(read.get<double>()) == expected;
                           }});
    }
    for (const char* key : {"folder", "name"}) {
        if (has(key)) {
            std::string text = requireString(arguments, key);
            if (std::string_view(key) == "folder") {
                text = expandTilde(text);
            }
            changes.push_back({std::string("/") + key, text,
                               [text](const json& value) { return isStringEqual(value, text); }});
        }
    }
    return changes;
}

std::vector<PlannedChange> plannedPlaces(const std::vector<std::string>& titles) {
    std::vector<PlannedChange> changes;
    for (size_t i = 0; i < titles.size(); ++i) {
        changes.push_back(placeChange(static_cast<int>(i) + 1, titles[i]));
    }
    if (titles.size() < kPlaces) {
        changes.push_back(placeChange(static_cast<int>(titles.size()) + 1, ""));
    }
    return changes;
}

void requireOffered(const std::vector<std::string>& titles,
                    const std::vector<std::string>& available) {
    for (const std::string& title : titles) {
        const bool known = std::any_of(
            available.begin(), available.end(),
            [&](const std::string& offered) { return containsIgnoringCase(offered, title); });
        if (!known) {
            throw RecorderError::failed("There is no source called \u201C" + title +
                                        "\u201D. Available: " + join(available, ", ") +
                                        ". Nothing was changed.");
        }
    }
}

bool allApplied(const std::vector<PlannedChange>& changes, const RecorderTree& tree) {
    return std::all_of(changes.begin(), changes.end(), [&](const PlannedChange& change) {
        return change.matches(tree.value(change.address));
    });
}

json notApplied(const std::vector<PlannedChange>& changes, const RecorderTree& tree) {
    json values = json::object();
    for (const PlannedChange& change : changes) {
        const json value = tree.value(change.address);
        if (!change.matches(value)) {
            values[change.address.substr(1)] = value;
        }
    }
    return values;
}

// The titles asked for: "sources", else "source" as a list of one; none when neither is given.
std::optional<std::vector<std::string>> requestedTitles(const json& arguments) {
    if (arguments.contains("sources")) {
        const json& list = arguments.at("sources");
        if (!list.is_array() ||
            !std::all_of(list.begin(), list.end(), [](const json& t) { return t.is_string(); })) {
            throw RecorderError::badArguments("sources must be a list of titles");
        }
        if (list.size() > kPlaces) {
            throw RecorderError::badArguments("no more than " + std::to_string(kPlaces) +
                                              " sources can be recorded at once");
        }
        return list.get<std::vector<std::string>>();
    }
    if (arguments.contains("source")) {
        return std::vector<std::string>{requireString(arguments, "source")};
    }
    return std::nullopt;
}

}  // namespace zarvo::mcp
