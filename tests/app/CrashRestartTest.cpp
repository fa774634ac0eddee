// Two real desktop programs in automatic mode on two "computers" (network namespaces joined by
// a veth pair). One of them dies without a word (SIGKILL: no leave beacon), so the other keeps
// it as its buddy with its beacon timer stopped; started again, it must find that buddy again
// within one beacon period, and what waits in its queue must go out.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/ZingwellCopy.h"
#include "support/Files.h"
#include "support/NamespacePair.h"
#include "support/Skip.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;

std::string Found(const char* address) {
    return std::string("Found buddy at address: ") + address + "; port: 6677\n";
}

TEST(CrashRestart, AKilledCopyStartedAgainMeetsItsBuddyAndItsQueueDrains) {
    std::optional<NamespacePair> net;
    ZW_MAKE_NAMESPACE_PAIR(net);
    const std::string files = TestPaths::NewFolder("files");
    ZingwellCopy a("a"), b("b");
    a.StoreMode(1, 0, 0, "255.255.255.255", {ZingwellCopy::kAcceptStrangers});
    b.StoreMode(1, 0, 0, "255.255.255.255", {ZingwellCopy::kAcceptStrangers});

    ASSERT_TRUE(a.Start(net->a));
    ASSERT_TRUE(Soon([&] { return a.ListensOn(6677) && a.HasUdpPort(1024); })) << a.Output();
    ASSERT_TRUE(b.Start(net->b));
    ASSERT_TRUE(Soon([&] {
        return Occurrences(a.Log(), Found(NamespacePair::kAddressB)) >= 1 &&
               Occurrences(b.Log(), Found(NamespacePair::kAddressA)) >= 1;
    })) << a.Log()
        << b.Log();

    // B dies and is started again with a file waiting; the time runs from its start (and from
    // its discovery's start, which leaves its own start-up out) until both have reported each
    // other.
    struct Times {
        double fromStart = 0, fromDiscovery = 0;
    };
    int round = 0;
    auto crashAndRestart = [&]() -> Times {
        const size_t aHeard = Occurrences(a.Log(), Found(NamespacePair::kAddressB));
        const size_t bHeard = Occurrences(b.Log(), Found(NamespacePair::kAddressA));
        const size_t bStarts = Occurrences(b.Log(), "Starting multicast receiver\n");
        kill(b.pid(), SIGKILL);
        EXPECT_TRUE(Soon([&] { return !b.Running(); }));
        const std::string path = files + "/waiting-" + std::to_string(++round) + ".bin";
        const std::string contents = RandomBytes(300000, round);
        WriteFile(path, contents);
        b.LeaveInQueue({path});

        using Clock = std::chrono::steady_clock;
        const Clock::time_point started = Clock::now();
        std::optional<Clock::time_point> listening;
        EXPECT_TRUE(b.Start(net->b));
        const bool met = WaitUntil(
            [&] {
                const std::string bLog = b.Log();
                if (!listening && Occurrences(bLog, "Starting multicast receiver\n") > bStarts)
                    listening = Clock::now();
                return Occurrences(a.Log(), Found(NamespacePair::kAddressB)) > aHeard &&
                       Occurrences(bLog, Found(NamespacePair::kAddressA)) > bHeard;
            },
            30s);
        const Clock::time_point now = Clock::now();
        EXPECT_TRUE(met && listening) << a.Log() << b.Log();
        EXPECT_TRUE(Soon([&] {
            return ReadFile(a.ReceiveFolder() + "/waiting-" + std::to_string(round) + ".bin") ==
                   contents;
        })) << a.Log()
            << b.Log();
        EXPECT_TRUE(b.Queues({}));
        auto ms = [](Clock::duration d) {
            return std::chrono::duration<double, std::milli>(d).count();
        };
        return {ms(now - started), ms(now - listening.value_or(started))};
    };
#ifdef ZINGWELL_SANITIZED
    constexpr double kStartUpAllowance = 6000;  // a sanitized program starts slowly
#else
    constexpr double kStartUpAllowance = 0;
#endif
    // Soon after the meeting A answered B lately, so only B's first timer beacon draws an
    // answer; long after, B's first announce does.
    const Times soon = crashAndRestart();
    EXPECT_LT(soon.fromDiscovery, 12000);
    EXPECT_LT(soon.fromStart, 12000 + kStartUpAllowance);
    std::this_thread::sleep_for(11s);
    const Times later = crashAndRestart();
    EXPECT_LT(later.fromDiscovery, 3000);
    EXPECT_LT(later.fromStart, 12000 + kStartUpAllowance);
    printf(
        "restart: met again %.0f ms after a restart soon after the meeting (%.0f ms after its "
        "discovery started), %.0f ms (%.0f ms) after one 11 s later\n",
        soon.fromStart, soon.fromDiscovery, later.fromStart, later.fromDiscovery);
    RecordProperty("restart_soon_ms", static_cast<int>(soon.fromStart));
    RecordProperty("restart_later_ms", static_cast<int>(later.fromStart));

    for (ZingwellCopy* copy : {&a, &b}) {
        EXPECT_TRUE(copy->StopsCleanly());
    }
}

}  // namespace
