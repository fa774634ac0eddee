#include "transfer/FrameReader.h"

#include <algorithm>

FrameReader::FrameReader(std::initializer_list<frame::Type> expected) {
    Expect(expected);
}

void FrameReader::Expect(std::initializer_list<frame::Type> expected) {
    Expect(std::span<const frame::Type>(expected.begin(), expected.size()));
}

void FrameReader::Expect(std::span<const frame::Type> expected) {
    std::fill(std::begin(expected_), std::end(expected_), 0u);
    any_ = expected.size() == 0;
    for (frame::Type type : expected) {
        const uint8_t byte = static_cast<uint8_t>(type);
        expected_[byte / 32] |= 1u << (byte % 32);
    }
}

bool FrameReader::IsExpected(uint8_t type) const {
    return frame::IsKnown(type) && (any_ || (expected_[type / 32] & (1u << (type % 32))) != 0);
}

FrameReader::State FrameReader::Fail(frame::Error error) {
    error_ = error;
    return state_ = State::Failed;
}

void FrameReader::Next() {
    state_ = State::NeedMore;
    error_ = frame::Error::None;
    header_.clear();
    payload_.clear();
    length_ = 0;
    message_.reset();
    refused_.reset();
}

size_t FrameReader::Feed(const char* data, size_t length) {
    size_t used = 0;
    while (state_ == State::NeedMore && used < length) {
        if (header_.size() < frame::kHeaderSize) {
            header_.push_back(data[used++]);
            if (header_.size() == 1 && !IsExpected(static_cast<uint8_t>(header_[0]))) {
                Fail(frame::Error::Unexpected);
                break;
            }
            if (header_.size() < frame::kHeaderSize) {
                continue;
            }
            length_ = 0;
            for (size_t i = 1; i < frame::kHeaderSize; ++i) {
                length_ = (length_ << 8) | static_cast<uint8_t>(header_[i]);
            }
            if (length_ > frame::kMaxPayload) {
                Fail(frame::Error::TooLong);
                break;
            }
            payload_.reserve(length_);
        } else {
            const size_t take = std::min<size_t>(length - used, length_ - payload_.size());
            payload_.append(data + used, take);
            used += take;
        }
        if (header_.size() == frame::kHeaderSize && payload_.size() == length_) {
            frame::Error error = frame::Error::None;
            frame::Message refused;
            message_ =
                frame::Decode(static_cast<frame::Type>(header_[0]), payload_, error, &refused);
            if (!message_) {
                if (error == frame::Error::BadName &&
                    std::holds_alternative<frame::File>(refused)) {
                    refused_ = std::move(refused);
                }
                Fail(error);
                break;
            }
            state_ = State::Done;
        }
    }
    return used;
}

void FrameReader::End() {
    if (state_ == State::NeedMore && !header_.empty()) {
        Fail(frame::Error::Malformed);
    }
}
