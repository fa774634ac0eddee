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
        if (!received_name::IsAcceptable(header_.name()) || !target_.Create(header_.name())) {
            return failure_ = Status::Refused;
        }
        created_ = true;
        data += used;
        length -= used;
    }
    if (length > 0 && !target_.Write(data, length)) {
        return failure_ = Status::WriteFailed;
    }
    return Status::Progress;
}

ReceiveSession::Status ReceiveSession::End() {
    if (failure_ != Status::Reading) {
        return failure_;
    }
    // A stream that ends inside its header is cut off; one that brought nothing is not.
    if (!created_ && received_ > 0) {
        return failure_ = Status::BadHeader;
    }
    return Status::Finished;
}
