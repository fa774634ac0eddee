#pragma once

#include <cstddef>

// Writes every byte to fd, going on after short writes and interruptions; false on an error.
bool WriteAll(int fd, const char* data, size_t length);
