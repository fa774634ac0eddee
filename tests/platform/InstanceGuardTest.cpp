#include "platform/InstanceGuard.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/HandOverMessage.h"
#include "platform/RuntimeFolder.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;

// What a running copy was handed, in order.
class Received {
public:
    std::function<void(std::vector<std::string>)> Handler() {
        return [this](std::vector<std::string> paths) {
            std::lock_guard<std::mutex> guard(mutex_);
            handOvers_.push_back(std::move(paths));
        };
    }
    std::vector<std::vector<std::string>> handOvers() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return handOvers_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<std::string>> handOvers_;
};

int ConnectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(InstanceGuard, TheFirstStartIsTheCopyAndALaterOneHandsItsFilesOver) {
    const std::string folder = TestPaths::NewFolder("runtime");
    InstanceGuard first(folder);
    ASSERT_EQ(first.TryClaim(), InstanceGuard::Claim::Ours);
    Received received;
    first.Serve(received.Handler());

    InstanceGuard later(folder);
    ASSERT_EQ(later.TryClaim(), InstanceGuard::Claim::Taken);
    // Paths are bytes: a name that is not UTF-8, and one with a line end, pass unchanged.
    const std::vector<std::string> files = {"/home/u/caf\xE9.txt", "/home/u/two\nlines",
                                            std::string(4095, '/')};
    EXPECT_TRUE(later.HandOver(files, 5s));
    EXPECT_TRUE(later.HandOver({}, 5s));  // no files: only the dog comes forward
    EXPECT_EQ(received.handOvers(), (std::vector<std::vector<std::string>>{files, {}}));

    // The folder holds only what is ours to keep private.
    struct stat info {};
    ASSERT_EQ(stat(first.SocketPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
}

TEST(InstanceGuard, AHandOverWaitsForACopyStillStartingAndGivesUpOnOneThatNeverAnswers) {
    const std::string folder = TestPaths::NewFolder("runtime");
    InstanceGuard first(folder);
    ASSERT_EQ(first.TryClaim(), InstanceGuard::Claim::Ours);
    Received received;
    std::atomic<bool> handedOver{false};
    std::thread later([&] {
        InstanceGuard guard(folder);
        EXPECT_EQ(guard.TryClaim(), InstanceGuard::Claim::Taken);
        handedOver = guard.HandOver({"/a"}, 20s);
    });
    std::this_thread::sleep_for(300ms);  // the first copy is still setting up its window
    EXPECT_FALSE(handedOver);
    first.Serve(received.Handler());
    later.join();
    EXPECT_TRUE(handedOver);
    EXPECT_EQ(received.handOvers().size(), 1u);

    // A copy that holds the lock but whose socket is gone (stuck, say): the later start gives
    // up when its patience ends, with false rather than waiting for ever.
    first.Stop();
    unlink(first.SocketPath().c_str());
    InstanceGuard stuck(folder);
    ASSERT_EQ(stuck.TryClaim(), InstanceGuard::Claim::Taken);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(stuck.HandOver({"/b"}, 500ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);

    // One that listens but never reads (hung while starting, or stopped), handed more than
    // its socket holds: the later start gives up all the same.
    std::optional<InstanceGuard> hung(std::in_place, TestPaths::NewFolder("runtime"));
    ASSERT_EQ(hung->TryClaim(), InstanceGuard::Claim::Ours);
    const std::vector<std::string> many(500, "/" + std::string(4000, 'x'));
    std::atomic<bool> gaveUp{false};
    std::thread waiting([&] {
        InstanceGuard guard(hung->LockPath().substr(0, hung->LockPath().rfind('/')));
        EXPECT_FALSE(guard.HandOver(many, 500ms));
        gaveUp = true;
    });
    WaitUntil([&] { return gaveUp.load(); }, 10s);
    EXPECT_TRUE(gaveUp);
    hung.reset();  // lets a send that would wait for ever fail, so the thread ends
    waiting.join();
}

TEST(InstanceGuard, ALockIsFreedByTheCopysEndAndNotKeptByProgramsItStarted) {
    const std::string folder = TestPaths::NewFolder("runtime");
    // A copy killed without a word leaves its socket behind; its lock goes with it.
    ASSERT_TRUE(ExitedWith(RunInChild([&] {
        InstanceGuard dying(folder);
        _exit(dying.TryClaim() == InstanceGuard::Claim::Ours ? 0 : 1);
    })));
    ASSERT_TRUE(FileExists(folder + "/zingwell.socket"));

    std::optional<InstanceGuard> copy(std::in_place, folder);
    ASSERT_EQ(copy->TryClaim(), InstanceGuard::Claim::Ours);
    // A program the copy opened for the user (a file browser, an editor) outlives it.
    ChildProcess opened;
    ASSERT_TRUE(opened.Start({"sleep", "30"}));
    copy.reset();
    InstanceGuard next(folder);
    EXPECT_EQ(next.TryClaim(), InstanceGuard::Claim::Ours);

    EXPECT_EQ(InstanceGuard("").TryClaim(), InstanceGuard::Claim::Unavailable);
}

TEST(InstanceGuard, GarbledSilentOrEndlessCallersAreDroppedAndTheNextIsServed) {
    const std::string folder = TestPaths::NewFolder("runtime");
    InstanceGuard copy(folder);
    ASSERT_EQ(copy.TryClaim(), InstanceGuard::Claim::Ours);
    Received received;
    copy.Serve(received.Handler());

    auto answer = [](int fd) {
        char byte = 0;
        const ssize_t got = recv(fd, &byte, 1, 0);
        close(fd);
        return got;
    };
    // Not our header; a relative path; a path without its end.
    for (const std::string& message :
         {std::string("GET / HTTP/1.0\r\n\r\n"), HandOverMessage::Encode({"relative"}),
          HandOverMessage::Encode({"/ok"}).substr(0, 19)}) {
        const int fd = ConnectTo(copy.SocketPath());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, message.data(), message.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(message.size()));
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(answer(fd), 0) << message;  // closed without an answer
    }
    // One that says nothing and never ends, and one that never stops talking.
    const int silent = ConnectTo(copy.SocketPath());
    const int endless = ConnectTo(copy.SocketPath());
    std::thread flood([endless] {
        const std::string header = "ZINGWELL-OPEN 1\n/";
        send(endless, header.data(), header.size(), MSG_NOSIGNAL);
        const std::string chunk(65536, 'x');
        while (send(endless, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    InstanceGuard later(folder);
    EXPECT_TRUE(later.HandOver({"/after"}, 20s));
    shutdown(endless, SHUT_RDWR);
    flood.join();
    close(endless);
    close(silent);
    EXPECT_EQ(received.handOvers(), (std::vector<std::vector<std::string>>{{"/after"}}));
}

TEST(InstanceGuard, IdleCallersDoNotHoldUpAStartThatHandsOverItsFilesAndItsToken) {
    const std::string folder = TestPaths::NewFolder("runtime");
    InstanceGuard copy(folder);
    ASSERT_EQ(copy.TryClaim(), InstanceGuard::Claim::Ours);
    std::mutex mutex;
    std::vector<HandOverMessage::Request> requests;
    copy.Serve([&](HandOverMessage::Request request) {
        std::lock_guard<std::mutex> guard(mutex);
        requests.push_back(std::move(request));
    });
    // Served one after the other, 40 callers that say nothing would keep a start waiting far
    // beyond its patience.
    std::vector<int> idle;
    for (int i = 0; i < 40; ++i) {
        idle.push_back(ConnectTo(copy.SocketPath()));
        ASSERT_GE(idle.back(), 0);
    }
    InstanceGuard later(folder);
    EXPECT_TRUE(later.HandOver({"/a"}, 5s, "zw-token_1.2"));
    EXPECT_TRUE(later.HandOver({}, 5s, "bad token"));  // not one to pass on: sent without
    for (int fd : idle) {
        close(fd);
    }
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(requests,
              (std::vector<HandOverMessage::Request>{{{"/a"}, "zw-token_1.2"}, {{}, ""}}));
}

TEST(HandOverMessage, TakesOnlyWellFormedAbsolutePaths) {
    EXPECT_EQ(HandOverMessage::Decode(HandOverMessage::Encode({"/a b", "/\xFF"})),
              (std::vector<std::string>{"/a b", "/\xFF"}));
    EXPECT_EQ(HandOverMessage::Decode("ZINGWELL-OPEN 1\n"), std::vector<std::string>{});
    const std::string header = "ZINGWELL-OPEN 1\n";
    for (const std::string& bad :
         {std::string(""), std::string("ZINGWELL-OPEN 2\n/a", 19), header + "/a",
          header + std::string("\0", 1), header + std::string("a\0", 2),
          header + std::string("/a\0\0", 4), header + "/" + std::string(4095, 'x') + '\0'}) {
        EXPECT_FALSE(HandOverMessage::Decode(bad)) << bad;
        EXPECT_FALSE(HandOverMessage::DecodeRequest(bad)) << bad;
    }
    // The token's form is what the plain one was, plus the token; a copy that knows only the
    // plain form refuses it whole.
    const std::string withToken = HandOverMessage::Encode({"/a"}, "t0k3n");
    EXPECT_EQ(withToken, std::string("ZINGWELL-OPEN 2\nt0k3n\n/a\0", 25));
    EXPECT_FALSE(HandOverMessage::Decode(withToken));
    EXPECT_EQ(HandOverMessage::DecodeRequest(withToken),
              (HandOverMessage::Request{{"/a"}, "t0k3n"}));
    for (const std::string& bad :
         {std::string("ZINGWELL-OPEN 2\n\n"), std::string("ZINGWELL-OPEN 2\nt k\n"),
          std::string("ZINGWELL-OPEN 2\nt\na", 19)}) {
        EXPECT_FALSE(HandOverMessage::DecodeRequest(bad)) << bad;
    }
}

TEST(RuntimeFolder, OnlyAPrivateFolderOfOursIsTrusted) {
    const std::string mine = TestPaths::NewFolder("private");
    chmod(mine.c_str(), 0700);
    EXPECT_TRUE(IsPrivateFolder(mine));
    const std::string open = TestPaths::NewFolder("open");
    chmod(open.c_str(), 0755);
    EXPECT_FALSE(IsPrivateFolder(open));
    const std::string link = TestPaths::Root() + "/link-to-private";
    ASSERT_EQ(symlink(mine.c_str(), link.c_str()), 0);
    EXPECT_FALSE(IsPrivateFolder(link));

    setenv("XDG_RUNTIME_DIR", mine.c_str(), 1);
    EXPECT_EQ(RuntimeFolder(), mine);

    // Without one, the folder is made in the user's own cache, never in /tmp, where another
    // user may have taken the old name first (planted here as a link, if the name is free).
    const std::string planted = "/tmp/zingwell-" + std::to_string(getuid()) + ".run";
    const bool plant = symlink(open.c_str(), planted.c_str()) == 0;
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_CACHE_HOME");
    const std::string cached = std::string(getenv("HOME")) + "/.cache/zingwell/run";
    EXPECT_EQ(RuntimeFolder(), cached);
    EXPECT_TRUE(IsPrivateFolder(cached));
    chmod(cached.c_str(), 0755);  // an old umask: closed again
    EXPECT_EQ(RuntimeFolder(), cached);
    EXPECT_TRUE(IsPrivateFolder(cached));
    setenv("XDG_CACHE_HOME", open.c_str(), 1);
    EXPECT_EQ(RuntimeFolder(), open + "/zingwell/run");
    EXPECT_EQ(InstanceGuard(RuntimeFolder()).TryClaim(), InstanceGuard::Claim::Ours);
    if (plant) {
        unlink(planted.c_str());
    }
}

}  // namespace
