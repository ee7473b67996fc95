#include "tests/support/ControllerSetup.h"

#include <algorithm>

#include "engine/RecorderPlace.h"
#include "platform/UserDefaults.h"
#include "platform/gpu/Device.h"

namespace zarvo::test {

RecorderController::Options controllerOptions(MainQueue& mainQueue,
                                              std::shared_ptr<SourceDirectory> directory,
                                              const std::filesystem::path& settingsFile,
                                              NotificationCenter* center) {
    return {.mainQueue = &mainQueue,
            .device = gpu::Device::systemDefault(),
            .directory = std::move(directory),
            .computerSound = nullptr,
            .defaults = std::make_shared<UserDefaults>(settingsFile),
            .notificationCenter = center};
}

NetworkedController::NetworkedController(std::shared_ptr<SourceDirectory> directory,
                                         const std::filesystem::path& settingsFile) {
    auto options = controllerOptions(loop, std::move(directory), settingsFile, &center);
    options.queryServer = &server;
    controller = RecorderController::create(options);
}

void applyTakeSettings(RecorderController& controller, const TakeSettings& settings) {
    controller.setFolder(settings.folder.string());
    controller.setName(settings.name);
    controller.setOutput(settings.output);
    controller.setCodec(settings.codec);
    controller.setFps(settings.fps);
}

bool everyPlaceHasASize(const RecorderController& controller) {
    const auto places = controller.places();
    return std::all_of(places.begin(), places.end(),
                       [](const auto& place) { return place->width() >= 1; });
}

bool stopTake(RunLoop& loop, RecorderController& controller, double timeout) {
    bool stopped = false;
    controller.stopWithCompletionHandler([&] { stopped = true; });
    return loop.runUntil([&] { return stopped; }, timeout);
}

}  // namespace zarvo::test
