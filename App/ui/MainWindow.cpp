#include "App/ui/MainWindow.h"

#include <QCloseEvent>
#include <QIcon>
#include <QMenuBar>
#include <QPixmap>

#include <utility>

#include "App/icon/IconPainter.h"
#include "App/ui/ContentView.h"
#include "App/ui/MenuBar.h"
#include "App/ui/Theme.h"

namespace zarvo {

MainWindow::MainWindow(RecorderModel& model, std::function<void()> quit) : quit_(std::move(quit)) {
    setWindowTitle(QStringLiteral("ZarvoRecorder"));
    QIcon icon;
    for (int pixels : {16, 32, 48, 64, 128, 256}) {
        icon.addPixmap(QPixmap::fromImage(iconImage(pixels)));
    }
    setWindowIcon(icon);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kDefaultWidth, kDefaultHeight);
    content_ = new ContentView(model, this);
    setCentralWidget(content_);
    menus_ = new MenuBar(*menuBar(), model, [this] {
        if (quit_) {
            quit_();
        }
    });
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closeAllowed_ || !quit_) {
        event->accept();
        return;
    }
    // The quit path decides: at once while idle, after the movies are finished otherwise.
    event->ignore();
    quit_();
}

}  // namespace zarvo
