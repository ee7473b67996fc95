#include "App/HeadlessApp.h"

#include <charconv>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "App/SettingsMigration.h"
#include "engine/RecorderController.h"
#include "platform/AppBundle.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/gpu/Device.h"
#include "sources/CompositeDirectory.h"
#include "sources/ComputerSound.h"
#include "sources/NDIDirectory.h"
#include "sources/NDILibrary.h"
#include "sources/PipeWireDirectory.h"
#include "sources/SyphonDirectory.h"

namespace zarvo::app {

std::string ndiStatusLine(const NDILibrary& library) {
    if (library.isAvailable()) {
        return "NDI is on: " + library.version() + " (" + library.path().value_or("") + ")";
    }
    return "NDI is off: " + library.reason();
}

long portFromEnvironment(const char* text, long fallback) {
    if (text == nullptr) {
        return fallback;
    }
    std::string_view digits(text);
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);  // from_chars takes a minus sign only
    }
    long port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return fallback;
    }
    return port;
}

std::unique_ptr<HeadlessApp> HeadlessApp::create(Options options) {
    if (options.mainQueue == nullptr || !options.defaults || !options.ndiLibrary) {
        logLine("ZarvoRecorder cannot start: its main queue, settings or NDI library is missing");
        return nullptr;
    }
    gpu::DeviceRef device = gpu::Device::systemDefault();
    if (!device) {
        logLine("ZarvoRecorder needs a GPU device, and none can be used");
        return nullptr;
    }

    // Local sources are listed before NDI sources: the local-sharing layer's, then PipeWire's.
    MainQueue& mainQueue = *options.mainQueue;
    auto directory = CompositeDirectory::create(
        {SyphonDirectory::create(mainQueue), PipeWireDirectory::create(mainQueue),
         NDIDirectory::create(options.ndiLibrary, mainQueue)});

    std::unique_ptr<HeadlessApp> app(new HeadlessApp());
    app->controller_ = RecorderController::create({
        .mainQueue = &mainQueue,
        .device = std::move(device),
        .directory = std::move(directory),
        .computerSound = std::make_shared<ComputerSound>(),
        .defaults = std::move(options.defaults),
    });
    if (!app->controller_) {
        logLine("ZarvoRecorder cannot start: the recorder could not be made");
        return nullptr;
    }
    app->controller_->setNdiAvailable(options.ndiLibrary->isAvailable());
    logLine(ndiStatusLine(*options.ndiLibrary));

    HeadlessApp* self = app.get();
    self->loggedErrorCount_ = self->controller_->errorCount();
    self->errorLogger_ = ScopedObserver(
        NotificationCenter::defaultCenter(), kRecorderControllerDidChangeNotification,
        self->controller_.get(), [self](const auto&) {
            const auto& controller = *self->controller_;
            if (controller.errorCount() != self->loggedErrorCount_) {
                self->loggedErrorCount_ = controller.errorCount();
                if (!controller.error().empty()) {
                    logLine("Error: " + controller.error());
                }
            }
        });
    app->controller_->startNetwork(options.oscPort, options.queryPort, kNetworkName);
    return app;
}

HeadlessApp::~HeadlessApp() {
    // Before the controller goes, so the observer never reads a controller being destroyed.
    errorLogger_.reset();
}

void HeadlessApp::quit(std::function<void()> done) {
    if (quitting_) {
        return;
    }
    quitting_ = true;
    if (controller_->isRecording()) {
        logLine("Finishing the recording before quitting");
        controller_->stopWithCompletionHandler(std::move(done));
    } else {
        done();
    }
}

std::unique_ptr<HeadlessApp> startRecorder(MainQueue& mainQueue) {
    const std::string domain = applicationDomain(bundleInfo(runningBundlePath()));
    auto defaults = UserDefaults::forDomain(domain);
    migrateSettings(*UserDefaults::forDomain(kOlderClientDomain), *defaults);
    return HeadlessApp::create({
        .mainQueue = &mainQueue,
        .defaults = std::move(defaults),
        .ndiLibrary = NDILibrary::sharedLibrary(),
        .oscPort = portFromEnvironment(std::getenv("ZARVO_OSC_PORT"), kDefaultOSCPort),
        .queryPort = portFromEnvironment(std::getenv("ZARVO_OSCQUERY_PORT"), kDefaultOSCQueryPort),
    });
}

}  // namespace zarvo::app
