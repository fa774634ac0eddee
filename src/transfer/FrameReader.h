#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "transfer/Frame.h"

// Puts one frame together from reads of any size, like HeaderReader for the plain header:
// Feed it what arrives; it takes no byte past the frame's end (a file body may follow it
// unframed). Refuses, as soon as it can tell, a type that is unknown or not expected, a
// length over the limit, and a payload that does not decode.
class FrameReader {
public:
    enum class State { NeedMore, Done, Failed };

    // Which types may come next (none given: any known type).
    explicit FrameReader(std::initializer_list<frame::Type> expected = {});
    void Expect(std::initializer_list<frame::Type> expected);
    void Expect(std::span<const frame::Type> expected);

    // Returns how many of the bytes belong to the frame.
    size_t Feed(const char* data, size_t length);
    // The stream ended: a frame begun and not finished is malformed.
    void End();
    // Ready for the next frame, with the same expectations.
    void Next();

    State state() const { return state_; }
    frame::Error error() const { return error_; }
    // Valid once Done.
    const frame::Message& message() const { return *message_; }
    // A FILE refused for its name (Error::BadName), as it came.
    const frame::Message* refused() const { return refused_ ? &*refused_ : nullptr; }
    // True while nothing of a frame has come since the last Next.
    bool AtStart() const { return header_.empty(); }

private:
    State Fail(frame::Error error);
    bool IsExpected(uint8_t type) const;

    uint32_t expected_[16] = {};  // bit sets over the type byte
    bool any_ = true;
    State state_ = State::NeedMore;
    frame::Error error_ = frame::Error::None;
    std::string header_;
    std::string payload_;
    uint32_t length_ = 0;
    std::optional<frame::Message> message_;
    std::optional<frame::Message> refused_;
};
