#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"

// A desktop session's message bus of the test's own (dbus-daemon), watched by dbus-monitor
// for what is asked of the notification service; none answers, so every Notify is seen as
// it was sent. Both programs end with the object.
class SessionBus {
public:
    SessionBus() = default;
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;
    ~SessionBus();

    // Whether this machine has the programs.
    static bool Available();
    // Starts the bus and the monitor, and waits until the monitor listens.
    bool Start();
    // For DBUS_SESSION_BUS_ADDRESS.
    const std::string& address() const { return address_; }
    // Summary and body of each notification asked for so far, in order.
    std::vector<std::pair<std::string, std::string>> Notifications() const;
    // All that the monitor saw, for failure messages.
    std::string Seen() const;

private:
    std::string folder_;
    std::string address_;
    ChildProcess bus_;
    ChildProcess monitor_;
};
