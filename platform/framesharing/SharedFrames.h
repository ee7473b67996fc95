#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/gpu/Texture.h"

// One server's frames in POSIX shared memory. The segment starts with a header page; after it
// comes a ring of slots, each holding one whole frame, bottom row first, 4 bytes a pixel (BGRA),
// rows packed. Frames are numbered from 1. The publisher writes frame n into slot n % count and
// never waits for anyone: a reader checks a slot's sequence number before and after copying it
// (a sequence lock), and drops the copy when the publisher came round to that slot meanwhile.
// Frames of a new size may need larger slots: the publisher then grows the segment, lays the
// ring out again and invalidates every slot, which readers notice by the layout number.
namespace zarvo::framesharing {

inline constexpr uint32_t kSegmentMagic = 0x5a535946;  // "ZSYF"
inline constexpr uint32_t kSegmentVersion = 1;
inline constexpr size_t kHeaderBytes = 4096;
inline constexpr uint32_t kMaxSlots = 32;
inline constexpr uint32_t kMinSlots = 3;
// Small frames get more slots, up to this many bytes of ring, so that a reader that falls
// behind for a moment still finds every frame.
inline constexpr size_t kRingBudget = size_t{32} << 20;

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

struct alignas(64) SlotHeader {
    std::atomic<uint64_t> sequence;  // odd while the publisher writes the slot
    std::atomic<uint64_t> frame;     // the frame held, 0 for none
    std::atomic<uint64_t> offset;    // where its pixels start in the segment
    std::atomic<uint32_t> width;
    std::atomic<uint32_t> height;
};

struct SegmentHeader {
    std::atomic<uint32_t> magic;  // written last, once the header is ready
    std::atomic<uint32_t> version;
    std::atomic<uint64_t> layout;      // changes whenever the ring is laid out again
    std::atomic<uint64_t> slotStride;  // bytes between slots
    std::atomic<uint32_t> slotCount;   // 0 until the first frame
    std::atomic<uint32_t> wake;        // futex word, advanced by every frame
    std::atomic<uint64_t> latest;      // the newest complete frame, 0 for none
    SlotHeader slots[kMaxSlots];
};
static_assert(sizeof(SegmentHeader) <= kHeaderBytes);

class FrameSegment {
  public:
    // Makes a new segment of that name for a publisher; nullptr when it cannot be made.
    static std::unique_ptr<FrameSegment> create(const std::string& name);
    // Maps an existing segment for reading; nullptr when there is none, or not one of ours.
    static std::unique_ptr<FrameSegment> open(const std::string& name);

    ~FrameSegment();
    FrameSegment(const FrameSegment&) = delete;
    FrameSegment& operator=(const FrameSegment&) = delete;

    // Publisher, one call at a time: stores a frame and wakes every waiting reader. The rows
    // are given top row first unless bottomRowFirst. Returns the frame's number, or 0 when the
    // frame cannot be stored (bad size, or no memory for a larger ring).
    uint64_t publish(const uint8_t* bytes, int64_t width, int64_t height, int64_t bytesPerRow,
                     bool bottomRowFirst);

    // The newest complete frame, 0 before the first.
    uint64_t latestFrame() const { return header_->latest.load(std::memory_order_acquire); }
    // How many frames the ring holds now (0 before the first).
    uint32_t slotCount() const { return header_->slotCount.load(std::memory_order_acquire); }

    // The wake counter: read it, look for frames, then wait with what was read, so that a frame
    // published in between is not slept through.
    uint32_t wakeCount() const { return header_->wake.load(std::memory_order_acquire); }
    // Returns when the counter differs from seen, when woken, or after the time-out.
    void waitForWake(uint32_t seen, double timeoutSeconds) const;
    // Wakes every reader waiting on this segment, in any process.
    void wakeAll() const;

    // Reader: the size of frame number `frame`, without copying it; nothing when the frame is
    // not in the ring.
    struct Size {
        int64_t width = 0;
        int64_t height = 0;
    };
    std::optional<Size> frameSize(uint64_t frame) const;

    using TextureMaker = std::function<gpu::TextureRef(int64_t width, int64_t height)>;
    // Reader, one call at a time: copies frame number `frame`, bottom row first as stored, into
    // a texture from makeTexture. nullptr when the frame is not in the ring (not yet published,
    // or overwritten before or while it was copied).
    gpu::TextureRef copyFrame(uint64_t frame, const TextureMaker& makeTexture);

  private:
    FrameSegment(int fd, SegmentHeader* header, bool writable)
        : fd_(fd), header_(header), writable_(writable) {}
    bool mapData(size_t size);
    bool layOut(size_t frameBytes);

    int fd_;
    SegmentHeader* header_;    // the header page, mapped on its own so it never moves
    uint8_t* data_ = nullptr;  // the whole segment, mapped again when it grows
    size_t dataSize_ = 0;
    const bool writable_;
};

}  // namespace zarvo::framesharing
