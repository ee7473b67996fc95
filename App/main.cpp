// zarvo-recorder: the recorder application. With a display it opens its window; with
// --headless, or when no display can be opened, it runs the same engine without a window. Either
// way it listens for OSC (UDP, ZARVO_OSC_PORT, 9230 by default) and OSCQuery (TCP,
// ZARVO_OSCQUERY_PORT, 9231 by default), logs to standard error, and on SIGTERM or SIGINT (or,
// with the window, Quit or closing it) finishes a running take and exits 0.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "App/AppDelegate.h"
#include "App/CommandLine.h"
#include "App/DisplayProbe.h"
#include "App/HeadlessApp.h"
#include "App/QuitSignalWatcher.h"
#include "App/language/AppLanguage.h"
#include "App/updater/ZarvoUpdater.h"
#include "engine/RecorderController.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace {

constexpr const char* kUsage =
    "usage: zarvo-recorder [--headless] [--lang fr|en|system] [--version]\n"
    "Records the chosen sources. Opens its window when a display can be opened; with\n"
    "--headless or without a display it runs without a window. SIGTERM or SIGINT finishes a\n"
    "running recording and quits. Controlled over OSC (UDP port ZARVO_OSC_PORT, default 9230)\n"
    "and OSCQuery (TCP port ZARVO_OSCQUERY_PORT, default 9231).\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace zarvo;

    // The updater's replacer: this program started again, detached, to put a new version of
    // the application in place once this copy has quit.
    if (argc > 1 && std::string(argv[1]) == ZarvoUpdater::kReplaceArgument) {
        return replacementMain(std::vector<std::string>(argv + 1, argv + argc));
    }

    // Before any thread exists, so that every thread inherits the mask and the signals reach
    // only the watcher.
    app::QuitSignalWatcher::blockQuitSignals();
    // A log reader that goes away must not end the program in the middle of a recording.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> commandLine(argv + 1, argv + argc);
    const app::Arguments arguments = app::parseArguments(commandLine);
    if (arguments.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (arguments.version) {
        // The installed copy's short version, "dev" in the build tree.
        std::printf("%s\n", RecorderController::version().c_str());
        return 0;
    }
    if (arguments.error) {
        std::fprintf(stderr, "zarvo-recorder: %s\n%s", arguments.error->c_str(), kUsage);
        return 2;
    }

    // The interface language named on the command line, for the window and the updater.
    language::useLaunchArguments(std::move(commandLine));

    if (!arguments.headless) {
        if (const auto platform = app::DisplayProbe::system().choosePlatform()) {
            return app::runWithWindow(argc, argv, platform->c_str());
        }
        logLine("No display can be opened: ZarvoRecorder runs without a window");
    }

    RunLoop mainLoop;
    auto application = app::startRecorder(mainLoop);
    if (!application) {
        return 1;
    }

    // A quit signal becomes a main-queue task that takes the quit path.
    auto watcher = app::QuitSignalWatcher::create([&mainLoop, &application](int signal) {
        mainLoop.post([&mainLoop, &application, signal] {
            logLine(std::string("Quitting on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
            if (application) {
                application->quit([&mainLoop] { mainLoop.stop(); });
            }
        });
    });
    if (!watcher) {
        logLine("ZarvoRecorder cannot watch for quit signals");
        return 1;
    }

    logLine("ZarvoRecorder is running without a window");
    mainLoop.run();

    // The watcher first, so no task is posted to a loop that no longer runs; the recorder
    // before the loop its timers run on.
    watcher.reset();
    application.reset();
    return 0;
}
