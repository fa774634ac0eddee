#include "transfer/ReceivedFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ActivityLog.h"
#include "transfer/ReceivedName.h"

void ReceivedFile::Announce(const std::string& name) {
    WriteLog("Incoming file: ");
    WriteLog(received_name::ForLog(name));
    WriteLog("\n");
}

bool ReceivedFile::Create(const std::string& name) {
    Close();
    if (!names_.Claim(name)) {
        return false;
    }
    claimed_ = name;
    haveClaim_ = true;
    const std::string path = folder_ + "/" + name;
    // O_NONBLOCK so that a FIFO of that name cannot hang us before it is refused below.
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        return false;
    }
    struct stat info {};
    if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || ftruncate(fd_, 0) != 0 ||
        fcntl(fd_, F_SETFL, 0) != 0) {
        Close();
        return false;
    }
    return true;
}

bool ReceivedFile::Write(const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd_, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void ReceivedFile::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (haveClaim_) {
        names_.Release(claimed_);
        haveClaim_ = false;
    }
}
