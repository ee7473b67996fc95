#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace zarvo {

// The empty file at the top of a copy installed by the system's package manager (the Debian
// package's /opt/zarvo-recorder); a portable folder never holds it.
inline constexpr const char* kPackageMarker = "installed-by-package";

// The folder of the running application when it runs from an installed copy
// (ZarvoRecorder.app/bin/PROGRAM gives ZarvoRecorder.app; so does a package's folder holding
// kPackageMarker), else the program's own folder.
std::string runningBundlePath();

// Whether the folder is a copy installed by the system's package manager.
bool isPackageInstalled(const std::string& bundlePath);

// The bundle's information: Info.json in the bundle folder, or an empty object.
nlohmann::json bundleInfo(const std::string& bundlePath);

// The text under that key of the bundle's information; empty when absent or not a text.
std::string bundleText(const nlohmann::json& bundleInfo, const char* key);

// Our settings domain when the bundle does not name one.
inline constexpr const char* kFallbackDomain = "net.orvak.zarvo-recorder";

// Our settings domain: the bundle identifier in the bundle information, or kFallbackDomain.
std::string applicationDomain(const nlohmann::json& bundleInfo);

}  // namespace zarvo
