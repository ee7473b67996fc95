// Draws the application icon into FOLDER/<size>x<size>/apps/zarvo-recorder.png for each size
// given, as the desktop's icon themes lay them out.
//   zarvo-render-icons FOLDER SIZE...

#include <QDir>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "App/icon/IconPainter.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: zarvo-render-icons FOLDER SIZE...\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size <= 0 || size > 4096) {
            std::fprintf(stderr, "zarvo-render-icons: not a size: %s\n", argv[i]);
            return 2;
        }
        const QString name = QStringLiteral("%1x%1").arg(size);
        const QString path = folder + "/" + name + "/apps";
        if (!QDir().mkpath(path) ||
            !zarvo::iconImage(size).save(path + "/zarvo-recorder.png", "PNG")) {
            std::fprintf(stderr, "zarvo-render-icons: cannot write %s\n",
                         (path + "/zarvo-recorder.png").toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
