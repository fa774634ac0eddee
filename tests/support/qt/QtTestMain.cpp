// Test programs for widgets: a temporary home as for every test, and an offscreen QApplication.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <filesystem>

#include "support/Skip.h"
#include "support/TestPaths.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    FailSkipsInCi();
    std::string root = TestPaths::CreateRoot();
    int result = 0;
    {
        QApplication app(argc, argv);
        result = RUN_ALL_TESTS();
    }
    if (getenv("ZINGWELL_KEEP_TEST_FILES") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    return result;
}
