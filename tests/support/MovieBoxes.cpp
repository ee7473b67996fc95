#include "tests/support/MovieBoxes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace zarvo::test {

namespace {

uint64_t BigEndian(const uint8_t* bytes, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void PutBigEndian(uint8_t* bytes, int count, uint64_t value) {
    for (int i = count - 1; i >= 0; --i) {
        bytes[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

struct File {
    int fd = -1;
    explicit File(const std::filesystem::path& path, int flags = O_RDONLY)
        : fd(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {}
    ~File() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    bool read(uint64_t at, void* data, size_t size) const {
        return ::pread(fd, data, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
    }
    std::vector<uint8_t> read(uint64_t at, size_t size) const {
        std::vector<uint8_t> data(size);
        return read(at, data.data(), size) ? data : std::vector<uint8_t>{};
    }
    bool write(uint64_t at, const void* data, size_t size) const {
        return ::pwrite(fd, data, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
    }
};

std::vector<MovieBox> BoxesIn(const File& file, uint64_t begin, uint64_t end) {
    std::vector<MovieBox> boxes;
    uint64_t at = begin;
    while (at + 8 <= end) {
        uint8_t header[16] = {};
        if (!file.read(at, header, 8)) {
            break;
        }
        MovieBox box;
        box.offset = at;
        box.type.assign(reinterpret_cast<const char*>(header + 4), 4);
        box.size = BigEndian(header, 4);
        if (box.size == 1) {
            if (!file.read(at + 8, header + 8, 8)) {
                break;
            }
            box.size = BigEndian(header + 8, 8);
            box.header = 16;
        } else if (box.size == 0) {
            box.size = end - at;
        }
        if (box.size < box.header || box.size > end - at) {
            box.type = "broken";
            boxes.push_back(box);
            break;
        }
        boxes.push_back(box);
        at += box.size;
    }
    return boxes;
}

uint64_t FileSize(const File& file) {
    const off_t size = ::lseek(file.fd, 0, SEEK_END);
    return size < 0 ? 0 : static_cast<uint64_t>(size);
}

// Where the fields of one track's fragment sit in a fragment box, and their values.
struct TrackFragment {
    uint32_t track = 0;
    size_t baseOffsetAt = 0;  // 0: not present
    uint64_t baseOffset = 0;
    size_t decodeTimeAt = 0;  // 0: not present
    bool wideDecodeTime = false;
    uint64_t decodeTime = 0;
};

// Reads the fragment box's track fragments; the position of its sequence number in *sequenceAt.
std::vector<TrackFragment> ReadFragment(const std::vector<uint8_t>& moof, size_t* sequenceAt) {
    std::vector<TrackFragment> fragments;
    const auto children = [&](size_t begin, size_t end) {
        std::vector<std::pair<std::string, std::pair<size_t, size_t>>> list;
        for (size_t at = begin; at + 8 <= end;) {
            const auto size = static_cast<size_t>(BigEndian(&moof[at], 4));
            if (size < 8 || size > end - at) {
                break;
            }
            list.push_back({std::string(reinterpret_cast<const char*>(&moof[at + 4]), 4),
                            {at + 8, at + size}});
            at += size;
        }
        return list;
    };
    for (const auto& [type, range] : children(8, moof.size())) {
        if (type == "mfhd") {
            *sequenceAt = range.first + 4;
        }
        if (type != "traf") {
            continue;
        }
        TrackFragment fragment;
        for (const auto& [part, at] : children(range.first, range.second)) {
            if (part == "tfhd") {
                const uint64_t flags = BigEndian(&moof[at.first + 1], 3);
                fragment.track = static_cast<uint32_t>(BigEndian(&moof[at.first + 4], 4));
                if ((flags & 1) != 0) {
                    fragment.baseOffsetAt = at.first + 8;
                    fragment.baseOffset = BigEndian(&moof[at.first + 8], 8);
                }
            } else if (part == "tfdt") {
                fragment.wideDecodeTime = moof[at.first] == 1;
                fragment.decodeTimeAt = at.first + 4;
                fragment.decodeTime =
                    BigEndian(&moof[at.first + 4], fragment.wideDecodeTime ? 8 : 4);
            }
        }
        fragments.push_back(fragment);
    }
    return fragments;
}

}  // namespace

std::vector<MovieBox> topLevelBoxes(const std::filesystem::path& file) {
    const File in(file);
    return in.fd < 0 ? std::vector<MovieBox>{} : BoxesIn(in, 0, FileSize(in));
}

std::vector<MovieBox> childBoxes(const std::filesystem::path& file, const MovieBox& parent) {
    const File in(file);
    return in.fd < 0 ? std::vector<MovieBox>{}
                     : BoxesIn(in, parent.offset + parent.header, parent.offset + parent.size);
}

std::vector<MovieBox> boxesAt(const std::filesystem::path& file, const std::string& path) {
    std::vector<std::string> types;
    std::stringstream parts(path);
    for (std::string type; std::getline(parts, type, '/');) {
        types.push_back(type);
    }
    std::vector<MovieBox> level = topLevelBoxes(file);
    for (size_t i = 0; i < types.size(); ++i) {
        std::vector<MovieBox> matching;
        for (const MovieBox& box : level) {
            if (box.type == types[i]) {
                matching.push_back(box);
            }
        }
        if (i + 1 == types.size()) {
            return matching;
        }
        level.clear();
        for (const MovieBox& box : matching) {
            for (const MovieBox& child : childBoxes(file, box)) {
                level.push_back(child);
            }
        }
    }
    return {};
}

size_t countTopLevel(const std::filesystem::path& file, const std::string& type) {
    size_t count = 0;
    for (const MovieBox& box : topLevelBoxes(file)) {
        count += box.type == type ? 1 : 0;
    }
    return count;
}

bool repeatFragments(const std::filesystem::path& source, const std::filesystem::path& target,
                     int copies, uint64_t gapBytes, bool emptyData) {
    const File in(source);
    const auto boxes = topLevelBoxes(source);
    std::vector<size_t> moofs;
    for (size_t i = 0; i < boxes.size(); ++i) {
        if (boxes[i].type == "moof") {
            moofs.push_back(i);
        }
    }
    if (moofs.size() < 2 || moofs[0] + 1 >= boxes.size() || boxes[moofs[0] + 1].type != "mdat") {
        return false;
    }
    const MovieBox& firstMoof = boxes[moofs[0]];
    const MovieBox& media = boxes[moofs[0] + 1];
    std::vector<uint8_t> moof = in.read(firstMoof.offset, static_cast<size_t>(firstMoof.size));
    const std::vector<uint8_t> second =
        in.read(boxes[moofs[1]].offset, static_cast<size_t>(boxes[moofs[1]].size));
    size_t sequenceAt = 0;
    size_t ignored = 0;
    const auto fragments = ReadFragment(moof, &sequenceAt);
    std::map<uint32_t, uint64_t> lengths;  // each track's fragment length, in its time scale
    for (const TrackFragment& next : ReadFragment(second, &ignored)) {
        for (const TrackFragment& first : fragments) {
            if (first.track == next.track) {
                lengths[first.track] = next.decodeTime - first.decodeTime;
            }
        }
    }
    for (const TrackFragment& fragment : fragments) {
        if (fragment.baseOffsetAt == 0 || fragment.decodeTimeAt == 0 ||
            !lengths.contains(fragment.track)) {
            return false;
        }
    }

    const File out(target, O_RDWR | O_CREAT | O_TRUNC);
    const std::vector<uint8_t> header = in.read(0, static_cast<size_t>(firstMoof.offset));
    if (out.fd < 0 || header.empty() || !out.write(0, header.data(), header.size())) {
        return false;
    }
    uint64_t at = header.size();
    if (gapBytes >= 16) {
        uint8_t free[16] = {};
        PutBigEndian(free, 4, 1);
        std::memcpy(free + 4, "free", 4);
        PutBigEndian(free + 8, 8, gapBytes);
        if (!out.write(at, free, sizeof free)) {
            return false;
        }
        at += gapBytes;
    }
    std::vector<uint8_t> payload;
    if (!emptyData) {
        payload = in.read(media.offset, static_cast<size_t>(media.size));
    } else {
        payload = in.read(media.offset, static_cast<size_t>(media.header));
    }
    if (payload.empty()) {
        return false;
    }
    for (int k = 0; k < copies; ++k) {
        const uint64_t shift = at - firstMoof.offset;
        std::vector<uint8_t> copy = moof;
        if (sequenceAt != 0) {
            PutBigEndian(&copy[sequenceAt], 4, static_cast<uint64_t>(k) + 1);
        }
        for (const TrackFragment& fragment : fragments) {
            PutBigEndian(&copy[fragment.baseOffsetAt], 8, fragment.baseOffset + shift);
            PutBigEndian(&copy[fragment.decodeTimeAt], fragment.wideDecodeTime ? 8 : 4,
                         fragment.decodeTime + static_cast<uint64_t>(k) * lengths[fragment.track]);
        }
        if (!out.write(at, copy.data(), copy.size()) ||
            !out.write(at + copy.size(), payload.data(), payload.size())) {
            return false;
        }
        at += copy.size() + media.size;
    }
    return ::ftruncate(out.fd, static_cast<off_t>(at)) == 0;
}

std::optional<Error> writeTestMovie(const MovieWriter::Options& options, int pictures,
                                    int firstSlot, bool withSound) {
    Error error;
    auto writer = MovieWriter::open(options, &error);
    if (!writer) {
        return error;
    }
    const int64_t slot = std::llround(60000.0 / options.framesPerSecond);
    const auto soundPerPicture =
        static_cast<int64_t>(std::llround(48000.0 / options.framesPerSecond));
    std::vector<float> tone(static_cast<size_t>(2 * soundPerPicture));
    int64_t played = 0;
    for (int i = 0; i < pictures; ++i) {
        AVFrame* frame = writer->pictureFrame();
        if (frame == nullptr) {
            return Error{"test", -1, "no picture frame"};
        }
        const AVPixFmtDescriptor* format =
            av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
        const bool wide = format->comp[0].depth > 8;
        for (int plane = 0; plane < 4 && frame->data[plane] != nullptr; ++plane) {
            const bool chroma = plane == 1 || plane == 2;
            const int width = chroma ? -((-frame->width) >> format->log2_chroma_w) : frame->width;
            const int height =
                chroma ? -((-frame->height) >> format->log2_chroma_h) : frame->height;
            for (int y = 0; y < height; ++y) {
                uint8_t* row =
                    frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane];
                for (int x = 0; x < width; ++x) {
                    const int value = (x * 3 + y * 5 + i * 7 + plane * 40) & 0xFF;
                    if (wide) {
                        const auto word = static_cast<uint16_t>(plane == 3 ? 1023 : 64 + value * 3);
                        std::memcpy(row + 2 * x, &word, 2);
                    } else {
                        row[x] = static_cast<uint8_t>(16 + value * 7 / 8);
                    }
                }
            }
        }
        if (options.recordsSound && withSound) {
            for (int64_t k = 0; k < soundPerPicture; ++k, ++played) {
                const auto sample = static_cast<float>(
                    0.4 * std::sin(2 * M_PI * 440 * static_cast<double>(played) / 48000.0));
                tone[static_cast<size_t>(2 * k)] = sample;
                tone[static_cast<size_t>(2 * k + 1)] = sample;
            }
            writer->appendSound(tone.data(), soundPerPicture);
        }
        if (!writer->appendPicture(frame, (firstSlot + i) * slot)) {
            break;
        }
    }
    if (!writer->finish((firstSlot + pictures) * slot)) {
        return writer->error().value_or(Error{"test", -1, "finish failed"});
    }
    return std::nullopt;
}

}  // namespace zarvo::test
