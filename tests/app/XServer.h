#pragma once

#include <string>

#include "app/ChildProgram.h"

// A virtual X display (Xvfb, no window manager) in a network namespace, with xdotool to act
// as the user's pointer on it.
class XServer {
public:
    XServer() = default;
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    // Ends the server so that it removes its lock file and socket.
    ~XServer();

    // Starts the display and waits until it takes clients; its log goes to `log`.
    bool Start(const std::string& netns, const std::string& log);
    // ":N"
    const std::string& display() const { return display_; }
    // Runs xdotool with these arguments on the display; its exit status, and its output.
    int Tool(const std::string& args, std::string* output = nullptr) const;

private:
    std::string netns_;
    std::string log_;
    std::string display_;
    ChildProgram server_;
};
