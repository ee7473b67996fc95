#include "platform/gpu/CommandQueue.h"

#include <deque>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/Log.h"
#include "platform/Thread.h"

namespace zarvo::gpu {

// What a queue shares with its thread and, weakly, with its buffers: buffers committed and not
// yet taken by the thread. Lives as long as the thread.
struct CommandBuffer::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<CommandBufferRef> buffers;  // guarded by mutex
    bool closing = false;                  // guarded by mutex
};

namespace {
// The queue whose thread this is, if any.
thread_local const void* tRunningQueue = nullptr;
}  // namespace

// ---- CommandBuffer ----

bool CommandBuffer::renderPass(TextureRef target, ClearColor clear, std::vector<DrawQuad> draws) {
    std::lock_guard lock(mutex_);
    if (status_ != Status::NotCommitted) {
        logLine("A render pass was refused: its command buffer is already committed.");
        return false;
    }
    std::string problem;
    if (!target) {
        problem = "A render pass has no target.";
    } else {
        for (const DrawQuad& q : draws) {
            if (q.texture && q.texture->sharesPixelsWith(*target)) {
                problem = "A render pass draws a texture into itself.";
                break;
            }
        }
    }
    if (!problem.empty()) {
        failedEncoding_ = true;
        if (error_.empty()) {
            error_ = problem;
        }
        logLine(problem);
        return false;
    }
    passes_.push_back({std::move(target), clear, std::move(draws)});
    return true;
}

bool CommandBuffer::addCompletedHandler(CompletedHandler handler) {
    std::lock_guard lock(mutex_);
    if (status_ != Status::NotCommitted) {
        logLine("A completion handler was refused: its command buffer is already committed.");
        return false;
    }
    handlers_.push_back(std::move(handler));
    return true;
}

bool CommandBuffer::commit() {
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::NotCommitted) {
            logLine("A command buffer was committed twice; the second commit was refused.");
            return false;
        }
        status_ = Status::Committed;
    }
    if (const auto queue = queue_.lock()) {
        std::lock_guard lock(queue->mutex);
        if (!queue->closing) {
            queue->buffers.push_back(shared_from_this());
            queue->wake.notify_one();
            return true;
        }
    }
    // Nothing will run the buffer. Its handlers are dropped unrun: calling them here, inside
    // the caller's commit, could re-enter locks the caller holds.
    std::vector<RenderPass> passes;
    std::vector<CompletedHandler> handlers;
    {
        std::lock_guard lock(mutex_);
        fail("The command queue no longer exists.");
        finished_ = true;
        passes.swap(passes_);
        handlers.swap(handlers_);
    }
    finishedSignal_.notify_all();
    logLine(error());
    return false;
}

CommandBuffer::Status CommandBuffer::waitUntilCompleted() {
    std::unique_lock lock(mutex_);
    if (finished_ || status_ == Status::NotCommitted) {
        return status_;
    }
    if (tRunningQueue != nullptr && tRunningQueue == queue_.lock().get()) {
        logLine("A command buffer was waited for on its own queue's thread; not waiting.");
        return status_;
    }
    finishedSignal_.wait(lock, [&] { return finished_; });
    return status_;
}

CommandBuffer::Status CommandBuffer::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::string CommandBuffer::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void CommandBuffer::fail(std::string reason) {
    status_ = Status::Error;
    if (error_.empty()) {
        error_ = std::move(reason);
    }
}

void CommandBuffer::execute(Renderer& renderer) {
    std::vector<RenderPass> passes;
    bool failed = false;
    {
        std::lock_guard lock(mutex_);
        passes.swap(passes_);
        failed = failedEncoding_;
    }
    std::string problem;
    if (!failed) {
        try {
            for (const RenderPass& pass : passes) {
                renderer.render(pass);
            }
        } catch (const std::exception& e) {
            problem = std::string("Drawing failed: ") + e.what();
            logLine(problem);
        }
    }
    passes.clear();  // the textures are released before anyone hears of completion

    std::vector<CompletedHandler> handlers;
    {
        std::lock_guard lock(mutex_);
        if (failed || !problem.empty()) {
            fail(problem);
        } else {
            status_ = Status::Completed;
        }
        handlers.swap(handlers_);
    }
    for (CompletedHandler& handler : handlers) {
        try {
            handler(*this);
        } catch (const std::exception& e) {
            logLine(std::string("A command buffer's completion handler failed: ") + e.what());
        }
    }
    handlers.clear();  // may hold the last references to this buffer's users
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    finishedSignal_.notify_all();
}

// ---- CommandQueue ----

CommandQueueRef CommandQueue::make(const DeviceRef& device, std::string name) {
    if (!device) {
        return nullptr;
    }
    try {
        return CommandQueueRef(new CommandQueue(device, std::move(name)));
    } catch (const std::system_error& e) {
        logLine(std::string("A command queue could not start its thread: ") + e.what());
        return nullptr;
    }
}

CommandQueue::CommandQueue(DeviceRef device, std::string name)
    : device_(std::move(device)),
      name_(std::move(name)),
      shared_(std::make_shared<CommandBuffer::Shared>()) {
    thread_ = std::thread([shared = shared_, name = name_] { loop(shared, name); });
}

CommandQueue::~CommandQueue() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closing = true;
    }
    shared_->wake.notify_one();
    if (isCurrent()) {
        // Released from a completion handler: the thread cannot join itself, so it runs the
        // buffers still committed and ends on its own.
        thread_.detach();
    } else {
        thread_.join();
    }
}

CommandBufferRef CommandQueue::commandBuffer() {
    return CommandBufferRef(new CommandBuffer(shared_));
}

void CommandQueue::loop(const std::shared_ptr<CommandBuffer::Shared>& shared,
                        const std::string& name) {
    setCurrentThreadName(name);
    tRunningQueue = shared.get();
    Renderer renderer;  // its tables and helper thread belong to this thread
    for (;;) {
        CommandBufferRef buffer;
        {
            std::unique_lock lock(shared->mutex);
            shared->wake.wait(lock, [&] { return shared->closing || !shared->buffers.empty(); });
            if (shared->buffers.empty()) {
                return;
            }
            buffer = std::move(shared->buffers.front());
            shared->buffers.pop_front();
        }
        buffer->execute(renderer);
    }
}

}  // namespace zarvo::gpu
