#include "App/AppDelegate.h"

#include <QApplication>

#include <chrono>
#include <csignal>
#include <string>

#include "App/HeadlessApp.h"
#include "App/QtMainQueue.h"
#include "App/QuitSignalWatcher.h"
#include "App/RecorderModel.h"
#include "App/language/AppLanguage.h"
#include "App/language/ToolkitTranslations.h"
#include "App/ui/AppCommands.h"
#include "App/ui/MainWindow.h"
#include "App/ui/Theme.h"
#include "App/updater/ZarvoUpdater.h"
#include "engine/RecorderController.h"
#include "platform/Log.h"
#include "sources/NDILibrary.h"

namespace zarvo::app {

namespace {
constexpr double kErrorDisplayTime = 6.0;
}

std::unique_ptr<AppDelegate> AppDelegate::create() {
    std::unique_ptr<AppDelegate> delegate(new AppDelegate());
    delegate->mainQueue_ = std::make_unique<QtMainQueue>();
    language::useMainQueue(delegate->mainQueue_.get());
    delegate->recorder_ = startRecorder(*delegate->mainQueue_);
    if (!delegate->recorder_) {
        language::useMainQueue(nullptr);
        return nullptr;
    }
    const auto& controller = delegate->recorder_->controller();
    // The language is stored in the recorder's own settings store: one store per file.
    language::useStandardDefaults(controller->defaults());
    delegate->translations_ = std::make_unique<ToolkitTranslations>(*qApp);
    delegate->model_ = std::make_unique<RecorderModel>(controller, kErrorDisplayTime,
                                                       NDILibrary::sharedLibrary()->reason());
    AppDelegate* self = delegate.get();
    // Installing an update ends the program through the quit path, so a take is finished first.
    delegate->updater_ = std::make_unique<ZarvoUpdater>(ZarvoUpdater::processOptions(
        delegate->mainQueue_.get(), controller->defaults(), [self] { self->quit(); }));
    delegate->window_ = std::make_unique<MainWindow>(*delegate->model_, [self] { self->quit(); });
    delegate->commands_ =
        new AppCommands(*delegate->window_, *delegate->model_, *delegate->updater_);

    // A quit signal becomes a main-queue task that takes the same path as the menu.
    QtMainQueue* queue = delegate->mainQueue_.get();
    delegate->signals_ = QuitSignalWatcher::create([queue, self](int signal) {
        queue->post([self, signal] {
            logLine(std::string("Quitting on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
            self->quit();
        });
    });
    if (!delegate->signals_) {
        logLine("ZarvoRecorder cannot watch for quit signals");
    }
    return delegate;
}

AppDelegate::~AppDelegate() {
    // No task may reach a queue that is going; the window and the model before the recorder
    // they read; the recorder before the queue its timers run on.
    signals_.reset();
    window_.reset();
    model_.reset();
    updater_.reset();
    translations_.reset();
    recorder_.reset();
    language::useMainQueue(nullptr);
    mainQueue_.reset();
}

void AppDelegate::quit() {
    recorder_->quit([this] {
        window_->allowClose();
        window_->close();
        QCoreApplication::quit();
    });
}

int runWithWindow(int argc, char** argv, const char* platform) {
    qputenv("QT_QPA_PLATFORM", platform);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZarvoRecorder"));
    QApplication::setDesktopFileName(QStringLiteral("zarvo-recorder"));
    // Closing the window goes through the quit path, which ends the loop itself.
    QApplication::setQuitOnLastWindowClosed(false);
    theme::apply(application);
    auto delegate = AppDelegate::create();
    if (!delegate) {
        return 1;
    }
    delegate->window().show();
    logLine("ZarvoRecorder is running with its window");
    // The silent check at launch, once a day at most, never under tests or without a window.
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    ZarvoUpdater& updater = delegate->updater();
    if (updater.shouldAutoCheck(now, ZarvoUpdater::isRunningTestsOrHeadless())) {
        updater.checkForUpdates(true, now);
    }
    const int status = QApplication::exec();
    delegate.reset();
    return status;
}

}  // namespace zarvo::app
