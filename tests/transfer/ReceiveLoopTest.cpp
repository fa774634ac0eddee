#include "transfer/ReceiveLoop.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/MemoryStream.h"
#include "support/RecordingCallback.h"
#include "transfer/ReceiveSession.h"
#include "transfer/WireFormat.h"

namespace {

using receive_loop::Ending;

struct DiskTarget : ReceiveSession::Target {
    void Announce(const std::string&) override {}
    bool Create(const std::string&) override { return created = true; }
    bool Write(const char* data, size_t length) override {
        written.append(data, length);
        return written.size() <= room;
    }
    bool created = false;
    std::string written;
    size_t room = std::string::npos;
};

struct LoopCase {
    const char* what;
    std::vector<std::string> pieces;
    int failure = 0;  // errno of a failed read after the pieces; 0: the stream ends
    Ending ending = Ending::Whole;
    std::string stored;  // what the target was given
    bool late = false;   // the header's deadline has passed
    bool stopping = false;
    size_t room = std::string::npos;
};

// The real receive loop, driven by a stream in memory through every way a stream can end.
TEST(ReceiveLoop, EndsEveryStreamAsItsBytesAndItsEndSay) {
    const std::string header = wire::EncodeHeader("a.txt", 11);
    const std::vector<LoopCase> cases = {
        {"whole, cut anywhere",
         {header.substr(0, 3), header.substr(3) + "hello", " world"},
         0,
         Ending::Whole,
         "hello world"},
        {"nothing at all", {}, 0, Ending::Whole, ""},
        {"ends short", {header + "hello"}, 0, Ending::Short, "hello"},
        {"a file that grew while sent",
         {header + "hello world", "!"},
         0,
         Ending::Whole,
         "hello world!"},
        {"reset mid-body", {header + "hello"}, ECONNRESET, Ending::ReadFailed, "hello"},
        {"idle too long", {header}, ETIMEDOUT, Ending::ReadFailed, ""},
        {"header late", {header + "hello world"}, 0, Ending::HeaderLate, "", true},
        {"ends inside the header", {"a.t"}, 0, Ending::BadHeader, ""},
        {"a name that leaves the folder",
         {wire::EncodeHeader("../a", 1) + "x"},
         0,
         Ending::Refused,
         ""},
        {"disk full",
         {header + "hello world"},
         0,
         Ending::WriteFailed,
         "hello world",
         false,
         false,
         4},
        {"receiver stopping", {header + "hello world"}, 0, Ending::Stopped, "", false, true},
    };
    for (const LoopCase& c : cases) {
        MemoryStream stream;
        stream.pieces.assign(c.pieces.begin(), c.pieces.end());
        stream.failAtEnd = c.failure != 0;
        stream.failure = c.failure;
        DiskTarget target;
        target.room = c.room;
        ReceiveSession session(target);
        RecordingCallback events;
        const std::atomic<bool> stopping{c.stopping};
        const auto deadline =
            net::Clock::now() + (c.late ? -std::chrono::seconds(1) : std::chrono::hours(1));
        EXPECT_EQ(receive_loop::Run(stream, deadline, &events, stopping, session), c.ending)
            << c.what;
        EXPECT_EQ(target.written.substr(0, c.stored.size()), c.stored) << c.what;
        if (c.ending == Ending::Whole && !c.pieces.empty() && c.stored == "hello world") {
            // Progress counts every byte of the stream, the header's too.
            EXPECT_EQ(events.Described().back(),
                      "ShowProgress " + std::to_string(header.size() + 11) + " 11")
                << c.what;
            // Once the header is in, only the stream's stall time bounds a read.
            EXPECT_EQ(stream.deadline, net::kNoDeadline) << c.what;
        }
        // The loop never closes the stream: how it ends is the receiver's decision.
        EXPECT_EQ(stream.closed, MemoryStream::Closed::No) << c.what;
    }
}

}  // namespace
