#pragma once

#include <filesystem>
#include <string>

namespace zarvo::mcp {

// The version the server announces: when `executable` sits in the "bin" folder of an installed
// application ("<name>.app/bin/"), that application's "CFBundleShortVersionString" from its
// Info.json, unless empty or an unfilled "@…" placeholder; "dev" in every other case.
std::string installedVersion(const std::filesystem::path& executable);

// installedVersion of the running program.
std::string runningVersion();

}  // namespace zarvo::mcp
