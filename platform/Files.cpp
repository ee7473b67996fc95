#include "platform/Files.h"

#include <atomic>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace zarvo {

namespace {

void tell(int* error, int number) {
    if (error) {
        *error = number;
    }
}

}  // namespace

bool writeAll(int fd, const void* data, size_t size, int* error) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            tell(error, errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool readAt(int fd, void* data, size_t size, uint64_t at, int* error) {
    auto* bytes = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes + done, size - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            tell(error, n < 0 ? errno : 0);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool writeAt(int fd, const void* data, size_t size, uint64_t at, int* error) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            tell(error, n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool replaceFileAtomically(const std::filesystem::path& path, std::string_view contents,
                           bool syncToDisk, int* error) {
    // Two writers of one file, in this process or another, each write their own temporary file.
    static std::atomic<uint64_t> writes{0};
    const std::string temporary =
        path.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++writes);
    return replaceFileAtomicallyVia(temporary, path, contents, syncToDisk, error);
}

bool replaceFileAtomicallyVia(const std::filesystem::path& temporary,
                              const std::filesystem::path& path, std::string_view contents,
                              bool syncToDisk, int* error) {
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        tell(error, errno);
        return false;
    }
    int failure = 0;
    bool ok = writeAll(fd, contents, &failure);
    if (ok && syncToDisk && ::fsync(fd) != 0) {
        failure = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        failure = errno;
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        failure = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        tell(error, failure);
    }
    return ok;
}

}  // namespace zarvo
