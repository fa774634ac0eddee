#include "transfer/SSender.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TransferHelpers.h"
#include "core/ReceiveFolder.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/RecordingCallback.h"
#include "support/TestPaths.h"
#include "transfer/SListener.h"
#include "transfer/WireFormat.h"

namespace {

using namespace transfer_test;
using namespace std::chrono_literals;

// A peer that takes one connection and keeps what it reads.
class RawPeer {
public:
    RawPeer() { listening_ = ListenOnLoopback(port_); }
    ~RawPeer() {
        if (reader_.joinable()) {
            reader_.join();
        }
        close(listening_);
    }
    std::string Port() const { return std::to_string(port_); }
    // Accepts in the background and hands the connection to `serve`, which closes it.
    void Serve(std::function<void(int)> serve) {
        reader_ = std::thread([this, serve] { serve(accept(listening_, nullptr, nullptr)); });
    }
    // Accepts in the background, reads `limit` bytes (all when 0), then closes.
    void ReadInBackground(size_t limit = 0, bool reset = false) {
        reader_ = std::thread([this, limit, reset] {
            int fd = accept(listening_, nullptr, nullptr);
            if (limit == 0) {
                received_ = ReadAll(fd, &endedByReset_);
            } else {
                std::string part(limit, '\0');
                received_ = std::string(part.data(), recv(fd, part.data(), limit, MSG_WAITALL));
            }
            if (reset) {
                shutdown(fd, SHUT_WR);  // the sender is then told EPIPE, which may raise SIGPIPE
                Reset(fd);
            } else {
                close(fd);
            }
        });
    }
    std::string Received() {
        reader_.join();
        return received_;
    }
    // After Received: whether the stream that was read to its end ended with a reset.
    bool EndedByReset() const { return endedByReset_; }
    int listening() const { return listening_; }

private:
    int port_ = 0;
    int listening_ = -1;
    std::thread reader_;
    std::string received_;
    bool endedByReset_ = false;
};

std::string NewFile(const std::string& name, const std::string& contents) {
    const std::string path = TestPaths::NewFolder("out") + "/" + name;
    WriteFile(path, contents);
    return path;
}

std::string FreePort() {
    int port = 0;
    close(ListenOnLoopback(port));
    return std::to_string(port);
}

// A sender whose events are recorded.
class Sending : public testing::Test {
protected:
    void SetUp() override { sender.SetCallback(&events); }
    RecordingCallback events;  // outlives the sender's threads
    SSender sender;
};

TEST(SSender, PutsExactlyTheWireFormatOnTheConnection) {
    GetReceiveFolder();
    for (size_t size : {0, 1, 102399, 102400, 102401, 307200}) {
        RecordingCallback events;
        SSender sender;
        sender.SetCallback(&events);
        const std::string body = RandomBytes(size, 7);
        const std::string path = NewFile("w\x80\xff.bin", body);
        RawPeer peer;
        peer.ReadInBackground();
        ASSERT_TRUE(sender.SendFile("127.0.0.1", peer.Port(), path));
        ASSERT_TRUE(events.WaitFor("FinishedSending"));
        EXPECT_EQ(peer.Received(), Stream("w\x80\xff.bin", body)) << size;
        EXPECT_EQ(events.Described(), ExpectedSendEvents(size)) << size;
        EXPECT_FALSE(sender.Busy());
    }
    EXPECT_NE(LogText().find("Connected to buddy at 127.0.0.1\n"), std::string::npos);
}

TEST(SSender, PassesFiftyMegabytesToTheReceiverWithEveryEvent) {
    RecordingCallback sent;
    RecordingCallback received;
    SListener listener;
    listener.SetCallback(&received);
    listener.Start(0);
    ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));
    SSender sender;
    sender.SetCallback(&sent);
    const std::string body = RandomBytes(50000000, 50);
    ASSERT_TRUE(sender.SendFile("127.0.0.1", std::to_string(listener.BoundPort()),
                                NewFile("fifty.bin", body)));
    ASSERT_TRUE(received.WaitFor("FinishedSending", 1, std::chrono::seconds(120)));
    ASSERT_TRUE(sent.WaitFor("FinishedSending"));
    EXPECT_TRUE(ReadFile(GetReceiveFolder() + "/fifty.bin") == body);
    EXPECT_EQ(sent.Described(), ExpectedSendEvents(body.size()));
    EXPECT_EQ(CheckReceiveEvents(received.Events(), 9, body.size()), "");
}

TEST_F(Sending, APeerThatCannotBeReachedIsNotAnError) {
    const std::string path = NewFile("a.txt", "a");
    // A port setting that is no port number is never cut down to one: it fails the same way.
    const std::vector<std::array<std::string, 3>> targets = {
        {"127.0.0.1", FreePort(), "Failed to connect to 127.0.0.1\n"},
        {"buddy.local", "6677", "Failed to connect to buddy.local\n"},
        {"127.0.0.1", "not a port", "Send failed: not a port is not a port number\n"},
        {"127.0.0.1", "70000", "Send failed: 70000 is not a port number\n"}};
    for (const auto& [address, port, line] : targets) {
        events.Clear();
        ASSERT_TRUE(sender.SendFile(address, port, path));
        ASSERT_TRUE(events.WaitFor("FoundBuddy"));
        EXPECT_EQ(events.Described(), std::vector<std::string>{"FoundBuddy (null) (null)"});
        EXPECT_NE(LogText().find(line), std::string::npos) << port;
    }
}

TEST_F(Sending, AFileThatCannotBeOpenedIsErrorOneAndTheConnectionIsClosed) {
    const std::string folder = TestPaths::NewFolder("a-folder");
    for (const std::string& path : {folder + "/missing.txt", folder}) {
        events.Clear();
        RawPeer peer;
        peer.ReadInBackground();
        ASSERT_TRUE(sender.SendFile("127.0.0.1", peer.Port(), path));
        EXPECT_EQ(peer.Received(), "");  // closed, not left hanging
        ASSERT_TRUE(events.WaitFor("ReportError"));
        EXPECT_EQ(events.Described(), std::vector<std::string>{"ReportError 1"});
    }
    EXPECT_NE(LogText().find("Connected to buddy at 127.0.0.1\nSend failed trying to read file\n"),
              std::string::npos);
}

TEST_F(Sending, APeerThatGoesAwayFailsTheSendButNeverKillsTheProcess) {
    signal(SIGPIPE, SIG_DFL);  // a write to a closed connection must not raise it
    RawPeer peer;
    peer.ReadInBackground(1000, true);
    ASSERT_TRUE(
        sender.SendFile("127.0.0.1", peer.Port(), NewFile("big.bin", std::string(8000000, 'b'))));
    ASSERT_TRUE(events.WaitFor("ReportError"));
    EXPECT_EQ(events.Described().back(), "ReportError 4");
    for (const auto& event : events.Events()) {
        if (event.name == "ShowProgress") {
            EXPECT_EQ(event.a % wire::kPieceSize, 0);
        }
    }
    EXPECT_NE(LogText().find("Send(): socket error\nSend failed\n"), std::string::npos);
    signal(SIGPIPE, SIG_IGN);
}

TEST_F(Sending, AFileThatShrinksIsAFailedSendAndOneThatGrowsIsSentAsAnnounced) {
    const std::string body = RandomBytes(20000000, 3);
    const std::string path = NewFile("changing.bin", body);
    {
        RawPeer peer;  // not reading yet: the transfer stalls with full buffers
        ASSERT_TRUE(sender.SendFile("127.0.0.1", peer.Port(), path));
        ASSERT_TRUE(events.WaitFor("ShowProgress"));
        ASSERT_EQ(truncate(path.c_str(), 1000000), 0);
        peer.ReadInBackground();
        const std::string received = peer.Received();
        EXPECT_TRUE(peer.EndedByReset()) << "a clean end would pass a cut file as whole";
        EXPECT_LT(received.size(), Stream("changing.bin", body).size());
        ASSERT_TRUE(events.WaitFor("ReportError"));
        EXPECT_EQ(events.Described().back(), "ReportError 4");
        EXPECT_NE(
            LogText().find("Send failed: the file got shorter while it was sent\nSend failed\n"),
            std::string::npos);
    }
    // Grows after its size went into the header: the buddy insists on exactly that size.
    events.Clear();
    WriteFile(path, body);
    RawPeer peer;
    ASSERT_TRUE(sender.SendFile("127.0.0.1", peer.Port(), path));
    ASSERT_TRUE(events.WaitFor("ShowProgress"));
    WriteFile(path, body + "more");
    peer.ReadInBackground();
    EXPECT_TRUE(peer.Received() == Stream("changing.bin", body));
    EXPECT_FALSE(peer.EndedByReset());
    ASSERT_TRUE(events.WaitFor("FinishedSending"));
}

TEST_F(Sending, FinishedSendingMeansTheBuddyClosedHavingTakenEveryByte) {
    sender.SetStallTimeout(700ms);
    const std::string body = RandomBytes(300000, 4);
    const std::string path = NewFile("confirm.bin", body);
    const std::string stream = Stream("confirm.bin", body);
    struct Buddy {
        std::string what;
        std::function<void(int)> serve;
    };
    const std::vector<Buddy> failing = {
        {"reads it all, then resets",
         [](int fd) {
             ReadAll(fd);
             Reset(fd);
         }},
        {"reads it all and never closes",
         [](int fd) {
             ReadAll(fd);
             std::this_thread::sleep_for(1500ms);
             close(fd);
         }},
        {"closes at once without reading", [](int fd) { close(fd); }},
        {"reads half and closes",
         [&](int fd) {
             std::string half(stream.size() / 2, '\0');
             recv(fd, half.data(), half.size(), MSG_WAITALL);
             close(fd);
         }},
    };
    for (const Buddy& buddy : failing) {
        events.Clear();
        RawPeer peer;
        peer.Serve(buddy.serve);
        ASSERT_TRUE(sender.SendFile("127.0.0.1", peer.Port(), path));
        ASSERT_TRUE(events.WaitFor("ReportError", 1, 10s)) << buddy.what;
        EXPECT_EQ(events.Described().back(), "ReportError 4") << buddy.what;
        EXPECT_EQ(events.Count("FinishedSending"), 0u) << buddy.what;
        EXPECT_FALSE(sender.Busy());
    }
    EXPECT_NE(LogText().find("Send(): buddy did not confirm the file\nSend failed\n"),
              std::string::npos);

    // A buddy that follows the wire format closes once it has read the end of the stream.
    events.Clear();
    RawPeer peer;
    peer.ReadInBackground();
    ASSERT_TRUE(sender.SendFile("127.0.0.1", peer.Port(), path));
    ASSERT_TRUE(events.WaitFor("FinishedSending"));
    EXPECT_TRUE(peer.Received() == stream);
}

TEST_F(Sending, ABuddyThatStopsReadingIsGivenUpAndTheNextTransferGoes) {
    sender.SetStallTimeout(500ms);
    RawPeer silent;  // accepts (in the system) and never reads
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(sender.SendFile("127.0.0.1", silent.Port(),
                                NewFile("unread.bin", std::string(30000000, 'u'))));
    ASSERT_TRUE(events.WaitFor("ReportError", 1, 20s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);  // not the default two minutes
    EXPECT_EQ(events.Described().back(), "ReportError 4");
    EXPECT_NE(LogText().find("Send(): buddy stopped reading\nSend failed\n"), std::string::npos);
    EXPECT_FALSE(sender.Busy());

    events.Clear();
    RawPeer reading;
    reading.ReadInBackground();
    ASSERT_TRUE(sender.SendFile("127.0.0.1", reading.Port(), NewFile("next.txt", "next")));
    ASSERT_TRUE(events.WaitFor("FinishedSending"));
    EXPECT_EQ(reading.Received(), Stream("next.txt", "next"));
}

TEST_F(Sending, ASecondSendFileDuringATransferIsRefusedAndChangesNothing) {
    const std::string first = RandomBytes(20000000, 1);
    RawPeer peer;  // not reading yet: the transfer stalls with full buffers
    ASSERT_TRUE(sender.SendFile("127.0.0.1", peer.Port(), NewFile("first.bin", first)));
    ASSERT_TRUE(events.WaitFor("ShowProgress"));
    EXPECT_TRUE(sender.Busy());
    EXPECT_FALSE(sender.SendFile("127.0.0.1", peer.Port(), NewFile("second.bin", "second")));
    EXPECT_TRUE(sender.Busy());
    peer.ReadInBackground();
    EXPECT_EQ(peer.Received(), Stream("first.bin", first));
    ASSERT_TRUE(events.WaitFor("FinishedSending"));
    EXPECT_EQ(events.Described(), ExpectedSendEvents(first.size()));
}

TEST(SSender, TheNextTransferMayStartFromInsideTheLastEvent) {
    RecordingCallback received;
    SListener listener;
    listener.SetCallback(&received);
    listener.Start(0);
    ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));
    const std::string port = std::to_string(listener.BoundPort());

    SSender sender;
    std::vector<std::string> queue = {NewFile("one.txt", "1"), NewFile("two.txt", "22"),
                                      NewFile("three.txt", std::string(250000, '3'))};
    std::atomic<size_t> next{1};
    std::atomic<bool> busyInEvent{false};
    RecordingCallback sent;
    sent.onEvent = [&](const RecordingCallback::Event& event) {
        if (event.name == "FinishedSending" && next < queue.size()) {
            busyInEvent = busyInEvent || sender.Busy();
            EXPECT_TRUE(sender.SendFile("127.0.0.1", port, queue[next++]));
        }
    };
    sender.SetCallback(&sent);
    ASSERT_TRUE(sender.SendFile("127.0.0.1", port, queue[0]));
    ASSERT_TRUE(sent.WaitFor("FinishedSending", 3));
    ASSERT_TRUE(received.WaitFor("FinishedSending", 3));
    EXPECT_FALSE(busyInEvent);
    const std::string folder = GetReceiveFolder();
    EXPECT_EQ(ReadFile(folder + "/one.txt"), "1");
    EXPECT_EQ(ReadFile(folder + "/two.txt"), "22");
    EXPECT_EQ(ReadFile(folder + "/three.txt"), std::string(250000, '3'));
}

TEST(SSender, DestructionResetsAStalledTransferOrEndsAConnectWithoutFurtherEvents) {
    RecordingCallback events;
    RawPeer stalled;  // not reading yet
    {
        SSender sender;
        sender.SetCallback(&events);
        ASSERT_TRUE(sender.SendFile("127.0.0.1", stalled.Port(),
                                    NewFile("stalled.bin", std::string(20000000, 's'))));
        ASSERT_TRUE(events.WaitFor("ShowProgress"));
    }
    const size_t after = events.Events().size();
    stalled.ReadInBackground();
    stalled.Received();
    EXPECT_TRUE(stalled.EndedByReset());

    // A listener whose queue is full drops new connection requests: connect() waits.
    int full = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(full, 0), 0);
    getsockname(full, reinterpret_cast<sockaddr*>(&address), &length);
    const int fullPort = ntohs(address.sin_port);
    const int queued = ConnectToLoopback(fullPort);
    const auto start = std::chrono::steady_clock::now();
    {
        SSender sender;
        sender.SetCallback(&events);
        ASSERT_TRUE(sender.SendFile("127.0.0.1", std::to_string(fullPort), NewFile("c.txt", "c")));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Not a timing check: an unwoken connect() would wait for the system's two minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(events.Events().size(), after);
    close(queued);
    close(full);
}

}  // namespace
