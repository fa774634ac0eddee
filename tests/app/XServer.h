#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

// A virtual X display (Xvfb) in a network namespace, with xdotool to act as the user's pointer
// on it; on request a window manager (openbox) and a tray (trayer), as a desktop has them.
class XServer {
public:
    XServer() = default;
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    // Ends the server so that it removes its lock file and socket.
    ~XServer();

    // X servers keep their sockets in /tmp/.X11-unix, which only an X server started as root
    // makes; Weston's XWayland cannot listen before it is there. Makes it as the system does
    // (root's, mode 1777) when missing; false, with the reason, when something else stands
    // under that name (a link, a file, a folder of another user), which is left alone.
    static bool MakeSocketFolder(std::string& error);

    // Starts the display (in the named namespace, "" for the test's own) and waits until it
    // takes clients; its log goes to `log`.
    bool Start(const std::string& netns, const std::string& log,
               const std::string& screen = "1024x768x24");
    // openbox, waited for until it manages windows.
    bool StartWindowManager();
    // trayer at the bottom right, waited for until it holds the tray selection.
    bool StartTray();
    // ":N"
    const std::string& display() const { return display_; }
    // Runs xdotool with these arguments on the display; its exit status, and its output.
    int Tool(const std::string& args, std::string* output = nullptr) const;
    // Any command on the display, through the shell.
    int Run(const std::string& command, std::string* output = nullptr) const;

    // The first visible window whose name matches the pattern and whose sides are longer
    // than minSide and at most maxSide: its id and geometry.
    struct Window {
        std::string id;
        int x = 0, y = 0, width = 0, height = 0;
    };
    bool FindWindow(const std::string& pattern, Window& window, int minSide = 0,
                    int maxSide = 100000) const;
    // The same, once it has stayed where it is for `still` (a window manager, or the program,
    // may move a window just after it shows): for a click at a point of it. False when it
    // never showed or never kept still within kPatience.
    bool FindSettledWindow(const std::string& pattern, Window& window,
                           std::chrono::milliseconds still = std::chrono::milliseconds(1200)) const;
    // Every such window, in the order xdotool finds them.
    std::vector<Window> FindWindows(const std::string& pattern, int minSide = 0,
                                    int maxSide = 100000) const;
    // The same, found in the whole tree of windows (xwininfo), by its exact name: for windows
    // inside others, such as the icons a tray holds.
    bool FindInTree(const std::string& name, Window& window, int minSide, int maxSide) const;
    // A property of a window as xprop prints it.
    std::string Property(const std::string& id, const std::string& name) const;

    // What the screen shows in an area (the area's id is not used): one pixel after the
    // other, row by row; empty when it could not be read.
    struct Pixel {
        int r = 0, g = 0, b = 0;
    };
    std::vector<Pixel> Pixels(const Window& area) const;

private:
    bool StartHelper(ChildProcess& program, const std::vector<std::string>& argv);

    std::string netns_;
    std::string log_;
    std::string display_;
    ChildProcess server_;
    ChildProcess windowManager_;
    ChildProcess tray_;
};
