#include "ftp/LineWriter.h"

#include <algorithm>
#include <cstring>

bool LineWriter::WriteLine(std::string_view text) {
    const bool written = Put(text) && Put("\r\n") && Flush();
    used_ = 0;  // a failed line is not half sent again with the next one
    return written;
}

bool LineWriter::Put(std::string_view bytes) {
    while (!bytes.empty()) {
        if (used_ == kBufferSize && !Flush()) {
            return false;
        }
        const size_t take = std::min(bytes.size(), kBufferSize - used_);
        memcpy(buffer_ + used_, bytes.data(), take);
        used_ += take;
        bytes.remove_prefix(take);
    }
    return true;
}

bool LineWriter::Flush() {
    size_t done = 0;
    while (done < used_) {
        const long n = stream_.Write(buffer_ + done, used_ - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    used_ = 0;
    return true;
}
