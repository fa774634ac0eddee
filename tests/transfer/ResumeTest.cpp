// Resuming a file cut in an earlier secure session: the parts a receiver keeps, and real
// sessions on loopback between a real sender and a real receiver (or a hostile peer).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <thread>
#include <variant>

#include "TransferHelpers.h"
#include "core/ReceiveFolder.h"
#include "net/TcpStream.h"
#include "secure/Identity.h"
#include "secure/PrefixDigest.h"
#include "secure/TlsStream.h"
#include "support/TestPaths.h"
#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"
#include "transfer/PartStore.h"
#include "transfer/ReceivedFile.h"
#include "transfer/SListener.h"
#include "transfer/SSender.h"
#include "transfer/WireFormat.h"

namespace {

using namespace transfer_test;
using namespace std::chrono_literals;

constexpr int64_t kNow = 1800000000;
constexpr int64_t kDay = PartStore::kMaxAgeSeconds;

TEST(PartStore, FindsOnlyTheSameFileFromTheSameKeyWithinADay) {
    const std::string folder = TestPaths::NewFolder("parts");
    PartStore store(folder);
    const PartStore::Key key{std::string(64, 'a'), "movie.mkv", 1000, 1700000000};
    const std::string name = PartStore::NameFor(key);
    WriteFile(folder + "/" + name, "half");
    ASSERT_TRUE(store.Record(name, key, 4, kNow));
    EXPECT_EQ(store.Find(key, kNow + kDay), name);

    struct Case {
        const char* what;
        PartStore::Key key;
        int64_t now;
    };
    const Case misses[] = {
        {"another key", {std::string(64, 'b'), "movie.mkv", 1000, 1700000000}, kNow},
        {"another path", {key.keyHash, "movie.mkv2", 1000, 1700000000}, kNow},
        {"another size", {key.keyHash, "movie.mkv", 1001, 1700000000}, kNow},
        {"another time", {key.keyHash, "movie.mkv", 1000, 1700000001}, kNow},
        {"after a day", key, kNow + kDay + 1},
    };
    for (const Case& miss : misses) {
        EXPECT_EQ(store.Find(miss.key, miss.now), std::nullopt) << miss.what;
    }
    // A record that is not ours to read finds nothing either.
    WriteFile(folder + "/" + name + ".part", "zingwell-part 1\nkey x\nsize 10\n");
    EXPECT_EQ(store.Find(key, kNow), std::nullopt);
}

TEST(PartStore, CleaningAndStartingUpLeaveOnlyPartsKeptLessThanADay) {
    const std::string folder = TestPaths::NewFolder("parts");
    PartStore store(folder);
    auto keep = [&](const std::string& path, int64_t kept) {
        const PartStore::Key key{std::string(64, 'c'), path, 100, 0};
        WriteFile(folder + "/" + PartStore::NameFor(key), "part");
        EXPECT_TRUE(store.Record(PartStore::NameFor(key), key, 4, kept));
        return PartStore::NameFor(key);
    };
    const std::string fresh = keep("fresh", kNow - kDay + 60);
    const std::string old = keep("old", kNow - kDay - 1);
    const std::string older = keep("older", kNow - 2 * kDay);
    const std::string orphan = keep("orphan", kNow);
    unlink((folder + "/" + orphan).c_str());  // its record stays alone
    WriteFile(folder + "/.zingwell-incoming.tmp-0123456789abcdef", "a crash's leftover");

    // A starting receiver removes what a crash left, and leaves kept parts to the store.
    ReceivedFile::RemoveStale(folder);
    EXPECT_FALSE(FileExists(folder + "/.zingwell-incoming.tmp-0123456789abcdef"));
    EXPECT_EQ(FilesBeingReceived(folder), 7u);

    // A part a connection is resuming stays whatever its age.
    ReceivedFile busy(folder);
    ASSERT_TRUE(busy.Adopt(older));
    store.Clean(kNow);
    EXPECT_EQ(Listing(folder),
              (std::vector<std::string>{fresh, fresh + ".part", older, older + ".part"}));
    busy.Discard();

    // A file no dropping could make room for drops nothing: an oversized offer must not
    // wipe the other senders' parts.
    keep("another", kNow);
    const std::vector<std::string> before = Listing(folder);
    EXPECT_FALSE(store.MakeRoom(UINT64_MAX, fresh));
    EXPECT_EQ(Listing(folder), before);
    EXPECT_TRUE(store.MakeRoom(0, {}));
    // One that fits once parts go: the oldest goes first, the one to resume stays.
    struct statvfs info {};
    ASSERT_EQ(statvfs(folder.c_str(), &info), 0);
    EXPECT_TRUE(store.MakeRoom(uint64_t{info.f_bavail} * info.f_frsize + 1, fresh));
    EXPECT_FALSE(FileExists(folder + "/" + older));
    EXPECT_TRUE(FileExists(folder + "/" + fresh));
}

int64_t MtimeOf(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mtime;
}

class ResumeSession : public testing::Test {
protected:
    void SetUp() override {
        folder = GetReceiveFolder();
        outgoing = TestPaths::NewFolder("outgoing");
        listener.SetCallback(&received);
        listener.SetIdentity(&bob, "bob");
        listener.Start(0);
        ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));
        port = listener.BoundPort();
        sender.SetCallback(&sent);
        sender.SetIdentity(&alice, "alice");
    }
    // A session of `from` that sends FILE for the file at path (as it is on disk), then
    // `bytes` of its body (none: it ends at the VERDICT, as a sender that cannot resume
    // does), and is cut by a reset. Returns the VERDICT's offset. With several paths they go
    // as a group of loose files, each but the last whole and acknowledged.
    uint64_t Cut(const std::vector<std::string>& paths, size_t bytes, const Identity& from) {
        const size_t errors = received.Count("ReportError");
        auto tcp = std::make_unique<TcpStream>(5s, nullptr);
        EXPECT_TRUE(tcp->Create() && tcp->Connect(Loopback(port)));
        auto tls = Shake(std::move(tcp), from, true);
        if (!tls) {
            return UINT64_MAX;
        }
        FrameLink link(*tls);
        batch_frames::Batch group{static_cast<uint32_t>(paths.size()), 0, 0, ""};
        for (const std::string& path : paths) {
            group.totalBytes += ReadFile(path).size();
        }
        link.Send(frame::Encode(frame::Hello{}) +
                  (paths.size() > 1 ? frame::Encode(group) : std::string()));
        FrameReader reader({frame::Type::Hello});
        uint64_t offset = UINT64_MAX;
        int64_t before = 0;  // the group's bytes before the last file
        std::string body;
        for (const std::string& path : paths) {
            body = ReadFile(path);
            link.Send(frame::Encode(
                frame::File{body.size(), MtimeOf(path), std::string(wire::NameFromPath(path))}));
            if (&path == &paths.front()) {
                EXPECT_EQ(link.ReadFrame(reader), FrameLink::Got::Frame);
            }
            reader.Next();
            reader.Expect({frame::Type::Verdict});
            EXPECT_EQ(link.ReadFrame(reader), FrameLink::Got::Frame);
            offset = reader.state() == FrameReader::State::Done
                         ? std::get<frame::Verdict>(reader.message()).offset
                         : UINT64_MAX;
            if (&path != &paths.back()) {
                link.Write(body.data(), body.size());
                reader.Next();
                reader.Expect({frame::Type::Ack});
                EXPECT_EQ(link.ReadFrame(reader), FrameLink::Got::Frame);
                before += static_cast<int64_t>(body.size());
            }
        }
        if (bytes > 0) {
            link.Write(body.data(), bytes);
            EXPECT_TRUE(WaitUntil([&] {
                const auto events = received.Events();
                return !events.empty() && events.back().name == "ShowProgress" &&
                       events.back().a >= before + static_cast<int64_t>(bytes);
            }));
        }
        link.Reset();
        EXPECT_TRUE(received.WaitFor("ReportError", errors + 1));
        return offset;
    }
    // Sends the file with the real sender; returns how many body bytes reached the
    // receiver in that session (counted by the receiver), or -1 when it failed.
    int64_t Send(const std::string& path) {
        received.Clear();
        sent.Clear();
        EXPECT_TRUE(sender.SendFile("127.0.0.1", std::to_string(port), path,
                                    SecurePeer{bob.keyHash(), ""}));
        EXPECT_TRUE(WaitUntil(
            [&] { return sent.Count("FinishedSending") + sent.Count("ReportError") > 0; }));
        if (!received.WaitFor("FinishedSending") || sent.Count("FinishedSending") == 0) {
            return -1;
        }
        // The receiver counts what crossed: every byte it took, less the header it was given.
        int64_t took = 0;
        int64_t body = 0;
        for (const RecordingCallback::Event& event : received.Events()) {
            if (event.name == "ShowProgress") {
                took = event.a;
                body = event.b;
            }
        }
        const std::string header =
            wire::EncodeHeader(wire::NameFromPath(path), static_cast<uint64_t>(body));
        EXPECT_EQ(took - static_cast<int64_t>(header.size()), body);
        // The sender shows the whole file, the part the receiver held as done.
        const auto progress = sent.Events();
        EXPECT_GE(progress.size(), 2u);
        EXPECT_EQ(progress[progress.size() - 2].b, static_cast<int64_t>(ReadFile(path).size()));
        return body;
    }

    Identity alice = MakeIdentity("alice");
    Identity bob = MakeIdentity("bob");
    RecordingCallback received;
    RecordingCallback sent;
    SListener listener;
    SSender sender;
    std::string folder;
    std::string outgoing;
    int port = 0;
};

TEST_F(ResumeSession, ACutFileGoesOnWhereItStoppedAndAnAlteredPartComesWhole) {
    const std::string path = outgoing + "/big.bin";
    const std::string body = RandomBytes(2000000, 11);
    WriteFile(path, body);

    // Cut at about half: the rest alone crosses, and the result is the sender's file.
    EXPECT_EQ(Cut({path}, 1000000, alice), 0u);
    const std::string part =
        PartStore::NameFor({alice.keyHash(), "big.bin", body.size(), MtimeOf(path)});
    EXPECT_TRUE(FileExists(folder + "/" + part + ".part"));
    const int64_t crossed = Send(path);
    EXPECT_GT(crossed, 0);
    EXPECT_LE(crossed, 1000000);
    EXPECT_TRUE(ReadFile(folder + "/big.bin") == body);
    EXPECT_NE(LogText().find("Resuming at byte "), std::string::npos);
    EXPECT_EQ(FilesBeingReceived(folder), 0u) << "the part became the file";

    // The part altered on the receiver's disk: RESUME 0, the whole file again, exact.
    EXPECT_EQ(Cut({path}, 1000000, alice), 0u);
    {
        const int fd = open((folder + "/" + part).c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "!", 1, 500), 1);
        close(fd);
    }
    EXPECT_EQ(Send(path), static_cast<int64_t>(body.size()));
    EXPECT_TRUE(ReadFile(folder + "/big (2).bin") == body);
    EXPECT_NE(LogText().find("The part held differs from the sender's file; receiving it whole\n"),
              std::string::npos);
}

TEST_F(ResumeSession, APartIsOnlyForTheSameFileFromTheSameKey) {
    const Identity carol = MakeIdentity("carol");
    struct Case {
        const char* what;
        const Identity* cutBy;
        bool touch;    // the file's modification time changes after the cut
        bool grow;     // the file grows after the cut
        bool decline;  // a sender is offered the part and ends the session instead
    };
    const Case cases[] = {
        {"another key", &carol, false, false, false},
        {"another time", &alice, true, false, false},
        {"another size", &alice, false, true, false},
        {"a sender that cannot resume", &alice, false, false, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string path = outgoing + "/f" + std::to_string(++n) + ".bin";
        std::string body = RandomBytes(600000, n);
        WriteFile(path, body);
        struct timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
        EXPECT_EQ(Cut({path}, 300000, *c.cutBy), 0u);
        if (c.touch) {
            times[1].tv_sec += 1;
            utimensat(AT_FDCWD, path.c_str(), times, 0);
        }
        if (c.grow) {
            body += "more";
            WriteFile(path, body);
            utimensat(AT_FDCWD, path.c_str(), times, 0);
        }
        if (c.decline) {
            EXPECT_GT(Cut({path}, 0, alice), 0u);
        }
        EXPECT_EQ(Send(path), static_cast<int64_t>(body.size())) << c.what;
        EXPECT_TRUE(ReadFile(folder + "/f" + std::to_string(n) + ".bin") == body) << c.what;
    }
}

TEST_F(ResumeSession, ALooseFileCutInAGroupGoesOnInTheNextGroup) {
    const std::string first = outgoing + "/a.txt";
    const std::string second = outgoing + "/b.bin";
    const std::string third = outgoing + "/c.txt";
    const std::string body = RandomBytes(2000000, 21);
    WriteFile(first, "acknowledged before the cut");
    WriteFile(second, body);
    WriteFile(third, "new in the second group");
    EXPECT_EQ(Cut({first, second}, 1000000, alice), 0u);
    const std::string part =
        folder + "/" + PartStore::NameFor({alice.keyHash(), "b.bin", body.size(), MtimeOf(second)});
    EXPECT_TRUE(FileExists(part + ".part"));

    // The queue dropped the acknowledged file: the rest goes as a group of its own.
    RecordingBatch queue;
    queue.entries = {second, third};
    sender.SetBatchNotes(&queue);
    received.Clear();
    ASSERT_TRUE(sender.SendBatch("127.0.0.1", std::to_string(port), {bob.keyHash(), ""}));
    ASSERT_TRUE(received.WaitFor("FinishedSending"));
    EXPECT_EQ(queue.Told(),
              (std::vector<std::string>{"0 started", "0 delivered", "1 started", "1 delivered"}));
    // The receiver counts the part it held as done at once: its first count is beyond it.
    const auto events = received.Events();
    const auto progress = std::find_if(events.begin(), events.end(), [](const auto& event) {
        return event.name == "ShowProgress";
    });
    ASSERT_NE(progress, events.end());
    EXPECT_GT(progress->a, 1000000);
    EXPECT_EQ(progress->b, static_cast<int64_t>(body.size() + ReadFile(third).size()));
    EXPECT_NE(LogText().find("Resuming at byte 1000000 of 2000000"), std::string::npos);
    EXPECT_EQ(ReadFile(folder + "/a.txt"), "acknowledged before the cut");
    EXPECT_TRUE(ReadFile(folder + "/b.bin") == body);
    EXPECT_EQ(ReadFile(folder + "/c.txt"), "new in the second group");
    EXPECT_FALSE(FileExists(part) || FileExists(part + ".part")) << "the part became the file";
}

// A receiver of the test's own that answers the FILE with VERDICT accept at `offset`, then,
// if the sender sends PREFIX_HASH, checks it and answers RESUME `resume`; returns what came.
struct Hostile {
    Hostile(uint64_t offset, uint64_t resume) : offset(offset), resume(resume) {}
    uint64_t offset;
    uint64_t resume;
    bool prefixCame = false;
    bool prefixRight = false;
    std::string body;
};

TEST_F(ResumeSession, TheSenderEndsASessionWhoseReceiverAsksTheImpossible) {
    const std::string path = outgoing + "/x.bin";
    const std::string body = RandomBytes(400000, 5);
    WriteFile(path, body);
    Hostile cases[] = {
        {body.size() + 1, 0},        // an offset beyond the file: no PREFIX_HASH goes
        {100000, 7},                 // a RESUME at an offset not offered
        {100000, 0},                 // RESUME 0: the whole body
        {body.size(), body.size()},  // the whole file held: an empty body
    };
    for (Hostile& c : cases) {
        TcpStream server(5s, nullptr);
        sockaddr_in local = Loopback(0);
        ASSERT_TRUE(server.Create() && server.Bind(local) && server.Listen(1) &&
                    server.LocalAddress(local));
        std::thread peer([&] {
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
            link.Send(frame::Encode(frame::Hello{}) +
                      frame::Encode(frame::Verdict{true, c.offset, {}}));
            reader.Next();
            reader.Expect({frame::Type::PrefixHash});
            if (link.ReadFrame(reader) != FrameLink::Got::Frame) {
                return;
            }
            c.prefixCame = true;
            const auto& prefix = std::get<frame::PrefixHash>(reader.message());
            c.prefixRight = prefix.offset == c.offset &&
                            prefix.digest == prefix_digest::OfText(body.substr(0, c.offset));
            link.Send(frame::Encode(frame::Resume{c.resume}));
            link.LimitReads(body.size() - c.resume);
            char buffer[65536];
            for (long n; (n = link.Read(buffer, sizeof buffer)) > 0;) {
                c.body.append(buffer, static_cast<size_t>(n));
            }
            link.LimitReads(UINT64_MAX);
            link.Send(frame::Encode(frame::Ack{true, "x.bin"}));
            reader.Next();
            reader.Expect({frame::Type::End});
            link.ReadFrame(reader);
            link.Close();
        });
        sent.Clear();
        ASSERT_TRUE(sender.SendFile("127.0.0.1", std::to_string(ntohs(local.sin_port)), path,
                                    SecurePeer{bob.keyHash(), ""}));
        ASSERT_TRUE(WaitUntil(
            [&] { return sent.Count("FinishedSending") + sent.Count("ReportError") > 0; }));
        peer.join();
        const bool honest = c.offset <= body.size() && (c.resume == 0 || c.resume == c.offset);
        EXPECT_EQ(sent.Described().back(), honest ? "FinishedSending" : "ReportError 4")
            << c.offset << " " << c.resume;
        EXPECT_EQ(c.prefixCame, c.offset <= body.size()) << c.offset;
        EXPECT_EQ(c.prefixRight, c.prefixCame) << c.offset;
        if (honest) {
            EXPECT_TRUE(c.body == body.substr(c.resume)) << c.offset << " " << c.resume;
        }
    }
}

}  // namespace
