#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/framesharing/SyphonServerDescription.h"

namespace zarvo {

// The servers published on this computer by the user's programs.
//
// The shared directory watches the registry folder from a thread of its own ("SyphonDirectory"):
// it notices new, changed and removed records at once, and checks every quarter of a second
// that each listed publisher still runs, removing what a dead one left behind. After each change
// to its list it posts kSyphonServerAnnounceNotification, kSyphonServerUpdateNotification or
// kSyphonServerRetireNotification on the default notification centre, from that thread, with
// itself as the object; observers hop to the thread they need.
class SyphonServerDirectory {
  public:
    // The process's directory. The first call reads the folder before it returns, so that the
    // servers already published are listed at once, and starts watching.
    static SyphonServerDirectory& sharedDirectory();

    ~SyphonServerDirectory();
    SyphonServerDirectory(const SyphonServerDirectory&) = delete;
    SyphonServerDirectory& operator=(const SyphonServerDirectory&) = delete;

    // The servers known now, longest published first. Answers at once from the list held.
    std::vector<SyphonServerDescription> servers() const;

  private:
    struct Known {
        std::string id;
        SyphonServerDescription description;
    };

    SyphonServerDirectory();
    void watch();
    // Reads the folder again and brings the list up to date; posts notifications when asked.
    void refresh(bool notify);

    const std::filesystem::path folder_;
    mutable std::mutex mutex_;
    std::vector<Known> servers_;  // guarded by mutex_
    int changes_ = -1;            // inotify descriptor for the folder, or -1
    int stopEvent_ = -1;          // eventfd that ends the watch
    std::thread thread_;
};

}  // namespace zarvo
