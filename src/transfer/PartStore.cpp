#include "transfer/PartStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/WriteAll.h"
#include "secure/PrefixDigest.h"
#include "transfer/ReceivedName.h"

namespace {

constexpr std::string_view kMagic = "zingwell-part 1";
constexpr size_t kMaxRecord = 8192;

// A directory descriptor closed with its scope.
struct Dir {
    explicit Dir(const std::string& folder)
        : fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~Dir() {
        if (fd >= 0) {
            close(fd);
        }
    }
    int fd;
};

bool ParseNumber(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool ParseSigned(std::string_view text, int64_t& value) {
    const bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude = 0;
    if (!ParseNumber(negative ? text.substr(1) : text, magnitude) ||
        magnitude > static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

uint64_t FreeBytes(const std::string& folder) {
    struct statvfs info {};
    if (statvfs(folder.c_str(), &info) != 0) {
        return UINT64_MAX;  // unknown counts as room: the write will tell
    }
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

}  // namespace

std::string PartStore::NameFor(const Key& key) {
    // Fields separated by a byte none of them can hold.
    const std::string text = key.keyHash + '\0' + key.path + '\0' + std::to_string(key.size) +
                             '\0' + std::to_string(key.mtime);
    const prefix_digest::Digest digest = prefix_digest::OfText(text);
    std::string name(received_name::kTemporaryPrefix);
    char hex[3];
    for (size_t i = 0; i < 8; ++i) {
        snprintf(hex, sizeof hex, "%02x", digest[i]);
        name += hex;
    }
    return name;
}

std::optional<std::string> PartStore::Find(const Key& key, int64_t now) const {
    Dir dir(folder_);
    const std::string name = NameFor(key);
    const std::optional<Entry> entry = dir.fd >= 0 ? Read(dir.fd, name) : std::nullopt;
    if (!entry || !(entry->key == key) || now - entry->kept > kMaxAgeSeconds) {
        return std::nullopt;
    }
    return name;
}

void PartStore::Forget(const std::string& name) const {
    Dir dir(folder_);
    if (dir.fd >= 0) {
        unlinkat(dir.fd, (name + std::string(kRecordSuffix)).c_str(), 0);
    }
}

bool PartStore::Record(const std::string& name, const Key& key, uint64_t held, int64_t now) const {
    Dir dir(folder_);
    if (dir.fd < 0) {
        return false;
    }
    const std::string text = std::string(kMagic) + "\nkey " + key.keyHash + "\nsize " +
                             std::to_string(key.size) + "\nmtime " + std::to_string(key.mtime) +
                             "\nheld " + std::to_string(held) + "\nkept " + std::to_string(now) +
                             "\npath " + key.path + "\n";
    // Written aside and renamed over, so that a record is whole or absent.
    const std::string record = name + std::string(kRecordSuffix);
    const std::string fresh = record + ".new";
    const int fd =
        openat(dir.fd, fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = WriteAll(fd, text.data(), text.size());
    close(fd);
    if (!written || renameat(dir.fd, fresh.c_str(), dir.fd, record.c_str()) != 0) {
        unlinkat(dir.fd, fresh.c_str(), 0);
        return false;
    }
    return true;
}

std::optional<PartStore::Entry> PartStore::Read(int dir, const std::string& name) const {
    const std::string record = name + std::string(kRecordSuffix);
    const int fd = openat(dir, record.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text(kMaxRecord + 1, '\0');
    const ssize_t n = read(fd, text.data(), text.size());
    close(fd);
    if (n <= 0 || static_cast<size_t>(n) > kMaxRecord) {
        return std::nullopt;
    }
    text.resize(static_cast<size_t>(n));
    Entry entry;
    entry.name = name;
    std::string_view rest = text;
    bool sawMagic = false;
    int fields = 0;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        if (!sawMagic) {
            if (line != kMagic) {
                return std::nullopt;
            }
            sawMagic = true;
            continue;
        }
        const size_t space = line.find(' ');
        const std::string_view field = line.substr(0, space);
        const std::string_view value =
            space == std::string_view::npos ? std::string_view{} : line.substr(space + 1);
        bool ok = true;
        if (field == "key") {
            entry.key.keyHash = value;
        } else if (field == "path") {
            entry.key.path = value;
        } else if (field == "size") {
            ok = ParseNumber(value, entry.key.size);
        } else if (field == "mtime") {
            ok = ParseSigned(value, entry.key.mtime);
        } else if (field == "held") {
            ok = ParseNumber(value, entry.held);
        } else if (field == "kept") {
            ok = ParseSigned(value, entry.kept);
        } else {
            continue;  // a later version's field
        }
        if (!ok) {
            return std::nullopt;
        }
        ++fields;
    }
    if (fields != 6 || entry.held > entry.key.size) {
        return std::nullopt;
    }
    return entry;
}

std::vector<std::string> PartStore::Names() const {
    std::vector<std::string> names;
    DIR* listing = opendir(folder_.c_str());
    if (listing == nullptr) {
        return names;
    }
    while (dirent* entry = readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name.starts_with(received_name::kTemporaryPrefix) &&
            name.size() == received_name::kTemporaryPrefix.size() + 16 + kRecordSuffix.size() &&
            name.ends_with(kRecordSuffix)) {
            names.emplace_back(name.substr(0, name.size() - kRecordSuffix.size()));
        }
    }
    closedir(listing);
    return names;
}

void PartStore::Drop(int dir, const std::string& name) const {
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return;  // a connection is writing it
    }
    unlinkat(dir, name.c_str(), 0);
    unlinkat(dir, (name + std::string(kRecordSuffix)).c_str(), 0);
    if (fd >= 0) {
        close(fd);
    }
}

void PartStore::Remove(const std::string& name) const {
    Dir dir(folder_);
    if (dir.fd >= 0) {
        Drop(dir.fd, name);
    }
}

void PartStore::Clean(int64_t now) const {
    Dir dir(folder_);
    if (dir.fd < 0) {
        return;
    }
    for (const std::string& name : Names()) {
        const std::optional<Entry> entry = Read(dir.fd, name);
        struct stat info {};
        const bool present =
            fstatat(dir.fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
        if (!entry || !present || now - entry->kept > kMaxAgeSeconds) {
            Drop(dir.fd, name);
        }
    }
}

bool PartStore::MakeRoom(uint64_t needed, const std::string& spare) const {
    if (FreeBytes(folder_) >= needed) {
        return true;
    }
    Dir dir(folder_);
    if (dir.fd < 0) {
        return false;
    }
    std::vector<Entry> entries;
    for (const std::string& name : Names()) {
        if (name == spare) {
            continue;
        }
        std::optional<Entry> entry = Read(dir.fd, name);
        entries.push_back(entry ? std::move(*entry) : Entry{name, {}, 0, INT64_MIN});
    }
    // A file larger than the room all parts would leave is refused anyway: none is dropped
    // for it, or one oversized offer would wipe every other sender's parts.
    uint64_t held = 0;
    for (const Entry& entry : entries) {
        struct stat info {};
        if (fstatat(dir.fd, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            held += static_cast<uint64_t>(info.st_size);
        }
    }
    if (FreeBytes(folder_) + held < needed) {
        return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.kept < b.kept; });
    for (const Entry& entry : entries) {
        if (FreeBytes(folder_) >= needed) {
            return true;
        }
        Drop(dir.fd, entry.name);
    }
    return FreeBytes(folder_) >= needed;
}

bool PartStore::IsKept(int dir, std::string_view name) {
    if (name.ends_with(kRecordSuffix)) {
        return true;
    }
    const std::string record = std::string(name) + std::string(kRecordSuffix);
    return faccessat(dir, record.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}
