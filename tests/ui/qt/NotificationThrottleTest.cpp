#include "ui/NotificationThrottle.h"

#include "ui/ArrivalBatches.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Note = NotificationThrottle::Note;

}  // namespace

void PrintTo(const NotificationThrottle::Note& note, std::ostream* out) {
    *out << "{\"" << note.summary << "\", \"" << note.body << "\"}";
}

namespace {

TEST(NotificationThrottle, OneASecondWithWhatCameMeanwhileMergedIntoOne) {
    NotificationThrottle throttle;
    const auto t0 = NotificationThrottle::Clock::time_point{} + 100s;
    EXPECT_EQ(throttle.Offer({"File received", "a.jpg from 10.0.0.7"}, t0),
              (Note{"File received", "a.jpg from 10.0.0.7"}));
    EXPECT_FALSE(throttle.NextDue());
    // A burst: nothing more is shown before a second has passed...
    EXPECT_FALSE(throttle.Offer({"File received", "b.jpg from 10.0.0.7"}, t0 + 100ms));
    EXPECT_FALSE(throttle.Offer({"Receiving failed", "c.iso from 10.0.0.8"}, t0 + 200ms));
    EXPECT_FALSE(throttle.Offer({"File received", "d.jpg from 10.0.0.7"}, t0 + 300ms));
    EXPECT_EQ(throttle.NextDue(), t0 + 1s);
    EXPECT_FALSE(throttle.Release(t0 + 999ms));
    // ...then all of it at once, each kind with its count.
    EXPECT_EQ(throttle.Release(t0 + 1s),
              (Note{"File received (2), Receiving failed",
                    "b.jpg from 10.0.0.7\nc.iso from 10.0.0.8\nd.jpg from 10.0.0.7"}));
    EXPECT_FALSE(throttle.Release(t0 + 5s));
    // Even after a merged one, the next waits its second; after a quiet while it goes at once.
    EXPECT_FALSE(throttle.Offer({"Sending failed", "e"}, t0 + 1500ms));
    EXPECT_EQ(throttle.Release(t0 + 2s), (Note{"Sending failed", "e"}));
    EXPECT_TRUE(throttle.Offer({"File received", "f"}, t0 + 10s));
}

TEST(NotificationThrottle, ALongBurstListsTheFirstFewAndCountsTheRest) {
    std::vector<Note> notes;
    for (int i = 0; i < 8; ++i) {
        notes.push_back({"File received", "file " + std::to_string(i)});
    }
    EXPECT_EQ(NotificationThrottle::Merge(notes),
              (Note{"File received (8)", "file 0\nfile 1\nfile 2\nfile 3\nfile 4\nand 3 more"}));
}

// How a batch shows through the session bus: NotificationTest.
TEST(ArrivalBatches, APauseStartsANewBatchAndAnUpdateWaitsForTheIdAndItsSecond) {
    ArrivalBatches batches;
    const auto t0 = ArrivalBatches::Clock::time_point{} + 100s;
    const std::string p = "10.0.0.7";
    batches.Arrive(p, "a.jpg", "/r/a.jpg", t0);
    EXPECT_EQ(batches.Due(t0).at(0).summary, "File received");
    batches.Arrive(p, "b.jpg", "/r/b.jpg", t0 + 100ms);
    EXPECT_FALSE(batches.NextDue());  // the first is still on its way
    batches.Shown(p, 7);
    EXPECT_TRUE(batches.Due(t0 + 999ms).empty());
    EXPECT_EQ(batches.Due(t0 + 1s),
              (std::vector<ArrivalBatches::Update>{
                  {p, 7, "2 files from " + p, "Latest: b.jpg", 2, "/r/b.jpg"}}));
    batches.Shown(p, 7);
    // Under five seconds after the last, the same; after five, a new one.
    batches.Arrive(p, "c.jpg", "/r/c.jpg", t0 + 5s);
    EXPECT_EQ(batches.Due(t0 + 5s).at(0).replaces, 7u);
    batches.Shown(p, 0);  // the service gave no id: the next showing is a new notification
    batches.Arrive(p, "d.jpg", "/r/d.jpg", t0 + 6s);
    EXPECT_EQ(batches.Due(t0 + 6s).at(0).replaces, 0u);
    batches.Shown(p, 8);
    batches.Arrive(p, "e.jpg", "/r/e.jpg", t0 + 11s);
    EXPECT_EQ(batches.Due(t0 + 11s),
              (std::vector<ArrivalBatches::Update>{
                  {p, 0, "File received", "e.jpg from " + p, 1, "/r/e.jpg"}}));
}

}  // namespace
