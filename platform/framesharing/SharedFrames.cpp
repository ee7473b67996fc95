#include "platform/framesharing/SharedFrames.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>

namespace zarvo::framesharing {

namespace {

constexpr size_t kPageBytes = 4096;

size_t roundUpToPage(size_t bytes) {
    return (bytes + kPageBytes - 1) / kPageBytes * kPageBytes;
}

uint32_t* FutexWord(std::atomic<uint32_t>& word) {
    return reinterpret_cast<uint32_t*>(&word);
}

// The segment's current size, 0 when it cannot be told.
size_t segmentSize(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size < 0) {
        return 0;
    }
    return static_cast<size_t>(info.st_size);
}

}  // namespace

std::unique_ptr<FrameSegment> FrameSegment::create(const std::string& name) {
    const int fd = ::shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    void* header = MAP_FAILED;
    if (::ftruncate(fd, static_cast<off_t>(kHeaderBytes)) == 0) {
        header = ::mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (header == MAP_FAILED) {
        ::close(fd);
        ::shm_unlink(name.c_str());
        return nullptr;
    }
    auto* fields = new (header) SegmentHeader{};
    fields->version.store(kSegmentVersion, std::memory_order_relaxed);
    fields->magic.store(kSegmentMagic, std::memory_order_release);
    return std::unique_ptr<FrameSegment>(new FrameSegment(fd, fields, true));
}

std::unique_ptr<FrameSegment> FrameSegment::open(const std::string& name) {
    const int fd = ::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    void* header = MAP_FAILED;
    if (segmentSize(fd) >= kHeaderBytes) {
        header = ::mmap(nullptr, kHeaderBytes, PROT_READ, MAP_SHARED, fd, 0);
    }
    if (header == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    auto* fields = static_cast<SegmentHeader*>(header);
    if (fields->magic.load(std::memory_order_acquire) != kSegmentMagic ||
        fields->version.load(std::memory_order_relaxed) != kSegmentVersion) {
        ::munmap(header, kHeaderBytes);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FrameSegment>(new FrameSegment(fd, fields, false));
}

FrameSegment::~FrameSegment() {
    if (data_ != nullptr) {
        ::munmap(data_, dataSize_);
    }
    ::munmap(header_, kHeaderBytes);
    ::close(fd_);
}

bool FrameSegment::mapData(size_t size) {
    if (data_ != nullptr && dataSize_ >= size) {
        return true;
    }
    void* mapped = MAP_FAILED;
    if (data_ != nullptr && writable_) {
        mapped = ::mremap(data_, dataSize_, size, MREMAP_MAYMOVE);
    } else {
        mapped = ::mmap(nullptr, size, writable_ ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                        fd_, 0);
        if (mapped != MAP_FAILED && data_ != nullptr) {
            ::munmap(data_, dataSize_);
        }
    }
    if (mapped == MAP_FAILED) {
        return false;
    }
    data_ = static_cast<uint8_t*>(mapped);
    dataSize_ = size;
    return true;
}

bool FrameSegment::layOut(size_t frameBytes) {
    const size_t stride = roundUpToPage(frameBytes);
    const auto count =
        static_cast<uint32_t>(std::clamp<size_t>(kRingBudget / stride, kMinSlots, kMaxSlots));
    // The segment never shrinks: readers may still have its far end mapped.
    const size_t size = std::max(kHeaderBytes + stride * count, segmentSize(fd_));
    // The memory is reserved now, so that a full /dev/shm refuses the frame here instead of
    // faulting the publisher when it writes into pages that cannot be had.
    if (::posix_fallocate(fd_, 0, static_cast<off_t>(size)) != 0) {
        return false;
    }
    if (!mapData(size)) {
        return false;
    }
    // Readers that copied from the old layout see the layout number change; every slot is
    // emptied so that none is taken for a frame that the new layout may have overwritten.
    header_->layout.fetch_add(1, std::memory_order_seq_cst);
    for (SlotHeader& slot : header_->slots) {
        const uint64_t sequence = slot.sequence.load(std::memory_order_relaxed);
        slot.sequence.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        slot.frame.store(0, std::memory_order_relaxed);
        slot.sequence.store(sequence + 2, std::memory_order_release);
    }
    header_->slotStride.store(stride, std::memory_order_relaxed);
    header_->slotCount.store(count, std::memory_order_release);
    return true;
}

uint64_t FrameSegment::publish(const uint8_t* bytes, int64_t width, int64_t height,
                               int64_t bytesPerRow, bool bottomRowFirst) {
    if (!writable_ || bytes == nullptr || width < 1 || height < 1 ||
        width > gpu::Texture::kMaxDimension || height > gpu::Texture::kMaxDimension ||
        bytesPerRow < width * 4) {
        return 0;
    }
    const auto rowBytes = static_cast<size_t>(width) * 4;
    const size_t frameBytes = rowBytes * static_cast<size_t>(height);
    if (header_->slotCount.load(std::memory_order_relaxed) == 0 ||
        frameBytes > header_->slotStride.load(std::memory_order_relaxed)) {
        if (!layOut(frameBytes)) {
            return 0;
        }
    }
    const uint64_t frame = header_->latest.load(std::memory_order_relaxed) + 1;
    const uint32_t count = header_->slotCount.load(std::memory_order_relaxed);
    const uint32_t index = static_cast<uint32_t>(frame % count);
    SlotHeader& slot = header_->slots[index];
    const size_t offset =
        kHeaderBytes + index * header_->slotStride.load(std::memory_order_relaxed);

    const uint64_t sequence = slot.sequence.load(std::memory_order_relaxed);
    slot.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    uint8_t* target = data_ + offset;
    if (bottomRowFirst && static_cast<size_t>(bytesPerRow) == rowBytes) {
        std::memcpy(target, bytes, frameBytes);
    } else {
        for (int64_t y = 0; y < height; ++y) {
            const int64_t sourceRow = bottomRowFirst ? y : height - 1 - y;
            std::memcpy(target + static_cast<size_t>(y) * rowBytes, bytes + sourceRow * bytesPerRow,
                        rowBytes);
        }
    }
    slot.frame.store(frame, std::memory_order_relaxed);
    slot.offset.store(offset, std::memory_order_relaxed);
    slot.width.store(static_cast<uint32_t>(width), std::memory_order_relaxed);
    slot.height.store(static_cast<uint32_t>(height), std::memory_order_relaxed);
    slot.sequence.store(sequence + 2, std::memory_order_release);

    header_->latest.store(frame, std::memory_order_release);
    header_->wake.fetch_add(1, std::memory_order_release);
    wakeAll();
    return frame;
}

void FrameSegment::waitForWake(uint32_t seen, double timeoutSeconds) const {
    const double whole = std::floor(timeoutSeconds);
    timespec timeout{static_cast<time_t>(whole), static_cast<long>((timeoutSeconds - whole) * 1e9)};
    // Returns at once when the word has moved on; EINTR and spurious wakes are the caller's
    // loop's business.
    ::syscall(SYS_futex, FutexWord(header_->wake), FUTEX_WAIT, seen, &timeout, nullptr, 0);
}

void FrameSegment::wakeAll() const {
    ::syscall(SYS_futex, FutexWord(header_->wake), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

std::optional<FrameSegment::Size> FrameSegment::frameSize(uint64_t frame) const {
    const uint32_t count = header_->slotCount.load(std::memory_order_acquire);
    if (frame == 0 || count == 0 || count > kMaxSlots ||
        frame > header_->latest.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    const SlotHeader& slot = header_->slots[frame % count];
    const uint64_t sequence = slot.sequence.load(std::memory_order_acquire);
    if (sequence % 2 != 0 || slot.frame.load(std::memory_order_relaxed) != frame) {
        return std::nullopt;
    }
    const Size size{slot.width.load(std::memory_order_relaxed),
                    slot.height.load(std::memory_order_relaxed)};
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.sequence.load(std::memory_order_relaxed) != sequence || size.width < 1 ||
        size.height < 1) {
        return std::nullopt;
    }
    return size;
}

gpu::TextureRef FrameSegment::copyFrame(uint64_t frame, const TextureMaker& makeTexture) {
    const uint64_t layout = header_->layout.load(std::memory_order_acquire);
    const uint32_t count = header_->slotCount.load(std::memory_order_acquire);
    if (frame == 0 || count == 0 || count > kMaxSlots ||
        frame > header_->latest.load(std::memory_order_acquire)) {
        return nullptr;
    }
    const SlotHeader& slot = header_->slots[frame % count];
    const uint64_t sequence = slot.sequence.load(std::memory_order_acquire);
    if (sequence % 2 != 0 || slot.frame.load(std::memory_order_relaxed) != frame) {
        return nullptr;
    }
    const uint64_t offset = slot.offset.load(std::memory_order_relaxed);
    const int64_t width = slot.width.load(std::memory_order_relaxed);
    const int64_t height = slot.height.load(std::memory_order_relaxed);
    if (width < 1 || height < 1 || width > gpu::Texture::kMaxDimension ||
        height > gpu::Texture::kMaxDimension || offset < kHeaderBytes ||
        offset > (uint64_t{1} << 48)) {
        return nullptr;
    }
    const auto rowBytes = static_cast<size_t>(width) * 4;
    const size_t end = offset + rowBytes * static_cast<size_t>(height);
    if (end > dataSize_) {
        // The ring grew since it was mapped here.
        const size_t size = segmentSize(fd_);
        if (end > size || !mapData(size)) {
            return nullptr;
        }
    }
    gpu::TextureRef texture = makeTexture(width, height);
    if (!texture) {
        return nullptr;
    }
    const uint8_t* source = data_ + offset;
    for (int64_t y = 0; y < height; ++y) {
        std::memcpy(texture->row(y), source + static_cast<size_t>(y) * rowBytes, rowBytes);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.sequence.load(std::memory_order_relaxed) != sequence ||
        header_->layout.load(std::memory_order_relaxed) != layout) {
        return nullptr;
    }
    return texture;
}

}  // namespace zarvo::framesharing
