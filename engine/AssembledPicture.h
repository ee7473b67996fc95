#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/Compositor.h"
#include "engine/Layout.h"
#include "engine/RecorderPlace.h"
#include "engine/Take.h"
#include "platform/gpu/CommandQueue.h"

namespace zarvo {

// The recorder's composition of its places into one picture, in two roles: the take's
// assembled movie and the monitor picture the window shows. It decides when a picture is
// composed (paced by the clock place's frames), with which layout, and how often the monitor is
// refreshed, and keeps the latest picture for the display. Monitor pictures are composed only
// while a window shows them: headless, or with the window minimised or hidden, the places'
// frames cost nothing beyond what the take writes.
//
// Frame threads call placeReceivedFrameAtTime on every frame and hold this object strongly (as
// they hold the take), so it never depends on the controller being alive. Its fields are
// guarded by one lock held only to copy them; the order is always this lock, then a place's.
class AssembledPicture : public std::enable_shared_from_this<AssembledPicture> {
  public:
    static constexpr double kMonitorLongestSide = 4096;
    static constexpr double kMonitorInterval = 0.004;
    static constexpr double kLimitedMonitorInterval = 0.1;  // ten pictures a second
    static constexpr double kClockPlaceSilence = 1.0;
    static constexpr double kLongestWait = 0.5;

    // nullptr when the compositors cannot be made.
    static std::shared_ptr<AssembledPicture> make(std::shared_ptr<Take> take,
                                                  gpu::CommandQueueRef queue);

    // The sizes a layout is made from: each place's current frame size, or 0 × 0 (laid out as
    // 1920 × 1080) before it has delivered.
    static std::vector<Size> sizesOf(const std::vector<PlaceRef>& places);
    // The layout the monitor shows for an assembled layout made from kind, sizes and gap: the
    // same layout when its longest side is at most 4096, else one fitted into a picture whose
    // longest side is 4096.
    static Layout monitorLayout(const Layout& layout, int64_t kind, const std::vector<Size>& sizes,
                                int64_t gap);

    // Main thread: the places or the settings that shape the picture changed. Composes the
    // monitor picture at once and waits (at most half a second) for it.
    void compositionChanged(const std::vector<PlaceRef>& places, int64_t kind, int64_t gap,
                            Size fittingSize, bool transparent);

    // The running take's layout, or none.
    std::optional<Layout> takeLayout() const;
    // A take starts (its layout, none for separate movies) or stops (none).
    void setTakeLayout(std::optional<Layout> layout, std::optional<Layout> monitorLayout,
                       bool transparent);

    void composeMonitorAtTime(double time, bool wait);
    bool composePlaces(const std::vector<PlaceRef>& places, const Layout& layout, bool transparent,
                       Compositor& compositor, double time,
                       std::function<void(const gpu::TextureRef&)> then);
    void showPicture(const gpu::TextureRef& texture);
    // The latest composed picture, or none. Any thread.
    gpu::TextureRef assembledFrame() const;

    // Source threads: a place received a frame at the time.
    void placeReceivedFrameAtTime(const PlaceRef& place, double time);

    // The refresh makes the first online place the clock place.
    void setClockPlace(const PlaceRef& place);
    PlaceRef clockPlace() const;
    double lastComposeTime() const;
    void setDisplayLimited(bool limited);
    // Whether a window shows the monitor picture now (false until told). Being shown composes a
    // picture at once; being hidden lets go of the last one.
    void setMonitorShown(bool shown);
    bool monitorShown() const;
    // Forgets the places and the picture, so that nothing of them is kept alive from here.
    void clear();

  private:
    AssembledPicture(std::shared_ptr<Take> take, std::unique_ptr<Compositor> takeCompositor,
                     std::unique_ptr<Compositor> monitorCompositor)
        : take_(std::move(take)),
          takeCompositor_(std::move(takeCompositor)),
          monitorCompositor_(std::move(monitorCompositor)) {}

    const std::shared_ptr<Take> take_;
    const std::unique_ptr<Compositor> takeCompositor_;
    const std::unique_ptr<Compositor> monitorCompositor_;

    mutable std::mutex lock_;
    std::vector<PlaceRef> composePlaces_;      // guarded by lock_
    int64_t composeKind_ = 0;                  // guarded by lock_
    int64_t composeGap_ = 0;                   // guarded by lock_
    Size composeFittingSize_;                  // guarded by lock_
    bool composeTransparent_ = false;          // guarded by lock_
    std::optional<Layout> takeLayout_;         // guarded by lock_
    std::optional<Layout> takeMonitorLayout_;  // guarded by lock_
    bool takeTransparent_ = false;             // guarded by lock_
    PlaceRef clockPlace_;                      // guarded by lock_
    double lastComposeTime_ = 0;               // guarded by lock_
    gpu::TextureRef assembledFrame_;           // guarded by lock_
    bool displayLimited_ = false;              // guarded by lock_
    bool monitorShown_ = false;                // guarded by lock_
};

}  // namespace zarvo
