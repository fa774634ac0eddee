#include "heart/BuddyGuard.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "heart/PeerDirectory.h"
#include "heart/TrustedBuddies.h"
#include "secure/TrustStore.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;

const std::string kKey = "0123456789abcdef";
const Capability kOffer{true, kKey, "pc"};
const Capability kOtherOffer{true, "fedcba9876543210", "pc"};

TEST(BuddyGuard, OncePairedOnlyThePairedKeyFromItsOwnAddressSetsTheBuddyOrLeaves) {
    const std::optional<PairedBuddy> paired = PairedBuddy{"hash", kKey, "10.0.0.2"};
    const std::optional<PairedBuddy> none;
    // Announces: paired?, source, named address, offer, taken?
    EXPECT_TRUE(BuddyGuard::AcceptAnnounce(none, "10.0.0.9", "10.0.0.2", std::nullopt));
    EXPECT_TRUE(BuddyGuard::AcceptAnnounce(paired, "10.0.0.2", "10.0.0.2", kOffer));
    EXPECT_TRUE(BuddyGuard::AcceptAnnounce(paired, "10.0.0.5", "10.0.0.5", kOffer));   // moved
    EXPECT_FALSE(BuddyGuard::AcceptAnnounce(paired, "10.0.0.9", "10.0.0.2", kOffer));  // replayed
    EXPECT_FALSE(BuddyGuard::AcceptAnnounce(paired, "10.0.0.2", "10.0.0.2", kOtherOffer));
    EXPECT_FALSE(
        BuddyGuard::AcceptAnnounce(paired, "10.0.0.2", "10.0.0.2", Capability{true, "", ""}));
    EXPECT_FALSE(BuddyGuard::AcceptAnnounce(paired, "10.0.0.2", "10.0.0.2", std::nullopt));
    // Leaves: paired?, where the buddy was found (empty: not yet), source, taken?
    EXPECT_TRUE(BuddyGuard::AcceptLeave(none, "10.0.0.2", "10.0.0.9"));
    EXPECT_TRUE(BuddyGuard::AcceptLeave(paired, "10.0.0.2", "10.0.0.2"));
    EXPECT_FALSE(BuddyGuard::AcceptLeave(paired, "10.0.0.2", "10.0.0.9"));
    EXPECT_TRUE(BuddyGuard::AcceptLeave(paired, "", "10.0.0.2"));  // its last address
    EXPECT_FALSE(BuddyGuard::AcceptLeave(paired, "", "10.0.0.9"));
    EXPECT_FALSE(BuddyGuard::AcceptLeave(paired, "10.0.0.5", "10.0.0.2"));  // it moved
}

TEST(BuddyGuard, IgnoredDatagramsAreLoggedOnceAMinutePerKindAndAddressBoundedInAFlood) {
    BuddyGuard guard;
    const BuddyGuard::Clock::time_point start{};
    EXPECT_TRUE(guard.ShouldLog("announce", "10.0.0.9", start));
    EXPECT_FALSE(guard.ShouldLog("announce", "10.0.0.9", start + 59s));
    EXPECT_TRUE(guard.ShouldLog("leave", "10.0.0.9", start + 59s));
    EXPECT_TRUE(guard.ShouldLog("announce", "10.0.0.9", start + 60s));
    for (int i = 0; i < 100; ++i) {
        guard.ShouldLog("announce", "10.1.0." + std::to_string(i), start + 61s);
    }
    EXPECT_FALSE(guard.ShouldLog("announce", "10.2.0.1", start + 62s));
    EXPECT_TRUE(guard.ShouldLog("announce", "10.2.0.1", start + 200s));
}

TEST(PeerDirectory, KeepsTheLatestAnnouncePerSourceBoundedOldestOut) {
    PeerDirectory peers;
    std::string key;
    peers.Record("10.0.0.2", "10.0.0.2", "6677", kOffer);
    EXPECT_TRUE(peers.OffersTls("10.0.0.2", &key));
    EXPECT_EQ(key, kKey);
    // Only that very source counts, and only its latest word (an old copy there now).
    peers.Record("10.0.0.9", "10.0.0.3", "6677", kOtherOffer);
    EXPECT_FALSE(peers.OffersTls("10.0.0.3", nullptr));
    peers.Record("10.0.0.2", "10.0.0.2", "6677", std::nullopt);
    EXPECT_FALSE(peers.OffersTls("10.0.0.2", nullptr));
    for (int i = 0; i < 70; ++i) {
        peers.Record("10.1.0." + std::to_string(i), "10.1.0.1", "1", kOffer);
        peers.Record("10.0.0.9", "10.0.0.3", "6677", kOtherOffer);  // heard again and again
    }
    EXPECT_EQ(peers.Count(), PeerDirectory::kMaxPeers);
    EXPECT_FALSE(peers.Find("10.1.0.0"));
    EXPECT_TRUE(peers.Find("10.1.0.69"));
    EXPECT_TRUE(peers.Find("10.0.0.9"));
}

// The heart's known computers: paired ones by address, and a file that turns unreadable never
// turns the paired buddy into a stranger.
TEST(TrustedBuddies, APairingSurvivesABadReadAndEndsOnlyWhenForgotten) {
    TrustStore store(TestPaths::NewFolder("known"));
    const std::string hash = kKey + std::string(48, 'a');
    ASSERT_TRUE(store.Put(
        {TrustEntry::KeyForAddress("10.0.0.9"), TrustEntry::State::Allowed, "10.0.0.9", ""}));
    ASSERT_TRUE(
        store.Put({TrustEntry::KeyForHash(hash), TrustEntry::State::Paired, "10.0.0.7", "Bob"}));
    TrustedBuddies buddies(store);
    const std::optional<PairedBuddy> bob = buddies.Paired();
    ASSERT_TRUE(bob);
    EXPECT_EQ(bob->keyHash + " " + bob->keyId + " " + bob->address + " " + bob->name,
              hash + " " + kKey + " 10.0.0.7 Bob");
    EXPECT_TRUE(buddies.PairedAt("10.0.0.7"));
    EXPECT_FALSE(buddies.PairedAt("10.0.0.9"));  // allowed, not paired

    ASSERT_EQ(chmod(store.path().c_str(), 0666), 0);  // no longer a private file of ours
    std::string error;
    EXPECT_FALSE(buddies.Refresh(error));
    EXPECT_TRUE(buddies.PairedAt("10.0.0.7"));
    ASSERT_EQ(chmod(store.path().c_str(), 0600), 0);
    EXPECT_TRUE(buddies.Forget(hash));
    EXPECT_FALSE(buddies.Paired());
}

}  // namespace
