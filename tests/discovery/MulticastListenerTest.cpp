#include "discovery/MulticastListener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/ActivityLog.h"
#include "net/GenSocket.h"
#include "net/GetMyIp.h"
#include "platform/RegistryKey.h"
#include "settings/RegistryNumber.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/RecordingCallback.h"
#include "support/Skip.h"
#include "support/TestPaths.h"

namespace {

using Clock = std::chrono::steady_clock;

void SetSystemNumber(const char* name, int value) {
    RegistryNumber(SettingKey(name), 0, true, RegRoot::LocalMachine).Set(value);
}

void SetSystemText(const char* name, const char* value) {
    RegistryText(SettingKey(name), "", true, RegRoot::LocalMachine).Set(value);
}

// Each test gets a network namespace of its own: the listener's ports are then its own, and
// nothing it sends can leave the machine. Its own address is a loopback one there, so
// "another computer" is a socket bound to another 127/8 address.
class MulticastListenerTest : public testing::Test {
protected:
    void SetUp() override {
        ZW_ENTER_OWN_NETWORK();
        ASSERT_TRUE(GetMyIp(own_, sizeof own_));
        ASSERT_EQ(strncmp(own_, "127.", 4), 0) << "own address " << own_ << " is not on lo";
        other_ = strcmp(own_, "127.0.0.2") == 0 ? "127.0.0.3" : "127.0.0.2";
        port_ = 20000 + getpid() % 20000;
        SetSystemNumber("MulticastListenPort", port_);
        alarm(60);  // a receive thread that cannot be stopped fails the test, not CI
    }
    void TearDown() override { alarm(0); }

    void StartListening(MulticastListener& listener) {
        const char* ready = "Starting multicast receiver\n";
        const size_t before = LoggedTimes(LogText(), ready);
        listener.StartReceiver();
        ASSERT_TRUE(WaitUntil([&] { return LoggedTimes(LogText(), ready) > before; }));
    }

    // One datagram from `source` to the listener's port, unicast, or to `group`.
    void SendFrom(const char* source, const std::string& text, const char* group = nullptr) {
        GenSocket socket;
        ASSERT_TRUE(socket.Open(0, SOCK_DGRAM, source));
        ASSERT_EQ(socket.SendToHost(text.data(), static_cast<int>(text.size()), port_,
                                    group ? group : "127.0.0.1", 0),
                  static_cast<int>(text.size()));
    }

    // Sorted: datagrams sent one after the other may be handled in another order.
    std::vector<std::string> Events() {
        std::vector<std::string> events = recorder_.Described();
        std::sort(events.begin(), events.end());
        return events;
    }

    char own_[28] = "";
    const char* other_ = nullptr;
    int port_ = 0;
    RecordingCallback recorder_;
};

TEST_F(MulticastListenerTest, AnAnnounceIsReportedAfterAPauseAndOwnDatagramsAreDropped) {
    Clock::time_point reported;
    recorder_.onEvent = [&](const RecordingCallback::Event&) { reported = Clock::now(); };
    MulticastListener listener(&recorder_);
    StartListening(listener);
    EXPECT_FALSE(listener.buddyKnown());

    SendFrom(own_, "b|10.0.0.9|1111");
    const Clock::time_point sent = Clock::now();
    SendFrom(other_, "b|10.0.0.7|6677");
    ASSERT_TRUE(recorder_.WaitFor("FoundBuddy"));
    EXPECT_GE(reported - sent, std::chrono::milliseconds(50));
    EXPECT_TRUE(listener.buddyKnown());
    // The address reported is the one in the message, not the datagram's source.
    EXPECT_EQ(recorder_.Described(), std::vector<std::string>{"FoundBuddy 10.0.0.7 6677"});
    EXPECT_EQ(LoggedTimes(LogText(), "Incoming multicast connection\n"), 1u);
}

TEST_F(MulticastListenerTest, OnlyTheFirstCharacterCountsAndEmptyFieldsVanish) {
    MulticastListener listener(&recorder_);
    StartListening(listener);
    SendFrom(other_, "x|10.0.0.1|1111");
    SendFrom(other_, "beacon|10.0.0.8|7000");
    SendFrom(other_, "||b||10.0.0.7|6677");
    ASSERT_TRUE(recorder_.WaitFor("FoundBuddy", 2));
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"FoundBuddy 10.0.0.7 6677", "FoundBuddy 10.0.0.8 7000"}));
}

TEST_F(MulticastListenerTest, ALeaveFromAnyCopyForgetsTheBuddy) {
    MulticastListener listener(&recorder_);
    StartListening(listener);
    SendFrom(other_, "d|10.0.0.7|blah, blah");  // no buddy known yet
    ASSERT_TRUE(recorder_.WaitFor("LostBuddy"));
    EXPECT_EQ(LogText().find("Buddy shuting down\n"), std::string::npos);

    SendFrom(other_, "b|10.0.0.7|6677");
    ASSERT_TRUE(recorder_.WaitFor("FoundBuddy"));
    EXPECT_TRUE(listener.buddyKnown());
    SendFrom("127.0.0.9", "d|10.0.0.99|blah, blah");  // a copy other than the buddy
    ASSERT_TRUE(recorder_.WaitFor("LostBuddy", 2));
    EXPECT_FALSE(listener.buddyKnown());
    SendFrom(other_, "d|10.0.0.7|blah, blah");  // the buddy is forgotten already
    ASSERT_TRUE(recorder_.WaitFor("LostBuddy", 3));

    EXPECT_EQ(recorder_.Described(),
              (std::vector<std::string>{"LostBuddy 0", "FoundBuddy 10.0.0.7 6677", "LostBuddy 0",
                                        "LostBuddy 0"}));
    EXPECT_EQ(LoggedTimes(LogText(), "Buddy shuting down\n"), 1u);
}

TEST_F(MulticastListenerTest, BadDatagramsAreDroppedAndListeningGoesOn) {
    MulticastListener listener(&recorder_);
    StartListening(listener);
    for (const char* bad :
         {"", "b|10.0.0.7", "b||6677", "b|10.0.0.7|0", "b|10.0.0.7|65536", "b|10.0.0.7|66x",
          "b|10.0.0.7|12345678", "b|not an address|6677", "b|1234567890123456789012345678|6677"}) {
        SendFrom(other_, bad);
    }
    // 1023 bytes is the most a datagram may carry; one byte more and it is dropped whole.
    std::string longest = "b|10.0.0.6|6666|";
    longest.resize(1023, 'x');
    std::string tooLong = "b|10.0.0.5|5555|";
    tooLong.resize(1024, 'x');
    SendFrom(other_, tooLong);
    SendFrom(other_, longest);
    SendFrom(other_, "b|10.0.0.7|6677");
    ASSERT_TRUE(recorder_.WaitFor("FoundBuddy", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // anything late shows up
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"FoundBuddy 10.0.0.6 6666", "FoundBuddy 10.0.0.7 6677"}));
    EXPECT_EQ(LogText().find("receive failed"), std::string::npos);
}

TEST_F(MulticastListenerTest, DefaultPlacementIsWrittenBackAndMulticastIsHeard) {
    unlink(TestPaths::SystemRegistry().c_str());  // every value takes its default
    port_ = 1024;

    MulticastListener listener(&recorder_);
    StartListening(listener);
    const std::string stored = ReadFile(TestPaths::SystemRegistry());
    EXPECT_NE(stored.find("\"MulticastIP\"=\"225.6.7.8\"\n"), std::string::npos) << stored;
    EXPECT_NE(stored.find("\"MulticastListenPort\"=dword:00000400\n"), std::string::npos);

    SendFrom(other_, "b|10.0.0.7|6677", "225.6.7.8");
    ASSERT_TRUE(recorder_.WaitFor("FoundBuddy"));
    EXPECT_EQ(recorder_.Described(), std::vector<std::string>{"FoundBuddy 10.0.0.7 6677"});
}

// A socket that hears what the listener sends to the group.
class GroupWatcher {
public:
    GroupWatcher(int port, const char* group) {
        EXPECT_TRUE(socket_.OpenMulticastReceiver(port, group));
        timeval limit{10, 0};
        setsockopt(socket_.handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    std::string Next() {
        char buffer[1024];
        char source[28];
        int port = 0;
        const int n = socket_.ReceiveFrom(buffer, 1023, source, sizeof source, &port, 0);
        return n < 0 ? "(nothing)" : std::string(buffer, static_cast<size_t>(n));
    }

private:
    GenSocket socket_;
};

TEST_F(MulticastListenerTest, BeaconsGoWhereTheRegistrySaysAndAfterShutdownSayLeave) {
    SetSystemText("MulticastIP", "239.255.42.99");
    SetSystemNumber("MulticastPort", port_ + 1);
    GroupWatcher watcher(port_ + 1, "239.255.42.99");
    MulticastListener listener(&recorder_);

    // The receive thread's answer and the UI thread's timer may send at the same moment, the
    // very first beacon (which opens the socket) included.
    std::thread other([&] {
        for (int i = 0; i < 50; ++i)
            listener.SendBeacon(1000 + i);
    });
    for (int i = 0; i < 50; ++i)
        listener.SendBeacon(2000 + i);
    other.join();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(watcher.Next().rfind(std::string("b|") + own_ + "|", 0), 0u) << i;
    listener.SendBeacon(6677);
    EXPECT_EQ(watcher.Next(), std::string("b|") + own_ + "|6677");
    // An offer of secure transfers is a fourth field; none (or no TLS) is the three alone.
    listener.SetCapability(Capability{true, "0123456789abcdef", "Anna's PC"});
    listener.SendBeacon(6677);
    EXPECT_EQ(watcher.Next(),
              std::string("b|") + own_ + "|6677|zw1;tls;k=0123456789abcdef;n=Anna%27s%20PC");
    listener.SetCapability(Capability{false, "0123456789abcdef", "x"});
    listener.SendBeacon(6677);
    EXPECT_EQ(watcher.Next(), std::string("b|") + own_ + "|6677");
    listener.SetCapability(Capability{true, "", ""});

    listener.AnnounceShutdown();  // leaves never carry it
    EXPECT_EQ(watcher.Next(), std::string("d|") + own_ + "|blah, blah");
    listener.SendBeacon(6677);
    EXPECT_EQ(watcher.Next(), std::string("d|") + own_ + "|blah, blah");
}

TEST_F(MulticastListenerTest, FailuresAreLoggedAndEndNothingElse) {
    SetSystemText("MulticastIP", "10.1.2.3");  // not a group: the receiver cannot join it
    MulticastListener broken(&recorder_);
    broken.StartReceiver();
    EXPECT_TRUE(WaitUntil([] {
        return LogText().find("RunMulticastThread() created multicast socket failed\n") !=
               std::string::npos;
    }));
    SetSystemText("MulticastIP", "225.6.7.8");
    ASSERT_EQ(RunShell("ip route del 224.0.0.0/4"), 0);
    broken.SendBeacon(6677);  // no route to the group
    EXPECT_NE(LogText().find("Multicast to failed\n"), std::string::npos);
}

TEST_F(MulticastListenerTest, DestroyingStopsTheReceiveThreadAtAnyMoment) {
    for (int i = 0; i < 20; ++i) {
        MulticastListener listener(&recorder_);
        listener.StartReceiver();  // destroyed while the thread may still be starting
    }
    {
        MulticastListener idle(&recorder_);  // never started
    }
    {
        MulticastListener listener(&recorder_);
        StartListening(listener);
        SendFrom(other_, "b|10.0.0.7|6677");  // destroyed while it waits to report, likely
    }
    {
        MulticastListener listener(&recorder_);
        StartListening(listener);  // destroyed while blocked in recvfrom
    }
    EXPECT_EQ(LogText().find("receive failed"), std::string::npos);
}

}  // namespace
