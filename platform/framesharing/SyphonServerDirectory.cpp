#include "platform/framesharing/SyphonServerDirectory.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/NotificationCenter.h"
#include "platform/Thread.h"
#include "platform/framesharing/ServerRegistry.h"

namespace zarvo {

namespace {

// How often every listed publisher is checked: a dead one is retired within this time (plus the
// time to check), however it died.
constexpr int kLivenessIntervalMs = 250;

int64_t StartOf(const SyphonServerDescription& description) {
    const auto found = description.find(kSyphonServerDescriptionStartKey);
    return found != description.end() && found->is_number_integer() ? found->get<int64_t>() : 0;
}

}  // namespace

SyphonServerDirectory& SyphonServerDirectory::sharedDirectory() {
    // Notifications go through the default centre, which therefore must outlive the directory:
    // made first, it is destroyed last.
    NotificationCenter::defaultCenter();
    static SyphonServerDirectory directory;
    return directory;
}

SyphonServerDirectory::SyphonServerDirectory() : folder_(framesharing::registryFolder()) {
    // The servers published already are simply there; nothing is announced for them.
    refresh(false);
    if (folder_.empty()) {
        return;
    }
    changes_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (changes_ >= 0 && ::inotify_add_watch(changes_, folder_.c_str(),
                                             IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                                                 IN_CLOSE_WRITE) < 0) {
        ::close(changes_);
        changes_ = -1;
    }
    stopEvent_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEvent_ >= 0) {
        thread_ = std::thread(&SyphonServerDirectory::watch, this);
    }
}

SyphonServerDirectory::~SyphonServerDirectory() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(stopEvent_, &one, sizeof one);
        thread_.join();
    }
    if (stopEvent_ >= 0) {
        ::close(stopEvent_);
    }
    if (changes_ >= 0) {
        ::close(changes_);
    }
}

std::vector<SyphonServerDescription> SyphonServerDirectory::servers() const {
    std::lock_guard lock(mutex_);
    std::vector<SyphonServerDescription> descriptions;
    descriptions.reserve(servers_.size());
    for (const auto& known : servers_) {
        descriptions.push_back(known.description);
    }
    return descriptions;
}

void SyphonServerDirectory::watch() {
    setCurrentThreadName("SyphonDirectory");
    pollfd fds[2] = {{stopEvent_, POLLIN, 0}, {changes_, POLLIN, 0}};
    const nfds_t count = changes_ >= 0 ? 2 : 1;
    for (;;) {
        const int ready = ::poll(fds, count, kLivenessIntervalMs);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (count == 2 && fds[1].revents != 0) {
            alignas(inotify_event) char events[4096];
            while (::read(changes_, events, sizeof events) > 0) {
            }
        }
        refresh(true);
    }
}

void SyphonServerDirectory::refresh(bool notify) {
    auto live = framesharing::sweepAndListServers(folder_);
    // Servers new to the list join it at the end, in the order they were published.
    std::sort(live.begin(), live.end(), [](const auto& a, const auto& b) {
        const int64_t startA = StartOf(a.description);
        const int64_t startB = StartOf(b.description);
        return startA != startB ? startA < startB : a.id < b.id;
    });

    size_t announced = 0;
    size_t updated = 0;
    size_t retired = 0;
    {
        std::lock_guard lock(mutex_);
        std::vector<Known> next;
        next.reserve(live.size());
        for (auto& known : servers_) {
            const auto found = std::find_if(live.begin(), live.end(), [&](const auto& server) {
                return server.id == known.id;
            });
            if (found == live.end()) {
                ++retired;
                continue;
            }
            if (found->description != known.description) {
                ++updated;
            }
            next.push_back(Known{known.id, std::move(found->description)});
            found->id.clear();
        }
        for (auto& server : live) {
            if (!server.id.empty()) {
                ++announced;
                next.push_back(Known{std::move(server.id), std::move(server.description)});
            }
        }
        servers_ = std::move(next);
    }
    if (!notify) {
        return;
    }
    // One notification per server changed, after the list holds the change.
    auto& center = NotificationCenter::defaultCenter();
    for (size_t i = 0; i < retired; ++i) {
        center.post(kSyphonServerRetireNotification, this);
    }
    for (size_t i = 0; i < updated; ++i) {
        center.post(kSyphonServerUpdateNotification, this);
    }
    for (size_t i = 0; i < announced; ++i) {
        center.post(kSyphonServerAnnounceNotification, this);
    }
}

}  // namespace zarvo
