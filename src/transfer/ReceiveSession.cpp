#include "transfer/ReceiveSession.h"

#include "transfer/ReceivedName.h"

ReceiveSession::Status ReceiveSession::Feed(const char* data, size_t length) {
    if (failure_ != Status::Reading) {
        return failure_;
    }
    received_ += static_cast<int64_t>(length);
    if (!created_) {
        const size_t used = header_.Feed(data, length);
        if (header_.state() == HeaderReader::State::Failed) {
            return failure_ = Status::BadHeader;
        }
        if (header_.state() == HeaderReader::State::NeedMore) {
            return Status::Reading;
        }
        target_.Announce(header_.name());
        if (!received_name::IsAcceptable(header_.name())) {
            return failure_ = Status::Refused;
        }
        if (approval_ && !approval_(header_.name(), header_.size())) {
            return failure_ = Status::Declined;
        }
        if (!target_.Create(header_.name())) {
            return failure_ = Status::Refused;
        }
        created_ = true;
        data += used;
        length -= used;
    }
    // Exact sizes: up to the announced size, whatever the reads, so that the outcome never
    // depends on how the stream was cut.
    const bool tooLong = sizes_ == Sizes::Exact && length > Announced() - body_;
    const size_t take = tooLong ? static_cast<size_t>(Announced() - body_) : length;
    body_ += take;
    if (take > 0 && !target_.Write(data, take)) {
        return failure_ = Status::WriteFailed;
    }
    return tooLong ? failure_ = Status::TooLong : Status::Progress;
}

ReceiveSession::Status ReceiveSession::End() {
    if (failure_ != Status::Reading) {
        return failure_;
    }
    if (!created_) {
        // A stream that ends inside its header is cut off; one that brought nothing is not.
        return received_ > 0 ? failure_ = Status::BadHeader : Status::Finished;
    }
    if (sizes_ == Sizes::Exact ? body_ != Announced() : body_ < Announced()) {
        return failure_ = Status::Short;
    }
    return Status::Finished;
}
