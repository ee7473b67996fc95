#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sources/SourceDirectory.h"
#include "sources/SourceSound.h"

namespace zarvo::test {

// An in-process source that honours the frame-source contract: the test decides when it is
// alive and pushes frames and sound, normally from a thread of its own.
class FakeFrameSource final : public FrameSource {
  public:
    FakeFrameSource(std::string title, FrameSourceKind kind, bool flipped)
        : title_(std::move(title)), kind_(kind), flipped_(flipped) {}

    void stop() override;
    std::string title() const override { return title_; }
    bool flipped() const override { return flipped_; }
    FrameSourceKind kind() const override { return kind_; }
    FrameHandler frameHandler() const override;
    void setFrameHandler(FrameHandler handler) override;
    SoundHandler soundHandler() const override;
    void setSoundHandler(SoundHandler handler) override;
    bool hasSound() const override { return hasSound_; }
    bool isAlive() const override { return alive_ && !stopped_; }

    // Hands a frame or a sound to the current handler, unless stopped; returns whether it was
    // delivered. Callers play the source's thread.
    bool deliverFrame(const gpu::TextureRef& texture);
    bool deliverSound(const std::shared_ptr<const SourceSound>& sound);

    void setAlive(bool alive) { alive_ = alive; }
    bool stopped() const { return stopped_; }
    int stopCount() const { return stopCount_; }

  private:
    const std::string title_;
    const FrameSourceKind kind_;
    const bool flipped_;
    mutable std::mutex mutex_;
    FrameHandler frameHandler_;  // guarded by mutex_
    SoundHandler soundHandler_;  // guarded by mutex_
    std::atomic<bool> alive_{true};
    std::atomic<bool> hasSound_{false};
    std::atomic<bool> stopped_{false};
    std::atomic<int> stopCount_{0};
};

// A directory whose list the test sets. It remembers every source it connected and every
// connection it was asked for.
class FakeDirectory final : public SourceDirectory {
  public:
    explicit FakeDirectory(FrameSourceKind kind = FrameSourceKind::Syphon) : kind_(kind) {}

    // Replaces the list (titles with the given detail) and, when fire is true, calls the change
    // handler as a directory does after its list changed.
    void setTitles(const std::vector<std::string>& titles, bool fire = true);
    // Titles whose connection fails although they are listed.
    void setUnreachable(const std::vector<std::string>& titles);

    std::vector<SourceDescription> availableSources() override;
    std::shared_ptr<FrameSource> connectToSourceWithTitle(const std::string& title,
                                                          const gpu::DeviceRef& device) override;
    ChangeHandler changeHandler() const override;
    void setChangeHandler(ChangeHandler handler) override;

    // The titles it was asked to connect, in order.
    std::vector<std::string> connectRequests() const;
    // The last source connected for that title, or nullptr.
    std::shared_ptr<FakeFrameSource> lastSource(const std::string& title) const;
    int listCalls() const { return listCalls_; }

  private:
    const FrameSourceKind kind_;
    mutable std::mutex mutex_;
    std::vector<std::string> titles_;                               // guarded by mutex_
    std::vector<std::string> unreachable_;                          // guarded by mutex_
    std::vector<std::string> requests_;                             // guarded by mutex_
    std::map<std::string, std::shared_ptr<FakeFrameSource>> last_;  // guarded by mutex_
    ChangeHandler handler_;                                         // guarded by mutex_
    std::atomic<int> listCalls_{0};
};

// A computer-sound stand-in that records how it was started and stopped.
class FakeSoundSource final : public SoundSource {
  public:
    bool start() override;
    void stop() override;
    SoundHandler soundHandler() const override;
    void setSoundHandler(SoundHandler handler) override;

    bool running() const { return running_; }
    int stopCount() const { return stopCount_; }

  private:
    mutable std::mutex mutex_;
    SoundHandler handler_;  // guarded by mutex_
    std::atomic<bool> running_{false};
    std::atomic<int> stopCount_{0};
};

}  // namespace zarvo::test
