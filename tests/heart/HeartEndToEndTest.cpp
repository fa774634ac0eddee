#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "core/ActivityLog.h"
#include "core/EventCodes.h"
#include "core/ReceiveFolder.h"
#include "heart/FakeWorkers.h"
#include "heart/MainDialog.h"
#include "heart/RealWorkerFactory.h"
#include "secure/Identity.h"
#include "settings/LiveSettings.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "transfer/WireFormat.h"

namespace {

using Text = LiveSettingsStore::Text;

// A second copy in manual mode, receiving on 6677 with the real workers, for ever.
[[noreturn]] void RunManualBuddy(const std::string& home) {
    setenv("HOME", home.c_str(), 1);
    LiveSettings.manual = 1;
    LiveSettings.Set(Text::strangers, "accept");  // files from anyone, as before the policy
    LiveSettings.server = 1;
    LiveSettings.Set(Text::serverport, "6677");
    RecordingView view;
    RealWorkerFactory workers;
    MainDialog heart(view, workers);
    heart.Initialize();
    for (;;)
        pause();
}

class PairedWith : public PairedBuddySource {
public:
    PairedWith(std::string hash, std::string name)
        : hash_(std::move(hash)), name_(std::move(name)) {}
    std::optional<PairedBuddy> Paired() const override {
        return PairedBuddy{hash_, hash_.substr(0, 16), "127.0.0.1", name_};
    }

private:
    std::string hash_, name_;
};

// The same with our key from keyFolder (empty: a copy without secure transfers), paired with
// Anna when her key hash is given. What its user hears (barks, one per connection, and
// notifications) goes to its log as "view: " lines.
[[noreturn]] void RunSecureBuddy(const std::string& home, const std::string& keyFolder,
                                 const std::string& annaHash = "") {
    setenv("HOME", home.c_str(), 1);
    CloseLog();  // the test's own, if the fork inherited it open
    LiveSettings.manual = 1;
    LiveSettings.Set(Text::strangers, "accept");  // files from anyone, as before the policy
    LiveSettings.server = 1;
    LiveSettings.Set(Text::serverport, "6677");
    std::string error;
    std::optional<Identity> identity;
    if (!keyFolder.empty()) {
        identity = Identity::LoadOrCreate(keyFolder, error);
    }
    RecordingView view;
    view.afterCall = [](const std::string& call) {
        if (call == "bark" || call.rfind("notify ", 0) == 0) {
            WriteLog("view: " + call + "\n");
        }
    };
    PairedWith anna(annaHash, "Anna");
    RealWorkerFactory workers;
    workers.SetSecure(identity ? &*identity : nullptr, "Bob", annaHash.empty() ? nullptr : &anna);
    MainDialog heart(view, workers);
    heart.Initialize();
    for (;;)
        pause();
}

// Whether something listens on the port on loopback, waited for: a buddy may still be starting.
bool Listens(int port) {
    return WaitUntil([port] {
        const int fd = ConnectToLoopback(port);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    });
}

// Each test in a network namespace of its own: the ports (6677, 1024) are fixed.
class HeartEndToEnd : public testing::Test {
protected:
    void SetUp() override { ZW_ENTER_OWN_NETWORK(); }

    // A second copy in another process, receiving into its home; this one sends to it.
    bool StartBuddy() {
        LiveSettings.manual = 1;
        LiveSettings.Set(Text::strangers, "accept");  // files from anyone, as before the policy
        LiveSettings.server = 0;
        LiveSettings.SetBuddy("127.0.0.1", "6677");
        return buddy_.Fork([&] { RunManualBuddy(otherHome); });
    }

    const std::string otherHome = TestPaths::NewFolder("buddy-home");
    ChildProcess buddy_;  // killed when the test ends
};

// Two drop windows with real workers: one sends, a second process receives.
TEST_F(HeartEndToEnd, TwoCopiesInManualModePassThreeFiles) {
    ASSERT_TRUE(StartBuddy());

    std::vector<std::string> contents;
    std::vector<std::string> paths;
    const std::string source = TestPaths::NewFolder("to-send");
    for (int i = 0; i < 3; ++i) {
        contents.push_back(RandomBytes(100000 + 150000 * i, i + 1));
        paths.push_back(source + "/file-" + std::to_string(i) + ".bin");
        WriteFile(paths.back(), contents.back());
    }
    RecordingView view;
    RecordingIconMaker icons;
    RealWorkerFactory workers;
    {
        MainDialog heart(view, workers);
        heart.SetIconMaker(&icons);
        heart.Initialize();
        // The buddy may still be starting.
        ASSERT_TRUE(Listens(6677));
        heart.OnDropFiles(paths);
        ASSERT_TRUE(
            WaitUntil([&] { return heart.queue().Count() == 0; }, std::chrono::seconds(30)));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ReadFile(otherHome + "/Zingwell/file-" + std::to_string(i) + ".bin"), contents[i])
            << i;
    }
    EXPECT_FALSE(view.barVisible());
    EXPECT_TRUE(view.Messages().empty());
    const std::string log = LogText();
    EXPECT_NE(log.find("Connected to buddy at 127.0.0.1\n"), std::string::npos);
}

// The buddy refuses a file named as its own queue file: after three refusals it leaves the
// queue for Not delivered, and the file behind it arrives.
TEST_F(HeartEndToEnd, AFileTheBuddyRefusesThreeTimesStopsBlockingTheQueue) {
    ASSERT_TRUE(StartBuddy());

    const std::string source = TestPaths::NewFolder("to-send");
    const std::string refused = source + "/Files2Send.txt";
    const std::string next = source + "/after.bin";
    WriteFile(refused, "/etc/shadow\r\n");
    const std::string contents = RandomBytes(200000, 7);
    WriteFile(next, contents);
    RecordingView view;
    RealWorkerFactory workers;
    {
        MainDialog heart(view, workers);
        heart.SetRetrySchedule(RetrySchedule({std::chrono::milliseconds(50)}));
        heart.Initialize();
        ASSERT_TRUE(Listens(6677));
        heart.OnDropFiles({refused, next});
        ASSERT_TRUE(
            WaitUntil([&] { return heart.queue().Count() == 0; }, std::chrono::seconds(30)));
        EXPECT_EQ(heart.NotDelivered(), (std::vector<std::string>{refused}));
    }
    EXPECT_EQ(ReadFile(otherHome + "/Zingwell/after.bin"), contents);
    EXPECT_NE(ReadFile(otherHome + "/Zingwell/Files2Send.txt"), "/etc/shadow\r\n");
    const std::string log = LogText();
    EXPECT_EQ(Occurrences(log, "Error code 4\n"), 3u);
    EXPECT_NE(log.find("Not delivered: Files2Send.txt to 127.0.0.1 failed 3 times\n"),
              std::string::npos);
    EXPECT_NE(log.find("Sent after.bin to 127.0.0.1\n"), std::string::npos);
    EXPECT_EQ(view.Notes().back(), "Files sent: Sent after.bin to 127.0.0.1");
}

// Paired with Bob: the file goes over TLS to Bob's key. Bob restarted as a copy without
// secure transfers gets nothing, plain or otherwise: the file waits and the user is asked once.
TEST_F(HeartEndToEnd, APairedBuddyGetsFilesOverTlsAndNothingOnceItStopsSpeakingIt) {
    std::string error;
    const std::string bobKeys = TestPaths::NewFolder("bob-keys") + "/zingwell";
    const std::optional<Identity> bob = Identity::LoadOrCreate(bobKeys, error);
    ASSERT_TRUE(bob) << error;
    const std::optional<Identity> anna =
        Identity::LoadOrCreate(TestPaths::NewFolder("anna-keys") + "/zingwell", error);
    ASSERT_TRUE(anna) << error;
    LiveSettings.manual = 1;
    LiveSettings.Set(Text::strangers, "accept");  // files from anyone, as before the policy
    LiveSettings.server = 0;
    LiveSettings.SetBuddy("127.0.0.1", "6677");
    ASSERT_TRUE(buddy_.Fork([&] { RunSecureBuddy(otherHome, bobKeys); }));
    // The buddy restarted without a key is forked now, while this process has no threads
    // (forking one that has is not supported under ThreadSanitizer), and waits to be let go.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    ChildProcess restarted;  // killed when the test ends
    ASSERT_TRUE(restarted.Fork([&] {
        close(go[1]);
        char byte;
        if (read(go[0], &byte, 1) == 1) {
            RunSecureBuddy(otherHome, "");
        }
        _exit(0);
    }));
    close(go[0]);

    const std::string source = TestPaths::NewFolder("to-send");
    const std::string contents = RandomBytes(300000, 3);
    WriteFile(source + "/one.bin", contents);
    WriteFile(source + "/two.bin", "second");
    RecordingView view;
    RecordingIconMaker icons;
    PairedWith paired(bob->keyHash(), "Bob");
    RealWorkerFactory workers;
    workers.SetSecure(&*anna, "Anna", &paired);
    MainDialog heart(view, workers);
    heart.SetIconMaker(&icons);
    heart.SetRetrySchedule(RetrySchedule({std::chrono::hours(1)}));
    heart.Initialize();
    ASSERT_TRUE(Listens(6677));
    heart.OnDropFiles({source + "/one.bin"});
    ASSERT_TRUE(WaitUntil([&] { return heart.queue().Count() == 0; }, std::chrono::seconds(30)));
    EXPECT_EQ(ReadFile(otherHome + "/Zingwell/one.bin"), contents);
    EXPECT_NE(LogText().find("Secure session with key " + bob->keyId()), std::string::npos);

    buddy_.Kill();
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    ASSERT_TRUE(Listens(6677));
    heart.OnDropFiles({source + "/two.bin"});
    ASSERT_TRUE(WaitUntil([&] { return !view.Asked().empty(); }));
    EXPECT_EQ(heart.queue().Count(), 1u);
    EXPECT_EQ(icons.Last(), resource::kIconRed);
    EXPECT_NE(LogText().find("The secure connection to Bob failed. Nothing was sent; your files "
                             "wait for it. (127.0.0.1)\n"),
              std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(FileExists(otherHome + "/Zingwell/two.bin"));
}

TEST_F(HeartEndToEnd, AutomaticModeWithAFixedPortStartsTheReceiverTwiceAndTheSecondBindFails) {
    LiveSettings.auto_ = 1;
    LiveSettings.manual = 0;
    LiveSettings.Set(Text::strangers, "accept");  // files from anyone, as before the policy
    LiveSettings.server = 1;
    RecordingView view;
    RealWorkerFactory workers;
    {
        MainDialog heart(view, workers);
        heart.Initialize();
        ASSERT_TRUE(WaitUntil([] {
            const std::string log = LogText();
            return log.find("Listener: bind() failed\n") != std::string::npos &&
                   log.find("Listening for client...\n") != std::string::npos;
        }));
        int fd = ConnectToLoopback(6677);
        EXPECT_GE(fd, 0);  // the first one listens
        if (fd >= 0)
            close(fd);

        // Another port in manual mode, applied at OK: the old receivers go, a new one listens.
        LiveSettings.auto_ = 0;
        LiveSettings.manual = 1;
        LiveSettings.Set(Text::strangers, "accept");  // files from anyone, as before the policy
        LiveSettings.Set(Text::serverport, "6690");
        heart.ApplySettings();
        EXPECT_FALSE(view.timerRunning());
        EXPECT_TRUE(WaitUntil([] {
            const int moved = ConnectToLoopback(6690);
            const int old = ConnectToLoopback(6677);
            for (int open : {moved, old}) {
                if (open >= 0)
                    close(open);
            }
            return moved >= 0 && old < 0;
        }));
    }
}

// Destroyed while a file goes out to a buddy that stopped reading, a file comes in and stalls,
// and announces keep arriving: every worker is stopped and joined, none of their events
// reaches the heart or its view afterwards (the sanitizer builds check the rest).
TEST_F(HeartEndToEnd, DestroyedMidTransferStopsEveryWorkerAndNothingCallsInAfterwards) {
    int buddyPort = 0;
    const int buddy = ListenOnLoopback(buddyPort);  // accepts, never reads
    ASSERT_GE(buddy, 0);
    const std::string big = TestPaths::NewFolder("to-send") + "/big.bin";
    WriteFile(big, std::string(64 << 20, 'z'));

    LiveSettings.auto_ = 1;
    LiveSettings.manual = 0;
    LiveSettings.Set(Text::strangers, "accept");  // files from anyone, as before the policy
    LiveSettings.server = 0;
    LiveSettings.SetBuddy("127.0.0.1", std::to_string(buddyPort));
    RecordingView view;
    RecordingIconMaker icons;
    RealWorkerFactory workers;
    auto heart = std::make_unique<MainDialog>(view, workers);
    heart->SetIconMaker(&icons);
    heart->Initialize();
    ASSERT_TRUE(Listens(6677));

    heart->OnDropFiles({big});
    const int sending = accept(buddy, nullptr, nullptr);
    ASSERT_GE(sending, 0);
    const int incoming = ConnectToLoopback(6677);
    ASSERT_GE(incoming, 0);
    const std::string part = wire::EncodeHeader("stalls.bin", 1 << 20) + std::string(300000, 'i');
    ASSERT_EQ(send(incoming, part.data(), part.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(part.size()));
    ASSERT_TRUE(
        WaitUntil([&] { return !view.Positions().empty() && view.Positions().back() > 0; }));

    // Announces from "other copies" (each a new address, so each is answered) until the end.
    std::atomic<bool> announcing{true};
    std::thread announcer([&] {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = inet_addr("127.0.0.2");
        bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(1024);
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        for (int i = 0; announcing; ++i) {
            const std::string text =
                "b|10.7." + std::to_string(i / 200 % 200) + "." + std::to_string(i % 200) + "|6677";
            sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(fd);
    });
    ASSERT_TRUE(WaitUntil(
        [] { return LogText().find("Found buddy at address: 10.7.") != std::string::npos; }));

    const auto start = std::chrono::steady_clock::now();
    heart.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    const size_t calls = view.Calls().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    announcing = false;
    announcer.join();
    EXPECT_EQ(view.Calls().size(), calls);
    EXPECT_LT(took, std::chrono::seconds(10));
    close(sending);
    close(incoming);
    close(buddy);
}

// A drop of loose files and a folder (a subfolder, an empty folder, a link out of it), to the
// paired buddy and to a plain one: what either user sees, read from both copies' logs.
class DropOfFilesAndAFolder : public HeartEndToEnd, public testing::WithParamInterface<bool> {};

// Paired: one TLS session, the tree kept, the folder told once on each side. Plain: one
// connection a file, the folder flattened, the sender's user told once. Either way every byte
// arrives, the link is left out and listed, and the queue and its file end empty.
TEST_P(DropOfFilesAndAFolder, ArrivesWholeInOneSessionWhenPairedAndFlatWhenPlain) {
    const bool paired = GetParam();
    std::string error;
    const std::string bobKeys = TestPaths::NewFolder("bob-keys") + "/zingwell";
    const std::optional<Identity> bob = Identity::LoadOrCreate(bobKeys, error);
    ASSERT_TRUE(bob) << error;
    const std::optional<Identity> anna =
        Identity::LoadOrCreate(TestPaths::NewFolder("anna-keys") + "/zingwell", error);
    ASSERT_TRUE(anna) << error;
    LiveSettings.manual = 1;
    LiveSettings.server = 0;
    LiveSettings.SetBuddy("127.0.0.1", "6677");
    ASSERT_TRUE(buddy_.Fork(
        [&] { RunSecureBuddy(otherHome, paired ? bobKeys : "", paired ? anna->keyHash() : ""); }));

    const std::string source = TestPaths::NewFolder("to-send");
    const std::string album = source + "/album";
    for (const std::string& folder : {album, album + "/sub", album + "/empty"}) {
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << folder;
    }
    // Path below the source, and where the buddy keeps it when the tree goes as it is.
    const std::map<std::string, std::string> files = {
        {"a.txt", "the first loose file"},
        {"b.bin", RandomBytes(700000, 1)},
        {"album/one.bin", RandomBytes(300000, 2)},
        {"album/sub/two.txt", "two levels down"},
        {"c.txt", ""},
    };
    for (const auto& [path, contents] : files) {
        WriteFile(source + "/" + path, contents);
    }
    WriteFile(source + "/secret.txt", "never to the buddy");
    ASSERT_EQ(symlink((source + "/secret.txt").c_str(), (album + "/link").c_str()), 0);

    const std::string received = otherHome + "/Zingwell";
    const std::string buddyLog = received + "/zingwelllog.txt";
    RecordingView view;
    PairedWith bobPaired(bob->keyHash(), "Bob");
    RealWorkerFactory workers;
    workers.SetSecure(&*anna, "Anna", paired ? &bobPaired : nullptr);
    {
        MainDialog heart(view, workers);
        heart.Initialize();
        // Read from its log, not tried: a connection would count among its sessions.
        ASSERT_TRUE(WaitUntil([&] {
            return ReadFile(buddyLog).find("Listening for client...\n") != std::string::npos;
        }));
        heart.OnDropFiles({source + "/a.txt", source + "/b.bin", album, source + "/c.txt"});
        ASSERT_TRUE(
            WaitUntil([&] { return heart.queue().Count() == 0; }, std::chrono::seconds(30)));
        ASSERT_TRUE(
            WaitUntil([] { return ReadFile(GetReceiveFolder() + "/Files2Send.txt").empty(); }));
        EXPECT_FALSE(heart.Sending());
    }
    for (const auto& [path, contents] : files) {
        const std::string kept = paired ? path : path.substr(path.rfind('/') + 1);
        EXPECT_TRUE(FileExists(received + "/" + kept)) << kept;
        EXPECT_EQ(ReadFile(received + "/" + kept), contents) << kept;
    }
    struct stat info {};
    EXPECT_EQ(paired,
              stat((received + "/album/empty").c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    EXPECT_NE(paired, FileExists(received + "/one.bin"));
    for (const char* never : {"/album/link", "/link", "/secret.txt"}) {
        EXPECT_NE(lstat((received + never).c_str(), &info), 0) << never;
    }

    // Read as the users do: the sender's log and notifications, the buddy's log (its view's
    // barks, one a connection, and notifications among its lines).
    const std::string log = LogText();
    const std::string heard = ReadFile(buddyLog);
    EXPECT_EQ(Occurrences(log, "Left out of album: album/link: a link\n"), 1u) << log;
    EXPECT_TRUE(view.Messages().empty());
    EXPECT_EQ(view.Waiting(), "Nothing to send");
    const size_t connections = paired ? 1 : files.size();
    EXPECT_EQ(Occurrences(log, "Connected to buddy at 127.0.0.1\n"), connections);
    EXPECT_EQ(Occurrences(heard, "view: bark\n"), connections) << heard;
    EXPECT_EQ(Occurrences(log, "Secure session with key " + bob->keyId()), paired ? 1u : 0u);
    std::vector<std::string> notes = view.Notes();
    ASSERT_EQ(notes.size(), 2u) << testing::PrintToString(notes);
    if (paired) {
        EXPECT_EQ(notes[0], "Not all of album goes: 1 left out, the rest goes: album/link: a link");
        EXPECT_EQ(notes[1], "Files sent: Sent 3 files and 1 folder to 127.0.0.1");
        EXPECT_EQ(Occurrences(heard, "Received 2 of 2 files in album\n"), 1u) << heard;
        EXPECT_EQ(Occurrences(heard, "view: notify File received: album"), 1u);
        EXPECT_NE(heard.find("view: notify File received: album (2 files) from Anna (verified, "
                             "127.0.0.1)\n"),
                  std::string::npos);
    } else {
        EXPECT_EQ(notes[0],
                  "Folder sent as single files: album: its 2 files go to 127.0.0.1 one by one, "
                  "each under its own name; the folders are not recreated there (it takes "
                  "single files only); 1 left out (links, unreadable files), listed in the log");
        EXPECT_EQ(notes[1], "Files sent: Sent 5 files to 127.0.0.1");
        EXPECT_EQ(Occurrences(heard, "view: notify File received: "), files.size());
    }
}

INSTANTIATE_TEST_SUITE_P(ToABuddy, DropOfFilesAndAFolder, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Paired" : "Plain";
                         });

}  // namespace
