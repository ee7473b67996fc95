#pragma once

// The codecs a movie can be written with: the index stored in settings, the name on the remote
// interfaces and the name shown to people. Header only, so that every program shares one list.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zarvo {

enum class Codec : int64_t { h264 = 0, hevc = 1, prores422 = 2, prores4444 = 3 };

struct CodecDescription {
    Codec codec;
    const char* name;         // on the wire and in settings: "h264"
    const char* displayName;  // in menus: "H.264"
};

inline constexpr std::array<CodecDescription, 4> kCodecs = {{
    {Codec::h264, "h264", "H.264"},
    {Codec::hevc, "hevc", "HEVC"},
    {Codec::prores422, "prores422", "ProRes 422"},
    {Codec::prores4444, "prores4444", "ProRes 4444"},
}};

// The codec stored as that index; H.264 for an index outside the list.
constexpr Codec codecAt(int64_t index) {
    return index >= 0 && index < static_cast<int64_t>(kCodecs.size()) ? static_cast<Codec>(index)
                                                                      : Codec::h264;
}

constexpr const CodecDescription& describe(Codec codec) {
    return kCodecs[static_cast<size_t>(codecAt(static_cast<int64_t>(codec)))];
}

// The codec a name stands for, without regard to ASCII case; none for any other name.
constexpr std::optional<Codec> codecNamed(std::string_view name) {
    const auto lowered = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (const CodecDescription& description : kCodecs) {
        const std::string_view known = description.name;
        bool same = known.size() == name.size();
        for (size_t i = 0; same && i < known.size(); ++i) {
            same = lowered(name[i]) == known[i];
        }
        if (same) {
            return description.codec;
        }
    }
    return std::nullopt;
}

// H.264 and HEVC are compressed to a bit rate; ProRes has its own fixed quality.
constexpr bool usesBitrate(Codec codec) {
    return codec == Codec::h264 || codec == Codec::hevc;
}

// Only ProRes 4444 keeps the picture's transparency.
constexpr bool keepsAlpha(Codec codec) {
    return codec == Codec::prores4444;
}

}  // namespace zarvo
