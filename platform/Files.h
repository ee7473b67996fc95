#pragma once

// File descriptor helpers shared by every layer: whole writes and positioned reads and writes
// that resume after signals, and replacing a file so that readers see the old or the new
// contents, never a part. Safe from any thread; each call uses only its own descriptor.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace zarvo {

// Writes all the bytes at the descriptor's position, resuming after EINTR. False on any other
// failure, with the error number in *error when given.
bool writeAll(int fd, const void* data, size_t size, int* error = nullptr);
inline bool writeAll(int fd, std::string_view text, int* error = nullptr) {
    return writeAll(fd, text.data(), text.size(), error);
}

// Reads exactly `size` bytes at offset `at`. False on failure (*error: the error number) or
// when the file ends first (*error: 0).
bool readAt(int fd, void* data, size_t size, uint64_t at, int* error = nullptr);

// Writes exactly `size` bytes at offset `at`. False on failure (*error: the error number, EIO
// when nothing could be written).
bool writeAt(int fd, const void* data, size_t size, uint64_t at, int* error = nullptr);

// Writes the contents to a temporary file beside `path` (mode 0600), optionally synced to disk,
// then renames it over `path`. On failure the temporary file is removed, `path` is untouched and
// *error holds the error number.
bool replaceFileAtomically(const std::filesystem::path& path, std::string_view contents,
                           bool syncToDisk, int* error = nullptr);

// The same through a temporary file of the caller's naming (created or emptied), for folders
// that recognise and sweep their own temporary files by name.
bool replaceFileAtomicallyVia(const std::filesystem::path& temporary,
                              const std::filesystem::path& path, std::string_view contents,
                              bool syncToDisk, int* error = nullptr);

}  // namespace zarvo
