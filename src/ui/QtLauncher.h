#pragma once

#include "platform/Launcher.h"

// Opens files, folders and web pages with the desktop's default applications.
class QtLauncher : public Launcher {
public:
    void OpenPath(const std::string& path) override;
    void OpenUrl(const std::string& url) override;
};
