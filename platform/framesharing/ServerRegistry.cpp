#include "platform/framesharing/ServerRegistry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/Files.h"
#include "platform/Log.h"

namespace zarvo::framesharing {

namespace {

constexpr size_t kIdBytes = 16;
// A temporary file is part of a publisher's start or record update, which take microseconds;
// one this old was left by a process that died in between.
constexpr auto kStaleTemporaryAge = std::chrono::seconds(10);

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::filesystem::path temporaryPath(const std::filesystem::path& folder, std::string_view id,
                                    std::string_view extension) {
    std::string name = ".";
    name.append(id).append(extension).append(".tmp");
    return folder / name;
}

}  // namespace

std::filesystem::path registryFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::filesystem::path folder = std::filesystem::path(runtime) / "zarvo-syphon";
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            logLine("Syphon: cannot make the folder " + folder.string() + ".");
            return {};
        }
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return {};
        }
        return folder;
    }
    // Everyone can write to /tmp: the folder must be a real folder of ours that nobody else can
    // read or write.
    std::filesystem::path folder = "/tmp/zarvo-syphon-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        logLine("Syphon: cannot make the folder " + folder.string() + ".");
        return {};
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid() || (info.st_mode & 077) != 0) {
        logLine("Syphon: the folder " + folder.string() + " is not the user's own; not used.");
        return {};
    }
    return folder;
}

std::string newServerId() {
    uint8_t bytes[kIdBytes] = {};
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        filled += static_cast<size_t>(got);
    }
    if (filled < sizeof bytes) {
        // No kernel randomness: the process, the time and a counter are unique enough on one
        // computer.
        static std::atomic<uint64_t> counter{0};
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const uint64_t parts[2] = {
            static_cast<uint64_t>(::getpid()) << 32 ^ counter.fetch_add(1),
            static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec)};
        for (size_t i = 0; i < sizeof bytes; ++i) {
            bytes[i] = static_cast<uint8_t>(parts[i / 8] >> (8 * (i % 8)));
        }
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string id;
    for (uint8_t byte : bytes) {
        id += kDigits[byte >> 4];
        id += kDigits[byte & 15];
    }
    return id;
}

bool isServerId(std::string_view text) {
    if (text.size() != 2 * kIdBytes) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::filesystem::path recordPath(const std::filesystem::path& folder, std::string_view id) {
    return folder / (std::string(id) + ".json");
}

std::filesystem::path lockPath(const std::filesystem::path& folder, std::string_view id) {
    return folder / (std::string(id) + ".lock");
}

std::string segmentName(std::string_view id) {
    return "/zarvo-syphon-" + std::string(id);
}

int takeServerLock(const std::filesystem::path& folder, std::string_view id) {
    const auto temporary = temporaryPath(folder, id, ".lock");
    const int fd = ::open(temporary.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd);
            ::unlink(temporary.c_str());
            return -1;
        }
    }
    if (::rename(temporary.c_str(), lockPath(folder, id).c_str()) != 0) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return -1;
    }
    return fd;
}

bool publisherAlive(const std::filesystem::path& folder, std::string_view id) {
    const int fd = ::open(lockPath(folder, id).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return errno != ENOENT;
    }
    // Checkers share the lock among themselves; only the publisher's exclusive hold refuses it.
    // Any other failure than a refusal also counts as alive.
    const bool alive = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return alive;
}

bool writeRecord(const std::filesystem::path& folder, std::string_view id,
                 const SyphonServerDescription& description) {
    // The temporary file is hidden and named for the sweep, which removes one a publisher that
    // died left behind. The record lives as long as its publisher: no need to sync it to disk.
    return replaceFileAtomicallyVia(temporaryPath(folder, id, ".json"), recordPath(folder, id),
                                    description.dump(), false);
}

std::optional<SyphonServerDescription> readRecord(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    auto description = SyphonServerDescription::parse(text.str(), nullptr, false);
    if (description.is_discarded() || !description.is_object()) {
        return std::nullopt;
    }
    return description;
}

void removeServerFiles(const std::filesystem::path& folder, std::string_view id) {
    ::unlink(recordPath(folder, id).c_str());
    ::shm_unlink(segmentName(id).c_str());
    ::unlink(lockPath(folder, id).c_str());
}

std::vector<LiveServer> sweepAndListServers(const std::filesystem::path& folder) {
    std::vector<LiveServer> live;
    if (folder.empty()) {
        return live;
    }
    std::set<std::string> records;
    std::set<std::string> locks;
    std::error_code error;
    const auto now = std::filesystem::file_time_type::clock::now();
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with('.')) {
            std::error_code timeError;
            const auto modified = entry.last_write_time(timeError);
            if (endsWith(name, ".tmp") && !timeError && now - modified > kStaleTemporaryAge) {
                std::filesystem::remove(entry.path(), timeError);
            }
            continue;
        }
        const auto stem = std::string_view(name).substr(0, 2 * kIdBytes);
        if (!isServerId(stem)) {
            continue;
        }
        const auto extension = std::string_view(name).substr(stem.size());
        if (extension == ".json") {
            records.emplace(stem);
        } else if (extension == ".lock") {
            locks.emplace(stem);
        }
    }
    for (const auto& id : records) {
        if (!publisherAlive(folder, id)) {
            removeServerFiles(folder, id);
            continue;
        }
        // A record that cannot be read (it vanished just now) is simply not listed this time.
        if (auto description = readRecord(recordPath(folder, id))) {
            live.push_back(LiveServer{id, std::move(*description)});
        }
    }
    for (const auto& id : locks) {
        if (!records.contains(id) && !publisherAlive(folder, id)) {
            removeServerFiles(folder, id);
        }
    }
    return live;
}

}  // namespace zarvo::framesharing
