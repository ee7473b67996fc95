#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/gpu/Device.h"
#include "platform/gpu/Draw.h"

namespace zarvo::gpu {

class CommandBuffer;
class CommandQueue;
using CommandBufferRef = std::shared_ptr<CommandBuffer>;
using CommandQueueRef = std::shared_ptr<CommandQueue>;

// Drawing work recorded for a command queue: render passes, then a commit that hands them to the
// queue. The work runs later, on the queue's thread; completion handlers then run there too.
//
// Encode and commit from one thread at a time; status() and waitUntilCompleted() may be used
// from any thread.
class CommandBuffer : public std::enable_shared_from_this<CommandBuffer> {
  public:
    enum class Status {
        NotCommitted,  // being encoded
        Committed,     // waiting for or running on the queue
        Completed,     // drawn
        Error,         // nothing drawn: see error()
    };
    using CompletedHandler = std::function<void(CommandBuffer&)>;

    // Records a pass: the target is cleared to `clear`, then the quads are drawn in order. False
    // (and nothing recorded) after commit. A pass without a target, or one that draws a texture
    // sharing the target's pixels, makes the whole buffer fail: it completes with Error and draws
    // nothing.
    bool renderPass(TextureRef target, ClearColor clear, std::vector<DrawQuad> draws);

    // Called on the queue's thread after the work, in the order added. False after commit.
    bool addCompletedHandler(CompletedHandler handler);

    // Hands the buffer to its queue without waiting; buffers run in the order they are committed.
    // False when already committed. When the queue no longer exists the buffer fails at once
    // (Error); its handlers are then never called.
    bool commit();

    // Waits until the work and the completion handlers have run; returns the status. Returns at
    // once for a buffer not committed, and on the queue's own thread (where waiting for a later
    // buffer could never end).
    Status waitUntilCompleted();

    Status status() const;
    // Why the buffer failed; empty otherwise.
    std::string error() const;

  private:
    friend class CommandQueue;
    struct Shared;
    explicit CommandBuffer(std::weak_ptr<Shared> queue) : queue_(std::move(queue)) {}

    // On the queue's thread: draws, then runs the handlers.
    void execute(Renderer& renderer);
    void fail(std::string reason);  // with mutex_ held

    const std::weak_ptr<Shared> queue_;
    mutable std::mutex mutex_;
    std::condition_variable finishedSignal_;
    Status status_ = Status::NotCommitted;    // guarded by mutex_
    std::string error_;                       // guarded by mutex_
    bool finished_ = false;                   // handlers have run; guarded by mutex_
    bool failedEncoding_ = false;             // guarded by mutex_
    std::vector<RenderPass> passes_;          // guarded by mutex_
    std::vector<CompletedHandler> handlers_;  // guarded by mutex_
};

// A queue of command buffers run one after another, in commit order, by one named thread.
// Destroying the queue runs the buffers already committed, then ends the thread.
class CommandQueue {
  public:
    static constexpr const char* kDefaultName = "net.orvak.zarvo.gpu";

    // A queue drawing on the device, or nullptr when there is no device or no thread.
    static CommandQueueRef make(const DeviceRef& device, std::string name = kDefaultName);
    ~CommandQueue();
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    CommandBufferRef commandBuffer();

    const DeviceRef& device() const { return device_; }
    const std::string& name() const { return name_; }
    // True on the queue's thread (in completion handlers, for instance).
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    CommandQueue(DeviceRef device, std::string name);
    static void loop(const std::shared_ptr<CommandBuffer::Shared>& shared, const std::string& name);

    const DeviceRef device_;
    const std::string name_;
    std::shared_ptr<CommandBuffer::Shared> shared_;
    std::thread thread_;
};

}  // namespace zarvo::gpu
