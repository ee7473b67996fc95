#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "remote/OSCMessage.h"

namespace zarvo {

// One remotely controllable value or action of the recorder, reached by its OSC address and
// published over OSCQuery with its type, summary, range and current value.
struct RecorderParameter {
    // The OSCQuery range: an array holding one object, {"MIN", "MAX"} or {"VALS"}.
    using Range = std::function<nlohmann::json()>;
    // The current value, as an array of one value; nothing when there is none to show.
    using Getter = std::function<std::optional<nlohmann::json>()>;
    // Applies a received message's arguments; a text says why they were refused.
    using Setter = std::function<std::optional<std::string>(const std::vector<OSCArgument>&)>;

    std::string address;
    std::optional<std::string> typeTags;  // "i", "f" or "s"; none for an action without value
    std::string summary;
    Range range;  // none: no range is published
    Getter get;   // none: write only
    Setter set;   // none: read only

    // The OSCQuery access: 3 read and write, 1 read only, 2 write only.
    long access() const {
        if (!get) {
            return 2;
        }
        return set ? 3 : 1;
    }
};

// The number a message carries: its first argument when that is a number (a boolean counts as
// 1 or 0), or a string that reads wholly as a decimal number, white space around it allowed.
std::optional<double> numberArgument(const std::vector<OSCArgument>& arguments);
// The first argument when it is a string; a number is not taken as one.
std::optional<std::string> stringArgument(const std::vector<OSCArgument>& arguments);
// The first argument as text for a message (the empty string when there is none).
std::string argumentText(const std::vector<OSCArgument>& arguments);
// The integer part of a number, truncated toward zero; not-a-number counts as 0 and the
// infinities as the largest integers, which the setters then clamp.
int64_t integerPart(double number);

}  // namespace zarvo
