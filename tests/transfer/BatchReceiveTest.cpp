// A hostile sender speaking batch frames over real TLS to the real receiver: paths that try
// to leave the receive folder, to write through links or through each other, counts and
// sizes beyond what was announced. Each is refused or bounded, and the rest of its batch
// arrives unharmed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <variant>

#include "TransferHelpers.h"
#include "core/ReceiveFolder.h"
#include "support/TestPaths.h"
#include "transfer/BatchFrames.h"
#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"
#include "transfer/SListener.h"

namespace {

using namespace transfer_test;
using namespace std::chrono_literals;

// Frames as a hostile sender writes them: no value is checked on the way out.
std::string Number(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes; i-- > 0;) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    return out;
}
std::string RawFrame(uint8_t type, const std::string& payload) {
    return std::string(1, static_cast<char>(type)) + Number(payload.size(), 4) + payload;
}

// One step of a scripted sender: a frame sent as it is, or a FILE that waits for its answer.
struct Step {
    std::string frame;
    std::string path, body;      // a FILE's
    uint64_t size = UINT64_MAX;  // a FILE's announced size when not the body's
};
Step Batch(uint32_t files, uint32_t folders, uint64_t total, const std::string& root = {}) {
    return {RawFrame(batch_frames::kBatch, Number(files, 4) + Number(folders, 4) +
                                               Number(total, 8) + Number(root.size(), 2) + root),
            {},
            {}};
}
Step Folder(const std::string& path) {
    return {RawFrame(batch_frames::kFolder, Number(path.size(), 2) + path), {}, {}};
}
Step File(std::string path, std::string body = "x") {
    return {{}, std::move(path), std::move(body)};
}
Step End() {
    return {frame::Encode(frame::End{}), {}, {}};
}

class BatchReceive : public testing::Test {
protected:
    void SetUp() override {
        folder = GetReceiveFolder();
        outside = TestPaths::NewFolder("outside");
        WriteFile(outside + "/secret.txt", "keep me");
        listener.SetCallback(&received);
        listener.SetNotes(&notes);
        listener.SetIdentity(&bob, "bob");
        listener.Start(0);
        ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));
    }

    // Reads `length` bytes whole, or fewer when the stream ends.
    static std::string ReadExactly(FrameLink& link, size_t length) {
        std::string bytes;
        char buffer[4096];
        while (bytes.size() < length) {
            const long n = link.Read(buffer, std::min(sizeof buffer, length - bytes.size()));
            if (n <= 0) {
                break;
            }
            bytes.append(buffer, static_cast<size_t>(n));
        }
        return bytes;
    }

    // Plays the steps as a sender would and says what came back for each FILE ("kept PATH",
    // "refused REASON", or "cut" when the receiver ended the session), then how the session
    // ended ("closed" in order, "reset"). Waits for the receiver's last event.
    std::vector<std::string> Play(const std::vector<Step>& steps) {
        std::vector<std::string> heard;
        const size_t before = Ended();
        auto tcp = std::make_unique<TcpStream>(5s, nullptr);
        EXPECT_TRUE(tcp->Create() && tcp->Connect(Loopback(listener.BoundPort())));
        auto tls = Shake(std::move(tcp), alice, true);
        if (!tls) {
            return {"no session"};
        }
        FrameLink link(*tls);
        std::string pending = frame::Encode(frame::Hello{});
        bool helloCame = false;
        bool cut = false;
        for (const Step& step : steps) {
            if (!step.frame.empty()) {
                pending += step.frame;
                if (&step == &steps.back()) {
                    link.Send(pending);
                }
                continue;
            }
            const uint64_t size = step.size != UINT64_MAX ? step.size : step.body.size();
            link.Send(pending + frame::Encode(frame::File{size, 0, step.path}));
            pending.clear();
            FrameReader reader({frame::Type::Hello});
            if (!helloCame && link.ReadFrame(reader) != FrameLink::Got::Frame) {
                cut = true;
                break;
            }
            helloCame = true;
            reader.Next();
            reader.Expect({frame::Type::Verdict});
            if (link.ReadFrame(reader) != FrameLink::Got::Frame) {
                cut = true;
                break;
            }
            const auto& verdict = std::get<frame::Verdict>(reader.message());
            if (!verdict.accept) {
                heard.push_back("refused " + verdict.reason);
                continue;
            }
            link.Write(step.body.data(), step.body.size());
            if (size != step.body.size()) {
                heard.push_back("cut");
                tls->Reset();
                EXPECT_TRUE(WaitUntil([&] { return Ended() > before; }));
                return heard;
            }
            // The ACK read raw: its path may hold '/'.
            const std::string header = ReadExactly(link, 5);
            uint32_t length = 0;
            for (size_t i = 1; i < header.size(); ++i) {
                length = (length << 8) | static_cast<uint8_t>(header[i]);
            }
            const std::string payload =
                header.size() == 5 && header[0] == 0x12 ? ReadExactly(link, length) : "";
            if (payload.size() < 3 || payload[0] != 0) {
                cut = true;
                break;
            }
            heard.push_back("kept " + payload.substr(3));
        }
        if (cut) {
            heard.push_back("cut");
        }
        FrameReader last({frame::Type::End});
        heard.push_back(link.ReadFrame(last) == FrameLink::Got::Closed ? "closed" : "reset");
        tls->Reset();
        EXPECT_TRUE(WaitUntil([&] { return Ended() > before; }));
        return heard;
    }
    size_t Ended() const {
        return received.Count("FinishedSending") + received.Count("ReportError");
    }

    Identity alice = MakeIdentity("alice");
    Identity bob = MakeIdentity("bob");
    RecordingCallback received;
    RecordingNotes notes{received};
    SListener listener;
    std::string folder;
    std::string outside;
};

TEST_F(BatchReceive, HostilePathsAreRefusedOrEndTheSessionAndTheRestOfTheBatchArrives) {
    // Planted before the batch: links out of the folder, and a folder of the root's name.
    ASSERT_EQ(symlink(outside.c_str(), (folder + "/Trip").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret.txt").c_str(), (folder + "/notes.txt").c_str()), 0);
    ASSERT_EQ(mkdir((folder + "/Photos").c_str(), 0700), 0);
    const std::vector<std::string> homeBefore = Listing(TestPaths::Home());
    const std::string deep = [] {
        std::string path = "Deep";
        for (int i = 1; i < 32; ++i) {
            path += "/d";
        }
        return path;
    }();
    // Deep paths of long names: their folders' paths pass 16 MiB within 300 FOLDERs.
    std::vector<Step> heavy = {Batch(1, 10000, 1, "P")};
    for (int i = 0; i < 300; ++i) {
        std::string path = "P/" + std::to_string(i);
        for (int level = 0; level < 30; ++level) {
            path += "/" + std::string(130, 'n');
        }
        heavy.push_back(Folder(path));
    }
    heavy.push_back(File("P/x"));
    const struct {
        const char* what;
        std::vector<Step> steps;
        std::vector<std::string> heard;
    } cases[] = {
        {"a folder beside one of its name, then loose files in the same session",
         {Batch(2, 1, 5, "Photos"), Folder("Photos/2024"), File("Photos/2024/a.jpg", "AAA"),
          File("Photos/b.txt", "BB"), Batch(1, 0, 1), File("b.txt"), End()},
         {"kept Photos (2)/2024/a.jpg", "kept Photos (2)/b.txt", "kept b.txt", "closed"}},
        {"escapes and our own names as loose files",
         {Batch(9, 0, 9), File("../escape.txt"), File("/etc/passwd"), File("sub/x"), File("a\\b"),
          File("bell\a"), File("Files2Send.txt"), File(".zingwell-incoming.tmp-0123456789abcdef"),
          File(std::string(256, 'L')), File("fine.txt"), End()},
         {"refused bad name", "refused bad name", "refused bad name", "refused bad name",
          "refused bad name", "refused bad name", "refused bad name", "refused bad name",
          "kept fine.txt", "closed"}},
        {"the same inside a folder: our own names are fine below the top",
         {Batch(5, 0, 5, "In"), File("In/../../x"), File("In/a/./b"), File("Out/x"),
          File("In/.zingwell-incoming.tmp-0123456789abcdef"), File("In/Files2Send.txt"), End()},
         {"refused bad name", "refused bad name", "refused bad name", "refused bad name",
          "kept In/Files2Send.txt", "closed"}},
        {"a file, then a path through it; a path sent twice",
         {Batch(4, 0, 4, "T"), File("T/a"), File("T/a/b"), File("T/c"), File("T/c"), End()},
         {"kept T/a", "refused bad name", "kept T/c", "refused bad name", "closed"}},
        {"links planted before the batch are never written through",
         {Batch(1, 0, 3, "Trip"), File("Trip/secret.txt", "new"), Batch(1, 0, 3),
          File("notes.txt", "new"), End()},
         {"kept Trip (2)/secret.txt", "kept notes (2).txt", "closed"}},
        {"letter-case twins: a folder and the files below it, and loose files",
         {Batch(2, 2, 2, "C"), Folder("C/Docs"), Folder("C/docs"), File("C/docs/x"),
          File("C/Docs/y"), Batch(2, 0, 2), File("Read.me"), File("READ.ME"), End()},
         {"refused bad name", "kept C/Docs/y", "kept Read.me", "refused bad name", "closed"}},
        {"32 levels are fine, 33 are not",
         {Batch(2, 30, 2, "Deep"), File(deep + "/f"), File(deep.substr(0, deep.size() - 2) + "/f"),
          End()},
         {"refused bad name", "kept " + deep.substr(0, deep.size() - 2) + "/f", "closed"}},
        {"a total larger than the disk: every file refused, nothing made",
         {Batch(2, 0, uint64_t{1} << 60, "Huge"), File("Huge/a"), File("Huge/b"), End()},
         {"refused no space", "refused no space", "closed"}},
        {"a million empty files announced", {Batch(1000000, 0, 0), File("a")}, {"cut", "reset"}},
        {"more than 100,000 entries together",
         {Batch(60000, 60000, 0, "M"), File("M/a")},
         {"cut", "reset"}},
        {"a file more than announced; what came before stays",
         {Batch(1, 0, 2), File("one"), File("two")},
         {"kept one", "cut", "reset"}},
        {"a file larger than the total",
         {Batch(2, 0, 3), File("small", "ab"), File("big", "cd")},
         {"kept small", "cut", "reset"}},
        {"a folder more than announced",
         {Batch(1, 1, 1, "F"), Folder("F/a"), Folder("F/b"), File("F/a/x")},
         {"cut", "reset"}},
        {"a folder outside the root, or with a loose group",
         {Batch(1, 1, 1, "G"), Folder("H/a"), File("G/x")},
         {"cut", "reset"}},
        {"a folder 33 levels deep",
         {Batch(1, 1, 1, "Deep"), Folder(deep + "/d/d"), File("x")},
         {"cut", "reset"}},
        {"paths that would fill the memory", heavy, {"cut", "reset"}},
        {"a root that is a path", {Batch(1, 0, 1, "../up"), File("../up/x")}, {"cut", "reset"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Play(c.steps), c.heard) << c.what;
    }

    EXPECT_EQ(ReadFile(folder + "/Photos (2)/2024/a.jpg"), "AAA");
    EXPECT_EQ(ReadFile(folder + "/Photos (2)/b.txt"), "BB");
    EXPECT_EQ(Listing(folder + "/Photos"), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(folder + "/Trip (2)/secret.txt"), "new");
    EXPECT_EQ(ReadFile(folder + "/notes (2).txt"), "new");
    EXPECT_EQ(Listing(outside), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(ReadFile(outside + "/secret.txt"), "keep me");
    EXPECT_EQ(Listing(folder + "/C"), (std::vector<std::string>{"Docs"}));
    EXPECT_FALSE(FileExists(folder + "/Huge"));
    EXPECT_FALSE(FileExists(folder + "/Files2Send.txt"));
    EXPECT_EQ(Listing(TestPaths::Home()), homeBefore);
    EXPECT_EQ(Listing(folder),
              (std::vector<std::string>{"C",          "Deep",    "Deep (2)", "F",
                                        "G",          "In",      "P",        "Photos",
                                        "Photos (2)", "Read.me", "T",        "Trip",
                                        "Trip (2)",   "b.txt",   "fine.txt", "notes (2).txt",
                                        "notes.txt",  "one",     "small",    "zingwelllog.txt"}));
    EXPECT_FALSE(ReceivingInto(folder)) << "no temporary file left";

    // Told as a user would be: one start and one end per group, every kept file, whose key.
    std::map<std::string, int> told;
    for (const RecordingNotes::Note& note : notes.Notes()) {
        ++told[note.what];
        EXPECT_EQ(note.key, alice.keyHash());
    }
    EXPECT_EQ(told["FileReceived"], 14);
    EXPECT_EQ(told["BatchStarted"], 17);
    EXPECT_EQ(told["BatchEnded whole"], 4);
    const std::string log = LogText();
    EXPECT_NE(log.find("Incoming folder Photos (2 files, 1 folder, 5 bytes), made as Photos "
                       "(2)\n"),
              std::string::npos);
    EXPECT_NE(log.find("Kept as notes (2).txt\n"), std::string::npos);
    EXPECT_NE(log.find("Incoming file refused: bell?\n"), std::string::npos);
}

TEST_F(BatchReceive, AnOlderSendersLoneFileAndABatchShareTheSessionRules) {
    // A lone FILE without BATCH, as copies before batches send it.
    EXPECT_EQ(Play({File("lone.txt", "old way"), End()}),
              (std::vector<std::string>{"kept lone.txt", "closed"}));
    EXPECT_EQ(ReadFile(folder + "/lone.txt"), "old way");
    // A batch of a thousand small files in one session, with progress over the whole batch.
    std::vector<Step> steps = {Batch(1000, 10, 1000 * 100, "Many")};
    for (int i = 0; i < 10; ++i) {
        steps.push_back(Folder("Many/" + std::to_string(i)));
    }
    for (int i = 0; i < 1000; ++i) {
        steps.push_back(File("Many/" + std::to_string(i % 10) + "/" + std::to_string(i),
                             RandomBytes(100, static_cast<uint32_t>(i))));
    }
    steps.push_back(End());
    received.Clear();
    const std::vector<std::string> heard = Play(steps);
    ASSERT_EQ(heard.size(), 1001u);
    EXPECT_EQ(heard[999], "kept Many/9/999");
    EXPECT_EQ(heard.back(), "closed");
    EXPECT_EQ(ReadFile(folder + "/Many/3/123"), RandomBytes(100, 123));
    EXPECT_EQ(received.Described().back(), "FinishedSending");
    EXPECT_EQ(received.Count("ReportError"), 0u);
    EXPECT_EQ(received.Described()[received.Described().size() - 2], "ShowProgress 100000 100000");
    // A sender cut inside a file: the files before stay, the one cut is told as failed.
    EXPECT_EQ(Play({Batch(2, 0, 200, "Cut"), File("Cut/a", std::string(100, 'a')),
                    Step{{}, "Cut/b", "half", 100}}),
              (std::vector<std::string>{"kept Cut/a", "cut"}));
    EXPECT_EQ(received.Described().back(), "ReportError 5");
    EXPECT_EQ(notes.Notes().back().what, "ReceiveFailed");
    EXPECT_EQ(notes.Notes().back().name, "Cut/b");
    EXPECT_EQ(Listing(folder + "/Cut"), std::vector<std::string>{"a"});
}

}  // namespace
