#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sources/NDIRuntime.h"

namespace zarvo {

// The NDI runtime, loaded at run time from the first place where a working copy is found. Without
// it there are simply no NDI sources: an unavailable library carries the reason instead of the
// function table. Instances are immutable and shared between threads; a loaded runtime is never
// unloaded.
class NDILibrary {
  public:
    // The runtime's file name.
    static constexpr const char* kFileName = "libndi.so.6";

    // The process-wide library, searched for on the first call (concurrent first calls wait for
    // that one search); every later call answers the same instance.
    static const std::shared_ptr<const NDILibrary>& sharedLibrary();

    // Where to look, in order. ZARVO_NDI_LIBRARY, when set and not empty, is the only candidate;
    // otherwise: lib/ inside the application folder, $NDI_RUNTIME_DIR_V6, /usr/local/lib,
    // /usr/lib. An empty bundle path gives no bundle candidate (it would name a file relative to
    // the working folder).
    static std::vector<std::string> candidatePaths(
        const std::map<std::string, std::string>& environment, const std::string& bundlePath);

    // Loads the first candidate that exists and works. When none works, the first failure is
    // answered, so its reason is the one reported; when none exists, the reason names them all.
    static std::shared_ptr<const NDILibrary> loadFirstAvailable(
        const std::vector<std::string>& candidates);

    // Loads one file: available, or unavailable with the reason why not.
    static std::shared_ptr<const NDILibrary> load(const std::string& path);

    // An unavailable library with that reason.
    static std::shared_ptr<const NDILibrary> unavailable(std::string reason);

    // The runtime's function table, or nullptr when unavailable.
    const ndi::NDIlib_v5* functions() const { return functions_; }
    bool isAvailable() const { return functions_ != nullptr; }
    // The runtime's own version text; "" when unavailable or when it gives none.
    const std::string& version() const { return version_; }
    // The file that was loaded; nullopt when unavailable.
    const std::optional<std::string>& path() const { return path_; }
    // Why NDI is off, as a sentence for the user; "" when available.
    const std::string& reason() const { return reason_; }

    NDILibrary(const NDILibrary&) = delete;
    NDILibrary& operator=(const NDILibrary&) = delete;

  private:
    NDILibrary(const ndi::NDIlib_v5* functions, std::string version,
               std::optional<std::string> path, std::string reason)
        : functions_(functions),
          version_(std::move(version)),
          path_(std::move(path)),
          reason_(std::move(reason)) {}

    const ndi::NDIlib_v5* const functions_;
    const std::string version_;
    const std::optional<std::string> path_;
    const std::string reason_;
};

}  // namespace zarvo
