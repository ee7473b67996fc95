#pragma once

#include <filesystem>
#include <optional>
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

// Sets an environment variable (or unsets it, with a null value) for the life of the object,
// then puts back what was there.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Reads a whole file as text ("" when it cannot be read).
std::string readFile(const std::filesystem::path& path);
// Writes the text as the whole file.
void writeFile(const std::filesystem::path& path, const std::string& text);

}  // namespace zarvo::test
