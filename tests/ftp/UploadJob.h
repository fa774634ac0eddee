#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Needs.h"
#include "ScriptedServer.h"
#include "ftp/FTPer.h"
#include "support/Files.h"
#include "support/RecordingCallback.h"
#include "support/TestPaths.h"

// The upload job end to end, in a network namespace of the test's own (port 21): local files
// to upload, what the job reported, and a server where the test wants one.
class UploadJob : public testing::Test {
protected:
    void SetUp() override {
        ENTER_OWN_NETWORK();
        local = TestPaths::NewFolder("local");
    }

    std::string LocalFile(const std::string& name, const std::string& contents) {
        WriteFile(local + "/" + name, contents);
        return local + "/" + name;
    }

    // A job of these paths to the target on the local server, as "user" with "secret", started.
    void Queue(FTPer& ftper, const std::string& target, const std::vector<std::string>& paths,
               const std::string& host = "127.0.0.1") {
        ftper.Configure(&events, host, "user", "secret", target);
        for (const std::string& path : paths) {
            ftper.AddFile(path);
        }
        ftper.Start();
    }

    static bool Idle(const FTPer& ftper, std::chrono::seconds limit = std::chrono::seconds(60)) {
        return WaitUntil([&] { return !ftper.Busy(); }, limit);
    }

    // One job of a.txt, the middle file and c.txt into "up", against the run's server.
    void RunJob(ScriptedServer::UploadRun& run, int sessions, const std::string& middle) {
        server.emplace(ScriptedServer::Uploads(run), sessions, 21);
        ASSERT_EQ(server->port(), 21);
        FTPer ftper;
        Queue(ftper, "up", {LocalFile("a.txt", "alpha"), middle, LocalFile("c.txt", "gamma")});
        ASSERT_TRUE(Idle(ftper));
        server->Finish();
    }

    RecordingCallback events;
    std::string local;
    std::optional<ScriptedServer> server;
};
