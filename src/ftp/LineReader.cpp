#include "ftp/LineReader.h"

#include <cstring>

LineReader::Result LineReader::ReadLine(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
        if (start_ == end_) {
            const long n = stream_.Read(buffer_, kBufferSize);
            if (n < 0) {
                return Result::Failed;
            }
            if (n == 0) {
                if (!any) {
                    return Result::End;
                }
                // A last line cut off by the end of the stream keeps any CR it ended with,
                // so it is held to the cap here, where no LF can come to drop the CR.
                return line.size() > kMaxLine ? Result::TooLong : Result::Line;
            }
            start_ = 0;
            end_ = static_cast<size_t>(n);
        }
        any = true;
        const char* from = buffer_ + start_;
        const size_t available = end_ - start_;
        const void* found = memchr(from, '\n', available);
        const size_t take = found != nullptr
                                ? static_cast<size_t>(static_cast<const char*>(found) - from)
                                : available;
        if (memchr(from, '\0', take) != nullptr) {
            start_ = end_ = 0;
            return Result::HasNul;
        }
        // The CR that ends a line may be the last byte of a read; it is counted here and
        // dropped once the LF arrives.
        if (line.size() + take > kMaxLine + 1) {
            start_ = end_ = 0;
            return Result::TooLong;
        }
        line.append(from, take);
        if (found == nullptr) {
            start_ = end_;
            continue;
        }
        start_ += take + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() > kMaxLine) {
            return Result::TooLong;
        }
        return Result::Line;
    }
}
