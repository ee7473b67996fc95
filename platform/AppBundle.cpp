#include "platform/AppBundle.h"

#include <filesystem>
#include <fstream>

namespace zarvo {
namespace fs = std::filesystem;

std::string runningBundlePath() {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return "";
    }
    const fs::path folder = program.parent_path();
    // The package manager's copy lives in a folder of its own name (/opt/zarvo-recorder) and
    // says so with its marker file.
    if (folder.filename() == "bin" && (folder.parent_path().extension() == ".app" ||
                                       fs::exists(folder.parent_path() / "installed-by-package"))) {
        return folder.parent_path().string();
    }
    return folder.string();
}

nlohmann::json bundleInfo(const std::string& bundlePath) {
    std::ifstream in(fs::path(bundlePath) / "Info.json");
    if (!in) {
        return nlohmann::json::object();
    }
    nlohmann::json info = nlohmann::json::parse(in, nullptr, false);
    return info.is_object() ? info : nlohmann::json::object();
}

std::string bundleText(const nlohmann::json& bundleInfo, const char* key) {
    if (!bundleInfo.is_object()) {
        return {};
    }
    const auto found = bundleInfo.find(key);
    return found != bundleInfo.end() && found->is_string() ? found->get<std::string>() : "";
}

std::string applicationDomain(const nlohmann::json& bundleInfo) {
    std::string identifier = bundleText(bundleInfo, "CFBundleIdentifier");
    return identifier.empty() ? kFallbackDomain : identifier;
}

}  // namespace zarvo
