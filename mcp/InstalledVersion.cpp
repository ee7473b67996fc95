#include "mcp/InstalledVersion.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <system_error>

namespace zarvo::mcp {

namespace fs = std::filesystem;

std::string installedVersion(const fs::path& executable) {
    const fs::path folder = executable.parent_path();
    const fs::path bundle = folder.parent_path();
    if (folder.filename() != "bin" || bundle.extension() != ".app") {
        return "dev";
    }
    std::ifstream in(bundle / "Info.json");
    if (!in) {
        return "dev";
    }
    const nlohmann::json info = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (!info.is_object()) {
        return "dev";
    }
    const auto found = info.find("CFBundleShortVersionString");
    if (found == info.end() || !found->is_string()) {
        return "dev";
    }
    const auto& version = found->get_ref<const std::string&>();
    return version.empty() || version.front() == '@' ? "dev" : version;
}

std::string runningVersion() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return error ? "dev" : installedVersion(executable);
}

}  // namespace zarvo::mcp
