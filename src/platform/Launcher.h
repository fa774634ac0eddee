#pragma once

#include <string>

// Opens things for the user with the desktop's default handlers. The desktop layer
// implements it; the core only asks.
class Launcher {
public:
    virtual ~Launcher() = default;
    // A local file or folder, opened by its default application (folder: file browser).
    virtual void OpenPath(const std::string& path) = 0;
    // A web address, opened in the default browser.
    virtual void OpenUrl(const std::string& url) = 0;
};

// The launcher the core uses; null until the desktop layer installs one (then nothing opens).
void SetLauncher(Launcher* launcher);
Launcher* GetLauncher();
