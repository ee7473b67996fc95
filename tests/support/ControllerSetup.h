#pragma once

// A recorder controller as the tests and the benchmarks set one up and drive its takes: on a run
// loop, over a directory of their choosing, without the computer's sound.

#include <filesystem>
#include <memory>
#include <string>

#include "engine/RecorderController.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "remote/OSCQueryServer.h"

namespace zarvo::test {

// The options of a controller on the main queue over the directory, its settings kept in the
// file, its notifications posted on the centre.
RecorderController::Options controllerOptions(
    MainQueue& mainQueue, std::shared_ptr<SourceDirectory> directory,
    const std::filesystem::path& settingsFile,
    NotificationCenter* center = &NotificationCenter::defaultCenter());

// A controller with a notification centre, run loop and OSCQuery server of its own, for what
// reaches it over the network. The members are destroyed in reverse order: the controller
// first, the centre last.
struct NetworkedController {
    NetworkedController(std::shared_ptr<SourceDirectory> directory,
                        const std::filesystem::path& settingsFile);

    NotificationCenter center;
    RunLoop loop;
    OSCQueryServer server{loop};
    std::shared_ptr<RecorderController> controller;
};

// What the next take is to be: where its movies go, their name, which movies, their codec and
// rate (0 keeps every frame).
struct TakeSettings {
    std::filesystem::path folder;
    std::string name;
    std::string output;
    std::string codec = "h264";
    double fps = 30;
};
void applyTakeSettings(RecorderController& controller, const TakeSettings& settings);

// Every place knows its source's picture size: each source is connected and has sent a frame.
bool everyPlaceHasASize(const RecorderController& controller);

// Stops the take and runs the loop until its movies are finished; whether that happened within
// the time-out.
bool stopTake(RunLoop& loop, RecorderController& controller, double timeout = 30);

}  // namespace zarvo::test
