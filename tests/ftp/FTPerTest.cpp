// The upload job end to end, each test in a network namespace of its own (port 21).
#include "ftp/FTPer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Needs.h"
#include "ScriptedServer.h"
#include "core/ActivityLog.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/RecordingCallback.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;
using Session = ScriptedServer::Session;
using Lines = std::vector<std::string>;

// A willing server: asks for a secret, takes every upload (noting "path=contents"), and
// ends at QUIT or when the client goes.
void ServeUploads(Session& s, std::vector<std::string>* stored) {
    s.Reply("220 ready");
    for (;;) {
        const std::string line = s.Line();
        if (line == "<closed>" || line == "QUIT") {
            return;
        }
        if (line.rfind("USER ", 0) == 0) {
            s.Reply("331 secret please");
        } else if (line.rfind("PASS ", 0) == 0) {
            s.Reply("230 in");
        } else if (line == "TYPE I") {
            s.Reply("200 binary");
        } else if (line == "NOOP") {
            s.Reply("200 ok");
        } else if (line == "PASV") {
            const int port = s.ListenForData();
            s.Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                    std::to_string(port % 256) + ")");
        } else if (line.rfind("STOR ", 0) == 0) {
            const int data = s.AcceptData();
            s.Reply("150 go");
            stored->push_back(line.substr(5) + "=" + Session::ReadAll(data));
            close(data);
            s.Reply("226 stored");
        } else {
            s.Reply("502 not here");
        }
    }
}

std::string LogText() {
    CloseLog();
    return ReadFile(LogFilePath());
}

bool WaitIdle(const FTPer& ftper) {
    return WaitUntil([&] { return !ftper.Busy(); }, 60s);
}

class UploadJob : public testing::Test {
protected:
    void SetUp() override { local = TestPaths::NewFolder("local"); }
    std::string LocalFile(const std::string& name, const std::string& contents) {
        WriteFile(local + "/" + name, contents);
        return local + "/" + name;
    }

    RecordingCallback events;
    std::string local;
};

TEST_F(UploadJob, ThreeFilesWithTheSecondMissingGoOverOneLogon) {
    ENTER_OWN_NETWORK();
    std::vector<std::string> stored;
    ScriptedServer server([&stored](Session& s) { ServeUploads(s, &stored); }, 1, 21);
    ASSERT_EQ(server.port(), 21);
    const std::string body = RandomBytes(256000, 7);
    FTPer ftper;
    ftper.Configure(&events, "127.0.0.1", "user", "secret", "/");
    ftper.AddFile(LocalFile("a.txt", "alpha"));
    ftper.AddFile(local + "/missing.txt");
    ftper.AddFile(LocalFile("c.bin", body));
    ftper.Start();
    EXPECT_TRUE(ftper.Busy());
    ASSERT_TRUE(WaitIdle(ftper));
    server.Finish();

    EXPECT_EQ(server.Lines(), (Lines{"USER user", "PASS secret", "TYPE I", "PASV", "STOR //a.txt",
                                     "NOOP", "TYPE I", "PASV", "STOR //c.bin", "NOOP", "QUIT"}));
    EXPECT_EQ(stored, (Lines{"//a.txt=alpha", "//c.bin=" + body}));
    EXPECT_EQ(events.Described(),
              (Lines{"FoundBuddy (null) (null)", "ShowProgress 1 100", "ShowProgress 5 5",
                     "ReportError 232323", "ReportError 232323", "ShowProgress 102400 256000",
                     "ShowProgress 204800 256000", "ShowProgress 256000 256000",
                     "ReportError 232323", "FinishedSending"}));
    EXPECT_EQ(LogText(),
              "Connected to FTP server: 127.0.0.1\n"
              "Copied to FTP server:a.txt\n"
              "Failed to copy to FTP server: missing.txt\n"
              "Copied to FTP server:c.bin\n");
}

TEST_F(UploadJob, TargetFoldersSlashEmptyAndNamedOnARealServer) {
    ENTER_OWN_NETWORK();
    NEED_PYFTPDLIB();
    const std::string root = TestPaths::NewFolder("pyftpd");
    mkdir((root + "/incoming").c_str(), 0755);
    PyFtpServer server(root, 21);
    ASSERT_TRUE(server.ok());
    FTPer ftper;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/", "/a.txt"}, {"", "/b.txt"}, {"incoming", "/incoming/c.txt"}};
    for (const auto& [target, where] : cases) {
        ftper.Configure(&events, "127.0.0.1", "user", "secret", target);
        ftper.AddFile(LocalFile(where.substr(where.rfind('/') + 1), "to " + target));
        ftper.Start();
        ASSERT_TRUE(WaitIdle(ftper));
        EXPECT_EQ(ReadFile(root + where), "to " + target);
    }
    EXPECT_EQ(events.Count("FinishedSending"), 3u);
    EXPECT_EQ(LogText(),
              "Connected to FTP server: 127.0.0.1\nCopied to FTP server:a.txt\n"
              "Connected to FTP server: 127.0.0.1\nCopied to FTP server:b.txt\n"
              "Connected to FTP server: 127.0.0.1\nCopied to FTP server:c.txt\n");
}

TEST_F(UploadJob, ALogonFailureReportsAndDropsTheTakenPaths) {
    ENTER_OWN_NETWORK();
    FTPer ftper;
    // Nobody listens on port 21; the first-run address cannot be reached at all.
    for (const char* host : {"127.0.0.1", "255.255.255.255"}) {
        events.Clear();
        ftper.Configure(&events, host, "user", "secret", "/");
        ftper.AddFile(LocalFile("a.txt", "alpha"));
        ftper.Start();
        ASSERT_TRUE(WaitIdle(ftper));
        EXPECT_EQ(events.Described(),
                  (Lines{"FoundBuddy (null) (null)", "ReportError 2", "LostBuddy 1"}));
    }
    EXPECT_EQ(LogText(),
              "Failed to connect to FTP server: 127.0.0.1\n"
              "Failed to connect to FTP server: 255.255.255.255\n");

    // The paths the failed jobs took are not uploaded by a later one.
    std::vector<std::string> stored;
    ScriptedServer server([&stored](Session& s) { ServeUploads(s, &stored); }, 1, 21);
    events.Clear();
    ftper.Configure(&events, "127.0.0.1", "user", "secret", "/");
    ftper.Start();
    ASSERT_TRUE(WaitIdle(ftper));
    server.Finish();
    EXPECT_TRUE(stored.empty());
    EXPECT_EQ(server.Lines(), (Lines{"USER user", "PASS secret", "QUIT"}));
    EXPECT_EQ(events.Described(),
              (Lines{"FoundBuddy (null) (null)", "ShowProgress 1 100", "FinishedSending"}));
}

TEST_F(UploadJob, AStartDuringAJobWaitsForItAndTheJobKeepsItsSettings) {
    ENTER_OWN_NETWORK();
    std::atomic<bool> release{false};
    std::vector<std::string> stored;
    ScriptedServer server(
        [&](Session& s) {
            WaitUntil([&] { return release.load(); }, 30s);
            ServeUploads(s, &stored);
        },
        2, 21);
    FTPer ftper;
    ftper.Configure(&events, "127.0.0.1", "user", "secret", "first");
    ftper.AddFile(LocalFile("a.txt", "alpha"));
    ftper.Start();
    ASSERT_TRUE(WaitUntil([&] { return server.Accepted() == 1; }));

    ftper.Configure(&events, "127.0.0.1", "user", "secret", "second");
    ftper.AddFile(LocalFile("b.txt", "beta"));
    ftper.Start();
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(server.PendingConnection());  // no second job on the link meanwhile
    EXPECT_TRUE(ftper.Busy());
    release = true;
    ASSERT_TRUE(WaitIdle(ftper));
    server.Finish();
    EXPECT_EQ(stored, (Lines{"first/a.txt=alpha", "second/b.txt=beta"}));
    EXPECT_EQ(events.Count("FinishedSending"), 2u);
    EXPECT_EQ(events.Described().back(), "FinishedSending");
}

TEST_F(UploadJob, AFileThatCostTheConnectionDoesNotStopTheNext) {
    ENTER_OWN_NETWORK();
    std::vector<std::string> stored;
    std::atomic<int> session{0};
    ScriptedServer server(
        [&](Session& s) {
            if (session++ > 0) {
                ServeUploads(s, &stored);
                return;
            }
            // The first file's data connection cannot be made, and the server's last word
            // on it comes late: the client must not take it for the next file's reply.
            s.Reply("220 ready");
            s.Line();
            s.Reply("230 in");
            s.Line();
            s.Reply("200 binary");
            s.Line();
            int deadPort = 0;
            close(ListenOnLoopback(deadPort));
            s.Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(deadPort / 256) + "," +
                    std::to_string(deadPort % 256) + ")");
            s.Line();
            s.Reply("150 go");
            s.Reply("425 No data connection");
            s.WaitClosed();
        },
        2, 21);
    FTPer ftper;
    ftper.Configure(&events, "127.0.0.1", "user", "secret", "");
    ftper.AddFile(LocalFile("a.txt", "alpha"));
    ftper.AddFile(LocalFile("b.txt", "beta"));
    ftper.Start();
    ASSERT_TRUE(WaitIdle(ftper));
    server.Finish();
    EXPECT_EQ(stored, (Lines{"/b.txt=beta"}));
    EXPECT_EQ(events.Count("FoundBuddy"), 1u);
    EXPECT_EQ(events.Count("FinishedSending"), 1u);
    EXPECT_EQ(LogText(),
              "Connected to FTP server: 127.0.0.1\n"
              "Failed to copy to FTP server: a.txt\n"
              "Copied to FTP server:b.txt\n");
}

TEST_F(UploadJob, ALineBreakInAFileNameFailsThatFileOnly) {
    ENTER_OWN_NETWORK();
    std::vector<std::string> stored;
    ScriptedServer server([&stored](Session& s) { ServeUploads(s, &stored); }, 1, 21);
    FTPer ftper;
    ftper.Configure(&events, "127.0.0.1", "user", "secret", "in");
    ftper.AddFile(LocalFile("bad\r\nDELE x", "evil"));
    ftper.AddFile(LocalFile("good.txt", "good"));
    ftper.Start();
    ASSERT_TRUE(WaitIdle(ftper));
    server.Finish();
    EXPECT_EQ(stored, (Lines{"in/good.txt=good"}));
    for (const std::string& line : server.Lines()) {
        EXPECT_EQ(line.find("DELE"), std::string::npos) << line;
    }
    EXPECT_EQ(LogText(),
              "Connected to FTP server: 127.0.0.1\n"
              "Failed to copy to FTP server: bad\\r\\nDELE x\n"
              "Copied to FTP server:good.txt\n");
}

TEST_F(UploadJob, DestroyingTheUploaderEndsAJobThatWaitsForAServer) {
    ENTER_OWN_NETWORK();
    ScriptedServer server([](Session& s) { EXPECT_TRUE(s.WaitClosed(30000)); }, 1, 21);
    auto ftper = std::make_unique<FTPer>();
    ftper->Configure(&events, "127.0.0.1", "user", "secret", "/");
    ftper->AddFile(LocalFile("a.txt", "alpha"));
    ftper->Start();
    ftper->Start();  // queued behind it, and dropped with it
    ASSERT_TRUE(WaitUntil([&] { return server.Accepted() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    ftper.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);  // not the 60 s of a time-out
    server.Finish();
    EXPECT_TRUE(events.Described().empty());
}

TEST_F(UploadJob, ProgressKeepsSizesOf2GiBAndMore) {
    FTPer ftper;
    ftper.Configure(&events, "", "", "", "");
    ftper.BytesSent(3000000000LL, 5000000000LL);
    EXPECT_EQ(events.Described(), (Lines{"ShowProgress 3000000000 5000000000"}));
}

}  // namespace
