#pragma once

// Writing boxes into memory: big-endian fields, boxes whose size is filled in when they end, and
// copies of boxes read from a buffer.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/MovieBoxReader.h"

namespace zarvo::moviefile {

class BoxWriter {
  public:
    // Starts a box; returns where it starts, for end().
    size_t begin(uint32_t type);
    // Ends the box started at `at`, filling in its size. A box beyond 4 GiB marks the writer as
    // having failed (tooLarge()).
    void end(size_t at);

    void put(uint64_t value, int bytes);
    void u8(uint64_t value) { put(value, 1); }
    void u24(uint64_t value) { put(value, 3); }
    void u32(uint64_t value) { put(value, 4); }
    void u64(uint64_t value) { put(value, 8); }
    void sized(uint64_t value, bool wide) { put(value, wide ? 8 : 4); }
    // Replaces the 4 bytes written at `at` (a count known only later).
    void patchU32(size_t at, uint32_t value);
    void bytes(const uint8_t* data, size_t size) { out_.insert(out_.end(), data, data + size); }
    void copy(const std::vector<uint8_t>& data, const Box& box) {
        bytes(data.data() + box.start, box.end - box.start);
    }

    size_t size() const { return out_.size(); }
    // The bytes written, leaving the writer empty.
    std::vector<uint8_t> take() { return std::move(out_); }
    bool tooLarge() const { return tooLarge_; }

  private:
    std::vector<uint8_t> out_;
    bool tooLarge_ = false;
};

// Copies a container box, letting write() replace or drop its children: write() returns false
// for a child it leaves to be copied as it is.
template <typename Write>
bool copyContainer(BoxWriter& out, const std::vector<uint8_t>& data, const Box& box, Write write) {
    std::vector<Box> children;
    if (!childBoxes(data, box, &children)) {
        return false;
    }
    const size_t at = out.begin(box.type);
    for (const Box& child : children) {
        if (!write(child)) {
            out.copy(data, child);
        }
    }
    out.end(at);
    return true;
}

}  // namespace zarvo::moviefile
