#include "support/TestPaths.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <stdexcept>

namespace {
std::string root;
}

std::string TestPaths::CreateRoot() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/zingwell-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    root = pattern;
    mkdir((root + "/home").c_str(), 0700);
    mkdir((root + "/config").c_str(), 0700);
    mkdir((root + "/system").c_str(), 0755);
    mkdir((root + "/run").c_str(), 0700);
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("ZINGWELL_SYSTEM_DIR", (root + "/system").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    return root;
}

std::string TestPaths::Root() {
    return root;
}
std::string TestPaths::Home() {
    return root + "/home";
}
std::string TestPaths::ReceiveFolder() {
    return root + "/home/Zingwell";
}
std::string TestPaths::UserRegistry() {
    return root + "/config/zingwell/user.reg";
}
std::string TestPaths::SystemRegistry() {
    return root + "/system/system.reg";
}

std::string TestPaths::NewFolder(const std::string& name) {
    static std::atomic<int> counter{0};
    std::string path = root + "/" + name + "-" + std::to_string(counter++);
    mkdir(path.c_str(), 0700);
    return path;
}
