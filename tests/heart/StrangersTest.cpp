// The drop window's heart with the real workers and the default policy ("ask") against real
// strangers: a sender that knows only the plain format, and a flood of connections from many
// addresses. (A forged announce: tests/discovery/TwoCopiesTest.)
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/ActivityLog.h"
#include "core/ReceiveFolder.h"
#include "heart/FakeWorkers.h"
#include "heart/MainDialog.h"
#include "heart/RealWorkerFactory.h"
#include "heart/TrustedBuddies.h"
#include "secure/TrustStore.h"
#include "settings/LiveSettings.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/ProcessStatus.h"
#include "support/Skip.h"
#include "support/TestPaths.h"
#include "transfer/WireFormat.h"

namespace {

using Text = LiveSettingsStore::Text;
using Choice = ConsentQuestion::Choice;
using namespace std::chrono_literals;

const std::vector<std::string> kPlainCopy = {
    "/usr/bin/python3", ZINGWELL_SOURCE_DIR "/tests/transfer/tools/plain_copy.py"};

// Answers the questions from a script; Unanswered waits out the question's deadline.
class ScriptedView : public RecordingView {
public:
    Choice AskConsent(const ConsentQuestion& question) override {
        Choice choice = Choice::Unanswered;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            questions.push_back(question.computer + " " + question.file);
            if (!script.empty()) {
                choice = script.front();
                script.pop_front();
            }
        }
        if (choice == Choice::Unanswered) {
            std::this_thread::sleep_until(question.deadline);
        }
        return choice;
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(mutex_);
        return questions.size();
    }
    std::deque<Choice> script;
    std::vector<std::string> questions;
    std::mutex mutex_;
};

// Receives in manual mode on 6677.
void ReceiverSettings() {
    LiveSettings.manual = 1;
    LiveSettings.auto_ = 0;
    LiveSettings.server = 1;
    LiveSettings.Set(Text::serverport, "6677");
}

// A plain-format sender as a separate process: its exit status (0: the receiver took it all).
int PlainSend(const std::string& source, const std::string& path) {
    ChildProcess sender;
    std::vector<std::string> argv = kPlainCopy;
    argv.insert(argv.end(), {"send", source, "6677", path});
    if (!sender.Start(argv)) {
        return -1;
    }
    const int status = sender.Wait();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Listens(int port) {
    return WaitUntil([port] {
        const int fd = ConnectToLoopback(port);
        if (fd >= 0) {
            close(fd);
        }
        return fd >= 0;
    });
}

// The receive folder without our own files: what strangers managed to leave there.
std::vector<std::string> Arrived(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("zingwelllog", 0) != 0 && name != "Files2Send.txt") {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Strangers : public testing::Test {
protected:
    void SetUp() override { ZW_ENTER_OWN_NETWORK(); }
};

// Nothing of a stranger's is stored until its user accepts: not after Decline, not when the
// question goes unanswered, not once the computer is blocked (then nobody is asked); the
// plain sender sees its send fail each time.
TEST_F(Strangers, AFileIsStoredOnlyOnceAcceptedAndASenderRefusedSeesItsSendEnd) {
    ASSERT_EQ(LiveSettings.Get(Text::strangers), "ask");  // the default
    ReceiverSettings();
    TrustStore store(TestPaths::NewFolder("trust"));
    TrustedBuddies trust(store);
    ScriptedView view;
    RealWorkerFactory workers;
    workers.SetSecure(nullptr, "Anna", &trust);
    MainDialog heart(view, workers);
    heart.SetConsentTimes(300ms, 0ms);  // each file its own question
    heart.Initialize();
    ASSERT_TRUE(Listens(6677));
    const std::string files = TestPaths::NewFolder("stranger-files");

    struct Case {
        Choice answer;
        bool asked;
        bool stored;
    };
    const Case cases[] = {{Choice::Decline, true, false},
                          {Choice::Unanswered, true, false},
                          {Choice::Accept, true, true},
                          {Choice::Never, true, false},
                          {Choice::Accept, false, false}};  // blocked: reset unasked
    size_t asked = 0;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const std::string name = "offer-" + std::to_string(i) + ".bin";
        const std::string body = RandomBytes(20000, static_cast<int>(i) + 1);
        WriteFile(files + "/" + name, body);
        {
            std::lock_guard<std::mutex> guard(view.mutex_);
            view.script = {cases[i].answer};
        }
        EXPECT_EQ(PlainSend("127.0.0.1", files + "/" + name) == 0, cases[i].stored);
        asked += cases[i].asked ? 1 : 0;
        EXPECT_EQ(view.Count(), asked);
        EXPECT_EQ(ReadFile(GetReceiveFolder() + "/" + name), cases[i].stored ? body : "");
    }
    EXPECT_EQ(view.questions.front(), "127.0.0.1 offer-0.bin");
    EXPECT_EQ(Arrived(GetReceiveFolder()), (std::vector<std::string>{"offer-2.bin"}));
    std::string error;
    ASSERT_TRUE(store.Reload(error)) << error;
    const std::optional<TrustEntry> blocked = store.Find(TrustEntry::KeyForAddress("127.0.0.1"));
    ASSERT_TRUE(blocked);
    EXPECT_EQ(blocked->state, TrustEntry::State::Blocked);
    EXPECT_NE(LogText().find("no answer on offer-1.bin from 127.0.0.1 in time, declined"),
              std::string::npos);
}

// The receiver in a process of its own: questions are logged and left unanswered for 3 s (a
// user away); known computers from the trust folder.
[[noreturn]] void RunHeldReceiver(const std::string& home, const std::string& trustFolder) {
    setenv("HOME", home.c_str(), 1);
    ReceiverSettings();
    class HoldingView : public RecordingView {
    public:
        Choice AskConsent(const ConsentQuestion& question) override {
            WriteLog("Question: " + question.computer + "\n");
            std::this_thread::sleep_until(question.deadline);
            return Choice::Unanswered;
        }
    };
    TrustStore store(trustFolder);
    TrustedBuddies trust(store);
    HoldingView view;
    RealWorkerFactory workers;
    workers.SetSecure(nullptr, "Bob", &trust);
    MainDialog heart(view, workers);
    heart.SetConsentTimes(3s, 10s);
    heart.Initialize();
    for (;;) {
        pause();
    }
}

// A file as an honest buddy sends it; true once the receiver confirmed it.
bool Deliver(const std::string& source, const std::string& name, const std::string& body) {
    const int fd = ConnectFrom(source, 6677);
    if (fd < 0) {
        return false;
    }
    bool confirmed =
        SendAll(fd, wire::EncodeHeader(name, body.size()) + body) && shutdown(fd, SHUT_WR) == 0;
    char byte;
    confirmed = confirmed && recv(fd, &byte, 1, 0) == 0;
    close(fd);
    return confirmed;
}

// 1,000 connections from 50 addresses, each a header then silence, then a reset: at most
// the few questions the desk allows, nothing stored, threads and memory back near where they
// were, and an "always" computer's file still arrives in the middle of it.
TEST_F(Strangers, AFloodFromManyAddressesRaisesAFewQuestionsAndAKnownComputerStillGetsIn) {
    const std::string home = TestPaths::NewFolder("flooded");
    const std::string trustFolder = home + "/trust";
    mkdir(trustFolder.c_str(), 0700);
    WriteFile(trustFolder + "/computers",
              "ZINGWELL-COMPUTERS 1\na:127.0.4.1\tallowed\t127.0.4.1\t\n");
    chmod((trustFolder + "/computers").c_str(), 0600);
    ChildProcess receiver;
    ASSERT_TRUE(receiver.Fork([&] { RunHeldReceiver(home, trustFolder); }));
    ASSERT_TRUE(Listens(6677));
    ASSERT_TRUE(Deliver("127.0.4.1", "warm.bin", RandomBytes(300000, 1)));
    std::this_thread::sleep_for(1s);
    const ProcessStatus before = ProcessStatus::Of(receiver.pid());

    const std::string header = wire::EncodeHeader("flood.bin", 1 << 20) + std::string(100, 'f');
    const std::string honest = RandomBytes(500000, 2);
    for (int round = 0; round < 10; ++round) {
        std::vector<int> fds;
        for (int i = 0; i < 100; ++i) {
            const int fd = ConnectFrom("127.0.3." + std::to_string(i % 50 + 1), 6677);
            if (fd >= 0) {
                SendAll(fd, header);  // a connection turned away fails here: as it may
                fds.push_back(fd);
            }
        }
        if (round == 5) {
            EXPECT_TRUE(Deliver("127.0.4.1", "honest.bin", honest));
        }
        std::this_thread::sleep_for(100ms);
        for (int fd : fds) {
            CloseWithReset(fd);
        }
    }
    // Files that joined an open question wait with it; once its time is over, all go.
    std::this_thread::sleep_for(5s);
    const ProcessStatus after = ProcessStatus::Of(receiver.pid());
    const std::string log = ReadFile(home + "/Zingwell/zingwelllog.txt");
    printf("flood: before %d threads %ld kB; after %d threads %ld kB; %zu questions\n",
           before.threads, before.residentKb, after.threads, after.residentKb,
           Occurrences(log, "Question: "));

    EXPECT_GE(Occurrences(log, "Question: "), 1u);
    // At most 4 open at once, each for 3 s, over a flood of a few seconds.
    EXPECT_LE(Occurrences(log, "Question: "), 12u);
    EXPECT_NE(log.find("too many questions open"), std::string::npos);
    EXPECT_TRUE(ReadFile(home + "/Zingwell/honest.bin") == honest);
    EXPECT_EQ(Arrived(home + "/Zingwell"), (std::vector<std::string>{"honest.bin", "warm.bin"}));
    EXPECT_LE(after.threads, before.threads);
#ifndef ZINGWELL_SANITIZED
    EXPECT_LT(after.residentKb, before.residentKb + 16 * 1024);
#endif
}

}  // namespace
