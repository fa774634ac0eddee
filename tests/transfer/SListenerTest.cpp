#include "transfer/SListener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "TransferHelpers.h"
#include "core/ActivityLog.h"
#include "core/ReceiveFolder.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/ProcessStatus.h"
#include "support/RecordingCallback.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "transfer/FileStorage.h"
#include "transfer/ReceivedName.h"
#include "transfer/SSender.h"
#include "transfer/WireFormat.h"

namespace {

using namespace transfer_test;
using namespace std::chrono_literals;

class Receiving : public testing::Test {
protected:
    void SetUp() override {
        folder = GetReceiveFolder();
        listener.SetCallback(&events);
        listener.SetNotes(&notes);
    }
    void Listen() {
        listener.Start(0);
        ASSERT_TRUE(WaitUntil([&] { return listener.BoundPort() != 0; }));
        port = listener.BoundPort();
    }
    // Sends the bytes on a connection of their own and ends the stream; waits for the last
    // event. True when the receiver ended the connection with a reset.
    bool Deliver(const std::string& bytes, const std::string& lastEvent = "FinishedSending",
                 const std::string& from = "127.0.0.1") {
        const size_t before = events.Count(lastEvent);
        int fd = ConnectFrom(from, port);
        EXPECT_GE(fd, 0);
        // A send that fails has met the receiver's reset.
        const bool sent = SendAll(fd, bytes);
        shutdown(fd, SHUT_WR);
        EXPECT_TRUE(events.WaitFor(lastEvent, before + 1)) << lastEvent;
        const bool reset = !sent || AnsweredWithReset(fd);
        close(fd);
        return reset;
    }
    // The log lines written since `from` bytes of it.
    std::string LogSince(size_t from) {
        const std::string log = LogText();
        return from < log.size() ? log.substr(from) : "";
    }
    size_t LogSize() { return LogText().size(); }
    // The event that came right after the note.
    std::string EventAfter(const RecordingNotes::Note& note) {
        const std::vector<std::string> all = events.Described();
        return note.eventsBefore < all.size() ? all[note.eventsBefore] : "(none)";
    }

    RecordingCallback events;  // outlives the listener's threads
    RecordingNotes notes{events};
    SListener listener;
    std::string folder;
    int port = 0;
};

TEST_F(Receiving, StoresFilesOfEverySizeByteForByteAndTellsWhichCame) {
    Listen();
    const std::string name = "n\x80\xff\xe4.bin";
    // Every arrival of the name is kept, the later ones numbered: "n\x80\xff\xe4 (2).bin" ...
    std::vector<std::string> stored;
    for (size_t size : {0, 1, 102399, 102400, 102401, 1000000}) {
        events.Clear();
        stored.push_back(stored.empty()
                             ? name
                             : "n\x80\xff\xe4 (" + std::to_string(stored.size() + 1) + ").bin");
        const std::string body = RandomBytes(size, static_cast<uint32_t>(size));
        EXPECT_FALSE(Deliver(Stream(name, body))) << "a stored file ends in order";
        EXPECT_EQ(ReadFile(folder + "/" + stored.back()), body) << size;
        EXPECT_EQ(CheckReceiveEvents(events.Events(), name.size(), size), "") << size;
    }
    std::vector<std::string> listed = stored;
    listed.push_back("zingwelllog.txt");
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(Listing(folder), listed);
    // The name is stored byte for byte; the log shows each byte that is not UTF-8 as '?'.
    EXPECT_NE(LogText().find("Listening for client...\nIncoming file: n???.bin\n"),
              std::string::npos);
    EXPECT_NE(LogText().find("Incoming file: n???.bin\nKept as n??? (6).bin\n"), std::string::npos);
    const std::vector<RecordingNotes::Note> told = notes.Notes();
    ASSERT_EQ(told.size(), 6u);
    for (size_t i = 0; i < told.size(); ++i) {
        EXPECT_EQ(told[i].what, "FileReceived");
        EXPECT_EQ(told[i].name, stored[i]);  // as it was kept
        EXPECT_EQ(told[i].peer, "127.0.0.1");
    }
    EXPECT_EQ(EventAfter(told.back()), "FinishedSending");
}

TEST_F(Receiving, ReadsOnUntilAHeaderSentInPiecesIsWhole) {
    Listen();
    int fd = ConnectToLoopback(port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string stream = Stream("pieces.txt", "body");
    for (char byte : stream) {
        SendAll(fd, std::string(1, byte));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    shutdown(fd, SHUT_WR);
    ASSERT_TRUE(events.WaitFor("FinishedSending"));
    close(fd);
    EXPECT_EQ(ReadFile(folder + "/pieces.txt"), "body");
    EXPECT_EQ(CheckReceiveEvents(events.Events(), 10, 4), "");
}

TEST_F(Receiving, ACutStreamStoresNothingAndKeepsTheOlderFile) {
    Listen();
    const std::string older = RandomBytes(70000, 1);
    const std::string body = RandomBytes(250000, 2);
    const std::string whole = Stream("cut.bin", body);
    const size_t header = whole.size() - body.size();
    const std::string shortEnd =
        "Listener: the stream ended before the whole file came, nothing stored\n";
    struct Cut {
        std::string where;
        std::string bytes;
        std::string logAtTheEnd;  // the line when the stream ends in order
        bool alsoByReset;
    };
    const std::vector<Cut> cuts = {
        {"in the header", whole.substr(0, 5), "Listener: no valid header, nothing stored\n", true},
        {"in the body", whole.substr(0, header + 100000), shortEnd, true},
        {"one byte short", whole.substr(0, whole.size() - 1), shortEnd, true},
    };
    for (bool olderThere : {false, true}) {
        if (olderThere) {
            WriteFile(folder + "/cut.bin", older);
        }
        for (const Cut& cut : cuts) {
            for (bool byReset : {false, true}) {
                if (byReset && !cut.alsoByReset) {
                    continue;
                }
                SCOPED_TRACE(cut.where + (byReset ? ", by reset" : ", by an orderly end") +
                             (olderThere ? ", older file there" : ""));
                events.Clear();
                const size_t notesBefore = notes.Notes().size();
                const size_t logBefore = LogSize();
                int fd = ConnectToLoopback(port);
                SendAll(fd, cut.bytes);
                if (byReset) {
                    Reset(fd);
                } else {
                    shutdown(fd, SHUT_WR);
                    EXPECT_TRUE(AnsweredWithReset(fd)) << "the sender must learn of it";
                    close(fd);
                }
                ASSERT_TRUE(events.WaitFor("ReportError"));
                EXPECT_EQ(events.Described().back(), "ReportError 5");
                EXPECT_EQ(events.Count("FinishedSending"), 0u);
                if (olderThere) {
                    EXPECT_TRUE(ReadFile(folder + "/cut.bin") == older) << "older file changed";
                    EXPECT_EQ(Listing(folder),
                              (std::vector<std::string>{"cut.bin", "zingwelllog.txt"}));
                } else {
                    EXPECT_EQ(Listing(folder), std::vector<std::string>{"zingwelllog.txt"});
                }
                EXPECT_NE(LogSince(logBefore).find(byReset ? "Listener: recv() failed\n"
                                                           : cut.logAtTheEnd),
                          std::string::npos)
                    << LogSince(logBefore);
                // Told of the failure only when a header had come.
                const std::vector<RecordingNotes::Note> told = notes.Notes();
                if (cut.where == "in the header") {
                    EXPECT_EQ(told.size(), notesBefore);
                } else {
                    ASSERT_EQ(told.size(), notesBefore + 1);
                    EXPECT_EQ(told.back().what, "ReceiveFailed");
                    EXPECT_EQ(told.back().name, "cut.bin");
                    EXPECT_EQ(told.back().peer, "127.0.0.1");
                    EXPECT_EQ(EventAfter(told.back()), "ReportError 5");
                }
            }
        }
    }
}

TEST_F(Receiving, AnEmptyConnectionIsNoErrorAndAHeaderWithoutSeparatorIs) {
    Listen();
    // Closing at once: no file, and not an error.
    EXPECT_FALSE(Deliver(""));
    EXPECT_EQ(events.Described(), (std::vector<std::string>{"IncomingFile", "FinishedSending"}));

    // No separator in the first 102400 bytes: no file.
    events.Clear();
    int fd = ConnectToLoopback(port);
    SendAll(fd, std::string(wire::kPieceSize, 'x'));  // the connection stays open
    ASSERT_TRUE(events.WaitFor("ReportError"));
    EXPECT_TRUE(AnsweredWithReset(fd));
    close(fd);
    EXPECT_EQ(events.Described().back(), "ReportError 5");
    EXPECT_EQ(Listing(folder), std::vector<std::string>{"zingwelllog.txt"});
    EXPECT_NE(LogText().find("Listener: no valid header, nothing stored\n"), std::string::npos);
    EXPECT_TRUE(notes.Notes().empty());
}

TEST_F(Receiving, HostileNamesAreRefusedAndNothingLandsOutsideTheFolder) {
    FileStorage queue;
    queue.Add("/home/u/mine.txt");
    const std::string queueBefore = ReadFile(queue.FilePath());
    const std::vector<std::string> homeBefore = Listing(TestPaths::Home());
    Listen();
    const std::vector<std::string> names = {"",
                                            ".",
                                            "..",
                                            "../escape.txt",
                                            "sub/x",
                                            std::string("nul\0.txt", 8),
                                            "bell\a",
                                            "del\x7f",
                                            std::string(256, 'L'),
                                            "Files2Send.txt",
                                            "FILES2SEND.TXT",
                                            "zingwelllog.txt",
                                            ".Files2Send.txt.tmp-AbC123",
                                            ".ZINGWELL-INCOMING.TMP-0123456789abcdef"};
    for (const std::string& name : names) {
        EXPECT_TRUE(Deliver(Stream(name, "/etc/shadow\r\n"), "ReportError"));
        EXPECT_EQ(events.Described().back(), "ReportError 3") << name;
    }
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"Files2Send.txt", "zingwelllog.txt"}));
    EXPECT_EQ(Listing(TestPaths::Home()), homeBefore);
    EXPECT_EQ(ReadFile(queue.FilePath()), queueBefore);
    EXPECT_FALSE(FileExists(folder + "/nul"));
    const std::string log = LogText();
    EXPECT_EQ(Occurrences(log, "Listener: failed to open file for writing\n"), names.size());
    EXPECT_NE(log.find("Incoming file: bell?\n"), std::string::npos);  // no raw control bytes
    // Each had a header: each is told as failed, with the name as it came.
    const std::vector<RecordingNotes::Note> told = notes.Notes();
    ASSERT_EQ(told.size(), names.size());
    EXPECT_EQ(told[5].name, names[5]);
    EXPECT_EQ(told[5].what, "ReceiveFailed");
}

TEST_F(Receiving, AnyEntryOfTheNameIsKeptAndTheFileGoesToTheNextFreeName) {
    const std::string outside = TestPaths::NewFolder("outside");
    WriteFile(outside + "/target.txt", "keep me");
    WriteFile(outside + "/linked.txt", "keep me too");
    ASSERT_EQ(symlink((outside + "/target.txt").c_str(), (folder + "/link.txt").c_str()), 0);
    ASSERT_EQ(link((outside + "/linked.txt").c_str(), (folder + "/hard.txt").c_str()), 0);
    ASSERT_EQ(mkfifo((folder + "/fifo").c_str(), 0600), 0);
    mkdir((folder + "/dir").c_str(), 0700);
    WriteFile(folder + "/a (2).txt", "older");
    WriteFile(folder + "/.profile", "older");
    const std::string stem(250, 's');
    WriteFile(folder + "/" + stem + ".txt", "older");
    Listen();

    const struct {
        std::string name;
        std::string keptAs;
    } cases[] = {
        {"link.txt", "link (2).txt"},
        {"hard.txt", "hard (2).txt"},
        {"fifo", "fifo (2)"},
        {"dir", "dir (2)"},
        {"a (2).txt", "a (2) (2).txt"},
        {".profile", ".profile (2)"},                         // a leading dot is no extension
        {stem + ".txt", std::string(247, 's') + " (2).txt"},  // within 255 bytes
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Deliver(Stream(c.name, "new")));
        struct stat info {};
        ASSERT_EQ(lstat((folder + "/" + c.keptAs).c_str(), &info), 0) << c.keptAs;
        EXPECT_TRUE(S_ISREG(info.st_mode) && info.st_nlink == 1) << c.keptAs;
        EXPECT_EQ(ReadFile(folder + "/" + c.keptAs), "new") << c.keptAs;
        EXPECT_EQ(notes.Notes().back().name, c.keptAs);
    }
    EXPECT_EQ(ReadFile(outside + "/target.txt"), "keep me");
    EXPECT_EQ(ReadFile(outside + "/linked.txt"), "keep me too");
    EXPECT_EQ(ReadFile(folder + "/a (2).txt"), "older");
    EXPECT_EQ(ReadFile(folder + "/" + stem + ".txt"), "older");
    struct stat info {};
    ASSERT_EQ(lstat((folder + "/link.txt").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(lstat((folder + "/dir").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    ASSERT_EQ(lstat((folder + "/fifo").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(Receiving, AFullDiskStoresNothingKeepsTheOlderFileAndFreesTheSpace) {
    // A small file system of its own as the receive folder, in a mount namespace of this
    // test process (still single-threaded here, as unsharing it requires).
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("zingwell-test", folder.c_str(), "tmpfs", 0, "size=512k,mode=0700") != 0) {
        ZW_SKIP_FOR_LACK_OF("root for a mount namespace and a tmpfs");
    }
    const std::string older = RandomBytes(100000, 3);
    WriteFile(folder + "/big.bin", older);
    Listen();
    EXPECT_TRUE(Deliver(Stream("big.bin", RandomBytes(600000, 4)), "ReportError"));
    EXPECT_EQ(events.Described().back(), "ReportError 3");
    EXPECT_TRUE(ReadFile(folder + "/big.bin") == older);
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"big.bin", "zingwelllog.txt"}));
    EXPECT_NE(LogText().find("Listener: failed to write the file\n"), std::string::npos);
    EXPECT_EQ(events.Count("FinishedSending"), 0u);

    // The cut-off file's space is free again: a file that fits beside the older one is
    // stored (it would not if the part written had stayed).
    const std::string fits = RandomBytes(300000, 5);
    Deliver(Stream("big.bin", fits));
    EXPECT_TRUE(ReadFile(folder + "/big (2).bin") == fits);
    EXPECT_TRUE(ReadFile(folder + "/big.bin") == older);
}

TEST_F(Receiving, ConnectionsAreCappedInAllAndForEachPeerAddress) {
    Listen();
    std::vector<int> silent;
    auto openSilent = [&](const std::string& from) {
        const size_t before = events.Count("IncomingFile");
        const int fd = ConnectFrom(from, port);
        ASSERT_GE(fd, 0);
        silent.push_back(fd);
        ASSERT_TRUE(events.WaitFor("IncomingFile", before + 1));
    };
    // Accepted, then reset at once without an event.
    auto refused = [&](const std::string& from) {
        const int fd = ConnectFrom(from, port);
        const bool reset = AnsweredWithReset(fd);
        close(fd);
        return reset;
    };
    for (int i = 0; i < SListener::kMaxPerAddress; ++i) {
        openSilent("127.0.0.2");
    }
    EXPECT_TRUE(refused("127.0.0.2"));
    // Other addresses take the other places, all but one.
    for (int i = SListener::kMaxPerAddress; i < SListener::kMaxConnections - 1; ++i) {
        openSilent("127.0.1." + std::to_string(i / SListener::kMaxPerAddress));
    }
    Deliver(Stream("through.txt", "still gets through"));  // the last place
    EXPECT_EQ(ReadFile(folder + "/through.txt"), "still gets through");
    ASSERT_TRUE(
        WaitUntil([&] { return listener.ActiveConnections() == SListener::kMaxConnections - 1; }));
    openSilent("127.0.0.3");
    EXPECT_TRUE(refused("127.0.0.4"));  // every place taken
    EXPECT_NE(LogText().find("Listener: too many connections, one closed\n"), std::string::npos);
    EXPECT_EQ(events.Count("IncomingFile"), size_t(SListener::kMaxConnections) + 1);

    // A place comes free when its connection's thread has ended.
    close(silent.front());
    silent.erase(silent.begin());
    EXPECT_TRUE(
        WaitUntil([&] { return listener.ActiveConnections() == SListener::kMaxConnections - 1; }));
    Deliver(Stream("after.txt", "after"), "FinishedSending", "127.0.0.2");
    EXPECT_EQ(ReadFile(folder + "/after.txt"), "after");
    for (int fd : silent) {
        close(fd);
    }
    EXPECT_TRUE(WaitUntil([&] { return listener.ActiveConnections() == 0; }));
}

TEST_F(Receiving, AHeaderMustBeWholeInTimeAndTheBodyMustKeepComing) {
    listener.SetHeaderTimeout(500ms);
    listener.SetIdleTimeout(1500ms);
    WriteFile(folder + "/stalled.bin", "older");
    Listen();
    // A header that trickles in never grows stale, but takes too long; so does silence.
    int trickle = ConnectToLoopback(port);
    int silent = ConnectToLoopback(port);
    bool sendFailed = false;  // a send that fails has met the reset
    for (char byte : wire::EncodeHeader("trickled.bin", 1)) {
        if (events.Count("ReportError") == 2) {
            break;
        }
        if (!SendAll(trickle, std::string(1, byte))) {
            sendFailed = true;
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(events.WaitFor("ReportError", 2));
    EXPECT_TRUE(sendFailed || AnsweredWithReset(trickle));
    EXPECT_TRUE(AnsweredWithReset(silent));
    close(trickle);
    close(silent);
    EXPECT_EQ(LoggedTimes(LogText(), "Listener: no valid header, nothing stored\n"), 2u);

    // A whole header, then nothing for the idle time: a failed read.
    events.Clear();
    int stalled = ConnectToLoopback(port);
    SendAll(stalled, wire::EncodeHeader("stalled.bin", 100) + "part");
    ASSERT_TRUE(events.WaitFor("ReportError", 1, 5s));
    EXPECT_EQ(events.Described().back(), "ReportError 5");
    EXPECT_TRUE(AnsweredWithReset(stalled));
    close(stalled);
    EXPECT_EQ(ReadFile(folder + "/stalled.bin"), "older");
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"stalled.bin", "zingwelllog.txt"}));
    EXPECT_NE(LogText().find("Listener: recv() failed\n"), std::string::npos);
    ASSERT_EQ(notes.Notes().size(), 1u);  // only the one that had a header
    EXPECT_EQ(notes.Notes()[0].name, "stalled.bin");
}

TEST_F(Receiving, TricklersFromOneAddressDoNotKeepAnHonestBuddyOut) {
    Listen();
    // 64 connections from one address; one of those that get in trickles the body of the
    // very file the honest buddy sends.
    std::vector<int> tricklers;
    for (int i = 0; i < SListener::kMaxConnections; ++i) {
        tricklers.push_back(ConnectFrom("127.0.0.2", port));
    }
    ASSERT_TRUE(events.WaitFor("IncomingFile", SListener::kMaxPerAddress));
    SendAll(tricklers.front(), wire::EncodeHeader("honest.bin", 1000000));
    std::atomic<bool> stop{false};
    std::thread trickling([&] {
        while (!stop) {
            for (int fd : tricklers) {
                send(fd, "a", 1, MSG_NOSIGNAL);
            }
            std::this_thread::sleep_for(200ms);
        }
    });

    RecordingCallback sent;
    SSender sender;
    sender.SetCallback(&sent);
    const std::string body = RandomBytes(3000000, 9);
    const std::string path = TestPaths::NewFolder("outgoing") + "/honest.bin";
    WriteFile(path, body);
    ASSERT_TRUE(sender.SendFile("127.0.0.1", std::to_string(port), path));
    EXPECT_TRUE(sent.WaitFor("FinishedSending", 1, 20s));
    stop = true;
    trickling.join();
    EXPECT_TRUE(ReadFile(folder + "/honest.bin") == body);
    EXPECT_EQ(events.Count("IncomingFile"), size_t(SListener::kMaxPerAddress) + 1);
    for (int fd : tricklers) {
        close(fd);
    }
}

TEST_F(Receiving, APlainSendersSizeIsAdvisoryAFileThatGrewOrOfUnknownSizeIsKept) {
    Listen();
    for (const auto& [name, size] : {std::pair{"unknown.bin", 0}, std::pair{"grew.bin", 2}}) {
        EXPECT_FALSE(Deliver(wire::EncodeHeader(name, size) + "whole body")) << name;
        EXPECT_EQ(ReadFile(folder + "/" + name), "whole body");
        EXPECT_EQ(notes.Notes().back().what, "FileReceived");
    }
}

TEST_F(Receiving, ApprovedAddressesKeepPlacesOfTheirOwnAndSlowOrOldConnectionsMakeRoom) {
    listener.SetApproval([](uint32_t address) { return address == htonl(INADDR_LOOPBACK); });
    Listen();
    // Eight addresses take every common place with files that would never end.
    const auto start = std::chrono::steady_clock::now();
    std::vector<int> attack;
    for (int i = 0; i < SListener::kMaxConnections; ++i) {
        attack.push_back(ConnectFrom("127.0.0." + std::to_string(2 + i % 8), port));
        SendAll(attack.back(), wire::EncodeHeader("attack.bin", uint64_t(1) << 62) + "a");
    }
    ASSERT_TRUE(WaitUntil([&] { return listener.ActiveConnections() == 64; }));
    const int refused = ConnectFrom("127.0.0.10", port);
    EXPECT_TRUE(AnsweredWithReset(refused));
    close(refused);

    // The approved buddy's file comes through all the same.
    RecordingCallback sent;
    SSender sender;
    sender.SetCallback(&sent);
    const std::string body = RandomBytes(2000000, 11);
    const std::string path = TestPaths::NewFolder("outgoing") + "/honest.bin";
    WriteFile(path, body);
    ASSERT_TRUE(sender.SendFile("127.0.0.1", std::to_string(port), path));
    ASSERT_TRUE(sent.WaitFor("FinishedSending", 1, 20s));
    std::cout << "[ figure ] the approved file arrived "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count()
              << " ms after the attack began\n";
    EXPECT_TRUE(ReadFile(folder + "/honest.bin") == body);

    // Too slow: every trickler is reset, and each address is logged once.
    listener.SetMinimumRate(1024, 300ms);
    ASSERT_TRUE(WaitUntil([&] { return listener.ActiveConnections() == 0; }, 10s));
    for (int fd : attack) {
        EXPECT_TRUE(AnsweredWithReset(fd));
        close(fd);
    }
    // Logged by the listening thread, maybe just after the connections ended.
    const auto slow = [](int address) {
        return "Listener: 127.0.0." + std::to_string(address) + " too slow, connection reset\n";
    };
    ASSERT_TRUE(WaitUntil([&] {
        const std::string log = LogText();
        return Occurrences(log, slow(2)) > 0 && Occurrences(log, slow(9)) > 0;
    }));
    EXPECT_EQ(Occurrences(LogText(), slow(2)), 1u);
    EXPECT_EQ(Occurrences(LogText(), slow(9)), 1u);

    // Too old, however fast: one from an approved address too.
    listener.SetMinimumRate(0, 300ms);
    listener.SetLifetime(500ms);
    const int old = ConnectToLoopback(port);
    SendAll(old, wire::EncodeHeader("old.bin", 100000000));
    while (SendAll(old, std::string(65536, 'o'))) {
    }  // a send that fails has met the reset
    close(old);
    EXPECT_TRUE(WaitUntil([&] {
        return LogText().find("Listener: 127.0.0.1 connected too long, connection reset\n") !=
               std::string::npos;
    }));
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"honest.bin", "zingwelllog.txt"}));
    EXPECT_EQ(events.Count("FinishedSending"), 1u);
}

int ThreadCount() {
    return ProcessStatus::Of(getpid()).threads;
}

long ResidentKb() {
    return ProcessStatus::Of(getpid()).residentKb;
}

TEST_F(Receiving, BadConnectionsLeaveNoThreadOrMemoryBehind) {
    Listen();
    const int threads = ThreadCount();  // with the listening thread (and a sanitizer's)
    Deliver(Stream("warm.bin", RandomBytes(300000, 1)));  // the first connection's allocations
    ASSERT_TRUE(WaitUntil([&] { return ThreadCount() == threads; }));
    [[maybe_unused]] const long resident = ResidentKb();

    const std::string badHeader(wire::kPieceSize, 'x');
    const std::string cutBody = wire::EncodeHeader("cut.bin", 500000) + std::string(200000, 'c');
    const std::string halfHeader = wire::EncodeHeader("half.bin", 10).substr(0, 12);
    const std::string refused = Stream("../up.txt", "x");
    // In rounds no larger than the listening backlog, which would drop connections else.
    size_t ended = 1;
    for (int round = 0; round < 30; ++round) {
        std::vector<int> fds;
        for (int i = 0; i < 10; ++i) {
            const int fd = ConnectFrom("127.0.2." + std::to_string(i + 1), port);
            ASSERT_GE(fd, 0);
            switch ((round * 10 + i) % 5) {
                case 0:
                    SendAll(fd, badHeader);
                    break;
                case 1:
                    SendAll(fd, cutBody);
                    Reset(fd);
                    continue;
                case 2:
                    SendAll(fd, halfHeader);
                    break;
                case 3:
                    SendAll(fd, refused);
                    break;
                case 4:
                    SendAll(fd, cutBody);
                    break;
            }
            shutdown(fd, SHUT_WR);
            fds.push_back(fd);
        }
        ended += 10;
        ASSERT_TRUE(WaitUntil([&] {
            return events.Count("ReportError") + events.Count("FinishedSending") == ended;
        }));
        for (int fd : fds) {
            close(fd);
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threads; }, 5s))
        << ThreadCount() << " threads, " << threads << " before";
    EXPECT_EQ(listener.ActiveConnections(), 0);
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"warm.bin", "zingwelllog.txt"}));
#ifndef ZINGWELL_SANITIZED  // their allocators keep what is freed for a while
    EXPECT_LT(ResidentKb(), resident + 16 * 1024) << "kB resident, " << resident << " before";
#endif
}

TEST_F(Receiving, ConnectionsWithOneNameEachKeepTheirOwnFileInTheOrderTheyEnd) {
    Listen();
    int first = ConnectToLoopback(port);
    const std::string header = wire::EncodeHeader("same.bin", 3000);
    SendAll(first, header + std::string(1000, 'A'));
    ASSERT_TRUE(WaitUntil([&] {
        const auto all = events.Events();
        return !all.empty() && all.back().name == "ShowProgress" &&
               all.back().a == int64_t(header.size() + 1000);
    }));
    // The later one does not wait for the first.
    Deliver(Stream("same.bin", std::string(500, 'B')));
    EXPECT_EQ(ReadFile(folder + "/same.bin"), std::string(500, 'B'));
    SendAll(first, std::string(2000, 'A'));
    shutdown(first, SHUT_WR);
    ASSERT_TRUE(events.WaitFor("FinishedSending", 2));
    close(first);
    EXPECT_EQ(ReadFile(folder + "/same (2).bin"), std::string(3000, 'A'));
    EXPECT_EQ(ReadFile(folder + "/same.bin"), std::string(500, 'B'));

    // Eight ending at once race for one name: each wins a name of its own.
    std::vector<int> racing;
    for (int i = 0; i < 8; ++i) {
        racing.push_back(ConnectToLoopback(port));
        SendAll(racing.back(), Stream("race.txt", std::string(1, char('a' + i))));
    }
    for (int fd : racing) {
        shutdown(fd, SHUT_WR);
    }
    ASSERT_TRUE(events.WaitFor("FinishedSending", 10));
    std::string bodies;
    for (int i = 1; i <= 8; ++i) {
        bodies +=
            ReadFile(folder + (i == 1 ? "/race.txt" : "/race (" + std::to_string(i) + ").txt"));
    }
    std::sort(bodies.begin(), bodies.end());
    EXPECT_EQ(bodies, "abcdefgh");
    for (int fd : racing) {
        close(fd);
    }
    EXPECT_EQ(Listing(folder).size(), 11u);
}

TEST_F(Receiving, TemporariesLeftByAnEarlierRunAreRemovedAtStart) {
    const std::string prefix(received_name::kTemporaryPrefix);
    WriteFile(folder + "/" + prefix + "0000000000000001", "stale");
    // Another receiver on this folder is still writing this one.
    WriteFile(folder + "/" + prefix + "0000000000000002", "live");
    const int live = open((folder + "/" + prefix + "0000000000000002").c_str(), O_RDONLY);
    ASSERT_EQ(flock(live, LOCK_EX), 0);
    WriteFile(folder + "/.zingwell-incoming.tmp", "the user's");
    Listen();
    ASSERT_TRUE(
        WaitUntil([] { return LogText().find("Listening for client...\n") != std::string::npos; }));
    EXPECT_EQ(Listing(folder),
              (std::vector<std::string>{".zingwell-incoming.tmp", prefix + "0000000000000002",
                                        "zingwelllog.txt"}));
    close(live);
}

// Uses up every descriptor below a lowered limit; gives them back when it goes.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft() {
        getrlimit(RLIMIT_NOFILE, &limit_);
        rlimit tight = limit_;
        tight.rlim_cur = Listing("/proc/self/fd").size() + 16;
        setrlimit(RLIMIT_NOFILE, &tight);
        for (int filler; (filler = open("/dev/null", O_RDONLY)) >= 0;) {
            fillers_.push_back(filler);
        }
    }
    ~NoDescriptorsLeft() {
        for (int filler : fillers_) {
            close(filler);
        }
        setrlimit(RLIMIT_NOFILE, &limit_);
    }

private:
    rlimit limit_{};
    std::vector<int> fillers_;
};

TEST_F(Receiving, RunningOutOfDescriptorsDoesNotEndTheListening) {
#ifdef ZINGWELL_SANITIZED
    // Their checks open descriptors of their own (a pipe to probe memory), and fail without.
    GTEST_SKIP() << "the sanitizers cannot run their checks without descriptors";
#endif
    Listen();
    // One whole transfer first: the sanitizers' first type check of each call needs a
    // descriptor of its own, which will be missing below.
    Deliver(Stream("warm.txt", "w"));
    LogText();
    WriteLog("");  // the log is open from here on, so the failure can be written
    const int first = socket(AF_INET, SOCK_STREAM, 0);
    const int second = socket(AF_INET, SOCK_STREAM, 0);
    {
        // A blocked accept() may hold a descriptor already and take one connection; the
        // next accept() finds none.
        NoDescriptorsLeft none;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        for (int fd : {first, second}) {
            ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    for (int fd : {first, second}) {
        SendAll(fd, Stream(fd == first ? "first.txt" : "second.txt", "late"));
        shutdown(fd, SHUT_WR);
    }
    ASSERT_TRUE(events.WaitFor("FinishedSending", 3));
    EXPECT_EQ(ReadFile(folder + "/first.txt"), "late");
    EXPECT_EQ(ReadFile(folder + "/second.txt"), "late");
    EXPECT_NE(LogText().find("Listener: accept() failed\n"), std::string::npos);
    close(first);
    close(second);
}

TEST_F(Receiving, ASecondStartOnTheSamePortLogsTheBindFailure) {
    Listen();
    listener.Start(port);
    EXPECT_TRUE(
        WaitUntil([] { return LogText().find("Listener: bind() failed\n") != std::string::npos; }));
    // A number that is no port is refused at once, never cut down to 16 bits (70000: 4464).
    listener.Start(port + 65536);
    listener.Start(-1);
    EXPECT_NE(LogText().find("Listener: " + std::to_string(port + 65536) +
                             " is not a port number, not listening\n"),
              std::string::npos);
    EXPECT_NE(LogText().find("Listener: -1 is not a port number, not listening\n"),
              std::string::npos);
    Deliver(Stream("one.txt", "1"));  // the first goes on listening
    EXPECT_EQ(ReadFile(folder + "/one.txt"), "1");
}

TEST(SListener, DestructionResetsConnectionsInEveryStateWithoutFurtherEvents) {
    RecordingCallback events;
    auto listener = std::make_unique<SListener>();
    listener->SetCallback(&events);
    listener->Start(0);
    ASSERT_TRUE(WaitUntil([&] { return listener->BoundPort() != 0; }));
    const int port = listener->BoundPort();
    int silent = ConnectToLoopback(port);
    int midway = ConnectToLoopback(port);
    SendAll(midway, wire::EncodeHeader("midway.bin", 1000000) + "some");
    int other = ConnectToLoopback(port);
    SendAll(other, wire::EncodeHeader("midway.bin", 10) + "other");
    ASSERT_TRUE(events.WaitFor("IncomingFile", 3));
    ASSERT_TRUE(events.WaitFor("ShowProgress", 2));

    const size_t before = events.Events().size();
    listener.reset();  // joins every thread: a hang here fails the test by its time-out
    EXPECT_EQ(events.Events().size(), before);
    for (int fd : {silent, midway, other}) {
        EXPECT_TRUE(AnsweredWithReset(fd)) << "a clean end would say all is well";
        close(fd);
    }
    EXPECT_EQ(Listing(GetReceiveFolder()), std::vector<std::string>{"zingwelllog.txt"});
    SListener neverStarted;
}

}  // namespace

// Answers every file with `answer` after `delay`, counting the questions.
class ScriptedConsent : public ConsentAsker {
public:
    Answer Ask(const ConsentRequest& request) override {
        asked = request.address + " " + request.file + " " + std::to_string(request.size);
        std::this_thread::sleep_for(delay);
        return answer;
    }
    Answer answer = Answer::Decline;
    std::chrono::milliseconds delay{0};
    std::string asked;
};

TEST_F(Receiving, AFileWaitsUnreadForConsentAndOnlyAnAcceptedOneIsStored) {
    ScriptedConsent consent;
    listener.SetConsent(&consent);
    // The answer takes three rate windows in which nothing comes: a connection waiting for
    // one is spared (the body is in the socket by then, so reading it takes a moment only).
    listener.SetMinimumRate(10, std::chrono::milliseconds(500));
    Listen();
    const std::string body = RandomBytes(30000, 7);
    for (ConsentAsker::Answer answer : {ConsentAsker::Answer::Decline, ConsentAsker::Answer::Reset,
                                        ConsentAsker::Answer::Accept}) {
        SCOPED_TRACE(static_cast<int>(answer));
        consent.answer = answer;
        consent.delay =
            std::chrono::milliseconds(answer == ConsentAsker::Answer::Accept ? 1500 : 0);
        const bool accepted = answer == ConsentAsker::Answer::Accept;
        EXPECT_EQ(Deliver(Stream("asked.bin", body), accepted ? "FinishedSending" : "ReportError"),
                  !accepted);
        EXPECT_EQ(consent.asked, "127.0.0.1 asked.bin 30000");
        EXPECT_EQ(ReadFile(folder + "/asked.bin"), accepted ? body : "");
        std::vector<std::string> listing = Listing(folder);
        EXPECT_EQ(std::count_if(listing.begin(), listing.end(),
                                [](const std::string& name) {
                                    return name.find("asked") != std::string::npos;
                                }),
                  accepted ? 1 : 0);
    }
}
