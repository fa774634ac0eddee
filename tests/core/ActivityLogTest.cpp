#include "core/ActivityLog.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/ReceiveFolder.h"
#include "platform/Launcher.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

class RecordingLauncher : public Launcher {
public:
    void OpenPath(const std::string& path) override {
        std::lock_guard<std::mutex> guard(mutex);
        opened.push_back(path);
        seenContents.push_back(ReadFile(path));
    }
    void OpenUrl(const std::string& url) override { opened.push_back(url); }
    std::mutex mutex;
    std::vector<std::string> opened;
    std::vector<std::string> seenContents;
};

std::string LogFile() {
    return ReadFile(TestPaths::ReceiveFolder() + "/zingwelllog.txt");
}

TEST(ActivityLog, EveryLineIsInTheFileAtOnceSoACrashLosesNothing) {
    WriteLog("abc");
    EXPECT_EQ(LogFile(), "");  // a piece waits for the end of its line

    WriteLogValue("Error code", 4);
    WriteLogValue("Error code", 232323);
    WriteLogValue("Error code", -5);
    EXPECT_EQ(LogFile(), "abcError code 4\nError code 232323\nError code -5\n");

    // A process that dies without closing the log has written every line it logged.
    EXPECT_TRUE(WIFSIGNALED(RunInChild([] {
        WriteLog(std::string("Found buddy at address: "));
        WriteLog("10.0.0.7");
        WriteLog("\n");
        raise(SIGKILL);
    })));
    EXPECT_EQ(LogFile(),
              "abcError code 4\nError code 232323\nError code -5\n"
              "Found buddy at address: 10.0.0.7\n");
}

TEST(ActivityLog, AppendsAcrossRunsAndClosesWithEverythingWritten) {
    GetReceiveFolder();
    WriteFile(TestPaths::ReceiveFolder() + "/zingwelllog.txt", "an earlier run\n");
    WriteLog(std::string("Shutting down\n"));
    CloseLog();
    EXPECT_EQ(LogFile(), "an earlier run\nShutting down\n");
    WriteLog("after close\n");  // a later write opens it again
    CloseLog();
    EXPECT_EQ(LogFile(), "an earlier run\nShutting down\nafter close\n");
}

TEST(ActivityLog, ViewLogShowsTheEditorEveryLineSoFarAndKeepsLogging) {
    RecordingLauncher launcher;
    SetLauncher(&launcher);
    WriteLog("one\n");
    WriteLog("two\n");
    ViewLog();
    WriteLog("three\n");
    CloseLog();
    SetLauncher(nullptr);
    ASSERT_EQ(launcher.opened.size(), 1u);
    EXPECT_EQ(launcher.opened[0], TestPaths::ReceiveFolder() + "/zingwelllog.txt");
    EXPECT_EQ(launcher.seenContents[0], "one\ntwo\n");
    EXPECT_EQ(LogFile(), "one\ntwo\nthree\n");
}

TEST(ActivityLog, ViewLogWhileOtherThreadsWriteLosesNoLine) {
    RecordingLauncher launcher;
    SetLauncher(&launcher);
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([] {
            for (int i = 0; i < kLines; ++i)
                WriteLog("line of text\n");
        });
    }
    for (int i = 0; i < 50; ++i)
        ViewLog();
    for (auto& writer : writers)
        writer.join();
    CloseLog();
    SetLauncher(nullptr);
    // Written or counted, every line is there, and none is torn.
    EXPECT_EQ(LoggedTimes(LogFile(), "line of text\n"), size_t(kThreads * kLines));
    std::istringstream lines(LogFile());
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line == "line of text" || line.starts_with("... and ")) << line;
    }
}

TEST(ActivityLog, LinesOfThreadsNeverMixAndRepeatsAreCounted) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                WriteLog("Incoming file: ");
                WriteLog("thread-" + std::to_string(t) + "-" + std::to_string(i));
                WriteLog("\n");
            }
            WriteLog("no line end at the thread's end");
        });
    }
    for (auto& writer : writers)
        writer.join();
    std::istringstream lines(LogFile());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(line.starts_with("Incoming file: thread-") ||
                    line.starts_with("no line end at the thread's end"))
            << line;
    }
    EXPECT_EQ(count, 4 * 500 + 1);  // the ends of the four threads' pieces make one line
    EXPECT_EQ(Occurrences(LogFile(), "no line end at the thread's end"), 4u);

    CloseLog();
    WriteFile(LogFilePath(), "");
    for (int i = 0; i < 3 + 3911; ++i)
        WriteLog("Listener: too many connections, one closed\n");
    WriteLog("Listener: too many connections, one closed\n");
    WriteLog("held until closed");
    EXPECT_EQ(LogFile(),
              "Listener: too many connections, one closed\n"
              "Listener: too many connections, one closed\n"
              "Listener: too many connections, one closed\n");
    WriteLog("other\n");
    CloseLog();
    EXPECT_EQ(LogFile(),
              "Listener: too many connections, one closed\n"
              "Listener: too many connections, one closed\n"
              "Listener: too many connections, one closed\n"
              "... and 3,912 more like it\n"
              "held until closedother\n");
}

TEST(ActivityLog, AtTenMegabytesTheLogStartsAgainKeepingOneOlderGeneration) {
    // 100-byte numbered lines, 25 MB: the log starts again twice.
    constexpr int kLines = 250000;
    char line[101];
    for (int i = 0; i < kLines; ++i) {
        snprintf(line, sizeof line, "%08d%91s\n", i, "");
        WriteLog(line);
    }
    const std::string older = ReadFile(TestPaths::ReceiveFolder() + "/zingwelllog.old.txt");
    const std::string now = LogFile();
    constexpr size_t kMax = 10 * 1024 * 1024;
    EXPECT_LE(older.size(), kMax);
    EXPECT_GT(older.size(), kMax - 100);
    EXPECT_LE(now.size(), kMax);
    // The generations follow each other without a gap: the older one is the second.
    const int firstOlder = std::stoi(older.substr(0, 8));
    const int firstNow = std::stoi(now.substr(0, 8));
    EXPECT_EQ(firstOlder, int(kMax / 100));
    EXPECT_EQ(firstNow, firstOlder + int(older.size() / 100));
    EXPECT_EQ(std::stoi(now.substr(now.size() - 100, 8)), kLines - 1);
}

}  // namespace
