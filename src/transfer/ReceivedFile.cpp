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
#include "transfer/PartStore.h"
#include "transfer/ReceivedName.h"

namespace {

// How far the numbering goes before a name counts as unusable.
constexpr int kMaxNumber = 10000;

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
    if (adopted_ && fd_ >= 0) {
        adopted_ = false;
        name_ = name;
        stored_.clear();
        return true;
    }
    Discard();
    if (dir_ < 0) {
        dir_ = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_ < 0) {
            return false;
        }
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
    stored_.clear();
    return true;
}

bool ReceivedFile::Write(const char* data, size_t length) {
    return fd_ >= 0 && WriteAll(fd_, data, length);
}

bool ReceivedFile::Publish() {
    if (fd_ < 0) {
        return false;
    }
    // Each try takes a name atomically only if it is free, so two arrivals racing for one
    // name never replace each other. Renamed while still open and locked, so that no starting
    // receiver takes it for stale.
    for (int n = 1; n <= kMaxNumber; ++n) {
        const std::string candidate = n == 1 ? name_ : NumberedName(name_, n);
        int result = renameat2(dir_, temporary_.c_str(), dir_, candidate.c_str(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the flag: a hard link is just as exclusive.
            result = linkat(dir_, temporary_.c_str(), dir_, candidate.c_str(), 0);
            if (result == 0) {
                unlinkat(dir_, temporary_.c_str(), 0);
            }
        }
        if (result == 0) {
            close(fd_);
            fd_ = -1;
            temporary_.clear();
            stored_ = candidate;
            if (n > 1) {
                WriteLog("Kept as " + received_name::ForLog(stored_) + "\n");
            }
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    Discard();
    return false;
}

std::string ReceivedFile::NumberedName(const std::string& name, int n) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    const size_t dot = name.rfind('.');
    std::string stem = name;
    std::string extension;
    // An extension too long to leave room for the suffix counts as part of the stem.
    if (dot != std::string::npos && dot > 0 &&
        name.size() - dot + suffix.size() < received_name::kMaxLength) {
        stem = name.substr(0, dot);
        extension = name.substr(dot);
    }
    const size_t room = received_name::kMaxLength - suffix.size() - extension.size();
    if (stem.size() > room) {
        stem.resize(room);
        // Never end inside a UTF-8 sequence.
        size_t lead = stem.size();
        while (lead > 0 && (static_cast<unsigned char>(stem[lead - 1]) & 0xC0) == 0x80) {
            --lead;
        }
        if (lead > 0) {
            const auto first = static_cast<unsigned char>(stem[lead - 1]);
            const size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
            if (stem.size() - (lead - 1) < length) {
                stem.resize(lead - 1);
            }
        }
    }
    return stem + suffix + extension;
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

bool ReceivedFile::Adopt(const std::string& temporary) {
    Discard();
    if (dir_ < 0) {
        dir_ = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_ < 0) {
            return false;
        }
    }
    const int fd = openat(dir_, temporary.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0) {
        return false;
    }
    // Looked at once locked: a part dropped meanwhile is unlinked, and publishing it would fail.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_nlink == 0) {
        close(fd);
        return false;
    }
    fd_ = fd;
    temporary_ = temporary;
    adopted_ = true;
    return true;
}

bool ReceivedFile::Restart() {
    return fd_ >= 0 && ftruncate(fd_, 0) == 0;  // O_APPEND: writes go to the new end
}

bool ReceivedFile::Keep(const std::string& keptName) {
    if (fd_ < 0) {
        return false;
    }
    if (temporary_ != keptName) {
        // A part kept there before is replaced, unless a connection is resuming it: its
        // publishing would otherwise take our bytes.
        const int held =
            openat(dir_, keptName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const bool busy = held >= 0 && flock(held, LOCK_EX | LOCK_NB) != 0;
        // Renamed while still locked, so that no starting receiver takes it for stale.
        const bool renamed =
            !busy && renameat(dir_, temporary_.c_str(), dir_, keptName.c_str()) == 0;
        if (held >= 0) {
            close(held);
        }
        if (!renamed) {
            Discard();
            return false;
        }
    }
    close(fd_);
    fd_ = -1;
    temporary_.clear();
    adopted_ = false;
    return true;
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
                received_name::kTemporaryPrefix ||
            PartStore::IsKept(dir, name)) {
            continue;  // kept parts are the part store's to clean
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
