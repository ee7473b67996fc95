#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace zarvo {

// The folder of the running application when it runs from an installed copy
// (ZarvoRecorder.app/bin/PROGRAM gives ZarvoRecorder.app), else the program's own folder.
std::string RunningBundlePath();

// The bundle's information: Info.json in the bundle folder, or an empty object.
nlohmann::json BundleInfo(const std::string& bundlePath);

}  // namespace zarvo
