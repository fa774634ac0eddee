#include "ui/NotificationThrottle.h"

namespace {
constexpr size_t kBodyLines = 5;
}

std::optional<NotificationThrottle::Note> NotificationThrottle::Offer(Note note,
                                                                      Clock::time_point now) {
    if (waiting_.empty() && (!lastShown_ || now - *lastShown_ >= gap_)) {
        lastShown_ = now;
        return note;
    }
    waiting_.push_back(std::move(note));
    return std::nullopt;
}

std::optional<NotificationThrottle::Clock::time_point> NotificationThrottle::NextDue() const {
    if (waiting_.empty()) {
        return std::nullopt;
    }
    return lastShown_ ? *lastShown_ + gap_ : Clock::time_point{};
}

std::optional<NotificationThrottle::Note> NotificationThrottle::Release(Clock::time_point now) {
    const std::optional<Clock::time_point> due = NextDue();
    if (!due || now < *due) {
        return std::nullopt;
    }
    Note merged = Merge(waiting_);
    waiting_.clear();
    lastShown_ = now;
    return merged;
}

NotificationThrottle::Note NotificationThrottle::Merge(const std::vector<Note>& notes) {
    if (notes.size() == 1) {
        return notes.front();
    }
    std::vector<std::pair<std::string, size_t>> summaries;
    for (const Note& note : notes) {
        auto found = summaries.begin();
        while (found != summaries.end() && found->first != note.summary) {
            ++found;
        }
        if (found == summaries.end()) {
            summaries.emplace_back(note.summary, 1);
        } else {
            ++found->second;
        }
    }
    Note merged;
    for (const auto& [summary, count] : summaries) {
        if (!merged.summary.empty()) {
            merged.summary += ", ";
        }
        merged.summary += summary;
        if (count > 1) {
            merged.summary += " (" + std::to_string(count) + ")";
        }
    }
    for (size_t i = 0; i < notes.size() && i < kBodyLines; ++i) {
        if (i > 0) {
            merged.body += "\n";
        }
        merged.body += notes[i].body;
    }
    if (notes.size() > kBodyLines) {
        merged.body += "\nand " + std::to_string(notes.size() - kBodyLines) + " more";
    }
    return merged;
}
