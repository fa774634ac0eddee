#include "heart/MainDialog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <thread>

#include "core/ActivityLog.h"
#include "core/EventCodes.h"
#include "core/ReceiveFolder.h"
#include "heart/FakeWorkers.h"
#include "heart/RetrySchedule.h"
#include "heart/TrustedBuddies.h"
#include "secure/TrustFile.h"
#include "secure/TrustStore.h"
#include "settings/LiveSettings.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

using Text = LiveSettingsStore::Text;
using Calls = std::vector<std::string>;
using namespace std::chrono_literals;

enum class Mode { Manual, Auto, Ftp, None };

class MainDialogTest : public testing::Test {
protected:
    void SetMode(Mode mode, bool server = true) {
        LiveSettings.manual = mode == Mode::Manual;
        LiveSettings.auto_ = mode == Mode::Auto;
        LiveSettings.useftp = mode == Mode::Ftp;
        LiveSettings.server = server;
        LiveSettings.SetBuddy("10.0.0.7", "6677");
        LiveSettings.Set(Text::serverport, "7001");
        LiveSettings.Set(Text::ftpip, "ftp.example");
        LiveSettings.Set(Text::user, "u");
        LiveSettings.Set(Text::pass, "p");
        LiveSettings.Set(Text::target, "/in");
        // Both ways with anyone, as before the question; the tests of asking say "ask".
        LiveSettings.Set(Text::strangers, "accept");
    }
    // Builds and initialises the drop window's heart, as the main frame does, with the
    // settings as they are; a short retry pause where one is given.
    MainDialog& Open(std::optional<RetrySchedule> retry = std::nullopt) {
        dialog = std::make_unique<MainDialog>(view, workers);
        dialog->SetIconMaker(&icons);
        if (retry) {
            dialog->SetRetrySchedule(*retry);
        }
        dialog->Initialize();
        return *dialog;
    }
    MainDialog& Open(Mode mode, bool server = true) {
        SetMode(mode, server);
        return Open();
    }
    // Waits until the sender has been handed `count` entries in all.
    bool SentCount(size_t count) {
        return WaitUntil([&] { return workers.sender->Sent().size() == count; });
    }
    static std::string Buddy() {
        std::string address, port;
        LiveSettings.GetBuddy(address, port);
        return address + ":" + port;
    }
    std::string QueueFile() { return ReadFile(GetReceiveFolder() + "/Files2Send.txt"); }

    RecordingView view;
    RecordingIconMaker icons;
    FakeWorkerFactory workers;
    std::unique_ptr<MainDialog> dialog;
};

TEST_F(MainDialogTest, ThreeFilesInABuddyModeGoOutOneAfterAnother) {
    MainDialog& heart = Open(Mode::Manual);
    heart.OnDropFiles({"/d/a", "/d/b", "/d/c"});
    EXPECT_EQ(view.Calls(), (Calls{"bark", "bar shown", "pos 100", "activate"}));
    EXPECT_EQ(QueueFile(), "/d/a\r\n/d/b\r\n/d/c\r\n");
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /d/a"}));

    workers.sender->Finish();
    EXPECT_EQ(workers.sender->Sent().back(), "10.0.0.7 6677 /d/b");
    EXPECT_TRUE(view.barVisible());
    workers.sender->Finish();
    workers.sender->Finish();
    EXPECT_EQ(workers.sender->Sent().size(), 3u);
    EXPECT_EQ(workers.sender->Sent().back(), "10.0.0.7 6677 /d/c");
    EXPECT_FALSE(view.barVisible());
    EXPECT_EQ(heart.queue().Count(), 0u);
    EXPECT_EQ(QueueFile(), "");
    EXPECT_EQ(icons.Last(), resource::kIconGreen);
}

TEST_F(MainDialogTest, InFtpModeOnlyTheHeadGoesAndTheRestWaitForTheNextDrop) {
    MainDialog& heart = Open(Mode::Ftp);
    heart.OnDropFiles({"/d/a", "/d/b", "/d/c"});
    EXPECT_EQ(workers.uploader->calls,
              (Calls{"configure ftp.example u p /in", "add /d/a", "start"}));
    EXPECT_TRUE(workers.sender->Sent().empty());

    workers.uploader->Finish();
    EXPECT_EQ(heart.queue().Count(), 2u);
    EXPECT_EQ(workers.uploader->calls.size(), 3u);  // nothing more dispatched
    EXPECT_EQ(icons.Last(), resource::kIconDog);
    EXPECT_TRUE(view.barVisible());

    heart.OnDropFiles({"/d/d"});
    EXPECT_EQ(workers.uploader->calls.back(), "start");
    EXPECT_EQ(workers.uploader->calls[workers.uploader->calls.size() - 2], "add /d/b");
}

TEST_F(MainDialogTest, ADropDuringARunningTransferDoesNotSendTheHeadTwice) {
    MainDialog& heart = Open(Mode::Manual);
    heart.OnDropFiles({"/d/a"});
    heart.OnDropFiles({"/d/b"});
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 200; ++j)
                heart.SendNext();
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /d/a"}));
    workers.sender->Finish();
    EXPECT_EQ(workers.sender->Sent().back(), "10.0.0.7 6677 /d/b");

    // The same holds for FTP: a drop during a job neither adds the head again nor starts.
    SetMode(Mode::Ftp);
    workers.sender->Finish();
    heart.OnDropFiles({"/d/c"});
    heart.OnDropFiles({"/d/e"});
    EXPECT_EQ(workers.uploader->calls, (Calls{"configure ftp.example u p /in", "add /d/c", "start",
                                              "configure ftp.example u p /in"}));
}

TEST_F(MainDialogTest, ADropAsTheSenderEndsDoesNotSendTheFinishedEntryAgain) {
    MainDialog& heart = Open(Mode::Manual);
    heart.OnDropFiles({"/d/a", "/d/b"});
    // The sender is idle already, its FinishedSending not yet arrived: a drop right then.
    workers.sender->betweenIdleAndEvent = [&] { heart.OnDropFiles({"/d/c"}); };
    workers.sender->Finish();
    workers.sender->betweenIdleAndEvent = nullptr;
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /d/a", "10.0.0.7 6677 /d/b"}));
    EXPECT_EQ(QueueFile(), "/d/b\r\n/d/c\r\n");

    // The same moment before a failed connection or a failed send leaves the entry queued.
    workers.sender->betweenIdleAndEvent = [&] { heart.SendNext(); };
    workers.sender->FailToConnect();
    EXPECT_EQ(workers.sender->Sent().size(), 2u);
    heart.SendNext();
    EXPECT_EQ(workers.sender->Sent().back(), "10.0.0.7 6677 /d/b");
    workers.sender->FailToOpen();
    EXPECT_EQ(workers.sender->Sent().size(), 3u);
    EXPECT_EQ(QueueFile(), "/d/c\r\n");
}

TEST_F(MainDialogTest, ADropWhileAnUnreadableFileIsTakenOffTakesOffNothingElse) {
    MainDialog& heart = Open(Mode::Manual);
    heart.OnDropFiles({"/d/missing", "/d/next"});
    // The failure is being dealt with on the sender's thread (the bar is being cleared, the
    // entry not yet taken off) when a drop comes on another.
    bool armed = true;
    view.afterCall = [&](const std::string& call) {
        if (armed && call == "pos 0") {
            armed = false;
            heart.OnDropFiles({"/d/late"});
        }
    };
    workers.sender->FailToOpen();
    view.afterCall = nullptr;
    ASSERT_FALSE(armed);
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /d/missing"}));
    EXPECT_EQ(QueueFile(), "/d/next\r\n/d/late\r\n");
    heart.SendNext();
    workers.sender->Finish();
    workers.sender->Finish();
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /d/missing", "10.0.0.7 6677 /d/next",
                                             "10.0.0.7 6677 /d/late"}));
    EXPECT_EQ(QueueFile(), "");
}

TEST_F(MainDialogTest, EntriesFromAnEarlierRunWaitForTheFirstDropOrBuddy) {
    WriteFile(GetReceiveFolder() + "/Files2Send.txt", "/old/1\r\n/old/2\r\n");
    MainDialog& heart = Open(Mode::Manual);
    EXPECT_TRUE(workers.sender->Sent().empty());
    heart.OnDropFiles({"/new"});
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /old/1"}));
}

TEST_F(MainDialogTest, AnEarlierRunsEntryGoesToTheFirstBuddyFound) {
    WriteFile(GetReceiveFolder() + "/Files2Send.txt", "/old/1\n");
    SetMode(Mode::Auto);
    LiveSettings.SetBuddy("", "");
    Open();
    const std::string storedBefore = ReadFile(TestPaths::UserRegistry());
    workers.discoveryCallback->FoundBuddy("10.1.1.1", "7777");
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.1.1.1 7777 /old/1"}));
    EXPECT_EQ(Buddy(), "10.1.1.1:7777");
    EXPECT_EQ(ReadFile(TestPaths::UserRegistry()), storedBefore);  // memory only
    EXPECT_NE(LogText().find("Found buddy at address: 10.1.1.1; port: 7777\n"), std::string::npos);
}

TEST_F(MainDialogTest, FoundBuddyOutsideAutomaticModeOrWithoutAddressOnlyStopsTheTimer) {
    Open(Mode::Manual).OnDropFiles({"/d/a"});
    view.StartBeaconTimer();
    dialog->FoundBuddy(nullptr, nullptr);  // as the FTP job after its logon attempt
    EXPECT_FALSE(view.timerRunning());
    EXPECT_EQ(workers.discovery->beacons, (Calls{"b 7001"}));  // answered once
    dialog->FoundBuddy("10.9.9.9", "1");
    EXPECT_EQ(Buddy(), "10.0.0.7:6677");
    EXPECT_EQ(workers.sender->Sent().size(), 1u);
    EXPECT_EQ(LogText().find("Found buddy"), std::string::npos);
    EXPECT_EQ(icons.Last(), resource::kIconGreen);
    EXPECT_TRUE(view.Messages().empty());
}

TEST_F(MainDialogTest, TheBeaconTimerAnswersOnceAndRestartsWhenTheBuddyLeaves) {
    Open(Mode::Auto, false);
    EXPECT_EQ(workers.receiver->ports, (std::vector<int>{6677}));
    EXPECT_EQ(workers.discovery->receiverStarts, 1);
    EXPECT_EQ(workers.discovery->beacons, (Calls{"b 6677"}));
    EXPECT_TRUE(view.timerRunning());

    workers.discoveryCallback->FoundBuddy("10.1.1.1", "7777");
    EXPECT_FALSE(view.timerRunning());
    EXPECT_EQ(workers.discovery->beacons, (Calls{"b 6677", "b 6677"}));  // one answer
    workers.discoveryCallback->FoundBuddy("10.1.1.1", "7777");
    EXPECT_EQ(workers.discovery->beacons.size(), 2u);  // no answer to the answer

    workers.discoveryCallback->LostBuddy(false);
    EXPECT_TRUE(view.timerRunning());
    EXPECT_FALSE(view.barVisible());
    EXPECT_EQ(icons.Last(), resource::kIconDog);
    dialog->LostBuddy(true);
    EXPECT_EQ(icons.Last(), resource::kIconRed);

    // The tick announces us only while no buddy is known, and only in automatic mode.
    dialog->OnTimer();
    EXPECT_EQ(workers.discovery->beacons.size(), 3u);
    workers.discovery->known = true;
    dialog->OnTimer();
    EXPECT_EQ(workers.discovery->beacons.size(), 3u);

    dialog->PrepareShutdown();
    EXPECT_EQ(workers.discovery->beacons.back(), "leave");
    EXPECT_NE(LogText().find("Shutting down\n"), std::string::npos);
}

TEST_F(MainDialogTest, AKnownBuddyStillAnswersACopyThatRestarted) {
    Open(Mode::Auto, false);
    workers.discoveryCallback->FoundBuddy("10.1.1.1", "7777");  // met: timer stopped, answered
    ASSERT_FALSE(view.timerRunning());
    ASSERT_EQ(workers.discovery->beacons.size(), 2u);
    // A copy we have not answered lately (a restart after a crash says no goodbye) is
    // answered although the timer is stopped, once; its answer to that draws nothing.
    workers.discoveryCallback->FoundBuddy("10.1.1.2", "7777");
    EXPECT_EQ(workers.discovery->beacons.size(), 3u);
    workers.discoveryCallback->FoundBuddy("10.1.1.2", "7777");
    workers.discoveryCallback->FoundBuddy("10.1.1.1", "7777");
    EXPECT_EQ(workers.discovery->beacons.size(), 3u);
    EXPECT_FALSE(view.timerRunning());
}

class FixedPairing : public PairedBuddySource {
public:
    explicit FixedPairing(PairedBuddy buddy) : buddy_(std::move(buddy)) {}
    std::optional<PairedBuddy> Paired() const override { return buddy_; }

private:
    PairedBuddy buddy_;
};

TEST_F(MainDialogTest, OncePairedStrangersDatagramsAreRefusedAndOurOfferFollowsTheSettings) {
    const std::string key = "0123456789abcdef";
    const Capability buddyOffer{true, key, "buddy"};
    SetMode(Mode::Auto, false);
    LiveSettings.Set(Text::computername, "Anna's PC");
    LiveSettings.advertisesecure = 1;
    FixedPairing pairing(PairedBuddy{"hash", key, "10.1.1.1"});
    dialog = std::make_unique<MainDialog>(view, workers);
    dialog->SetPairedBuddySource(&pairing);
    dialog->SetOwnKeyId("00112233aabbccdd");
    dialog->Initialize();
    EXPECT_EQ(workers.discovery->capability,
              std::optional(Capability{true, "00112233aabbccdd", "Anna's PC"}));
    BeaconNotes& notes = *workers.discovery->notes;
    EXPECT_FALSE(notes.Announced("10.1.1.9", "10.1.1.1", "7777", buddyOffer));  // replayed
    EXPECT_FALSE(notes.Announced("10.1.1.9", "10.1.1.9", "7777", std::nullopt));
    EXPECT_TRUE(notes.Announced("10.1.1.1", "10.1.1.1", "7777", buddyOffer));
    workers.discoveryCallback->FoundBuddy("10.1.1.1", "7777");
    EXPECT_FALSE(notes.Left("10.1.1.9", "10.1.1.1"));
    EXPECT_TRUE(notes.Left("10.1.1.1", "10.1.1.1"));
    const std::string log = LogText();
    EXPECT_EQ(Occurrences(log, "Ignored an announce from 10.1.1.9: not the paired buddy\n"), 1u);
    EXPECT_EQ(Occurrences(log, "Ignored a leave from 10.1.1.9: not the paired buddy\n"), 1u);
    // What each source offered last, for the sender's choice.
    std::string offered;
    EXPECT_TRUE(dialog->OffersTls("10.1.1.1", &offered));
    EXPECT_EQ(offered, key);
    EXPECT_FALSE(dialog->OffersTls("10.1.1.9", &offered));

    // At OK the offer follows the settings, and the others learn of it at once.
    const size_t sent = workers.discovery->beacons.size();
    LiveSettings.advertisesecure = 0;
    dialog->ApplySettings();
    EXPECT_FALSE(workers.discovery->capability);
    EXPECT_EQ(workers.discovery->beacons.size(), sent + 1);
}

TEST_F(MainDialogTest, TheFoundBuddyStaysInForceWhateverTheSettingsStore) {
    SetMode(Mode::Auto, false);
    LiveSettings.SetBuddy("10.0.0.7", "6677");  // a manual address stored earlier
    Open();
    dialog->OnDropFiles({"/d/a"});  // no buddy heard yet: the stored address
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /d/a"}));
    workers.sender->Finish();

    workers.discoveryCallback->FoundBuddy("10.1.1.1", "7777");
    // The settings dialog's OK puts the manual address back into the settings in force.
    LiveSettings.SetBuddy("10.0.0.7", "6677");
    dialog->OnDropFiles({"/d/b"});
    EXPECT_EQ(workers.sender->Sent().back(), "10.1.1.1 7777 /d/b");

    // Outside automatic mode the settings decide again.
    SetMode(Mode::Manual);
    workers.sender->Finish();
    dialog->OnDropFiles({"/d/c"});
    EXPECT_EQ(workers.sender->Sent().back(), "10.0.0.7 6677 /d/c");
}

TEST_F(MainDialogTest, AFailedConnectionIsShownAsAFailureAndKeepsTheFile) {
    Open(Mode::Manual).OnDropFiles({"/d/a", "/d/b"});
    view.Clear();
    workers.sender->FailToConnect();
    EXPECT_EQ(icons.Last(), resource::kIconRed);
    EXPECT_FALSE(view.barVisible());
    EXPECT_EQ(view.Positions(), (std::vector<int>{0}));
    EXPECT_EQ(view.Notes(), (Calls{"Send failed: a to 10.0.0.7: it waits in the queue"}));
    EXPECT_EQ(view.Messages(), (Calls{"Could not connect to your buddy at 10.0.0.7, port 6677. "
                                      "The files wait in the queue and go with your next drop."}));
    EXPECT_EQ(QueueFile(), "/d/a\r\n/d/b\r\n");
    EXPECT_EQ(workers.sender->Sent().size(), 1u);  // nothing more tried until the next drop

    // In automatic mode the buddy may come back by itself; the beacon timer is no business of
    // a failed connection.
    SetMode(Mode::Auto);
    workers.discoveryCallback->FoundBuddy("10.1.1.1", "7777");
    view.StartBeaconTimer();
    view.Clear();
    workers.sender->FailToConnect();
    EXPECT_TRUE(view.timerRunning());
    EXPECT_EQ(
        view.Messages(),
        (Calls{"Could not connect to your buddy at 10.1.1.1, port 7777. The files wait in the "
               "queue and go when your buddy is heard again, or with your next drop."}));
    workers.discoveryCallback->FoundBuddy("10.1.1.1", "7777");  // heard again: sent again
    EXPECT_EQ(workers.sender->Sent().back(), "10.1.1.1 7777 /d/a");
}

TEST_F(MainDialogTest, WithoutABuddyNothingIsTriedAndNoFullBarStays) {
    // Manual mode on a first run: the user is asked for an address instead.
    SetMode(Mode::Manual);
    LiveSettings.SetBuddy("255.255.255.255", "6677");
    Open();
    dialog->OnDropFiles({"/d/a"});
    EXPECT_TRUE(workers.sender->Sent().empty());
    EXPECT_EQ(view.Calls(),
              (Calls{"bark", "bar shown", "pos 100", "activate", "pos 0", "bar hidden",
                     "message No buddy is set. Enter your buddy's address in Settings; the files "
                     "wait in the queue.",
                     "open settings"}));
    EXPECT_EQ(icons.Last(), resource::kIconRed);
    LiveSettings.SetBuddy("", "6677");
    dialog->OnDropFiles({"/d/b"});
    EXPECT_EQ(view.Messages().size(), 2u);
    EXPECT_EQ(QueueFile(), "/d/a\r\n/d/b\r\n");

    // Automatic mode before any buddy was heard: the files wait quietly.
    SetMode(Mode::Auto);
    LiveSettings.SetBuddy("255.255.255.255", "6677");
    view.Clear();
    dialog->OnDropFiles({"/d/c"});
    EXPECT_TRUE(workers.sender->Sent().empty());
    EXPECT_TRUE(view.Messages().empty());
    EXPECT_FALSE(view.barVisible());
    EXPECT_NE(LogText().find("No buddy found yet; the files wait in the queue\n"),
              std::string::npos);

    // No mode at all, and a file that cannot be read: nothing goes out, no bar stays.
    SetMode(Mode::None);
    dialog->OnDropFiles({"/d/d"});
    EXPECT_FALSE(view.barVisible());
    SetMode(Mode::Manual);
    dialog->OnDropFiles({"/d/e"});
    EXPECT_TRUE(view.barVisible());
    workers.sender->FailToOpen();
    EXPECT_FALSE(view.barVisible());
    EXPECT_EQ(view.Positions().back(), 0);
}

TEST_F(MainDialogTest, OneBoxPerErrorAtATimeAndTheOtherWorkersGoOn) {
    Open(Mode::Manual);
    view.HoldMessages();
    std::thread first([&] { dialog->ReportError(error_code::kReceiveFailed); });
    ASSERT_TRUE(view.WaitForOpenMessages(1));
    std::vector<std::thread> more;
    for (int i = 0; i < 20; ++i) {
        more.emplace_back([&] { dialog->ReportError(error_code::kReceiveFailed); });
    }
    for (auto& thread : more) {
        thread.join();  // none waits for the box that is open
    }
    // Another code, and a failed connection, each get a box of their own.
    std::thread other([&] { dialog->ReportError(error_code::kCannotWriteIncoming); });
    dialog->OnDropFiles({"/d/a"});
    std::thread connection([&] { workers.sender->FailToConnect(); });
    ASSERT_TRUE(view.WaitForOpenMessages(3));
    dialog->SendNext();
    workers.sender->FailToConnect();  // returns at once: its box is open already
    EXPECT_EQ(view.openMessages(), 3);
    view.ReleaseMessages();
    first.join();
    other.join();
    connection.join();
    EXPECT_EQ(view.Messages().size(), 3u);
    dialog->ReportError(error_code::kReceiveFailed);  // once closed, the next one is shown again
    EXPECT_EQ(view.Messages().size(), 4u);

    EXPECT_EQ(LoggedTimes(LogText(), "Error code 5\n"), 22u);
}

TEST_F(MainDialogTest, TheUserHearsOfFilesReceivedAndOfFailures) {
    SetMode(Mode::Manual);
    const std::string bobHash = "aaaabbbbccccdddd" + std::string(48, 'e');
    FixedPairing pairing(PairedBuddy{bobHash, "aaaabbbbccccdddd", "10.0.0.9", "Bob\x1b"});
    dialog = std::make_unique<MainDialog>(view, workers);
    dialog->SetPairedBuddySource(&pairing);
    dialog->Initialize();
    TransferNotes* notes = workers.receiver->notes();
    ASSERT_NE(notes, nullptr);
    notes->FileReceived("holiday.jpg", "10.0.0.9");
    // Over TLS: from the paired key it says so; from any other, as a plain arrival.
    notes->SecureFileReceived("map.png", "10.0.0.9", bobHash);
    notes->SecureFileReceived("map.png", "10.0.0.8", std::string(64, 'f'));
    notes->ReceiveFailed("big.iso", "10.0.0.9");
    notes->ReceiveFailed("", "10.0.0.8");
    notes->ReceiveFailed("line\nbreak\x1b[31m\xe2\x80\xaegpj.exe", "10.0.0.8");
    notes->ReceiveFailed(std::string(300, 'x'), "10.0.0.8");
    notes->FileReceived("a\u2028b" + std::string(200, ' ') + "\u200f.exe", "10.0.0.8");
    dialog->OnDropFiles({"/home/u/report.pdf"});
    workers.sender->FailToSend();
    EXPECT_EQ(view.Notes(),
              (Calls{"File received: holiday.jpg from 10.0.0.9",
                     "File received: map.png from Bob? (verified, 10.0.0.9)",
                     "File received: map.png from 10.0.0.8",
                     "Receive failed: big.iso from 10.0.0.9: nothing was kept",
                     "Receive failed: A file from 10.0.0.8: nothing was kept",
                     "Receive failed: line?break?[31m?gpj.exe from 10.0.0.8: nothing was kept",
                     "Receive failed: " + std::string(127, 'x') + "\u2026" + std::string(127, 'x') +
                         " from 10.0.0.8: nothing was kept",
                     "File received: a?b ?.exe from 10.0.0.8",
                     "Send failed: report.pdf to 10.0.0.7: it waits in the queue"}));
    EXPECT_EQ(view.Messages(),
              (Calls{"Failed while sending - perhaps the other side has gone away?"}));
    EXPECT_EQ(dialog->queue().Count(), 1u);
    EXPECT_FALSE(view.barVisible());
    dialog->SendNext();  // the sender is free again
    EXPECT_EQ(workers.sender->Sent().size(), 2u);
    EXPECT_EQ(Occurrences(LogText(), "Received map.png verified from Bob? at 10.0.0.9\n"), 1u);
    EXPECT_EQ(Occurrences(LogText(), "verified from"), 1u);
}

TEST(RetrySchedule, PausesGrowToTheirLastAndStartAgainAfterASuccess) {
    struct Case {
        RetrySchedule::Pauses table;
        std::vector<std::chrono::milliseconds> expected;  // Next() after Next()
    };
    const Case cases[] = {
        {{}, {10s, 30s, 60s, 300s, 300s, 300s}},  // the default: at most 5 minutes
        {{5ms}, {5ms, 5ms, 5ms}},
        {{1ms, 2ms}, {1ms, 2ms, 2ms}},
    };
    for (const Case& c : cases) {
        RetrySchedule schedule(c.table);
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(schedule.Next(), c.expected[i]) << i;
        }
        EXPECT_EQ(schedule.failures(), c.expected.size());
        schedule.Reset();
        EXPECT_EQ(schedule.Next(), c.expected[0]);
    }
}

TEST_F(MainDialogTest, AnEntryTheBuddyRefusesThreeTimesLeavesForNotDeliveredAndTheNextGo) {
    SetMode(Mode::Manual);
    Open(RetrySchedule({1ms}));
    dialog->OnDropFiles({"/d/Files2Send.txt", "/d/next"});
    EXPECT_EQ(view.Waiting(), "2 files wait for 10.0.0.7");
    // Two failures: the files wait and go again on their own, after a pause.
    for (size_t tries = 1; tries < MainDialog::kTriesBeforeNotDelivered; ++tries) {
        workers.sender->FailToSend();
        ASSERT_TRUE(SentCount(tries + 1));
    }
    EXPECT_EQ(dialog->NotDeliveredCount(), 0u);
    workers.sender->FailToSend();  // the third in a row
    ASSERT_TRUE(SentCount(4));
    EXPECT_EQ(workers.sender->Sent().back(), "10.0.0.7 6677 /d/next");
    EXPECT_EQ(dialog->NotDelivered(), (Calls{"/d/Files2Send.txt"}));
    EXPECT_EQ(ReadFile(GetReceiveFolder() + "/NotDelivered.txt"), "/d/Files2Send.txt\r\n");
    EXPECT_EQ(QueueFile(), "/d/next\r\n");
    EXPECT_EQ(view.Waiting(), "1 file waits for 10.0.0.7");
    EXPECT_EQ(view.Notes().back(),
              "Not delivered: Files2Send.txt: 10.0.0.7 did not take it 3 times in a row; it "
              "is in Not delivered, the next files go");

    // The next goes through: the sending user hears of it.
    workers.sender->Finish();
    EXPECT_EQ(view.Waiting(), "Nothing to send");
    EXPECT_EQ(view.Notes().back(), "Files sent: Sent next to 10.0.0.7");
    EXPECT_NE(LogText().find("Sent next to 10.0.0.7\n"), std::string::npos);

    // Retry puts it at the end of the queue and sends it; Remove forgets it. Both last.
    dialog->RetryNotDelivered("/d/Files2Send.txt");
    EXPECT_EQ(workers.sender->Sent().back(), "10.0.0.7 6677 /d/Files2Send.txt");
    EXPECT_EQ(dialog->NotDeliveredCount(), 0u);
    for (int i = 0; i < MainDialog::kTriesBeforeNotDelivered; ++i) {
        const size_t before = workers.sender->Sent().size();
        workers.sender->FailToSend();
        if (i + 1 < MainDialog::kTriesBeforeNotDelivered) {
            ASSERT_TRUE(SentCount(before + 1));
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return dialog->NotDeliveredCount() == 1u; }));
    dialog.reset();
    MainDialog again(view, workers);
    EXPECT_EQ(again.NotDelivered(), (Calls{"/d/Files2Send.txt"}));
    again.ForgetNotDelivered("/d/Files2Send.txt");
    EXPECT_EQ(ReadFile(GetReceiveFolder() + "/NotDelivered.txt"), "");
}

// A buddy that took the connection is there: its refusals are tried again soon, so a refused
// file holds the queue for seconds, not for the pauses meant for a buddy that is away.
TEST_F(MainDialogTest, AnEntryTheBuddyTookTheConnectionForIsTriedAgainSoon) {
    SetMode(Mode::Manual);
    Open(RetrySchedule({60s}));
    dialog->OnDropFiles({"/d/refused", "/d/next"});
    workers.sender->FailToSend();
    ASSERT_TRUE(SentCount(2));  // well within the 10 s this waits, far from 60 s
    EXPECT_NE(LogText().find("The queue is tried again in 2 seconds\n"), std::string::npos);
    workers.sender->FailToConnect();  // a buddy away: the schedule's own pause
    EXPECT_NE(LogText().find("The queue is tried again in 60 seconds\n"), std::string::npos);
}

TEST_F(MainDialogTest, ConnectionFailuresNeitherCountTowardsNotDeliveredNorStopTheRetries) {
    WriteFile(GetReceiveFolder() + "/Files2Send.txt", "/old/1\r\n/old/2\r\n");
    SetMode(Mode::Manual);
    Open(RetrySchedule({1ms}));
    // What an earlier run left goes on its own.
    ASSERT_TRUE(SentCount(1));
    for (size_t i = 2; i < 8; ++i) {
        workers.sender->FailToConnect();
        ASSERT_TRUE(SentCount(i));
    }
    EXPECT_EQ(dialog->NotDeliveredCount(), 0u);
    workers.sender->Finish();
    workers.sender->Finish();
    EXPECT_EQ(view.Notes().back(), "Files sent: Sent 2 files to 10.0.0.7");
    EXPECT_EQ(view.Waiting().find("Receiving"), std::string::npos) << "back to the queue";
}

TEST_F(MainDialogTest, APathWithALineBreakIsNotQueuedAndTheUserIsTold) {
    Open(Mode::Manual).OnDropFiles({"/d/evil\n/etc/passwd", "/d/fine"});
    EXPECT_EQ(QueueFile(), "/d/fine\r\n");
    EXPECT_EQ(view.Notes(),
              (Calls{"Not queued: /d/evil?/etc/passwd: a name with a line break cannot be sent"}));
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /d/fine"}));
}

struct ApplyCase {
    Mode before, after;
    bool serverAfter;
    std::string serverportAfter;
    bool receiverReplaced;
    std::vector<int> newReceiverPorts;
    int discoveryStartsAfter;  // on the discovery in place after OK
    bool timerAfter;
};

class ApplyTest : public MainDialogTest, public testing::WithParamInterface<ApplyCase> {};

TEST_P(ApplyTest, SettingsTakeEffectAtOkWithoutARestart) {
    const ApplyCase c = GetParam();
    Open(c.before, true);
    FakeReceiver* first = workers.receiver;
    FakeDiscovery* firstDiscovery = workers.discovery;
    dialog->OnDropFiles({"/d/a"});
    SetMode(c.after, c.serverAfter);
    LiveSettings.Set(Text::serverport, c.serverportAfter);
    LiveSettings.SetBuddy("10.0.0.9", "6677");
    workers.sender->FailToConnect();
    dialog->ApplySettings();
    EXPECT_EQ(workers.receiver != first, c.receiverReplaced);
    if (c.receiverReplaced) {
        EXPECT_EQ(workers.receiver->ports, c.newReceiverPorts);
    }
    EXPECT_EQ(workers.discovery->receiverStarts, c.discoveryStartsAfter);
    // Leaving automatic mode, the discovery goes (after a goodbye) and a fresh one waits.
    EXPECT_EQ(workers.discovery != firstDiscovery, c.before == Mode::Auto && c.after != Mode::Auto);
    EXPECT_EQ(view.timerRunning(), c.timerAfter);
    if (c.after == Mode::Manual) {
        EXPECT_EQ(workers.sender->Sent().back(), "10.0.0.9 6677 /d/a");  // retargeted
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ApplyTest,
    testing::Values(ApplyCase{Mode::Manual, Mode::Manual, true, "7002", true, {7002}, 0, false},
                    ApplyCase{Mode::Manual, Mode::Manual, true, "7001", false, {}, 0, false},
                    ApplyCase{Mode::Manual, Mode::Manual, false, "7001", true, {}, 0, false},
                    ApplyCase{Mode::Manual, Mode::Auto, false, "", true, {6677}, 1, true},
                    ApplyCase{Mode::Auto, Mode::Manual, true, "7003", true, {7003}, 0, false},
                    ApplyCase{Mode::Auto, Mode::Ftp, false, "", true, {}, 0, false}),
    [](const testing::TestParamInfo<ApplyCase>& info) {
        return "Case" + std::to_string(info.index);
    });

TEST_F(MainDialogTest, TheBarMovesInStepsThatSuitTheSizeAndKeepsWithinTheBar) {
    const struct {
        int64_t total, chunk;
        float step;
    } sizes[] = {
        {300000, 1000, 5}, {100000, 1, 10}, {5 << 20, 102400, 2}, {300ll << 20, 102400, 0.5f}};
    for (const auto& c : sizes) {
        SCOPED_TRACE("total " + std::to_string(c.total));
        Open(Mode::Manual);
        view.Clear();
        for (int64_t done = c.chunk; done <= c.total; done += c.chunk) {
            dialog->ShowProgress(done, c.total);
        }
        const std::vector<int> positions = view.Positions();
        ASSERT_FALSE(positions.empty());
        EXPECT_LE(positions.size(), static_cast<size_t>(100 / c.step + 1));
        for (size_t i = 1; i < positions.size(); ++i) {
            EXPECT_GE(positions[i] - positions[i - 1],
                      static_cast<int>(c.step) == 0 ? 0 : c.step - 1)
                << i;
            EXPECT_GT(positions[i], positions[i - 1] - 1);
        }
        EXPECT_GE(positions.back(), 100 - static_cast<int>(c.step) - 1);
    }

    Open(Mode::Manual);
    view.Clear();
    dialog->ShowProgress(1, 100);  // below the first step: nothing changes
    dialog->ShowProgress(9, 0);    // an empty incoming file
    dialog->ShowProgress(5, -1);
    EXPECT_TRUE(view.Positions().empty());
    dialog->ShowProgress(1000 + 9 + 5, 1000);  // a receiver's count includes the header
    EXPECT_EQ(view.Positions(), (std::vector<int>{100}));
}

TEST_F(MainDialogTest, EveryErrorCodeHasItsTextIconAndEffectOnTheQueue) {
    Open(Mode::Manual).OnDropFiles({"/d/missing", "/d/next"});
    workers.sender->FailToOpen();
    for (int code :
         {error_code::kFtpLogonFailed, error_code::kCannotWriteIncoming, error_code::kSendFailed,
          error_code::kReceiveFailed, error_code::kFtpFileTried, 99}) {
        dialog->ReportError(code);
    }
    EXPECT_EQ(view.Messages(),
              (Calls{"Failed to open /d/missing; maybe it is locked by another application or "
                     "doesn't exist?",
                     "Failed to connect to FTP Server - are you sure all your settings are "
                     "correct?",
                     "Failed to create file for incoming - perhaps you are out of disk space?",
                     "Failed while sending - perhaps the other side has gone away?",
                     "Failed while receiving - perhaps the other side has gone away?"}));
    EXPECT_EQ(QueueFile(), "/d/next\r\n");  // code 1 took the head, the others nothing
    EXPECT_EQ(icons.Last(), resource::kIconRed);
    EXPECT_EQ(workers.sender->Sent().size(), 1u);  // errors never dispatch
    const std::string log = LogText();
    EXPECT_NE(log.find("Error code 1\nError code 2\nError code 3\nError code 4\nError code 5\n"
                       "Error code 232323\nUnknown error codeError code 99\nUnknown error code"),
              std::string::npos);
}

TEST_F(MainDialogTest, ErrorOneWithAnEmptyQueueShowsNoBox) {
    Open(Mode::Manual);
    dialog->ReportError(error_code::kCannotOpenToSend);
    EXPECT_TRUE(view.Messages().empty());
    EXPECT_EQ(icons.Last(), resource::kIconRed);
    EXPECT_NE(LogText().find("Error code 1\n"), std::string::npos);
}

TEST_F(MainDialogTest, AnIncomingFilesEndLeavesTheSendQueueAlone) {
    Open(Mode::Manual).OnDropFiles({"/d/waiting"});
    workers.sender->FailToConnect();
    Callback* incoming = workers.receiver->callback();
    ASSERT_NE(incoming, static_cast<Callback*>(dialog.get()));
    incoming->IncomingFile();
    EXPECT_EQ(icons.Last(), resource::kIconGreen);
    incoming->ShowProgress(60000, 100000);
    incoming->FinishedSending();
    EXPECT_EQ(QueueFile(), "/d/waiting\r\n");
    EXPECT_EQ(view.Positions().back(), 0);
    EXPECT_TRUE(view.barVisible());  // something still waits to go out
    EXPECT_EQ(workers.sender->Sent().size(), 1u);
    // A failed or declined receive is the receiving user's note, never a box.
    const size_t boxes = view.Messages().size();
    for (int32_t code : {error_code::kReceiveFailed, error_code::kCannotWriteIncoming}) {
        incoming->ShowProgress(60000, 100000);
        incoming->ReportError(code);
        EXPECT_EQ(view.Messages().size(), boxes);
        EXPECT_FALSE(view.barVisible());
        EXPECT_EQ(view.Positions().back(), 0);
    }
    EXPECT_EQ(QueueFile(), "/d/waiting\r\n");
}

struct InitCase {
    Mode mode;
    bool server;
    std::string autoport;
    std::vector<int> receiverPorts;
    int discoveryStarts;
};

std::string InitCaseName(const testing::TestParamInfo<InitCase>& info) {
    const char* modes[] = {"Manual", "Auto", "Ftp", "None"};
    return std::string(modes[static_cast<int>(info.param.mode)]) +
           (info.param.server ? "Server" : "") + "Case" + std::to_string(info.index);
}

class InitTest : public MainDialogTest, public testing::WithParamInterface<InitCase> {};

TEST_P(InitTest, StartsTheReceiverAndDiscoveryAsTheModeSays) {
    const InitCase c = GetParam();
    SetMode(c.mode, c.server);
    if (!c.autoport.empty()) {
        RegistryText(SettingKey("autoport"), "", true, RegRoot::CurrentUser).Set(c.autoport);
    }
    Open();
    EXPECT_EQ(workers.receiver->ports, c.receiverPorts);
    EXPECT_EQ(workers.discovery->receiverStarts, c.discoveryStarts);
    EXPECT_EQ(view.timerRunning(), c.discoveryStarts == 1);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, InitTest,
    testing::Values(InitCase{Mode::Manual, true, "", {7001}, 0},      // serverport
                    InitCase{Mode::Manual, false, "", {}, 0},         // sends only
                    InitCase{Mode::None, true, "", {6677}, 0},        // autoport default
                    InitCase{Mode::None, true, " 5000 ", {5000}, 0},  // blanks around
                    InitCase{Mode::None, true, " +5000x", {-1}, 0},   // no port: refused
                    InitCase{Mode::None, true, "port", {-1}, 0},      // not a number
                    InitCase{Mode::None, true, "70000", {-1}, 0},     // never cut to 4464
                    InitCase{Mode::Auto, false, "6000", {6000}, 1},
                    InitCase{Mode::Auto, true, "6000", {6000, 6000}, 1},  // started twice
                    InitCase{Mode::Ftp, true, "", {}, 0}),
    InitCaseName);

// The known computers as the trust store gives them, with what the user forgot.
class KnownComputers : public PairedBuddySource {
public:
    std::optional<PairedBuddy> Paired() const override { return buddy; }
    bool Forget(const std::string& keyHash) override {
        forgotten.push_back(keyHash);
        buddy.reset();
        return true;
    }
    std::optional<PairedBuddy> buddy;
    std::vector<std::string> forgotten;
};

const std::string kBobHash = "aaaabbbbccccdddd" + std::string(48, 'e');
const std::string kBobId = "aaaabbbbccccdddd";

struct RouteCase {
    const char* name;
    bool paired;
    // The latest announce from the buddy's address, and what it offered; none: not heard.
    std::optional<std::optional<Capability>> heard;
    bool ownKey;
    // What the sender is asked, after "10.0.0.7 6677 /d/a"; none: nothing.
    std::optional<std::string> sent;
    std::string asked;  // the box, when nothing goes
};

class RouteTest : public MainDialogTest, public testing::WithParamInterface<RouteCase> {};

// TLS always to the paired buddy (to its whole key), to another only when its announce
// offers it; a paired buddy whose announce lost the offer or changed key gets nothing.
TEST_P(RouteTest, TheSenderIsAskedForTheModeTheBuddyEarnedAndNeverDowngrades) {
    const RouteCase& c = GetParam();
    SetMode(Mode::Manual);
    KnownComputers known;
    std::remove((GetReceiveFolder() + "/Files2Send.txt").c_str());  // an earlier test's queue
    if (c.paired) {
        known.buddy = PairedBuddy{kBobHash, kBobId, "10.0.0.7", "Bob"};
    }
    dialog = std::make_unique<MainDialog>(view, workers);
    dialog->SetIconMaker(&icons);
    dialog->SetPairedBuddySource(&known);
    dialog->SetOwnKeyId(c.ownKey ? "00112233aabbccdd" : "");
    dialog->Initialize();
    if (c.heard) {
        workers.discovery->notes->Announced("10.0.0.7", "10.0.0.7", "6677", *c.heard);
    }
    dialog->OnDropFiles({"/d/a"});
    dialog->OnDropFiles({"/d/b"});  // told once per cause
    const std::vector<std::string> asks = view.Asked();
    if (c.sent) {
        EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /d/a" + *c.sent}));
        EXPECT_TRUE(asks.empty());
    } else {
        EXPECT_TRUE(workers.sender->Sent().empty());
        EXPECT_EQ(asks, (Calls{c.asked}));
        EXPECT_EQ(icons.Last(), resource::kIconRed);
        EXPECT_EQ(dialog->queue().Count(), 2u);
        EXPECT_NE(LogText().find(c.asked + " (10.0.0.7)\n"), std::string::npos);
    }
}

const Capability kBobOffer{true, kBobId, "Bob"};
const char kChanged[] =
    "Bob's identity changed. Nothing was sent. Pair again or forget Bob in Settings.";
const std::string kToBob = " tls:" + kBobHash;
INSTANTIATE_TEST_SUITE_P(
    Secure, RouteTest,
    testing::Values(
        RouteCase{"Plain", false, std::nullopt, true, "", ""},
        RouteCase{"PlainAnnounce", false, std::optional<Capability>(), true, "", ""},
        RouteCase{"Offered", false, kBobOffer, true, " tls:aaaabbbbccccdddd", ""},
        RouteCase{"OfferedNoKeyHere", false, kBobOffer, false, "", ""},
        RouteCase{"PairedUnheard", true, std::nullopt, true, kToBob, ""},
        RouteCase{"PairedHeard", true, kBobOffer, true, kToBob, ""},
        RouteCase{"PairedLostOffer", true, std::optional<Capability>(), true, std::nullopt,
                  "Bob no longer offers secure transfers; your files wait for it."},
        RouteCase{"PairedOtherKey", true, Capability{true, "ffffffffffffffff", "Bob"}, true,
                  std::nullopt, kChanged},
        RouteCase{"PairedNoKeyHere", true, kBobOffer, false, std::nullopt,
                  "This computer's key could not be loaded, so nothing goes to Bob, with whom "
                  "it is paired; your files wait."}),
    [](const testing::TestParamInfo<RouteCase>& info) { return std::string(info.param.name); });

// What a secure send's end says decides: another key holds the queue and asks once (Forget
// ends the pairing), a refusal sends the file to Not delivered at once and the next goes.
TEST_F(MainDialogTest, ASecureSendsEndHoldsTheQueueOrMovesARefusedFileOn) {
    SetMode(Mode::Manual);
    KnownComputers known;
    std::remove((GetReceiveFolder() + "/Files2Send.txt").c_str());  // an earlier test's queue
    known.buddy = PairedBuddy{kBobHash, kBobId, "10.0.0.7", "Bob"};
    dialog = std::make_unique<MainDialog>(view, workers);
    dialog->SetIconMaker(&icons);
    dialog->SetPairedBuddySource(&known);
    dialog->SetOwnKeyId("00112233aabbccdd");
    dialog->SetRetrySchedule(RetrySchedule({std::chrono::hours(1)}));
    dialog->Initialize();
    dialog->OnDropFiles({"/d/a", "/d/b"});
    ASSERT_EQ(workers.sender->Sent().size(), 1u);

    workers.sender->EndSecurely(SendNotes::Outcome::Refused, "no room");
    EXPECT_EQ(dialog->NotDelivered(), (Calls{"/d/a"}));
    EXPECT_EQ(view.Notes().back(),
              "Not delivered: a: 10.0.0.7 refused it (no room); it is in Not delivered, the next "
              "files go");
    ASSERT_TRUE(SentCount(2));
    EXPECT_EQ(workers.sender->Sent().back(), "10.0.0.7 6677 /d/b tls:" + kBobHash);
    EXPECT_TRUE(view.Messages().empty());  // not "the other side has gone away"

    view.answer = 2;  // Forget
    workers.sender->EndSecurely(SendNotes::Outcome::IdentityMismatch, std::string(64, '9'));
    EXPECT_EQ(view.Calls().back(), std::string("ask ") + kChanged);
    EXPECT_EQ(known.forgotten, (Calls{kBobHash}));
    EXPECT_EQ(dialog->queue().Count(), 1u);
    EXPECT_EQ(icons.Last(), resource::kIconRed);
    EXPECT_EQ(workers.sender->Sent().size(), 2u);
}

// A secure buddy gets the whole queue in one session, entry by entry, as the sender tells.
class BatchTest : public MainDialogTest {
protected:
    void SetUp() override {
        SetMode(Mode::Manual);
        std::remove((GetReceiveFolder() + "/Files2Send.txt").c_str());  // an earlier test's queue
        known.buddy = PairedBuddy{kBobHash, kBobId, "10.0.0.7", "Bob"};
        dialog = std::make_unique<MainDialog>(view, workers);
        workers.sender->batches = true;
        dialog->SetIconMaker(&icons);
        dialog->SetPairedBuddySource(&known);
        dialog->SetOwnKeyId("00112233aabbccdd");
        dialog->SetRetrySchedule(RetrySchedule({std::chrono::hours(1)}));
        dialog->Initialize();
    }
    // The sender's word on one entry: its place, then how it ended.
    void End(size_t index, BatchNotes::EntryEnd end, const std::string& detail = "") {
        BatchNotes* notes = workers.sender->batchNotes();
        std::string path;
        ASSERT_TRUE(notes->BatchEntry(index, path));
        notes->BatchEntryStarted(index);
        notes->BatchEntryEnded(index, end, detail);
    }
    KnownComputers known;
};

TEST_F(BatchTest, EntriesLeaveAsTheyEndAndTheUserHearsOnceOfWhatDidNotGo) {
    using End = BatchNotes::EntryEnd;
    const std::string tree = TestPaths::NewFolder("tree");
    dialog->OnDropFiles({"/d/a", "/d/gone", tree, "/d/c"});
    ASSERT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 batch" + kToBob}));
    BatchNotes* notes = workers.sender->batchNotes();
    std::string path;
    ASSERT_TRUE(notes->BatchEntry(3, path));
    EXPECT_EQ(path, "/d/c");
    EXPECT_FALSE(notes->BatchEntry(4, path));

    this->End(0, End::Delivered);
    EXPECT_EQ(dialog->queue().Count(), 3u) << "left as its ACK came";
    ASSERT_TRUE(notes->BatchEntry(3, path)) << "places count from the session's start";
    EXPECT_EQ(path, "/d/c");
    notes->BatchProgressed({1, 2, 10, 20, 2});
    EXPECT_EQ(view.Waiting(), "Sending file 2 of 4 to 10.0.0.7: 10 bytes of 20 bytes");
    this->End(1, End::CannotOpen);
    notes->BatchEntryStarted(2);
    notes->BatchSkipped(2, {"tree/l: a link"});
    notes->BatchEntryEnded(2, End::Delivered, "tree/x (bad name)");
    this->End(3, End::Refused, "no room");
    EXPECT_EQ(dialog->queue().Count(), 0u);
    EXPECT_EQ(dialog->NotDelivered(), (Calls{"/d/c"}));
    EXPECT_TRUE(view.Messages().empty()) << "nothing waits on a box mid-session";

    workers.sender->EndSecurely(SendNotes::Outcome::Delivered);
    EXPECT_EQ(QueueFile(), "") << "the file is as the queue at the end";
    const std::string name = tree.substr(tree.rfind('/') + 1);
    EXPECT_EQ(view.Messages(),
              (Calls{"Failed to open /d/gone; maybe it is locked by another application or "
                     "doesn't exist?"}));
    EXPECT_EQ(view.Notes(),
              (Calls{"Not all of " + name + " goes: 1 left out, the rest goes: tree/l: a link",
                     "Not all sent: " + name + ": 10.0.0.7 did not take tree/x (bad name)",
                     "Files sent: Sent 1 file and 1 folder to 10.0.0.7",
                     "Not delivered: c: 10.0.0.7 refused it (no room); it is in Not delivered, "
                     "the next files go"}));
    EXPECT_EQ(workers.sender->Sent().size(), 1u) << "no pause, no session per file";
}

// A declined drop is one word to the user, however many files it held.
TEST_F(BatchTest, RefusedFilesOfABatchAreOneNotification) {
    using End = BatchNotes::EntryEnd;
    dialog->OnDropFiles({"/d/a", "/d/b", "/d/c"});
    for (size_t i = 0; i < 3; ++i) {
        this->End(i, End::Refused, "declined");
    }
    workers.sender->EndSecurely(SendNotes::Outcome::Delivered);
    EXPECT_EQ(dialog->NotDelivered(), (Calls{"/d/a", "/d/b", "/d/c"}));
    EXPECT_EQ(view.Notes(), (Calls{"Not delivered: 3 files: 10.0.0.7 refused them (declined); "
                                   "they are in Not delivered, the next files go"}));
}

// A cut session is a failure of the entry under way; Cancel sending asks what becomes of the
// rest, and what stays waits for the next drop.
TEST_F(BatchTest, ACutSessionFailsTheCurrentEntryAndCancelAsksAboutTheRest) {
    using End = BatchNotes::EntryEnd;
    dialog->OnDropFiles({"/d/a", "/d/b", "/d/c"});
    this->End(0, End::Delivered);
    workers.sender->batchNotes()->BatchEntryStarted(1);
    workers.sender->EndSecurely(SendNotes::Outcome::Failed);
    EXPECT_EQ(QueueFile(), "/d/b\r\n/d/c\r\n");
    EXPECT_EQ(view.Notes().back(), "Send failed: b to 10.0.0.7: it waits in the queue");

    for (const int answer : {0, 1}) {  // Keep queued, Remove them
        SCOPED_TRACE(answer);
        dialog->OnDropFiles({"/d/z"});
        ASSERT_TRUE(SentCount(answer == 0 ? 2 : 4));
        EXPECT_TRUE(dialog->Sending());
        view.answer = answer;
        dialog->CancelSending();
        EXPECT_EQ(workers.sender->Sent().back(), "cancel");
        EXPECT_FALSE(dialog->Sending());
        EXPECT_EQ(view.Asked().back(),
                  "Sending to 10.0.0.7 was cancelled. " +
                      std::string(answer == 0 ? "3 files are" : "4 files are") +
                      " still queued: keep them queued for your next drop, or remove them?");
        dialog->SendNext();  // as the retry or a buddy heard would
        EXPECT_EQ(workers.sender->Sent().back(), "cancel");
        EXPECT_EQ(dialog->queue().Count(), answer == 0 ? 3u : 0u);
        if (answer == 0) {
            EXPECT_EQ(view.Waiting(),
                      "3 files wait for 10.0.0.7 (sending cancelled: they go "
                      "with your next drop)");
        }
    }
}

// To a plain buddy a folder goes as its files, under their own names; never the box about a
// file locked by another application.
TEST_F(MainDialogTest, AFolderGoesFlatToAPlainBuddyAndTheUserIsToldOnce) {
    std::remove((GetReceiveFolder() + "/Files2Send.txt").c_str());
    const std::string tree = TestPaths::NewFolder("flat");
    WriteFile(tree + "/one.txt", "1");
    ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0700), 0);
    WriteFile(tree + "/sub/two.txt", "2");
    ASSERT_EQ(symlink("/etc/passwd", (tree + "/link").c_str()), 0);
    const std::string empty = TestPaths::NewFolder("empty");
    const std::string name = tree.substr(tree.rfind('/') + 1);
    MainDialog& heart = Open(Mode::Manual);
    heart.OnDropFiles({empty, tree, "/d/after"});
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 " + tree + "/one.txt"}));
    EXPECT_EQ(QueueFile(), tree + "/one.txt\r\n" + tree + "/sub/two.txt\r\n/d/after\r\n");
    EXPECT_EQ(view.Notes(),
              (Calls{"Folder sent as single files: " + empty.substr(empty.rfind('/') + 1) +
                         ": its 0 files go to 10.0.0.7 one by one, each under its own name; the "
                         "folders are not recreated there (it takes single files only)",
                     "Folder sent as single files: " + name +
                         ": its 2 files go to 10.0.0.7 one by one, "
                         "each under its own name; the folders are not recreated there (it takes "
                         "single files only); 1 left out (links, unreadable files), listed in the "
                         "log"}));
    EXPECT_NE(LogText().find("Left out of " + name + ": " + name + "/link: a link\n"),
              std::string::npos);
    EXPECT_TRUE(view.Messages().empty());
}

}  // namespace

TEST_F(MainDialogTest, AGroupOfFilesIsOneNotificationAndTheTooltipFollowsIt) {
    Open(Mode::Manual);
    TransferNotes* notes = workers.receiver->notes();
    ASSERT_NE(notes, nullptr);
    IncomingBatch batch;
    batch.peerAddress = "10.0.0.9";
    batch.root = "Photos";
    batch.storedRoot = "Photos (2)";
    batch.files = 312;
    batch.totalBytes = 1200000000;
    notes->BatchStarted(batch);
    batch.bytesDone = 40100000;
    batch.filesDone = 12;
    notes->BatchProgress(batch);
    EXPECT_EQ(view.Waiting(), "Receiving Photos from 10.0.0.9: file 13 of 312, 40.1 MB of 1.2 GB");
    for (int i = 0; i < 3; ++i) {
        notes->BatchFileReceived(batch, "Photos (2)/a" + std::to_string(i));
    }
    batch.filesKept = batch.filesDone = 312;
    notes->BatchEnded(batch, true);
    // A lone file after it, and a group of loose files where some were refused.
    notes->SecureFileReceived("lone.txt", "10.0.0.9", "k");
    IncomingBatch loose;
    loose.peerAddress = "10.0.0.8";
    loose.files = 3;
    notes->BatchStarted(loose);
    notes->BatchFileReceived(loose, "a.txt");
    notes->BatchFileReceived(loose, "b.txt");
    loose.filesKept = 2;
    notes->BatchEnded(loose, false);
    notes->BatchStarted(loose);
    loose.filesKept = 0;
    notes->BatchEnded(loose, false);
    EXPECT_EQ(view.Notes(), (Calls{"File received: Photos (2) (312 files) from 10.0.0.9",
                                   "File received: lone.txt from 10.0.0.9",
                                   "File received: 2 of 3 files from 10.0.0.8",
                                   "Receive failed: 3 files from 10.0.0.8: nothing was kept"}));
    EXPECT_EQ(view.Waiting().find("Receiving"), std::string::npos) << "back to the queue";
}

TEST(IncomingStatus, SaysFilesBytesRateAndTimeLeft) {
    const auto start = IncomingStatus::Clock::now();
    IncomingStatus status(start);
    IncomingBatch batch;
    batch.peerAddress = "10.0.0.9";
    batch.files = 2;
    batch.totalBytes = 3000000000;
    batch.bytesDone = 1000000000;
    batch.filesDone = 1;
    EXPECT_EQ(status.Text(batch, start + std::chrono::seconds(100)),
              "Receiving files from 10.0.0.9: file 2 of 2, 1.0 GB of 3.0 GB, 10.0 MB/s, about 3 "
              "min left");
    EXPECT_EQ(IncomingStatus::Bytes(1), "1 byte");
    EXPECT_EQ(IncomingStatus::Bytes(99950), "100 kB");
    EXPECT_EQ(IncomingStatus::Bytes(999499), "999 kB");
    EXPECT_EQ(IncomingStatus::Bytes(999500), "1.0 MB") << "never 1000 kB";
    EXPECT_EQ(IncomingStatus::Bytes(UINT64_MAX), "18446744 TB");
    EXPECT_EQ(IncomingStatus::TimeLeft(0.2), "about 1 s left");
    EXPECT_EQ(IncomingStatus::TimeLeft(89), "about 1 min left");
    EXPECT_EQ(IncomingStatus::TimeLeft(7000), "about 2 h left");
    // At most two texts a second, but one for every file that ended.
    EXPECT_TRUE(status.Due(batch, start));
    EXPECT_FALSE(status.Due(batch, start + std::chrono::milliseconds(100)));
    batch.filesDone = 2;
    EXPECT_TRUE(status.Due(batch, start + std::chrono::milliseconds(200)));
    EXPECT_TRUE(status.Due(batch, start + std::chrono::milliseconds(700)));
}

// Automatic mode with "ask": a found stranger gets nothing until its user says Send, once, by
// the key id it announced or by its address; "Not this computer" keeps the files queued and
// is remembered; an unanswered question comes again with the next drop; a typed address is
// the user's own choice.
TEST_F(MainDialogTest, AFoundStrangerGetsTheQueueOnlyOnceTheUserSaidSend) {
    auto asked = [&] { return view.SendQuestions(); };
    // Manual mode: the typed address is the question answered.
    SetMode(Mode::Manual);
    LiveSettings.Set(Text::strangers, "ask");
    Open().OnDropFiles({"/d/m"});
    EXPECT_EQ(workers.sender->Sent(), (Calls{"10.0.0.7 6677 /d/m"}));
    EXPECT_TRUE(asked().empty());
    dialog.reset();

    SetMode(Mode::Auto);
    LiveSettings.Set(Text::strangers, "ask");
    LiveSettings.SetBuddy("", "");
    std::remove((GetReceiveFolder() + "/Files2Send.txt").c_str());
    TrustStore store(TestPaths::NewFolder("trust"));
    TrustedBuddies trust(store);
    dialog = std::make_unique<MainDialog>(view, workers);
    dialog->SetPairedBuddySource(&trust);
    dialog->SetOwnKeyId("00112233aabbccdd");
    dialog->Initialize();
    auto stored = [&](const std::string& key) {
        std::string error;
        store.Reload(error);
        const std::optional<TrustEntry> entry = store.Find(key);
        return entry ? TrustFile::FormatLine(*entry) : std::string();
    };

    // A plain stranger; its question closed unanswered: nothing goes, nothing is kept.
    dialog->OnDropFiles({"/d/a"});
    workers.discoveryCallback->FoundBuddy("10.1.1.1", "6677");
    ASSERT_TRUE(WaitUntil([&] { return asked().size() == 1; }));
    EXPECT_EQ(asked().front(), "Send your files to 10.1.1.1?");
    dialog->SendNext();  // not asked again before the next drop
    dialog->OnDropFiles({"/d/b"});
    ASSERT_TRUE(WaitUntil([&] { return asked().size() == 2; }));

    // Not this computer: kept by address, files stay, no more questions about it.
    view.sendAnswer = 1;
    dialog->OnDropFiles({"/d/c"});
    ASSERT_TRUE(WaitUntil([&] { return !stored("a:10.1.1.1").empty(); }));
    EXPECT_EQ(stored("a:10.1.1.1"), "a:10.1.1.1\tknown,nosend\t10.1.1.1\t");
    dialog->OnDropFiles({"/d/d"});
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(asked().size(), 3u);
    EXPECT_TRUE(workers.sender->Sent().empty());
    EXPECT_EQ(dialog->queue().Count(), 4u);

    // A keyed stranger announces itself; Send: kept by its key id, and the queue goes.
    view.sendAnswer = 0;
    const Capability offer{true, "aabbccdd00112233", "Eve"};
    workers.discovery->notes->Announced("10.2.2.2", "10.2.2.2", "6677", offer);
    workers.discoveryCallback->FoundBuddy("10.2.2.2", "6677");
    ASSERT_TRUE(SentCount(1));
    EXPECT_EQ(asked().back(), "Send your files to Eve at 10.2.2.2? (not verified)");
    EXPECT_EQ(stored("i:aabbccdd00112233"), "i:aabbccdd00112233\tknown,send\t10.2.2.2\tEve");
    EXPECT_EQ(workers.sender->Sent().front(), "10.2.2.2 6677 /d/a tls:aabbccdd00112233");
}
