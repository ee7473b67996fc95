#include "engine/AssembledPicture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>

#include "platform/HostClock.h"

namespace zarvo {

std::shared_ptr<AssembledPicture> AssembledPicture::make(std::shared_ptr<Take> take,
                                                         gpu::CommandQueueRef queue) {
    // The assembled movie holds its pictures while they wait for the encoder, as many as its
    // deepest queue, while one more is composed.
    auto takeCompositor = Compositor::make(queue, MovieRecorder::kMaxFramesInFlightAtStart + 1);
    auto monitorCompositor = Compositor::make(queue);
    if (!takeCompositor || !monitorCompositor) {
        return nullptr;
    }
    return std::shared_ptr<AssembledPicture>(new AssembledPicture(
        std::move(take), std::move(takeCompositor), std::move(monitorCompositor)));
}

std::vector<Size> AssembledPicture::sizesOf(const std::vector<PlaceRef>& places) {
    std::vector<Size> sizes;
    sizes.reserve(places.size());
    for (const auto& place : places) {
        const int64_t w = place->width();
        const int64_t h = place->height();
        sizes.push_back(w >= 1 && h >= 1 ? Size{static_cast<double>(w), static_cast<double>(h)}
                                         : Size{});
    }
    return sizes;
}

Layout AssembledPicture::monitorLayout(const Layout& layout, int64_t kind,
                                       const std::vector<Size>& sizes, int64_t gap) {
    const Size size = layout.size();
    const double longest = std::max(size.width, size.height);
    if (longest <= kMonitorLongestSide) {
        return layout;
    }
    const double scale = kMonitorLongestSide / longest;
    const auto even = [scale](double v) { return std::max(2.0, 2 * std::round(v * scale / 2)); };
    return Layout(kind, sizes, gap, Size{even(size.width), even(size.height)});
}

void AssembledPicture::compositionChanged(const std::vector<PlaceRef>& places, int64_t kind,
                                          int64_t gap, Size fittingSize, bool transparent) {
    {
        std::lock_guard lock(lock_);
        composePlaces_ = places;
        composeKind_ = kind;
        composeGap_ = gap;
        composeFittingSize_ = fittingSize;
        composeTransparent_ = transparent;
        if (clockPlace_ && std::find(places.begin(), places.end(), clockPlace_) == places.end()) {
            clockPlace_.reset();
        }
    }
    composeMonitorAtTime(hostTime(), true);
}

std::optional<Layout> AssembledPicture::takeLayout() const {
    std::lock_guard lock(lock_);
    return takeLayout_;
}

void AssembledPicture::setTakeLayout(std::optional<Layout> layout,
                                     std::optional<Layout> monitorLayout, bool transparent) {
    std::lock_guard lock(lock_);
    takeLayout_ = std::move(layout);
    takeMonitorLayout_ = std::move(monitorLayout);
    takeTransparent_ = transparent;
}

void AssembledPicture::composeMonitorAtTime(double time, bool wait) {
    std::vector<PlaceRef> places;
    std::optional<Layout> layout;
    int64_t kind = 0;
    int64_t gap = 0;
    Size fitting;
    bool transparent = false;
    {
        std::lock_guard lock(lock_);
        if (!monitorShown_) {
            return;
        }
        places = composePlaces_;
        layout = takeMonitorLayout_;
        kind = composeKind_;
        gap = composeGap_;
        fitting = composeFittingSize_;
        transparent = takeMonitorLayout_ ? takeTransparent_ : composeTransparent_;
    }
    if (!layout) {
        const auto sizes = sizesOf(places);
        layout = monitorLayout(Layout(kind, sizes, gap, fitting), kind, sizes, gap);
    }
    struct Signal {
        std::mutex mutex;
        std::condition_variable done;
        bool signalled = false;
    };
    auto signal = wait ? std::make_shared<Signal>() : nullptr;
    const bool submitted = composePlaces(places, *layout, transparent, *monitorCompositor_, time,
                                         [signal](const gpu::TextureRef&) {
                                             if (signal) {
                                                 std::lock_guard lock(signal->mutex);
                                                 signal->signalled = true;
                                                 signal->done.notify_all();
                                             }
                                         });
    if (wait && submitted) {
        std::unique_lock lock(signal->mutex);
        signal->done.wait_for(lock, std::chrono::duration<double>(kLongestWait),
                              [&] { return signal->signalled; });
    }
}

bool AssembledPicture::composePlaces(const std::vector<PlaceRef>& places, const Layout& layout,
                                     bool transparent, Compositor& compositor, double time,
                                     std::function<void(const gpu::TextureRef&)> then) {
    std::vector<gpu::TextureRef> textures;
    std::vector<bool> flipped;
    textures.reserve(places.size());
    for (const auto& place : places) {
        // A place that let go of its source has dropped its latest frame too, so the frame
        // alone tells whether there is a picture (the source itself belongs to the main thread).
        const auto state = place->frameState();
        textures.push_back(state.latestFrame);
        flipped.push_back(state.flipped);
    }
    {
        std::lock_guard lock(lock_);
        lastComposeTime_ = time;
    }
    if (!places.empty()) {
        std::weak_ptr<AssembledPicture> weakSelf = weak_from_this();
        const auto target =
            compositor.compose(layout, textures, flipped, transparent,
                               [weakSelf, then = std::move(then)](const gpu::TextureRef& texture) {
                                   if (auto self = weakSelf.lock()) {
                                       self->showPicture(texture);
                                   }
                                   if (then) {
                                       then(texture);
                                   }
                               });
        if (target) {
            return true;
        }
    }
    showPicture(nullptr);
    return false;
}

void AssembledPicture::showPicture(const gpu::TextureRef& texture) {
    gpu::TextureRef previous;
    std::lock_guard lock(lock_);
    previous = std::move(assembledFrame_);
    assembledFrame_ = texture;
}

gpu::TextureRef AssembledPicture::assembledFrame() const {
    std::lock_guard lock(lock_);
    return assembledFrame_;
}

void AssembledPicture::placeReceivedFrameAtTime(const PlaceRef& place, double time) {
    bool isClock = false;
    std::vector<PlaceRef> places;
    std::optional<Layout> layout;
    bool transparent = false;
    double last = 0;
    double interval = 0;
    bool shown = false;
    {
        std::lock_guard lock(lock_);
        if (std::find(composePlaces_.begin(), composePlaces_.end(), place) ==
            composePlaces_.end()) {
            return;
        }
        if (clockPlace_ != place &&
            (!clockPlace_ || clockPlace_->lastFrameTime() < time - kClockPlaceSilence)) {
            clockPlace_ = place;
        }
        isClock = clockPlace_ == place;
        if (isClock) {
            places = composePlaces_;
            layout = takeLayout_;
            transparent = takeTransparent_;
        }
        last = lastComposeTime_;
        interval = displayLimited_ ? kLimitedMonitorInterval : kMonitorInterval;
        shown = monitorShown_;
    }
    if (!isClock) {
        return;
    }
    if (layout && take_->wantsAssembledFrameAtTime(time)) {
        std::weak_ptr<Take> weakTake = take_;
        composePlaces(places, *layout, transparent, *takeCompositor_, time,
                      [weakTake, time](const gpu::TextureRef& texture) {
                          if (auto take = weakTake.lock(); take && texture) {
                              take->appendAssembledTexture(texture, time);
                          }
                      });
    } else if (shown && time - last >= interval) {
        composeMonitorAtTime(time, false);
    }
}

void AssembledPicture::setClockPlace(const PlaceRef& place) {
    std::lock_guard lock(lock_);
    clockPlace_ = place;
}

PlaceRef AssembledPicture::clockPlace() const {
    std::lock_guard lock(lock_);
    return clockPlace_;
}

double AssembledPicture::lastComposeTime() const {
    std::lock_guard lock(lock_);
    return lastComposeTime_;
}

void AssembledPicture::setDisplayLimited(bool limited) {
    std::lock_guard lock(lock_);
    displayLimited_ = limited;
}

void AssembledPicture::setMonitorShown(bool shown) {
    {
        std::lock_guard lock(lock_);
        if (monitorShown_ == shown) {
            return;
        }
        monitorShown_ = shown;
    }
    if (shown) {
        composeMonitorAtTime(hostTime(), false);
    } else {
        showPicture(nullptr);
    }
}

bool AssembledPicture::monitorShown() const {
    std::lock_guard lock(lock_);
    return monitorShown_;
}

void AssembledPicture::clear() {
    std::vector<PlaceRef> places;
    gpu::TextureRef frame;
    std::lock_guard lock(lock_);
    places.swap(composePlaces_);
    clockPlace_.reset();
    frame = std::move(assembledFrame_);
}

}  // namespace zarvo
