#include "core/ActivityLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "core/Lock.h"
#include "core/ReceiveFolder.h"
#include "platform/Launcher.h"

namespace {

FILE* logStream = nullptr;  // guarded by the process-wide lock

// Opens the log for appending, creating it if needed; on failure the write is dropped and
// the next one tries again.
void OpenLogLocked() {
    if (logStream != nullptr) {
        return;
    }
    int fd = open(LogFilePath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    logStream = fdopen(fd, "a");
    if (logStream == nullptr) {
        close(fd);
    }
}

void CloseLogLocked() {
    if (logStream != nullptr) {
        fclose(logStream);
        logStream = nullptr;
    }
}

}  // namespace

std::string LogFilePath() {
    return GetReceiveFolder() + "/zingwelllog.txt";
}

void WriteLog(const char* text) {
    if (text == nullptr) {
        return;
    }
    Lock lock;
    OpenLogLocked();
    if (logStream != nullptr) {
        fputs(text, logStream);
        fflush(logStream);  // a crash must lose nothing already logged
    }
}

void WriteLog(const std::string& text) {
    Lock lock;
    OpenLogLocked();
    if (logStream != nullptr) {
        fwrite(text.data(), 1, text.size(), logStream);
        fflush(logStream);
    }
}

void WriteLogValue(const char* text, int32_t value) {
    Lock lock;
    OpenLogLocked();
    if (logStream != nullptr) {
        fprintf(logStream, "%s %d\n", text, value);
        fflush(logStream);
    }
}

void ViewLog() {
    const std::string path = LogFilePath();
    {
        // Closing and reopening under the lock flushes every line written so far, and keeps
        // writers on other threads off the stream while it is closed.
        Lock lock;
        if (logStream != nullptr) {
            CloseLogLocked();
            OpenLogLocked();
        }
    }
    // Launched outside the lock: the editor may take a while to start.
    if (Launcher* launcher = GetLauncher()) {
        launcher->OpenPath(path);
    }
}

void CloseLog() {
    Lock lock;
    CloseLogLocked();
}
