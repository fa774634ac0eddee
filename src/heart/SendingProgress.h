#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/BatchNotes.h"

// What the user reads of a batch under way, in the dog's tooltip and the batch's
// notification: "file 3 of 1000 to 10.0.0.2: 30 KB of 9.8 MB, 1.2 MB/s, 8 s left".
class SendingProgress {
public:
    // behind: queued entries after the group under way (each counted as one file until its
    // turn; while there are any, no time left is said); elapsed: since the session began.
    static std::string Text(const BatchNotes::Progress& progress, size_t behind,
                            std::chrono::milliseconds elapsed, const std::string& address);
    // 1000-based, as file managers show sizes: "512 bytes", "9.8 KB", "1.2 GB".
    static std::string Bytes(uint64_t bytes);
    // "8 s", "3 min", "2 h 5 min".
    static std::string Duration(uint64_t seconds);
    // The bar's position, 0 to 100.
    static int Percent(const BatchNotes::Progress& progress);
};
