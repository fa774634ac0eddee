// Servers that say one thing twice, or a moment too late: a reply meant for one command must
// never be taken for the next. Each row uploads three files, with the upload job and with the
// one-file uploader (once per file), against a server that misbehaves once; every file must
// end as the server saw it, and the files after the fault must be stored.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "Needs.h"
#include "ScriptedServer.h"
#include "core/ActivityLog.h"
#include "ftp/FTPer.h"
#include "support/Files.h"
#include "support/RecordingCallback.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;
using Session = ScriptedServer::Session;
using Lines = std::vector<std::string>;

enum class Fault {
    TwoGreetings,         // "220" twice in one write
    TypeAnsweredTwice,    // "200", and again 0.3 s later
    EarlyAnswersThen451,  // 150 and 226 before the data, then 451 once it came
    StoreAnsweredTwice,   // "226", and "226 again" 0.3 s later (before NOOP's answer)
    GreetingThenAgain,    // "220", and "220 again" 0.3 s later
    FileShrinks,          // the local b.bin is cut to 10 bytes once its upload began
};

struct ServerRun {
    Fault fault;
    std::string shrink;  // the local path that shrinks
    bool fired = false;  // every fault happens once
    Lines stored;        // Kept(path, contents) of each file the server kept

    bool Fire(Fault f) {
        const bool now = fault == f && !fired;
        fired = fired || now;
        return now;
    }
};

// A file as the server kept it, short enough to read in a failure.
std::string Kept(const std::string& path, const std::string& contents) {
    return path + " " + std::to_string(contents.size()) + " bytes #" +
           std::to_string(std::hash<std::string>{}(contents) % 100000);
}

void Later(Session& s, const std::string& line) {
    std::this_thread::sleep_for(300ms);
    s.Send(line + "\r\n");  // unasked: not a reply the client may wait for
}

void Serve(Session& s, ServerRun& run) {
    if (run.Fire(Fault::TwoGreetings)) {
        s.Send("220 ready\r\n220 ready\r\n");
    } else {
        s.Reply("220 ready");
        if (run.Fire(Fault::GreetingThenAgain)) {
            Later(s, "220 again");
        }
    }
    bool loggedOn = false;
    for (;;) {
        const std::string line = s.Line();
        if (line == "<closed>" || line == "QUIT") {
            return;
        }
        if (line.rfind("USER ", 0) == 0) {
            s.Reply("331 secret please");
        } else if (line.rfind("PASS ", 0) == 0) {
            loggedOn = true;
            s.Reply("230 in");
        } else if (!loggedOn) {
            s.Reply("530 Please login with USER and PASS.");
        } else if (line == "NOOP") {
            s.Reply("200 ok");
        } else if (line == "TYPE I") {
            s.Reply("200 binary");
            if (run.Fire(Fault::TypeAnsweredTwice)) {
                Later(s, "200 binary");
            }
        } else if (line == "PASV") {
            const int port = s.ListenForData();
            s.Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                    std::to_string(port % 256) + ")");
        } else if (line.rfind("STOR ", 0) == 0) {
            const std::string path = line.substr(5);
            const int data = s.AcceptData();
            if (run.Fire(Fault::EarlyAnswersThen451)) {
                s.Send("150 go\r\n226 stored\r\n");
                Session::ReadAll(data);
                close(data);
                Later(s, "451 could not write it");
                continue;
            }
            if (path == "up/b.bin" && run.Fire(Fault::FileShrinks)) {
                EXPECT_EQ(truncate(run.shrink.c_str(), 10), 0);
            }
            s.Reply("150 go");
            errno = 0;
            const std::string contents = Session::ReadAll(data);
            const bool reset = errno == ECONNRESET;
            close(data);
            if (reset) {
                s.Reply("426 Connection reset, transfer aborted.");
                continue;
            }
            run.stored.push_back(Kept(path, contents));
            s.Reply("226 stored");
            if (run.Fire(Fault::StoreAnsweredTwice)) {
                Later(s, "226 again");
            }
        } else {
            s.Reply("502 not here");
        }
    }
}

struct Case {
    const char* name;
    Fault fault;
    int jobLogons;   // the job logs on again after the fault
    int toolLogons;  // three runs, one of them logging on twice unless its file failed
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class OutOfStep : public testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        ENTER_OWN_NETWORK();
        const std::string local = TestPaths::NewFolder("local");
        for (const auto& [name, contents] : {std::pair<std::string, std::string>{"a.txt", "alpha"},
                                             {"b.bin", RandomBytes(250000, 7)},
                                             {"c.txt", "gamma"}}) {
            WriteFile(local + "/" + name, contents);
            files.push_back(local + "/" + name);
            whole.push_back(Kept("up/" + name, contents));
        }
        run.fault = GetParam().fault;
        run.shrink = files[1];
    }

    // What the server must hold, and which files the client must call copied.
    Lines Expected() const {
        Lines expected = whole;
        if (run.fault == Fault::FileShrinks) {
            expected.erase(expected.begin() + 1);
        }
        return expected;
    }

    // What the server keeps, in order: a file whose 226 was answered twice fails at the NOOP
    // after it and is kept once more on the retry.
    Lines Held() const {
        Lines held = Expected();
        if (run.fault == Fault::StoreAnsweredTwice) {
            held.insert(held.begin(), held.front());
        }
        return held;
    }

    ServerRun run{};
    Lines files;
    Lines whole;
};

TEST_P(OutOfStep, TheUploadJobStoresEveryFileAsTheServerSawIt) {
    ScriptedServer server([this](Session& s) { Serve(s, run); }, GetParam().jobLogons, 21);
    ASSERT_EQ(server.port(), 21);
    RecordingCallback events;
    {
        FTPer ftper;
        ftper.Configure(&events, "127.0.0.1", "user", "secret", "up");
        for (const std::string& file : files) {
            ftper.AddFile(file);
        }
        ftper.Start();
        ASSERT_TRUE(WaitUntil([&] { return !ftper.Busy(); }, 60s));
    }
    server.Finish();
    EXPECT_EQ(run.stored, Held());
    std::string log = "Connected to FTP server: 127.0.0.1\n";
    for (const char* name : {"a.txt", "b.bin", "c.txt"}) {
        const bool stored = std::find(run.stored.begin(), run.stored.end(), whole[name[0] - 'a']) !=
                            run.stored.end();
        log += (stored ? "Copied to FTP server:" : "Failed to copy to FTP server: ") +
               std::string(name) + "\n";
    }
    CloseLog();
    EXPECT_EQ(ReadFile(LogFilePath()), log);
    EXPECT_EQ(server.Overtaken(), Lines{});
    EXPECT_EQ(server.Accepted(), GetParam().jobLogons);
    EXPECT_EQ(events.Count("FinishedSending"), 1u);
}

TEST_P(OutOfStep, TheOneFileUploaderStoresEachFileAsTheServerSawIt) {
    const std::string tool = ZINGWELL_BINARY_DIR "/bench/ftp_upload";
    ASSERT_EQ(access(tool.c_str(), X_OK), 0) << tool;
    ScriptedServer server([this](Session& s) { Serve(s, run); }, GetParam().toolLogons, 21);
    Lines reported;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string remote = "up/" + files[i].substr(files[i].rfind('/') + 1);
        const std::string command =
            tool + " 127.0.0.1 21 user secret '" + files[i] + "' " + remote + " 2>/dev/null";
        if (std::system(command.c_str()) == 0) {
            reported.push_back(whole[i]);
        }
    }
    server.Finish();
    EXPECT_EQ(run.stored, Held());
    EXPECT_EQ(reported, Expected());
    EXPECT_EQ(server.Accepted(), GetParam().toolLogons);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OutOfStep,
    testing::Values(Case{"TwoGreetings", Fault::TwoGreetings, 2, 4},
                    Case{"TypeAnsweredTwice", Fault::TypeAnsweredTwice, 2, 4},
                    Case{"EarlyAnswersThen451", Fault::EarlyAnswersThen451, 2, 4},
                    Case{"StoreAnsweredTwice", Fault::StoreAnsweredTwice, 2, 4},
                    Case{"GreetingThenAgain", Fault::GreetingThenAgain, 2, 4},
                    Case{"FileShrinks", Fault::FileShrinks, 2, 3}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A host with no IPv4 address cannot be reached by this client: the log says so.
TEST(IPv6OnlyHost, IsNamedInTheLog) {
    ENTER_OWN_NETWORK();
    RecordingCallback events;
    {
        FTPer ftper;
        ftper.Configure(&events, "::1", "user", "secret", "up");
        ftper.Start();
        ASSERT_TRUE(WaitUntil([&] { return !ftper.Busy(); }, 20s));
    }
    CloseLog();
    EXPECT_EQ(ReadFile(LogFilePath()), "FTP: ::1 has no IPv4 address\n");
    EXPECT_EQ(events.Count("ReportError"), 1u);
}

}  // namespace
