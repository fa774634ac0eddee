// Pairing between a real initiator and a real receiver's responder on loopback, each with its
// own key and known computers; and a responder that breaks the protocol. The code's property
// (another key or session gives another code, as a man in the middle would) is proven by
// tests/secure/PairingTest.cpp.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/TcpStream.h"
#include "secure/Identity.h"
#include "secure/PairingCode.h"
#include "secure/TlsStream.h"
#include "secure/TrustStore.h"
#include "support/Files.h"
#include "support/TestPaths.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"
#include "transfer/PairingInitiator.h"
#include "transfer/PairingPrompt.h"
#include "transfer/PairingResponder.h"
#include "transfer/SListener.h"

namespace {

using namespace std::chrono_literals;
using Kind = PairingOutcome::Kind;

Identity MakeIdentity(const std::string& name) {
    std::string error;
    std::optional<Identity> identity = Identity::LoadOrCreate(TestPaths::NewFolder(name), error);
    EXPECT_TRUE(identity) << error;
    return std::move(*identity);
}

// A user who answers as told, and what was shown to it.
class ScriptedUser : public PairingPrompt {
public:
    bool AskToPair(const std::string& name, const std::string&) override {
        std::lock_guard<std::mutex> guard(mutex_);
        ++asked;
        askedName = name;
        return accept;
    }
    bool ConfirmCode(const std::string& shown, const std::string&, const std::string&) override {
        std::lock_guard<std::mutex> guard(mutex_);
        code = shown;
        return confirm;
    }

    void Answer(bool accepts, bool confirms) {
        accept = accepts;
        confirm = confirms;
        asked = 0;
        askedName.clear();
        code.clear();
    }

    bool accept = true;
    bool confirm = true;
    int asked = 0;
    std::string askedName;
    std::string code;

private:
    std::mutex mutex_;
};

class Pairing : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(aliceTrust.Reload(error) && bobTrust.Reload(error)) << error;
        listener.SetIdentity(&bob, "bob");
        listener.SetPairing(&responder);
        listener.Start(0);
        ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));
    }
    PairingOutcome Pair(PairingInitiator& initiator) {
        PairingOutcome outcome = initiator.Pair("127.0.0.1", listener.BoundPort(), "alice");
        EXPECT_TRUE(WaitUntil([&] { return listener.ActiveConnections() == 0; }));
        return outcome;
    }
    bool AlicePinnedBob() { return Pinned(aliceTrust, bob, "bob"); }
    bool BobPinnedAlice() { return Pinned(bobTrust, alice, "alice"); }
    static bool Pinned(const TrustStore& store, const Identity& peer, const std::string& name) {
        const auto entry = store.Find(TrustEntry::KeyForHash(peer.keyHash()));
        return entry && entry->state == TrustEntry::State::Paired &&
               entry->lastAddress == "127.0.0.1" && entry->name == name;
    }

    Identity alice = MakeIdentity("alice");
    Identity bob = MakeIdentity("bob");
    TrustStore aliceTrust{TestPaths::NewFolder("alice-trust")};
    TrustStore bobTrust{TestPaths::NewFolder("bob-trust")};
    ScriptedUser aliceUser, bobUser;
    PairingResponder responder{bobTrust, bobUser};
    PairingInitiator initiator{alice, aliceTrust, aliceUser};
    SListener listener;
};

TEST_F(Pairing, PinsBothKeysOnlyWhenBothUsersSayYes) {
    struct Case {
        const char* what;
        bool bobAccepts, aliceConfirms, bobConfirms;
        Kind alice;
    };
    for (const Case& c : {
             Case{"both confirm", true, true, true, Kind::Paired},
             Case{"the initiator's user says No", true, false, true, Kind::Declined},
             Case{"the responder's user says No", true, true, false, Kind::PeerDeclined},
             Case{"the responder declines", false, true, true, Kind::PeerDeclined},
         }) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(bobTrust.Forget(TrustEntry::KeyForHash(alice.keyHash())));
        ASSERT_TRUE(aliceTrust.Forget(TrustEntry::KeyForHash(bob.keyHash())));
        aliceUser.Answer(true, c.aliceConfirms);
        bobUser.Answer(c.bobAccepts, c.bobConfirms);
        PairingInitiator fresh(alice, aliceTrust, aliceUser);  // not limited by earlier cases
        const PairingOutcome outcome = Pair(fresh);

        EXPECT_EQ(outcome.kind, c.alice) << outcome.Text();
        EXPECT_EQ(bobUser.asked, 1);
        EXPECT_EQ(bobUser.askedName, "alice");
        const bool paired = c.alice == Kind::Paired;
        EXPECT_EQ(AlicePinnedBob(), paired);
        EXPECT_EQ(BobPinnedAlice(), paired);
        if (c.bobAccepts) {
            EXPECT_EQ(aliceUser.code.size(), 7u);
            EXPECT_EQ(aliceUser.code, bobUser.code);  // both screens show one code
            EXPECT_EQ(outcome.code, aliceUser.code);
        } else {
            EXPECT_EQ(aliceUser.code, "");  // no code without the responder's consent
        }
    }
    // The responder's limiter met three failures: a fourth request is refused unasked, and
    // the initiator's own limiter refuses a fourth attempt at that target without connecting.
    const int asked = bobUser.asked;
    EXPECT_EQ(Pair(initiator).kind, Kind::PeerDeclined);
    EXPECT_EQ(bobUser.asked, asked);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Pair(initiator).kind, Kind::PeerDeclined);
    }
    EXPECT_EQ(initiator.Pair("127.0.0.1", listener.BoundPort(), "alice").kind,
              Kind::TooManyFailures);
    EXPECT_TRUE(AlicePinnedBob() == false && BobPinnedAlice() == false);
}

TEST_F(Pairing, ResponderEndsCleanlyOnFramesOutOfTurn) {
    // A HELLO that asks to pair, then a reveal where the nonce is due, or a nonce cut short:
    // nothing pinned, and the receiver serves the next request (a third failure would make it
    // refuse for 10 minutes).
    for (const std::string& after : {frame::Encode(frame::Pair{frame::Type::PairReveal, {}}),
                                     std::string("\x21\0\0\0\x02xy", 7)}) {
        auto tcp = std::make_unique<TcpStream>(5s, nullptr);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(listener.BoundPort()));
        ASSERT_TRUE(tcp->Create() && tcp->Connect(address));
        std::string error;
        auto tls = TlsStream::Connect(std::move(tcp), alice, net::DeadlineAfter(5s), error);
        ASSERT_TRUE(tls) << error;
        frame::Hello hello;
        hello.purpose = frame::Purpose::Pairing;
        hello.name = "mallory";
        const std::string bytes = frame::Encode(hello) + after;
        ASSERT_EQ(tls->Write(bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
        EXPECT_TRUE(WaitUntil([&] { return listener.ActiveConnections() == 0; }));
    }
    EXPECT_FALSE(BobPinnedAlice());
    EXPECT_EQ(Pair(initiator).kind, Kind::Paired);
}

// A responder that sends `after(commit's nonce)` where its reveal is due.
void ServeOnce(TcpStream& server, const Identity& me,
               const std::function<std::string(const pairing::Nonce&)>& after) {
    auto accepted = std::make_unique<TcpStream>(5s, nullptr);
    if (!server.Accept(*accepted, nullptr)) {
        return;
    }
    std::string error;
    auto tls = TlsStream::Accept(std::move(accepted), me, net::DeadlineAfter(5s), error);
    if (!tls) {
        return;
    }
    FrameLink link(*tls);
    FrameReader reader({frame::Type::Hello});
    link.ReadFrame(reader);
    const pairing::Nonce nr = pairing::RandomNonce();
    const auto e = tls->ExportKeyingMaterial(pairing::kExporterLabel, 32);
    frame::Pair commit{frame::Type::PairCommit, {}};
    const auto digest = pairing::Commitment(tls->peerKeyHash(), me.keyHash(), *e, nr);
    std::copy(digest.begin(), digest.end(), commit.bytes.begin());
    frame::Hello hello;
    hello.purpose = frame::Purpose::Pairing;
    link.Send(frame::Encode(hello) + frame::Encode(commit));
    reader = FrameReader({frame::Type::PairNonce});
    link.ReadFrame(reader);
    link.Send(after(nr));
    tls->EndOutput();
    char buffer[64];
    tls->Read(buffer, sizeof buffer);  // until the initiator ends
}

TEST_F(Pairing, InitiatorRefusesATamperedRevealAndMalformedFrames) {
    struct Case {
        const char* what;
        std::function<std::string(const pairing::Nonce&)> after;
        Kind kind;
    };
    const auto reveal = [](pairing::Nonce nr, bool tamper) {
        nr[0] ^= tamper ? 1 : 0;
        frame::Pair pair{frame::Type::PairReveal, {}};
        std::copy(nr.begin(), nr.end(), pair.bytes.begin());
        return frame::Encode(pair);
    };
    for (const Case& c : {
             Case{"another nonce revealed", [&](auto& nr) { return reveal(nr, true); },
                  Kind::BadReveal},
             Case{"a reveal cut short", [&](auto& nr) { return reveal(nr, false).substr(0, 20); },
                  Kind::Failed},
             Case{"a frame out of turn", [](auto&) { return frame::Encode(frame::End{}); },
                  Kind::Failed},
             Case{"a length over the limit", [](auto&) { return std::string("\x22\x7f\0\0\0", 5); },
                  Kind::Failed},
         }) {
        SCOPED_TRACE(c.what);
        TcpStream server(5s, nullptr);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_TRUE(server.Create() && server.Bind(local) && server.Listen(1) &&
                    server.LocalAddress(local));
        std::thread mallory([&] { ServeOnce(server, bob, c.after); });
        PairingInitiator fresh(alice, aliceTrust, aliceUser);
        const PairingOutcome outcome = fresh.Pair("127.0.0.1", ntohs(local.sin_port), "alice");
        mallory.join();
        EXPECT_EQ(outcome.kind, c.kind) << outcome.Text();
        EXPECT_EQ(aliceUser.code, "");  // no code shown
        EXPECT_FALSE(AlicePinnedBob());
    }
}

}  // namespace
