#include "ui/ArrivalBatches.h"

#include <algorithm>

void ArrivalBatches::Arrive(const std::string& peer, const std::string& shown,
                            const std::string& path, Clock::time_point now) {
    auto batch = std::find_if(batches_.begin(), batches_.end(),
                              [&](const Batch& b) { return b.peer == peer; });
    if (batch != batches_.end() && now - batch->lastArrival >= pause_) {
        batches_.erase(batch);  // a pause: what comes now is a new batch
        batch = batches_.end();
    }
    if (batch == batches_.end()) {
        batches_.push_back({});
        batch = batches_.end() - 1;
        batch->peer = peer;
    }
    ++batch->count;
    batch->latestShown = shown;
    batch->latestPath = path;
    batch->lastArrival = now;
    batch->changed = true;
}

ArrivalBatches::Clock::time_point ArrivalBatches::DueAt(const Batch& batch) const {
    return batch.lastSent ? *batch.lastSent + gap_ : Clock::time_point{};
}

std::vector<ArrivalBatches::Update> ArrivalBatches::Due(Clock::time_point now) {
    std::vector<Update> updates;
    for (Batch& batch : batches_) {
        if (!batch.changed || batch.awaitingId || now < DueAt(batch)) {
            continue;
        }
        Update update{batch.peer,      batch.id,
                      "File received", batch.latestShown + " from " + batch.peer,
                      batch.count,     batch.latestPath};
        if (batch.count > 1) {
            update.summary = std::to_string(batch.count) + " files from " + batch.peer;
            update.body = "Latest: " + batch.latestShown;
        }
        batch.changed = false;
        batch.awaitingId = true;
        batch.lastSent = now;
        updates.push_back(std::move(update));
    }
    // Batches that have ended and been shown whole are forgotten.
    std::erase_if(batches_, [&](const Batch& b) {
        return !b.changed && !b.awaitingId && now - b.lastArrival >= pause_;
    });
    return updates;
}

void ArrivalBatches::Shown(const std::string& peer, uint32_t id) {
    for (Batch& batch : batches_) {
        if (batch.peer == peer && batch.awaitingId) {
            batch.id = id;
            batch.awaitingId = false;
            return;
        }
    }
}

std::optional<ArrivalBatches::Clock::time_point> ArrivalBatches::NextDue() const {
    std::optional<Clock::time_point> next;
    for (const Batch& batch : batches_) {
        if (batch.changed && !batch.awaitingId) {
            next = next ? std::min(*next, DueAt(batch)) : DueAt(batch);
        }
    }
    return next;
}
