#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "transfer/HeaderReader.h"

// One incoming stream taken apart, whatever sizes its reads come in: the header (read on
// until the separator and the eight size bytes are in), then the body, handed to a Target
// as it comes. A file counts as whole only when the stream ends after exactly the number of
// bytes its header announced, or, from a plain sender, whose sizes are advisory, after at
// least that many (a size of 0 meaning unknown). No sockets and no threads here; the receiver's
// connection drives it.
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
        Finished,     // the stream ended cleanly after a whole file, or before anything came
        BadHeader,    // no separator in the first 102400 bytes, or the end inside the header
        Refused,      // the name is not acceptable, or the file cannot be created
        Declined,     // the approval said no: nothing was created
        WriteFailed,  // writing the file failed (a full disk)
        Short,        // the stream ended before the announced number of bytes came
        TooLong,      // exact sizes: more bytes came than the header announced
    };

    enum class Sizes {
        // A plain sender's size is what its file system said before sending: a file that
        // grew meanwhile comes longer, and 0 says the size was unknown.
        Advisory,
        // The size is the file's: a byte more or less is a failure.
        Exact,
    };

    explicit ReceiveSession(Target& target, Sizes sizes = Sizes::Advisory)
        : target_(target), sizes_(sizes) {}

    // Asked once the header is in and its name acceptable, before the file is created; may
    // wait long (the caller holds the stream unread meanwhile). None: every file is taken.
    using Approval = std::function<bool(const std::string& name, int64_t size)>;
    void SetApproval(Approval approval) { approval_ = std::move(approval); }

    // Bytes that came in one read. Once a failure is returned, it is returned again.
    Status Feed(const char* data, size_t length);
    // The peer ended the stream.
    Status End();

    int64_t received() const { return received_; }
    int64_t size() const { return HasHeader() ? header_.size() : 0; }
    bool HasHeader() const { return header_.state() == HeaderReader::State::Done; }
    // The name as the header gave it; empty until HasHeader.
    const std::string& name() const { return header_.name(); }
    bool HasFile() const { return created_; }

private:
    // The announced size as a count: a negative size field can never be reached.
    uint64_t Announced() const { return static_cast<uint64_t>(header_.size()); }

    Target& target_;
    Approval approval_;
    Sizes sizes_;
    HeaderReader header_;
    int64_t received_ = 0;
    uint64_t body_ = 0;  // body bytes taken
    bool created_ = false;
    Status failure_ = Status::Reading;  // Reading while nothing failed
};
