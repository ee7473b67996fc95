#include "engine/MovieBoxWriter.h"

#include <limits>

namespace zarvo::moviefile {

size_t BoxWriter::begin(uint32_t type) {
    const size_t at = out_.size();
    u32(0);
    u32(type);
    return at;
}

void BoxWriter::end(size_t at) {
    const uint64_t size = out_.size() - at;
    if (size > std::numeric_limits<uint32_t>::max()) {
        tooLarge_ = true;
        return;
    }
    patchU32(at, static_cast<uint32_t>(size));
}

void BoxWriter::put(uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void BoxWriter::patchU32(size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out_[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (24 - 8 * i));
    }
}

}  // namespace zarvo::moviefile
