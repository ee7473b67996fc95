#include "tests/support/ZipFixtures.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace zarvo::test {
namespace fs = std::filesystem;

bool writeZip(const fs::path& archivePath, const std::vector<ZipEntry>& entries) {
    struct archive* writer = archive_write_new();
    archive_write_set_format_zip(writer);
    if (archive_write_open_filename(writer, archivePath.c_str()) != ARCHIVE_OK) {
        archive_write_free(writer);
        return false;
    }
    bool ok = true;
    for (const ZipEntry& item : entries) {
        struct archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.name.c_str());
        archive_entry_set_mtime(entry, 1700000000, 0);
        switch (item.kind) {
            case ZipEntry::Kind::file:
                archive_entry_set_filetype(entry, AE_IFREG);
                archive_entry_set_size(entry, static_cast<la_int64_t>(item.content.size()));
                break;
            case ZipEntry::Kind::folder:
                archive_entry_set_filetype(entry, AE_IFDIR);
                break;
            case ZipEntry::Kind::symlink:
                archive_entry_set_filetype(entry, AE_IFLNK);
                archive_entry_set_symlink(entry, item.content.c_str());
                break;
            case ZipEntry::Kind::hardlink:
                archive_entry_set_filetype(entry, AE_IFREG);
                archive_entry_set_hardlink(entry, item.content.c_str());
                archive_entry_set_size(entry, 0);
                break;
        }
        archive_entry_set_perm(entry, static_cast<mode_t>(item.mode));
        ok = ok && archive_write_header(writer, entry) == ARCHIVE_OK;
        if (ok && item.kind == ZipEntry::Kind::file && !item.content.empty()) {
            ok = archive_write_data(writer, item.content.data(), item.content.size()) ==
                 static_cast<la_ssize_t>(item.content.size());
        }
        archive_entry_free(entry);
    }
    ok = archive_write_close(writer) == ARCHIVE_OK && ok;
    archive_write_free(writer);
    return ok;
}

std::vector<ZipEntry> folderEntries(const fs::path& folder, const std::string& prefix) {
    std::vector<fs::path> paths;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<ZipEntry> entries;
    for (const fs::path& path : paths) {
        const std::string name = prefix + fs::relative(path, folder).string();
        const auto status = fs::symlink_status(path);
        const int mode = static_cast<int>(status.permissions() & fs::perms::mask);
        if (fs::is_symlink(status)) {
            entries.push_back(
                {name, fs::read_symlink(path).string(), ZipEntry::Kind::symlink, 0777});
        } else if (fs::is_directory(status)) {
            entries.push_back({name + "/", "", ZipEntry::Kind::folder, mode});
        } else {
            std::ifstream in(path, std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            entries.push_back({name, bytes.str(), ZipEntry::Kind::file, mode});
        }
    }
    return entries;
}

std::vector<ZipEntry> FakeApplication(const std::string& name, const std::string& identifier,
                                      const std::string& version, int versionStatus,
                                      const std::string& publicKey, const std::string& build) {
    const std::string info =
        "{\"CFBundleIdentifier\": \"" + identifier + "\", \"CFBundleShortVersionString\": \"" +
        version + "\", \"CFBundleVersion\": \"" + build + "\"" +
        (publicKey.empty() ? "" : ", \"ZarvoUpdatePublicKey\": \"" + publicKey + "\"") + "}\n";
    const std::string program = "#!/bin/sh\necho " + version + "\necho checked >&2\nexit " +
                                std::to_string(versionStatus) + "\n";
    return {
        {name + "/", "", ZipEntry::Kind::folder, 0755},
        {name + "/Info.json", info},
        {name + "/bin/", "", ZipEntry::Kind::folder, 0755},
        {name + "/bin/zarvo-recorder", program, ZipEntry::Kind::file, 0755},
    };
}

}  // namespace zarvo::test
