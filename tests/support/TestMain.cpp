// Every test process gets a home, a registry and a runtime folder of its own, removed at
// the end, so that no test sees another's files and none touches the user's.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/Skip.h"
#include "support/TestPaths.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    FailSkipsInCi();
    std::string root = TestPaths::CreateRoot();
    int result = RUN_ALL_TESTS();
    if (getenv("ZINGWELL_KEEP_TEST_FILES") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    return result;
}
