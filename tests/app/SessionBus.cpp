#include "app/SessionBus.h"

#include <signal.h>

#include <regex>

#include "app/ZingwellCopy.h"
#include "support/Files.h"
#include "support/Network.h"
#include "support/TestPaths.h"

SessionBus::~SessionBus() {
    monitor_.Stop(SIGTERM, kPatience);
    bus_.Stop(SIGTERM, kPatience);
}

bool SessionBus::Available() {
    return RunShell("command -v dbus-daemon >/dev/null && command -v dbus-monitor >/dev/null") == 0;
}

bool SessionBus::Start() {
    folder_ = TestPaths::NewFolder("bus");
    address_ = "unix:path=" + folder_ + "/bus";
    ChildProcess::Options options;
    options.output = folder_ + "/bus.txt";
    if (!bus_.Start(
            {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address_},
            options) ||
        !Soon([&] { return FileExists(folder_ + "/bus"); })) {
        return false;
    }
    options.output = folder_ + "/monitor.txt";
    if (!monitor_.Start(
            {"dbus-monitor", "--address", address_, "interface='org.freedesktop.Notifications'"},
            options)) {
        return false;
    }
    // It announces itself once it listens.
    return Soon([&] {
        const std::string seen = Seen();
        return seen.find("NameLost") != std::string::npos ||
               seen.find("NameAcquired") != std::string::npos;
    });
}

std::string SessionBus::Seen() const {
    return ReadFile(folder_ + "/monitor.txt");
}

std::vector<std::pair<std::string, std::string>> SessionBus::Notifications() const {
    const std::string monitor = Seen();
    std::vector<std::pair<std::string, std::string>> calls;
    size_t at = 0;
    while ((at = monitor.find("member=Notify\n", at)) != std::string::npos) {
        at += 14;
        const size_t end = monitor.find("\nmethod ", at);
        const std::string block = monitor.substr(at, end == std::string::npos ? end : end - at);
        std::vector<std::string> texts;
        const std::regex text("string \"([^\"]*)\"");
        for (auto it = std::sregex_iterator(block.begin(), block.end(), text);
             it != std::sregex_iterator(); ++it) {
            texts.push_back((*it)[1]);
        }
        // app name, icon, summary, body, then the hints' keys and values
        if (texts.size() >= 4) {
            calls.emplace_back(texts[2], texts[3]);
        }
    }
    return calls;
}
