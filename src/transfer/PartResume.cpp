#include "transfer/PartResume.h"

#include <sys/stat.h>

#include <chrono>
#include <ctime>

#include "core/ActivityLog.h"
#include "secure/PrefixDigest.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"
#include "transfer/ReceivedName.h"

namespace {

int64_t Now() {
    return static_cast<int64_t>(time(nullptr));
}

}  // namespace

PartResume::PartResume(std::string folder, std::string keyHash, Quiet quiet,
                       const std::atomic<bool>* stopping)
    : store_(std::move(folder)),
      keyHash_(std::move(keyHash)),
      quiet_(std::move(quiet)),
      stopping_(stopping) {}

PartStore::Key PartResume::KeyOf(const frame::File& header) const {
    return {keyHash_, header.path, header.size, header.mtime};
}

uint64_t PartResume::Offer(const frame::File& header, PartHolder& file) {
    uint64_t held = 0;
    const std::optional<std::string> part =
        keyHash_.empty() ? std::nullopt : store_.Find(KeyOf(header), Now());
    if (part && file.Adopt(*part)) {
        struct stat info {};
        if (fstat(file.Descriptor(), &info) == 0 && info.st_size > 0 &&
            static_cast<uint64_t>(info.st_size) <= header.size) {
            held = static_cast<uint64_t>(info.st_size);
            store_.Forget(*part);  // ours now; kept again if this session is cut too
        } else {
            file.Discard();
        }
    }
    store_.MakeRoom(header.size - held, part && held > 0 ? *part : std::string());
    return held;
}

std::optional<uint64_t> PartResume::Settle(FrameLink& link, PartHolder& file, uint64_t offset) {
    if (quiet_) {
        quiet_(true);
    }
    // Our hash while the sender computes its own: the two reads of the prefix overlap. The
    // sender has a minute, and a second more for every 20 MB of the prefix, a slow disk's pace.
    const std::optional<prefix_digest::Digest> ours =
        prefix_digest::Of(file.Descriptor(), offset, stopping_);
    link.SetDeadline(net::DeadlineAfter(std::chrono::seconds(60 + offset / 20000000)));
    FrameReader reader({frame::Type::PrefixHash});
    const FrameLink::Got got = link.ReadFrame(reader);
    link.SetDeadline(net::kNoDeadline);
    if (quiet_) {
        quiet_(false);
    }
    if (got != FrameLink::Got::Frame) {
        return std::nullopt;
    }
    const frame::PrefixHash& theirs = std::get<frame::PrefixHash>(reader.message());
    if (theirs.offset != offset) {
        return std::nullopt;
    }
    uint64_t start = offset;
    if (!ours || *ours != theirs.digest) {
        // The part is not the sender's (changed on either disk): the whole file again.
        WriteLog("The part held differs from the sender's file; receiving it whole\n");
        if (!file.Restart()) {
            return std::nullopt;
        }
        start = 0;
    }
    if (!link.Send(frame::Encode(frame::Resume{start}))) {
        return std::nullopt;
    }
    return start;
}

void PartResume::Keep(const frame::File& header, PartHolder& file) {
    struct stat info {};
    if (keyHash_.empty() || file.Descriptor() < 0 || fstat(file.Descriptor(), &info) != 0 ||
        info.st_size <= 0 || static_cast<uint64_t>(info.st_size) > header.size) {
        return;  // nothing worth keeping: the caller removes it
    }
    const PartStore::Key key = KeyOf(header);
    const std::string name = PartStore::NameFor(key);
    if (!file.Keep(name)) {
        return;
    }
    if (!store_.Record(name, key, static_cast<uint64_t>(info.st_size), Now())) {
        store_.Remove(name);
    } else {
        WriteLog("Kept " + std::to_string(info.st_size) + " bytes of " +
                 received_name::ForLog(header.path) + " to resume\n");
    }
}
