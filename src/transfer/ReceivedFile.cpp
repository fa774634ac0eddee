#include "transfer/ReceivedFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "core/ActivityLog.h"
#include "platform/WriteAll.h"
#include "transfer/ReceivedName.h"

namespace {

// Sixteen hex digits that no other receiver, in this process or another, is likely to pick.
std::string RandomSuffix() {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) {
        static std::atomic<uint64_t> counter{0};
        value = (static_cast<uint64_t>(getpid()) << 40) ^ ++counter ^
                static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

ReceivedFile::~ReceivedFile() {
    Discard();
    if (dir_ >= 0) {
        close(dir_);
    }
}

void ReceivedFile::Announce(const std::string& name) {
    WriteLog("Incoming file: ");
    WriteLog(received_name::ForLog(name));
    WriteLog("\n");
}

bool ReceivedFile::Create(const std::string& name) {
    Discard();
    if (dir_ < 0) {
        dir_ = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_ < 0) {
            return false;
        }
    }
    // A folder cannot be replaced by a file: refuse it now rather than after the whole body.
    struct stat info {};
    if (fstatat(dir_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)) {
        return false;
    }
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        const std::string temporary = std::string(received_name::kTemporaryPrefix) + RandomSuffix();
        // The same mode a file created under its own name would get.
        fd_ = openat(dir_, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0666);
        if (fd_ >= 0) {
            temporary_ = temporary;
        } else if (errno != EEXIST) {
            return false;
        }
    }
    if (fd_ < 0) {
        return false;
    }
    // Held while the file is ours: tells a starting receiver that it is not stale.
    flock(fd_, LOCK_EX | LOCK_NB);
    name_ = name;
    return true;
}

bool ReceivedFile::Write(const char* data, size_t length) {
    return fd_ >= 0 && WriteAll(fd_, data, length);
}

bool ReceivedFile::Publish() {
    if (fd_ < 0) {
        return false;
    }
    // Renamed while still open and locked, so that no starting receiver takes it for stale.
    if (renameat(dir_, temporary_.c_str(), dir_, name_.c_str()) != 0) {
        Discard();
        return false;
    }
    close(fd_);
    fd_ = -1;
    temporary_.clear();
    return true;
}

void ReceivedFile::Discard() {
    if (fd_ < 0) {
        return;
    }
    unlinkat(dir_, temporary_.c_str(), 0);
    close(fd_);
    fd_ = -1;
    temporary_.clear();
}

void ReceivedFile::RemoveStale(const std::string& folder) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    const int dir = dirfd(listing);
    while (dirent* entry = readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name.substr(0, received_name::kTemporaryPrefix.size()) !=
            received_name::kTemporaryPrefix) {
            continue;
        }
        const int fd = openat(dir, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
            unlinkat(dir, entry->d_name, 0);
        }
        close(fd);
    }
    closedir(listing);
}
