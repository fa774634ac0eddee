#include "ftp/FTPer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "UploadJob.h"
#include "support/Network.h"

namespace {

using namespace std::chrono_literals;
using Session = ScriptedServer::Session;
using Lines = std::vector<std::string>;

TEST_F(UploadJob, ThreeFilesWithTheSecondMissingGoOverOneLogon) {
    ScriptedServer::UploadRun run;
    ScriptedServer server(ScriptedServer::Uploads(run), 1, 21);
    ASSERT_EQ(server.port(), 21);
    const std::string body = RandomBytes(256000, 7);
    FTPer ftper;
    Queue(ftper, "/",
          {LocalFile("a.txt", "alpha"), local + "/missing.txt", LocalFile("c.bin", body)});
    EXPECT_TRUE(ftper.Busy());
    ASSERT_TRUE(Idle(ftper));
    server.Finish();

    EXPECT_EQ(server.Lines(), (Lines{"USER user", "PASS secret", "TYPE I", "PASV", "STOR //a.txt",
                                     "NOOP", "TYPE I", "PASV", "STOR //c.bin", "NOOP", "QUIT"}));
    EXPECT_EQ(run.stored, (Lines{"//a.txt=alpha", "//c.bin=" + body}));
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
    NEED_PYFTPDLIB();
    const std::string root = TestPaths::NewFolder("pyftpd");
    mkdir((root + "/incoming").c_str(), 0755);
    PyFtpServer server(root, 21);
    ASSERT_TRUE(server.ok());
    FTPer ftper;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/", "/a.txt"}, {"", "/b.txt"}, {"incoming", "/incoming/c.txt"}};
    for (const auto& [target, where] : cases) {
        Queue(ftper, target, {LocalFile(where.substr(where.rfind('/') + 1), "to " + target)});
        ASSERT_TRUE(Idle(ftper));
        EXPECT_EQ(ReadFile(root + where), "to " + target);
    }
    EXPECT_EQ(events.Count("FinishedSending"), 3u);
    EXPECT_EQ(LogText(),
              "Connected to FTP server: 127.0.0.1\nCopied to FTP server:a.txt\n"
              "Connected to FTP server: 127.0.0.1\nCopied to FTP server:b.txt\n"
              "Connected to FTP server: 127.0.0.1\nCopied to FTP server:c.txt\n");
}

TEST_F(UploadJob, ALogonFailureReportsAndDropsTheTakenPaths) {
    FTPer ftper;
    // Nobody listens on port 21; the first-run address cannot be reached at all.
    for (const char* host : {"127.0.0.1", "255.255.255.255"}) {
        events.Clear();
        Queue(ftper, "/", {LocalFile("a.txt", "alpha")}, host);
        ASSERT_TRUE(Idle(ftper));
        EXPECT_EQ(events.Described(),
                  (Lines{"FoundBuddy (null) (null)", "ReportError 2", "LostBuddy 1"}));
    }
    EXPECT_EQ(LogText(),
              "Failed to connect to FTP server: 127.0.0.1\n"
              "Failed to connect to FTP server: 255.255.255.255\n");

    // The paths the failed jobs took are not uploaded by a later one.
    ScriptedServer::UploadRun run;
    ScriptedServer server(ScriptedServer::Uploads(run), 1, 21);
    events.Clear();
    Queue(ftper, "/", {});
    ASSERT_TRUE(Idle(ftper));
    server.Finish();
    EXPECT_TRUE(run.stored.empty());
    EXPECT_EQ(server.Lines(), (Lines{"USER user", "PASS secret", "QUIT"}));
    EXPECT_EQ(events.Described(),
              (Lines{"FoundBuddy (null) (null)", "ShowProgress 1 100", "FinishedSending"}));
}

TEST_F(UploadJob, AStartDuringAJobWaitsForItAndTheJobKeepsItsSettings) {
    std::atomic<bool> release{false};
    ScriptedServer::UploadRun run;
    ScriptedServer server(
        [&](Session& s) {
            WaitUntil([&] { return release.load(); }, 30s);
            ScriptedServer::Uploads(run)(s);
        },
        2, 21);
    FTPer ftper;
    Queue(ftper, "first", {LocalFile("a.txt", "alpha")});
    ASSERT_TRUE(WaitUntil([&] { return server.Accepted() == 1; }));

    Queue(ftper, "second", {LocalFile("b.txt", "beta")});
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(server.PendingConnection());  // no second job on the link meanwhile
    EXPECT_TRUE(ftper.Busy());
    release = true;
    ASSERT_TRUE(Idle(ftper));
    server.Finish();
    EXPECT_EQ(run.stored, (Lines{"first/a.txt=alpha", "second/b.txt=beta"}));
    EXPECT_EQ(events.Count("FinishedSending"), 2u);
    EXPECT_EQ(events.Described().back(), "FinishedSending");
}

TEST_F(UploadJob, AFileThatCostTheConnectionDoesNotStopTheNext) {
    ScriptedServer::UploadRun run;
    std::atomic<int> session{0};
    ScriptedServer server(
        [&](Session& s) {
            if (session++ > 0) {
                ScriptedServer::Uploads(run)(s);
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
            s.Reply(Session::PassiveReply(deadPort));
            s.Line();
            s.Reply("150 go");
            s.Reply("425 No data connection");
            s.WaitClosed();
        },
        2, 21);
    FTPer ftper;
    Queue(ftper, "", {LocalFile("a.txt", "alpha"), LocalFile("b.txt", "beta")});
    ASSERT_TRUE(Idle(ftper));
    server.Finish();
    EXPECT_EQ(run.stored, (Lines{"/b.txt=beta"}));
    EXPECT_EQ(events.Count("FoundBuddy"), 1u);
    EXPECT_EQ(events.Count("FinishedSending"), 1u);
    EXPECT_EQ(LogText(),
              "Connected to FTP server: 127.0.0.1\n"
              "Failed to copy to FTP server: a.txt\n"
              "Copied to FTP server:b.txt\n");
}

TEST_F(UploadJob, ALineBreakInAFileNameFailsThatFileOnly) {
    ScriptedServer::UploadRun run;
    ScriptedServer server(ScriptedServer::Uploads(run), 1, 21);
    FTPer ftper;
    Queue(ftper, "in", {LocalFile("bad\r\nDELE x", "evil"), LocalFile("good.txt", "good")});
    ASSERT_TRUE(Idle(ftper));
    server.Finish();
    EXPECT_EQ(run.stored, (Lines{"in/good.txt=good"}));
    for (const std::string& line : server.Lines()) {
        EXPECT_EQ(line.find("DELE"), std::string::npos) << line;
    }
    EXPECT_EQ(LogText(),
              "Connected to FTP server: 127.0.0.1\n"
              "Failed to copy to FTP server: bad\\r\\nDELE x\n"
              "Copied to FTP server:good.txt\n");
}

TEST_F(UploadJob, DestroyingTheUploaderEndsAJobThatWaitsForAServer) {
    ScriptedServer server([](Session& s) { EXPECT_TRUE(s.WaitClosed(30000)); }, 1, 21);
    auto ftper = std::make_unique<FTPer>();
    Queue(*ftper, "/", {LocalFile("a.txt", "alpha")});
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
