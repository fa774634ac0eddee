#include "platform/RuntimeFolder.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/HomeFolder.h"

namespace {

// Makes the folder and any missing parent (mode 0700), and closes it to others if it is ours
// but was made too open; true when it ends a private folder of ours.
bool MakePrivateFolder(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_uid == getuid() && (info.st_mode & 077) != 0) {
        fchmod(fd, 0700);
    }
    close(fd);
    return IsPrivateFolder(path);
}

}  // namespace

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
    // Not in /tmp, where another user could take the name first and so switch the guard off.
    const char* cache = getenv("XDG_CACHE_HOME");
    std::string folder;
    if (cache != nullptr && cache[0] == '/') {
        folder = cache;
    } else if (const std::string home = HomeDirectory(); home.size() > 1 && home[0] == '/') {
        folder = home + "/.cache";
    } else {
        return "";
    }
    folder += "/zingwell/run";
    return MakePrivateFolder(folder) ? folder : "";
}
