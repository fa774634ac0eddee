#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// What the user is asked of a file a stranger offers, and what they may answer.
struct ConsentQuestion {
    enum class Choice {
        Accept,      // this file, and the files that come with it
        Decline,     // this once
        Always,      // this computer from now on
        Never,       // this computer never again
        Unanswered,  // the deadline passed without an answer
    };

    std::string computer;    // its name and address, as the user may read them
    bool verified = false;   // a paired key: false for every stranger, kept for the wording
    bool byAddress = false;  // no key at all: a plain peer, known by its address alone
    std::string file;        // as the user may read it
    int64_t size = 0;
    int count = 1;      // files of this computer waiting on the answer, this one included
    int64_t total = 0;  // their announced bytes
    // The question goes (Unanswered) when nobody answered by then.
    std::chrono::steady_clock::time_point deadline;
};
