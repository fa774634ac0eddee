#include "transfer/FileStorage.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ActivityLog.h"
#include "core/Lock.h"
#include "core/ReceiveFolder.h"
#include "platform/AtomicFile.h"
#include "transfer/QueueFile.h"

namespace {

// The whole file, or false when there is none or it is not a plain file we can read.
bool ReadQueueFile(const std::string& path, std::string& text) {
    // Non-blocking open, so that a FIFO planted under that name cannot hang the start-up.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char buffer[65536];
    while (ok) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

}  // namespace

FileStorage::FileStorage() {
    Lock lock;
    path_ = GetReceiveFolder() + "/" + queue_file::kFileName;
    std::string text;
    if (!ReadQueueFile(path_, text)) {
        return;
    }
    queue_file::Contents contents = queue_file::Parse(text);
    for (size_t i = 0; i < contents.skipped; ++i) {
        WriteLog("Files2Send.txt: skipped a line longer than 4095 bytes\n");
    }
    entries_ = std::move(contents.entries);
    count_ = entries_.size();
}

FileStorage::~FileStorage() = default;

void FileStorage::Add(const std::string& path) {
    Lock lock;
    entries_.push_back(path);
    count_ = entries_.size();
    Save();
}

void FileStorage::AddAll(const std::vector<std::string>& paths) {
    if (paths.empty()) {
        return;
    }
    Lock lock;
    entries_.insert(entries_.end(), paths.begin(), paths.end());
    count_ = entries_.size();
    Save();
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

size_t FileStorage::Count() const {
    return count_;
}

void FileStorage::Save() {
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
