#include "transfer/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "transfer/RelativePath.h"

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

class Walker {
public:
    Walker(FolderWalk::Listing& listing, dev_t device) : listing_(listing), device_(device) {}

    // Lists the folder open at `fd` (which it closes), whose path has `levels` names.
    void Visit(int fd, const std::string& path, size_t levels) {
        DIR* folder = fdopendir(fd);
        if (folder == nullptr) {
            close(fd);
            Skip(path, FolderWalk::Skip::Unreadable);
            return;
        }
        std::vector<std::string> names;
        while (dirent* entry = readdir(folder)) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                names.emplace_back(name);
            }
            if (names.size() > FolderWalk::kMaxEntries) {
                break;
            }
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (!More()) {
                break;
            }
            Entry(dirfd(folder), path + "/" + name, name, levels + 1);
        }
        closedir(folder);
    }

private:
    bool More() {
        const size_t seen =
            listing_.files.size() + listing_.folders.size() + listing_.skipped.size();
        if (seen >= FolderWalk::kMaxEntries) {
            listing_.complete = false;
        }
        return listing_.complete;
    }

    void Skip(const std::string& path, FolderWalk::Skip why) {
        listing_.skipped.push_back({path, why});
    }

    void Entry(int parent, const std::string& path, const std::string& name, size_t levels) {
        if (levels > relative_path::kMaxDepth) {
            Skip(path, FolderWalk::Skip::TooDeep);
            return;
        }
        if (relative_path::CheckComponent(name, levels - 1) != relative_path::Problem::None ||
            path.size() > relative_path::kMaxLength) {
            Skip(path, FolderWalk::Skip::Name);
            return;
        }
        struct stat info {};
        if (fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            Skip(path, FolderWalk::Skip::Unreadable);
            return;
        }
        if (S_ISLNK(info.st_mode)) {
            Skip(path, FolderWalk::Skip::Link);
        } else if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
            Skip(path, FolderWalk::Skip::Special);
        } else if (info.st_dev != device_) {
            Skip(path, FolderWalk::Skip::OtherFileSystem);
        } else if (S_ISDIR(info.st_mode)) {
            const int fd = openat(parent, name.c_str(), kFolderFlags);
            if (fd < 0) {
                Skip(path, FolderWalk::Skip::Unreadable);
                return;
            }
            listing_.folders.push_back(path);
            Visit(fd, path, levels);
        } else {
            // Opened to learn that it can be read; O_NONBLOCK in case it became a FIFO.
            const int fd =
                openat(parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                Skip(path, FolderWalk::Skip::Unreadable);
                return;
            }
            const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
            close(fd);
            if (!regular) {
                Skip(path, FolderWalk::Skip::Special);
                return;
            }
            listing_.files.push_back({path, static_cast<uint64_t>(info.st_size),
                                      static_cast<int64_t>(info.st_mtim.tv_sec)});
            listing_.totalBytes += static_cast<uint64_t>(info.st_size);
        }
    }

    FolderWalk::Listing& listing_;
    dev_t device_;
};

std::string Trimmed(const std::string& folder) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

FolderWalk::Listing FolderWalk::Walk(const std::string& folder) {
    Listing listing;
    const std::string path = Trimmed(folder);
    listing.root = path.substr(path.rfind('/') + 1);
    if (relative_path::CheckComponent(listing.root, 0) != relative_path::Problem::None) {
        return listing;
    }
    // The dropped folder itself may be reached through a link: the user chose it.
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return listing;
    }
    listing.ok = true;
    Walker(listing, info.st_dev).Visit(fd, listing.root, 1);
    return listing;
}

int FolderWalk::Open(const std::string& folder, const std::string& path) {
    std::vector<std::string> names;
    if (relative_path::Split(path, names) != relative_path::Problem::None) {
        return -1;
    }
    int fd = open(Trimmed(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 1; i < names.size() && fd >= 0; ++i) {
        const bool last = i + 1 == names.size();
        const int next =
            openat(fd, names[i].c_str(),
                   last ? O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC : kFolderFlags);
        close(fd);
        fd = next;
    }
    struct stat info {};
    if (fd >= 0 && (names.size() < 2 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd >= 0) {
        // Read in blocking mode like any other file.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

const char* FolderWalk::Describe(Skip why) {
    switch (why) {
        case Skip::Unreadable:
            return "cannot be read";
        case Skip::Link:
            return "a link";
        case Skip::Special:
            return "not a regular file";
        case Skip::OtherFileSystem:
            return "on another file system";
        case Skip::Name:
            return "a name that cannot be sent";
        case Skip::TooDeep:
            return "more than 32 levels deep";
    }
    return "unknown";
}
