#include "transfer/QueueFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace queue_file {

Contents Parse(std::string_view text) {
    Contents result;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() > kMaxEntry) {
            ++result.skipped;
            continue;
        }
        if (line.empty() || line.front() != '/') {
            ++result.notPaths;
            continue;
        }
        result.entries.emplace_back(line);
    }
    return result;
}

bool Read(const std::string& path, std::string& text) {
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

bool Storable(std::string_view path) {
    return path.find_first_of("\r\n") == std::string_view::npos;
}

std::string Format(const std::deque<std::string>& entries) {
    std::string text;
    for (const std::string& entry : entries) {
        text += entry;
        text += "\r\n";
    }
    return text;
}

}  // namespace queue_file
