#include "transfer/FileStorage.h"

#include <sys/stat.h>
#include <unistd.h>

#include "core/ActivityLog.h"
#include "core/Lock.h"
#include "core/ReceiveFolder.h"
#include "platform/AtomicFile.h"
#include "transfer/QueueFile.h"

FileStorage::FileStorage() {
    Lock lock;
    path_ = GetReceiveFolder() + "/" + queue_file::kFileName;
    // Left by a crash in the middle of a rewrite; the queue file itself is whole.
    RemoveStaleTemporaries(path_);
    std::string text;
    if (!queue_file::Read(path_, text)) {
        return;
    }
    queue_file::Contents contents = queue_file::Parse(text);
    for (size_t i = 0; i < contents.skipped; ++i) {
        WriteLog("Files2Send.txt: skipped a line longer than 4095 bytes\n");
    }
    for (size_t i = 0; i < contents.notPaths; ++i) {
        WriteLog("Files2Send.txt: skipped a line that is not an absolute path\n");
    }
    entries_ = std::move(contents.entries);
    count_ = entries_.size();
}

FileStorage::~FileStorage() {
    // Nobody else uses the queue by now; most often there is nothing to write.
    if (dirty_) {
        Flush();
    }
}

void FileStorage::RemoveFrontSoon() {
    Lock lock;
    if (entries_.empty()) {
        return;
    }
    entries_.pop_front();
    count_ = entries_.size();
    if (std::chrono::steady_clock::now() - saved_ >= kKeepFor) {
        Save();
    } else {
        dirty_ = true;
    }
}

void FileStorage::Flush() {
    Lock lock;
    if (dirty_) {
        Save();
    }
}

bool FileStorage::Add(const std::string& path) {
    if (!queue_file::Storable(path)) {
        // Written as it is, it would come back after a restart as two entries, the second
        // naming a file nobody queued.
        WriteLog("Not queued: a path with a line break in it\n");
        return false;
    }
    Lock lock;
    entries_.push_back(path);
    count_ = entries_.size();
    Save();
    return true;
}

std::vector<std::string> FileStorage::AddAll(const std::vector<std::string>& paths) {
    std::vector<std::string> refused;
    Lock lock;
    const size_t before = entries_.size();
    for (const std::string& path : paths) {
        if (queue_file::Storable(path)) {
            entries_.push_back(path);
        } else {
            WriteLog("Not queued: a path with a line break in it\n");
            refused.push_back(path);
        }
    }
    if (entries_.size() != before) {
        count_ = entries_.size();
        Save();
    }
    return refused;
}

bool FileStorage::Front(std::string& path) {
    Lock lock;
    if (entries_.empty()) {
        return false;
    }
    path = entries_.front();
    return true;
}

void FileStorage::RemoveFront() {
    Lock lock;
    if (entries_.empty()) {
        return;
    }
    entries_.pop_front();
    count_ = entries_.size();
    Save();
}

bool FileStorage::At(size_t index, std::string& path) {
    Lock lock;
    if (index >= entries_.size()) {
        return false;
    }
    path = entries_[index];
    return true;
}

void FileStorage::ReplaceFront(const std::vector<std::string>& paths) {
    Lock lock;
    if (entries_.empty()) {
        return;
    }
    entries_.pop_front();
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        if (queue_file::Storable(*it)) {
            entries_.push_front(*it);
        }
    }
    count_ = entries_.size();
    Save();
}

void FileStorage::Clear() {
    Lock lock;
    entries_.clear();
    count_ = 0;
    Save();
}

size_t FileStorage::Count() const {
    return count_;
}

void FileStorage::Save() {
    dirty_ = false;
    saved_ = std::chrono::steady_clock::now();
    // A queue file the user made read-only stays as it is (root would otherwise write it):
    // the change lives in memory until a rewrite succeeds. Its mode is kept on a rewrite.
    mode_t mode = 0600;
    struct stat info {};
    if (stat(path_.c_str(), &info) == 0) {
        if ((info.st_mode & S_IWUSR) == 0 || access(path_.c_str(), W_OK) != 0) {
            return;
        }
        mode = info.st_mode & 07777;
    }
    // Replaced atomically: a crash in the middle leaves the old queue or the new one, whole.
    WriteFileAtomically(path_, queue_file::Format(entries_), mode);
}
