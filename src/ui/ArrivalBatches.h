#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Files arriving from one address while they keep coming (less than a pause apart) make one
// batch, shown as one notification that is updated in place: "File received" for the first,
// then "12 files from ADDRESS" with the latest name. Updates go out at most once a gap, and
// none while the first showing has not been given its notification id yet.
class ArrivalBatches {
public:
    using Clock = std::chrono::steady_clock;
    struct Update {
        std::string peer;
        uint32_t replaces = 0;  // the notification to update; 0 for a new one
        std::string summary;
        std::string body;
        int count = 0;
        std::string latestPath;  // the file "Open" opens when the batch is one file
        bool operator==(const Update&) const = default;
    };

    explicit ArrivalBatches(Clock::duration pause = std::chrono::seconds(5),
                            Clock::duration gap = std::chrono::seconds(1))
        : pause_(pause), gap_(gap) {}

    // A file arrived: shown is its name as the user may read it, path where it is kept.
    void Arrive(const std::string& peer, const std::string& shown, const std::string& path,
                Clock::time_point now);
    // What is to be shown now; each is sent, then its id given back with Shown.
    std::vector<Update> Due(Clock::time_point now);
    // The service's id for the peer's batch (0: it gave none; the next update is a new one).
    void Shown(const std::string& peer, uint32_t id);
    // When Due has something next; nothing when nothing waits.
    std::optional<Clock::time_point> NextDue() const;

private:
    struct Batch {
        std::string peer;
        uint32_t id = 0;
        bool awaitingId = false;
        bool changed = false;
        int count = 0;
        std::string latestShown;
        std::string latestPath;
        Clock::time_point lastArrival;
        std::optional<Clock::time_point> lastSent;
    };
    Clock::time_point DueAt(const Batch& batch) const;

    Clock::duration pause_;
    Clock::duration gap_;
    std::vector<Batch> batches_;
};
