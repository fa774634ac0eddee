#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "transfer/HeaderReader.h"

// One incoming stream taken apart, whatever sizes its reads come in: the header (read on
// until the separator and the eight size bytes are in), then the body, handed to a Target
// as it comes. No sockets and no threads here; the receiver's connection drives it.
class ReceiveSession {
public:
    // Where the file goes.
    class Target {
    public:
        // The header is complete; called for every name, acceptable or not.
        virtual void Announce(const std::string& name) = 0;
        // Creates the file; called only for names that received_name::IsAcceptable.
        virtual bool Create(const std::string& name) = 0;
        virtual bool Write(const char* data, size_t length) = 0;

    protected:
        ~Target() = default;
    };

    enum class Status {
        Reading,      // the header is not complete yet: nothing to report
        Progress,     // bytes taken: report received() of size()
        Finished,     // the stream ended cleanly (a header, or nothing at all, came before)
        BadHeader,    // no separator in the first 102400 bytes, or the end inside the header
        Refused,      // the name is not acceptable, or the file cannot be created
        WriteFailed,  // writing the file failed (a full disk)
    };

    explicit ReceiveSession(Target& target) : target_(target) {}

    // Bytes that came in one read. Once a failure is returned, it is returned again.
    Status Feed(const char* data, size_t length);
    // The peer ended the stream.
    Status End();

    int64_t received() const { return received_; }
    int64_t size() const {
        return header_.state() == HeaderReader::State::Done ? header_.size() : 0;
    }
    bool HasFile() const { return created_; }

private:
    Target& target_;
    HeaderReader header_;
    int64_t received_ = 0;
    bool created_ = false;
    Status failure_ = Status::Reading;  // Reading while nothing failed
};
