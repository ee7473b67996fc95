#pragma once

#include <string>

namespace zarvo {

// The user's home folder ($HOME, else the password database).
std::string homeFolder();

// The user's folder for movies: the desktop's videos folder (XDG_VIDEOS_DIR in
// ~/.config/user-dirs.dirs, else ~/Videos) when it exists, otherwise the home folder.
std::string moviesFolder();

// Expands a leading "~" (the user's home) or "~name" (that user's home) in a path.
std::string expandTilde(const std::string& path);

}  // namespace zarvo
