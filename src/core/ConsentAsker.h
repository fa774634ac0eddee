#pragma once

#include <cstdint>
#include <string>

// A file a computer offers, before any of it is written: what the receiver asks about.
struct ConsentRequest {
    std::string address;  // the peer's, dotted IPv4
    std::string keyHash;  // its key hash (64 hex digits) on a secure connection; else empty
    std::string name;     // its display name when known, raw bytes; may be empty
    std::string file;     // the name its header gave; for a group, what it is
    int64_t size = 0;     // as announced (a group's total)
    uint32_t files = 1;   // the files it holds
};

// Decides whether an incoming file may be taken; asked on the connection's thread, and may
// take as long as a user takes to answer (the asker keeps its own deadline).
class ConsentAsker {
public:
    enum class Answer {
        Accept,
        Decline,  // refused; a secure sender is told so
        Reset,    // a blocked computer: the connection is reset at once, nothing said
    };
    virtual Answer Ask(const ConsentRequest& request) = 0;

protected:
    ~ConsentAsker() = default;
};
