#include "engine/MovieBoxReader.h"

#include <algorithm>
#include <optional>

#include "platform/Files.h"

namespace zarvo::moviefile {

namespace {

struct BoxHeader {
    uint32_t type = 0;
    uint64_t size = 0;
    uint64_t headerSize = 0;
};

// The header at the start of `bytes`, of a box with `room` bytes before the end of what holds
// it; nullopt when it is malformed or the box runs past that end.
std::optional<BoxHeader> readBoxHeader(const uint8_t* bytes, size_t available, uint64_t room) {
    if (available < 8) {
        return std::nullopt;
    }
    Fields fields(bytes, available);
    BoxHeader header;
    header.size = fields.u32();
    header.type = fields.u32();
    header.headerSize = 8;
    if (header.size == 1) {
        header.size = fields.u64();
        header.headerSize = 16;
    } else if (header.size == 0) {
        header.size = room;  // the box runs to the end
    }
    if (fields.failed() || header.size < header.headerSize || header.size > room) {
        return std::nullopt;
    }
    return header;
}

}  // namespace

uint64_t Fields::take(int bytes) {
    if (size_ - at_ < static_cast<size_t>(bytes) || at_ > size_) {
        failed_ = true;
        at_ = size_;
        return 0;
    }
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | data_[at_++];
    }
    return value;
}

void Fields::skip(size_t bytes) {
    if (size_ - at_ < bytes) {
        failed_ = true;
        at_ = size_;
    } else {
        at_ += bytes;
    }
}

bool childBoxes(const std::vector<uint8_t>& data, size_t begin, size_t end,
                std::vector<Box>* boxes) {
    boxes->clear();
    size_t at = begin;
    while (at < end) {
        const auto header = readBoxHeader(&data[at], end - at, end - at);
        if (!header) {
            return false;
        }
        const auto size = static_cast<size_t>(header->size);
        boxes->push_back(
            Box{header->type, at, at + static_cast<size_t>(header->headerSize), at + size});
        at += size;
    }
    return true;
}

const Box* findBox(const std::vector<Box>& boxes, uint32_t type) {
    for (const Box& box : boxes) {
        if (box.type == type) {
            return &box;
        }
    }
    return nullptr;
}

bool readFileBoxes(int fd, uint64_t fileSize, std::vector<FileBox>* boxes, int* error) {
    uint64_t at = 0;
    while (at < fileSize) {
        uint8_t bytes[16] = {};
        const size_t want = static_cast<size_t>(std::min<uint64_t>(16, fileSize - at));
        if (want < 8 || !readAt(fd, bytes, want, at, error)) {
            return false;
        }
        const auto header = readBoxHeader(bytes, want, fileSize - at);
        if (!header) {
            return false;
        }
        boxes->push_back(FileBox{header->type, at, header->size});
        at += header->size;
    }
    return true;
}

bool readFileBox(int fd, const FileBox& box, std::vector<uint8_t>* data, int* error) {
    if (box.size > kMaxHeaderBytes) {
        return false;
    }
    data->resize(static_cast<size_t>(box.size));
    return readAt(fd, data->data(), data->size(), box.start, error);
}

}  // namespace zarvo::moviefile
