#pragma once

#include <functional>
#include <string>

// Which display the program should show its windows on, decided before the window system
// is started, so that a session without any display gets a plain message instead of an abort.
class DisplayProbe {
public:
    struct Choice {
        // The window system to ask for ("xcb" or "wayland"), or "" to leave it to the user's
        // own QT_QPA_PLATFORM.
        std::string platform;
        // Why there is nothing to show windows on; empty when there is.
        std::string error;
    };

    // Reads the environment through getenv-like lookups (null when unset).
    using Environment = std::function<const char*(const char*)>;

    // X11 is preferred wherever it can be reached, also inside a Wayland session (XWayland):
    // only there may a window stay on top, be cut to a shape and place itself. A Wayland-only
    // session gets Wayland.
    static Choice Choose(const Environment& env);
    static Choice Choose();

    // Whether a local X display (":N", "unix:N", ":N.S", or "localhost:N" over TCP) has a
    // server listening; a display on another computer is taken on trust.
    static bool XReachable(const std::string& display);
    // Whether a Wayland compositor listens on the named socket (absolute, or in the runtime
    // folder).
    static bool WaylandReachable(const std::string& display, const std::string& runtimeFolder);
};
