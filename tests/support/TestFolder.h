#pragma once

#include <filesystem>
#include <string>

namespace zarvo::test {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes away.
class TestFolder {
public:
    TestFolder();
    ~TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Reads a whole file as text ("" when it cannot be read).
std::string ReadFile(const std::filesystem::path& path);
// Writes the text as the whole file.
void WriteFile(const std::filesystem::path& path, const std::string& text);

}  // namespace zarvo::test
