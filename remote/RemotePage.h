#pragma once

#include <optional>
#include <string_view>

namespace zarvo {

// One file of the remote control page, built into the program.
struct RemotePageFile {
    std::string_view contentType;
    std::string_view bytes;
};

// The file served at a decoded path: the page itself at "/remote" and "/remote/", its script
// and style under "/remote/"; none for any other path.
std::optional<RemotePageFile> remotePageFile(std::string_view path);

}  // namespace zarvo
