#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "ScriptedServer.h"
#include "ftp/FTPLink.h"
#include "net/StartNetwork.h"
#include "support/Network.h"

namespace {

using namespace std::chrono_literals;
using Session = ScriptedServer::Session;

// A link with a generous limit for servers that answer, and a short one where a test waits
// for a time-out.
std::unique_ptr<FTPLink> NewLink(std::chrono::milliseconds timeout = 10s) {
    StartNetwork();
    auto link = std::make_unique<FTPLink>();
    link->SetTimeout(timeout);
    return link;
}

// Greets, answers each command with the next code, then waits for the client to close.
ScriptedServer::Script Answer(std::vector<int> codes, std::string greeting = "220 hi") {
    return [codes, greeting](Session& s) {
        s.Reply(greeting);
        for (int code : codes) {
            if (s.Line() == "<closed>") {
                return;
            }
            s.Reply(std::to_string(code) + " reply");
        }
        s.WaitClosed();
    };
}

bool DirectLogon(FTPLink& link, int port, const std::string& user = "u",
                 const std::string& pass = "p") {
    return link.Logon("127.0.0.1", port, user, pass, "a", "", "", "", 0, 0);
}

struct Path {
    int kind;
    std::vector<int> replies;
    std::vector<std::string> commands;
    bool loggedOn;
};

TEST(Logon, EveryKindThroughIts2xxAnd3xxPaths) {
    const std::vector<Path> paths = {
        {0, {230}, {"USER u"}, true},
        {0, {331, 230}, {"USER u", "PASS p"}, true},
        {0, {331, 332, 230}, {"USER u", "PASS p", "ACCT a"}, true},
        {0, {331, 332, 332}, {"USER u", "PASS p", "ACCT a"}, false},
        {1,
         {331, 230, 350, 331, 332, 230},
         {"USER fu", "PASS fp", "SITE h:2121", "USER u", "PASS p", "ACCT a"},
         true},
        {1, {230, 230}, {"USER fu", "SITE h:2121"}, false},
        {1, {331, 331}, {"USER fu", "PASS fp"}, false},
        {1, {230, 350, 230}, {"USER fu", "SITE h:2121", "USER u"}, true},
        {2,
         {331, 230, 331, 332, 230},
         {"USER fu", "PASS fp", "USER u@h:2121", "PASS p", "ACCT a"},
         true},
        {2, {230, 230}, {"USER fu", "USER u@h:2121"}, true},
        {3, {220, 331, 230}, {"OPEN h:2121", "USER u", "PASS p"}, true},
        {3, {350, 230}, {"OPEN h:2121", "USER u"}, true},
        {4, {331, 230, 331, 230}, {"USER fu", "PASS fp", "USER u", "PASS p"}, true},
        {4, {230, 331, 332, 332}, {"USER fu", "USER u", "PASS p", "ACCT a"}, false},
        {5, {331, 230}, {"USER u@h:2121", "PASS p"}, true},
        {5, {230}, {"USER u@h:2121"}, true},
        {6,
         {331, 230, 331, 332, 230},
         {"USER fu@h:2121", "PASS fp", "USER u", "PASS p", "ACCT a"},
         true},
        {6, {230, 230}, {"USER fu@h:2121", "USER u"}, true},
        {7, {331, 230}, {"USER u@h:2121 fu", "PASS p"}, true},
        {7, {230}, {"USER u@h:2121 fu"}, false},
        {8, {331, 332, 230}, {"USER u@fu@h:2121", "PASS p@fp", "ACCT a"}, true},
        {8, {230}, {"USER u@fu@h:2121"}, true},
    };
    for (const Path& path : paths) {
        SCOPED_TRACE("kind " + std::to_string(path.kind) + ", " +
                     std::to_string(path.replies.size()) + " replies");
        ScriptedServer server(Answer(path.replies));
        auto link = NewLink();
        // Kinds 1 to 8 connect to the firewall; the commands name the server's host:port.
        const bool direct = path.kind == 0;
        const bool loggedOn =
            link->Logon(direct ? "127.0.0.1" : "h", direct ? server.port() : 2121, "u", "p", "a",
                        "127.0.0.1", "fu", "fp", server.port(), path.kind);
        EXPECT_EQ(loggedOn, path.loggedOn);
        EXPECT_EQ(link->Connected(), path.loggedOn);
        if (!loggedOn && path.commands.size() == path.replies.size()) {
            EXPECT_EQ(link->replyText(), FTPLink::kLogonFailed);
        }
        link->Quit();
        server.Finish();
        EXPECT_EQ(server.Lines(), path.commands);
    }
}

TEST(Logon, TheHostInCommandsCarriesThePortOnlyWhenItIsNot21) {
    ScriptedServer server(Answer({230}));
    auto link = NewLink();
    EXPECT_TRUE(link->Logon("h", 21, "u", "p", "", "127.0.0.1", "", "", server.port(), 5));
    link->Quit();
    server.Finish();
    EXPECT_EQ(server.Lines(), std::vector<std::string>({"USER u@h"}));
}

TEST(Logon, KindsOutsideTheTableTouchNothing) {
    int port = 0;
    const int listener = ListenOnLoopback(port);
    auto link = NewLink();
    for (int kind : {-1, 9}) {
        EXPECT_FALSE(link->Logon("127.0.0.1", port, "u", "p", "", "", "", "", 0, kind));
    }
    EXPECT_EQ(link->replyText(), "");
    pollfd entry{listener, POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 100), 0);  // nobody tried to connect
    close(listener);
}

TEST(Logon, AGreetingOfClass1IsWaitedPastForTheServersReadiness) {
    ScriptedServer ready([](Session& s) {
        s.Reply("120 Service ready in 1 second");
        std::this_thread::sleep_for(100ms);
        s.Reply("220 ready now");
        EXPECT_EQ(s.Line(), "USER u");
        s.Reply("230 in");
        s.WaitClosed();
    });
    auto link = NewLink();
    EXPECT_TRUE(DirectLogon(*link, ready.port()));
    link->Quit();
}

TEST(Logon, AThreeLineGreetingIsOneReply) {
    ScriptedServer server(Answer({230}, "220-Welcome\r\n220-more\r\n220 ready"));
    auto link = NewLink();
    EXPECT_TRUE(DirectLogon(*link, server.port()));
    link->Quit();
    server.Finish();
    EXPECT_EQ(server.Lines(), std::vector<std::string>({"USER u"}));
}

TEST(Logon, MultiLineRepliesEndOnlyAtTheirOwnClosingLine) {
    ScriptedServer server([](Session& s) {
        s.Reply("220-Welcome");
        s.Reply("230 not the end: another number");
        s.Reply("22");
        s.Reply("220-still going");
        s.Reply("220 ready");
        s.Line();
        s.Reply("331-Password");
        s.Reply("331 required");
        s.Line();
        s.Reply("230-a");
        s.Reply("");
        s.Reply("230 in");
        s.WaitClosed();
    });
    auto link = NewLink();
    EXPECT_TRUE(DirectLogon(*link, server.port()));
    EXPECT_EQ(link->replyText(), "230 in");
    EXPECT_EQ(link->replyClass(), 2);
    link->Quit();
    server.Finish();
    EXPECT_EQ(server.Lines(), std::vector<std::string>({"USER u", "PASS p"}));
}

TEST(Logon, AReplySplitByteByByteIsReadWhole) {
    ScriptedServer server([](Session& s) {
        for (char c : std::string("220-a\r\n220 b\r\n")) {
            s.Send(std::string(1, c));
            std::this_thread::sleep_for(1ms);
        }
        s.Line();
        for (char c : std::string("230 in\n")) {
            s.Send(std::string(1, c));
            std::this_thread::sleep_for(1ms);
        }
        s.WaitClosed();
    });
    auto link = NewLink();
    EXPECT_TRUE(DirectLogon(*link, server.port()));
    EXPECT_EQ(link->replyText(), "230 in");
    link->Quit();
}

// A logon that fails ends with the server's line, or a network error for a server that says
// nothing, too much or garbage, within the time-out; and leaves no connection.
TEST(Logon, FailuresLeaveTheReplyAndNoConnection) {
    auto sending = [](std::string bytes, int times = 1) {
        return [bytes, times](Session& s) {
            for (int i = 0; i < times; ++i) {
                s.Send(bytes);
            }
            s.WaitClosed();
        };
    };
    std::string manyLines;  // a multi-line reply that never closes is bounded as a whole
    for (int i = 0; i < 100; ++i) {
        manyLines += "220-" + std::string(100, 'z') + "\r\n";
    }
    struct Failure {
        const char* what;
        ScriptedServer::Script script;
        std::chrono::milliseconds timeout;
        std::string reply;
    };
    const std::vector<Failure> failures = {
        {"a rejected secret",
         [](Session& s) {
             s.Reply("220 hi");
             s.Line();
             s.Reply("331 Password required");
             s.Line();
             s.Reply("530 Login incorrect.");
             EXPECT_TRUE(s.WaitClosed());
         },
         10s, "530 Login incorrect."},
        {"a greeting of class 1 never followed",
         [](Session& s) {
             s.Reply("120 Service ready in 5 minutes");
             EXPECT_TRUE(s.WaitClosed());
         },
         300ms, FTPLink::kNetworkError},
        {"no answer at all", [](Session& s) { EXPECT_TRUE(s.WaitClosed()); }, 300ms,
         FTPLink::kNetworkError},
        {"a greeting too long", sending("220 " + std::string(100 * 1024, 'x') + "\r\n"), 10s,
         FTPLink::kNetworkError},
        {"a NUL in the greeting", sending(std::string("220 a\0b\r\n", 9)), 10s,
         FTPLink::kNetworkError},
        {"an endless multi-line reply", sending("220-start\r\n" + manyLines, 2000), 10s,
         FTPLink::kNetworkError},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.what);
        ScriptedServer server(failure.script);
        auto link = NewLink(failure.timeout);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(DirectLogon(*link, server.port()));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
        EXPECT_EQ(link->replyText(), failure.reply);
        EXPECT_FALSE(link->Connected());
    }
}

TEST(Logon, ALineBreakInAUserNameOrSecretIsNeverSent) {
    for (auto [user, pass] : {std::pair<std::string, std::string>{"u\r\nDELE x", "p"},
                              {"u", "p\nDELE x"},
                              {"u", std::string("p\0x", 3)}}) {
        ScriptedServer server([](Session& s) {
            s.Reply("220 hi");
            for (std::string line = s.Line(); line != "<closed>"; line = s.Line()) {
                s.Reply("331 go on");
            }
        });
        auto link = NewLink();
        EXPECT_FALSE(DirectLogon(*link, server.port(), user, pass));
        EXPECT_EQ(link->replyText(), FTPLink::kNetworkError);
        EXPECT_FALSE(link->Connected());
        server.Finish();
        for (const std::string& line : server.Lines()) {
            EXPECT_EQ(line.find("DELE"), std::string::npos) << line;
        }
    }
}

TEST(ControlConnection, OpeningAgainClosesTheEarlierConnection) {
    ScriptedServer server(
        [](Session& s) {
            s.Reply("220 hi");
            EXPECT_TRUE(s.WaitClosed(5000));
        },
        2);
    auto link = NewLink();
    ASSERT_TRUE(link->OpenControl("127.0.0.1", server.port()));
    ASSERT_TRUE(link->OpenControl("127.0.0.1", server.port()));
    EXPECT_TRUE(link->RunCommand(""));
    link->CloseControl();
    link->CloseControl();  // harmless a second time
    server.Finish();
    EXPECT_EQ(server.Accepted(), 2);
}

TEST(ControlConnection, RefusedAndUnresolvableServers) {
    int port = 0;
    close(ListenOnLoopback(port));  // a port nobody listens on
    auto link = NewLink();
    EXPECT_FALSE(link->OpenControl("127.0.0.1", port));
    EXPECT_EQ(link->replyText(), FTPLink::kUnableToConnect);
    EXPECT_FALSE(link->OpenControl("no-such-host.invalid", 21));
    EXPECT_EQ(link->replyText(), FTPLink::kUnableToConnect);
    EXPECT_FALSE(link->OpenControl("127.0.0.1", 0));
    EXPECT_FALSE(link->Connected());
    EXPECT_FALSE(link->RunCommand("NOOP"));
    EXPECT_EQ(link->replyText(), FTPLink::kNetworkError);
}

TEST(ControlConnection, QuitSendsQuitAndClosesWithoutWaiting) {
    ScriptedServer server([](Session& s) {
        s.Reply("220 hi");
        EXPECT_EQ(s.Line(), "NOOP");
        s.Reply("200 ok");
        EXPECT_EQ(s.Line(), "QUIT");
        EXPECT_TRUE(s.WaitClosed());  // no 221 was sent, and none awaited
    });
    auto link = NewLink();
    ASSERT_TRUE(link->OpenControl("127.0.0.1", server.port()));
    EXPECT_TRUE(link->RunCommand(""));
    EXPECT_TRUE(link->RunCommand("NOOP"));
    EXPECT_EQ(link->replyText(), "200 ok");
    link->Quit();
    EXPECT_FALSE(link->Connected());
}

TEST(ControlConnection, AbortEndsAWaitAtOnce) {
    ScriptedServer server([](Session& s) { s.WaitClosed(); });
    auto link = NewLink(60s);
    ASSERT_TRUE(link->OpenControl("127.0.0.1", server.port()));
    std::thread aborter([&] {
        std::this_thread::sleep_for(200ms);
        link->Abort();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link->RunCommand(""));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    aborter.join();
    EXPECT_FALSE(link->OpenControl("127.0.0.1", server.port()));  // for good
}

}  // namespace
