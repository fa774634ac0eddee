#include "platform/RuntimeFolder.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

bool IsPrivateFolder(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & 077) == 0;
}

std::string RuntimeFolder() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && IsPrivateFolder(runtime)) {
        return runtime;
    }
    const std::string fallback = "/tmp/zingwell-" + std::to_string(getuid()) + ".run";
    mkdir(fallback.c_str(), 0700);
    return IsPrivateFolder(fallback) ? fallback : "";
}
