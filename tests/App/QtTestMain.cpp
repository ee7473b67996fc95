// The interface tests run on the toolkit's offscreen platform, with one application object for
// the whole program, made before any test.

#include <QApplication>

#include <gtest/gtest.h>

#include "App/ui/Theme.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The same text under every desktop: the tests choose their languages themselves.
    qputenv("LANGUAGE", "en_US");
    QApplication application(argc, argv);
    zarvo::theme::apply(application);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
