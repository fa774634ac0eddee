// Two copies of Zingwell pass files both ways: this test process is one, the headless peer
// program (bench/tools/zw_peer) with a home of its own is the other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/ReceiveFolder.h"
#include "support/Files.h"
#include "support/RecordingCallback.h"
#include "support/TestPaths.h"
#include "transfer/SListener.h"
#include "transfer/SSender.h"

extern char** environ;

namespace {

// The peer program, started with HOME pointing elsewhere; reads its "listening PORT" line.
class PeerProcess {
public:
    PeerProcess(const std::string& home, const std::vector<std::string>& arguments) {
        std::vector<std::string> environment = {"HOME=" + home};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::string(*entry).rfind("HOME=", 0) != 0) {
                environment.push_back(*entry);
            }
        }
        std::vector<std::string> argv = {ZINGWELL_BINARY_DIR "/bench/zw_peer"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        pid_ = -1;
        if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, Pointers(argv).data(),
                        Pointers(environment).data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        output_ = out[0];
    }
    ~PeerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
        close(output_);
    }
    // The port from the first line the peer writes, or 0.
    int Port() {
        std::string line;
        char c;
        while (read(output_, &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        return line.rfind("listening ", 0) == 0 ? atoi(line.c_str() + 10) : 0;
    }
    int Wait() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return -1;
    }

private:
    static std::vector<char*> Pointers(std::vector<std::string>& texts) {
        std::vector<char*> pointers;
        for (std::string& text : texts) {
            pointers.push_back(text.data());
        }
        pointers.push_back(nullptr);
        return pointers;
    }
    pid_t pid_ = -1;
    int output_ = -1;
};

TEST(EndToEnd, TwoCopiesPassFilesBothWays) {
    const std::string here = GetReceiveFolder();
    const std::string otherHome = TestPaths::NewFolder("other-home");
    const std::string outgoing = TestPaths::NewFolder("outgoing");
    const std::string mine = RandomBytes(3000000, 11);
    const std::string theirs = RandomBytes(1234567, 12);
    WriteFile(outgoing + "/from-here \x80\xff.bin", mine);
    WriteFile(outgoing + "/from-there.bin", theirs);

    RecordingCallback received;
    RecordingCallback sent;
    SListener listener;
    listener.SetCallback(&received);
    listener.Start(0);
    ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));

    PeerProcess other(otherHome,
                      {"--port", "0", "--receive", "1", "--timeout", "60", "--send", "127.0.0.1",
                       std::to_string(listener.BoundPort()), outgoing + "/from-there.bin"});
    const int otherPort = other.Port();
    ASSERT_GT(otherPort, 0);
    SSender sender;
    sender.SetCallback(&sent);
    ASSERT_TRUE(sender.SendFile("127.0.0.1", std::to_string(otherPort),
                                outgoing + "/from-here \x80\xff.bin"));

    ASSERT_TRUE(sent.WaitFor("FinishedSending", 1, std::chrono::seconds(60)));
    ASSERT_TRUE(received.WaitFor("FinishedSending", 1, std::chrono::seconds(60)));
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_EQ(ReadFile(here + "/from-there.bin"), theirs);
    EXPECT_EQ(ReadFile(otherHome + "/Zingwell/from-here \x80\xff.bin"), mine);
    EXPECT_EQ(received.Count("ReportError") + sent.Count("ReportError"), 0u);
}

}  // namespace
