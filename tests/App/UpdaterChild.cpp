// The running application of the installation test: an application folder's program that
// checks the manifest at ZARVO_UPDATE_URL, installs what it finds over its folder and quits,
// as the real one does from its update sheet. Started again with --replace-application, it is
// the replacer.
//
//   zarvo_updater_child APP_FOLDER SETTINGS_FILE
//
// Prints "state NAME" for each state it goes through; exits 0 once it quit to be replaced, 1
// when the update failed (its message printed), 2 on bad arguments.

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "App/language/AppLanguage.h"
#include "App/updater/ZarvoUpdater.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"

int main(int argc, char** argv) {
    using namespace zarvo;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (!arguments.empty() && arguments[0] == ZarvoUpdater::kReplaceArgument) {
        return replacementMain(arguments);
    }
    if (arguments.size() != 2) {
        std::fputs("usage: zarvo_updater_child APP_FOLDER SETTINGS_FILE\n", stderr);
        return 2;
    }
    language::resetForTesting(AppLanguage::en);
    RunLoop loop;
    bool quit = false;
    int status = 1;
    auto defaults = std::make_shared<UserDefaults>(arguments[1]);
    auto options = ZarvoUpdater::processOptions(&loop, defaults, [&] {
        quit = true;
        status = 0;
    });
    options.currentAppPath = arguments[0];
    options.infoDictionary = bundleInfo(arguments[0]);
    ZarvoUpdater updater(options);

    ScopedObserver observer(
        NotificationCenter::defaultCenter(), ZarvoUpdater::kDidChangeNotification, &updater,
        [&](const NotificationCenter::Notification&) {
            static const char* names[] = {"upToDate", "updateAvailable", "downloading", "failed",
                                          "idle",     "checking",        "installing"};
            const auto& state = updater.state();
            std::printf("state %s\n", names[state.index()]);
            std::fflush(stdout);
            if (const auto* available = std::get_if<ZarvoUpdater::UpdateAvailable>(&state)) {
                const ReleaseInfo release = available->release;
                loop.post([&updater, release] { updater.downloadAndInstall(release); });
            } else if (const auto* failed = std::get_if<ZarvoUpdater::Failed>(&state)) {
                std::printf("message %s\n", failed->message.c_str());
                quit = true;
            } else if (std::holds_alternative<ZarvoUpdater::UpToDate>(state)) {
                quit = true;
            }
        });
    updater.checkForUpdates(false, static_cast<double>(std::time(nullptr)));
    loop.runUntil([&] { return quit; }, 300);
    std::fflush(stdout);
    return status;
}
