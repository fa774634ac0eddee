#include "ui/NotificationThrottle.h"

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

}  // namespace
