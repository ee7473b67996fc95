#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace zarvo {

// One argument of an OSC message, as decoded: strings, booleans (T and F), 32- and 64-bit
// integers (i and h), and 32- and 64-bit floats (f and d).
using OSCArgument = std::variant<std::string, bool, int32_t, int64_t, float, double>;

// An Open Sound Control 1.0 message, and the codec that turns datagrams into messages and a
// message back into packet bytes. A message is an immutable value. The codec keeps no state: every
// operation is a class-level function, safe from any thread.
//
// Decoding is all or nothing: a fault anywhere in a datagram (a string without its NUL or not
// valid UTF-8, an argument or bundle element running past the end, an unsupported type tag, a bad
// bundle header, bundles nested more than 16 deep, stray bytes after a bundle's last element)
// yields no message at all. Well-formed arguments the application has no use for (I, N, b, c, m,
// r, t) are read over and dropped, and bundle time tags are ignored.
class OSCMessage {
  public:
    // Bundles may nest this deep; the outermost bundle is at depth 0.
    static constexpr int kMaxBundleDepth = 15;

    OSCMessage(std::string address, std::vector<OSCArgument> arguments);

    const std::string& address() const { return address_; }
    const std::vector<OSCArgument>& arguments() const { return arguments_; }

    bool operator==(const OSCMessage&) const = default;

    // The messages of one datagram, in the order they stand in it, depth first through nested
    // bundles; empty when the datagram is rejected or holds no message.
    static std::vector<OSCMessage> messagesFromPacket(std::span<const uint8_t> bytes);

    // Reads one packet (a message or a bundle) of `length` bytes and appends its messages to
    // `into`. On failure `into` may hold some of the packet's messages; callers drop them.
    static bool readPacket(const uint8_t* bytes, size_t length, int depth,
                           std::vector<OSCMessage>& into);

    // Reads one bundle at the given nesting depth and appends its messages to `into`.
    static bool readBundle(const uint8_t* bytes, size_t length, int depth,
                           std::vector<OSCMessage>& into);

    // The message as one OSC packet. Strings are written as s, booleans as T or F, floats as f
    // (64-bit floats narrowed) and integers as i (64-bit integers clamped to the 32-bit range).
    std::vector<uint8_t> packet() const;

    // The address, one space, then the arguments' text forms joined by single spaces. Booleans
    // read "true" or "false"; floats take the shortest form that reads back as the same value.
    std::string description() const;

    // Reads the NUL-ended, NUL-padded UTF-8 string at `offset` and moves `offset` past its
    // padding; nothing (and `offset` untouched) when it is cut short or not valid UTF-8.
    static std::optional<std::string> readString(const uint8_t* bytes, size_t length,
                                                 size_t& offset);

    // Appends the string's bytes and 1 to 4 NULs, up to the next multiple of 4. A string holding
    // a NUL is written up to that NUL, as a reader would see it.
    static void appendString(std::vector<uint8_t>& out, const std::string& string);

  private:
    static bool readMessage(const uint8_t* bytes, size_t length, std::vector<OSCMessage>& into);

    std::string address_;
    std::vector<OSCArgument> arguments_;
};

}  // namespace zarvo
