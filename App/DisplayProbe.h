#pragma once

#include <functional>
#include <optional>
#include <string>

namespace zarvo::app {

// Which of the toolkit's platforms can open the desktop's display now, tried before the
// toolkit is started (it ends the program when its platform cannot be opened). The platform
// list is QT_QPA_PLATFORM's (names separated by ";") when set, else Wayland when
// WAYLAND_DISPLAY is set, then X11 ("xcb") when DISPLAY is set. A display platform is taken
// when a connection to its server can be made and its plug-in is installed; the platforms
// that need no server (offscreen, vnc…) are taken as they are. None when nothing can be
// opened: the program then runs without a window.
struct DisplayProbe {
    std::function<const char*(const char*)> environment;            // getenv
    std::function<bool(const std::string& platform)> pluginExists;  // the toolkit's plug-in
    std::function<bool()> canConnectX11;
    std::function<bool()> canConnectWayland;

    // The probe of this machine: the process environment, the toolkit's plug-in folder, and
    // connections to the X and Wayland servers through their client libraries (loaded only
    // for the test, so the program does not depend on them).
    static DisplayProbe system();

    std::optional<std::string> choosePlatform() const;
};

}  // namespace zarvo::app
