#include "ftp/DataCopy.h"

#include "platform/WriteAll.h"

#include <errno.h>
#include <unistd.h>

#include "ftp/BytesSendInterface.h"

namespace datacopy {

namespace {

long ReadSome(int fd, char* buffer, size_t capacity) {
    for (;;) {
        const ssize_t n = read(fd, buffer, capacity);
        if (n >= 0 || errno != EINTR) {
            return static_cast<long>(n);
        }
    }
}

}  // namespace

End Upload(int fileFd, ByteStream& out, BytesSendInterface* sink, int64_t total) {
    char buffer[kChunk];
    int64_t sent = 0;
    for (;;) {
        const long got = ReadSome(fileFd, buffer, kChunk);
        if (got < 0) {
            return End::FileError;
        }
        if (got == 0) {
            return sent < total ? End::FileEnded : End::Finished;
        }
        const long accepted = out.Write(buffer, static_cast<size_t>(got));
        if (accepted < 0) {
            return End::StreamFailed;
        }
        sent += accepted;
        if (sink != nullptr) {
            sink->BytesSent(sent, total);
        }
        if (accepted < got && lseek(fileFd, -static_cast<off_t>(got - accepted), SEEK_CUR) < 0) {
            return End::FileError;
        }
    }
}

End Download(ByteStream& in, int fileFd) {
    char buffer[kChunk];
    for (;;) {
        const long got = in.Read(buffer, kChunk);
        if (got < 0) {
            return End::StreamFailed;
        }
        if (got == 0) {
            return End::Finished;
        }
        if (!WriteAll(fileFd, buffer, static_cast<size_t>(got))) {
            return End::FileError;
        }
    }
}

}  // namespace datacopy
