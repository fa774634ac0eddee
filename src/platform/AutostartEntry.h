#pragma once

#include <string>

// "Start at login": the desktop's autostart entry for Zingwell,
// ${XDG_CONFIG_HOME:-~/.config}/autostart/zingwell.desktop, which every freedesktop session
// reads at login.
class AutostartEntry {
public:
    static std::string Path();
    // The entry exists and the desktop has not been told to skip it (Hidden, or the
    // autostart-enabled key some desktops write when the user turns it off).
    static bool Enabled();
    // Writes the entry, starting the program at this absolute path; false on failure.
    static bool Enable(const std::string& program);
    // Removes it; true when none is left.
    static bool Disable();
    // The entry's text for the program.
    static std::string Contents(const std::string& program);
    // The absolute path of the running program, as the kernel knows it.
    static std::string RunningProgram();
};
