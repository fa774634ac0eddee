#include "platform/HomeFolder.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

std::string HomeDirectory() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return "";
}

namespace {

// True when path is (or could be made) a directory only we can reach.
bool MakePrivateFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return false;
    }
    return S_ISDIR(info.st_mode) && info.st_uid == getuid() && (info.st_mode & 077) == 0;
}

}  // namespace

std::string SafeFallbackFolder() {
    const std::string uid = std::to_string(getuid());
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string candidate = std::string(runtime) + "/zingwell";
        if (MakePrivateFolder(candidate)) {
            return candidate;
        }
    }
    std::string candidate = "/tmp/zingwell-" + uid;
    if (MakePrivateFolder(candidate)) {
        return candidate;
    }
    // Someone else holds the usual name: take a fresh one that mkdtemp makes ours alone.
    std::string pattern = "/tmp/zingwell-" + uid + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        return pattern;
    }
    return "";
}
