// The sending side of a batch against a receiver of the test's own that speaks the frames of
// several files and folders: what goes on the wire, in which order, and what the owner hears.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "TransferHelpers.h"
#include "net/TcpStream.h"
#include "secure/Identity.h"
#include "secure/TlsStream.h"
#include "support/TestPaths.h"
#include "transfer/BatchFrames.h"
#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/SSender.h"

namespace {

using namespace transfer_test;
using namespace std::chrono_literals;

Identity MakeIdentity(const std::string& name) {
    std::string error;
    std::optional<Identity> identity = Identity::LoadOrCreate(TestPaths::NewFolder(name), error);
    EXPECT_TRUE(identity) << error;
    return std::move(*identity);
}

// Exactly n bytes from the session, or false.
bool ReadBytes(FrameLink& link, size_t n, std::string& out) {
    out.clear();
    link.LimitReads(n);
    char buffer[65536];
    while (out.size() < n) {
        const long got = link.Read(buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        out.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

uint64_t Number(const std::string& bytes, size_t at) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) {
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    }
    return value;
}

// A receiver that writes down every frame ("BATCH files folders bytes root", "FOLDER path",
// "FILE path size", "END"), refuses the paths given, and resets the session halfway through
// the body of file number `cutAt` (0: never).
class ScriptedReceiver {
public:
    ScriptedReceiver(const Identity& me, std::map<std::string, std::string> refuse, size_t cutAt)
        : me_(me), refuse_(std::move(refuse)), cutAt_(cutAt) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_TRUE(server_.Create() && server_.Bind(local) && server_.Listen(1) &&
                    server_.LocalAddress(local));
        port = ntohs(local.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedReceiver() { thread_.join(); }

    int port = 0;
    std::vector<std::string> frames;
    std::map<std::string, std::string> bodies;

private:
    void Serve() {
        auto tcp = std::make_unique<TcpStream>(5s, nullptr);
        ASSERT_TRUE(server_.Accept(*tcp, nullptr));
        std::string error;
        auto tls = TlsStream::Accept(std::move(tcp), me_, net::DeadlineAfter(5s), error);
        ASSERT_TRUE(tls) << error;
        FrameLink link(*tls);
        std::string header, payload;
        bool hello = false;
        size_t files = 0;
        while (ReadBytes(link, batch_frames::kHeaderSize, header)) {
            uint8_t type = 0;
            uint32_t length = 0;
            ASSERT_EQ(batch_frames::ReadHeader(header, type, length), batch_frames::Header::Whole);
            ASSERT_TRUE(ReadBytes(link, length, payload));
            if (type == batch_frames::kBatch) {
                batch_frames::Batch batch;
                ASSERT_TRUE(batch_frames::DecodeBatch(payload, batch));
                frames.push_back("BATCH " + std::to_string(batch.files) + " " +
                                 std::to_string(batch.folders) + " " +
                                 std::to_string(batch.totalBytes) + " " + batch.root);
            } else if (type == batch_frames::kFolder) {
                std::string path;
                ASSERT_TRUE(batch_frames::DecodeFolder(payload, path));
                frames.push_back("FOLDER " + path);
            } else if (type == static_cast<uint8_t>(frame::Type::File)) {
                const uint64_t size = Number(payload, 0);
                const std::string path = payload.substr(18);
                frames.push_back("FILE " + path + " " + std::to_string(size));
                std::string answer = hello ? "" : frame::Encode(frame::Hello{});
                hello = true;
                const auto refused = refuse_.find(path);
                answer += frame::Encode(refused == refuse_.end()
                                            ? frame::Verdict{}
                                            : frame::Verdict{false, 0, refused->second});
                ASSERT_TRUE(link.Send(answer));
                if (refused != refuse_.end()) {
                    continue;
                }
                if (++files == cutAt_) {
                    ReadBytes(link, size / 2, payload);
                    link.Reset();
                    return;
                }
                ASSERT_TRUE(ReadBytes(link, size, bodies[path]));
                ASSERT_TRUE(link.Send(frame::Encode(frame::Ack{true, path})));
            } else {
                frames.push_back(type == 0x7F ? "END" : type == 1 ? "HELLO" : "?");
                if (type == 0x7F) {
                    link.Close();
                    return;
                }
            }
        }
    }

    const Identity& me_;
    std::map<std::string, std::string> refuse_;
    size_t cutAt_;
    TcpStream server_{5s, nullptr};
    std::thread thread_;
};

class BatchSend : public testing::Test {
protected:
    void SetUp() override {
        outgoing = TestPaths::NewFolder("outgoing");
        sender.SetCallback(&events);
        sender.SetBatchNotes(&notes);
        sender.SetIdentity(&alice, "alice");
    }
    // Runs one session to the receiver and gives the sender's last event.
    std::string Run(ScriptedReceiver& receiver) {
        EXPECT_TRUE(
            sender.SendBatch("127.0.0.1", std::to_string(receiver.port), {bob.keyHash(), ""}));
        EXPECT_TRUE(WaitUntil([&] {
            return events.Count("FinishedSending") + events.Count("ReportError") +
                       events.Count("FoundBuddy") >
                   0;
        }));
        return events.Described().back();
    }

    Identity alice = MakeIdentity("alice");
    Identity bob = MakeIdentity("bob");
    RecordingCallback events;
    RecordingBatch notes;
    SSender sender;
    std::string outgoing;
};

TEST_F(BatchSend, LooseFilesAndAFolderGoInGroupsOfOneSessionEachTold) {
    WriteFile(outgoing + "/a.txt", "alpha");
    WriteFile(outgoing + "/no.txt", "refused");
    const std::string tree = outgoing + "/tree";
    ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((tree + "/empty").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0700), 0);
    WriteFile(tree + "/b.txt", "bravo");
    WriteFile(tree + "/sub/c.txt", "charlie!");
    ASSERT_EQ(symlink("/etc/passwd", (tree + "/link").c_str()), 0);
    WriteFile(outgoing + "/d.txt", "delta");
    // A folder none of whose files was taken did not go.
    ASSERT_EQ(mkdir((outgoing + "/declined").c_str(), 0700), 0);
    WriteFile(outgoing + "/declined/x", "x");
    notes.entries = {outgoing + "/a.txt", outgoing + "/gone.txt", outgoing + "/no.txt", tree,
                     outgoing + "/d.txt", outgoing + "/declined"};
    ScriptedReceiver receiver(bob, {{"no.txt", "bad name"}, {"declined/x", "declined"}}, 0);
    EXPECT_EQ(Run(receiver), "FinishedSending");
    EXPECT_EQ(
        receiver.frames,
        (std::vector<std::string>{
            "HELLO", "BATCH 2 0 12 ", "FILE a.txt 5", "FILE no.txt 7", "BATCH 2 2 13 tree",
            "FOLDER tree/empty", "FOLDER tree/sub", "FILE tree/b.txt 5", "FILE tree/sub/c.txt 8",
            "BATCH 1 0 5 ", "FILE d.txt 5", "BATCH 1 0 1 declined", "FILE declined/x 1", "END"}));
    EXPECT_EQ(receiver.bodies, (std::map<std::string, std::string>{{"a.txt", "alpha"},
                                                                   {"tree/b.txt", "bravo"},
                                                                   {"tree/sub/c.txt", "charlie!"},
                                                                   {"d.txt", "delta"}}));
    EXPECT_EQ(notes.Told(),
              (std::vector<std::string>{"0 started", "0 delivered", "1 started", "1 cannot open",
                                        "2 started", "2 refused bad name", "3 started",
                                        "3 left out tree/link: a link", "3 delivered", "4 started",
                                        "4 delivered", "5 started", "5 refused declined"}));
    EXPECT_EQ(notes.last.filesDone, 6u);
    EXPECT_EQ(notes.last.bytesDone, 23u);
    EXPECT_EQ(events.Count("ShowProgress"), 0u) << "a batch's progress goes to its notes";
}

// One file alone goes as every secure receiver takes it; a cut session fails the entry under
// way and tells nothing more; Cancel ends a session that waits on its buddy.
TEST_F(BatchSend, OneFileAloneACutAndACancel) {
    struct Case {
        const char* name;
        size_t files;
        size_t cutAt;
        std::vector<std::string> frames;
        std::string last;
        std::vector<std::string> told;
    };
    const std::string big = RandomBytes(300000, 5);
    const Case cases[] = {
        {"alone",
         1,
         0,
         {"HELLO", "FILE f0 300000", "END"},
         "FinishedSending",
         {"0 started", "0 delivered"}},
        {"cut in the second file",
         3,
         2,
         {"HELLO", "BATCH 3 0 900000 ", "FILE f0 300000", "FILE f1 300000"},
         "ReportError 4",
         {"0 started", "0 delivered", "1 started"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events.Clear();
        RecordingBatch fresh;
        for (size_t i = 0; i < c.files; ++i) {
            fresh.entries.push_back(outgoing + "/f" + std::to_string(i));
            WriteFile(fresh.entries.back(), big);
        }
        sender.SetBatchNotes(&fresh);
        {
            ScriptedReceiver receiver(bob, {}, c.cutAt);
            EXPECT_EQ(Run(receiver), c.last);
            sender.Cancel();
            EXPECT_EQ(receiver.frames, c.frames);
        }
        EXPECT_EQ(fresh.Told(), c.told);
    }

    // A buddy that takes the connection and then says nothing.
    TcpStream silent(5s, nullptr);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_TRUE(silent.Create() && silent.Bind(local) && silent.Listen(1) &&
                silent.LocalAddress(local));
    events.Clear();
    ASSERT_TRUE(
        sender.SendBatch("127.0.0.1", std::to_string(ntohs(local.sin_port)), {bob.keyHash(), ""}));
    std::this_thread::sleep_for(100ms);
    sender.Cancel();
    EXPECT_FALSE(sender.Busy());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(events.Count("FinishedSending") + events.Count("ReportError"), 0u);
    EXPECT_TRUE(sender.SendBatch("127.0.0.1", "1", {bob.keyHash(), ""}))
        << "the sender takes the next transfer";
}

}  // namespace
