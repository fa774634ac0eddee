#pragma once

#include <cstdint>

// Where an upload reports its progress: called after every write the data connection
// accepted. Counts are 64-bit so that files of 2 GiB and more report true, rising figures
// (the drop window's ShowProgress takes 64-bit counts as well).
class BytesSendInterface {
public:
    virtual void BytesSent(int64_t sent, int64_t total) = 0;
    virtual ~BytesSendInterface() = default;
};
