#include "App/AppStartup.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "engine/RecorderController.h"
#include "platform/AppBundle.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Thread.h"
#include "platform/gpu/Device.h"
#include "sources/CompositeDirectory.h"
#include "sources/ComputerSound.h"
#include "sources/NDIDirectory.h"
#include "sources/NDILibrary.h"
#include "sources/PipeWireDirectory.h"
#include "sources/SyphonDirectory.h"

namespace zarvo::app {

const std::vector<std::string>& migratedKeys() {
    static const std::vector<std::string> keys = {
        "RecorderCodec",   "RecorderWidth",  "RecorderHeight", "RecorderFPS",
        "RecorderBitrate", "RecorderFolder", "RecorderName"};
    return keys;
}

void migrateSettings(const UserDefaults& source, UserDefaults& destination) {
    if (destination.boolForKey(kMigratedKey)) {
        return;
    }
    destination.setBool(kMigratedKey, true);
    const nlohmann::json from = source.storedValues();
    const nlohmann::json to = destination.storedValues();
    for (const std::string& key : migratedKeys()) {
        auto value = from.find(key);
        if (value != from.end() && !value->is_null() && !to.contains(key)) {
            destination.setObject(key, *value);
        }
    }
    // The copy is made once: it is in the file before the recorder starts, so anything that
    // reads the file from now on (another store, the next start) finds the copied values.
    destination.synchronize();
}

std::string ndiStatusLine(const NDILibrary& library) {
    if (library.isAvailable()) {
        return "NDI is on: " + library.version() + " (" + library.path().value_or("") + ")";
    }
    return "NDI is off: " + library.reason();
}

Arguments parseArguments(const std::vector<std::string>& arguments) {
    Arguments parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--headless") {
            parsed.headless = true;
        } else if (argument == "--lang" || argument == "-AppleLanguage") {
            // The interface language, read by the window; its value follows.
            ++i;
        } else if (argument.rfind("--lang=", 0) == 0) {
            continue;  // likewise, in one argument
        } else if (argument == "--help" || argument == "-h") {
            parsed.help = true;
        } else if (argument == "--version") {
            parsed.version = true;
        } else if (!parsed.error) {
            parsed.error = "unknown argument: " + argument;
        }
    }
    return parsed;
}

// --- Quit signals ------------------------------------------------------------------------------

namespace {

sigset_t quitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void QuitSignalWatcher::blockQuitSignals() {
    const sigset_t set = quitSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::unique_ptr<QuitSignalWatcher> QuitSignalWatcher::create(Handler handler) {
    const sigset_t set = quitSignals();
    const int signalFd = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (signalFd < 0) {
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd < 0) {
        ::close(signalFd);
        return nullptr;
    }
    std::unique_ptr<QuitSignalWatcher> watcher(
        new QuitSignalWatcher(signalFd, wakeFd, std::move(handler)));
    watcher->thread_ = std::thread([raw = watcher.get()] { raw->watch(); });
    return watcher;
}

QuitSignalWatcher::QuitSignalWatcher(int signalFd, int wakeFd, Handler handler)
    : signalFd_(signalFd), wakeFd_(wakeFd), handler_(std::move(handler)) {}

QuitSignalWatcher::~QuitSignalWatcher() {
    const uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    ::close(wakeFd_);
    ::close(signalFd_);
}

void QuitSignalWatcher::watch() {
    SetCurrentThreadName("quit-signals");
    for (;;) {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            const ssize_t got = ::read(signalFd_, &info, sizeof info);
            if (got == static_cast<ssize_t>(sizeof info)) {
                handler_(static_cast<int>(info.ssi_signo));
            }
        }
    }
}

// --- The headless application ------------------------------------------------------------------

std::unique_ptr<HeadlessApp> HeadlessApp::create(Options options) {
    if (options.mainQueue == nullptr || !options.defaults || !options.ndiLibrary) {
        Log("ZarvoRecorder cannot start: its main queue, settings or NDI library is missing");
        return nullptr;
    }
    gpu::DeviceRef device = gpu::Device::systemDefault();
    if (!device) {
        Log("ZarvoRecorder needs a GPU device, and none can be used");
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
        Log("ZarvoRecorder cannot start: the recorder could not be made");
        return nullptr;
    }
    app->controller_->setNdiAvailable(options.ndiLibrary->isAvailable());
    Log(ndiStatusLine(*options.ndiLibrary));

    HeadlessApp* self = app.get();
    self->loggedErrorCount_ = self->controller_->errorCount();
    self->errorLogger_ = ScopedObserver(
        NotificationCenter::defaultCenter(), kRecorderControllerDidChangeNotification,
        self->controller_.get(), [self](const auto&) {
            const auto& controller = *self->controller_;
            if (controller.errorCount() != self->loggedErrorCount_) {
                self->loggedErrorCount_ = controller.errorCount();
                if (!controller.error().empty()) {
                    Log("Error: " + controller.error());
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

void HeadlessApp::quit(std::function<void()> done) {
    if (quitting_) {
        return;
    }
    quitting_ = true;
    if (controller_->isRecording()) {
        Log("Finishing the recording before quitting");
        controller_->stopWithCompletionHandler(std::move(done));
    } else {
        done();
    }
}

std::unique_ptr<HeadlessApp> startRecorder(MainQueue& mainQueue) {
    const std::string domain = applicationDomain(BundleInfo(RunningBundlePath()));
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
