#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "transfer/Frame.h"
#include "transfer/PartHolder.h"
#include "transfer/PartStore.h"

class FrameLink;

// The receiving side of a resumed file, for one secure session from one key: finds the part
// an earlier session of the same file left, offers its length in the VERDICT, checks the
// sender's PREFIX_HASH against it and answers RESUME; and keeps what came when a session is
// cut before its file was whole.
class PartResume {
public:
    // Called with true while the prefix is being read on both sides (no bytes flow, which is
    // no slow connection), and with false after.
    using Quiet = std::function<void(bool)>;

    PartResume(std::string folder, std::string keyHash, Quiet quiet = {},
               const std::atomic<bool>* stopping = nullptr);

    // Before the VERDICT: the part held for this file taken into `file`, and its length
    // (0: none, `file` untouched). Drops the oldest other parts when the rest has no room.
    uint64_t Offer(const frame::File& header, PartHolder& file);
    // After a VERDICT that offered `offset`: reads the PREFIX_HASH, compares it with the part
    // and answers RESUME (the part emptied when they differ). Where the body starts, or
    // nothing when the session must end (the sender's frame is missing or out of turn); the
    // part then goes, so that a sender that cannot resume gets the whole file next time.
    std::optional<uint64_t> Settle(FrameLink& link, PartHolder& file, uint64_t offset);
    // The session ended before its file was whole: keeps what `file` holds (when anything)
    // for a later session, else lets it be removed.
    void Keep(const frame::File& header, PartHolder& file);

private:
    PartStore::Key KeyOf(const frame::File& header) const;

    PartStore store_;
    std::string keyHash_;
    Quiet quiet_;
    const std::atomic<bool>* stopping_;
};
