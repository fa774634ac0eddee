#include "discovery/AnnounceAnswerRule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::chrono_literals;
using Clock = AnnounceAnswerRule::Clock;

const Clock::time_point kStart = Clock::time_point() + 1000h;

TEST(AnnounceAnswerRule, AKnownBuddyIsAnsweredAgainOnlyAfterTheInterval) {
    AnnounceAnswerRule rule;
    // Looking for a buddy: the first announce is answered, as always.
    EXPECT_TRUE(rule.ShouldAnswer("10.0.0.2", true, kStart));
    // Its answer to our answer is not, nor its next announces within the interval...
    EXPECT_FALSE(rule.ShouldAnswer("10.0.0.2", false, kStart + 50ms));
    EXPECT_FALSE(rule.ShouldAnswer("10.0.0.2", false, kStart + 9999ms));
    // ...but after it, as when it restarted and announces itself again.
    EXPECT_TRUE(rule.ShouldAnswer("10.0.0.2", false, kStart + 10s));
    EXPECT_FALSE(rule.ShouldAnswer("10.0.0.2", false, kStart + 15s));
    // Another copy is answered on its own account; looking always answers.
    EXPECT_TRUE(rule.ShouldAnswer("10.0.0.3", false, kStart + 15s));
    EXPECT_TRUE(rule.ShouldAnswer("10.0.0.2", true, kStart + 16s));
    EXPECT_FALSE(rule.ShouldAnswer("10.0.0.2", false, kStart + 25s));  // counted from then
    // The interval is the beacon period, which copies without a window shorten.
    AnnounceAnswerRule quick(600ms);
    EXPECT_TRUE(quick.ShouldAnswer("10.0.0.2", true, kStart));
    EXPECT_FALSE(quick.ShouldAnswer("10.0.0.2", false, kStart + 599ms));
    EXPECT_TRUE(quick.ShouldAnswer("10.0.0.2", false, kStart + 600ms));
}

TEST(AnnounceAnswerRule, AFloodOfAnnouncesDrawsBoundedAnswers) {
    AnnounceAnswerRule rule;
    int answers = 0;
    for (int i = 0; i < 5000; ++i) {  // all within the interval
        const std::string address =
            "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        answers += rule.ShouldAnswer(address, false, kStart + std::chrono::milliseconds(i)) ? 1 : 0;
        answers +=
            rule.ShouldAnswer("10.0.0.9", false, kStart + std::chrono::milliseconds(i)) ? 1 : 0;
    }
    EXPECT_EQ(answers, static_cast<int>(AnnounceAnswerRule::kMaxAddresses));
    // Once the interval has passed, the remembered addresses make room again.
    EXPECT_TRUE(rule.ShouldAnswer("10.2.0.1", false, kStart + 15s));
}

// Two copies that follow the rule, one restarting (a new rule, looking) at any moment after
// they met: they meet again within one beacon period, and the exchange always ends.
TEST(AnnounceAnswerRule, TwoCopiesMeetAgainAfterARestartAndFallSilent) {
    for (int restartMs : {0, 100, 5000, 8900, 9000, 9100, 9900, 10000, 10100, 30000}) {
        AnnounceAnswerRule a, b;
        bool aLooking = true, bLooking = true;
        Clock::time_point now = kStart;
        int datagrams = 0;
        // One announce from `from` heard by the other, and whatever answers follow.
        auto exchange = [&](bool fromA) {
            for (;;) {
                ++datagrams;
                AnnounceAnswerRule& hearer = fromA ? b : a;
                bool& looking = fromA ? bLooking : aLooking;
                const bool answer = hearer.ShouldAnswer(fromA ? "A" : "B", looking, now);
                looking = false;  // a buddy heard stops the beacon timer
                now += 50ms;
                if (!answer)
                    return;
                fromA = !fromA;
            }
        };
        exchange(false);  // B starts while A looks: they meet
        const int meeting = datagrams;
        EXPECT_EQ(meeting, 3) << restartMs;

        now += std::chrono::milliseconds(restartMs);
        b = AnnounceAnswerRule();  // killed and started again: it never said it left
        bLooking = true;
        const Clock::time_point restart = now;
        exchange(false);
        // While B has heard nobody, its beacon timer announces it every 10 s.
        while (bLooking && now - restart < 60s) {
            now = restart + ((now - restart) / 10s + 1) * 10s;
            exchange(false);
        }
        EXPECT_FALSE(bLooking) << restartMs;
        EXPECT_LE(now - restart, 10s + 200ms) << restartMs;
        EXPECT_LE(datagrams - meeting, 4) << restartMs;
    }
}

}  // namespace
