#pragma once

// The shapes the recorder's remote parameters come in: settings read and written as numbers,
// texts or a choice among names, read-only status values and actions. Each holds the
// controller weakly: once it is gone, values read as nothing and messages do nothing.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/RecorderParameter.h"

namespace zarvo {

class RecorderController;

namespace parameters {

using WeakController = std::weak_ptr<RecorderController>;
using Read = std::function<nlohmann::json(const RecorderController&)>;

RecorderParameter bare(std::string address, std::optional<std::string> typeTags,
                       std::string summary);

// The OSCQuery ranges: a list of values, or 0 to a maximum.
nlohmann::json valuesRange(const std::vector<std::string>& names);
nlohmann::json numberRange(double maximum);

std::string joined(const std::vector<std::string>& names, std::string_view separator);
// An address or summary with the place number put in for "%zu".
std::string withPlaceNumber(const char* format, size_t place);

// A value computed from the controller, as an array of one value.
RecorderParameter::Getter readFrom(WeakController weak, Read read);

// Settings read and written as numbers; the setters clamp them.
RecorderParameter integerSetting(const WeakController& weak, std::string address,
                                 std::string summary, double maximum,
                                 int64_t (RecorderController::*read)() const,
                                 void (RecorderController::*write)(int64_t));
RecorderParameter doubleSetting(const WeakController& weak, std::string address,
                                std::string summary, double maximum,
                                double (RecorderController::*read)() const,
                                void (RecorderController::*write)(double));
// A setting read and written as a string.
RecorderParameter stringSetting(const WeakController& weak, std::string address,
                                std::string summary,
                                const std::string& (RecorderController::*read)() const,
                                void (RecorderController::*write)(const std::string&));
// A choice among names, taken in any ASCII case and written in the list's.
RecorderParameter choiceSetting(const WeakController& weak, std::string address,
                                std::string summary, std::vector<std::string> names,
                                const std::string& (RecorderController::*read)() const,
                                void (RecorderController::*write)(const std::string&));
// A value that can only be read.
RecorderParameter statusValue(const WeakController& weak, std::string address, std::string typeTags,
                              std::string summary, Read read);
// An action without a value: any message performs it.
RecorderParameter action(const WeakController& weak, std::string address, std::string summary,
                         void (*perform)(RecorderController&));

}  // namespace parameters
}  // namespace zarvo
