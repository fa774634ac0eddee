#include "heart/HeadlessView.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "heart/FakeWorkers.h"
#include "heart/MainDialog.h"
#include "settings/LiveSettings.h"
#include "support/Files.h"

namespace {

using namespace std::chrono_literals;

// A heart in automatic mode with a short beacon period behind the headless view: the timer
// ticks it, starts and stops as the desktop's, and the answers follow the same period.
TEST(HeadlessView, TicksTheHeartOnItsPeriodAndItsAnswersFollowThePeriod) {
    LiveSettings.manual = 0;
    LiveSettings.auto_ = 1;
    LiveSettings.useftp = 0;
    LiveSettings.server = 0;
    std::mutex mutex;
    std::vector<std::string> lines;
    HeadlessView view([&](const std::string& line) {
        std::lock_guard<std::mutex> guard(mutex);
        lines.push_back(line);
    });
    FakeWorkerFactory workers;
    constexpr auto kPeriod = 200ms;
    MainDialog heart(view, workers, kPeriod);
    view.Attach(heart);
    heart.Initialize();
    const std::atomic<int>& beacons = workers.discovery->beaconsSent;
    EXPECT_TRUE(WaitUntil([&] { return beacons >= 3; }, 10s));  // start, then ticks

    heart.FoundBuddy("10.0.0.2", "6677");  // heard while looking: answered, timer stopped
    const int answered = beacons;
    EXPECT_FALSE(view.StopBeaconTimer());
    heart.FoundBuddy("10.0.0.2", "6677");  // its answer, within the period: not answered
    EXPECT_EQ(beacons, answered);
    std::this_thread::sleep_for(kPeriod);
    heart.FoundBuddy("10.0.0.2", "6677");  // a period later, as after a restart: answered
    EXPECT_EQ(beacons, answered + 1);

    view.StartBeaconTimer();  // as a buddy's leave does
    EXPECT_TRUE(WaitUntil([&] { return beacons >= answered + 2; }, 10s));
    EXPECT_TRUE(view.StopBeaconTimer());
    view.Detach();
    view.StartBeaconTimer();  // still allowed; no tick follows

    view.ShowMessage("Failed to open /x");  // returns at once
    view.Notify("File received", "a from 10.0.0.2");
    view.ShowSending("Sending file 1 of 2 to 10.0.0.2: 0 bytes of 2 bytes");
    view.ShowSending("");  // the batch's end says nothing
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "message Failed to open /x", "notify File received: a from 10.0.0.2",
                         "sending Sending file 1 of 2 to 10.0.0.2: 0 bytes of 2 bytes"}));
}

}  // namespace
