#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

namespace zarvo::test {

// Where the interface tests write their pictures: build/screenshots/ of the project.
QString screenshotFolder();

// Lays the widget out at its size (or `size` when given), renders it and writes
// screenshotFolder()/NAME.png. Returns the picture.
QImage saveScreenshot(QWidget& widget, const QString& name, QSize size = {});

}  // namespace zarvo::test
