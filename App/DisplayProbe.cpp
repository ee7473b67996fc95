#include "App/DisplayProbe.h"

#include <dlfcn.h>

#include <QDir>
#include <QLibraryInfo>

#include <cstdlib>
#include <sstream>
#include <vector>

namespace zarvo::app {
namespace {

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> names;
    std::stringstream stream(text);
    std::string name;
    while (std::getline(stream, name, ';')) {
        // "xcb:option" carries options after the name.
        name = name.substr(0, name.find(':'));
        if (!name.empty()) {
            names.push_back(name);
        }
    }
    return names;
}

bool isSet(const char* value) {
    return value != nullptr && *value != '\0';
}

// Opens a library and calls a connect/disconnect pair through it.
template <typename Connect>
bool tryWith(const char* library, Connect connect) {
    void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        return false;
    }
    const bool connected = connect(handle);
    ::dlclose(handle);
    return connected;
}

bool connectX11() {
    return tryWith("libxcb.so.1", [](void* handle) {
        using ConnectFn = void* (*)(const char*, int*);
        using ErrorFn = int (*)(void*);
        using DisconnectFn = void (*)(void*);
        auto connect = reinterpret_cast<ConnectFn>(::dlsym(handle, "xcb_connect"));
        auto hasError = reinterpret_cast<ErrorFn>(::dlsym(handle, "xcb_connection_has_error"));
        auto disconnect = reinterpret_cast<DisconnectFn>(::dlsym(handle, "xcb_disconnect"));
        if (!connect || !hasError || !disconnect) {
            return false;
        }
        void* connection = connect(nullptr, nullptr);
        // xcb_connect always gives a connection object, in an error state when it failed.
        const bool ok = connection != nullptr && hasError(connection) == 0;
        if (connection) {
            disconnect(connection);
        }
        return ok;
    });
}

bool connectWayland() {
    return tryWith("libwayland-client.so.0", [](void* handle) {
        using ConnectFn = void* (*)(const char*);
        using DisconnectFn = void (*)(void*);
        auto connect = reinterpret_cast<ConnectFn>(::dlsym(handle, "wl_display_connect"));
        auto disconnect = reinterpret_cast<DisconnectFn>(::dlsym(handle, "wl_display_disconnect"));
        if (!connect || !disconnect) {
            return false;
        }
        void* display = connect(nullptr);
        if (display) {
            disconnect(display);
        }
        return display != nullptr;
    });
}

bool platformPluginExists(const std::string& platform) {
    const QDir folder(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
    const QString name = QString::fromStdString(platform);
    // "wayland" is served by the generic Wayland plug-in; others by libq<name>.so.
    const QStringList candidates =
        platform == "wayland" ? QStringList{QStringLiteral("libqwayland-generic.so"),
                                            QStringLiteral("libqwayland-egl.so")}
                              : QStringList{QStringLiteral("libq") + name + QStringLiteral(".so")};
    for (const QString& candidate : candidates) {
        if (folder.exists(candidate)) {
            return true;
        }
    }
    return false;
}

}  // namespace

DisplayProbe DisplayProbe::system() {
    return {
        .environment = [](const char* name) { return std::getenv(name); },
        .pluginExists = platformPluginExists,
        .canConnectX11 = connectX11,
        .canConnectWayland = connectWayland,
    };
}

std::optional<std::string> DisplayProbe::choosePlatform() const {
    std::vector<std::string> platforms;
    if (const char* named = environment("QT_QPA_PLATFORM"); isSet(named)) {
        platforms = split(named);
    } else {
        if (isSet(environment("WAYLAND_DISPLAY"))) {
            platforms.push_back("wayland");
        }
        if (isSet(environment("DISPLAY"))) {
            platforms.push_back("xcb");
        }
    }
    for (const std::string& platform : platforms) {
        if (!pluginExists(platform)) {
            continue;
        }
        if (platform == "xcb") {
            if (isSet(environment("DISPLAY")) && canConnectX11()) {
                return platform;
            }
        } else if (platform.rfind("wayland", 0) == 0) {
            if (canConnectWayland()) {
                return platform;
            }
        } else {
            return platform;
        }
    }
    return std::nullopt;
}

}  // namespace zarvo::app
