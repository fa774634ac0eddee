#include "transfer/SafeTree.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>

#include "platform/WriteAll.h"
#include "transfer/ReceivedName.h"
#include "transfer/RelativePath.h"

namespace {

// How many numbered names are tried before a file or a root folder is given up.
constexpr unsigned kMaxNumber = 10000;

std::string TemporaryName() {
    static std::atomic<uint64_t> counter{0};
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) {
        value = (static_cast<uint64_t>(getpid()) << 32) ^ ++counter;
    }
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return std::string(received_name::kTemporaryPrefix) + text;
}

bool IsContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Moves a whole file to a name that must not exist yet; where the file system lacks
// RENAME_NOREPLACE, a hard link does the same without replacing anything.
int RenameNoReplace(int dir, const std::string& from, const std::string& to) {
    if (renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    if (linkat(dir, from.c_str(), dir, to.c_str(), 0) != 0) {
        return -1;
    }
    unlinkat(dir, from.c_str(), 0);
    return 0;
}

}  // namespace

SafeTree::SafeTree(int receiveFolder) : SafeTree(receiveFolder, Limits{}) {}

SafeTree::SafeTree(int receiveFolder, Limits limits)
    : receive_(fcntl(receiveFolder, F_DUPFD_CLOEXEC, 0)), limits_(limits) {}

SafeTree::~SafeTree() {
    EndBatch();
    if (receive_ >= 0) {
        close(receive_);
    }
}

void SafeTree::EndBatch() {
    Discard();
    if (base_ >= 0 && base_ != receive_) {
        close(base_);
    }
    base_ = -1;
    started_ = false;
    storedRoot_.clear();
    paths_ = BatchPaths();
    made_.clear();
    files_ = folders_ = 0;
    bytes_ = 0;
}

SafeTree::Result SafeTree::Begin(const batch_frames::Batch& batch) {
    EndBatch();
    if (receive_ < 0) {
        return Result::Failed;
    }
    if (uint64_t{batch.files} + batch.folders > batch_frames::kMaxEntries) {
        return Result::TooMany;
    }
    if (!batch.root.empty() &&
        relative_path::CheckComponent(batch.root, 0) != relative_path::Problem::None) {
        return Result::BadPath;
    }
    struct statvfs space {};
    if (fstatvfs(receive_, &space) != 0) {
        return Result::Failed;
    }
    const uint64_t free = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    const uint64_t overhead =
        limits_.spareBytes + (uint64_t{batch.files} + batch.folders + 1) * limits_.bytesPerEntry;
    if (batch.totalBytes > free || overhead > free - batch.totalBytes) {
        return Result::NoSpace;
    }
    if (batch.root.empty()) {
        base_ = receive_;
    } else {
        for (unsigned n = 1; n <= kMaxNumber && storedRoot_.empty(); ++n) {
            const std::string name = n == 1 ? batch.root : NumberedName(batch.root, n, true);
            if (mkdirat(receive_, name.c_str(), 0777) == 0) {
                storedRoot_ = name;
            } else if (errno != EEXIST) {
                return Result::Failed;
            }
        }
        if (storedRoot_.empty()) {
            return Result::Failed;
        }
        base_ =
            openat(receive_, storedRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (base_ < 0) {
            storedRoot_.clear();
            return Result::Planted;
        }
    }
    batch_ = batch;
    started_ = true;
    return Result::Ok;
}

// Checks a path against the batch and records it; `inner` is it without the root.
SafeTree::Result SafeTree::Place(std::string_view path, bool isFolder,
                                 std::vector<std::string>& inner) {
    if (!started_) {
        return Result::NoBatch;
    }
    if (relative_path::Split(path, inner) != relative_path::Problem::None) {
        return Result::BadPath;
    }
    if (batch_.root.empty()) {
        if (isFolder || inner.size() != 1) {
            return Result::OutsideRoot;
        }
    } else {
        if (inner.front() != batch_.root) {
            return Result::OutsideRoot;
        }
        inner.erase(inner.begin());
        if (inner.empty()) {
            return isFolder ? Result::Ok : Result::Taken;
        }
    }
    const size_t before = paths_.size();
    switch (paths_.Add(inner, isFolder)) {
        case BatchPaths::Verdict::New:
        case BatchPaths::Verdict::Again:
            break;
        case BatchPaths::Verdict::CaseTwin:
            return Result::CaseTwin;
        case BatchPaths::Verdict::Taken:
            return Result::Taken;
        case BatchPaths::Verdict::ThroughFile:
            return Result::ThroughFile;
    }
    const size_t added = paths_.size() - before;
    folders_ += static_cast<uint32_t>(isFolder ? added : (added > 0 ? added - 1 : 0));
    return folders_ > batch_.folders ? Result::OverBatch : Result::Ok;
}

SafeTree::Result SafeTree::OpenFolders(const std::vector<std::string>& inner, size_t count,
                                       int& fd) {
    fd = fcntl(base_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return Result::Failed;
    }
    std::string path;
    for (size_t i = 0; i < count; ++i) {
        path += (i > 0 ? "/" : "") + inner[i];
        const char* name = inner[i].c_str();
        if (mkdirat(fd, name, 0777) == 0) {
            made_.insert(path);
        } else if (errno != EEXIST || made_.count(path) == 0) {
            // Something stands there that this batch did not make: never go into it.
            const Result result = errno == EEXIST ? Result::Planted : Result::Failed;
            close(fd);
            fd = -1;
            return result;
        }
        const int next = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        close(fd);
        fd = next;
        if (fd < 0) {
            return error == ELOOP || error == ENOTDIR ? Result::Planted : Result::Failed;
        }
    }
    return Result::Ok;
}

SafeTree::Result SafeTree::MakeFolder(std::string_view path) {
    std::vector<std::string> inner;
    if (const Result placed = Place(path, true, inner); placed != Result::Ok || inner.empty()) {
        return placed;
    }
    int fd = -1;
    const Result result = OpenFolders(inner, inner.size(), fd);
    if (fd >= 0) {
        close(fd);
    }
    return result;
}

SafeTree::Result SafeTree::OpenFile(std::string_view path, uint64_t size) {
    Discard();
    if (started_ && (files_ >= batch_.files || size > batch_.totalBytes - bytes_)) {
        return Result::OverBatch;
    }
    std::vector<std::string> inner;
    if (const Result placed = Place(path, false, inner); placed != Result::Ok) {
        return placed;
    }
    ++files_;
    bytes_ += size;
    if (const Result opened = OpenFolders(inner, inner.size() - 1, dir_); opened != Result::Ok) {
        return opened;
    }
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = TemporaryName();
        // The same mode a file created under its own name would get.
        fd_ = openat(dir_, temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0666);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        close(dir_);
        dir_ = -1;
        return Result::Failed;
    }
    // Held while the file is ours: tells a starting receiver that it is not stale.
    flock(fd_, LOCK_EX | LOCK_NB);
    name_ = inner.back();
    folderPath_ = storedRoot_;
    for (size_t i = 0; i + 1 < inner.size(); ++i) {
        folderPath_ += (folderPath_.empty() ? "" : "/") + inner[i];
    }
    size_ = size;
    written_ = 0;
    return Result::Ok;
}

bool SafeTree::Write(const char* data, size_t length) {
    if (fd_ < 0 || length > size_ - written_ || !WriteAll(fd_, data, length)) {
        return false;
    }
    written_ += length;
    return true;
}

SafeTree::Result SafeTree::Publish(std::string& stored) {
    if (fd_ < 0) {
        return Result::NoBatch;
    }
    if (written_ != size_) {
        Discard();
        return Result::Failed;
    }
    for (unsigned n = 1; n <= kMaxNumber; ++n) {
        const std::string name = n == 1 ? name_ : NumberedName(name_, n);
        // Renamed while still open and locked, so that no starting receiver takes it for stale.
        if (RenameNoReplace(dir_, temporary_, name) == 0) {
            stored = folderPath_.empty() ? name : folderPath_ + "/" + name;
            close(fd_);
            close(dir_);
            fd_ = dir_ = -1;
            temporary_.clear();
            return Result::Ok;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    Discard();
    return Result::Failed;
}

void SafeTree::Discard() {
    if (fd_ >= 0) {
        unlinkat(dir_, temporary_.c_str(), 0);
        close(fd_);
        fd_ = -1;
    }
    if (dir_ >= 0) {
        close(dir_);
        dir_ = -1;
    }
    temporary_.clear();
}

bool SafeTree::Adopt(const std::string& temporary) {
    if (fd_ < 0 || !batch_.root.empty()) {
        return false;  // parts are kept in the receive folder, for loose files only
    }
    const int fd = openat(dir_, temporary.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    // Looked at once locked: a part dropped meanwhile is unlinked, and publishing it would fail.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_nlink == 0 || info.st_size <= 0 || static_cast<uint64_t>(info.st_size) > size_) {
        close(fd);
        return false;
    }
    unlinkat(dir_, temporary_.c_str(), 0);
    close(fd_);
    fd_ = fd;
    temporary_ = temporary;
    written_ = static_cast<uint64_t>(info.st_size);
    return true;
}

bool SafeTree::Restart() {
    if (fd_ < 0 || ftruncate(fd_, 0) != 0) {
        return false;
    }
    written_ = 0;  // O_APPEND: writes go to the new end
    return true;
}

bool SafeTree::Keep(const std::string& keptName) {
    bool kept = fd_ >= 0 && batch_.root.empty();
    if (kept && temporary_ != keptName) {
        // A part kept there before is replaced, unless a connection is resuming it; renamed
        // while still locked, so that no starting receiver takes it for stale.
        const int held =
            openat(dir_, keptName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        kept = !(held >= 0 && flock(held, LOCK_EX | LOCK_NB) != 0) &&
               renameat(dir_, temporary_.c_str(), dir_, keptName.c_str()) == 0;
        if (held >= 0) {
            close(held);
        }
    }
    if (kept) {
        close(fd_);  // given up: Discard then only closes its folder
        fd_ = -1;
    }
    Discard();
    return kept;
}

std::string SafeTree::NumberedName(std::string_view name, unsigned n, bool isFolder) {
    // The extension is what follows the last dot, unless the name starts with it
    // (".profile") or ends with it; folders have none ("Photos.2024 (2)").
    size_t dot = name.rfind('.');
    if (isFolder || dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) {
        dot = name.size();
    }
    std::string_view stem = name.substr(0, dot);
    std::string_view extension = name.substr(dot);
    const std::string number = " (" + std::to_string(n) + ")";
    if (number.size() + extension.size() + 1 > received_name::kMaxLength) {
        stem = name;
        extension = {};
    }
    const size_t room = received_name::kMaxLength - number.size() - extension.size();
    if (stem.size() > room) {
        size_t cut = room;
        while (cut > 0 && IsContinuation(stem[cut])) {
            --cut;
        }
        stem = stem.substr(0, cut);
    }
    return std::string(stem) + number + std::string(extension);
}

const char* SafeTree::Describe(Result result) {
    switch (result) {
        case Result::Ok:
            return "kept";
        case Result::NoBatch:
            return "no batch was started";
        case Result::BadPath:
            return "a path that cannot be stored";
        case Result::OutsideRoot:
            return "a path outside the batch's folder";
        case Result::CaseTwin:
            return "a name that differs from another only in letter case";
        case Result::Taken:
            return "a path sent twice";
        case Result::ThroughFile:
            return "a path through a file";
        case Result::Planted:
            return "a folder on the way that the batch did not make";
        case Result::OverBatch:
            return "more than the batch announced";
        case Result::TooMany:
            return "more than 100,000 entries";
        case Result::NoSpace:
            return "not enough free space";
        case Result::Failed:
            return "the file could not be written";
    }
    return "unknown";
}
