#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// At most one desktop notification a second: what comes sooner waits, and everything that
// waited is shown as one, so that a burst of arrivals is one notification, not a stack.
class NotificationThrottle {
public:
    using Clock = std::chrono::steady_clock;
    struct Note {
        std::string summary;
        std::string body;
        bool operator==(const Note&) const = default;
    };

    explicit NotificationThrottle(Clock::duration gap = std::chrono::seconds(1)) : gap_(gap) {}

    // A new notification: the one to show now, or nothing when it has to wait.
    std::optional<Note> Offer(Note note, Clock::time_point now);
    // When what waits may be shown; nothing when nothing waits.
    std::optional<Clock::time_point> NextDue() const;
    // What waits, merged into one, once its time has come.
    std::optional<Note> Release(Clock::time_point now);

    // Several as one: each summary once, with its count when it came more than once, and the
    // first few bodies, a line each.
    static Note Merge(const std::vector<Note>& notes);

private:
    Clock::duration gap_;
    std::optional<Clock::time_point> lastShown_;
    std::vector<Note> waiting_;
};
