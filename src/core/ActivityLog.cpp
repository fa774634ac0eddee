#include "core/ActivityLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "core/Lock.h"
#include "core/ReceiveFolder.h"
#include "platform/Launcher.h"
#include "platform/WriteAll.h"

namespace {

using Clock = std::chrono::steady_clock;

// At this size the log becomes the older generation and a new one starts.
constexpr off_t kMaxLogBytes = 10 * 1024 * 1024;
// A run of one line is written this many times; later repeats within the window are counted.
constexpr int kWrittenInFull = 3;
constexpr Clock::duration kMergeWindow = std::chrono::seconds(5);
// A piece without a line end is held at most this long before it is written as it is.
constexpr size_t kMaxPending = 64 * 1024;

// All guarded by the process-wide lock.
int logFd = -1;
off_t logBytes = 0;
std::string lastLine;
int lastRun = 0;         // times lastLine came in a row within the window
uint64_t unwritten = 0;  // of those, not written
Clock::time_point runStart;
// Pieces of lines not yet ended, per thread: a line reaches the file in one write.
std::map<std::thread::id, std::string> pending;

void OpenLogLocked() {
    if (logFd >= 0) {
        return;
    }
    logFd = open(LogFilePath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    struct stat info {};
    logBytes = logFd >= 0 && fstat(logFd, &info) == 0 ? info.st_size : 0;
}

void CloseLogLocked() {
    if (logFd >= 0) {
        close(logFd);
        logFd = -1;
    }
}

void WriteRawLocked(const std::string& text) {
    OpenLogLocked();
    if (logFd < 0) {
        return;  // dropped; the next write tries again
    }
    if (logBytes > 0 && logBytes + static_cast<off_t>(text.size()) > kMaxLogBytes) {
        CloseLogLocked();
        const std::string path = LogFilePath();
        rename(path.c_str(), (GetReceiveFolder() + "/zingwelllog.old.txt").c_str());
        OpenLogLocked();
        if (logFd < 0) {
            return;
        }
    }
    // One write of the whole text: O_APPEND keeps it in one piece.
    if (WriteAll(logFd, text.data(), text.size())) {
        logBytes += static_cast<off_t>(text.size());
    }
}

std::string WithSeparators(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return digits;
}

void WriteMergedLocked() {
    if (unwritten > 0) {
        WriteRawLocked("... and " + WithSeparators(unwritten) + " more like it\n");
    }
    unwritten = 0;
}

void EmitLineLocked(const std::string& line) {
    const Clock::time_point now = Clock::now();
    if (line == lastLine && now - runStart < kMergeWindow) {
        if (++lastRun > kWrittenInFull) {
            ++unwritten;
            return;
        }
    } else {
        WriteMergedLocked();
        lastLine = line;
        lastRun = 1;
        runStart = now;
    }
    WriteRawLocked(line);
}

// Takes the thread's text and writes every line it ends.
void AddLocked(std::string_view text) {
    const auto self = std::this_thread::get_id();
    std::string& held = pending[self];
    held.append(text);
    size_t from = 0;
    for (size_t end; (end = held.find('\n', from)) != std::string::npos; from = end + 1) {
        EmitLineLocked(held.substr(from, end + 1 - from));
    }
    held.erase(0, from);
    if (held.size() > kMaxPending) {
        EmitLineLocked(held);
        held.clear();
    }
    if (held.empty()) {
        pending.erase(self);
    }
}

// Whatever the thread left without a line end, written as it is.
void FlushPendingLocked(std::thread::id thread) {
    auto it = pending.find(thread);
    if (it != pending.end()) {
        EmitLineLocked(it->second);
        pending.erase(it);
    }
}

// A thread that ends in the middle of a line leaves it in the log, never in memory.
struct ThreadEnd {
    ~ThreadEnd() {
        Lock lock;
        FlushPendingLocked(std::this_thread::get_id());
    }
};

void Add(std::string_view text) {
    thread_local ThreadEnd end;
    (void)end;
    Lock lock;
    // Opened by every call, as a line may need a descriptor when none is left to open it.
    OpenLogLocked();
    AddLocked(text);
}

}  // namespace

std::string LogFilePath() {
    return GetReceiveFolder() + "/zingwelllog.txt";
}

void WriteLog(const char* text) {
    if (text != nullptr) {
        Add(text);
    }
}

void WriteLog(const std::string& text) {
    Add(text);
}

void WriteLogValue(const char* text, int32_t value) {
    Add(std::string(text != nullptr ? text : "") + " " + std::to_string(value) + "\n");
}

void ViewLog() {
    const std::string path = LogFilePath();
    {
        // Every whole line is in the file already; repeats still being counted are told now.
        Lock lock;
        WriteMergedLocked();
        lastLine.clear();
    }
    // Launched outside the lock: the editor may take a while to start.
    if (Launcher* launcher = GetLauncher()) {
        launcher->OpenPath(path);
    }
}

void CloseLog() {
    Lock lock;
    while (!pending.empty()) {
        FlushPendingLocked(pending.begin()->first);
    }
    WriteMergedLocked();
    lastLine.clear();
    CloseLogLocked();
}
