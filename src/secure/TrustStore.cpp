#include "secure/TrustStore.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/AtomicFile.h"
#include "secure/IdentityFolder.h"

namespace {

// A list of known computers is a few kilobytes; a larger file is not ours.
constexpr off_t kMaxFile = 4 * 1024 * 1024;

}  // namespace

TrustStore::TrustStore(std::string folder)
    : folder_(std::move(folder)), path_(folder_ + "/computers") {}

bool TrustStore::Reload(std::string& error) {
    std::lock_guard lock(mutex_);
    file_ = TrustFile{};
    RemoveStaleTemporaries(path_);
    const int fd = open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = "Cannot read the known computers in " + path_ + ": " + strerror(errno);
        file_.understood = false;
        return false;
    }
    struct stat info {};
    std::string text;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
              (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && info.st_size <= kMaxFile;
    if (ok) {
        text.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = read(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        text.resize(done);
    }
    close(fd);
    if (!ok) {
        error = "The known computers in " + path_ +
                " are not a private file of this user; Zingwell will not use them.";
        file_.understood = false;
        return false;
    }
    file_ = TrustFile::Parse(text);
    if (!file_.understood) {
        error = "The known computers in " + path_ +
                " are written in a form this Zingwell does not know; they are left as they are.";
        return false;
    }
    return true;
}

std::optional<TrustEntry> TrustStore::Find(const std::string& key) const {
    std::lock_guard lock(mutex_);
    for (const TrustFile::Line& line : file_.lines) {
        if (line.entry && line.entry->key == key) {
            return line.entry;
        }
    }
    return std::nullopt;
}

std::optional<TrustEntry> TrustStore::PairedForAddress(const std::string& address) const {
    std::lock_guard lock(mutex_);
    if (address.empty()) {
        return std::nullopt;
    }
    for (const TrustFile::Line& line : file_.lines) {
        if (line.entry && line.entry->state == TrustEntry::State::Paired &&
            line.entry->lastAddress == address) {
            return line.entry;
        }
    }
    return std::nullopt;
}

std::vector<TrustEntry> TrustStore::All() const {
    std::lock_guard lock(mutex_);
    std::vector<TrustEntry> entries;
    for (const TrustFile::Line& line : file_.lines) {
        if (line.entry) {
            entries.push_back(*line.entry);
        }
    }
    return entries;
}

bool TrustStore::HasPaired() const {
    std::lock_guard lock(mutex_);
    return std::any_of(file_.lines.begin(), file_.lines.end(), [](const TrustFile::Line& line) {
        return line.entry && line.entry->state == TrustEntry::State::Paired;
    });
}

bool TrustStore::Put(const TrustEntry& entry) {
    return Update(entry.key, [&](const TrustEntry*) { return std::optional<TrustEntry>(entry); });
}

bool TrustStore::Update(
    const std::string& key,
    const std::function<std::optional<TrustEntry>(const TrustEntry* known)>& change) {
    std::lock_guard lock(mutex_);
    auto found =
        std::find_if(file_.lines.begin(), file_.lines.end(),
                     [&](const TrustFile::Line& l) { return l.entry && l.entry->key == key; });
    std::optional<TrustEntry> entry = change(found != file_.lines.end() ? &*found->entry : nullptr);
    if (!entry || entry->key != key || !TrustFile::ValidKey(key)) {
        return false;
    }
    TrustFile::Line line{*entry, TrustFile::FormatLine(*entry)};
    if (found != file_.lines.end()) {
        *found = std::move(line);
    } else {
        file_.lines.push_back(std::move(line));
    }
    return Save();
}

bool TrustStore::Forget(const std::string& key) {
    std::lock_guard lock(mutex_);
    std::erase_if(file_.lines, [&](const TrustFile::Line& line) {
        return line.entry && line.entry->key == key;
    });
    return Save();
}

bool TrustStore::Save() {
    // A file we could not read or do not understand is left alone.
    if (!file_.understood) {
        return false;
    }
    std::string error;
    return MakeIdentityFolder(folder_, error) && WriteFileAtomically(path_, file_.Format(), 0600);
}
