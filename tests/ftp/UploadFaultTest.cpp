// The upload job against servers that say what real servers may say but seldom do, or that
// hang up. Each case is a job of three files whose middle one meets the fault: the files
// around it must end as a correct client ends them, the client must never send a command
// before the answer to the last one, and a file the server stored whole is never reported
// failed. Each test runs in a network namespace of its own (port 21).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "UploadJob.h"
#include "core/ActivityLog.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

using Fault = ScriptedServer::Fault;
using ServerRun = ScriptedServer::UploadRun;

struct Case {
    const char* name;
    Fault fault;
    int times;
    bool middleCopied;
    int sessions;  // the logons the job makes
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

using ThreeFileJob = UploadJob;

class UploadFault : public ThreeFileJob, public testing::WithParamInterface<Case> {};

TEST_P(UploadFault, TheMiddleFileEndsAsACorrectClientEndsItAndTheOthersGo) {
    const Case& c = GetParam();
    const std::string body = RandomBytes(250000, 11);
    ServerRun run;
    run.fault = c.fault;
    run.times = c.times;
    RunJob(run, c.sessions, LocalFile("b.bin", body));

    Lines expected = {"up/a.txt=alpha", "up/b.bin=" + body, "up/c.txt=gamma"};
    if (!c.middleCopied) {
        expected.erase(expected.begin() + 1);
    }
    if (c.fault == Fault::StrayReplyWithAnAnswer) {
        // The stray reply fails a.txt at the NOOP after its 226; the retry stores it again.
        expected.insert(expected.begin(), expected.front());
    }
    EXPECT_TRUE(run.stored == expected) << run.stored.size() << " stored";
    EXPECT_EQ(server->Accepted(), c.sessions);
    EXPECT_EQ(server->Overtaken(), Lines{});
    EXPECT_EQ(LogText(), std::string("Connected to FTP server: 127.0.0.1\n"
                                     "Copied to FTP server:a.txt\n") +
                             (c.middleCopied ? "Copied to FTP server:b.bin\n"
                                             : "Failed to copy to FTP server: b.bin\n") +
                             "Copied to FTP server:c.txt\n");
    EXPECT_EQ(events.Count("ReportError"), 3u);
    EXPECT_EQ(events.Count("FinishedSending"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, UploadFault,
    testing::Values(
        Case{"PreliminaryBeforeTypeAnswer", Fault::PreliminaryBeforeTypeAnswer, 1, true, 1},
        Case{"PreliminaryBeforePasvAnswer", Fault::PreliminaryBeforePasvAnswer, 1, true, 1},
        Case{"EmptyLineBeforeAnswer", Fault::EmptyLineBeforeAnswer, 1, true, 1},
        Case{"StrayTextBeforeAnswer", Fault::StrayTextBeforeAnswer, 1, true, 1},
        Case{"SecondPreliminary", Fault::SecondPreliminary, 1, true, 1},
        Case{"RestartMarker", Fault::RestartMarker, 1, true, 1},
        // Taken in with the answer before it, it must still not answer the next command.
        Case{"StrayReplyWithAnAnswer", Fault::StrayReplyWithAnAnswer, 1, true, 2}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A server that hangs up is logged on to again, and the file goes once more; one that
// hangs up on that second try too fails the file, and the next file logs on anew.
INSTANTIATE_TEST_SUITE_P(
    HangUps, UploadFault,
    testing::Values(Case{"AtType", Fault::HangUpAtType, 1, true, 2},
                    Case{"AtStore", Fault::HangUpAtStore, 1, true, 2},
                    Case{"AfterTheData", Fault::HangUpAfterData, 1, true, 2},
                    Case{"ClosedBetweenFiles", Fault::ClosedAfterFirstFile, 1, true, 2},
                    // The 226 stands: nothing contradicted it, and it is not stored twice.
                    Case{"AtTheNoopAfterTheData", Fault::HangUpAtNoop, 1, true, 2},
                    Case{"TwiceForTheSameFile", Fault::HangUpAtType, 2, false, 3}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST_F(ThreeFileJob, ANamedPipeFailsAtOnceAndTheNextFileGoes) {
    const std::string pipe = local + "/b.bin";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    // Should the job wait for a writer, one comes after a while, so that a failure of this
    // test shows as the time it took rather than as a job that never ends.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        if (!WaitUntil([&] { return done.load(); }, 20s)) {
            close(open(pipe.c_str(), O_RDWR | O_CLOEXEC));
        }
    });
    ServerRun run;
    const auto start = std::chrono::steady_clock::now();
    RunJob(run, 1, pipe);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    done = true;
    writer.join();
    EXPECT_EQ(run.stored, (Lines{"up/a.txt=alpha", "up/c.txt=gamma"}));
    EXPECT_EQ(run.types, 2);  // nothing was said about the pipe
    EXPECT_EQ(LogText(),
              "Connected to FTP server: 127.0.0.1\n"
              "Copied to FTP server:a.txt\n"
              "Failed to copy to FTP server: b.bin\n"
              "Copied to FTP server:c.txt\n");
}

// CR, LF or NUL in a setting would end a command early and make the rest a command of its
// own: it is refused before anything of it is sent, and never forges a line of the log.
TEST_F(ThreeFileJob, LineBreaksAndNulsInTheSettingsAreRefusedBeforeAnythingIsSent) {
    struct Setting {
        const char* which;
        Lines heard;      // what the server hears
        std::string log;  // what the log says, after the host
    };
    const std::vector<Setting> settings = {
        {"host", {}, ""},
        {"user", {}, "Failed to connect to FTP server: 127.0.0.1\n"},
        {"pass", {"USER user"}, "Failed to connect to FTP server: 127.0.0.1\n"},
        {"target",
         {"USER user", "PASS secret", "QUIT"},
         "Connected to FTP server: 127.0.0.1\nFailed to copy to FTP server: a.txt\n"},
    };
    for (const std::string& bad : {std::string("\r"), std::string("\n"), std::string("\0", 1)}) {
        const std::string evil = bad + "DELE x";
        for (const Setting& setting : settings) {
            const std::string which = setting.which;
            SCOPED_TRACE(which + " with byte " + std::to_string(bad[0]));
            auto with = [&](const std::string& name, const std::string& value) {
                return which == name ? value + evil : value;
            };
            ServerRun run;
            ScriptedServer server(ScriptedServer::Uploads(run), which == "host" ? 0 : 1, 21);
            FTPer ftper;
            ftper.Configure(&events, with("host", "127.0.0.1"), with("user", "user"),
                            with("pass", "secret"), with("target", "up"));
            ftper.AddFile(LocalFile("a.txt", "alpha"));
            ftper.Start();
            ASSERT_TRUE(Idle(ftper, 20s));
            server.Finish();
            EXPECT_FALSE(server.PendingConnection());
            EXPECT_EQ(server.Lines(), setting.heard);
            const std::string escaped = bad == "\r" ? "\\r" : bad == "\n" ? "\\n" : "\\x00";
            EXPECT_EQ(LogText(), which == "host" ? "Failed to connect to FTP server: 127.0.0.1" +
                                                       escaped + "DELE x\n"
                                                 : setting.log);
            std::remove(LogFilePath().c_str());
        }
    }
}

}  // namespace
