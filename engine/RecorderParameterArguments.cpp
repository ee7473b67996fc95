// Reading the values a remote message carries: numbers from numbers, flags or decimal text,
// and strings only from strings.

#include <algorithm>
#include <charconv>
#include <cmath>

#include "engine/RecorderParameter.h"
#include "platform/Text.h"

namespace zarvo {
namespace {

// A decimal number written out in full: digits with an optional sign, point and exponent. Words
// such as "nan" or "inf" and hexadecimal forms are not numbers here.
std::optional<double> decimalNumber(std::string_view written) {
    const std::string text = trimmed(written);
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789.eE+-") != std::string_view::npos) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

int64_t integerPart(double number) {
    if (std::isnan(number)) {
        return 0;
    }
    constexpr double kLimit = 9.0e18;
    return static_cast<int64_t>(std::clamp(std::trunc(number), -kLimit, kLimit));
}

std::optional<double> numberArgument(const std::vector<OSCArgument>& arguments) {
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

std::optional<std::string> stringArgument(const std::vector<OSCArgument>& arguments) {
    if (arguments.empty()) {
        return std::nullopt;
    }
    if (const auto* text = std::get_if<std::string>(&arguments.front())) {
        return *text;
    }
    return std::nullopt;
}

std::string argumentText(const std::vector<OSCArgument>& arguments) {
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

}  // namespace zarvo
