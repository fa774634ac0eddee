#include "platform/Launcher.h"

#include <atomic>

namespace {
std::atomic<Launcher*> installedLauncher{nullptr};
}

void SetLauncher(Launcher* launcher) {
    installedLauncher.store(launcher);
}

Launcher* GetLauncher() {
    return installedLauncher.load();
}
