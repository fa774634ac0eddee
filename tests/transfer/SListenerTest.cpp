#include "transfer/SListener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "TransferHelpers.h"
#include "core/ActivityLog.h"
#include "core/ReceiveFolder.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/RecordingCallback.h"
#include "support/TestPaths.h"
#include "transfer/FileStorage.h"
#include "transfer/WireFormat.h"

namespace {

using namespace transfer_test;

class Receiving : public testing::Test {
protected:
    void SetUp() override {
        folder = GetReceiveFolder();
        listener.SetCallback(&events);
    }
    void Listen() {
        listener.Start(0);
        ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));
        port = listener.BoundPort();
    }
    // Sends the bytes on a connection of their own and ends it; waits for the last event.
    void Deliver(const std::string& bytes, const std::string& lastEvent = "FinishedSending") {
        const size_t before = events.Count(lastEvent);
        int fd = ConnectToLoopback(port);
        ASSERT_GE(fd, 0);
        SendAll(fd, bytes);
        shutdown(fd, SHUT_WR);
        ASSERT_TRUE(events.WaitFor(lastEvent, before + 1)) << lastEvent;
        close(fd);
    }

    RecordingCallback events;  // outlives the listener's threads
    SListener listener;
    std::string folder;
    int port = 0;
};

TEST_F(Receiving, StoresFilesOfEverySizeByteForByte) {
    Listen();
    const std::string name = "n\x80\xff\xe4.bin";
    for (size_t size : {0, 1, 102399, 102400, 102401, 1000000}) {
        events.Clear();
        const std::string body = RandomBytes(size, static_cast<uint32_t>(size));
        Deliver(Stream(name, body));
        EXPECT_EQ(ReadFile(folder + "/" + name), body) << size;
        EXPECT_EQ(CheckReceiveEvents(events.Events(), name.size(), size), "") << size;
    }
    EXPECT_NE(LogText().find("Listening for client...\nIncoming file: " + name + "\n"),
              std::string::npos);
}

TEST_F(Receiving, ReadsOnUntilAHeaderSentInPiecesIsWhole) {
    Listen();
    int fd = ConnectToLoopback(port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string stream = Stream("pieces.txt", "body");
    for (char byte : stream) {
        SendAll(fd, std::string(1, byte));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    shutdown(fd, SHUT_WR);
    ASSERT_TRUE(events.WaitFor("FinishedSending"));
    close(fd);
    EXPECT_EQ(ReadFile(folder + "/pieces.txt"), "body");
    EXPECT_EQ(CheckReceiveEvents(events.Events(), 10, 4), "");
}

TEST_F(Receiving, ConnectionsThatEndEarly) {
    Listen();
    // Closing at once: no file, and not an error.
    Deliver("");
    EXPECT_EQ(events.Described(), (std::vector<std::string>{"IncomingFile", "FinishedSending"}));

    // Closing cleanly after an honest header but before all the body: a shorter file.
    Deliver(wire::EncodeHeader("short.bin", 5000) + std::string(1000, 's'));
    EXPECT_EQ(ReadFile(folder + "/short.bin"), std::string(1000, 's'));

    // Breaking in the middle: a failed read, and what came stays.
    events.Clear();
    int fd = ConnectToLoopback(port);
    const std::string header = wire::EncodeHeader("broken.bin", 1000000);
    SendAll(fd, header + std::string(50000, 'b'));
    ASSERT_TRUE(WaitUntil([&] {
        const auto all = events.Events();
        return !all.empty() && all.back().name == "ShowProgress" &&
               all.back().a == int64_t(header.size() + 50000);
    }));
    Reset(fd);
    ASSERT_TRUE(events.WaitFor("ReportError"));
    EXPECT_EQ(events.Described().back(), "ReportError 5");
    EXPECT_EQ(ReadFile(folder + "/broken.bin"), std::string(50000, 'b'));
    EXPECT_NE(LogText().find("Listener: recv() failed\n"), std::string::npos);

    // Ending inside the header, or sending no separator in the first 102400 bytes: no file.
    Deliver("cut.bin\\\x01\x02", "ReportError");
    events.Clear();
    fd = ConnectToLoopback(port);
    SendAll(fd, std::string(wire::kPieceSize, 'x'));  // the connection stays open
    ASSERT_TRUE(events.WaitFor("ReportError"));
    close(fd);
    EXPECT_EQ(events.Described().back(), "ReportError 5");
    EXPECT_EQ(Listing(folder),
              (std::vector<std::string>{"broken.bin", "short.bin", "zingwelllog.txt"}));
    EXPECT_NE(LogText().find("Listener: no valid header, nothing stored\n"), std::string::npos);
}

TEST_F(Receiving, HostileNamesAreRefusedAndNothingLandsOutsideTheFolder) {
    FileStorage queue;
    queue.Add("/home/u/mine.txt");
    const std::string queueBefore = ReadFile(queue.FilePath());
    const std::vector<std::string> homeBefore = Listing(TestPaths::Home());
    Listen();
    const std::vector<std::string> names = {"",
                                            ".",
                                            "..",
                                            "../escape.txt",
                                            "sub/x",
                                            std::string("nul\0.txt", 8),
                                            "bell\a",
                                            "del\x7f",
                                            std::string(256, 'L'),
                                            "Files2Send.txt",
                                            "FILES2SEND.TXT",
                                            "zingwelllog.txt",
                                            ".Files2Send.txt.tmp-AbC123"};
    int refused = 0;
    for (const std::string& name : names) {
        Deliver(Stream(name, "/etc/shadow\r\n"), "ReportError");
        ++refused;
        EXPECT_EQ(events.Described().back(), "ReportError 3") << name;
    }
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"Files2Send.txt", "zingwelllog.txt"}));
    EXPECT_EQ(Listing(TestPaths::Home()), homeBefore);
    EXPECT_EQ(ReadFile(queue.FilePath()), queueBefore);
    EXPECT_FALSE(FileExists(folder + "/nul"));
    const std::string log = LogText();
    size_t count = 0;
    for (size_t at = 0;
         (at = log.find("Listener: failed to open file for writing\n", at)) != std::string::npos;
         ++at) {
        ++count;
    }
    EXPECT_EQ(count, names.size());
    EXPECT_NE(log.find("Incoming file: bell?\n"), std::string::npos);  // no raw control bytes
}

TEST_F(Receiving, NeverFollowsALinkOrOpensAnythingButAPlainFile) {
    const std::string outside = TestPaths::NewFolder("outside") + "/target.txt";
    WriteFile(outside, "keep me");
    ASSERT_EQ(symlink(outside.c_str(), (folder + "/link.txt").c_str()), 0);
    ASSERT_EQ(mkfifo((folder + "/fifo").c_str(), 0600), 0);
    mkdir((folder + "/dir").c_str(), 0700);
    WriteFile(folder + "/old.txt", std::string(5000, 'o'));
    Listen();

    for (const char* name : {"link.txt", "fifo", "dir"}) {
        Deliver(Stream(name, "replaced"), "ReportError");
        EXPECT_EQ(events.Described().back(), "ReportError 3") << name;
    }
    EXPECT_EQ(ReadFile(outside), "keep me");
    struct stat info {};
    ASSERT_EQ(lstat((folder + "/link.txt").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));

    // A plain file of the same name is replaced whole.
    Deliver(Stream("old.txt", "new"));
    EXPECT_EQ(ReadFile(folder + "/old.txt"), "new");
}

TEST_F(Receiving, AFullDiskEndsTheTransferAndKeepsWhatWasWritten) {
    Listen();
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    rlimit small = limit;
    small.rlim_cur = 200000;  // stands in for a disk that fills up
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Deliver(Stream("big.bin", std::string(300000, 'f')), "ReportError");
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(events.Described().back(), "ReportError 3");
    EXPECT_EQ(ReadFile(folder + "/big.bin"), std::string(200000, 'f'));
    EXPECT_NE(LogText().find("Listener: failed to write the file\n"), std::string::npos);
    EXPECT_EQ(events.Count("FinishedSending"), 0u);
}

TEST_F(Receiving, SilentConnectionsCannotExhaustTheReceiver) {
    Listen();
    std::vector<int> silent;
    auto openSilent = [&] {
        const size_t before = events.Count("IncomingFile");
        silent.push_back(ConnectToLoopback(port));
        ASSERT_TRUE(events.WaitFor("IncomingFile", before + 1));
    };
    for (int i = 0; i < SListener::kMaxConnections - 1; ++i) {
        openSilent();
    }
    Deliver(Stream("through.txt", "still gets through"));  // the last place
    EXPECT_EQ(ReadFile(folder + "/through.txt"), "still gets through");
    openSilent();

    // One too many: closed at once, without an event.
    int extra = ConnectToLoopback(port);
    ASSERT_GE(extra, 0);
    char byte;
    EXPECT_LE(recv(extra, &byte, 1, 0), 0);
    close(extra);
    EXPECT_NE(LogText().find("Listener: too many connections, one closed\n"), std::string::npos);
    EXPECT_EQ(events.Count("IncomingFile"), size_t(SListener::kMaxConnections) + 1);

    // A place that comes free takes a transfer again.
    close(silent.back());
    silent.pop_back();
    ASSERT_TRUE(events.WaitFor("FinishedSending", 2));
    Deliver(Stream("after.txt", "after"));
    EXPECT_EQ(ReadFile(folder + "/after.txt"), "after");
    for (int fd : silent) {
        close(fd);
    }
    EXPECT_TRUE(events.WaitFor("FinishedSending", 3 + silent.size()));
}

TEST_F(Receiving, AConnectionThatBringsNoDataForTooLongEndsAsAFailedRead) {
    listener.SetIdleTimeout(std::chrono::milliseconds(300));
    Listen();
    int fd = ConnectToLoopback(port);
    SendAll(fd, wire::EncodeHeader("stalled.bin", 100) + "part");
    ASSERT_TRUE(events.WaitFor("ReportError"));
    EXPECT_EQ(events.Described().back(), "ReportError 5");
    EXPECT_EQ(ReadFile(folder + "/stalled.bin"), "part");
    EXPECT_NE(LogText().find("Listener: recv() failed\n"), std::string::npos);
    char byte;
    EXPECT_LE(recv(fd, &byte, 1, 0), 0);  // and the connection is closed
    close(fd);
}

TEST_F(Receiving, TwoConnectionsWithOneNameNeverInterleave) {
    Listen();
    int first = ConnectToLoopback(port);
    const std::string header = wire::EncodeHeader("same.bin", 3000);
    SendAll(first, header + std::string(1000, 'A'));
    ASSERT_TRUE(WaitUntil([&] {
        const auto all = events.Events();
        return !all.empty() && all.back().name == "ShowProgress" &&
               all.back().a == int64_t(header.size() + 1000);
    }));
    int second = ConnectToLoopback(port);
    SendAll(second, Stream("same.bin", std::string(500, 'B')));
    shutdown(second, SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(events.Count("FinishedSending"), 0u);  // the later one waits
    SendAll(first, std::string(2000, 'A'));
    shutdown(first, SHUT_WR);
    ASSERT_TRUE(events.WaitFor("FinishedSending", 2));
    EXPECT_EQ(ReadFile(folder + "/same.bin"), std::string(500, 'B'));
    close(first);
    close(second);
}

// Uses up every descriptor below a lowered limit; gives them back when it goes.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft() {
        getrlimit(RLIMIT_NOFILE, &limit_);
        rlimit tight = limit_;
        tight.rlim_cur = Listing("/proc/self/fd").size() + 16;
        setrlimit(RLIMIT_NOFILE, &tight);
        for (int filler; (filler = open("/dev/null", O_RDONLY)) >= 0;) {
            fillers_.push_back(filler);
        }
    }
    ~NoDescriptorsLeft() {
        for (int filler : fillers_) {
            close(filler);
        }
        setrlimit(RLIMIT_NOFILE, &limit_);
    }

private:
    rlimit limit_{};
    std::vector<int> fillers_;
};

TEST_F(Receiving, RunningOutOfDescriptorsDoesNotEndTheListening) {
#ifdef ZINGWELL_SANITIZED
    // Their checks open descriptors of their own (a pipe to probe memory), and fail without.
    GTEST_SKIP() << "the sanitizers cannot run their checks without descriptors";
#endif
    Listen();
    // One whole transfer first: the sanitizers' first type check of each call needs a
    // descriptor of its own, which will be missing below.
    Deliver(Stream("warm.txt", "w"));
    LogText();
    WriteLog("");  // the log is open from here on, so the failure can be written
    const int first = socket(AF_INET, SOCK_STREAM, 0);
    const int second = socket(AF_INET, SOCK_STREAM, 0);
    {
        // A blocked accept() may hold a descriptor already and take one connection; the
        // next accept() finds none.
        NoDescriptorsLeft none;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        for (int fd : {first, second}) {
            ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    for (int fd : {first, second}) {
        SendAll(fd, Stream(fd == first ? "first.txt" : "second.txt", "late"));
        shutdown(fd, SHUT_WR);
    }
    ASSERT_TRUE(events.WaitFor("FinishedSending", 3));
    EXPECT_EQ(ReadFile(folder + "/first.txt"), "late");
    EXPECT_EQ(ReadFile(folder + "/second.txt"), "late");
    EXPECT_NE(LogText().find("Listener: accept() failed\n"), std::string::npos);
    close(first);
    close(second);
}

TEST_F(Receiving, ASecondStartOnTheSamePortLogsTheBindFailure) {
    Listen();
    listener.Start(port);
    EXPECT_TRUE(
        WaitUntil([] { return LogText().find("Listener: bind() failed\n") != std::string::npos; }));
    Deliver(Stream("one.txt", "1"));  // the first goes on listening
    EXPECT_EQ(ReadFile(folder + "/one.txt"), "1");
}

TEST(SListener, DestructionEndsConnectionsInEveryStateWithoutFurtherEvents) {
    RecordingCallback events;
    auto listener = std::make_unique<SListener>();
    listener->SetCallback(&events);
    listener->Start(0);
    ASSERT_TRUE(WaitUntil([&] { return listener->BoundPort() != 0; }));
    const int port = listener->BoundPort();
    int silent = ConnectToLoopback(port);
    int midway = ConnectToLoopback(port);
    SendAll(midway, wire::EncodeHeader("midway.bin", 1000000) + "some");
    int waiting = ConnectToLoopback(port);  // waits for the name the one before writes
    SendAll(waiting, wire::EncodeHeader("midway.bin", 10) + "other");
    ASSERT_TRUE(events.WaitFor("IncomingFile", 3));
    ASSERT_TRUE(events.WaitFor("ShowProgress", 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    const size_t before = events.Events().size();
    listener.reset();  // joins every thread: a hang here fails the test by its time-out
    EXPECT_EQ(events.Events().size(), before);
    char byte;
    EXPECT_LE(recv(silent, &byte, 1, 0), 0);
    for (int fd : {silent, midway, waiting}) {
        close(fd);
    }
    SListener neverStarted;
}

}  // namespace
