#include "platform/UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace zarvo {
namespace fs = std::filesystem;

namespace {

std::string homeOfUser(const std::string& user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (user.empty()) {
        getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    } else {
        getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    }
    return found != nullptr && found->pw_dir != nullptr ? found->pw_dir : "";
}

// The videos folder named in the desktop's user-dirs file, with $HOME substituted, or empty.
std::string xdgVideosFolder(const std::string& home) {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const fs::path config = configHome != nullptr && configHome[0] == '/'
                                ? fs::path(configHome)
                                : fs::path(home) / ".config";
    std::ifstream in(config / "user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_VIDEOS_DIR=\"";
        if (line.rfind(key, 0) != 0 || line.back() != '"') {
            continue;
        }
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.rfind("$HOME", 0) == 0) {
            value = home + value.substr(5);
        }
        return value.empty() || value[0] != '/' ? "" : value;
    }
    return "";
}

}  // namespace

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return home;
    }
    const std::string fromDatabase = homeOfUser("");
    return fromDatabase.empty() ? "/" : fromDatabase;
}

std::string moviesFolder() {
    const std::string home = homeFolder();
    std::error_code error;
    for (const std::string& candidate : {xdgVideosFolder(home), home + "/Videos"}) {
        if (!candidate.empty() && fs::is_directory(candidate, error)) {
            return candidate;
        }
    }
    return home;
}

std::string expandTilde(const std::string& path) {
    if (path.empty() || path[0] != '~') {
        return path;
    }
    const size_t slash = path.find('/');
    const std::string user =
        path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string home = user.empty() ? homeFolder() : homeOfUser(user);
    if (home.empty()) {
        return path;  // an unknown user: the path is left as written
    }
    // A home written with a trailing slash ("/home/me/") gives "/home/me/x", not "//x".
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
    // "/" as home with a rest "/x" should give "/x", not "//x".
    if (home == "/" && !rest.empty()) {
        return rest;
    }
    return home + rest;
}

}  // namespace zarvo
