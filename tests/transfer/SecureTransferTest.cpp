// Secure transfers between a real sender and a real receiver on loopback, two identities, on
// the one receive port that plain senders use too; and peers that cut the session short.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <variant>

#include "TransferHelpers.h"
#include "core/ReceiveFolder.h"
#include "net/TcpStream.h"
#include "secure/Identity.h"
#include "secure/TlsStream.h"
#include "support/TestPaths.h"
#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"
#include "transfer/PartStore.h"
#include "transfer/SListener.h"
#include "transfer/SSender.h"

namespace {

using namespace transfer_test;
using namespace std::chrono_literals;

class RecordingSendNotes : public SendNotes {
public:
    explicit RecordingSendNotes(const RecordingCallback& events) : events_(events) {}
    void SecureSendEnded(Outcome outcome, const std::string& reason) override {
        std::lock_guard<std::mutex> guard(mutex_);
        told.push_back({outcome, reason, events_.Events().size()});
    }
    struct Told {
        Outcome outcome;
        std::string reason;
        size_t eventsBefore;
    };
    Told Last() {
        std::lock_guard<std::mutex> guard(mutex_);
        return told.empty() ? Told{Outcome::Failed, "(none)", 0} : told.back();
    }
    std::vector<Told> told;

private:
    const RecordingCallback& events_;
    std::mutex mutex_;
};

class SecureTransfer : public testing::Test {
protected:
    void SetUp() override {
        folder = GetReceiveFolder();
        outgoing = TestPaths::NewFolder("outgoing");
        listener.SetCallback(&received);
        listener.SetNotes(&notes);
        listener.SetIdentity(&bob, "bob");
        listener.Start(0);
        ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));
        port = listener.BoundPort();
        sender.SetCallback(&sent);
        sender.SetSendNotes(&outcomes);
        sender.SetIdentity(&alice, "alice");
    }
    // Sends a file (securely when a peer is given) and waits for both sides' last events;
    // returns the sender's.
    std::string Send(const std::string& name, const std::string& body,
                     std::optional<SecurePeer> peer, int to = 0) {
        WriteFile(outgoing + "/" + name, body);
        const size_t before = Ended(sent);
        const size_t receivedBefore = Ended(received);
        const std::string target = std::to_string(to == 0 ? port : to);
        EXPECT_TRUE(peer ? sender.SendFile("127.0.0.1", target, outgoing + "/" + name, *peer)
                         : sender.SendFile("127.0.0.1", target, outgoing + "/" + name));
        EXPECT_TRUE(WaitUntil([&] { return Ended(sent) > before; }));
        if (to == 0) {
            EXPECT_TRUE(WaitUntil([&] { return Ended(received) > receivedBefore; }));
        }
        return sent.Described().back();
    }
    static size_t Ended(const RecordingCallback& events) {
        return events.Count("FinishedSending") + events.Count("ReportError") +
               events.Count("FoundBuddy");
    }

    Identity alice = MakeIdentity("alice");
    Identity bob = MakeIdentity("bob");
    RecordingCallback received;
    RecordingNotes notes{received};
    RecordingCallback sent;
    RecordingSendNotes outcomes{sent};
    SListener listener;
    SSender sender;
    std::string folder;
    std::string outgoing;
    int port = 0;
};

using Outcome = SendNotes::Outcome;

TEST_F(SecureTransfer, DeliversRefusesAndChecksTheKeyOnThePortPlainSendersUse) {
    // A paired buddy, then one known by the key id of its announce.
    const std::string body = RandomBytes(1000000, 7);
    EXPECT_EQ(Send("report.bin", body, SecurePeer{bob.keyHash(), ""}), "FinishedSending");
    EXPECT_TRUE(ReadFile(folder + "/report.bin") == body);
    EXPECT_EQ(sent.Described(), ExpectedSendEvents(body.size()));
    EXPECT_EQ(CheckReceiveEvents(received.Events(), 10, body.size()), "");
    EXPECT_EQ(outcomes.Last().outcome, Outcome::Delivered);
    EXPECT_EQ(outcomes.Last().eventsBefore, sent.Events().size() - 1) << "told before the end";
    ASSERT_EQ(notes.Notes().size(), 1u);
    EXPECT_EQ(notes.Notes()[0].what, "FileReceived");
    EXPECT_EQ(notes.Notes()[0].key, alice.keyHash());
    EXPECT_EQ(Send("small.txt", "by key id", SecurePeer{"", bob.keyId()}), "FinishedSending");
    EXPECT_EQ(ReadFile(folder + "/small.txt"), "by key id");

    // A name the receiver does not take: refused with its reason, nothing stored.
    EXPECT_EQ(Send("Files2Send.txt", "planted", SecurePeer{bob.keyHash(), ""}), "ReportError 4");
    EXPECT_EQ(outcomes.Last().outcome, Outcome::Refused);
    EXPECT_EQ(outcomes.Last().reason, "bad name");
    EXPECT_EQ(received.Described().back(), "ReportError 3");
    EXPECT_NE(LogText().find("Send refused by buddy: bad name\n"), std::string::npos);

    // Another key answers: nothing of the file goes, the receiver never hears its name.
    const size_t logBefore = LogText().size();
    EXPECT_EQ(Send("secret.txt", "not for them", SecurePeer{std::string(64, '0'), ""}),
              "ReportError 4");
    EXPECT_EQ(outcomes.Last().outcome, Outcome::IdentityMismatch);
    EXPECT_EQ(outcomes.Last().reason, bob.keyHash());
    const std::string since = LogText().substr(logBefore);
    EXPECT_NE(since.find("Send failed: the buddy's identity changed, nothing sent\n"),
              std::string::npos);
    EXPECT_EQ(since.find("Incoming file"), std::string::npos) << since;

    // A plain sender on the same port, told apart by its first bytes.
    const size_t told = outcomes.told.size();
    EXPECT_EQ(Send("plain.txt", "as ever", std::nullopt), "FinishedSending");
    EXPECT_EQ(ReadFile(folder + "/plain.txt"), "as ever");
    EXPECT_EQ(outcomes.told.size(), told);
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"plain.txt", "report.bin", "small.txt",
                                                         "zingwelllog.txt"}));

    // A copy without a key resets a TLS hello; the sender learns no session came about.
    SListener keyless;
    keyless.Start(0);
    ASSERT_TRUE(WaitUntil([&] { return keyless.BoundPort() != 0; }));
    EXPECT_EQ(Send("x.txt", "x", SecurePeer{bob.keyHash(), ""}, keyless.BoundPort()),
              "ReportError 4");
    EXPECT_EQ(outcomes.Last().outcome, Outcome::NotSecure);
    EXPECT_TRUE(WaitUntil([] {
        return LogText().find("Listener: a secure connection came, but this copy has no key\n") !=
               std::string::npos;
    }));
}

// A stranger over TLS: asked with its key and the name its HELLO gave, after the FILE and
// before any body byte; a decline is told to the sender, a blocked computer is reset, and
// only an accepted file is stored.
TEST_F(SecureTransfer, AStrangersFileWaitsForConsentAndOnlyAnAcceptedOneIsStored) {
    class Scripted : public ConsentAsker {
    public:
        Answer Ask(const ConsentRequest& request) override {
            asked = request.keyHash + " " + request.name + " " + request.file + " " +
                    std::to_string(request.size);
            return answer;
        }
        std::atomic<Answer> answer{Answer::Decline};
        std::string asked;
    } consent;
    listener.SetConsent(&consent);
    struct Case {
        ConsentAsker::Answer answer;
        const char* senderEnd;
        Outcome outcome;
    };
    for (const Case& c :
         {Case{ConsentAsker::Answer::Decline, "ReportError 4", Outcome::Refused},
          Case{ConsentAsker::Answer::Reset, "ReportError 4", Outcome::Failed},
          Case{ConsentAsker::Answer::Accept, "FinishedSending", Outcome::Delivered}}) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        consent.answer = c.answer;
        const std::string body = RandomBytes(200000, 3);
        EXPECT_EQ(Send("offered.bin", body, SecurePeer{"", bob.keyId()}), c.senderEnd);
        EXPECT_EQ(consent.asked, alice.keyHash() + " alice offered.bin 200000");
        EXPECT_EQ(outcomes.Last().outcome, c.outcome);
        if (c.outcome == Outcome::Refused) {
            EXPECT_EQ(outcomes.Last().reason, "declined");
        }
        const bool stored = c.outcome == Outcome::Delivered;
        EXPECT_EQ(ReadFile(folder + "/offered.bin") == body, stored);
        EXPECT_EQ(Listing(folder).size(), stored ? 2u : 1u);  // the log, and the file
    }
}

TEST_F(SecureTransfer, ACutOnEitherSideBeforeTheAckIsAFailureOnThatSide) {
    // A receiver that takes the whole body, then goes without acknowledging it.
    TcpStream server(5s, nullptr);
    sockaddr_in local = Loopback(0);
    ASSERT_TRUE(server.Create() && server.Bind(local) && server.Listen(1) &&
                server.LocalAddress(local));
    const std::string body = RandomBytes(300000, 3);
    std::string taken;
    std::thread cutter([&] {
        auto tcp = std::make_unique<TcpStream>(5s, nullptr);
        ASSERT_TRUE(server.Accept(*tcp, nullptr));
        auto tls = Shake(std::move(tcp), bob, false);
        ASSERT_TRUE(tls);
        FrameLink link(*tls);
        FrameReader reader({frame::Type::Hello});
        ASSERT_EQ(link.ReadFrame(reader), FrameLink::Got::Frame);
        reader.Next();
        reader.Expect({frame::Type::File});
        ASSERT_EQ(link.ReadFrame(reader), FrameLink::Got::Frame);
        link.Send(frame::Encode(frame::Hello{}) + frame::Encode(frame::Verdict{}));
        link.LimitReads(body.size());
        char buffer[65536];
        for (long n; (n = link.Read(buffer, sizeof buffer)) > 0;) {
            taken.append(buffer, static_cast<size_t>(n));
        }
        link.Reset();
    });
    EXPECT_EQ(Send("cut.bin", body, SecurePeer{bob.keyHash(), ""}, ntohs(local.sin_port)),
              "ReportError 4");
    cutter.join();
    EXPECT_TRUE(taken == body) << "the whole body went, yet no ACK came";
    EXPECT_EQ(sent.Count("FinishedSending"), 0u);
    EXPECT_EQ(outcomes.Last().outcome, Outcome::Failed);

    // A sender that stops halfway: the receiver keeps nothing and says whose key it was.
    auto tcp = std::make_unique<TcpStream>(5s, nullptr);
    ASSERT_TRUE(tcp->Create() && tcp->Connect(Loopback(port)));
    auto tls = Shake(std::move(tcp), alice, true);
    ASSERT_TRUE(tls);
    FrameLink link(*tls);
    link.Send(frame::Encode(frame::Hello{}) +
              frame::Encode(frame::File{body.size(), 0, "half.bin"}));
    FrameReader reader({frame::Type::Hello});
    ASSERT_EQ(link.ReadFrame(reader), FrameLink::Got::Frame);
    reader.Next();
    reader.Expect({frame::Type::Verdict});
    ASSERT_EQ(link.ReadFrame(reader), FrameLink::Got::Frame);
    EXPECT_TRUE(std::get<frame::Verdict>(reader.message()).accept);
    link.Write(body.data(), body.size() / 2);
    ASSERT_TRUE(received.WaitFor("ShowProgress"));
    link.Reset();
    ASSERT_TRUE(received.WaitFor("ReportError"));
    EXPECT_EQ(received.Described().back(), "ReportError 5");
    ASSERT_FALSE(notes.Notes().empty());
    EXPECT_EQ(notes.Notes().back().what, "ReceiveFailed");
    EXPECT_EQ(notes.Notes().back().name, "half.bin");
    EXPECT_EQ(notes.Notes().back().key, alice.keyHash());
    EXPECT_FALSE(FileExists(folder + "/half.bin"));
    // What came is kept to resume, under a temporary name beside its record; nothing else.
    const std::string part = PartStore::NameFor({alice.keyHash(), "half.bin", body.size(), 0});
    EXPECT_TRUE(FileExists(folder + "/" + part));
    EXPECT_EQ(FilesBeingReceived(folder), 2u) << "the part and its record, nothing else";
}

}  // namespace
