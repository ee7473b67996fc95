#include "engine/NameTable.h"
#include "platform/Text.h"

#include "engine/Codec.h"

#include <locale.h>
#include <wctype.h>

namespace zarvo {
namespace {

// Decodes UTF-8 and lower-cases each character with the C.UTF-8 locale's simple case mapping,
// so that "Caméra" and "CAMÉRA" fold alike. Bytes that are not valid UTF-8 stand for themselves
// (mapped to a private range) so they still compare exactly.
std::u32string foldCase(std::string_view text) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    std::u32string folded;
    folded.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        char32_t code = 0;
        size_t length = 0;
        if (byte < 0x80) {
            code = byte;
            length = 1;
        } else if ((byte & 0xE0) == 0xC0) {
            code = byte & 0x1F;
            length = 2;
        } else if ((byte & 0xF0) == 0xE0) {
            code = byte & 0x0F;
            length = 3;
        } else if ((byte & 0xF8) == 0xF0) {
            code = byte & 0x07;
            length = 4;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid) {
            folded.push_back(0xF0000 + byte);
            ++i;
            continue;
        }
        if (utf8 != locale_t{}) {
            code = static_cast<char32_t>(towlower_l(static_cast<wint_t>(code), utf8));
        } else if (code >= 'A' && code <= 'Z') {
            code += 'a' - 'A';
        }
        folded.push_back(code);
        i += length;
    }
    return folded;
}

}  // namespace

std::optional<int64_t> NameTable::indexOf(std::string_view name) const {
    const std::string lowered = asciiLowercase(name);
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == lowered) {
            return static_cast<int64_t>(i);
        }
    }
    return std::nullopt;
}

const std::string& NameTable::nameAt(int64_t index) const {
    if (index < 0 || index >= static_cast<int64_t>(names_.size())) {
        return names_.front();
    }
    return names_[static_cast<size_t>(index)];
}

std::optional<std::string> NameTable::canonical(std::string_view name) const {
    if (auto index = indexOf(name)) {
        return names_[static_cast<size_t>(*index)];
    }
    return std::nullopt;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return foldCase(a) == foldCase(b);
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    return foldCase(text).find(foldCase(part)) != std::u32string::npos;
}

const NameTable& codecNameTable() {
    static const NameTable names([] {
        std::vector<std::string> codecs;
        for (const CodecDescription& codec : kCodecs) {
            codecs.emplace_back(codec.name);
        }
        return codecs;
    }());
    return names;
}

const NameTable& outputNameTable() {
    static const NameTable names{"separate", "assembled", "both"};
    return names;
}

}  // namespace zarvo
