#include "sources/NDILibrary.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/AppBundle.h"

namespace zarvo {
namespace fs = std::filesystem;

namespace {

const std::string kRuntimeFile = NDILibrary::kFileName;

std::string join(const std::string& folder, const std::string& name) {
    return (fs::path(folder) / name).string();
}

bool existsAsFile(const std::string& path) {
    std::error_code error;
    const auto status = fs::status(path, error);
    return !error && fs::exists(status) && !fs::is_directory(status);
}

// Whether the table holds every entry the recorder calls.
bool isComplete(const ndi::NDIlib_v5& table) {
    return table.initialize != nullptr && table.version != nullptr &&
           table.is_supported_CPU != nullptr && table.find_create_v2 != nullptr &&
           table.find_destroy != nullptr && table.find_wait_for_sources != nullptr &&
           table.find_get_current_sources != nullptr && table.recv_create_v3 != nullptr &&
           table.recv_capture_v3 != nullptr && table.recv_free_video_v2 != nullptr &&
           table.recv_free_audio_v3 != nullptr && table.recv_get_no_connections != nullptr &&
           table.recv_destroy != nullptr;
}

std::string dlError() {
    const char* text = dlerror();
    return text != nullptr ? text : "";
}

}  // namespace

const std::shared_ptr<const NDILibrary>& NDILibrary::sharedLibrary() {
    static const std::shared_ptr<const NDILibrary> shared = [] {
        std::map<std::string, std::string> environment;
        for (const char* name : {"ZARVO_NDI_LIBRARY", "NDI_RUNTIME_DIR_V6"}) {
            if (const char* value = std::getenv(name)) {
                environment[name] = value;
            }
        }
        return loadFirstAvailable(candidatePaths(environment, runningBundlePath()));
    }();
    return shared;
}

std::vector<std::string> NDILibrary::candidatePaths(
    const std::map<std::string, std::string>& environment, const std::string& bundlePath) {
    const auto valueOf = [&](const std::string& name) {
        const auto found = environment.find(name);
        return found != environment.end() ? found->second : std::string();
    };
    if (const std::string chosen = valueOf("ZARVO_NDI_LIBRARY"); !chosen.empty()) {
        return {chosen};
    }
    std::vector<std::string> candidates;
    if (!bundlePath.empty()) {
        candidates.push_back(join(join(bundlePath, "lib"), kRuntimeFile));
    }
    if (const std::string runtimeDir = valueOf("NDI_RUNTIME_DIR_V6"); !runtimeDir.empty()) {
        candidates.push_back(join(runtimeDir, kRuntimeFile));
    }
    candidates.push_back(join("/usr/local/lib", kRuntimeFile));
    candidates.push_back(join("/usr/lib", kRuntimeFile));
    return candidates;
}

std::shared_ptr<const NDILibrary> NDILibrary::loadFirstAvailable(
    const std::vector<std::string>& candidates) {
    std::shared_ptr<const NDILibrary> firstFailure;
    for (const auto& candidate : candidates) {
        if (!existsAsFile(candidate)) {
            continue;
        }
        auto library = load(candidate);
        if (library->isAvailable()) {
            return library;
        }
        if (!firstFailure) {
            firstFailure = std::move(library);
        }
    }
    if (firstFailure) {
        return firstFailure;
    }
    std::string all;
    for (const auto& candidate : candidates) {
        all += (all.empty() ? "" : ", ") + candidate;
    }
    return unavailable(kRuntimeFile + " was not found in " + all);
}

std::shared_ptr<const NDILibrary> NDILibrary::load(const std::string& path) {
    if (path.empty()) {
        return unavailable(kRuntimeFile + " was not found");
    }
    // A name without a folder would make the loader search its own list of places instead of
    // opening this very file.
    const std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* handle = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const std::string error = dlError();
        std::error_code ignored;
        if (fs::exists(path, ignored)) {
            return unavailable(path + " is not an NDI library (" +
                               (error.empty() ? "it does not load" : error) + ")");
        }
        return unavailable(kRuntimeFile + " was not found at " + path);
    }
    const auto loadTable = reinterpret_cast<ndi::NDIlib_v5_load_t>(dlsym(handle, ndi::kLoadSymbol));
    const ndi::NDIlib_v5* table = loadTable != nullptr ? loadTable() : nullptr;
    if (table == nullptr || !isComplete(*table)) {
        dlclose(handle);
        return unavailable(path + " is not an NDI library");
    }
    // From here the runtime stays loaded: it may have started work of its own.
    if (!table->is_supported_CPU() || !table->initialize()) {
        return unavailable("this computer cannot run NDI");
    }
    const char* version = table->version();
    return std::shared_ptr<const NDILibrary>(
        new NDILibrary(table, version != nullptr ? version : "", path, ""));
}

std::shared_ptr<const NDILibrary> NDILibrary::unavailable(std::string reason) {
    return std::shared_ptr<const NDILibrary>(
        new NDILibrary(nullptr, "", std::nullopt, std::move(reason)));
}

}  // namespace zarvo
