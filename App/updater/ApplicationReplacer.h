#pragma once

// The replacement of the installed application folder by a verified new one. It runs in a
// program of its own (the running program started again with --replace-application), detached
// from the application, which quits meanwhile: the folder is never replaced under a running copy.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "App/updater/UpdateErrors.h"

namespace zarvo {

// The hidden command line of the replacer: PROGRAM --replace-application PID NEW DEST WORK.
inline constexpr const char* kReplaceArgument = "--replace-application";

// Starts the replacer detached from this process; it waits for `waitFor` to end, swaps the
// folders, removes the work folder and starts the new copy.
std::optional<UpdaterError> spawnDetachedReplacement(const std::filesystem::path& program,
                                                     pid_t waitFor,
                                                     const std::filesystem::path& newApp,
                                                     const std::filesystem::path& destination,
                                                     const std::filesystem::path& workFolder);

// The replacer's work, run by the program started with --replace-application: waits at most
// `waitSeconds` for process `waitFor` to end; moves or copies `newApp` beside `destination`,
// swaps the two folders in one rename, removes the old copy and `workFolder`, then starts
// destination/bin/zarvo-recorder detached when `relaunch`. Any failure before the swap leaves
// the destination as it was. Returns whether the new copy is in place.
bool replaceApplication(pid_t waitFor, const std::filesystem::path& newApp,
                        const std::filesystem::path& destination,
                        const std::filesystem::path& workFolder, bool relaunch,
                        double waitSeconds = 600);

// The replacer's entry point: `arguments` after the program's name, beginning with
// --replace-application. Returns the exit status.
int replacementMain(const std::vector<std::string>& arguments);

}  // namespace zarvo
