#pragma once

// The recorder as it runs without a window, and the start both programs share.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"

namespace zarvo {

class MainQueue;
class NDILibrary;
class RecorderController;

namespace app {

// The line logged at startup about the NDI runtime: "NDI is on: VERSION (PATH)" or
// "NDI is off: REASON".
std::string ndiStatusLine(const NDILibrary& library);

// The network ports used when the environment names none.
inline constexpr long kDefaultOSCPort = 9230;
inline constexpr long kDefaultOSCQueryPort = 9231;
// The name the recorder announces over OSCQuery.
inline constexpr const char* kNetworkName = "ZarvoRecorder";

// A port from an environment variable's text (null when unset): a decimal integer with an
// optional sign and nothing else; `fallback` when the text is empty or anything else.
long portFromEnvironment(const char* text, long fallback);

// The running recorder without a window: the settings, the source directories, the computer
// sound and the controller. Made and used on the main thread.
class HeadlessApp {
  public:
    struct Options {
        MainQueue* mainQueue = nullptr;
        std::shared_ptr<UserDefaults> defaults;  // our own domain, already migrated
        std::shared_ptr<const NDILibrary> ndiLibrary;
        long oscPort = kDefaultOSCPort;         // the first UDP port tried for OSC
        long queryPort = kDefaultOSCQueryPort;  // the first TCP port tried for OSCQuery
    };

    // nullptr with the reason logged when no GPU device can be used or the controller cannot
    // be made. A port that cannot be had is only the recorder's error: it runs on without
    // that service.
    static std::unique_ptr<HeadlessApp> create(Options options);
    ~HeadlessApp();
    HeadlessApp(const HeadlessApp&) = delete;
    HeadlessApp& operator=(const HeadlessApp&) = delete;

    const std::shared_ptr<RecorderController>& controller() const { return controller_; }

    // The quit path: while recording or finishing, the take is stopped and `done` runs once its
    // movies are finished; otherwise `done` runs at once. Later requests while the first is
    // pending are ignored, so `done` runs only once.
    void quit(std::function<void()> done);

  private:
    HeadlessApp() = default;

    std::shared_ptr<RecorderController> controller_;
    // Without a window the recorder's errors are written to the log as they happen.
    ScopedObserver errorLogger_;
    uint64_t loggedErrorCount_ = 0;
    bool quitting_ = false;
};

// The recorder as both programs start it: the application's settings domain (migrated once
// from the older client), the NDI runtime and the ports from the environment, then
// HeadlessApp::create on `mainQueue`. nullptr with the reason logged.
std::unique_ptr<HeadlessApp> startRecorder(MainQueue& mainQueue);

}  // namespace app
}  // namespace zarvo
