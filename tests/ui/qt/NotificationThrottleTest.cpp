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

TEST(ArrivalBatches, FilesFromOneAddressWhileTheyKeepComingAreOneNotificationUpdatedInPlace) {
    using Update = ArrivalBatches::Update;
    ArrivalBatches batches;
    const auto t0 = ArrivalBatches::Clock::time_point{} + 100s;
    const std::string p = "10.0.0.7";
    batches.Arrive(p, "a.jpg", "/r/a.jpg", t0);
    EXPECT_EQ(batches.Due(t0),
              (std::vector<Update>{{p, 0, "File received", "a.jpg from " + p, 1, "/r/a.jpg"}}));
    // More while the first is on its way: nothing until its id is known and a second passed.
    batches.Arrive(p, "b.jpg", "/r/b.jpg", t0 + 100ms);
    batches.Arrive("10.0.0.8", "x.iso", "/r/x.iso", t0 + 150ms);
    batches.Arrive(p, "c.jpg", "/r/c.jpg", t0 + 200ms);
    const std::vector<Update> other = batches.Due(t0 + 200ms);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].summary, "File received");
    EXPECT_EQ(other[0].body, "x.iso from 10.0.0.8");
    EXPECT_FALSE(batches.NextDue());
    batches.Shown(p, 7);
    EXPECT_EQ(batches.NextDue(), t0 + 1s);
    EXPECT_TRUE(batches.Due(t0 + 999ms).empty());
    EXPECT_EQ(batches.Due(t0 + 1s),
              (std::vector<Update>{{p, 7, "3 files from " + p, "Latest: c.jpg", 3, "/r/c.jpg"}}));
    batches.Shown(p, 7);
    // Within five seconds of the last, still the same; after a pause of five, a new one.
    batches.Arrive(p, "d.jpg", "/r/d.jpg", t0 + 5s);
    EXPECT_EQ(batches.Due(t0 + 5s).at(0).replaces, 7u);
    batches.Shown(p, 7);
    batches.Arrive(p, "e.jpg", "/r/e.jpg", t0 + 10s);
    EXPECT_EQ(batches.Due(t0 + 10s),
              (std::vector<Update>{{p, 0, "File received", "e.jpg from " + p, 1, "/r/e.jpg"}}));
    // A service that gave no id: the next showing is a new notification.
    batches.Shown(p, 0);
    batches.Arrive(p, "f.jpg", "/r/f.jpg", t0 + 11s);
    EXPECT_EQ(batches.Due(t0 + 11s).at(0).replaces, 0u);
}

}  // namespace
