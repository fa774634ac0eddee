#pragma once

#include <cstdint>
#include <string>

// One group of a secure session as the receiver sees it: a dropped folder (root) or the loose
// files of a drop, what its BATCH announced and how far it has come.
struct IncomingBatch {
    std::string peerAddress;
    std::string peerKeyHash;  // 64 hex digits
    std::string root;         // the folder's name as sent; empty for loose files
    std::string storedRoot;   // the folder made for it in the receive folder (empty before)
    uint32_t files = 0;       // announced
    uint32_t folders = 0;
    uint64_t totalBytes = 0;
    uint32_t filesDone = 0;  // ended so far, kept or not
    uint32_t filesKept = 0;
    uint64_t bytesDone = 0;  // of the files ended so far and the one coming in
};
