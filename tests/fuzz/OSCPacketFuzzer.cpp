// Feeds arbitrary datagrams to the OSC decoder. Whatever it accepts must survive encoding and
// decoding again: the same address, the same number of arguments, and each argument as the
// encoder is documented to write it (64-bit integers clamped, 64-bit floats narrowed).

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <variant>
#include <vector>

#include "remote/OSCMessage.h"

namespace {

using zarvo::OSCArgument;
using zarvo::OSCMessage;

[[noreturn]] void fail(const char* what, const OSCMessage& message) {
    std::fprintf(stderr, "OSC round trip broken (%s) for: %s\n", what,
                 message.description().c_str());
    std::abort();
}

// Whether `after`, read back from the encoding of `before`, is what the encoder promises.
bool survives(const OSCArgument& before, const OSCArgument& after) {
    if (const auto* value = std::get_if<int64_t>(&before)) {
        const auto* read = std::get_if<int32_t>(&after);
        const int64_t clamped = std::clamp<int64_t>(*value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max());
        return read != nullptr && *read == clamped;
    }
    if (const auto* value = std::get_if<double>(&before)) {
        const auto* read = std::get_if<float>(&after);
        if (read == nullptr)
            return false;
        if (std::isnan(*value))
            return std::isnan(*read);
        if (std::isinf(*read))
            return std::signbit(*read) == std::signbit(*value) &&
                   std::fabs(*value) >= std::numeric_limits<float>::max();
        // Narrowing rounds to the nearest float: off by at most half a step.
        const double error = std::fabs(static_cast<double>(*read) - *value);
        return error <= std::fabs(*value) * 0x1p-24 + std::numeric_limits<float>::denorm_min();
    }
    if (const auto* value = std::get_if<float>(&before)) {
        const auto* read = std::get_if<float>(&after);
        return read != nullptr && std::bit_cast<uint32_t>(*read) == std::bit_cast<uint32_t>(*value);
    }
    return before == after;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<OSCMessage> messages =
        OSCMessage::messagesFromPacket(std::span<const uint8_t>(data, size));
    for (const OSCMessage& message : messages) {
        (void)message.description();
        const std::vector<uint8_t> packet = message.packet();
        const std::vector<OSCMessage> again = OSCMessage::messagesFromPacket(packet);
        if (again.size() != 1)
            fail("the encoding does not decode to one message", message);
        if (again[0].address() != message.address())
            fail("address changed", message);
        if (again[0].arguments().size() != message.arguments().size())
            fail("argument count changed", message);
        for (size_t i = 0; i < message.arguments().size(); ++i)
            if (!survives(message.arguments()[i], again[0].arguments()[i]))
                fail("argument changed", message);
        // Once normalised by one trip, the bytes are stable.
        if (again[0].packet() != packet)
            fail("second encoding differs", message);
    }
    return 0;
}
