#include "transfer/FileStorage.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "core/ActivityLog.h"
#include "core/ReceiveFolder.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestPaths.h"
#include "transfer/QueueFile.h"

namespace {

std::string QueuePath() {
    return GetReceiveFolder() + "/Files2Send.txt";
}

std::vector<std::string> Drain(FileStorage& queue) {
    std::vector<std::string> entries;
    std::string path;
    while (queue.Front(path)) {
        entries.push_back(path);
        queue.RemoveFront();
    }
    return entries;
}

std::vector<std::string> Entries(const std::string& text) {
    const queue_file::Contents contents = queue_file::Parse(text);
    EXPECT_EQ(contents.skipped, 0u);
    return {contents.entries.begin(), contents.entries.end()};
}

// The queue as a new start would load it.
std::vector<std::string> Load() {
    FileStorage queue;
    return Drain(queue);
}

TEST(FileStorage, KeepsTheQueueInItsFileWithCrLfLines) {
    {
        FileStorage queue;
        EXPECT_EQ(queue.Count(), 0u);
        EXPECT_FALSE(FileExists(QueuePath()));  // no file until the first Add
        std::string untouched = "untouched";
        EXPECT_FALSE(queue.Front(untouched));
        EXPECT_EQ(untouched, "untouched");
        queue.RemoveFront();  // nothing to remove: the file is not written
        EXPECT_FALSE(FileExists(QueuePath()));

        queue.Add("/home/u/a b.txt");
        queue.Add("/home/u/\x80\xff.bin");
        queue.Add("/home/u/a b.txt");  // the same file twice is queued twice
        queue.RemoveFront();
        EXPECT_EQ(ReadFile(QueuePath()), "/home/u/\x80\xff.bin\r\n/home/u/a b.txt\r\n");
        EXPECT_EQ(queue.Count(), 2u);
    }
    FileStorage again;
    EXPECT_EQ(Drain(again), (std::vector<std::string>{"/home/u/\x80\xff.bin", "/home/u/a b.txt"}));
    EXPECT_TRUE(FileExists(QueuePath()));  // emptied, not deleted
    EXPECT_EQ(ReadFile(QueuePath()), "");
}

TEST(FileStorage, LoadsBareLineFeedsAndALastLineWithoutEndButNoLineThatIsNotAPath) {
    GetReceiveFolder();
    // A blank line, or the tail of a path split by a line break, names nothing we queued.
    WriteFile(QueuePath(), "/a\r\n\r\n/b\n/c\r\r\nc/d.txt\r\n../x\n/d");
    EXPECT_EQ(Load(), (std::vector<std::string>{"/a", "/b", "/c\r", "/d"}));
    CloseLog();
    EXPECT_EQ(Occurrences(ReadFile(LogFilePath()),
                          "Files2Send.txt: skipped a line that is not an absolute path\n"),
              3u);
}

TEST(FileStorage, APathWithALineBreakIsRefusedAndAStartRemovesStaleTemporaries) {
    GetReceiveFolder();
    const std::string stale = GetReceiveFolder() + "/.Files2Send.txt.tmp-Ab12Cd";
    const std::string other = GetReceiveFolder() + "/.Files2Send.txt.tmp-long-name";
    WriteFile(stale, "/half\r\n/writ");
    WriteFile(other, "kept");
    FileStorage queue;
    EXPECT_FALSE(FileExists(stale));
    EXPECT_TRUE(FileExists(other));  // not a name our rewrites make

    struct Case {
        std::string path;
        bool queued;
    };
    const Case cases[] = {{"/home/u/a.txt", true},
                          {"/home/u/evil\n/etc/passwd", false},
                          {"/home/u/evil\r/etc/passwd", false},
                          {"/home/u/trailing\r", false},
                          {"/home/u/tab\there", true}};
    for (const Case& c : cases) {
        EXPECT_EQ(queue.Add(c.path), c.queued) << c.path;
    }
    EXPECT_EQ(queue.Count(), 2u);
    EXPECT_EQ(Load(), (std::vector<std::string>{"/home/u/a.txt", "/home/u/tab\there"}));
    CloseLog();
    EXPECT_EQ(Occurrences(ReadFile(LogFilePath()), "Not queued: a path with a line break in it\n"),
              3u);
}

TEST(FileStorage, LinesOfFullLinuxPathLengthLoadAndOnlyTooLongOnesAreSkipped) {
    GetReceiveFolder();
    const std::string longest = "/" + std::string(4094, 'p');
    const std::string tooLong = "/" + std::string(4095, 'q');
    WriteFile(QueuePath(), "/first\r\n" + longest + "\r\n" + tooLong + "\r\n/after\r\n");
    EXPECT_EQ(Load(), (std::vector<std::string>{"/first", longest, "/after"}));
    CloseLog();
    EXPECT_NE(ReadFile(LogFilePath()).find("skipped a line longer than 4095 bytes\n"),
              std::string::npos);
}

TEST(FileStorage, AReadOnlyQueueFileLeavesChangesInMemoryUntilItIsWritableAgain) {
    GetReceiveFolder();
    WriteFile(QueuePath(), "/a\r\n");
    chmod(QueuePath().c_str(), 0444);
    FileStorage queue;
    queue.Add("/b");
    EXPECT_EQ(queue.Count(), 2u);
    std::string front;
    ASSERT_TRUE(queue.Front(front));
    EXPECT_EQ(front, "/a");
    EXPECT_EQ(ReadFile(QueuePath()), "/a\r\n");

    chmod(QueuePath().c_str(), 0640);
    queue.RemoveFront();
    EXPECT_EQ(ReadFile(QueuePath()), "/b\r\n");
    struct stat info {};
    ASSERT_EQ(stat(QueuePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);  // the user's mode survives the rewrite
}

TEST(FileStorage, ARewriteThatRunsOutOfSpaceLeavesTheOldFileWhole) {
    FileStorage queue;
    queue.Add("/one");
    queue.Add("/two");
    const std::string before = ReadFile(QueuePath());

    // The limit on file size stands in for a full disk: the new contents cannot be written.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    rlimit small = limit;
    small.rlim_cur = before.size();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    queue.Add("/three");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);

    EXPECT_EQ(ReadFile(QueuePath()), before);
    EXPECT_EQ(queue.Count(), 3u);
    queue.RemoveFront();
    EXPECT_EQ(ReadFile(QueuePath()), "/two\r\n/three\r\n");
}

TEST(FileStorage, ADropIsQueuedInOrderWithOneRewrite) {
    FileStorage queue;
    queue.AddAll({});
    EXPECT_FALSE(FileExists(QueuePath()));  // an empty drop writes nothing
    queue.Add("/before");

    // Room for the first paths of the drop but not all: one rewrite per path would leave
    // a part of it in the file, the one rewrite of the whole drop leaves the file as it was.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    rlimit small = limit;
    small.rlim_cur = std::string("/before\r\n/c\r\n/a\r\n").size();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    queue.AddAll({"/c", "/a", "/b", "/a"});
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_EQ(ReadFile(QueuePath()), "/before\r\n");
    EXPECT_EQ(queue.Count(), 5u);

    queue.AddAll({"/d"});
    EXPECT_EQ(Load(), (std::vector<std::string>{"/before", "/c", "/a", "/b", "/a", "/d"}));
}

// A batch's entries leave at once in memory; the file catches up by the next change, a
// Flush or the end, and a folder ahead of the queue is replaced by its files in one rewrite.
TEST(FileStorage, ABatchsRemovalsReachTheFileAndAFolderMakesWayForItsFiles) {
    {
        FileStorage queue;
        queue.AddAll({"/a", "/b", "/c", "/d", "/e"});
        queue.RemoveFrontSoon();
        queue.RemoveFrontSoon();
        EXPECT_EQ(queue.Count(), 3u);
        queue.Flush();
        EXPECT_EQ(Load(), (std::vector<std::string>{"/c", "/d", "/e"}));
        queue.RemoveFrontSoon();
        queue.ReplaceFront({"/e1", "/e2"});
        EXPECT_EQ(Load(), (std::vector<std::string>{"/e1", "/e2", "/e"}));
        queue.RemoveFrontSoon();
        std::string path;
        ASSERT_TRUE(queue.At(1, path));
        EXPECT_EQ(path, "/e");
        EXPECT_FALSE(queue.At(2, path));
    }
    EXPECT_EQ(Load(), (std::vector<std::string>{"/e2", "/e"})) << "written at the end";
    FileStorage again;
    again.Clear();
    EXPECT_EQ(ReadFile(QueuePath()), "");
}

TEST(FileStorage, AProcessKilledWhileRewritingNeverLeavesABrokenQueue) {
    GetReceiveFolder();
    for (int round = 0; round < 6; ++round) {
        ChildProcess child;
        ASSERT_TRUE(child.Fork([] {
            FileStorage queue;
            for (size_t n = queue.Count();; ++n) {
                queue.Add("/entry-" + std::to_string(n));
            }
        }));
        usleep(static_cast<useconds_t>(20000 + round * 7000));
        child.Kill();

        const std::vector<std::string> entries = Entries(ReadFile(QueuePath()));
        for (size_t i = 0; i < entries.size(); ++i) {
            ASSERT_EQ(entries[i], "/entry-" + std::to_string(i)) << "round " << round;
        }
    }
    FileStorage queue;
    EXPECT_GT(queue.Count(), 0u);
}

TEST(FileStorage, AddsFromSeveralThreadsAllReachTheFile) {
    FileStorage queue;
    auto adder = [&](char who) {
        for (int i = 0; i < 40; ++i) {
            queue.Add(std::string("/") + who + std::to_string(i));
        }
    };
    std::thread a(adder, 'a');
    std::thread b(adder, 'b');
    size_t seen = 0;
    while (seen < 80) {
        size_t now = queue.Count();  // never torn, never going back
        ASSERT_GE(now, seen);
        seen = now;
    }
    a.join();
    b.join();
    std::vector<std::string> entries = Load();
    ASSERT_EQ(entries.size(), 80u);
    int nextA = 0;
    int nextB = 0;
    for (const std::string& entry : entries) {
        int& next = entry[1] == 'a' ? nextA : nextB;
        EXPECT_EQ(entry.substr(2), std::to_string(next++));
    }
}

}  // namespace
