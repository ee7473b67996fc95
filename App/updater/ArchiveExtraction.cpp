#include "App/updater/ArchiveExtraction.h"

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace zarvo {
namespace fs = std::filesystem;

namespace {

// Whether a relative path stays inside its root when taken from `base` (a folder inside the
// root, as a relative path): no component climbs above the root.
bool staysInside(const fs::path& base, const fs::path& relative) {
    if (relative.is_absolute() || relative.has_root_name() || relative.has_root_directory()) {
        return false;
    }
    int depth = 0;
    for (const fs::path& part : base) {
        if (part == "..") {
            return false;
        }
        if (part != "." && !part.empty()) {
            ++depth;
        }
    }
    for (const fs::path& part : relative) {
        if (part == "..") {
            if (--depth < 0) {
                return false;
            }
        } else if (part != "." && !part.empty()) {
            ++depth;
        }
    }
    return true;
}

// An entry name as a safe relative path: not empty, not absolute, no "..".
std::optional<fs::path> safeEntryPath(const char* name) {
    if (!name || !*name) {
        return std::nullopt;
    }
    const fs::path path(name);
    if (path.is_absolute() || path.has_root_directory()) {
        return std::nullopt;
    }
    for (const fs::path& part : path) {
        if (part == "..") {
            return std::nullopt;
        }
    }
    return path.lexically_normal();
}

// Where a path inside the root leads once every link on its way is followed, the way the system
// resolves it, as a path relative to the root; none when it leaves the root at any step (an
// absolute link, a ".." above the root) or follows too many links (a loop).
std::optional<fs::path> resolveInside(const fs::path& root, const fs::path& relative) {
    std::deque<std::string> pending;
    for (const fs::path& part : relative) {
        pending.push_back(part.string());
    }
    std::vector<std::string> done;
    int links = 0;
    while (!pending.empty()) {
        const std::string part = pending.front();
        pending.pop_front();
        if (part.empty() || part == "." || part == "/") {
            continue;
        }
        if (part == "..") {
            if (done.empty()) {
                return std::nullopt;
            }
            done.pop_back();
            continue;
        }
        fs::path at = root;
        for (const std::string& step : done) {
            at /= step;
        }
        at /= part;
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(at, error))) {
            done.push_back(part);
            continue;
        }
        const fs::path target = fs::read_symlink(at, error);
        if (error || target.is_absolute() || target.has_root_directory() || ++links > 40) {
            return std::nullopt;
        }
        std::vector<std::string> parts;
        for (const fs::path& piece : target) {
            parts.push_back(piece.string());
        }
        pending.insert(pending.begin(), parts.begin(), parts.end());
    }
    fs::path result;
    for (const std::string& step : done) {
        result /= step;
    }
    return result;
}

// The first link of the extracted tree that leads outside it, followed through every other
// link: a chain can leave the folder where each link alone, read as text, seems to stay.
std::optional<std::string> linkLeavingTree(const fs::path& root) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::none, error), end;
         !error && it != end; it.increment(error)) {
        const auto status = it->symlink_status(error);
        if (error || !fs::is_symlink(status)) {
            continue;
        }
        const fs::path relative = it->path().lexically_relative(root);
        if (!resolveInside(root, relative)) {
            return relative.string();
        }
    }
    if (error) {
        return root.string();
    }
    return std::nullopt;
}

}  // namespace

std::optional<UpdateFailure> extractZip(const fs::path& archivePath, const fs::path& folder,
                                        const ExtractionLimits& limits) {
    struct archive* reader = archive_read_new();
    struct archive* writer = archive_write_disk_new();
    auto cleanup = [&] {
        archive_read_free(reader);
        archive_write_free(writer);
    };
    archive_read_support_format_zip(reader);
    // Entries are given full paths inside the folder (see below); these refuse what would
    // still climb out of it, and writing through a link on the disk.
    archive_write_disk_set_options(writer, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                                               ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                               ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    archive_write_disk_set_standard_lookup(writer);

    auto failure = [&](const std::string& detail) -> std::optional<UpdateFailure> {
        cleanup();
        return UpdaterError::extractionFailed(detail);
    };
    if (archive_read_open_filename(reader, archivePath.c_str(), 1 << 16) != ARCHIVE_OK) {
        return failure(archive_error_string(reader) ? archive_error_string(reader)
                                                    : "cannot open the archive");
    }
    const fs::path root = fs::absolute(folder).lexically_normal();
    uint64_t written = 0;
    uint64_t entries = 0;
    for (;;) {
        struct archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (++entries > limits.maxEntries) {
            return failure("the archive holds more than " + std::to_string(limits.maxEntries) +
                           " entries");
        }
        if (status < ARCHIVE_WARN) {
            return failure(archive_error_string(reader) ? archive_error_string(reader)
                                                        : "unreadable entry");
        }
        const char* rawName = archive_entry_pathname(entry);
        const std::string name = rawName ? rawName : "";
        const auto relative = safeEntryPath(rawName);
        if (!relative) {
            return failure("entry outside the archive's folder: " + name);
        }
        const mode_t type = archive_entry_filetype(entry);
        if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
            return failure("unsupported entry: " + name);
        }
        if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (!target || !staysInside(relative->parent_path(), fs::path(target))) {
                return failure("link pointing outside the archive's folder: " + name);
            }
        }
        if (const char* link = archive_entry_hardlink(entry)) {
            const auto linkPath = safeEntryPath(link);
            if (!linkPath) {
                return failure("link pointing outside the archive's folder: " + name);
            }
            // The file it names, reached through the links already on the disk, must be a file
            // of the folder.
            const auto parent = resolveInside(root, linkPath->parent_path());
            std::error_code error;
            const fs::path target = parent ? root / *parent / linkPath->filename() : fs::path();
            if (!parent || !fs::is_regular_file(fs::symlink_status(target, error))) {
                return failure("link pointing outside the archive's folder: " + name);
            }
            archive_entry_set_hardlink(entry, target.c_str());
        }
        archive_entry_set_pathname(entry, (root / *relative).c_str());
        // No set-user-id, set-group-id or sticky bit, and nothing anyone may write to.
        archive_entry_set_perm(entry,
                               archive_entry_perm(entry) &
                                   ~static_cast<mode_t>(S_ISUID | S_ISGID | S_ISVTX | S_IWOTH));
        if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
            return failure(std::string(archive_error_string(writer) ? archive_error_string(writer)
                                                                    : "cannot write") +
                           ": " + name);
        }
        if (archive_entry_size_is_set(entry) == 0 || archive_entry_size(entry) > 0) {
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            for (;;) {
                const int read = archive_read_data_block(reader, &block, &size, &offset);
                if (read == ARCHIVE_EOF) {
                    break;
                }
                if (read < ARCHIVE_WARN) {
                    return failure(archive_error_string(reader) ? archive_error_string(reader)
                                                                : "truncated entry");
                }
                written += size;
                if (written > limits.maxBytes) {
                    return failure("the archive holds more than its size limit");
                }
                if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) {
                    return failure(archive_error_string(writer) ? archive_error_string(writer)
                                                                : "cannot write");
                }
            }
        }
        if (archive_write_finish_entry(writer) < ARCHIVE_WARN) {
            return failure(archive_error_string(writer) ? archive_error_string(writer)
                                                        : "cannot finish an entry");
        }
    }
    if (archive_write_close(writer) != ARCHIVE_OK) {
        return failure(archive_error_string(writer) ? archive_error_string(writer)
                                                    : "cannot finish the extraction");
    }
    cleanup();
    // Links are judged once all are in place: one written later can change where an earlier
    // one leads.
    if (const auto link = linkLeavingTree(root)) {
        return UpdaterError::extractionFailed("link leading outside the archive's folder: " +
                                              *link);
    }
    return std::nullopt;
}

std::optional<fs::path> findAppBundle(const fs::path& folder) {
    auto sortedEntries = [](const fs::path& at) {
        std::vector<fs::path> entries;
        std::error_code error;
        for (fs::directory_iterator it(at, error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (!name.empty() && name[0] != '.') {
                entries.push_back(it->path());
            }
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    };
    auto isApp = [](const fs::path& path) {
        std::error_code error;
        return asciiLowercase(path.extension().string()) == ".app" &&
               fs::is_directory(fs::symlink_status(path, error));
    };
    const auto top = sortedEntries(folder);
    for (const fs::path& entry : top) {
        if (isApp(entry)) {
            return entry;
        }
    }
    for (const fs::path& entry : top) {
        std::error_code error;
        if (!fs::is_directory(fs::symlink_status(entry, error))) {
            continue;
        }
        for (const fs::path& inner : sortedEntries(entry)) {
            if (isApp(inner)) {
                return inner;
            }
        }
    }
    return std::nullopt;
}

}  // namespace zarvo
