#include "platform/Text.h"

#include <cstdint>
#include <cstring>

extern char** environ;

namespace zarvo {

std::string trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\r\f\v";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

std::string asciiLowercase(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lowered;
}

bool isValidUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const size_t count = text.size();
    size_t i = 0;
    while (i < count) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t extra = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;  // the range of the first continuation byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            if (lead == 0xE0) {
                low = 0xA0;  // no overlong three-byte forms
            } else if (lead == 0xED) {
                high = 0x9F;  // no surrogates
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            if (lead == 0xF0) {
                low = 0x90;  // no overlong four-byte forms
            } else if (lead == 0xF4) {
                high = 0x8F;  // nothing above U+10FFFF
            }
        } else {
            return false;
        }
        if (count - i <= extra) {
            return false;
        }
        if (bytes[i + 1] < low || bytes[i + 1] > high) {
            return false;
        }
        for (size_t k = 2; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

std::map<std::string, std::string> processEnvironment() {
    std::map<std::string, std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string_view::npos) {
            environment.emplace(text.substr(0, equals), text.substr(equals + 1));
        }
    }
    return environment;
}

std::string systemErrorText(int code) {
    char buffer[256];
    // The GNU strerror_r, which may hand back a static string instead of filling the buffer.
    return strerror_r(code, buffer, sizeof buffer);
}

}  // namespace zarvo
