#include "remote/OSCMessage.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "platform/Text.h"

namespace zarvo {

namespace {

// Whether an item of `size` bytes at `offset` lies inside a packet of `length` bytes.
bool fits(size_t length, size_t offset, size_t size) {
    return length >= size && offset <= length - size;
}

uint32_t readUInt32(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           uint32_t{bytes[3]};
}

uint64_t readUInt64(const uint8_t* bytes) {
    return (uint64_t{readUInt32(bytes)} << 32) | readUInt32(bytes + 4);
}

void appendUInt32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// A double narrowed to float as IEEE 754 rounds it, without an out-of-range conversion: values
// that round beyond the largest float become infinities of their sign.
float narrowToFloat(double value) {
    constexpr double kRoundsToInfinity = 0x1.ffffffp127;  // the largest float plus half a step
    if (std::isfinite(value) && std::fabs(value) >= kRoundsToInfinity) {
        const float infinity = std::numeric_limits<float>::infinity();
        return std::signbit(value) ? -infinity : infinity;
    }
    return static_cast<float>(value);
}

template <typename Float>
std::string floatText(Float value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace

OSCMessage::OSCMessage(std::string address, std::vector<OSCArgument> arguments)
    : address_(std::move(address)), arguments_(std::move(arguments)) {}

std::vector<OSCMessage> OSCMessage::messagesFromPacket(std::span<const uint8_t> bytes) {
    std::vector<OSCMessage> messages;
    if (!readPacket(bytes.data(), bytes.size(), 0, messages)) {
        messages.clear();
    }
    return messages;
}

bool OSCMessage::readPacket(const uint8_t* bytes, size_t length, int depth,
                            std::vector<OSCMessage>& into) {
    if (length == 0) {
        return false;
    }
    if (bytes[0] == '/') {
        return readMessage(bytes, length, into);
    }
    if (bytes[0] == '#') {
        return readBundle(bytes, length, depth, into);
    }
    return false;
}

bool OSCMessage::readBundle(const uint8_t* bytes, size_t length, int depth,
                            std::vector<OSCMessage>& into) {
    static constexpr uint8_t kHeader[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};
    if (length < 16 || depth > kMaxBundleDepth) {
        return false;
    }
    if (std::memcmp(bytes, kHeader, sizeof kHeader) != 0) {
        return false;
    }
    // Bytes 8 to 15 are the time tag: every message is delivered at once.
    size_t offset = 16;
    if (offset == length) {
        return true;
    }
    while (fits(length, offset, 4)) {
        const size_t size = readUInt32(bytes + offset);
        offset += 4;
        if (size > length - offset) {
            return false;
        }
        if (!readPacket(bytes + offset, size, depth + 1, into)) {
            return false;
        }
        offset += size;
        if (offset >= length) {
            return true;
        }
    }
    // 1 to 3 stray bytes after the last element.
    return false;
}

bool OSCMessage::readMessage(const uint8_t* bytes, size_t length, std::vector<OSCMessage>& into) {
    size_t offset = 0;
    std::optional<std::string> address = readString(bytes, length, offset);
    if (!address) {
        return false;
    }
    std::vector<OSCArgument> arguments;
    if (offset >= length || bytes[offset] != ',') {
        // No type tags: a message without arguments.
        into.emplace_back(std::move(*address), std::move(arguments));
        return true;
    }
    const std::optional<std::string> tags = readString(bytes, length, offset);
    if (!tags) {
        return false;
    }
    for (size_t t = 1; t < tags->size(); ++t) {
        switch ((*tags)[t]) {
            case 'i':
                if (!fits(length, offset, 4)) {
                    return false;
                }
                arguments.emplace_back(static_cast<int32_t>(readUInt32(bytes + offset)));
                offset += 4;
                break;
            case 'f':
                if (!fits(length, offset, 4)) {
                    return false;
                }
                arguments.emplace_back(std::bit_cast<float>(readUInt32(bytes + offset)));
                offset += 4;
                break;
            case 'h':
                if (!fits(length, offset, 8)) {
                    return false;
                }
                arguments.emplace_back(static_cast<int64_t>(readUInt64(bytes + offset)));
                offset += 8;
                break;
            case 'd':
                if (!fits(length, offset, 8)) {
                    return false;
                }
                arguments.emplace_back(std::bit_cast<double>(readUInt64(bytes + offset)));
                offset += 8;
                break;
            case 's':
            case 'S': {
                std::optional<std::string> string = readString(bytes, length, offset);
                if (!string) {
                    return false;
                }
                arguments.emplace_back(std::move(*string));
                break;
            }
            case 'T':
                arguments.emplace_back(true);
                break;
            case 'F':
                arguments.emplace_back(false);
                break;
            case 'I':
            case 'N':
                break;
            case 'b': {
                if (!fits(length, offset, 4)) {
                    return false;
                }
                const uint64_t size = readUInt32(bytes + offset);
                offset += 4;
                const uint64_t padded = (size + 3) & ~uint64_t{3};
                if (padded > length - offset) {
                    return false;
                }
                offset += static_cast<size_t>(padded);
                break;
            }
            case 'c':
            case 'm':
            case 'r':
                if (!fits(length, offset, 4)) {
                    return false;
                }
                offset += 4;
                break;
            case 't':
                if (!fits(length, offset, 8)) {
                    return false;
                }
                offset += 8;
                break;
            default:
                return false;
        }
    }
    // Bytes after the last argument are ignored.
    into.emplace_back(std::move(*address), std::move(arguments));
    return true;
}

std::vector<uint8_t> OSCMessage::packet() const {
    std::vector<uint8_t> out;
    appendString(out, address_);
    std::string tags = ",";
    std::vector<uint8_t> data;
    for (const OSCArgument& argument : arguments_) {
        std::visit(
            [&](const auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, std::string>) {
                    tags += 's';
                    appendString(data, value);
                } else if constexpr (std::is_same_v<T, bool>) {
                    tags += value ? 'T' : 'F';
                } else if constexpr (std::is_same_v<T, float>) {
                    tags += 'f';
                    appendUInt32(data, std::bit_cast<uint32_t>(value));
                } else if constexpr (std::is_same_v<T, double>) {
                    tags += 'f';
                    appendUInt32(data, std::bit_cast<uint32_t>(narrowToFloat(value)));
                } else if constexpr (std::is_same_v<T, int32_t>) {
                    tags += 'i';
                    appendUInt32(data, static_cast<uint32_t>(value));
                } else {
                    static_assert(std::is_same_v<T, int64_t>);
                    tags += 'i';
                    const int64_t clamped =
                        std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                            std::numeric_limits<int32_t>::max());
                    appendUInt32(data, static_cast<uint32_t>(static_cast<int32_t>(clamped)));
                }
            },
            argument);
    }
    appendString(out, tags);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::string OSCMessage::description() const {
    std::string text = address_ + " ";
    bool first = true;
    for (const OSCArgument& argument : arguments_) {
        if (!first) {
            text += ' ';
        }
        first = false;
        std::visit(
            [&](const auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, std::string>) {
                    text += value;
                } else if constexpr (std::is_same_v<T, bool>) {
                    text += value ? "true" : "false";
                } else if constexpr (std::is_floating_point_v<T>) {
                    text += floatText(value);
                } else {
                    text += std::to_string(value);
                }
            },
            argument);
    }
    return text;
}

std::optional<std::string> OSCMessage::readString(const uint8_t* bytes, size_t length,
                                                  size_t& offset) {
    if (offset >= length) {
        return std::nullopt;
    }
    const uint8_t* start = bytes + offset;
    const auto* nul = static_cast<const uint8_t*>(std::memchr(start, 0, length - offset));
    if (nul == nullptr) {
        return std::nullopt;
    }
    const size_t count = static_cast<size_t>(nul - start);
    const size_t next = offset + (count & ~size_t{3}) + 4;
    if (next > length) {
        return std::nullopt;
    }
    const std::string_view text(reinterpret_cast<const char*>(start), count);
    if (!isValidUtf8(text)) {
        return std::nullopt;
    }
    offset = next;
    return std::string(text);
}

void OSCMessage::appendString(std::vector<uint8_t>& out, const std::string& string) {
    const size_t count = std::min(string.size(), string.find('\0'));
    out.insert(out.end(), string.begin(), string.begin() + static_cast<std::ptrdiff_t>(count));
    out.insert(out.end(), 4 - count % 4, uint8_t{0});
}

}  // namespace zarvo
