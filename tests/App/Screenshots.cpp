#include "tests/App/Screenshots.h"

#include <QApplication>
#include <QDir>

namespace zarvo::test {

QString screenshotFolder() {
    const QString folder = QStringLiteral(ZARVO_SCREENSHOTS_DIR);
    QDir().mkpath(folder);
    return folder;
}

QImage saveScreenshot(QWidget& widget, const QString& name, QSize size) {
    if (size.isValid()) {
        widget.resize(size);
    } else {
        widget.adjustSize();
    }
    widget.show();
    QApplication::processEvents();
    QImage image = widget.grab().toImage();
    image.save(screenshotFolder() + "/" + name + ".png", "PNG");
    return image;
}

}  // namespace zarvo::test
