// Widget tests run in one QApplication on the offscreen platform, with a settings file of their
// own (windows remember how the user left them).
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "app/settings.h"
#include "test_support.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing_support::TempDir settings;
    SetSettingsFile(settings.File("NORVELCO.conf"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
