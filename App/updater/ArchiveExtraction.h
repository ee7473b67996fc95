#pragma once

// The release archive (a zip) opened into the work folder, and the application folder found in
// what it held.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "App/updater/UpdateErrors.h"

namespace zarvo {

// Largest total of bytes extracted from one archive.
inline constexpr uint64_t kMaxExtractedBytes = 4ull << 30;

struct ExtractionLimits {
    uint64_t maxBytes = kMaxExtractedBytes;
    uint64_t maxEntries = 100000;
};

// Extracts a zip archive into the folder. Fails on an entry that would land outside it, on a
// link whose target, resolved through the other links (chains included), leaves it, on
// anything but files, folders and links, and beyond the limits. Set-user-id, set-group-id,
// sticky and world-writable bits are dropped.
std::optional<UpdateFailure> extractZip(const std::filesystem::path& archive,
                                        const std::filesystem::path& folder,
                                        const ExtractionLimits& limits = {});

// The first folder ending in ".app" (hidden entries skipped), at the top or one folder down.
std::optional<std::filesystem::path> findAppBundle(const std::filesystem::path& folder);

}  // namespace zarvo
