#include "transfer/ReceiveLoop.h"

#include <vector>

#include "core/Callback.h"
#include "transfer/ReceiveSession.h"
#include "transfer/WireFormat.h"

namespace receive_loop {

Ending Run(ByteStream& stream, net::Clock::time_point headerDeadline, Callback* callback,
           const std::atomic<bool>& stopping, ReceiveSession& session) {
    using Status = ReceiveSession::Status;
    std::vector<char> buffer(wire::kPieceSize);
    // Until the header is in, no wait lasts beyond its deadline.
    bool headerDue = true;
    stream.SetDeadline(headerDeadline);
    for (;;) {
        const long n = stream.Read(buffer.data(), buffer.size());
        if (stopping) {
            return Ending::Stopped;
        }
        if (headerDue && net::Clock::now() >= headerDeadline && !session.HasHeader()) {
            return Ending::HeaderLate;
        }
        if (n < 0) {
            return Ending::ReadFailed;
        }
        const Status status =
            n == 0 ? session.End() : session.Feed(buffer.data(), static_cast<size_t>(n));
        if (headerDue && session.HasHeader()) {
            headerDue = false;
            stream.SetDeadline(net::kNoDeadline);
        }
        switch (status) {
            case Status::Reading:
                continue;
            case Status::Progress:
                if (callback != nullptr) {
                    callback->ShowProgress(session.received(), session.size());
                }
                continue;
            case Status::Finished:
                return Ending::Whole;
            case Status::BadHeader:
                return Ending::BadHeader;
            case Status::Refused:
                return Ending::Refused;
            case Status::Declined:
                return Ending::Declined;
            case Status::WriteFailed:
                return Ending::WriteFailed;
            case Status::Short:
                return Ending::Short;
            case Status::TooLong:
                return Ending::TooLong;
        }
    }
}

}  // namespace receive_loop
