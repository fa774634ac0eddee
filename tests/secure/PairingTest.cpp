#include <gtest/gtest.h>

#include <regex>

#include "secure/PairingCode.h"
#include "secure/PairingLimiter.h"

namespace {

using namespace std::chrono_literals;

TEST(PairingCode, IsSixDigitsAndChangesWithEveryInput) {
    const std::string pkI(64, '1');
    const std::string pkR(64, '2');
    const pairing::Nonce E = pairing::RandomNonce();
    const pairing::Nonce Ni = pairing::RandomNonce();
    const pairing::Nonce Nr = pairing::RandomNonce();
    pairing::Nonce other = Nr;
    other[31] ^= 1;

    const std::string code = pairing::Code(pkI, pkR, E, Ni, Nr);
    EXPECT_TRUE(std::regex_match(code, std::regex("[0-9]{3} [0-9]{3}"))) << code;
    EXPECT_EQ(pairing::Code(pkI, pkR, E, Ni, Nr), code);  // the other side computes the same
    const std::string pkOther = std::string(63, '1') + "0";
    for (const std::string& changed :
         {pairing::Code(pkR, pkI, E, Ni, Nr), pairing::Code(pkOther, pkR, E, Ni, Nr),
          pairing::Code(pkI, pkOther, E, Ni, Nr), pairing::Code(pkI, pkR, other, Ni, Nr),
          pairing::Code(pkI, pkR, E, other, Nr), pairing::Code(pkI, pkR, E, Ni, other)}) {
        EXPECT_NE(changed, code);  // one in a million to fail by chance
    }

    const pairing::Digest commitment = pairing::Commitment(pkI, pkR, E, Nr);
    EXPECT_TRUE(pairing::SameDigest(commitment, pairing::Commitment(pkI, pkR, E, Nr)));
    for (const pairing::Digest& changed :
         {pairing::Commitment(pkOther, pkR, E, Nr), pairing::Commitment(pkI, pkOther, E, Nr),
          pairing::Commitment(pkI, pkR, other, Nr), pairing::Commitment(pkI, pkR, E, other)}) {
        EXPECT_FALSE(pairing::SameDigest(changed, commitment));
    }
    EXPECT_NE(pairing::RandomNonce(), pairing::RandomNonce());
}

TEST(PairingLimiter, OnePairingAtATimeAndThreeFailuresInTenMinutes) {
    using Verdict = PairingLimiter::Verdict;
    const PairingLimiter::Clock::time_point t0{};
    // begin (minute): expected verdict; then end with success or failure.
    struct Step {
        int minute;
        Verdict verdict;
        bool succeeded;
    };
    const Step steps[] = {
        {0, Verdict::Go, false},
        {1, Verdict::Go, true},
        {2, Verdict::Go, false},
        {3, Verdict::Go, false},
        {4, Verdict::TooManyFailures, false},   // three failures within ten minutes
        {10, Verdict::TooManyFailures, false},  // the first is 9:59 old
        {11, Verdict::Go, false},
        {12, Verdict::TooManyFailures, false},
        {13, Verdict::Go, true},  // successes do not count
        {14, Verdict::Go, false},
        {15, Verdict::Go, false},
        {16, Verdict::TooManyFailures, false},
    };
    PairingLimiter limiter;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.minute);
        const auto now = t0 + std::chrono::minutes(step.minute);
        ASSERT_EQ(limiter.Begin(now), step.verdict);
        if (step.verdict == Verdict::Go) {
            EXPECT_EQ(limiter.Begin(now), Verdict::Busy);
            limiter.End(step.succeeded, now + 1s);
        }
    }
    limiter.End(false, t0 + 16min);  // without a running pairing nothing counts
    EXPECT_EQ(limiter.NextAllowed(t0 + 16min), t0 + 11min + 1s + 10min);
    EXPECT_EQ(limiter.Begin(t0 + 21min + 1s), Verdict::Go);
}

}  // namespace
