#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace zarvo {

// The folder of the running application when it runs from an installed copy
// (ZarvoRecorder.app/bin/PROGRAM gives ZarvoRecorder.app, and so does the package's folder,
// which holds the file installed-by-package), else the program's own folder.
std::string runningBundlePath();

// The bundle's information: Info.json in the bundle folder, or an empty object.
nlohmann::json bundleInfo(const std::string& bundlePath);

// The text under that key of the bundle's information; empty when absent or not a text.
std::string bundleText(const nlohmann::json& bundleInfo, const char* key);

// Our settings domain when the bundle does not name one.
inline constexpr const char* kFallbackDomain = "net.orvak.zarvo-recorder";

// Our settings domain: the bundle identifier in the bundle information, or kFallbackDomain.
std::string applicationDomain(const nlohmann::json& bundleInfo);

}  // namespace zarvo
