#include "core/ActivityLog.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
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

TEST(ActivityLog, EveryPieceIsInTheFileAtOnceSoACrashLosesNothing) {
    WriteLog("abc");
    EXPECT_EQ(LogFile(), "abc");
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
    const std::string text = LogFile();
    EXPECT_EQ(static_cast<int>(std::count(text.begin(), text.end(), '\n')), kThreads * kLines);
    EXPECT_EQ(text.size(), static_cast<size_t>(kThreads * kLines) * 13);
}

}  // namespace
