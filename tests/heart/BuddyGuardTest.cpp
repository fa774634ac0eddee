#include "heart/BuddyGuard.h"

#include <gtest/gtest.h>

#include "heart/PeerDirectory.h"

namespace {

using namespace std::chrono_literals;

const std::string kKey = "0123456789abcdef";
const std::string kOtherKey = "fedcba9876543210";

Capability Offer(const std::string& keyId) {
    return Capability{true, keyId, "pc"};
}

TEST(BuddyGuard, OncePairedOnlyThePairedKeyFromItsOwnAddressSetsTheBuddy) {
    const PairedBuddy paired{"hash", kKey, "10.0.0.2"};
    const struct {
        bool paired;
        std::string source, address;
        std::optional<Capability> offer;
        bool accepted;
    } cases[] = {
        // Unpaired: everything counts, as it always has.
        {false, "10.0.0.9", "10.0.0.2", std::nullopt, true},
        {false, "10.0.0.9", "10.0.0.9", Offer(kOtherKey), true},
        // Paired: the key and the source must both fit.
        {true, "10.0.0.2", "10.0.0.2", Offer(kKey), true},
        {true, "10.0.0.5", "10.0.0.5", Offer(kKey), true},   // the buddy moved
        {true, "10.0.0.9", "10.0.0.2", Offer(kKey), false},  // a key replayed from elsewhere
        {true, "10.0.0.2", "10.0.0.2", Offer(kOtherKey), false},
        {true, "10.0.0.2", "10.0.0.2", Offer(""), false},
        {true, "10.0.0.2", "10.0.0.2", std::nullopt, false},  // an old copy at its address
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BuddyGuard::AcceptAnnounce(c.paired ? std::optional(paired) : std::nullopt,
                                             c.source, c.address, c.offer),
                  c.accepted)
            << c.paired << " " << c.source << " " << c.address;
    }
}

TEST(BuddyGuard, OncePairedOnlyTheBuddysOwnAddressMayLeave) {
    const PairedBuddy paired{"hash", kKey, "10.0.0.2"};
    const struct {
        bool paired;
        std::string found, source;
        bool accepted;
    } cases[] = {
        {false, "10.0.0.2", "10.0.0.9", true},
        {false, "", "10.0.0.9", true},
        {true, "10.0.0.2", "10.0.0.2", true},
        {true, "10.0.0.2", "10.0.0.9", false},
        {true, "", "10.0.0.2", true},  // not found yet: its last address counts
        {true, "", "10.0.0.9", false},
        {true, "10.0.0.5", "10.0.0.5", true},  // found where it moved to
        {true, "10.0.0.5", "10.0.0.2", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BuddyGuard::AcceptLeave(c.paired ? std::optional(paired) : std::nullopt, c.found,
                                          c.source),
                  c.accepted)
            << c.paired << " " << c.found << " " << c.source;
    }
}

TEST(BuddyGuard, IgnoredDatagramsAreLoggedOnceAMinutePerAddressAndBoundedInAFlood) {
    BuddyGuard guard;
    const BuddyGuard::Clock::time_point start{};
    EXPECT_TRUE(guard.ShouldLog("announce", "10.0.0.9", start));
    EXPECT_FALSE(guard.ShouldLog("announce", "10.0.0.9", start + 59s));
    EXPECT_TRUE(guard.ShouldLog("leave", "10.0.0.9", start + 59s));
    EXPECT_TRUE(guard.ShouldLog("announce", "10.0.0.8", start + 59s));
    EXPECT_TRUE(guard.ShouldLog("announce", "10.0.0.9", start + 60s));
    for (int i = 0; i < 100; ++i) {
        guard.ShouldLog("announce", "10.1.0." + std::to_string(i), start + 61s);
    }
    EXPECT_FALSE(guard.ShouldLog("announce", "10.2.0.1", start + 62s));
    EXPECT_TRUE(guard.ShouldLog("announce", "10.2.0.1", start + 200s));
}

TEST(PeerDirectory, KeepsTheLatestAnnouncePerSourceBoundedOldestOut) {
    PeerDirectory peers;
    std::string key = "unchanged";
    EXPECT_FALSE(peers.OffersTls("10.0.0.2", &key));
    peers.Record("10.0.0.2", "10.0.0.2", "6677", Offer(kKey));
    EXPECT_TRUE(peers.OffersTls("10.0.0.2", &key));
    EXPECT_EQ(key, kKey);
    // Only that very source: an announce naming the address from elsewhere does not count.
    peers.Record("10.0.0.9", "10.0.0.3", "6677", Offer(kOtherKey));
    EXPECT_FALSE(peers.OffersTls("10.0.0.3", nullptr));
    // The latest word counts: an old copy now at the address offers nothing.
    peers.Record("10.0.0.2", "10.0.0.2", "6677", std::nullopt);
    EXPECT_FALSE(peers.OffersTls("10.0.0.2", nullptr));
    peers.Record("10.0.0.2", "10.0.0.2", "6677", Capability{false, kKey, ""});
    EXPECT_FALSE(peers.OffersTls("10.0.0.2", nullptr));

    for (int i = 0; i < 70; ++i) {
        peers.Record("10.1.0." + std::to_string(i), "10.1.0." + std::to_string(i), "1", Offer(""));
        peers.Record("10.0.0.9", "10.0.0.3", "6677", Offer(kOtherKey));  // heard again and again
    }
    EXPECT_EQ(peers.Count(), PeerDirectory::kMaxPeers);
    EXPECT_FALSE(peers.Find("10.1.0.0"));
    EXPECT_TRUE(peers.Find("10.1.0.69"));
    EXPECT_TRUE(peers.Find("10.0.0.9"));
    EXPECT_EQ(peers.Find("10.0.0.9")->address, "10.0.0.3");
}

}  // namespace
