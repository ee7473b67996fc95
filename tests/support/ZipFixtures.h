#pragma once

// Zip archives written by the tests, through libarchive.

#include <filesystem>
#include <string>
#include <vector>

namespace zarvo::test {

struct ZipEntry {
    enum class Kind { file, folder, symlink, hardlink };
    std::string name;
    std::string content;  // a file's bytes; a link's target
    Kind kind = Kind::file;
    int mode = 0644;
};

// Writes the entries, in order, as a zip archive; false when it cannot be written.
bool writeZip(const std::filesystem::path& archive, const std::vector<ZipEntry>& entries);

// The entries of a folder's tree (files with their modes, folders, symbolic links), named
// `prefix` + their path inside the folder.
std::vector<ZipEntry> folderEntries(const std::filesystem::path& folder, const std::string& prefix);

// A minimal application folder's entries under `name` ("ZarvoRecorder.app"): Info.json with
// the identifier, version, build and publisher key (none when empty), and a
// bin/zarvo-recorder script that prints the version and exits with `versionStatus`.
std::vector<ZipEntry> FakeApplication(const std::string& name, const std::string& identifier,
                                      const std::string& version, int versionStatus = 0,
                                      const std::string& publicKey = "",
                                      const std::string& build = "7");

}  // namespace zarvo::test
