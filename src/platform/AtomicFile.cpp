#include "platform/AtomicFile.h"

#include "platform/WriteAll.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

std::string TemporaryPrefixFor(std::string_view fileName) {
    return "." + std::string(fileName) + ".tmp-";
}

bool WriteFileAtomically(const std::string& path, std::string_view contents, mode_t mode) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temporary = folder + "/" + TemporaryPrefixFor(name) + "XXXXXX";

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
