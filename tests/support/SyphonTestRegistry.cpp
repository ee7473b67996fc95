#include "tests/support/SyphonTestRegistry.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/framesharing/ServerRegistry.h"

namespace zarvo::test {

namespace {

std::filesystem::path& PrivateFolder() {
    static std::filesystem::path folder;
    return folder;
}

void RemovePrivateFolder() {
    const auto& folder = PrivateFolder();
    // Children are gone by now; their segments go with their records.
    framesharing::sweepAndListServers(folder / "zarvo-syphon");
    std::error_code error;
    std::filesystem::remove_all(folder, error);
}

}  // namespace

void usePrivateSyphonRegistry() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zarvo-syphon-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        PrivateFolder() = pattern;
        ::setenv("XDG_RUNTIME_DIR", pattern.c_str(), 1);
        std::atexit(RemovePrivateFolder);
    });
}

SyphonHeldRecord::SyphonHeldRecord(SyphonServerDescription description)
    : folder_(framesharing::registryFolder()), id_(framesharing::newServerId()) {
    description[kSyphonServerDescriptionUUIDKey] = id_;
    lockFd_ = framesharing::takeServerLock(folder_, id_);
    if (lockFd_ < 0 || !framesharing::writeRecord(folder_, id_, description)) {
        throw std::runtime_error("cannot write a server record");
    }
}

SyphonHeldRecord::~SyphonHeldRecord() {
    framesharing::removeServerFiles(folder_, id_);
    ::close(lockFd_);
}

}  // namespace zarvo::test
