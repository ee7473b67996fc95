#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/framesharing/SyphonServerDescription.h"
#include "platform/gpu/Texture.h"

namespace zarvo {

namespace framesharing {
class FrameSegment;
}

// Publishes frames under a name for clients in any process of the same user. The server is
// announced as soon as it is created and retired when it is stopped or destroyed, or within a
// second after its process dies, however it dies.
//
// Frames are copied into shared memory and stored bottom row first; publishing never waits for
// clients. Thread-safe; frames are published one at a time.
class SyphonServer {
  public:
    struct Options {
        std::string name;     // the server's own name; may be empty
        std::string appName;  // the publishing application; empty for the program's name
    };

    // A running server, or nullptr when it cannot be published (reason logged).
    static std::unique_ptr<SyphonServer> create(Options options);

    ~SyphonServer();
    SyphonServer(const SyphonServer&) = delete;
    SyphonServer& operator=(const SyphonServer&) = delete;

    std::string name() const;
    // Renames the server; clients see the change as an update of its description.
    void setName(std::string name);
    SyphonServerDescription serverDescription() const;

    // Publishes a copy of the texture. flipped says that its rows are already bottom row first.
    // false after stop, or when the frame cannot be stored.
    bool publishFrameTexture(const gpu::Texture& texture, bool flipped = false);
    // The same for bare pixels: width × height BGRA pixels, rows bytesPerRow apart.
    bool publishFrame(const uint8_t* bytes, int64_t width, int64_t height, int64_t bytesPerRow,
                      bool flipped = false);

    // How many frames have been published.
    uint64_t frameCount() const;

    // Retires the server and removes its record and frames. Idempotent.
    void stop();

  private:
    SyphonServer(std::filesystem::path folder, std::string id, int lockFd,
                 std::unique_ptr<framesharing::FrameSegment> segment,
                 SyphonServerDescription description);

    const std::filesystem::path folder_;
    const std::string id_;
    mutable std::mutex mutex_;
    int lockFd_;                                           // guarded by mutex_; -1 once stopped
    std::unique_ptr<framesharing::FrameSegment> segment_;  // guarded by mutex_
    SyphonServerDescription description_;                  // guarded by mutex_
    uint64_t frameCount_ = 0;                              // guarded by mutex_
};

}  // namespace zarvo
