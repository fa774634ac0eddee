#include "core/ReceiveFolder.h"

#include <sys/stat.h>

#include <mutex>

#include "platform/HomeFolder.h"

namespace {
std::mutex folderMutex;
std::string cachedFolder;
}  // namespace

std::string GetReceiveFolder() {
    std::lock_guard<std::mutex> guard(folderMutex);
    if (!cachedFolder.empty()) {
        return cachedFolder;
    }
    const std::string home = HomeDirectory();
    const std::string inHome = home + "/Zingwell";
    cachedFolder = inHome;
    struct stat info {};
    // Anything of that name will do, even a plain file: the log and queue then fail quietly.
    if (!home.empty() && stat(inHome.c_str(), &info) == 0) {
        return cachedFolder;
    }
    // One level only, as the home itself is not ours to create.
    if (home.empty() || mkdir(inHome.c_str(), 0700) != 0) {
        const std::string fallback = SafeFallbackFolder();
        if (!fallback.empty()) {
            cachedFolder = fallback;
        }
    }
    return cachedFolder;
}
