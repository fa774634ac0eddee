#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "ScriptedServer.h"
#include "ftp/BytesSendInterface.h"
#include "ftp/FTPLink.h"
#include "net/StartNetwork.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;
using Session = ScriptedServer::Session;

struct CountingSink : BytesSendInterface {
    int64_t last = 0;
    int calls = 0;
    void BytesSent(int64_t sent, int64_t) override {
        last = sent;
        ++calls;
    }
};

// Greets and takes the logon, then answers TYPE I.
void LogOnAndType(Session& s) {
    s.Reply("220 hi");
    EXPECT_EQ(s.Line(), "USER u");
    s.Reply("230 in");
    EXPECT_EQ(s.Line(), "TYPE I");
    s.Reply("200 binary");
}

class ScriptedTransfer : public testing::Test {
protected:
    void SetUp() override {
        StartNetwork();
        link.SetTimeout(10s);
        folder = TestPaths::NewFolder("local");
    }
    bool LogOn(int port) { return link.Logon("127.0.0.1", port, "u", "p", "", "", "", "", 0, 0); }
    std::string LocalFile(const std::string& name, const std::string& contents) {
        WriteFile(folder + "/" + name, contents);
        return folder + "/" + name;
    }

    FTPLink link;
    std::string folder;
};

TEST_F(ScriptedTransfer, APassiveReplyWithoutParenthesesStoresNothing) {
    ScriptedServer server([](Session& s) {
        LogOnAndType(s);
        EXPECT_EQ(s.Line(), "PASV");
        s.Reply("227 Entering Passive Mode 127,0,0,1,19,136");
        EXPECT_EQ(s.Line(), "NOOP");
        s.Reply("200 still in step");
        s.WaitClosed();
    });
    ASSERT_TRUE(LogOn(server.port()));
    EXPECT_FALSE(link.TransferFile(nullptr, 3, "/a.txt", LocalFile("a.txt", "abc"), true, false));
    EXPECT_EQ(link.replyText(), "227 Entering Passive Mode 127,0,0,1,19,136");
    EXPECT_TRUE(link.RunCommand("NOOP"));
    link.Quit();
}

TEST_F(ScriptedTransfer, APassiveReplyNamingAnotherHostIsNotFollowed) {
    std::string received;
    ScriptedServer server([&received](Session& s) {
        LogOnAndType(s);
        EXPECT_EQ(s.Line(), "PASV");
        // Another host: the client must still connect to this server, at this port.
        s.Reply(Session::PassiveReply(s.ListenForData(), "192.0.2.99"));
        EXPECT_EQ(s.Line(), "STOR /a.txt");
        const int data = s.AcceptData();
        s.Reply("150 go");
        received = Session::ReadAll(data);
        close(data);
        s.Reply("226 done");
        EXPECT_EQ(s.Line(), "NOOP");  // the 226 counts once NOOP is answered in step
        s.Reply("200 ok");
        s.WaitClosed();
    });
    ASSERT_TRUE(LogOn(server.port()));
    CountingSink sink;
    EXPECT_TRUE(link.TransferFile(&sink, 5, "/a.txt", LocalFile("a.txt", "hello"), true, false));
    EXPECT_EQ(link.replyText(), "226 done");
    link.Quit();
    server.Finish();
    EXPECT_EQ(received, "hello");
    EXPECT_EQ(sink.calls, 1);
}

TEST_F(ScriptedTransfer, ARefusedStoreSendsNoByteAndStaysInStep) {
    std::string received = "unset";
    ScriptedServer server([&received](Session& s) {
        LogOnAndType(s);
        EXPECT_EQ(s.Line(), "PASV");
        s.Reply(s.PassiveReply());
        EXPECT_EQ(s.Line(), "STOR /a.txt");
        const int data = s.AcceptData();  // the connect was under way before the reply
        s.Reply("553 Could not create file.");
        received = Session::ReadAll(data);
        close(data);
        EXPECT_EQ(s.Line(), "NOOP");
        s.Reply("200 ok");
        s.WaitClosed();
    });
    ASSERT_TRUE(LogOn(server.port()));
    EXPECT_FALSE(link.TransferFile(nullptr, 3, "/a.txt", LocalFile("a.txt", "abc"), true, false));
    EXPECT_EQ(link.replyText(), "553 Could not create file.");
    EXPECT_TRUE(link.Connected());
    EXPECT_TRUE(link.RunCommand("NOOP"));
    link.Quit();
    server.Finish();
    EXPECT_EQ(received, "");
}

TEST_F(ScriptedTransfer, AFailureThatLeavesAReplyUnreadClosesTheControlConnection) {
    ScriptedServer server([](Session& s) {
        LogOnAndType(s);
        EXPECT_EQ(s.Line(), "PASV");
        int deadPort = 0;
        close(ListenOnLoopback(deadPort));  // nobody takes the data connection there
        s.Reply(Session::PassiveReply(deadPort));
        EXPECT_EQ(s.Line(), "STOR /a.txt");
        s.Reply("150 go");
        s.Reply("425 Can't open data connection.");
        s.WaitClosed();
    });
    ASSERT_TRUE(LogOn(server.port()));
    EXPECT_FALSE(link.TransferFile(nullptr, 3, "/a.txt", LocalFile("a.txt", "abc"), true, false));
    EXPECT_EQ(link.replyText(), FTPLink::kNetworkError);
    EXPECT_FALSE(link.Connected());  // the 425 can never be read as another command's reply
}

TEST_F(ScriptedTransfer, AStoreThatIsNeverAnsweredIsGivenUpOn) {
    link.SetTimeout(300ms);
    ScriptedServer server([](Session& s) {
        LogOnAndType(s);
        EXPECT_EQ(s.Line(), "PASV");
        s.Reply(s.PassiveReply());
        EXPECT_EQ(s.Line(), "STOR /a.txt");
        s.WaitClosed();
    });
    ASSERT_TRUE(LogOn(server.port()));
    EXPECT_FALSE(link.TransferFile(nullptr, 3, "/a.txt", LocalFile("a.txt", "abc"), true, false));
    EXPECT_EQ(link.replyText(), FTPLink::kNetworkError);
    EXPECT_FALSE(link.Connected());
}

TEST_F(ScriptedTransfer, AnActiveServerThatNeverConnectsIsGivenUpOn) {
    link.SetTimeout(300ms);
    ScriptedServer server([](Session& s) {
        LogOnAndType(s);
        EXPECT_EQ(s.Line().rfind("PORT 127,0,0,1,", 0), 0u);
        s.Reply("200 PORT ok");
        EXPECT_EQ(s.Line(), "STOR /a.txt");
        s.Reply("150 connecting");
        s.WaitClosed();
    });
    ASSERT_TRUE(LogOn(server.port()));
    EXPECT_FALSE(link.TransferFile(nullptr, 3, "/a.txt", LocalFile("a.txt", "abc"), false, false));
    EXPECT_EQ(link.replyText(), "150 connecting");
    EXPECT_FALSE(link.Connected());
}

TEST_F(ScriptedTransfer, AStalledUploadIsCutOffWithAResetAndReportedAsFailed) {
    link.SetTimeout(300ms);
    bool reset = false;
    ScriptedServer server([&reset](Session& s) {
        LogOnAndType(s);
        EXPECT_EQ(s.Line(), "PASV");
        s.Reply(s.PassiveReply());
        EXPECT_EQ(s.Line(), "STOR /big.bin");
        const int data = s.AcceptData();
        s.Reply("150 go");
        // Read nothing until the client gives up; it must not end the stream in order.
        pollfd entry{data, POLLRDHUP, 0};
        for (int i = 0; i < 200 && (entry.revents & (POLLERR | POLLRDHUP)) == 0; ++i) {
            poll(&entry, 1, 50);
        }
        reset = (entry.revents & POLLERR) != 0;
        close(data);
        s.Reply("226 looked complete to a trusting server");
        EXPECT_EQ(s.Line(), "NOOP");
        s.Reply("200 ok");
        s.WaitClosed();
    });
    ASSERT_TRUE(LogOn(server.port()));
    CountingSink sink;
    const std::string big = LocalFile("big.bin", std::string(32 * 1024 * 1024, 'b'));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.TransferFile(&sink, 32 * 1024 * 1024, "/big.bin", big, true, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_EQ(link.replyText(), FTPLink::kNetworkError);
    EXPECT_LT(sink.last, 32 * 1024 * 1024);
    EXPECT_TRUE(link.RunCommand("NOOP"));  // the closing reply was read: still in step
    link.Quit();
    server.Finish();
    EXPECT_TRUE(reset);
}

TEST_F(ScriptedTransfer, ALineBreakInTheRemotePathFailsBeforeAnythingIsSent) {
    ScriptedServer server([](Session& s) {
        s.Reply("220 hi");
        EXPECT_EQ(s.Line(), "USER u");
        s.Reply("230 in");
        EXPECT_EQ(s.Line(), "NOOP");
        s.Reply("200 ok");
        s.WaitClosed();
    });
    ASSERT_TRUE(LogOn(server.port()));
    EXPECT_FALSE(link.TransferFile(nullptr, 3, "/a\r\nDELE b", LocalFile("a", "abc"), true, false));
    EXPECT_EQ(link.replyText(), FTPLink::kNetworkError);
    EXPECT_TRUE(link.RunCommand("NOOP"));
    link.Quit();
}

}  // namespace
