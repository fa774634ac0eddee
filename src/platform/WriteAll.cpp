#include "platform/WriteAll.h"

#include <errno.h>
#include <unistd.h>

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}
