// Uploads that end before the file does, against a real vsftpd: its transfer log must show
// a failed upload, never a whole one, and a server that stops taking the data costs the job
// one stall and no more. Each test runs in a network namespace of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>

#include "Needs.h"
#include "ftp/BytesSendInterface.h"
#include "ftp/FTPLink.h"
#include "ftp/FTPer.h"
#include "net/StartNetwork.h"
#include "support/Files.h"
#include "support/RecordingCallback.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;

int64_t FileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

// A file of `size` zero bytes, without writing them.
std::string BigFile(const std::string& path, int64_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_EQ(ftruncate(fd, size), 0);
    close(fd);
    return path;
}

struct CallOnProgress : BytesSendInterface {
    std::function<void(int64_t)> call;
    void BytesSent(int64_t sent, int64_t) override { call(sent); }
};

// Uploads localPath to vsftpd in the child process, which `ending` ends in the middle (from
// inside, or by letting the test kill it).
void UploadInAChild(ChildProcess& child, int port, const std::string& localPath,
                    const std::string& remotePath, std::function<void(int64_t)> ending) {
    child.Fork([&] {
        StartNetwork();
        FTPLink link;
        CallOnProgress sink;
        sink.call = std::move(ending);
        if (link.Logon("127.0.0.1", port, "anonymous", "x", "", "", "", "", 0, 0)) {
            link.TransferFile(&sink, FileSize(localPath), remotePath, localPath, true, false);
        }
    });
}

// The server's verdict on the upload, once it has given one.
std::string Verdict(const VsFtpServer& server) {
    std::string log;
    WaitUntil(
        [&] {
            log = server.TransferLog();
            return log.find("UPLOAD") != std::string::npos;
        },
        20s);
    return log;
}

class VsftpdCutOff : public testing::Test {
protected:
    void SetUp() override { local = TestPaths::NewFolder("local"); }
    std::string local;
};

TEST_F(VsftpdCutOff, AnUploaderThatEndsWithExitInTheMiddleLeavesAFailedUpload) {
    ENTER_OWN_NETWORK();
    NEED_VSFTPD();
    VsFtpServer server;
    ASSERT_TRUE(server.ok());
    const std::string big = BigFile(local + "/big.bin", 64 << 20);
    ChildProcess child;
    UploadInAChild(child, server.port(), big, "incoming/big.bin", [](int64_t sent) {
        if (sent > (4 << 20)) {
            _exit(0);  // as Exit ends the program: at once, with the upload under way
        }
    });
    ASSERT_NE(child.Wait(), -1);
    const std::string log = Verdict(server);
    EXPECT_NE(log.find("FAIL UPLOAD"), std::string::npos) << log;
    EXPECT_EQ(log.find("OK UPLOAD"), std::string::npos) << log;
}

TEST_F(VsftpdCutOff, AnUploaderKilledInTheMiddleLeavesAFailedUpload) {
    ENTER_OWN_NETWORK();
    NEED_VSFTPD();
    if (access("/usr/sbin/tc", X_OK) != 0) {
        ZW_SKIP_FOR_LACK_OF("tc (iproute2) to slow the link");
    }
    // 10 MB/s on loopback: the upload is still going when the kill comes.
    ASSERT_EQ(RunShell("tc qdisc add dev lo root tbf rate 80mbit burst 256kb latency 100ms"), 0);
    VsFtpServer server;
    ASSERT_TRUE(server.ok());
    const int64_t size = 64 << 20;
    const std::string big = BigFile(local + "/big.bin", size);
    ChildProcess child;
    UploadInAChild(child, server.port(), big, "incoming/big.bin", [](int64_t) {});
    const std::string stored = server.incoming() + "/big.bin";
    const bool started = WaitUntil([&] { return FileSize(stored) > (1 << 20); }, 20s);
    child.Signal(SIGKILL);
    ASSERT_NE(child.Wait(), -1);
    ASSERT_TRUE(started);
    const std::string log = Verdict(server);
    EXPECT_NE(log.find("FAIL UPLOAD"), std::string::npos) << log;
    EXPECT_EQ(log.find("OK UPLOAD"), std::string::npos) << log;
    EXPECT_LT(FileSize(stored), size);
}

TEST_F(VsftpdCutOff, AReadErrorInTheMiddleLeavesAFailedUpload) {
    ENTER_OWN_NETWORK();
    NEED_VSFTPD();
    VsFtpServer server;
    ASSERT_TRUE(server.ok());
    // A regular file whose reading fails: the first page of this process's memory.
    StartNetwork();
    FTPLink link;
    ASSERT_TRUE(link.Logon("127.0.0.1", server.port(), "anonymous", "x", "", "", "", "", 0, 0));
    EXPECT_FALSE(link.TransferFile(nullptr, 0, "incoming/mem.bin", "/proc/self/mem", true, false));
    EXPECT_EQ(link.replyText(), FTPLink::kFileError);
    EXPECT_TRUE(link.Connected());  // the server's answer was read: still in step
    const std::string log = Verdict(server);
    EXPECT_NE(log.find("FAIL UPLOAD"), std::string::npos) << log;
    EXPECT_EQ(log.find("OK UPLOAD"), std::string::npos) << log;
    link.Quit();
}

// The server's session is frozen in the middle of the second of three files: the upload
// stalls, the job gives up on that file after one stall and takes the third file on a new
// logon. Takes a minute: the stall is the real one.
TEST_F(VsftpdCutOff, AStalledDataConnectionCostsTheJobOneStall) {
    ENTER_OWN_NETWORK();
    NEED_VSFTPD();
    VsFtpServer server(21, "one_process_model=YES\n");
    ASSERT_TRUE(server.ok());
    const int64_t size = 256 << 20;
    const std::string big = BigFile(local + "/b.bin", size);
    WriteFile(local + "/a.txt", "alpha");
    WriteFile(local + "/c.txt", "gamma");
    RecordingCallback events;
    std::atomic<bool> frozen{false};
    events.onEvent = [&](const RecordingCallback::Event& event) {
        if (event.name == "ShowProgress" && event.b == size && !frozen.exchange(true)) {
            server.SignalSessions(SIGSTOP);
        }
    };
    FTPer ftper;
    ftper.Configure(&events, "127.0.0.1", "anonymous", "x", "incoming");
    for (const char* name : {"a.txt", "b.bin", "c.txt"}) {
        ftper.AddFile(local + "/" + name);
    }
    const auto start = std::chrono::steady_clock::now();
    ftper.Start();
    const bool ended = WaitUntil([&] { return !ftper.Busy(); }, 150s);
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server.SignalSessions(SIGCONT);
    ASSERT_TRUE(ended);
    printf("the job with the stalled file took %.1f s\n", seconds);
    RecordProperty("job_seconds", std::to_string(seconds));
    EXPECT_LT(seconds, 75.0);  // one stall of 60 s and a short wait for the last word

    EXPECT_EQ(LogText(),
              "Connected to FTP server: 127.0.0.1\n"
              "Copied to FTP server:a.txt\n"
              "Failed to copy to FTP server: b.bin\n"
              "Copied to FTP server:c.txt\n");
    EXPECT_EQ(ReadFile(server.incoming() + "/c.txt"), "gamma");
    // Woken again, the frozen session finds the connection reset: not a whole file.
    ASSERT_TRUE(
        WaitUntil([&] { return server.TransferLog().find("b.bin") != std::string::npos; }, 20s));
    const std::string log = server.TransferLog();
    EXPECT_NE(log.find("FAIL UPLOAD: Client \"127.0.0.1\", \"/incoming/b.bin\""), std::string::npos)
        << log;
    EXPECT_EQ(log.find("OK UPLOAD: Client \"127.0.0.1\", \"/incoming/b.bin\""), std::string::npos)
        << log;
}

}  // namespace
