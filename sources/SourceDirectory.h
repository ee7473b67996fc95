#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpu/Device.h"
#include "platform/gpu/Texture.h"

namespace zarvo {

class SourceSound;

// Which directory a source belongs to.
enum class FrameSourceKind : int64_t {
    Syphon = 0,
    NDI = 1,
};

// One source that can be chosen right now.
struct SourceDescription {
    SourceDescription(std::string title_, std::string detail_, FrameSourceKind kind_)
        : title(std::move(title_)), detail(std::move(detail_)), kind(kind_) {}

    std::string title;   // what the source is chosen and connected by
    std::string detail;  // a second line for display: the publishing application, or "NDI"
    FrameSourceKind kind;

    friend bool operator==(const SourceDescription&, const SourceDescription&) = default;
};

using ChangeHandler = std::function<void()>;
using FrameHandler = std::function<void(const gpu::TextureRef& texture)>;
// Told of a new frame whose picture was not fetched: the picture's size.
using FrameNoticeHandler = std::function<void(int64_t width, int64_t height)>;
using SoundHandler = std::function<void(const std::shared_ptr<const SourceSound>& sound)>;

// A connected source. Frames and sound are delivered on the source's own thread, never the main
// thread, one call at a time. The texture handed to the frame handler belongs to the source,
// which may reuse it after twelve further frames: a consumer finishes with it before then.
class FrameSource {
  public:
    virtual ~FrameSource() = default;

    // Ends the connection; may be called at any time from the main thread, also twice.
    virtual void stop() = 0;
    // The title the source was connected by.
    virtual std::string title() const = 0;
    // Whether the textures are stored upside down and must be turned upright when drawn.
    virtual bool flipped() const = 0;
    virtual FrameSourceKind kind() const = 0;
    virtual FrameHandler frameHandler() const = 0;
    virtual void setFrameHandler(FrameHandler handler) = 0;
    virtual SoundHandler soundHandler() const = 0;
    virtual void setSoundHandler(SoundHandler handler) = 0;
    // Whether the frame handler is to be handed pictures (at first it is). While it is not, a
    // source that can learn of a new frame without fetching its pixels tells the notice handler
    // instead, on the same thread, and fetches nothing; one that cannot goes on handing
    // pictures to the frame handler. Main thread.
    virtual void setPicturesWanted(bool /*wanted*/) {}
    virtual void setFrameNoticeHandler(FrameNoticeHandler /*handler*/) {}
    // Whether sound is being delivered now. Polled from the main thread; answers at once.
    virtual bool hasSound() const = 0;
    // Whether the connection still stands. Polled from the main thread; answers at once.
    virtual bool isAlive() const = 0;
};

// Lists the sources available now and connects to one by its title.
//
// availableSources is called on the main thread, often, and answers from state already held:
// it never waits on the network. The change handler is called on the main thread after the list
// has changed. connectToSourceWithTitle is called on the main thread and returns a running
// source (frames start once a frame handler is set), or nullptr when it cannot be reached.
class SourceDirectory {
  public:
    virtual ~SourceDirectory() = default;

    virtual std::vector<SourceDescription> availableSources() = 0;
    virtual std::shared_ptr<FrameSource> connectToSourceWithTitle(const std::string& title,
                                                                  const gpu::DeviceRef& device) = 0;
    virtual ChangeHandler changeHandler() const = 0;
    virtual void setChangeHandler(ChangeHandler handler) = 0;
};

// A source of sound alone: the computer's sound.
class SoundSource {
  public:
    virtual ~SoundSource() = default;

    // true when capture runs, also when it already ran.
    virtual bool start() = 0;
    virtual void stop() = 0;
    virtual SoundHandler soundHandler() const = 0;
    virtual void setSoundHandler(SoundHandler handler) = 0;
};

}  // namespace zarvo
