#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/framesharing/SyphonServerDescription.h"

// The registry folder through which publishers and clients find each other. For every server
// it holds two files, named after the server's identity:
//
//   ID.lock  held with an exclusive flock() by the publisher for as long as it runs: the kernel
//            lets go of it when the process dies, however it dies;
//   ID.json  the server's description, replaced whole (written aside, then renamed).
//
// and a POSIX shared-memory segment, segmentName(ID), with the frames. A publisher makes the
// lock first and removes it last, so a segment or record without a held lock was left behind
// by a dead publisher and may be removed by anyone.
namespace zarvo::framesharing {

// $XDG_RUNTIME_DIR/zarvo-syphon, or /tmp/zarvo-syphon-UID when that variable is not set. Made
// on first use, readable by the user alone. Empty when it cannot be made, or when the /tmp
// folder exists but belongs to someone else.
std::filesystem::path registryFolder();

// A new random server identity.
std::string newServerId();
// Whether the text has the form of a server identity (so that it is safe in file names).
bool isServerId(std::string_view text);

std::filesystem::path recordPath(const std::filesystem::path& folder, std::string_view id);
std::filesystem::path lockPath(const std::filesystem::path& folder, std::string_view id);
// The shared-memory name of the server's frames.
std::string segmentName(std::string_view id);

// Makes the server's lock and takes it: the file is locked under a temporary name and then
// renamed, so nobody ever sees it unlocked. Returns the descriptor that holds it, or -1.
int takeServerLock(const std::filesystem::path& folder, std::string_view id);

// Whether a process still holds the server's lock. When that cannot be told (the lock cannot
// be opened for another reason than its absence), the answer is yes, so that nothing of a
// running publisher is ever removed.
bool publisherAlive(const std::filesystem::path& folder, std::string_view id);

// Writes the record whole: readers see the previous record or this one, never a mixture.
bool writeRecord(const std::filesystem::path& folder, std::string_view id,
                 const SyphonServerDescription& description);
// The record's description, or nothing when it is missing or cannot be read.
std::optional<SyphonServerDescription> readRecord(const std::filesystem::path& path);

// Removes what a server leaves behind: its record, its segment and its lock, in that order.
void removeServerFiles(const std::filesystem::path& folder, std::string_view id);

struct LiveServer {
    std::string id;
    SyphonServerDescription description;
};

// The servers whose publishers run, in no particular order. On the way, removes what dead
// publishers left behind: records, segments and locks no process holds, and temporary files
// older than a few seconds.
std::vector<LiveServer> sweepAndListServers(const std::filesystem::path& folder);

}  // namespace zarvo::framesharing
