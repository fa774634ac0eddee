#include "platform/AtomicFile.h"

#include "platform/WriteAll.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What mkostemp fills in.
constexpr std::string_view kTemporarySuffix = "XXXXXX";

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
    const size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string TemporaryPrefixFor(std::string_view fileName) {
    return "." + std::string(fileName) + ".tmp-";
}

bool WriteFileAtomically(const std::string& path, std::string_view contents, mode_t mode) {
    std::string folder, name;
    SplitPath(path, folder, name);
    std::string temporary = folder + "/" + TemporaryPrefixFor(name) + std::string(kTemporarySuffix);

    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok =
        fchmod(fd, mode) == 0 && WriteAll(fd, contents.data(), contents.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable.
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

void RemoveStaleTemporaries(const std::string& path) {
    std::string folder, name;
    SplitPath(path, folder, name);
    const std::string prefix = TemporaryPrefixFor(name);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (dirent* entry = readdir(dir)) {
        const std::string_view found = entry->d_name;
        if (found.size() == prefix.size() + kTemporarySuffix.size() &&
            found.substr(0, prefix.size()) == prefix) {
            unlinkat(dirfd(dir), entry->d_name, 0);  // a folder of that name stays
        }
    }
    closedir(dir);
}
