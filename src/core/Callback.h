#pragma once

#include <cstdint>

// Transfer events, raised by the workers on their own threads. Slot order matters:
// other code (and the tests) rely on it.
class Callback {
public:
    // A buddy announced itself (address and port texts, valid for the call only), or
    // a connection/logon attempt ended (both null).
    virtual void FoundBuddy(const char* address, const char* port) = 0;
    virtual void LostBuddy(bool error) = 0;
    virtual void ShowProgress(int64_t done, int64_t total) = 0;
    virtual void IncomingFile() = 0;
    virtual void FinishedSending() = 0;
    virtual void ReportError(int32_t code) = 0;

protected:
    // Never deleted through this interface.
    ~Callback() = default;
};
