#pragma once

#include <string>

// Where the current test process keeps its files.
class TestPaths {
public:
    // Makes the temporary root and points HOME, XDG_CONFIG_HOME, ZINGWELL_SYSTEM_DIR and
    // XDG_RUNTIME_DIR into it. Called once by the test main.
    static std::string CreateRoot();

    static std::string Root();
    static std::string Home();            // $HOME
    static std::string ReceiveFolder();   // $HOME/Zingwell (not created here)
    static std::string UserRegistry();    // the per-user registry file
    static std::string SystemRegistry();  // the per-machine registry file
    // A new empty folder under the root, for a test's own files.
    static std::string NewFolder(const std::string& name);
};
