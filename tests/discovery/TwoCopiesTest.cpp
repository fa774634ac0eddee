// Two copies of the discovery, each in a network namespace of its own, joined by a veth
// pair: real multicast between two "computers". Each copy is zw-discovery-peer, the drop
// window's own heart without a screen; a third program in the first namespace lists every
// datagram on the wire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/GenSocket.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/NamespacePair.h"
#include "support/Network.h"
#include "support/Skip.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;

double NowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One zw-discovery-peer in a namespace, with a home and registry of its own; its printed
// lines are "<ms> <event> <rest>". Stopped (and waited for) when the test ends.
class Peer {
public:
    struct Line {
        double ms;
        std::string rest;
    };

    // queued: a path its queue holds from an earlier run, if any.
    Peer(const std::string& ns, const std::string& name, std::vector<std::string> args,
         const std::string& queued = "") {
        const std::string folder = TestPaths::NewFolder(name);
        output_ = folder + "/out.txt";
        queueFile_ = folder + "/Zingwell/Files2Send.txt";
        if (!queued.empty()) {
            mkdir((folder + "/Zingwell").c_str(), 0700);
            WriteFile(queueFile_, queued + "\r\n");
        }
        args.insert(args.begin(), ZINGWELL_BINARY_DIR "/bench/zw-discovery-peer");
        ChildOptions options;
        options.env = {"HOME=" + folder, "XDG_CONFIG_HOME=" + folder,
                       "ZINGWELL_SYSTEM_DIR=" + folder};
        options.netns = ns;
        options.output = output_;
        process_.Start(args, options);
    }
    ~Peer() { Stop(); }

    // As a crash or a power cut: no goodbye.
    void Kill() { process_.Kill(); }

    // As the user ending the program: the peer says it leaves, then exits.
    void Stop() {
        if (process_.pid() > 0) {
            // A clean end, also for the sanitizers in a sanitized build.
            const int status = process_.Stop();
            EXPECT_TRUE(ExitedWith(status)) << output_ << ": " << status;
        }
    }

    std::vector<Line> Lines(const std::string& event) const {
        std::vector<Line> lines;
        std::istringstream text(ReadFile(output_));
        std::string line;
        while (std::getline(text, line)) {
            std::istringstream words(line);
            Line parsed{};
            std::string word;
            words >> parsed.ms >> word;
            if (word == event) {
                std::getline(words >> std::ws, parsed.rest);
                lines.push_back(parsed);
            }
        }
        return lines;
    }
    std::vector<std::string> Rests(const std::string& event) const {
        std::vector<std::string> rests;
        for (const Line& line : Lines(event))
            rests.push_back(line.rest);
        return rests;
    }
    std::string Output() const { return ReadFile(output_); }
    std::string Queue() const { return ReadFile(queueFile_); }
    bool WaitFor(const std::string& event, size_t count = 1) const {
        return WaitUntil([&] { return Lines(event).size() >= count; }, 10s);
    }

private:
    std::string output_;
    std::string queueFile_;
    ChildProcess process_;
};

class TwoCopiesTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FileExists(ZINGWELL_BINARY_DIR "/bench/zw-discovery-peer"))
            << "build zw-discovery-peer first";
        ZW_MAKE_NAMESPACE_PAIR(net_);
    }

    std::optional<NamespacePair> net_;
};

const std::string kA = NamespacePair::kAddressA;
const std::string kB = NamespacePair::kAddressB;

TEST_F(TwoCopiesTest, TheyMeetWithFourDatagramsAndFallSilent) {
    Peer monitor(net_->a, "monitor", {"--monitor"});
    ASSERT_TRUE(monitor.WaitFor("monitor"));
    Peer a(net_->a, "a", {"--port", "6601"});
    ASSERT_TRUE(monitor.WaitFor("datagram"));  // its first announce is out, unheard

    const double secondStart = NowMs();
    Peer b(net_->b, "b", {"--port", "6602"});
    ASSERT_TRUE(a.WaitFor("FoundBuddy"));
    ASSERT_TRUE(b.WaitFor("FoundBuddy"));
    const double met =
        std::max(a.Lines("FoundBuddy")[0].ms, b.Lines("FoundBuddy")[0].ms) - secondStart;
    std::this_thread::sleep_for(3s);  // time enough for an endless exchange to show

    // A hears B's announce and answers; B hears the answer and answers; A hears that, but its
    // timer is stopped already, so it does not answer again.
    EXPECT_EQ(a.Rests("FoundBuddy"), (std::vector<std::string>{kB + " 6602", kB + " 6602"}));
    EXPECT_EQ(b.Rests("FoundBuddy"), std::vector<std::string>{kA + " 6601"});
    EXPECT_EQ(a.Rests("beacon"), (std::vector<std::string>{"start 6601", "answer 6601"}));
    EXPECT_EQ(b.Rests("beacon"), (std::vector<std::string>{"start 6602", "answer 6602"}));
    const std::vector<std::string> wire = monitor.Rests("datagram");
    EXPECT_EQ(wire,
              (std::vector<std::string>{kA + " b|" + kA + "|6601", kB + " b|" + kB + "|6602",
                                        kA + " b|" + kA + "|6601", kB + " b|" + kB + "|6602"}));
    printf("meeting: both reported %.0f ms after the second copy started; %zu datagrams\n", met,
           wire.size());
    RecordProperty("meeting_ms", static_cast<int>(met));
}

TEST_F(TwoCopiesTest, ALeaveMakesTheOtherAnnounceAgainUntilANewBuddyComes) {
    // The drop window's 10-second beacon timer is shortened so that the test stays quick.
    Peer monitor(net_->a, "monitor", {"--monitor"});
    ASSERT_TRUE(monitor.WaitFor("monitor"));
    Peer a(net_->a, "a", {"--port", "6601", "--beacon-period-ms", "600"});
    ASSERT_TRUE(monitor.WaitFor("datagram"));
    auto b = std::make_unique<Peer>(
        net_->b, "b", std::vector<std::string>{"--port", "6602", "--beacon-period-ms", "600"});
    // Once they have met: a leave while B still answers would turn its answer into a leave.
    ASSERT_TRUE(a.WaitFor("FoundBuddy", 2) && b->WaitFor("FoundBuddy"));

    b->Stop();
    ASSERT_TRUE(a.WaitFor("LostBuddy"));
    EXPECT_EQ(a.Rests("LostBuddy"), std::vector<std::string>{"0"});
    ASSERT_TRUE(a.WaitFor("beacon", 4));  // start, answer, then the timer again, twice
    const std::vector<Peer::Line> beacons = a.Lines("beacon");
    const double lost = a.Lines("LostBuddy")[0].ms;
    EXPECT_EQ(beacons[2].rest, "timer 6601");
    EXPECT_EQ(beacons[3].rest, "timer 6601");
    EXPECT_GE(beacons[2].ms - lost, 500);  // a timer never fires early
    EXPECT_GE(beacons[3].ms - beacons[2].ms, 500);
    EXPECT_TRUE(WaitUntil([&] {  // and they went out
        const std::vector<std::string> wire = monitor.Rests("datagram");
        const auto leave = std::find(wire.begin(), wire.end(), kB + " d|" + kB + "|blah, blah");
        return leave != wire.end() && std::count(leave, wire.end(), kA + " b|" + kA + "|6601") >= 2;
    }));

    Peer c(net_->b, "c", {"--port", "6603", "--beacon-period-ms", "600"});
    ASSERT_TRUE(c.WaitFor("FoundBuddy"));
    EXPECT_EQ(c.Rests("FoundBuddy")[0], kA + " 6601");
    ASSERT_TRUE(WaitUntil([&] { return a.Rests("FoundBuddy").back() == kB + " 6603"; }));
    std::this_thread::sleep_for(700ms);
    const size_t sent = a.Lines("beacon").size();
    std::this_thread::sleep_for(1500ms);  // more than two periods: the timer stays stopped
    EXPECT_EQ(a.Lines("beacon").size(), sent);
}

// A copy that crashes says no goodbye, so the other still knows it as its buddy with its
// beacon timer stopped. Started again, the copy announces itself, and the survivor answers
// (at most once per beacon period per address): they meet again within one beacon period, and
// over six periods the two exchange only a handful of datagrams. The period is shortened, as
// the answers' interval follows it.
TEST_F(TwoCopiesTest, ACopyKilledAndStartedAgainMeetsItsBuddyAgainAndTheyStayQuiet) {
    constexpr std::chrono::milliseconds kPeriod = 2000ms;
    constexpr double kPeriodMs = static_cast<double>(kPeriod.count());
    auto args = [&](const char* port) {
        return std::vector<std::string>{"--port", port, "--beacon-period-ms",
                                        std::to_string(kPeriod.count())};
    };
    const double begin = NowMs();
    Peer monitor(net_->a, "monitor", {"--monitor"});
    ASSERT_TRUE(monitor.WaitFor("monitor"));
    Peer a(net_->a, "a", args("6601"));
    ASSERT_TRUE(monitor.WaitFor("datagram"));
    auto b = std::make_unique<Peer>(net_->b, "b1", args("6602"));
    ASSERT_TRUE(a.WaitFor("FoundBuddy", 2) && b->WaitFor("FoundBuddy"));

    // From the restarted copy's start until both have reported each other.
    auto restart = [&](const std::string& name) {
        b->Kill();
        const size_t heardBefore = a.Lines("FoundBuddy").size();
        b = std::make_unique<Peer>(net_->b, name, args("6602"));
        EXPECT_TRUE(WaitUntil(
            [&] {
                return !b->Lines("FoundBuddy").empty() &&
                       a.Lines("FoundBuddy").size() > heardBefore;
            },
            15s));
        if (b->Lines("start").empty() || b->Lines("FoundBuddy").empty() ||
            a.Lines("FoundBuddy").size() <= heardBefore) {
            return 1e9;
        }
        EXPECT_EQ(b->Rests("FoundBuddy")[0], kA + " 6601");
        EXPECT_EQ(a.Rests("FoundBuddy").back(), kB + " 6602");
        return std::max(b->Lines("FoundBuddy")[0].ms, a.Lines("FoundBuddy")[heardBefore].ms) -
               b->Lines("start")[0].ms;
    };
    // Right after the meeting A has answered B lately: only B's next beacon is answered.
    std::this_thread::sleep_for(kPeriod / 10);
    const double soon = restart("b2");
    EXPECT_LT(soon, kPeriodMs + 2000);
    // Long after A's last answer, B's first announce is answered at once.
    std::this_thread::sleep_for(kPeriod * 11 / 10);
    const double later = restart("b3");
    EXPECT_LT(later, kPeriodMs + 2000);
    EXPECT_EQ(a.Rests("beacon").back(), "heal 6601");

    std::this_thread::sleep_for(1s);  // B's answer to A's is still on its way
    const double quietFrom = NowMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(
        static_cast<int64_t>(std::max(2 * kPeriodMs, 6 * kPeriodMs - (quietFrom - begin)))));
    const std::vector<Peer::Line> wire = monitor.Lines("datagram");
    // 4 to meet, 4 for the early restart (start, timer, answer, answer), 3 for the late one.
    EXPECT_LE(wire.size(), 11u);
    EXPECT_TRUE(wire.empty() || wire.back().ms < quietFrom) << "still talking";
    printf(
        "restart: met again %.0f ms after a restart a tenth of a %.0f ms period after the "
        "meeting, %.0f ms after one 1.1 periods after the last answer; %zu datagrams in "
        "%.0f s\n",
        soon, kPeriodMs, later, wire.size(), (NowMs() - begin) / 1000);
    RecordProperty("restart_soon_ms", static_cast<int>(soon));
    RecordProperty("restart_later_ms", static_cast<int>(later));
    RecordProperty("datagrams", static_cast<int>(wire.size()));
}

// One datagram to the discovery group, sent inside namespace `ns` from `source` (an address
// of that namespace), as a stranger on the LAN forging it would.
bool SendToGroupFrom(const std::string& ns, const std::string& source, const std::string& text) {
    const int handle = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    bool sent = false;
    // A thread of its own moves into the namespace and ends there.
    std::thread([&] {
        GenSocket socket;
        sent = handle >= 0 && setns(handle, CLONE_NEWNET) == 0 &&
               socket.Open(0, SOCK_DGRAM, source.c_str()) &&
               socket.SendToHost(text.data(), static_cast<int>(text.size()), 1024, "225.6.7.8",
                                 0) == static_cast<int>(text.size());
    }).join();
    if (handle >= 0) {
        close(handle);
    }
    return sent;
}

// B is paired with A's key. A offers it in its beacon; B takes A as its buddy. A third address
// then forges A's leave and an announce of its own: B hears both, refuses both, and keeps A.
// A's own leave still counts.
TEST_F(TwoCopiesTest, APairedCopyKeepsItsBuddyThroughAForgedLeaveAndAnnounce) {
    const std::string key = "0123456789abcdef";
    const std::string stranger = "10.214.0.3";
    ASSERT_EQ(RunShell("ip -n " + net_->a + " addr add " + stranger + "/24 dev " + net_->a), 0);
    Peer monitor(net_->a, "monitor", {"--monitor"});
    ASSERT_TRUE(monitor.WaitFor("monitor"));
    auto a = std::make_unique<Peer>(
        net_->a, "a",
        std::vector<std::string>{"--port", "6601", "--key-id", key, "--beacon-period-ms", "600"});
    Peer b(net_->b, "b",
           {"--port", "6602", "--paired-buddy", key + "@" + kA, "--beacon-period-ms", "600"});
    ASSERT_TRUE(b.WaitFor("FoundBuddy"));
    EXPECT_EQ(b.Rests("FoundBuddy")[0], kA + " 6601");
    const std::vector<std::string> wire = monitor.Rests("datagram");
    const std::string offer = kA + " b|" + kA + "|6601|zw1;tls;k=" + key + ";n=";
    EXPECT_TRUE(std::any_of(wire.begin(), wire.end(), [&](const std::string& datagram) {
        return datagram.rfind(offer, 0) == 0;
    })) << monitor.Output();

    ASSERT_TRUE(SendToGroupFrom(net_->a, stranger, "d|" + kA + "|blah, blah"));
    ASSERT_TRUE(SendToGroupFrom(net_->a, stranger, "b|" + stranger + "|6666"));
    // What B heard from the stranger, and what it made of it.
    auto fromStranger = [&](const char* event) {
        std::vector<std::string> heard;
        for (const std::string& rest : b.Rests(event)) {
            if (rest.rfind(stranger + " ", 0) == 0) {
                heard.push_back(rest);
            }
        }
        return heard;
    };
    ASSERT_TRUE(WaitUntil([&] {
        return !fromStranger("left").empty() && !fromStranger("announced").empty();
    })) << b.Output();
    EXPECT_EQ(fromStranger("left"), std::vector<std::string>{stranger + " " + kA + " refused"});
    EXPECT_EQ(fromStranger("announced"),
              std::vector<std::string>{stranger + " " + stranger + " 6666 - refused"});
    std::this_thread::sleep_for(700ms);  // more than a period: a restarted timer would show
    EXPECT_TRUE(b.Rests("LostBuddy").empty());
    for (const std::string& found : b.Rests("FoundBuddy")) {
        EXPECT_EQ(found, kA + " 6601");
    }
    EXPECT_EQ(b.Rests("beacon").back().rfind("timer", 0), std::string::npos) << b.Output();

    a->Stop();
    ASSERT_TRUE(b.WaitFor("LostBuddy"));
    EXPECT_EQ(b.Rests("left").back(), kA + " " + kA + " taken");
}

// Another computer forges an announce that names its own listener. With the default policy the
// victim, a file queued, asks its user before anything goes (nobody answers here), and the
// attacker's listener gets no connection, let alone a byte of the file.
TEST_F(TwoCopiesTest, AForgedAnnounceFromAnotherComputerGetsNoByteOfTheQueue) {
    const std::string secret = TestPaths::NewFolder("to-send") + "/secret.txt";
    WriteFile(secret, "not for strangers");
    ChildProcess listener;
    ChildOptions piped = ChildOptions::Piped();
    piped.netns = net_->b;
    ASSERT_TRUE(listener.Start(
        {"/usr/bin/python3", ZINGWELL_SOURCE_DIR "/tests/transfer/tools/plain_copy.py", "receive",
         kB, TestPaths::NewFolder("attacker")},
        piped));
    const std::string listening = listener.ReadLine(30s);
    ASSERT_EQ(listening.rfind("listening ", 0), 0u) << listening;
    const std::string forged = "b|" + kB + "|" + listening.substr(10);

    Peer victim(net_->a, "victim", {"--port", "6601", "--beacon-period-ms", "600"}, secret);
    ASSERT_TRUE(victim.WaitFor("start"));
    ChildProcess forger;
    ChildOptions inB;
    inB.netns = net_->b;
    ASSERT_TRUE(forger.Start({"/usr/bin/python3", "-c",
                              "import socket, sys, time\n"
                              "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                              "for _ in range(50):\n"
                              "    s.sendto(sys.argv[1].encode(), (sys.argv[2], 1024))\n"
                              "    time.sleep(0.1)\n",
                              forged, kA},
                             inB));
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const std::string& message : victim.Rests("message")) {
                if (message.rfind("Send your files to " + kB + "?", 0) == 0) {
                    return true;
                }
            }
            return false;
        },
        20s))
        << victim.Output();
    EXPECT_EQ(victim.Rests("FoundBuddy").front(), kB + " " + listening.substr(10));
    // It says "accepted" the moment anything connects: nothing does.
    EXPECT_EQ(listener.ReadLine(3s), "");
    EXPECT_EQ(victim.Queue(), secret + "\r\n");
}

}  // namespace
