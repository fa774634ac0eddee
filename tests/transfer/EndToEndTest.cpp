// Two copies of Zingwell pass files both ways: this test process is one, the headless peer
// program (bench/tools/zw_peer) with a home of its own is the other.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "TransferHelpers.h"
#include "core/ReceiveFolder.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/RecordingCallback.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "transfer/SListener.h"
#include "transfer/SSender.h"

namespace {

// The peer program, started with HOME pointing elsewhere; reads its "listening PORT" line.
class PeerProcess : public ChildProcess {
public:
    PeerProcess(const std::string& home, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), ZINGWELL_BINARY_DIR "/bench/zw_peer");
        Start(arguments, ChildOptions::Piped({"HOME=" + home}));
    }
    // The port from the first line the peer writes, or 0.
    int Port() {
        const std::string line = ReadLine(std::chrono::seconds(60));
        return line.rfind("listening ", 0) == 0 ? atoi(line.c_str() + 10) : 0;
    }
    // Its exit code, or -1 when it was ended by a signal.
    int Exit() {
        const int status = Wait();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
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
    EXPECT_EQ(other.Exit(), 0);
    EXPECT_EQ(ReadFile(here + "/from-there.bin"), theirs);
    EXPECT_EQ(ReadFile(otherHome + "/Zingwell/from-here \x80\xff.bin"), mine);
    EXPECT_EQ(received.Count("ReportError") + sent.Count("ReportError"), 0u);
}

TEST(EndToEnd, ABuddyKilledAfterTheLastByteLeftIsAFailedSend) {
    const std::string outgoing = TestPaths::NewFolder("outgoing");
    WriteFile(outgoing + "/last.bin", RandomBytes(20000, 31));
    PeerProcess buddy(TestPaths::NewFolder("other-home"),
                      {"--port", "0", "--receive", "1", "--timeout", "60"});
    const int port = buddy.Port();
    ASSERT_GT(port, 0);
    buddy.Signal(SIGSTOP);  // its system still takes the connection and the bytes

    RecordingCallback events;
    SSender sender;
    sender.SetCallback(&events);
    ASSERT_TRUE(sender.SendFile("127.0.0.1", std::to_string(port), outgoing + "/last.bin"));
    // FIN_WAIT2: this side sent everything and its end, and the buddy's system took them.
    ASSERT_TRUE(WaitUntil([&] { return ListsSocket(0, "tcp", port, true, "05"); }));
    EXPECT_TRUE(events.Events().empty()) << "no word from the buddy yet";
    EXPECT_TRUE(sender.Busy());
    buddy.Signal(SIGKILL);
    ASSERT_TRUE(events.WaitFor("ReportError"));
    EXPECT_EQ(events.Described(), std::vector<std::string>{"ReportError 4"});
    EXPECT_NE(
        transfer_test::LogText().find("Send(): buddy did not confirm the file\nSend failed\n"),
        std::string::npos);
}

TEST(EndToEnd, ASenderKilledMidFileLeavesTheOlderCopyAndStartedAgainDeliversIt) {
    // A link slow enough to kill the sender in the middle of the file: this test's own
    // network namespace, with loopback throttled.
    if (!EnterOwnNetworkNamespace() ||
        RunShell("ip link set lo mtu 1500 && "
                 "tc qdisc add dev lo root tbf rate 40mbit burst 64kb latency 400ms") != 0) {
        ZW_SKIP_FOR_LACK_OF("root for a network namespace with a slowed link (tc)");
    }
    const std::string here = GetReceiveFolder();
    const std::string older = RandomBytes(200000, 41);
    WriteFile(here + "/movie.bin", older);
    const std::string outgoing = TestPaths::NewFolder("outgoing");
    const std::string newer = RandomBytes(8000000, 42);
    WriteFile(outgoing + "/movie.bin", newer);

    RecordingCallback received;
    SListener listener;
    listener.SetCallback(&received);
    listener.Start(0);
    ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));
    const std::vector<std::string> send = {
        "--send",    "127.0.0.1", std::to_string(listener.BoundPort()), outgoing + "/movie.bin",
        "--timeout", "60"};
    const std::string senderHome = TestPaths::NewFolder("sender-home");
    {
        PeerProcess sender(senderHome, send);
        ASSERT_TRUE(WaitUntil([&] {
            const auto events = received.Events();
            return !events.empty() && events.back().name == "ShowProgress" &&
                   events.back().a > 1000000;
        }));
        sender.Signal(SIGKILL);
        EXPECT_EQ(sender.Exit(), -1);
    }
    ASSERT_TRUE(received.WaitFor("ReportError"));
    EXPECT_EQ(received.Described().back(), "ReportError 5");
    // A reset, not an end of stream that came too soon.
    EXPECT_NE(transfer_test::LogText().find("Listener: recv() failed\n"), std::string::npos);
    EXPECT_TRUE(ReadFile(here + "/movie.bin") == older);
    EXPECT_EQ(transfer_test::Listing(here),
              (std::vector<std::string>{"movie.bin", "zingwelllog.txt"}));

    // Sent again, it is kept beside the older copy, never over it.
    PeerProcess again(senderHome, send);
    EXPECT_EQ(again.Exit(), 0);
    ASSERT_TRUE(received.WaitFor("FinishedSending"));
    EXPECT_TRUE(ReadFile(here + "/movie (2).bin") == newer);
    EXPECT_TRUE(ReadFile(here + "/movie.bin") == older);
}

}  // namespace
