#pragma once

// Reading the boxes a movie file is made of: big-endian fields of a box's contents, the boxes
// inside a box held in memory, and the top-level boxes of the file itself.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zarvo::moviefile {

constexpr uint32_t fourcc(const char (&text)[5]) {
    return (uint32_t{static_cast<uint8_t>(text[0])} << 24) |
           (uint32_t{static_cast<uint8_t>(text[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(text[2])} << 8) | uint32_t{static_cast<uint8_t>(text[3])};
}

// The largest box read whole into memory: a movie box or a fragment box.
inline constexpr uint64_t kMaxHeaderBytes = 512ull << 20;

// Big-endian fields read from a bounded stretch of bytes; reading past its end yields zeros and
// marks the reader as failed, so a malformed box is noticed once at the end.
class Fields {
  public:
    Fields(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint64_t take(int bytes);
    uint8_t u8() { return static_cast<uint8_t>(take(1)); }
    uint32_t u24() { return static_cast<uint32_t>(take(3)); }
    uint32_t u32() { return static_cast<uint32_t>(take(4)); }
    uint64_t u64() { return take(8); }
    // A field of 4 or 8 bytes, as the box's version says.
    uint64_t sized(bool wide) { return wide ? u64() : u32(); }
    void skip(size_t bytes);
    size_t position() const { return at_; }
    bool failed() const { return failed_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    bool failed_ = false;
};

// A box inside a buffer: [start, end) with its contents from content on.
struct Box {
    uint32_t type = 0;
    size_t start = 0;
    size_t content = 0;
    size_t end = 0;
};

// The fields of a box's contents.
inline Fields contentsOf(const std::vector<uint8_t>& data, const Box& box) {
    return Fields(&data[box.content], box.end - box.content);
}

// The boxes in [begin, end) of the buffer; false when one of them is malformed.
bool childBoxes(const std::vector<uint8_t>& data, size_t begin, size_t end,
                std::vector<Box>* boxes);

// The boxes inside a box of the buffer; false when one of them is malformed.
inline bool childBoxes(const std::vector<uint8_t>& data, const Box& box, std::vector<Box>* boxes) {
    return childBoxes(data, box.content, box.end, boxes);
}

// The first box of that type, or nullptr.
const Box* findBox(const std::vector<Box>& boxes, uint32_t type);

// A box at the top level of the file.
struct FileBox {
    uint32_t type = 0;
    uint64_t start = 0;
    uint64_t size = 0;
};

// The top-level boxes of the file; false when one is malformed or runs past the end (*error: the
// error number of a failed read, else untouched).
bool readFileBoxes(int fd, uint64_t fileSize, std::vector<FileBox>* boxes, int* error);

// Reads a whole top-level box into memory; false for a box larger than kMaxHeaderBytes.
bool readFileBox(int fd, const FileBox& box, std::vector<uint8_t>* data, int* error);

}  // namespace zarvo::moviefile
